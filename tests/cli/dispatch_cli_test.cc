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

}  // namespace
