// TesseractRecognizer against the real Tesseract and Leptonica, on images drawn by the tests.
#include "platform/recognition/tesseract_recognizer.h"

#include <sys/stat.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <leptonica/allheaders.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>

#include "platform/drawing/pango_drawing.h"
#include "platform/platform_error.h"
#include "platform/recognition/line_model.h"
#include "tests/support/bad_images.h"
#include "tests/support/run_tool.h"
#include "tests/support/stdout_capture.h"
#include "tests/support/text_scenes.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// What the ocr command asks for: accurate, corrected, Chinese then English, detection on.
RecognitionSettings OcrRecognitionSettings() {
  return {.accurate = true,
          .language_correction = true,
          .languages = {"zh-Hans", "en-US"},
          .automatic_language_detection = true};
}

std::vector<TextObservation> Read(const std::string& path) {
  TesseractRecognizer recognizer;
  return recognizer.Recognize(path, OcrRecognitionSettings(), 1);
}

std::vector<std::string> Texts(const std::vector<TextObservation>& observations) {
  std::vector<std::string> texts;
  for (const TextObservation& observation : observations) {
    EXPECT_EQ(observation.candidates.size(), 1u);
    texts.push_back(observation.candidates.empty() ? "" : observation.candidates[0]);
  }
  return texts;
}

std::string DrawToFile(const TextScene& scene, const TempDir& dir) {
  PangoDrawing drawing;
  const std::string path = dir.File(scene.name + ".png");
  drawing.WriteFile(path, DrawScene(scene, drawing).value());
  return path;
}

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> previous(b.size() + 1), current(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) previous[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      current[j] = std::min(
          {previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
    }
    std::swap(previous, current);
  }
  return previous[b.size()];
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string joined;
  for (const std::string& line : lines) joined += line + "\n";
  return joined;
}

TEST(TesseractRecognizer, ReadsTheFixtureLineByLineWithBoxesWhereTheyWereDrawn) {
  TempDir dir;
  DrawFixture(dir.File("fixture.png"));
  std::vector<TextObservation> lines = Read(dir.File("fixture.png"));
  EXPECT_THAT(Texts(lines), ElementsAre("Quorvane OCR test", "Hello world. This is paragraph one.",
                                        "Second paragraph stays separate.", "中文段落识别测试。"));
  ASSERT_EQ(lines.size(), 4u);
  // Each line's logical box ends at y = 430 - 65 * index (bottom-left origin, 500 high); the
  // ink box lies inside it: bottom no lower, top at most the 28 px face's height above.
  const double bottoms[] = {430, 365, 235, 170};
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(i);
    const NormalizedBox& box = lines[i].box;
    EXPECT_NEAR(box.x * 800, 42, 4);
    EXPECT_GE(box.y * 500, bottoms[i] - 1);
    EXPECT_LE(box.y * 500, bottoms[i] + 10);
    EXPECT_LE((box.y + box.height) * 500, bottoms[i] + 34);
    EXPECT_GE(box.height * 500, 18);
    EXPECT_GT(box.width, 0.2);
    EXPECT_LE(box.x + box.width, 1.0);
  }
}

// One language asked for is read by that language alone: no English-first reading, no retry.
TEST(TesseractRecognizer, EachLanguageAloneReadsTheFixtureLinesOfItsScript) {
  TempDir dir;
  DrawFixture(dir.File("fixture.png"));
  TesseractRecognizer recognizer;
  RecognitionSettings settings = OcrRecognitionSettings();
  settings.languages = {"en-US"};
  const std::string image = dir.File("fixture.png");
  std::vector<std::string> english = Texts(recognizer.Recognize(image, settings, 1));
  ASSERT_GE(english.size(), 3u);
  EXPECT_THAT(std::vector<std::string>(english.begin(), english.begin() + 3),
              ElementsAre("Quorvane OCR test", "Hello world. This is paragraph one.",
                          "Second paragraph stays separate."));
  settings.languages = {"zh-Hans"};
  std::vector<std::string> chinese = Texts(recognizer.Recognize(image, settings, 1));
  ASSERT_EQ(chinese.size(), 4u);
  EXPECT_EQ(chinese[3], "中文段落识别测试。");
}

