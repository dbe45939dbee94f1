#include "commands/fixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/tool_error.h"
#include "platform/platform_error.h"
#include "tests/support/stdout_capture.h"

namespace {

using ::testing::ElementsAre;

// Everything drawn on one canvas, as text.
struct CanvasRecord {
  int width = 0;
  int height = 0;
  std::vector<std::string> calls;
};

struct FakeCanvas : Canvas {
  CanvasRecord& record;
  std::optional<std::string> png;
  FakeCanvas(CanvasRecord& r, std::optional<std::string> bytes) : record(r), png(bytes) {}

  static std::string Color(const Rgb& c) {
    return "rgb(" + std::to_string(c.red) + "," + std::to_string(c.green) + "," +
           std::to_string(c.blue) + ")";
  }
  void FillRect(const Rect& r, const Rgb& color) override {
    record.calls.push_back("fill " + std::to_string(r.x) + " " + std::to_string(r.y) + " " +
                           std::to_string(r.width) + " " + std::to_string(r.height) + " " +
                           Color(color));
  }
  void DrawText(std::string_view text, const Point& p, double size, const Rgb& color) override {
    record.calls.push_back("text [" + std::string(text) + "] at " + std::to_string(p.x) + "," +
                           std::to_string(p.y) + " size " + std::to_string(size) + " " +
                           Color(color));
  }
  std::optional<std::string> EncodePng() override {
    record.calls.push_back("encode");
    return png;
  }
};

// Canvases record into |canvases|; EncodePng gives |png|; WriteFile stores into |files| or
// throws |write_error|.
struct FakeDrawing : DrawingService {
  std::optional<std::string> png = std::string("\x89PNG fake bytes", 15);
  std::optional<std::string> write_error;
  std::vector<CanvasRecord> canvases;
  std::vector<std::pair<std::string, std::string>> writes;

  std::unique_ptr<Canvas> CreateCanvas(int width, int height) override {
    canvases.push_back({width, height, {}});
    return std::make_unique<FakeCanvas>(canvases.back(), png);
  }
  void WriteFile(const std::string& path, std::string_view bytes) override {
    if (write_error) throw PlatformError(*write_error);
    writes.emplace_back(path, std::string(bytes));
  }
};

TEST(Fixture, DrawsFiveLinesOnWhiteAtTheirLowerLeftPoints) {
  FakeDrawing drawing;
  fixture("fixture.png", drawing);
  ASSERT_EQ(drawing.canvases.size(), 1u);
  EXPECT_EQ(drawing.canvases[0].width, 800);
  EXPECT_EQ(drawing.canvases[0].height, 500);
  const std::string black = " size 28.000000 rgb(0.000000,0.000000,0.000000)";
  EXPECT_THAT(
      drawing.canvases[0].calls,
      ElementsAre("fill 0.000000 0.000000 800.000000 500.000000 "
                  "rgb(1.000000,1.000000,1.000000)",
                  "text [Quorvane OCR test] at 40.000000,430.000000" + black,
                  "text [Hello world. This is paragraph one.] at 40.000000,365.000000" + black,
                  "text [] at 40.000000,300.000000" + black,
                  "text [Second paragraph stays separate.] at 40.000000,235.000000" + black,
                  "text [中文段落识别测试。] at 40.000000,170.000000" + black, "encode"));
}

TEST(Fixture, WritesTheEncodedBytesToThePathAsGivenAndPrintsNothing) {
  FakeDrawing drawing;
  std::string out = CaptureStandardOutput([&] { fixture("out/fixture.jpg", drawing); });
  EXPECT_EQ(out, "");
  ASSERT_EQ(drawing.writes.size(), 1u);
  EXPECT_EQ(drawing.writes[0].first, "out/fixture.jpg");
  EXPECT_EQ(drawing.writes[0].second, std::string("\x89PNG fake bytes", 15));
}

TEST(Fixture, EncodingFailureIsToolErrorSevenAndWritesNothing) {
  FakeDrawing drawing;
  drawing.png.reset();
  try {
    fixture("fixture.png", drawing);
    ADD_FAILURE() << "no error";
  } catch (const ToolError& error) {
    EXPECT_EQ(error.code(), ErrorCode::kImageNotEncoded);
    EXPECT_FALSE(error.description().has_value());
    EXPECT_STREQ(error.what(), "The operation couldn't be completed. (Quorvane error 7.)");
  }
  EXPECT_TRUE(drawing.writes.empty());
}

TEST(Fixture, WriteFailurePassesThroughUnchanged) {
  FakeDrawing drawing;
  drawing.write_error =
      "The file \"/missing/f.png\" could not be written: No such file or directory";
  try {
    fixture("/missing/f.png", drawing);
    ADD_FAILURE() << "no error";
  } catch (const PlatformError& error) {
    EXPECT_STREQ(error.what(), drawing.write_error->c_str());
  }
  EXPECT_EQ(drawing.canvases.size(), 1u);
}

TEST(Fixture, EveryRunDrawsTheSame) {
  FakeDrawing first, second;
  fixture("a.png", first);
  fixture("b.png", second);
  EXPECT_EQ(first.canvases[0].calls, second.canvases[0].calls);
  EXPECT_EQ(first.writes[0].second, second.writes[0].second);
}

}  // namespace
