#include <gio/gio.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <ostream>

#include "platform/authorization/portal_microphone_authority.h"
#include "tests/integration/authorization/desktop_rig.h"

// Names the audio server in test output.
void PrintTo(AudioStack stack, std::ostream* os) {
  *os << (stack == AudioStack::kPulseAudio ? "PulseAudio" : "PipeWire");
}

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace std::chrono_literals;

constexpr char kAuthorizedLine[] = "{\"authorized\":true}\n";
const std::string kRefusalLine =
    "请在系统设置 → 隐私与安全性 → 麦克风中允许 Quorvane，然后重试。\n";

// The app id xdg-desktop-portal gives a process outside any systemd app unit, as in these tests.
constexpr char kHostAppId[] = "";

constexpr char kNoPrivacySchema[] =
    "org.gnome.desktop.privacy is not installed (gsettings-desktop-schemas)";

bool HasPrivacySchema() {
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  GSettingsSchema* schema =
      source ? g_settings_schema_source_lookup(source, "org.gnome.desktop.privacy", TRUE) : nullptr;
  if (schema) g_settings_schema_unref(schema);
  return schema != nullptr;
}

void ExpectAuthorized(const RunResult& run) {
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, kAuthorizedLine);
  EXPECT_EQ(run.err, "");
  EXPECT_FALSE(run.timed_out);
}

void ExpectRefused(const RunResult& run) {
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, kRefusalLine);
  EXPECT_FALSE(run.timed_out);
}

class MicrophoneOnDesktop : public ::testing::Test {
 protected:
  // A desktop with a consent layer whose dialog answers |answer|, and an audio server.
  void StartDesktop(DialogAnswer answer, AudioServer audio = AudioServer::kMicrophone) {
    rig_.StartDesktop(answer, audio);
  }

  DesktopRig rig_;
};

// The same answers whichever audio server a desktop runs.
class MicrophoneOnEachAudioServer : public ::testing::TestWithParam<AudioStack> {
 protected:
  DesktopRig rig_;
};

TEST_P(MicrophoneOnEachAudioServer, GrantAtThePromptIsAuthorizedAndRemembered) {
  rig_.StartDesktop(DialogAnswer::kGrant, AudioServer::kMicrophone, GetParam());
  if (!rig_.PortalOffersDialog()) GTEST_SKIP() << kNoDeviceInterface;
  ExpectAuthorized(rig_.RunMicrophone());
  EXPECT_THAT(rig_.Dialogs(), ElementsAre(kHostAppId));
  EXPECT_EQ(rig_.StoredPermission(kHostAppId), "yes");

  ExpectAuthorized(rig_.RunMicrophone());
  EXPECT_EQ(rig_.Dialogs().size(), 1u);
}

TEST_P(MicrophoneOnEachAudioServer, RefusalAtThePromptFailsAndIsRemembered) {
  rig_.StartDesktop(DialogAnswer::kRefuse, AudioServer::kMicrophone, GetParam());
  if (!rig_.PortalOffersDialog()) GTEST_SKIP() << kNoDeviceInterface;
  ExpectRefused(rig_.RunMicrophone());
  EXPECT_THAT(rig_.Dialogs(), ElementsAre(kHostAppId));
  EXPECT_EQ(rig_.StoredPermission(kHostAppId), "no");

  ExpectRefused(rig_.RunMicrophone());
  EXPECT_EQ(rig_.Dialogs().size(), 1u);
}

