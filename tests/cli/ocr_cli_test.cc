// `QuorvaneMacTools ocr` as the recording app runs it: exact bytes on both streams and the status.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/drawing/pango_drawing.h"
#include "tests/support/bad_images.h"
#include "tests/support/run_tool.h"
#include "tests/support/text_scenes.h"

namespace {

RunOptions InFolder(const std::string& folder) {
  RunOptions options;
  options.working_directory = folder;
  return options;
}

// The built tool's fixture, drawn by the tool itself.
std::string DrawFixture(const TempDir& dir) {
  const std::string path = dir.File("fixture.png");
  RunResult run = RunTool({"fixture", path});
  EXPECT_EQ(run.status, 0) << run.err;
  return path;
}

TEST(OcrCli, FixtureReadsBackExactlyTopToBottomWithItsBoxes) {
  TempDir dir;
  RunResult run = RunTool({"ocr", DrawFixture(dir)});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  ASSERT_FALSE(run.out.empty());
  EXPECT_EQ(run.out.back(), '\n');
  EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << "one line of JSON";
  nlohmann::json lines = nlohmann::json::parse(run.out);
  ASSERT_EQ(lines.size(), 4u) << run.out;
  const char* texts[] = {"Quorvane OCR test", "Hello world. This is paragraph one.",
                         "Second paragraph stays separate.", "中文段落识别测试。"};
  // The lower-left points at y = 430, 365, 235 and 170 are 70, 135, 265 and 330 pixels from
  // the top of the 500-pixel image; each ink box ends above its point by less than the
  // descender and starts no more than the face's height above it.
  const double bottoms_from_top[] = {70, 135, 265, 330};
  double previous_y = -1;
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    const nlohmann::json& line = lines[i];
    EXPECT_EQ(line["text"], texts[i]);
    const double x = line["x"], y = line["y"], width = line["width"], height = line["height"];
    EXPECT_NEAR(x * 800, 42, 4);
    EXPECT_LE((y + height) * 500, bottoms_from_top[i] + 1);
    EXPECT_GE((y + height) * 500, bottoms_from_top[i] - 10);
    EXPECT_GE(y * 500, bottoms_from_top[i] - 34);
    EXPECT_GT(width, 0.2);
    EXPECT_GT(y, previous_y) << "top to bottom";
    previous_y = y;
  }
  EXPECT_EQ(run.out.substr(0, 11), "[{\"height\":") << "keys come out sorted";
}

TEST(OcrCli, RelativePathsResolveAgainstTheWorkingDirectory) {
  TempDir dir;
  EXPECT_EQ(RunTool({"fixture", "f.png"}, InFolder(dir.path())).status, 0);
  RunResult run = RunTool({"ocr", "f.png"}, InFolder(dir.path()));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_NE(run.out.find("Quorvane OCR test"), std::string::npos) << run.out;
}

TEST(OcrCli, ImagesWithoutTextPrintAnEmptyArray) {
  TempDir dir;
  PangoDrawing drawing;
  for (const TextScene& scene : text_scenes::AccuracyScenes()) {
    if (!scene.lines.empty()) continue;
    SCOPED_TRACE(scene.name);
    const std::string path = dir.File(scene.name + ".png");
    drawing.WriteFile(path, DrawScene(scene, drawing).value());
    RunResult run = RunTool({"ocr", path});
    EXPECT_EQ(run.out, "[]\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
  }
}

TEST(OcrCli, BadInputFailsWithOneLineAndNothingOnStandardOutput) {
  TempDir dir;
  const std::string good = ReadFile(DrawFixture(dir));
  for (const bad_images::BadImage& image : bad_images::MakeBadImages(dir, good)) {
    SCOPED_TRACE(image.name);
    RunResult run = RunTool({"ocr", image.path});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, image.error + "\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.signal, 0);
  }
}

TEST(OcrCli, DecompressionBombIsRefusedWithinALimitedAddressSpace) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the address sanitizer reserves terabytes of address space for itself";
#endif
  TempDir dir;
  WriteFile(dir.File("huge.png"), bad_images::HugePng());
  WriteFile(dir.File("limit.sh"), "ulimit -v 1500000 && exec \"$@\"\n");
  // The fixture itself must also be read within the same limit.
  const std::string fixture = DrawFixture(dir);
  RunResult huge = RunProgram(
      "/bin/sh", {dir.File("limit.sh"), QUORVANE_TOOL_PATH, "ocr", dir.File("huge.png")});
  EXPECT_EQ(huge.status, 1);
  EXPECT_EQ(huge.out, "");
  EXPECT_EQ(huge.err, "The image \"" + dir.File("huge.png") +
                          "\" could not be read: the image is 60000 x 60000 pixels, more than "
                          "the 40000000 pixels that can be recognised\n");
  RunResult good =
      RunProgram("/bin/sh", {dir.File("limit.sh"), QUORVANE_TOOL_PATH, "ocr", fixture});
  EXPECT_EQ(good.status, 0) << good.err;
  EXPECT_NE(good.out.find("Quorvane OCR test"), std::string::npos);
}

}  // namespace