TEST(TesseractRecognizer, PagesWithoutTextGiveNoLines) {
  TempDir dir;
  std::vector<TextScene> scenes = text_scenes::AccuracyScenes();
  // Small images, where the ground or one shape spans most of the image.
  const Rgb white{1, 1, 1}, black{0, 0, 0};
  scenes.push_back({"small_blank", 40, 20, white, {}, {}});
  scenes.push_back({"one_pixel", 1, 1, white, {}, {}});
  scenes.push_back({"box_on_small_blank", 200, 100, white, {{{60, 20, 60, 50}, black}}, {}});
  for (const TextScene& scene : scenes) {
    if (!scene.lines.empty()) continue;
    SCOPED_TRACE(scene.name);
    EXPECT_THAT(Read(DrawToFile(scene, dir)), IsEmpty());
  }
}

TEST(TesseractRecognizer, DarkThemeAndBannersReadWellWithoutSpacesInsideChinese) {
  TempDir dir;
  for (const TextScene& scene : text_scenes::AccuracyScenes()) {
    if (scene.name != "dark_mixed" && scene.name != "banners") continue;
    SCOPED_TRACE(scene.name);
    const std::string expected = Joined(ExpectedLines(scene));
    const std::string read = Joined(Texts(Read(DrawToFile(scene, dir))));
    // A loose bound: the bench measures the real figure.
    EXPECT_LE(EditDistance(expected, read) * 100, expected.size() * 5) << read;
    for (const char* chinese : {"开始录制", "隐私与安全性", "无法连接到服务器", "上传成功"}) {
      if (expected.find(chinese) != std::string::npos) {
        EXPECT_NE(read.find(chinese), std::string::npos) << chinese << " in " << read;
      }
    }
  }
}

TEST(TesseractRecognizer, SidebarAndBodyOfAHighDensityScreenshotStaySeparateLines) {
  TempDir dir;
  const TextScene scene = text_scenes::Screenshot(2);
  const std::vector<std::string> read = Texts(Read(DrawToFile(scene, dir)));
  EXPECT_EQ(read.size(), scene.lines.size()) << Joined(read);
  for (const std::string& line : read) {
    EXPECT_FALSE(line.find("Recordings") != std::string::npos &&
                 line.find("Weekly") != std::string::npos)
        << line;
    EXPECT_EQ(line.find("  "), std::string::npos) << "no gap between columns inside a line";
  }
  const std::string expected = Joined(ExpectedLines(scene));
  EXPECT_LE(EditDistance(expected, Joined(read)) * 100, expected.size() * 3) << Joined(read);
}

// An editor's file tree three letters away from its code, and a settings row whose label, value
// and hint sit on three baselines: every piece is a line of its own, read once.
TEST(TesseractRecognizer, NeighbouringColumnsAndBaselinesOfOneRowAreLinesOfTheirOwn) {
  TempDir dir;
  TextScene scene{"columns", 720, 200, text_scenes::kWhite, {}, {}};
  const Rgb grey = text_scenes::kGreyText;
  scene.lines = {{"main.cc", 12, 12, 13, text_scenes::kBlack},
                 {"Image grey = to_luma(src);", 110, 12, 13, text_scenes::kBlack},
                 {"README.md", 12, 40, 13, text_scenes::kBlack},
                 {"return grey;", 110, 40, 13, text_scenes::kBlack},
                 {"Frame rate", 12, 110, 13, text_scenes::kBlack},
                 {"30 fps", 200, 104, 18, text_scenes::kBlack},
                 {"Higher rates make larger files", 320, 116, 11, grey}};
  const std::vector<TextObservation> lines = Read(DrawToFile(scene, dir));
  std::vector<std::string> read = Texts(lines);
  std::vector<std::string> expected = ExpectedLines(scene);
  std::sort(read.begin(), read.end());
  std::sort(expected.begin(), expected.end());
  ASSERT_EQ(read.size(), expected.size()) << Joined(read);
  for (size_t i = 0; i < read.size(); ++i) {
    EXPECT_LE(EditDistance(expected[i], read[i]) * 5, expected[i].size()) << read[i];
  }
}

