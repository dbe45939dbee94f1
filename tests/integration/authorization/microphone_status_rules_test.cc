#include "platform/authorization/microphone_status_rules.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/authorization/portal_app_id.h"

namespace {

using ::testing::ElementsAre;

// Facts set as data; records which ones the rules asked for.
struct RecordedFacts {
  PrivacySwitch privacy_switch = PrivacySwitch::kAllowed;
  StoredConsent consent = StoredConsent::kNoRow;
  CaptureProbe capture = CaptureProbe::kReady;
  bool prompt_available = true;
  std::vector<std::string> asked = {};

  int Status() {
    return MicrophoneStatusFrom({
        .privacy_switch =
            [this] {
              asked.push_back("switch");
              return privacy_switch;
            },
        .stored_consent =
            [this] {
              asked.push_back("store");
              return consent;
            },
        .capture =
            [this] {
              asked.push_back("audio");
              return capture;
            },
        .prompt_available =
            [this] {
              asked.push_back("portal");
              return prompt_available;
            },
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

TEST(PortalAppId, GnomeLaunchedAppScopeGivesItsApplicationId) {
  EXPECT_EQ(PortalAppIdFromCgroup("0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
                                  "app-gnome-com.quorvane.Recorder-4242.scope\n"),
            "com.quorvane.Recorder");
  EXPECT_EQ(PortalAppIdFromCgroup("0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
                                  "app-com.quorvane.Recorder-4242.scope\n"),
            "com.quorvane.Recorder");
  EXPECT_EQ(PortalAppIdFromCgroup("0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
                                  "app-flatpak-org.example.Tool@12ab.service\n"),
            "org.example.Tool");
}

TEST(PortalAppId, EscapedUnitNamesAreDecoded) {
  EXPECT_EQ(PortalAppIdFromCgroup("0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
                                  "app-gnome-org.gnome.Evolution\\x2dalarm\\x2dnotify-2437.scope"),
            "org.gnome.Evolution-alarm-notify");
}

TEST(PortalAppId, ProcessesOutsideAnAppUnitHaveTheEmptyId) {
  EXPECT_EQ(PortalAppIdFromCgroup("0::/\n"), "");
  EXPECT_EQ(PortalAppIdFromCgroup("0::/system.slice/cron.service\n"), "");
  EXPECT_EQ(PortalAppIdFromCgroup("0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
                                  "app-org.gnome.Terminal.slice/vte-spawn-1f2e.scope\n"),
            "");
  EXPECT_EQ(PortalAppIdFromCgroup("0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
                                  "app-gnome-firefox-1234.scope\n"),
            "");
  EXPECT_EQ(PortalAppIdFromCgroup(""), "");
}

TEST(PortalAppId, LegacyNamedSystemdHierarchyIsRead) {
  EXPECT_EQ(PortalAppIdFromCgroup(
                "12:pids:/\n1:name=systemd:/user.slice/user-1000.slice/"
                "user@1000.service/app.slice/app-gnome-com.quorvane.Recorder-7.scope\n"),
            "com.quorvane.Recorder");
}

}  // namespace
