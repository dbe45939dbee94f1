// PangoDrawing against the real Cairo, Pango and fontconfig.
#include "platform/drawing/pango_drawing.h"

#include <cairo.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "platform/platform_error.h"
#include "tests/support/run_tool.h"

namespace {

// A decoded PNG, 32-bit ARGB pixels, rows from the top.
struct Decoded {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;
  uint32_t At(int x, int row) const { return pixels[static_cast<size_t>(row) * width + x]; }
  bool Dark(int x, int row) const {
    uint32_t p = At(x, row);
    return (p >> 24) > 128 && ((p >> 16) & 0xff) < 128 && ((p >> 8) & 0xff) < 128 &&
           (p & 0xff) < 128;
  }
};

Decoded Decode(const std::string& png) {
  struct Reader {
    const std::string* bytes;
    size_t at = 0;
  } reader{&png};
  cairo_surface_t* surface = cairo_image_surface_create_from_png_stream(
      [](void* closure, unsigned char* data, unsigned int length) {
        auto* r = static_cast<Reader*>(closure);
        if (r->at + length > r->bytes->size()) return CAIRO_STATUS_READ_ERROR;
        std::memcpy(data, r->bytes->data() + r->at, length);
        r->at += length;
        return CAIRO_STATUS_SUCCESS;
      },
      &reader);
  Decoded decoded;
  if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS) {
    decoded.width = cairo_image_surface_get_width(surface);
    decoded.height = cairo_image_surface_get_height(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    const unsigned char* data = cairo_image_surface_get_data(surface);
    for (int row = 0; row < decoded.height; ++row) {
      const auto* line = reinterpret_cast<const uint32_t*>(data + row * stride);
      decoded.pixels.insert(decoded.pixels.end(), line, line + decoded.width);
    }
  }
  cairo_surface_destroy(surface);
  return decoded;
}

// The smallest rectangle (top-left origin, inclusive) holding every dark pixel.
struct Ink {
  int left = 1 << 30, top = 1 << 30, right = -1, bottom = -1;
};
Ink InkOf(const Decoded& image) {
  Ink ink;
  for (int row = 0; row < image.height; ++row) {
    for (int x = 0; x < image.width; ++x) {
      if (!image.Dark(x, row)) continue;
      ink.left = std::min(ink.left, x);
      ink.right = std::max(ink.right, x);
      ink.top = std::min(ink.top, row);
      ink.bottom = std::max(ink.bottom, row);
    }
  }
  return ink;
}

std::string DrawOneLine(std::string_view text, Point lower_left) {
  PangoDrawing drawing;
  std::unique_ptr<Canvas> canvas = drawing.CreateCanvas(400, 200);
  canvas->FillRect({0, 0, 400, 200}, {1, 1, 1});
  canvas->DrawText(text, lower_left, 28, {0, 0, 0});
  return canvas->EncodePng().value();
}

TEST(PangoDrawing, TextSitsOnItsLowerLeftPointInABottomLeftSystem) {
  Decoded image = Decode(DrawOneLine("Hxpg", {40, 100}));
  ASSERT_EQ(image.width, 400);
  ASSERT_EQ(image.height, 200);
  Ink ink = InkOf(image);
  // The logical box ends 100 pixels above the bottom edge, row 100 from the top; its height at
  // 28 pixels is about 33, with the descenders of p and g reaching into its lowest part.
  EXPECT_GE(ink.left, 40);
  EXPECT_LE(ink.left, 44);
  EXPECT_LE(ink.bottom, 100);
  EXPECT_GE(ink.bottom, 92) << "descenders end near the bottom of the logical box";
  EXPECT_GE(ink.top, 100 - 36);
  EXPECT_LE(ink.top, 100 - 24) << "cap height of a 28 px face";
}

TEST(PangoDrawing, SizeIsInPixelsNotPoints) {
  Ink small = InkOf(Decode(DrawOneLine("H", {40, 100})));
  PangoDrawing drawing;
  std::unique_ptr<Canvas> canvas = drawing.CreateCanvas(400, 200);
  canvas->FillRect({0, 0, 400, 200}, {1, 1, 1});
  canvas->DrawText("H", {40, 100}, 56, {0, 0, 0});
  Ink big = InkOf(Decode(canvas->EncodePng().value()));
  const int small_height = small.bottom - small.top + 1;
  const int big_height = big.bottom - big.top + 1;
  EXPECT_GE(small_height, 18) << "a capital H of a 28 px face is about 20 px high";
  EXPECT_LE(small_height, 22);
  EXPECT_NEAR(big_height, 2 * small_height, 2);
}

TEST(PangoDrawing, FillUsesABottomLeftOriginAndTheRestStaysTransparent) {
  PangoDrawing drawing;
  std::unique_ptr<Canvas> canvas = drawing.CreateCanvas(100, 50);
  canvas->FillRect({0, 0, 10, 10}, {1, 0, 0});
  Decoded image = Decode(canvas->EncodePng().value());
  EXPECT_EQ(image.At(5, 45), 0xffff0000u) << "bottom-left corner is red";
  EXPECT_EQ(image.At(5, 5), 0x00000000u) << "top-left corner untouched";
  EXPECT_EQ(image.At(50, 45), 0x00000000u);
}

TEST(PangoDrawing, ChineseTextIsDrawnWithRealGlyphs) {
  Decoded first = Decode(DrawOneLine("中文段落识别测试。", {40, 100}));
  Decoded second = Decode(DrawOneLine("中文段落识别测验。", {40, 100}));
  Ink ink = InkOf(first);
  // Nine full-width characters of one em each.
  EXPECT_GE(ink.right - ink.left, 8 * 28 - 6);
  EXPECT_LE(ink.right - ink.left, 9 * 28);
  EXPECT_NE(first.pixels, second.pixels) << "two different characters must not look alike";
}

TEST(PangoDrawing, FixtureIsTheSameBytesEveryRunAndReadsAsPng) {
  TempDir dir;
  DrawFixture(dir.File("a.png"));
  DrawFixture(dir.File("b.png"));
  const std::string a = ReadFile(dir.File("a.png"));
  EXPECT_EQ(a, ReadFile(dir.File("b.png")));
  Decoded image = Decode(a);
  EXPECT_EQ(image.width, 800);
  EXPECT_EQ(image.height, 500);
  EXPECT_EQ(image.At(0, 0), 0xffffffffu) << "white, opaque background";
  Ink ink = InkOf(image);
  EXPECT_GE(ink.left, 40);
  EXPECT_LE(ink.top, 500 - 430 - 10) << "the title's ink lies above its lower-left point";
  EXPECT_LE(ink.bottom, 500 - 170) << "nothing below the Chinese line's point";
}

TEST(PangoDrawing, WriteReplacesAnExistingFileAndLeavesNoTemporaryFile) {
  PangoDrawing drawing;
  TempDir dir;
  WriteFile(dir.File("out.png"), "old contents that are longer than the new ones");
  drawing.WriteFile(dir.File("out.png"), "new");
  EXPECT_EQ(ReadFile(dir.File("out.png")), "new");
  int entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    ++entries;
    EXPECT_EQ(entry.path().filename(), "out.png");
  }
  EXPECT_EQ(entries, 1);
}

