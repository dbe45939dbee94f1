#include "commands/microphone.h"

#include "app/tool_error.h"

void ensureMicrophone(MicrophoneAuthority&, std::chrono::steady_clock::duration) {
  throw PlatformError("microphone is not built yet");  // PLACEHOLDER
}