// Small UI text at 1x, light text on coloured bands and a mixed line: enlarged and made dark on
// white before Tesseract reads it, read by two recognisers, reported in page order with boxes
// where the lines were drawn on the original image.
TEST(TesseractRecognizer, SmallAndColouredUiTextIsReadInPageOrderWithBoxesOnTheImage) {
  TempDir dir;
  TextScene scene{"ui", 520, 400, text_scenes::kWhite, {}, {}};
  struct Row {
    std::string text;
    double size;
    Rgb ink;
    std::optional<Rgb> band;
  };
  const std::vector<Row> rows = {
      {"Recording saved to Movies", 13, text_scenes::kBlack, {}},
      {"隐私与安全性", 13, text_scenes::kWhite, Rgb{0.04, 0.40, 0.85}},
      {"Restart to update", 14, text_scenes::kWhite, Rgb{0.0, 0.48, 1.0}},
      {"内置麦克风", 13, text_scenes::kBlack, {}},
      {"PR #482 已经 merge 了", 14, text_scenes::kBlack, {}},
      {"Low battery: 9% remaining", 14, text_scenes::kWhite, Rgb{0.96, 0.62, 0.04}},
      {"/home/lin/Videos/Quorvane", 12, {0.6, 0.6, 0.62}, {}},
      {"Stop", 13, text_scenes::kWhite, Rgb{0.86, 0.2, 0.18}},
      {"开启后将在菜单栏显示录制时间", 12, text_scenes::kGreyText, {}}};
  double top = 12;
  for (const Row& row : rows) {
    if (row.band)
      scene.bands.push_back({{12, top - 8, 300, LineBoxHeight(row.size) + 16}, *row.band});
    scene.lines.push_back({row.text, 24, top, row.size, row.ink});
    top += 43;
  }
  const std::vector<TextObservation> lines = Read(DrawToFile(scene, dir));
  const std::vector<std::string> read = Texts(lines);
  const std::vector<std::string> expected = ExpectedLines(scene);
  ASSERT_EQ(read.size(), expected.size()) << Joined(read);
  // White on blue, dense 13 px Chinese, white on orange and red, and the space where Chinese
  // meets Latin, exactly.
  for (size_t exact : {1, 3, 4, 5, 7}) EXPECT_EQ(read[exact], expected[exact]);
  EXPECT_LE(EditDistance(Joined(expected), Joined(read)) * 100, Joined(expected).size() * 6)
      << Joined(read);
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(i);
    // Page order: each line is its own drawn line, nearly letter for letter.
    EXPECT_LE(EditDistance(expected[i], read[i]) * 10, expected[i].size() * 3) << read[i];
    const NormalizedBox& box = lines[i].box;
    // The ink lies inside the line's logical box, which starts at (24, top) pixels of the image.
    const double ink_top = (1.0 - box.y - box.height) * scene.height;
    EXPECT_NEAR(box.x * scene.width, 24, 4);
    EXPECT_GE(ink_top, scene.lines[i].top - 2);
    EXPECT_LE(ink_top + box.height * scene.height,
              scene.lines[i].top + LineBoxHeight(scene.lines[i].size) + 2);
    EXPECT_GE(box.height * scene.height, scene.lines[i].size * 0.5);
    EXPECT_LT(box.x + box.width, 0.7);
  }
}

// A shift roster's cells of a lone "一", two of them one above the other, between the rules of
// its table, and a bar chart beside it: each stroke is a line of its own read as itself, and no
// piece of a rule or of the chart's axis between its bars is read.
TEST(TesseractRecognizer, LoneStrokesInCellsAreLinesOfTheirOwnAndRulesAreNoText) {
  TempDir dir;
  TextScene scene{"roster", 600, 200, text_scenes::kWhite, {}, {}};
  const Rgb rule{0.8, 0.8, 0.82}, bar{0.35, 0.45, 0.95};
  for (const double top : {20, 50, 80, 110, 140}) scene.bands.push_back({{20, top, 400, 1}, rule});
  for (const double left : {20, 140, 280, 420}) scene.bands.push_back({{left, 20, 1, 120}, rule});
  const std::vector<std::vector<std::string>> cells = {
      {"姓名", "周一", "周二"}, {"许明", "一", "早班"}, {"王芳", "夜班", "一"}, {"陈立", "一", "一"}};
  for (size_t row = 0; row < cells.size(); ++row) {
    for (size_t column = 0; column < cells[row].size(); ++column) {
      scene.lines.push_back(
          {cells[row][column], 40.0 + 140 * column, 25.0 + 30 * row, 14, text_scenes::kBlack});
    }
  }
  scene.bands.push_back({{440, 160, 140, 1}, rule});
  for (int i = 0; i < 5; ++i) {
    scene.bands.push_back({{446.0 + 26 * i, 100.0 + 10 * (i % 3), 14, 60.0 - 10 * (i % 3)}, bar});
  }
  std::vector<std::string> read = Texts(Read(DrawToFile(scene, dir)));
  std::vector<std::string> expected = ExpectedLines(scene);
  std::sort(read.begin(), read.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(read, expected) << Joined(read);
}

TEST(TesseractRecognizer, SuccessfulRecognitionPrintsNothingItself) {
  TempDir dir;
  DrawFixture(dir.File("fixture.png"));
  // Tesseract's and Leptonica's own messages ("Estimating resolution", warnings) must be switched
  // off, not merely hidden by the tool.
  size_t lines = 0;
  std::string out, err;
  CaptureDescriptor(
      STDERR_FILENO,
      [&] { CaptureStandardOutput([&] { lines = Read(dir.File("fixture.png")).size(); }, out); },
      err);
  EXPECT_EQ(lines, 4u);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "");
}

