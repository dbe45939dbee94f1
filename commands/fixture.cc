#include "commands/fixture.h"

#include <array>
#include <optional>
#include <string_view>

#include "app/tool_error.h"

namespace {

constexpr int kWidth = 800;
constexpr int kHeight = 500;
constexpr double kFontSize = 28.0;
constexpr double kLeft = 40.0;
constexpr double kTopBaseline = 430.0;  // y of the first line's lower-left corner
constexpr double kLineStep = 65.0;

// Drawn top to bottom; the empty line keeps its slot, so the two paragraphs sit two steps apart.
constexpr std::array<std::string_view, 5> kLines = {
    "Quorvane OCR test",
    "Hello world. This is paragraph one.",
    "",
    "Second paragraph stays separate.",
    "中文段落识别测试。",
};

constexpr Rgb kWhite{1, 1, 1};
constexpr Rgb kBlack{0, 0, 0};

}  // namespace

void fixture(const std::string& output_path, DrawingService& drawing) {
  std::unique_ptr<Canvas> canvas = drawing.CreateCanvas(kWidth, kHeight);
  canvas->FillRect({0, 0, kWidth, kHeight}, kWhite);
  for (size_t index = 0; index < kLines.size(); ++index) {
    canvas->DrawText(kLines[index], {kLeft, kTopBaseline - kLineStep * index}, kFontSize, kBlack);
  }
  std::optional<std::string> png = canvas->EncodePng();
  if (!png) throw ToolError(ErrorCode::kImageNotEncoded);
  drawing.WriteFile(output_path, *png);
}
