#include "platform/authorization/portal_app_id.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tests/support/run_tool.h"

namespace {

TEST(PortalAppId, FlatpakInfoNamesTheSandboxedApplication) {
  TempDir dir;
  const std::string info = dir.File("flatpak-info");
  EXPECT_EQ(FlatpakAppId(info), std::nullopt);

  WriteFile(info,
            "[Application]\nname=com.quorvane.Recorder\nruntime=runtime/org.gnome.Platform\n"
            "\n[Instance]\ninstance-id=1234\n");
  EXPECT_EQ(FlatpakAppId(info), "com.quorvane.Recorder");
  EXPECT_EQ(PortalAppIdOfThisProcess(info), "com.quorvane.Recorder");

  WriteFile(info, "[Instance]\ninstance-id=1234\n");
  EXPECT_EQ(FlatpakAppId(info), "");
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
