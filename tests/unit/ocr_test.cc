#include "commands/ocr.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/tool_error.h"
#include "platform/platform_error.h"
#include "tests/support/stdout_capture.h"

namespace {

using ::testing::ElementsAre;

// Hands back |observations| or throws |error|, and records every call.
struct FakeRecognizer : TextRecognizer {
  std::vector<TextObservation> observations;
  std::optional<std::string> error;
  std::vector<std::string> paths;
  std::vector<RecognitionSettings> settings;
  std::vector<int> max_candidates;

  std::vector<TextObservation> Recognize(const std::string& image_path,
                                         const RecognitionSettings& request, int max) override {
    paths.push_back(image_path);
    settings.push_back(request);
    max_candidates.push_back(max);
    if (error) throw PlatformError(*error);
    return observations;
  }
};

TextObservation Line(std::vector<std::string> candidates, NormalizedBox box) {
  return {std::move(candidates), box};
}

TEST(OcrMapping, BoxMovesToTopLeftOriginInDoubleArithmetic) {
  nlohmann::json lines = RecognizedLines({Line({"a"}, {0.1, 0.2, 0.5, 0.1})});
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["x"].get<double>(), 0.1);
  EXPECT_EQ(lines[0]["y"].get<double>(), 1.0 - 0.30000000000000004);
  EXPECT_EQ(lines[0]["y"].get<double>(), 0.7) << "1 - (0.2 + 0.1) is the double nearest 0.7";
  EXPECT_EQ(lines[0]["width"].get<double>(), 0.5);
  EXPECT_EQ(lines[0]["height"].get<double>(), 0.1);
}

TEST(OcrMapping, LinesOnTheTopAndBottomEdges) {
  nlohmann::json lines = RecognizedLines(
      {Line({"top"}, {0.0, 0.9, 1.0, 0.1}), Line({"bottom"}, {0.25, 0.0, 0.5, 0.25})});
  EXPECT_EQ(lines[0]["y"].get<double>(), 0.0);
  EXPECT_EQ(lines[0]["x"].get<double>(), 0.0);
  EXPECT_EQ(lines[0]["width"].get<double>(), 1.0);
  EXPECT_EQ(lines[1]["y"].get<double>(), 0.75);
  EXPECT_EQ(lines[1]["height"].get<double>(), 0.25);
}

TEST(OcrMapping, LinesWithoutCandidateAreLeftOutAndOrderIsKept) {
  nlohmann::json lines =
      RecognizedLines({Line({"lowest"}, {0.1, 0.1, 0.2, 0.1}), Line({}, {0.1, 0.5, 0.2, 0.1}),
                       Line({"", "second choice"}, {0.1, 0.3, 0.2, 0.1}),
                       Line({"highest", "other"}, {0.1, 0.8, 0.2, 0.1})});
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0]["text"], "lowest") << "no sorting by position";
  EXPECT_EQ(lines[1]["text"], "") << "an empty first candidate is still a line";
  EXPECT_EQ(lines[2]["text"], "highest") << "the first candidate wins";
  EXPECT_EQ(lines[2]["y"].get<double>(), 1.0 - (0.8 + 0.1));
  for (const auto& line : lines) EXPECT_EQ(line.size(), 5u);
}

TEST(Recognize, PrintsTheWorkedExampleByteForByte) {
  FakeRecognizer recognizer;
  recognizer.observations = {
      Line({"Hello world. This is paragraph one."}, {0.125, 0.25, 0.5, 0.125})};
  std::string out = CaptureStandardOutput([&] { recognize("shots/a.png", recognizer); });
  EXPECT_EQ(out,
            "[{\"height\":0.125,\"text\":\"Hello world. This is paragraph one.\",\"width\":0.5,"
            "\"x\":0.125,\"y\":0.625}]\n");
  EXPECT_THAT(recognizer.paths, ElementsAre("shots/a.png")) << "the path goes through unchanged";
  EXPECT_THAT(recognizer.max_candidates, ElementsAre(1));
}

TEST(Recognize, AsksForTheFixedSettingsEveryRun) {
  FakeRecognizer recognizer;
  CaptureStandardOutput([&] {
    recognize("a.png", recognizer);
    recognize("b.png", recognizer);
  });
  ASSERT_EQ(recognizer.settings.size(), 2u);
  for (const RecognitionSettings& settings : recognizer.settings) {
    EXPECT_TRUE(settings.accurate);
    EXPECT_TRUE(settings.language_correction);
    EXPECT_THAT(settings.languages, ElementsAre("zh-Hans", "en-US"));
    EXPECT_TRUE(settings.automatic_language_detection);
  }
}

TEST(Recognize, NoTextPrintsAnEmptyArray) {
  FakeRecognizer recognizer;
  EXPECT_EQ(CaptureStandardOutput([&] { recognize("blank.png", recognizer); }), "[]\n");
  recognizer.observations = {Line({}, {0, 0, 1, 1})};
  EXPECT_EQ(CaptureStandardOutput([&] { recognize("blank.png", recognizer); }), "[]\n");
}

TEST(Recognize, ChineseTextIsPrintedAsRawUtf8) {
  FakeRecognizer recognizer;
  recognizer.observations = {Line({"中文段落识别测试。"}, {0.0, 0.5, 0.5, 0.25})};
  EXPECT_EQ(
      CaptureStandardOutput([&] { recognize("zh.png", recognizer); }),
      "[{\"height\":0.25,\"text\":\"中文段落识别测试。\",\"width\":0.5,\"x\":0,\"y\":0.25}]\n");
}

TEST(Recognize, RecogniserFailurePassesThroughAndPrintsNothing) {
  FakeRecognizer recognizer;
  recognizer.error = "The image \"a.png\" could not be read: No such file or directory";
  std::string out;
  try {
    CaptureStandardOutput([&] { recognize("a.png", recognizer); }, out);
    ADD_FAILURE() << "no error";
  } catch (const PlatformError& error) {
    EXPECT_STREQ(error.what(), "The image \"a.png\" could not be read: No such file or directory");
  }
  EXPECT_EQ(out, "");
}

TEST(Recognize, TextThatIsNotUtf8FailsWithoutPrinting) {
  FakeRecognizer recognizer;
  recognizer.observations = {Line({"ok"}, {0, 0, 1, 1}), Line({"bad \xff"}, {0, 0, 1, 1})};
  std::string out;
  EXPECT_THROW(CaptureStandardOutput([&] { recognize("a.png", recognizer); }, out), PlatformError);
  EXPECT_EQ(out, "");
}

}  // namespace
