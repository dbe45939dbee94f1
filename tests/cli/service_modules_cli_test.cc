// The tool loads each service's module only when a command needs it.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/run_tool.h"

namespace {

TEST(CliServiceModules, ToolWithoutItsModulesStillDispatchesAndNamesTheMissingModule) {
  TempDir dir;
  const std::string lonely = dir.File("QuorvaneMacTools");
  std::filesystem::copy_file(QUORVANE_TOOL_PATH, lonely);

  // Argument errors need no module at all.
  RunResult invalid = RunProgram(lonely, {"ocr"});
  EXPECT_EQ(invalid.status, 1);
  EXPECT_EQ(invalid.err, "Invalid native tool arguments\n");

  RunResult ocr = RunProgram(lonely, {"ocr", dir.File("shot.png")});
  EXPECT_EQ(ocr.status, 1);
  EXPECT_EQ(ocr.out, "");
  const std::string expected_module =
      (std::filesystem::path(dir.path()).parent_path() / "lib/QuorvaneMacTools" /
       "libquorvane_recognition.so")
          .string();
  EXPECT_EQ(ocr.err, "Cannot load " + expected_module +
                         ": cannot open shared object file: No such file or directory\n");
}

TEST(CliServiceModules, InstalledLayoutFindsItsModules) {
  TempDir dir;
  std::filesystem::create_directories(dir.File("bin"));
  std::filesystem::create_directories(dir.File("lib/QuorvaneMacTools"));
  const std::filesystem::path build = std::filesystem::path(QUORVANE_TOOL_PATH).parent_path();
  std::filesystem::copy_file(QUORVANE_TOOL_PATH, dir.File("bin/QuorvaneMacTools"));
  std::filesystem::copy_file(build / "libquorvane_drawing.so",
                             dir.File("lib/QuorvaneMacTools/libquorvane_drawing.so"));

  RunResult run = RunProgram(dir.File("bin/QuorvaneMacTools"), {"fixture", dir.File("f.png")});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(ReadFile(dir.File("f.png")).substr(1, 3), "PNG");
}

}  // namespace
