#pragma once

#include <functional>

#include "platform/authorization/pulse_capture_probe.h"

// The desktop's main microphone switch (GNOME's org.gnome.desktop.privacy disable-microphone).
enum class PrivacySwitch { kAbsent, kAllowed, kOffWritable, kOffLocked };

// This application's row in the portal permission store's "devices"/"microphone" entry.
enum class StoredConsent { kNoStore, kNoRow, kAsk, kYes, kNo };

// Returned when no real microphone can be recorded from; outside 0 to 3, so a refusal.
inline constexpr int kNoUsableMicrophone = -1;
// Returned when a service the answer depends on errs or does not answer in time; a refusal too.
inline constexpr int kStatusUnlearnable = -2;

// Each fact is read only when the answer depends on it, at most once, in the order below. A fact
// that cannot be learned throws FactUnavailable.
struct MicrophoneFacts {
  // Inside a Flatpak sandbox: the switch and the store are the host's and out of reach, and the
  // portal's AccessDevice refuses sandboxed callers. The sandbox's own permission to reach the
  // audio server (granted when the app was installed) is the authorization.
  bool sandboxed = false;
  std::function<PrivacySwitch()> privacy_switch;
  std::function<StoredConsent()> stored_consent;
  std::function<CaptureProbe()> capture;
  // The portal's Device interface answers (xdg-desktop-portal 1.19 and later have none).
  std::function<bool()> prompt_available;
};

// A bus, store or portal that erred or did not answer within its bound.
struct FactUnavailable {};

// The authorization status (AuthorizationStatus values, kNoUsableMicrophone or
// kStatusUnlearnable). Sandboxed: an audio server that refuses us is 1, no server or only monitor
// sources is kNoUsableMicrophone, otherwise 3. Else: the switch off is 1 when locked and 2 when
// not; a stored "no" is 2; an audio server that refuses us is 1; no server or only monitor sources
// is kNoUsableMicrophone; a stored "yes" is 3; otherwise 0 when a prompt can be shown and 3 when
// nothing can ask (no consent layer, or a portal without the Device interface). A fact that is
// unavailable makes it kStatusUnlearnable.
int MicrophoneStatusFrom(const MicrophoneFacts& facts);
