// The built tool's front end: exact bytes on both streams and the exit status.
#include <gtest/gtest.h>

#include "tests/support/run_tool.h"

namespace {

void ExpectFailure(const RunResult& run, const std::string& line) {
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, line + "\n");
}

TEST(CliDispatch, NoArgumentsPrintsTheGenericTextOfErrorEight) {
  ExpectFailure(RunTool({}), "The operation couldn't be completed. (Quorvane error 8.)");
}

TEST(CliDispatch, MalformedCommandLinesAreInvalidArguments) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"microphone", "now"}, {"ocr"}, {"ocr", "a.png", "b.png"}, {"join", "out.mp4"},
           {"fixture"}, {"fixture", "a.png", "b.png"}, {"OCR", "a.png"}, {"--help"}, {"-h"},
           {""}, {"ocr "}}) {
    SCOPED_TRACE(args[0]);
    ExpectFailure(RunTool(args), "Invalid native tool arguments");
  }
}

// File names may hold any byte but "/" and NUL. Control characters in them are escaped in the
// error line, so stderr always holds exactly one line and no terminal sequence.
TEST(CliDispatch, ControlCharactersInNamesNeverSplitTheErrorLine) {
  TempDir dir;
  RunOptions in_dir{.working_directory = dir.path()};
  ExpectFailure(RunTool({"ocr", "new\nline\t\x1b[31m.png"}, in_dir),
                "The image \"new\\nline\\t\\x1b[31m.png\" could not be read: No such file or "
                "directory");
  ExpectFailure(RunTool({"join", "out.mp4", "no\r\nsuch\x7f.mp4"}, in_dir),
                "Cannot open movie no\\r\\nsuch\\x7f.mp4: No such file or directory");
  // An existing output so named (a movie, joined onto itself). Non-ASCII text stays as it is.
  const std::string taken = "录像\n\xc2\x85.mp4";
  const std::string movie =
      ReadFile(std::string(QUORVANE_SOURCE_DIR) + "/tests/data/hostile/valid.mp4");
  WriteFile(dir.File(taken), movie);
  ExpectFailure(RunTool({"join", taken, taken}, in_dir),
                "Cannot export to 录像\\n\\u0085.mp4: a file already exists there");
  EXPECT_EQ(ReadFile(dir.File(taken)), movie);
}

}  // namespace