TEST(TesseractRecognizer, TransparentImageIsReadOverWhite) {
  TempDir dir;
  PangoDrawing drawing;
  std::unique_ptr<Canvas> canvas = drawing.CreateCanvas(500, 120);
  canvas->DrawText("Transparent background 42", {30, 40}, 28, {0, 0, 0});
  drawing.WriteFile(dir.File("alpha.png"), canvas->EncodePng().value());
  EXPECT_THAT(Texts(Read(dir.File("alpha.png"))), ElementsAre("Transparent background 42"));
}

TEST(TesseractRecognizer, ReadsEveryCommonImageFormat) {
  TempDir dir;
  PangoDrawing drawing;
  std::unique_ptr<Canvas> canvas = drawing.CreateCanvas(500, 120);
  canvas->FillRect({0, 0, 500, 120}, {1, 1, 1});
  canvas->DrawText("Format check 2024", {30, 40}, 28, {0, 0, 0});
  drawing.WriteFile(dir.File("source.png"), canvas->EncodePng().value());
  Pix* source = pixRead(dir.File("source.png").c_str());
  ASSERT_NE(source, nullptr);
  Pix* rgb = pixRemoveAlpha(source);
  const std::vector<std::pair<std::string, int>> formats = {{"jpg", IFF_JFIF_JPEG},
                                                            {"tif", IFF_TIFF_LZW},
                                                            {"bmp", IFF_BMP},
                                                            {"webp", IFF_WEBP},
                                                            {"gif", IFF_GIF}};
  for (const auto& [extension, format] : formats) {
    SCOPED_TRACE(extension);
    const std::string path = dir.File("image." + extension);
    ASSERT_EQ(pixWrite(path.c_str(), rgb, format), 0);
    EXPECT_THAT(Texts(Read(path)), ElementsAre("Format check 2024"));
  }
  pixDestroy(&rgb);
  pixDestroy(&source);
}

TEST(TesseractRecognizer, RefusesBadFilesWithOneLineNamingThePathAndReason) {
  TempDir dir;
  DrawFixture(dir.File("good.png"));
  for (const bad_images::BadImage& image :
       bad_images::MakeBadImages(dir, ReadFile(dir.File("good.png")))) {
    SCOPED_TRACE(image.name);
    try {
      Read(image.path);
      ADD_FAILURE() << "no error";
    } catch (const PlatformError& error) {
      EXPECT_EQ(std::string(error.what()), image.error);
    }
  }
}

TEST(TesseractRecognizer, LanguageWithoutDataIsRefused) {
  TesseractRecognizer recognizer;
  RecognitionSettings settings = OcrRecognitionSettings();
  settings.languages = {"zh-Hans", "fr-FR"};
  try {
    recognizer.Recognize("unused.png", settings, 1);
    ADD_FAILURE() << "no error";
  } catch (const PlatformError& error) {
    EXPECT_STREQ(error.what(), "Text recognition has no language data for \"fr-FR\"");
  }
}

