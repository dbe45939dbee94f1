#include "platform/authorization/portal_microphone_authority.h"

#include "app/tool_error.h"

int PortalMicrophoneAuthority::AuthorizationStatus() {
  throw PlatformError("microphone authorization is not built yet");  // PLACEHOLDER
}
void PortalMicrophoneAuthority::RequestAccess(std::function<void(bool)>) {
  throw PlatformError("microphone authorization is not built yet");  // PLACEHOLDER
}
