#include "platform/authorization/microphone_status_rules.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

using ::testing::ElementsAre;

// Facts set as data; records which ones the rules asked for. The fact named |unavailable| cannot
// be learned.
struct RecordedFacts {
  PrivacySwitch privacy_switch = PrivacySwitch::kAllowed;
  StoredConsent consent = StoredConsent::kNoRow;
  CaptureProbe capture = CaptureProbe::kReady;
  bool prompt_available = true;
  bool sandboxed = false;
  std::string unavailable = "";
  std::vector<std::string> asked = {};

  template <typename T>
  std::function<T()> Fact(const char* name, T value) {
    return [this, name, value] {
      asked.push_back(name);
      if (unavailable == name) throw FactUnavailable();
      return value;
    };
  }

  int Status() {
    return MicrophoneStatusFrom({
        .sandboxed = sandboxed,
        .privacy_switch = Fact("switch", privacy_switch),
        .stored_consent = Fact("store", consent),
        .capture = Fact("audio", capture),
        .prompt_available = Fact("portal", prompt_available),
    });
  }
};

TEST(MicrophoneStatusRules, LockedSwitchOffIsRestrictedWithoutAskingMore) {
  RecordedFacts facts{.privacy_switch = PrivacySwitch::kOffLocked, .consent = StoredConsent::kYes};
  EXPECT_EQ(facts.Status(), 1);
  EXPECT_THAT(facts.asked, ElementsAre("switch"));
}

TEST(MicrophoneStatusRules, WritableSwitchOffIsDeniedWithoutAskingMore) {
  RecordedFacts facts{.privacy_switch = PrivacySwitch::kOffWritable,
                      .consent = StoredConsent::kYes};
  EXPECT_EQ(facts.Status(), 2);
  EXPECT_THAT(facts.asked, ElementsAre("switch"));
}

TEST(MicrophoneStatusRules, StoredNoIsDeniedWithoutProbingAudio) {
  RecordedFacts facts{.consent = StoredConsent::kNo};
  EXPECT_EQ(facts.Status(), 2);
  EXPECT_THAT(facts.asked, ElementsAre("switch", "store"));
}

TEST(MicrophoneStatusRules, AudioServerRefusingUsIsRestrictedEvenWhenStoredYes) {
  RecordedFacts facts{.consent = StoredConsent::kYes, .capture = CaptureProbe::kRefused};
  EXPECT_EQ(facts.Status(), 1);
  EXPECT_THAT(facts.asked, ElementsAre("switch", "store", "audio"));
}

TEST(MicrophoneStatusRules, NoServerOrOnlyMonitorsIsOutsideTheKnownStatuses) {
  for (CaptureProbe capture : {CaptureProbe::kNoServer, CaptureProbe::kNoSource}) {
    RecordedFacts facts{.consent = StoredConsent::kYes, .capture = capture};
    EXPECT_EQ(facts.Status(), kNoUsableMicrophone);
    EXPECT_THAT(facts.asked, ElementsAre("switch", "store", "audio"));
  }
  EXPECT_TRUE(kNoUsableMicrophone < 0 || kNoUsableMicrophone > 3);
}

TEST(MicrophoneStatusRules, StoredYesIsAuthorizedWithoutAskingThePortal) {
  RecordedFacts facts{.privacy_switch = PrivacySwitch::kAbsent, .consent = StoredConsent::kYes};
  EXPECT_EQ(facts.Status(), 3);
  EXPECT_THAT(facts.asked, ElementsAre("switch", "store", "audio"));
}

TEST(MicrophoneStatusRules, UndecidedWithAPortalIsNotDetermined) {
  for (StoredConsent consent :
       {StoredConsent::kNoRow, StoredConsent::kAsk, StoredConsent::kNoStore}) {
    RecordedFacts facts{.consent = consent};
    EXPECT_EQ(facts.Status(), 0);
    EXPECT_THAT(facts.asked, ElementsAre("switch", "store", "audio", "portal"));
  }
}

TEST(MicrophoneStatusRules, UndecidedWithoutAPortalIsAuthorizedAsThereIsNobodyToAsk) {
  for (StoredConsent consent :
       {StoredConsent::kNoRow, StoredConsent::kAsk, StoredConsent::kNoStore}) {
    RecordedFacts facts{.consent = consent, .prompt_available = false};
    EXPECT_EQ(facts.Status(), 3);
  }
}

TEST(MicrophoneStatusRules, WithoutAPortalTheSwitchAStoredNoAndTheAudioServerStillRefuse) {
  RecordedFacts locked{.privacy_switch = PrivacySwitch::kOffLocked, .prompt_available = false};
  RecordedFacts off{.privacy_switch = PrivacySwitch::kOffWritable, .prompt_available = false};
  RecordedFacts stored_no{.consent = StoredConsent::kNo, .prompt_available = false};
  RecordedFacts refused{.capture = CaptureProbe::kRefused, .prompt_available = false};
  RecordedFacts monitors{.capture = CaptureProbe::kNoSource, .prompt_available = false};
  EXPECT_EQ(locked.Status(), 1);
  EXPECT_EQ(off.Status(), 2);
  EXPECT_EQ(stored_no.Status(), 2);
  EXPECT_EQ(refused.Status(), 1);
  EXPECT_EQ(monitors.Status(), kNoUsableMicrophone);
}

TEST(MicrophoneStatusRules, AFactThatCannotBeLearnedIsARefusalAndEndsTheQuestions) {
  const std::vector<std::string> order = {"switch", "store", "audio", "portal"};
  for (size_t i = 0; i < order.size(); ++i) {
    RecordedFacts facts{.unavailable = order[i]};
    EXPECT_EQ(facts.Status(), kStatusUnlearnable) << order[i];
    EXPECT_EQ(facts.asked, std::vector<std::string>(order.begin(), order.begin() + i + 1));
  }
  EXPECT_TRUE(kStatusUnlearnable < 0 || kStatusUnlearnable > 3);
}

TEST(MicrophoneStatusRules, SandboxedCallerIsDecidedByTheAudioServerAlone) {
  const std::pair<CaptureProbe, int> cases[] = {{CaptureProbe::kReady, 3},
                                                {CaptureProbe::kRefused, 1},
                                                {CaptureProbe::kNoServer, kNoUsableMicrophone},
                                                {CaptureProbe::kNoSource, kNoUsableMicrophone}};
  for (auto [capture, status] : cases) {
    RecordedFacts facts{.privacy_switch = PrivacySwitch::kOffLocked,
                        .consent = StoredConsent::kYes,
                        .capture = capture,
                        .prompt_available = false,
                        .sandboxed = true};
    EXPECT_EQ(facts.Status(), status);
    EXPECT_THAT(facts.asked, ElementsAre("audio"));
  }
}

}  // namespace
