#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/authorization/microphone_authority.h"
#include "platform/authorization/portal_app_id.h"

class PortalPrompt;

// Everything AuthorizationStatus() asks together (the session bus, the permission store, the
// audio server, the portal) answers within this, or the status is a refusal.
inline constexpr std::chrono::milliseconds kStatusBudget{500};
// Connecting and having the portal take the AccessDevice call (not the user's answer, which the
// caller waits for) take at most this, or the handler gets false.
inline constexpr std::chrono::milliseconds kRequestBudget{300};

struct PortalAuthorityOptions {
  std::string flatpak_info_path = kFlatpakInfoPath;
  std::chrono::milliseconds status_budget = kStatusBudget;
  std::chrono::milliseconds request_budget = kRequestBudget;
};

// Microphone authorization from GNOME's privacy switch, xdg-desktop-portal's permission store and
// Device prompt on the session bus, checked against the PulseAudio/PipeWire server; inside a
// Flatpak sandbox from the audio server only. Construction touches no library.
// AuthorizationStatus() returns within the status budget and never throws: a service that errs or
// does not answer in time gives kStatusUnlearnable. RequestAccess() calls the portal from a worker
// thread that runs its own GLib main context and calls the handler there (with false when the
// portal cannot be reached or refuses the call within the request budget); destruction stops that
// thread (the handler then gets false if it has not been called) and joins it.
class PortalMicrophoneAuthority : public MicrophoneAuthority {
 public:
  explicit PortalMicrophoneAuthority(PortalAuthorityOptions options = {});
  ~PortalMicrophoneAuthority() override;
  PortalMicrophoneAuthority(const PortalMicrophoneAuthority&) = delete;
  PortalMicrophoneAuthority& operator=(const PortalMicrophoneAuthority&) = delete;

  int AuthorizationStatus() override;
  void RequestAccess(std::function<void(bool granted)> handler) override;

 private:
  PortalAuthorityOptions options_;
  std::unique_ptr<PortalPrompt> prompt_;
};
