#include "commands/fixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/tool_error.h"
#include "platform/platform_error.h"
#include "tests/support/stdout_capture.h"

namespace {

using ::testing::ElementsAre;

// What was drawn on one canvas, in call order.
struct Drawn {
  enum Kind { kFill, kText, kEncode } kind;
  Rect rect;         // kFill
  std::string text;  // kText
  Point at;          // kText
  double size = 0;   // kText
  Rgb color;         // kFill, kText
};

struct CanvasRecord {
  int width = 0;
  int height = 0;
  std::vector<Drawn> calls;
};

struct FakeCanvas : Canvas {
  CanvasRecord& record;
  std::optional<std::string> png;
  FakeCanvas(CanvasRecord& r, std::optional<std::string> bytes) : record(r), png(bytes) {}

  void FillRect(const Rect& r, const Rgb& color) override {
    record.calls.push_back({.kind = Drawn::kFill, .rect = r, .color = color});
  }
  void DrawText(std::string_view text, const Point& p, double size, const Rgb& color) override {
    record.calls.push_back(
        {.kind = Drawn::kText, .text = std::string(text), .at = p, .size = size, .color = color});
  }
  std::optional<std::string> EncodePng() override {
    record.calls.push_back({.kind = Drawn::kEncode});
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

bool IsWhite(const Rgb& c) { return c.red == 1 && c.green == 1 && c.blue == 1; }
bool IsBlack(const Rgb& c) { return c.red == 0 && c.green == 0 && c.blue == 0; }

TEST(Fixture, TitleParagraphsAndChineseLineInBlackOnWhiteTopToBottom) {
  FakeDrawing drawing;
  fixture("fixture.png", drawing);
  ASSERT_EQ(drawing.canvases.size(), 1u);
  const CanvasRecord& canvas = drawing.canvases[0];
  EXPECT_EQ(canvas.width, 800);
  EXPECT_EQ(canvas.height, 500);
  ASSERT_GE(canvas.calls.size(), 2u);

  const Drawn& ground = canvas.calls.front();
  ASSERT_EQ(ground.kind, Drawn::kFill);
  EXPECT_EQ(ground.rect.x, 0);
  EXPECT_EQ(ground.rect.y, 0);
  EXPECT_EQ(ground.rect.width, 800);
  EXPECT_EQ(ground.rect.height, 500);
  EXPECT_TRUE(IsWhite(ground.color));
  EXPECT_EQ(canvas.calls.back().kind, Drawn::kEncode) << "encoded before drawing ended";

  std::vector<const Drawn*> lines;
  for (const Drawn& call : canvas.calls) {
    if (call.kind == Drawn::kText) lines.push_back(&call);
  }
  std::vector<std::string> texts;
  for (const Drawn* line : lines) {
    if (!line->text.empty()) texts.push_back(line->text);
  }
  EXPECT_THAT(texts, ElementsAre("Quorvane OCR test", "Hello world. This is paragraph one.",
                                 "Second paragraph stays separate.", "中文段落识别测试。"));
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(IsBlack(lines[i]->color));
    EXPECT_EQ(lines[i]->size, lines[0]->size);
    EXPECT_EQ(lines[i]->at.x, lines[0]->at.x);
    EXPECT_GT(lines[i]->at.x, 0);
    // The origin is at the bottom: each line sits below the one before, inside the canvas.
    EXPECT_GT(lines[i]->at.y, 0);
    EXPECT_LT(lines[i]->at.y + lines[i]->size, 500);
    if (i > 0) {
      EXPECT_LT(lines[i]->at.y, lines[i - 1]->at.y);
    }
  }
  // A blank line between the two paragraphs keeps them further apart than the lines around them.
  const auto gap = [&](const std::string& upper, const std::string& lower) {
    double top = 0, bottom = 0;
    for (const Drawn* line : lines) {
      if (line->text == upper) top = line->at.y;
      if (line->text == lower) bottom = line->at.y;
    }
    return top - bottom;
  };
  EXPECT_GT(gap("Hello world. This is paragraph one.", "Second paragraph stays separate."),
            gap("Quorvane OCR test", "Hello world. This is paragraph one."));
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

}  // namespace
