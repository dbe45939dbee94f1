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
// A dense glyph (a 13 px Chinese character) can fill most of that window, and its middle fades
// into a ground taken from its own ink. Near ink the ground of a window twice as wide counts too,
// the larger distance winning; elsewhere the wide window would blur the edges of bands and
// buttons into ink. On whole windows 3.2 glyph heights read best (tune and held half alike,
// bench/ocr_windows).
constexpr double kWideWindowPerGlyph = 3.2;
constexpr int kInkDistance = 64;  // from the narrow ground, of 255
constexpr double kInkReachPerGlyph = 0.6;
// Tesseract reads UI text far better once its glyphs (median connected component) are about this
// tall: 13 px text at 1x is enlarged about 1.6 times. Never more than 4 times or 24 Mpixels.
constexpr double kGlyphPixels = 16;
constexpr double kMaxScale = 4;
constexpr double kMaxScaledPixels = 24e6;
// The resolution told to Tesseract grows with the enlargement, so that it sees the glyphs as
// they were, up to the 115 dpi its line readings were measured at.
constexpr double kMaxResolution = 115;

// How far each pixel of |grey| is from the median of the (2 |half| + 1)-pixel window around it,
// taken along rows and then along columns; null when Leptonica fails. The window is narrowed to
// the image: Leptonica mirrors no more than the whole image around its edges.
OwnedPix DistanceFromGround(Pix* grey, int half) {
  half = std::min({half, pixGetWidth(grey), pixGetHeight(grey)});
  OwnedPix rows(pixRankFilterGray(grey, 2 * half + 1, 1, 0.5));
  OwnedPix ground(rows ? pixRankFilterGray(rows.get(), 1, 2 * half + 1, 0.5) : nullptr);
  return OwnedPix(ground ? pixAbsDifference(grey, ground.get()) : nullptr);
}

// |narrow| (the distances from the narrow ground) where the distance from the wide ground is
// larger near ink; null when Leptonica fails.
OwnedPix WithWideGroundNearInk(Pix* grey, Pix* narrow, double glyph) {
  const int half = std::clamp(static_cast<int>(glyph * kWideWindowPerGlyph / 2), 3, 120);
  OwnedPix wide(DistanceFromGround(grey, half));
  OwnedPix ink(pixThresholdToBinary(narrow, kInkDistance));  // set below the distance
  if (!wide || !ink || !pixInvert(ink.get(), ink.get())) return nullptr;
  const int reach = std::max(3, static_cast<int>(glyph * kInkReachPerGlyph) | 1);
  OwnedPix near(pixDilateBrick(nullptr, ink.get(), reach, reach));
  OwnedPix larger(pixMinOrMax(nullptr, narrow, wide.get(), L_CHOOSE_MAX));
  OwnedPix merged(pixCopy(nullptr, narrow));
  if (!near || !larger || !merged ||
      pixCombineMasked(merged.get(), larger.get(), near.get()) != 0) {
    return nullptr;
  }
  return merged;
}

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
      // The ground of a small image spans all of it; it is no glyph.
      if (w == pixGetWidth(grey) && h == pixGetHeight(grey)) continue;
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
    OwnedPix narrow(DistanceFromGround(grey, half));
    OwnedPix merged(narrow ? WithWideGroundNearInk(grey, narrow.get(), glyph) : nullptr);
    if (!merged) throw ImageError(path, "the image could not be converted for recognition");
    pix.reset(pixInvert(merged.get(), merged.get()));
    merged.release();
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
  prepared.glyph = glyph;
  prepared.pix = std::move(pix);
  prepared.resolution =
      static_cast<int>(std::min(kMaxResolution, kSourceResolution * prepared.scale) + 0.5);
  return prepared;
}
