#include "platform/recognition/page_preparation.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// Screen text is drawn on flat grounds of any colour. The ground under each pixel is the median
// of a window a little wider than a glyph, taken along rows and then along columns, so that the
// straight edges and corners of banners, buttons and selections stay sharp; the distance from
// that ground, inverted, is dark text on white whatever the colours were.
constexpr double kBackgroundWindowPerGlyph = 1.6;
// Tesseract reads UI text far better once its glyphs (median connected component) are about this
// tall: 13 px text at 1x is enlarged about 1.6 times. Never more than 4 times or 24 Mpixels.
constexpr double kGlyphPixels = 16;
constexpr double kMaxScale = 4;
constexpr double kMaxScaledPixels = 24e6;
// The resolution told to Tesseract grows with the enlargement, so its layout sees the page as
// it was, but stays below the 120 dpi at which it merges a sidebar with the body beside it.
constexpr double kMaxResolution = 115;

}  // namespace

double GlyphHeight(Pix* grey) {
  l_int32 threshold = 128;
  pixSplitDistributionFgBg(grey, 0.0, 2, &threshold, nullptr, nullptr, nullptr);
  OwnedPix dark(pixThresholdToBinary(grey, threshold));
  if (!dark) return 0;
  OwnedPix light(pixInvert(nullptr, dark.get()));
  std::vector<int> heights;
  for (Pix* mask : {dark.get(), light.get()}) {
    Boxa* boxes = pixConnCompBB(mask, 8);
    if (!boxes) continue;
    const int count = boxaGetCount(boxes);
    for (int i = 0; i < count; ++i) {
      l_int32 x = 0, y = 0, w = 0, h = 0;
      boxaGetBoxGeometry(boxes, i, &x, &y, &w, &h);
      if (h >= 4 && h <= 300 && w <= 3 * h && w * h >= 12) heights.push_back(h);
    }
    boxaDestroy(&boxes);
  }
  if (heights.empty()) return 0;
  std::nth_element(heights.begin(), heights.begin() + heights.size() / 2, heights.end());
  return heights[heights.size() / 2];
}

Prepared Prepare(const std::string& path, Pix* grey) {
  const double glyph = GlyphHeight(grey);
  OwnedPix pix(pixClone(grey));
  if (glyph > 0) {
    const int half = std::clamp(static_cast<int>(glyph * kBackgroundWindowPerGlyph / 2), 2, 60);
    OwnedPix rows(pixRankFilterGray(grey, 2 * half + 1, 1, 0.5));
    OwnedPix background(rows ? pixRankFilterGray(rows.get(), 1, 2 * half + 1, 0.5) : nullptr);
    OwnedPix distance(background ? pixAbsDifference(grey, background.get()) : nullptr);
    if (!distance) throw ImageError(path, "the image could not be converted for recognition");
    pix.reset(pixInvert(distance.get(), distance.get()));
    distance.release();
  }
  Prepared prepared;
  const double pixels = static_cast<double>(pixGetWidth(grey)) * pixGetHeight(grey);
  const double scale = glyph > 0 ? std::min({std::max(kGlyphPixels / glyph, 1.0), kMaxScale,
                                             std::sqrt(kMaxScaledPixels / pixels)})
                                 : 1.0;
  if (scale > 1.15) {
    OwnedPix larger(pixScaleGrayLI(pix.get(), scale, scale));
    if (!larger) throw ImageError(path, "the image could not be converted for recognition");
    prepared.scale = static_cast<double>(pixGetWidth(larger.get())) / pixGetWidth(grey);
    pix = std::move(larger);
  }
  prepared.pix = std::move(pix);
  prepared.resolution =
      static_cast<int>(std::min(kMaxResolution, kSourceResolution * prepared.scale) + 0.5);
  return prepared;
}
