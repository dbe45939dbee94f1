#include "platform/authorization/portal_microphone_authority.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "platform/authorization/microphone_status_rules.h"
#include "tests/integration/authorization/desktop_rig.h"

namespace {

using namespace std::chrono_literals;

struct Answer {
  bool granted;
  std::thread::id thread;
};

// Bounds far below the tool's, so that a hung service costs the test little.
constexpr auto kShortBudget = 250ms;
// What a bounded call may take beyond its budget here (scheduling on a loaded machine).
constexpr auto kSlack = 500ms;

PortalAuthorityOptions ShortBounds() {
  return {.status_budget = kShortBudget, .request_budget = kShortBudget};
}

class PortalAuthority : public ::testing::Test {
 protected:
  void StartDesktop(DialogAnswer answer, AudioServer audio = AudioServer::kMicrophone) {
    rig_.StartDesktop(answer, audio);
    rig_.ExportEnvironment();
  }

  // Issues the request and returns the future of the handler's one call.
  std::future<Answer> Request(PortalMicrophoneAuthority& authority) {
    auto promise = std::make_shared<std::promise<Answer>>();
    auto answer = promise->get_future();
    authority.RequestAccess([promise](bool granted) {
      promise->set_value({granted, std::this_thread::get_id()});
    });
    return answer;
  }

  DesktopRig rig_;
};

TEST_F(PortalAuthority, StatusFollowsTheStoredRow) {
  StartDesktop(DialogAnswer::kGrant);
  if (!rig_.PortalOffersDialog()) GTEST_SKIP() << kNoDeviceInterface;
  PortalMicrophoneAuthority authority;
  EXPECT_EQ(authority.AuthorizationStatus(), 0);
  rig_.StorePermission("", "ask");
  EXPECT_EQ(authority.AuthorizationStatus(), 0);
  rig_.StorePermission("", "yes");
  EXPECT_EQ(authority.AuthorizationStatus(), 3);
  rig_.StorePermission("", "no");
  EXPECT_EQ(authority.AuthorizationStatus(), 2);
  EXPECT_TRUE(rig_.Dialogs().empty());
}

TEST_F(PortalAuthority, WithoutADialogOnlyAStoredNoIsDenied) {
  StartDesktop(DialogAnswer::kNoDialog);
  PortalMicrophoneAuthority authority;
  EXPECT_EQ(authority.AuthorizationStatus(), 3);
  rig_.StorePermission("", "ask");
  EXPECT_EQ(authority.AuthorizationStatus(), 3);
  rig_.StorePermission("", "no");
  EXPECT_EQ(authority.AuthorizationStatus(), 2);
  rig_.StorePermission("", "yes");
  EXPECT_EQ(authority.AuthorizationStatus(), 3);
}

TEST_F(PortalAuthority, AudioFactsOverrideAStoredYes) {
  StartDesktop(DialogAnswer::kGrant, AudioServer::kMonitorOnly);
  rig_.StorePermission("", "yes");
  PortalMicrophoneAuthority authority;
  EXPECT_EQ(authority.AuthorizationStatus(), kNoUsableMicrophone);
}

TEST_F(PortalAuthority, RefusingAudioServerIsRestricted) {
  StartDesktop(DialogAnswer::kGrant, AudioServer::kRefusing);
  PortalMicrophoneAuthority authority;
  EXPECT_EQ(authority.AuthorizationStatus(), 1);
}

TEST_F(PortalAuthority, GrantArrivesOnAnotherThread) {
  StartDesktop(DialogAnswer::kGrant);
  if (!rig_.PortalOffersDialog()) GTEST_SKIP() << kNoDeviceInterface;
  PortalMicrophoneAuthority authority;
  auto answer = Request(authority);
  ASSERT_EQ(answer.wait_for(5s), std::future_status::ready);
  Answer got = answer.get();
  EXPECT_TRUE(got.granted);
  EXPECT_NE(got.thread, std::this_thread::get_id());
  EXPECT_EQ(rig_.StoredPermission(""), "yes");
  EXPECT_EQ(authority.AuthorizationStatus(), 3);
}

TEST_F(PortalAuthority, RefusalArrivesAsFalse) {
  StartDesktop(DialogAnswer::kRefuse);
  if (!rig_.PortalOffersDialog()) GTEST_SKIP() << kNoDeviceInterface;
  PortalMicrophoneAuthority authority;
  auto answer = Request(authority);
  ASSERT_EQ(answer.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(answer.get().granted);
  EXPECT_EQ(authority.AuthorizationStatus(), 2);
}

TEST_F(PortalAuthority, DestroyingTheAuthorityWithTheDialogOpenAnswersFalseAndReturns) {
  StartDesktop(DialogAnswer::kSilent);
  if (!rig_.PortalOffersDialog()) GTEST_SKIP() << kNoDeviceInterface;
  auto authority = std::make_unique<PortalMicrophoneAuthority>();
  auto answer = Request(*authority);
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (rig_.Dialogs().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(rig_.Dialogs().size(), 1u);
  EXPECT_EQ(answer.wait_for(100ms), std::future_status::timeout);

  auto start = std::chrono::steady_clock::now();
  authority.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  ASSERT_EQ(answer.wait_for(0s), std::future_status::ready);
  EXPECT_FALSE(answer.get().granted);

  // The portal keeps serving while the abandoned dialog is still open.
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(PortalMicrophoneAuthority().AuthorizationStatus(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(PortalAuthority, HungPortalOrStoreIsUnlearnableWithinTheBudget) {
  StartDesktop(DialogAnswer::kGrant);
  PortalMicrophoneAuthority authority(ShortBounds());
  rig_.FreezePortal();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(authority.AuthorizationStatus(), kStatusUnlearnable);
  EXPECT_LT(std::chrono::steady_clock::now() - start, kShortBudget + kSlack);

  auto answer = Request(authority);
  ASSERT_EQ(answer.wait_for(kShortBudget + kSlack), std::future_status::ready);
  EXPECT_FALSE(answer.get().granted);

  rig_.FreezePermissionStore();
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(authority.AuthorizationStatus(), kStatusUnlearnable);
  EXPECT_LT(std::chrono::steady_clock::now() - start, kShortBudget + kSlack);
  EXPECT_TRUE(rig_.Dialogs().empty());
}

// Inside a sandbox the host's store is out of reach and the portal refuses AccessDevice: the
// audio server admitting the sandbox's client is the answer, whatever the host's row says.
TEST_F(PortalAuthority, SandboxedCallerIsAuthorizedByTheAudioServerWithoutStoreOrDialog) {
  StartDesktop(DialogAnswer::kRefuse);
  TempDir sandbox;
  WriteFile(sandbox.File("flatpak-info"), "[Application]\nname=com.quorvane.Recorder\n");
  PortalMicrophoneAuthority authority({.flatpak_info_path = sandbox.File("flatpak-info")});

  rig_.StorePermission("", "no");
  EXPECT_EQ(authority.AuthorizationStatus(), 3);
  EXPECT_TRUE(rig_.Dialogs().empty());
}

TEST(PortalAuthorityWithoutBus, RequestWithoutSessionBusAnswersFalse) {
  DesktopRig rig;
  rig.ExportEnvironment();
  PortalMicrophoneAuthority authority;
  auto promise = std::make_shared<std::promise<bool>>();
  auto answer = promise->get_future();
  authority.RequestAccess([promise](bool granted) { promise->set_value(granted); });
  ASSERT_EQ(answer.wait_for(3s), std::future_status::ready);
  EXPECT_FALSE(answer.get());
}

}  // namespace
