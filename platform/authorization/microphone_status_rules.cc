#include "platform/authorization/microphone_status_rules.h"

#include "platform/authorization/microphone_authority.h"

int MicrophoneStatusFrom(const MicrophoneFacts& facts) {
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
  switch (facts.capture()) {
    case CaptureProbe::kRefused:
      return static_cast<int>(AuthorizationStatus::kRestricted);
    case CaptureProbe::kNoServer:
    case CaptureProbe::kNoSource:
      return kNoUsableMicrophone;
    case CaptureProbe::kReady:
      break;
  }
  if (consent == StoredConsent::kYes) return static_cast<int>(AuthorizationStatus::kAuthorized);
  if (facts.prompt_available()) return static_cast<int>(AuthorizationStatus::kNotDetermined);
  return static_cast<int>(AuthorizationStatus::kAuthorized);
}
