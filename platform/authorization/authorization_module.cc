#include "platform/authorization/portal_microphone_authority.h"
#include "platform/module_factories.h"

extern "C" MicrophoneAuthority* QuorvaneCreateMicrophoneAuthority() {
  return new PortalMicrophoneAuthority();
}
