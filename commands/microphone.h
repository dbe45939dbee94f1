#pragma once

#include <chrono>

#include "platform/authorization/microphone_authority.h"

inline constexpr std::chrono::seconds kPermissionTimeout{60};

// The microphone subcommand: prints {"authorized":true} when access is authorized or granted at
// the prompt within |timeout|, and throws ToolError 10 otherwise, also when the authority throws.
void ensureMicrophone(MicrophoneAuthority& authority,
                      std::chrono::steady_clock::duration timeout = kPermissionTimeout);