TEST(PangoDrawing, WrittenFileHasTheModeOfAPlainCreate) {
  PangoDrawing drawing;
  TempDir dir;
  const mode_t mask = umask(022);
  drawing.WriteFile(dir.File("out.png"), "x");
  umask(mask);
  struct stat status;
  ASSERT_EQ(stat(dir.File("out.png").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0644u);
}

TEST(PangoDrawing, WriteIntoAMissingFolderNamesThePathAndCreatesNothing) {
  PangoDrawing drawing;
  TempDir dir;
  const std::string path = dir.File("missing/out.png");
  try {
    drawing.WriteFile(path, "bytes");
    ADD_FAILURE() << "no error";
  } catch (const PlatformError& error) {
    EXPECT_EQ(std::string(error.what()),
              "The file \"" + path + "\" could not be written: No such file or directory");
  }
  EXPECT_FALSE(FileExists(dir.File("missing")));
}

TEST(PangoDrawing, FailedWriteOverADirectoryLeavesEverythingAsItWas) {
  PangoDrawing drawing;
  TempDir dir;
  std::filesystem::create_directory(dir.File("taken"));
  WriteFile(dir.File("taken/inside"), "kept");
  try {
    drawing.WriteFile(dir.File("taken"), "bytes");
    ADD_FAILURE() << "no error";
  } catch (const PlatformError& error) {
    EXPECT_EQ(std::string(error.what()),
              "The file \"" + dir.File("taken") + "\" could not be written: Is a directory");
  }
  EXPECT_EQ(ReadFile(dir.File("taken/inside")), "kept");
  int entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    ++entries;
  }
  EXPECT_EQ(entries, 1) << "no temporary file left behind";
}

TEST(PangoDrawing, CanvasThatCannotExistGivesNoPng) {
  PangoDrawing drawing;
  std::unique_ptr<Canvas> canvas = drawing.CreateCanvas(-5, 10);
  canvas->FillRect({0, 0, 10, 10}, {1, 1, 1});
  canvas->DrawText("x", {0, 0}, 28, {0, 0, 0});
  EXPECT_FALSE(canvas->EncodePng().has_value());
}

}  // namespace
