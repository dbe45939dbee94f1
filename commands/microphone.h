#pragma once

#include <chrono>
#include <functional>
#include <semaphore>

#include "platform/authorization/microphone_authority.h"

inline constexpr std::chrono::seconds kPermissionTimeout{60};

// Waits until |answered| is released (true) or |timeout| has passed since the call (false).
using AnswerWait =
    std::function<bool(std::counting_semaphore<>& answered, std::chrono::steady_clock::duration)>;

// The wait on the steady clock. libstdc++ 12 polls with sleeps of up to 64 ms, so the wake-up and
// the timeout may each come up to about 64 ms late; it never misses the one release.
bool WaitOnSteadyClock(std::counting_semaphore<>& answered,
                       std::chrono::steady_clock::duration timeout);

// The microphone subcommand: prints {"authorized":true} when access is authorized or granted at
// the prompt within |timeout| of the request's return, and throws ToolError 10 otherwise, also
// when the authority throws.
void ensureMicrophone(MicrophoneAuthority& authority,
                      std::chrono::steady_clock::duration timeout = kPermissionTimeout,
                      const AnswerWait& wait = WaitOnSteadyClock);
