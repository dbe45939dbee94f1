#include "platform/authorization/microphone_status_rules.h"

#include <optional>

#include "platform/authorization/microphone_authority.h"

namespace {

// What the audio server's answer decides on its own, if anything.
std::optional<int> StatusFromCapture(CaptureProbe capture) {
  switch (capture) {
    case CaptureProbe::kRefused:
      return static_cast<int>(AuthorizationStatus::kRestricted);
    case CaptureProbe::kNoServer:
    case CaptureProbe::kNoSource:
      return kNoUsableMicrophone;
    case CaptureProbe::kReady:
      break;
  }
  return std::nullopt;
}

int StatusFromKnownFacts(const MicrophoneFacts& facts) {
  if (facts.sandboxed) {
    return StatusFromCapture(facts.capture())
        .value_or(static_cast<int>(AuthorizationStatus::kAuthorized));
  }
  switch (facts.privacy_switch()) {
    case PrivacySwitch::kOffLocked:
      return static_cast<int>(AuthorizationStatus::kRestricted);
    case PrivacySwitch::kOffWritable:
      return static_cast<int>(AuthorizationStatus::kDenied);
    default:
      break;
  }
  const StoredConsent consent = facts.stored_consent();
  if (consent == StoredConsent::kNo) return static_cast<int>(AuthorizationStatus::kDenied);
  if (auto status = StatusFromCapture(facts.capture())) return *status;
  if (consent == StoredConsent::kYes) return static_cast<int>(AuthorizationStatus::kAuthorized);
  if (facts.prompt_available()) return static_cast<int>(AuthorizationStatus::kNotDetermined);
  return static_cast<int>(AuthorizationStatus::kAuthorized);
}

}  // namespace

int MicrophoneStatusFrom(const MicrophoneFacts& facts) {
  try {
    return StatusFromKnownFacts(facts);
  } catch (const FactUnavailable&) {
    return kStatusUnlearnable;
  }
}
