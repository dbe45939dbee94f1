#include "platform/recognition/lone_strokes.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "platform/recognition/line_confidence.h"

namespace {

// A stroke is at most this many glyph heights thick (plus a pixel of anti-aliasing), and fills
// at least kLeastFillPerLength of a row along its length: a slanted or broken run is no stroke.
constexpr double kThickestPerGlyph = 0.25;
constexpr double kLeastFillPerLength = 0.8;
// Ink thinner down than this many glyph heights stands out of the ground around it; ink taller
// (a letter's stem, a bar of a chart) does not.
constexpr double kThinPerGlyph = 0.5;
// Nothing else lies within this many glyph heights of a lone stroke on either side, nor within
// that or its own length above and below it: a stroke is about as long as its text is tall,
// where the glyph height measured on 2x frames falls short of it, and the two strokes of a 2x
// "二" came out 1.06 glyph heights apart, each one alone.
constexpr double kClearPerGlyph = 1;
// Straight runs of edges this many glyph heights long are the rules of a table or a chart,
// which may pass near a cell's stroke. A stroke that touches one is part of the drawing (a piece
// of a chart's axis between two bars), as is one whose row goes on beyond its ends at half its
// contrast or more (a rule that the encoder has broken into pieces).
constexpr double kRulePerGlyph = 3;
constexpr double kContinuedContrast = 0.5;
// Edges next to a stroke fainter than this share of its own contrast are the encoder's ringing.
constexpr double kRingingContrast = 0.5;
// The line a stroke is read from reaches this many glyph heights beyond it on every side.
constexpr double kLineMarginPerGlyph = 0.6;
// The most pixels searched: a 2880 x 1800 frame whole, in about 0.1 s. A 7000 x 5600 page
// searched whole took the reading's peak memory from 578 to 974 MB.
constexpr double kMostPixels = 2880 * 1800;

LineRegion Scaled(const cv::Rect& box, double scale, int width, int height) {
  const int left = std::clamp(static_cast<int>(std::floor(box.x * scale)), 0, width);
  const int top = std::clamp(static_cast<int>(std::floor(box.y * scale)), 0, height);
  const int right = std::clamp(static_cast<int>(std::ceil(box.br().x * scale)), 0, width);
  const int bottom = std::clamp(static_cast<int>(std::ceil(box.br().y * scale)), 0, height);
  return {left, top, right - left, bottom - top};
}

// Every edge of |grey| that is no straight rule, and the rules apart (widened by a pixel).
void EdgesAndRules(const cv::Mat& grey, double glyph, cv::Mat& edges, cv::Mat& rules) {
  cv::morphologyEx(grey, edges, cv::MORPH_GRADIENT,
                   cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3)));
  const cv::Mat edge = edges >= kStrokeContrast;
  const int run = std::max(3, static_cast<int>(glyph * kRulePerGlyph));
  cv::Mat across, down;
  cv::morphologyEx(edge, across, cv::MORPH_OPEN,
                   cv::getStructuringElement(cv::MORPH_RECT, cv::Size(run, 1)));
  cv::morphologyEx(edge, down, cv::MORPH_OPEN,
                   cv::getStructuringElement(cv::MORPH_RECT, cv::Size(1, run)));
  cv::dilate(across | down, rules, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3)));
  edges.setTo(0, rules);
}

}  // namespace

std::vector<LoneStroke> FindLoneStrokes(const cv::Mat& image, double glyph, double scale, int width,
                                        int height) {
  std::vector<LoneStroke> strokes;
  if (image.empty()) return strokes;
  // A larger page is searched shrunk to kMostPixels, which bounds the memory the search takes.
  const double shrink = std::min(1.0, std::sqrt(kMostPixels / image.total()));
  cv::Mat shrunk;
  if (shrink < 1) cv::resize(image, shrunk, cv::Size(), shrink, shrink, cv::INTER_AREA);
  const cv::Mat& grey = shrink < 1 ? shrunk : image;
  glyph *= shrink;
  scale /= shrink;
  if (glyph < kSmallGlyph) return strokes;
  const cv::Rect page(0, 0, grey.cols, grey.rows);
  // How far each pixel stands out, dark or light, of the ground just above and below it.
  const cv::Mat thin = cv::getStructuringElement(
      cv::MORPH_RECT, cv::Size(1, std::max(3, static_cast<int>(glyph * kThinPerGlyph) | 1)));
  cv::Mat dark, light;
  cv::morphologyEx(grey, dark, cv::MORPH_BLACKHAT, thin);
  cv::morphologyEx(grey, light, cv::MORPH_TOPHAT, thin);
  const cv::Mat contrast = cv::max(dark, light);
  cv::Mat edges, rules;
  EdgesAndRules(grey, glyph, edges, rules);

  cv::Mat labels, stats, centres;
  const int count = cv::connectedComponentsWithStats(contrast >= kStrokeContrast, labels, stats,
                                                     centres, 8, CV_32S);
  const int clear = static_cast<int>(glyph * kClearPerGlyph);
  for (int i = 1; i < count; ++i) {
    const cv::Rect ink(stats.at<int>(i, cv::CC_STAT_LEFT), stats.at<int>(i, cv::CC_STAT_TOP),
                       stats.at<int>(i, cv::CC_STAT_WIDTH), stats.at<int>(i, cv::CC_STAT_HEIGHT));
    if (ink.width < kShortestStrokePerGlyph * glyph || ink.width > kLongestStrokePerGlyph * glyph ||
        ink.height > kThickestPerGlyph * glyph + 1 ||
        stats.at<int>(i, cv::CC_STAT_AREA) < kLeastFillPerLength * ink.width) {
      continue;
    }
    const double own = cv::mean(contrast(ink), labels(ink) == i)[0];
    const cv::Rect before = cv::Rect(ink.x - clear, ink.y, clear, ink.height) & page;
    const cv::Rect after = cv::Rect(ink.br().x, ink.y, clear, ink.height) & page;
    if ((!before.empty() && cv::mean(contrast(before))[0] >= kContinuedContrast * own) ||
        (!after.empty() && cv::mean(contrast(after))[0] >= kContinuedContrast * own)) {
      continue;
    }
    const cv::Rect near = cv::Rect(ink.x - 2, ink.y - 2, ink.width + 4, ink.height + 4) & page;
    if (cv::countNonZero(rules(near)) > 0) continue;
    const int down = std::max(clear, ink.width);
    const cv::Rect around =
        cv::Rect(ink.x - clear, ink.y - down, ink.width + 2 * clear, ink.height + 2 * down) & page;
    const cv::Mat others = edges(around) >= std::max(kStrokeContrast, kRingingContrast * own);
    if (cv::countNonZero(others) > cv::countNonZero(others(near - around.tl()))) continue;
    const int margin = static_cast<int>(std::lround(glyph * kLineMarginPerGlyph));
    const int middle = ink.y + ink.height / 2;
    const cv::Rect line(ink.x - margin, middle - margin, ink.width + 2 * margin, 2 * margin);
    strokes.push_back({Scaled(ink, scale, width, height), Scaled(around, scale, width, height),
                       Scaled(line & page, scale, width, height)});
  }
  return strokes;
}
