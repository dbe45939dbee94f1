#pragma once

#include <memory>

#include "platform/authorization/microphone_authority.h"

class PortalPrompt;

// Microphone authorization from GNOME's privacy switch, xdg-desktop-portal's permission store and
// Device prompt on the session bus, checked against the PulseAudio/PipeWire server. Construction
// touches no library. AuthorizationStatus() blocks the caller for a few seconds at most and throws
// PlatformError when the consent store or the portal answers with an unexpected error.
// RequestAccess() calls the portal from a worker thread that runs its own GLib main context and
// calls the handler there; destruction stops that thread (the handler then gets false if it has
// not been called) and joins it.
class PortalMicrophoneAuthority : public MicrophoneAuthority {
 public:
  PortalMicrophoneAuthority();
  ~PortalMicrophoneAuthority() override;
  PortalMicrophoneAuthority(const PortalMicrophoneAuthority&) = delete;
  PortalMicrophoneAuthority& operator=(const PortalMicrophoneAuthority&) = delete;

  int AuthorizationStatus() override;
  void RequestAccess(std::function<void(bool granted)> handler) override;

 private:
  std::unique_ptr<PortalPrompt> prompt_;
};
