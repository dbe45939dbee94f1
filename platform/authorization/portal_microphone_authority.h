#pragma once

#include "platform/authorization/microphone_authority.h"

// Microphone authorization from xdg-desktop-portal's permission store and prompt, checked against
// the audio server.
class PortalMicrophoneAuthority : public MicrophoneAuthority {
 public:
  int AuthorizationStatus() override;
  void RequestAccess(std::function<void(bool granted)> handler) override;
};