TEST_P(MicrophoneOnEachAudioServer, MonitorOnlyServerFailsWithoutPromptEvenWhenStoredYes) {
  rig_.StartDesktop(DialogAnswer::kGrant, AudioServer::kMonitorOnly, GetParam());
  rig_.StorePermission(kHostAppId, "yes");
  ExpectRefused(rig_.RunMicrophone());
  EXPECT_THAT(rig_.Dialogs(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Stacks, MicrophoneOnEachAudioServer,
                         ::testing::Values(AudioStack::kPulseAudio, AudioStack::kPipeWire),
                         [](const auto& info) {
                           return info.param == AudioStack::kPulseAudio ? "PulseAudio" : "PipeWire";
                         });

TEST_F(MicrophoneOnDesktop, AskRowPromptsEveryTime) {
  StartDesktop(DialogAnswer::kGrant);
  if (!rig_.PortalOffersDialog()) GTEST_SKIP() << kNoDeviceInterface;
  rig_.StorePermission(kHostAppId, "ask");
  ExpectAuthorized(rig_.RunMicrophone());
  ExpectAuthorized(rig_.RunMicrophone());
  EXPECT_EQ(rig_.Dialogs().size(), 2u);
  EXPECT_EQ(rig_.StoredPermission(kHostAppId), "ask");
}

TEST_F(MicrophoneOnDesktop, StoredYesIsAuthorizedWithoutPrompt) {
  StartDesktop(DialogAnswer::kRefuse);
  rig_.StorePermission(kHostAppId, "yes");
  ExpectAuthorized(rig_.RunMicrophone());
  EXPECT_THAT(rig_.Dialogs(), IsEmpty());
}

TEST_F(MicrophoneOnDesktop, StoredNoFailsWithoutPrompt) {
  StartDesktop(DialogAnswer::kGrant);
  rig_.StorePermission(kHostAppId, "no");
  ExpectRefused(rig_.RunMicrophone());
  EXPECT_THAT(rig_.Dialogs(), IsEmpty());
  EXPECT_EQ(rig_.StoredPermission(kHostAppId), "no");
}

TEST_F(MicrophoneOnDesktop, RowOfAnotherApplicationIsNotOurs) {
  StartDesktop(DialogAnswer::kRefuse);
  if (!rig_.PortalOffersDialog()) GTEST_SKIP() << kNoDeviceInterface;
  rig_.StorePermission("com.example.Other", "yes");
  ExpectRefused(rig_.RunMicrophone());
  EXPECT_THAT(rig_.Dialogs(), ElementsAre(kHostAppId));
}

TEST_F(MicrophoneOnDesktop, MainSwitchOffFailsWithoutPromptEvenWhenStoredYes) {
  if (!HasPrivacySchema()) GTEST_SKIP() << kNoPrivacySchema;
  StartDesktop(DialogAnswer::kGrant);
  rig_.StorePermission(kHostAppId, "yes");
  rig_.SwitchMicrophoneOff();
  ExpectRefused(rig_.RunMicrophone());
  EXPECT_THAT(rig_.Dialogs(), IsEmpty());
}

// A portal without the Device interface (every xdg-desktop-portal from 1.19 on) cannot ask: the
// switch and a stored "no" still refuse, and a real microphone is otherwise authorized.
TEST_F(MicrophoneOnDesktop, WithoutADialogOnlyTheSwitchAStoredNoOrTheAudioServerRefuse) {
  StartDesktop(DialogAnswer::kNoDialog);
  ExpectAuthorized(rig_.RunMicrophone());
  EXPECT_EQ(rig_.StoredPermission(kHostAppId), "");
  rig_.StorePermission(kHostAppId, "ask");
  ExpectAuthorized(rig_.RunMicrophone());
  rig_.StorePermission(kHostAppId, "no");
  ExpectRefused(rig_.RunMicrophone());
  rig_.StorePermission(kHostAppId, "yes");
  ExpectAuthorized(rig_.RunMicrophone());
  if (HasPrivacySchema()) {
    rig_.SwitchMicrophoneOff();
    ExpectRefused(rig_.RunMicrophone());
  }
  EXPECT_THAT(rig_.Dialogs(), IsEmpty());

  DesktopRig monitors_only;
  monitors_only.StartDesktop(DialogAnswer::kNoDialog, AudioServer::kMonitorOnly);
  ExpectRefused(monitors_only.RunMicrophone());
}

TEST_F(MicrophoneOnDesktop, NoAudioServerFailsWithoutPrompt) {
  StartDesktop(DialogAnswer::kGrant, AudioServer::kNone);
  ExpectRefused(rig_.RunMicrophone());
  EXPECT_THAT(rig_.Dialogs(), IsEmpty());
}

TEST_F(MicrophoneOnDesktop, AudioServerThatRefusesUsFailsWithoutPrompt) {
  StartDesktop(DialogAnswer::kGrant, AudioServer::kRefusing);
  ExpectRefused(rig_.RunMicrophone());
  EXPECT_THAT(rig_.Dialogs(), IsEmpty());
}

// A service that holds its socket or bus name and never answers: the tool refuses within its own
// bound (kStatusBudget, plus the process's start on a busy machine), without a prompt.
enum class Fault { kFrozenStore, kFrozenPortal, kSilentAudioServer, kSilentSessionBus };

void PrintTo(Fault fault, std::ostream* os) {
  switch (fault) {
    case Fault::kFrozenStore:
      *os << "FrozenPermissionStore";
      break;
    case Fault::kFrozenPortal:
      *os << "FrozenPortal";
      break;
    case Fault::kSilentAudioServer:
      *os << "SilentPulseSocket";
      break;
    case Fault::kSilentSessionBus:
      *os << "SilentSessionBus";
      break;
  }
}

class MicrophoneWithAHungService : public ::testing::TestWithParam<Fault> {
 protected:
  DesktopRig rig_;
};

TEST_P(MicrophoneWithAHungService, RefusesWithinItsBoundWithoutPrompt) {
  switch (GetParam()) {
    case Fault::kFrozenStore:
      rig_.StartDesktop(DialogAnswer::kGrant, AudioServer::kMicrophone);
      rig_.FreezePermissionStore();
      break;
    case Fault::kFrozenPortal:
      rig_.StartDesktop(DialogAnswer::kGrant, AudioServer::kMicrophone);
      rig_.FreezePortal();
      break;
    case Fault::kSilentAudioServer:
      rig_.StartDesktop(DialogAnswer::kGrant, AudioServer::kSilent);
      rig_.StorePermission(kHostAppId, "yes");
      break;
    case Fault::kSilentSessionBus:
      rig_.StartSilentSessionBus();
      rig_.StartAudioServer(AudioServer::kMicrophone);
      break;
  }
  auto start = std::chrono::steady_clock::now();
  RunResult run = rig_.RunMicrophone();
  auto elapsed = std::chrono::steady_clock::now() - start;
  ExpectRefused(run);
  EXPECT_LT(elapsed, kStatusBudget + 1s);
  EXPECT_THAT(rig_.Dialogs(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Faults, MicrophoneWithAHungService,
                         ::testing::Values(Fault::kFrozenStore, Fault::kFrozenPortal,
                                           Fault::kSilentAudioServer, Fault::kSilentSessionBus),
                         ::testing::PrintToStringParamName());

TEST(MicrophoneWithoutConsentLayer, NoSessionBusAndARealSourceIsAuthorized) {
  DesktopRig rig;
  rig.StartAudioServer(AudioServer::kMicrophone);
  ExpectAuthorized(rig.RunMicrophone());
}

TEST(MicrophoneWithoutConsentLayer, BusWithoutPortalOrStoreIsAuthorized) {
  DesktopRig rig;
  rig.StartSessionBus();
  rig.StartAudioServer(AudioServer::kMicrophone);
  ExpectAuthorized(rig.RunMicrophone());
}

TEST(MicrophoneWithoutConsentLayer, NoSessionBusAndNoAudioServerFails) {
  DesktopRig rig;
  ExpectRefused(rig.RunMicrophone());
}

}  // namespace