// Small Chinese settings labels, grey and white on blue, which Tesseract alone reads as Latin
// letters ("录制格式" -> "RHEE"); the line model reads their characters, Tesseract keeps the spaces.
// Its files missing or damaged are an error naming the file.
TEST(TesseractRecognizer, LineModelReadsSmallChineseLabelsAndTheModelFilesMustBeThere) {
  TempDir dir;
  const Rgb grey{0.45, 0.45, 0.47}, blue{0.2, 0.45, 0.9}, white{1, 1, 1};
  TextScene scene{"small_chinese", 360, 150, white, {{{10, 96, 200, 24}, blue}}, {}};
  scene.lines = {{"录制格式", 12, 8, 12, grey},
                 {"剩余 1.8 GB", 12, 36, 12, grey},
                 {"内置麦克风 Built-in", 12, 64, 13, grey},
                 {"隐私与安全性", 16, 100, 13, white}};
  const std::string image = DrawToFile(scene, dir);
  EXPECT_THAT(Texts(Read(image)), ElementsAreArray(ExpectedLines(scene)));

  const std::string models = dir.File("models");
  TesseractRecognizer missing(models);
  try {
    missing.Recognize(image, OcrRecognitionSettings(), 1);
    ADD_FAILURE() << "no error";
  } catch (const PlatformError& error) {
    EXPECT_EQ(std::string(error.what()), "Text recognition could not load its line model \"" +
                                             models + "/ppocr_keys_v1.txt\": No such file or directory");
  }
  ASSERT_EQ(mkdir(models.c_str(), 0700), 0);
  WriteFile(models + "/ppocr_keys_v1.txt", ReadFile(QUORVANE_MODEL_DIR "/ppocr_keys_v1.txt"));
  for (const int width : LineModel::kWidths) {
    WriteFile(models + "/rec_" + std::to_string(width) + ".onnx", "not a graph");
  }
  const std::string detector = models + "/det.onnx";
  for (const char* reason : {"No such file or directory",
                             "it is not a graph this build of OpenCV can run"}) {
    TesseractRecognizer broken(models);
    try {
      broken.Recognize(image, OcrRecognitionSettings(), 1);
      ADD_FAILURE() << "no error";
    } catch (const PlatformError& error) {
      EXPECT_EQ(std::string(error.what()),
                "Text recognition could not load its text detector \"" + detector + "\": " + reason);
    }
    WriteFile(detector, "not a graph");
  }
  WriteFile(detector, ReadFile(QUORVANE_MODEL_DIR "/det.onnx"));
  TesseractRecognizer damaged(models);
  try {
    damaged.Recognize(image, OcrRecognitionSettings(), 1);
    ADD_FAILURE() << "no error";
  } catch (const PlatformError& error) {
    EXPECT_THAT(error.what(), ::testing::MatchesRegex("Text recognition could not load its line model \"" +
                                                      models + "/rec_[0-9]+\\.onnx\": .*"));
  }
}

// A line of a document window longer than the line model's widest graph is read by the model in
// pieces cut between its characters (on whole windows Tesseract alone read "侧边栏" -> "侧边芒").
TEST(TesseractRecognizer, ChineseLineLongerThanTheWidestGraphIsReadWhole) {
  TempDir dir;
  const Rgb ink{0.2, 0.2, 0.22}, white{1, 1, 1};
  TextScene scene{"long_chinese", 1000, 60, white, {}, {}};
  scene.lines = {{"用户录制屏幕时，窗口里往往同时有侧边栏、表格、代码和弹出的通知；整窗口的版面要复杂得多，"
                  "小号的灰色标签也会被漏掉。",
                  10, 20, 13, ink}};
  EXPECT_THAT(Texts(Read(DrawToFile(scene, dir))), ElementsAreArray(ExpectedLines(scene)));
}

// A recording scaled down: 8 px text (glyphs 7 px tall), whose English lines the line model
// reads too.
TEST(TesseractRecognizer, TextOfARecordingScaledDownIsReadLineByLine) {
  TempDir dir;
  const Rgb ink{0.15, 0.15, 0.17}, white{1, 1, 1};
  TextScene scene{"scaled_down", 300, 90, white, {}, {}};
  scene.lines = {{"Recording saved to Movies", 8, 8, 8, ink},
                 {"Export finished in 12 seconds", 8, 30, 8, ink},
                 {"内置麦克风已经连接", 8, 52, 8, ink}};
  const std::vector<std::string> read = Texts(Read(DrawToFile(scene, dir)));
  const std::vector<std::string> expected = ExpectedLines(scene);
  ASSERT_EQ(read.size(), expected.size()) << Joined(read);
  for (size_t i = 0; i < read.size(); ++i) {
    EXPECT_LE(EditDistance(expected[i], read[i]) * 10, expected[i].size()) << read[i];
  }
}

TEST(TesseractRecognizer, NoCandidatesWhenNoneAreAskedFor) {
  TempDir dir;
  DrawFixture(dir.File("fixture.png"));
  TesseractRecognizer recognizer;
  std::vector<TextObservation> lines =
      recognizer.Recognize(dir.File("fixture.png"), OcrRecognitionSettings(), 0);
  EXPECT_EQ(lines.size(), 4u);
  for (const TextObservation& line : lines) EXPECT_THAT(line.candidates, IsEmpty());
}

}  // namespace
