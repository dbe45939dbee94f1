#include "platform/recognition/text_detector.h"

#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/platform_error.h"
#include "platform/recognition/line_confidence.h"
#include "platform/recognition/lone_strokes.h"
#include "platform/recognition/model_file.h"

namespace {

// The detector's own post-processing settings: a pixel above kTextProbability is text, an area
// of them whose mean is below kLineProbability is not a line, and an area is widened back to its
// line by kUnclipRatio times its area over its perimeter on every side. Icons and chevrons come
// out less sure than text: at 0.8 rather than the usual 0.6, whole windows read better in both
// halves (1x 2.77 -> 2.73 % CER on the tune half, 3.19 -> 3.09 % held; phantom lines 133 -> 121
// and 212 -> 201 on the five full-size variants); at 0.9 more true lines were lost than icons.
constexpr float kTextProbability = 0.3f;
constexpr double kLineProbability = 0.8;
constexpr double kUnclipRatio = 1.5;

// The detector finds lines best where glyphs are about this tall: of the true lines of whole
// windows it found 99 % at 1x, and of the same windows scaled to 0.6 and 0.5, 94 and 88 % as
// they came, 96 and 93 % enlarged to it. Larger text is left as it is, its boxes then being as
// exact as the image. Its input is at most kMaxSide pixels on either side (OpenCV 4.6's dnn
// fails inside on 2560 x 1440) and kMaxPixels in all, which bounds the memory its layers take
// (a 2880 x 1800 frame peaked at 810 MB with 1920 x 1216, 450 MB with this), and a multiple of 32
// each way.
constexpr double kDetectorGlyphPixels = 10;
constexpr double kMaxEnlargement = 2.5;
constexpr double kMaxSide = 1920;
constexpr double kMaxPixels = 1440 * 912;
constexpr int kStride = 32;
constexpr int kThreads = 2;
// Tesseract reads a line best with a margin around its glyphs: half a line height on either side
// and a tenth above and below the detector's box (none above and below loses the tops and tails
// of glyphs).
constexpr double kMarginAcross = 0.5;
constexpr double kMarginDown = 0.1;
const std::string kModel = "text detector";

PlatformError DetectorError(const std::string& path, const std::string& reason) {
  return ModelFileError(kModel, path, reason);
}

// The lines of the detector's |probability| map (one value per pixel of its input): each
// connected area above kTextProbability whose mean is at least kLineProbability, widened back to
// the whole line and then by the margins Tesseract needs, in pixels of an image |scale_x| times
// the input's across and |scale_y| times down, clipped to |width| x |height|; lines in one row
// kept apart where |apart|.
std::vector<LineRegion> LinesOf(const cv::Mat& probability, double scale_x, double scale_y,
                                int width, int height, bool apart) {
  const cv::Mat text = probability > kTextProbability;
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(text, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
  std::vector<LineRegion> lines;
  std::vector<LineRegion> areas;  // each line's area before it was widened
  for (const std::vector<cv::Point>& contour : contours) {
    const cv::Rect box = cv::boundingRect(contour);
    if (std::min(box.width, box.height) < 2) continue;
    cv::Mat inside = cv::Mat::zeros(box.size(), CV_8U);
    cv::drawContours(inside, std::vector<std::vector<cv::Point>>{contour}, 0, cv::Scalar(255),
                     cv::FILLED, cv::LINE_8, cv::noArray(), 0, -box.tl());
    if (cv::mean(probability(box), inside)[0] < kLineProbability) continue;
    const double perimeter = cv::arcLength(contour, true);
    const double widen =
        perimeter > 0 ? std::max(cv::contourArea(contour), 1.0) * kUnclipRatio / perimeter : 0;
    int left = std::max(0, static_cast<int>(std::floor((box.x - widen) * scale_x)));
    int top = std::max(0, static_cast<int>(std::floor((box.y - widen) * scale_y)));
    int right = std::min(width, static_cast<int>(std::ceil((box.x + box.width + widen) * scale_x)));
    int bottom =
        std::min(height, static_cast<int>(std::ceil((box.y + box.height + widen) * scale_y)));
    if (right <= left || bottom <= top) continue;
    const int margin_x = static_cast<int>((bottom - top) * kMarginAcross);
    const int margin_y = static_cast<int>((bottom - top) * kMarginDown);
    left = std::max(0, left - margin_x);
    top = std::max(0, top - margin_y);
    right = std::min(width, right + margin_x);
    bottom = std::min(height, bottom + margin_y);
    lines.push_back({left, top, right - left, bottom - top});
    areas.push_back({static_cast<int>(box.x * scale_x), static_cast<int>(box.y * scale_y),
                     static_cast<int>(box.width * scale_x),
                     static_cast<int>(box.height * scale_y)});
  }
  return apart ? KeptApart(std::move(lines), areas) : lines;
}

}  // namespace

TextDetector::TextDetector(const std::string& directory) : path_(directory + "/det.onnx") {
  CheckModelFile(kModel, path_);
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
}

std::vector<LineRegion> TextDetector::Find(Pix* grey, double glyph, double scale, int width,
                                           int height) {
  const int source_width = pixGetWidth(grey), source_height = pixGetHeight(grey);
  double enlargement =
      glyph > 0 ? std::clamp(kDetectorGlyphPixels / glyph, 1.0, kMaxEnlargement) : 1;
  enlargement =
      std::min({enlargement, kMaxSide / source_width, kMaxSide / source_height,
                std::sqrt(kMaxPixels / (static_cast<double>(source_width) * source_height))});
  const int input_width = std::max(
      kStride, static_cast<int>(std::lround(source_width * enlargement / kStride)) * kStride);
  const int input_height = std::max(
      kStride, static_cast<int>(std::lround(source_height * enlargement / kStride)) * kStride);

  cv::Mat page(source_height, source_width, CV_8U);
  const l_uint32* data = pixGetData(grey);
  const int words = pixGetWpl(grey);
  for (int y = 0; y < source_height; ++y) {
    unsigned char* row = page.ptr<unsigned char>(y);
    for (int x = 0; x < source_width; ++x) row[x] = GET_DATA_BYTE(data + y * words, x);
  }
  cv::Mat resized;
  cv::resize(page, resized, cv::Size(input_width, input_height), 0, 0, cv::INTER_LINEAR);
  // The model's input: each of three channels (the same grey) as (value / 255 - mean) / deviation.
  constexpr float kMean[3] = {0.485f, 0.456f, 0.406f};
  constexpr float kDeviation[3] = {0.229f, 0.224f, 0.225f};
  cv::Mat input({1, 3, input_height, input_width}, CV_32F);
  for (int channel = 0; channel < 3; ++channel) {
    cv::Mat plane(input_height, input_width, CV_32F, input.ptr<float>(0, channel));
    resized.convertTo(plane, CV_32F, 1.0 / (255 * kDeviation[channel]),
                      -kMean[channel] / kDeviation[channel]);
  }

  // The graph is loaded for the page and let go with it, so that the memory its layers hold is
  // free again before the lines are read.
  cv::dnn::Net net = LoadGraph(kModel, path_);
  // No line is read before the page's lines are found, so the detector has the cores to itself
  // but for the language data loading beside it; the line model's graphs run on one thread each.
  const int threads = cv::getNumThreads();
  cv::setNumThreads(kThreads);
  cv::Mat output;
  try {
    net.setInput(input);
    output = net.forward();
  } catch (const cv::Exception&) {
    cv::setNumThreads(threads);
    throw DetectorError(path_, "it cannot be run on the page");
  }
  cv::setNumThreads(threads);
  if (output.dims != 4 || output.size[2] != input_height || output.size[3] != input_width) {
    throw DetectorError(path_, "it does not map the page pixel by pixel");
  }
  const cv::Mat probability(input_height, input_width, CV_32F, output.ptr<float>(0, 0));
  // The map's pixels to the page's, across and down apart: each side was rounded on its own.
  // Widened, the areas of two words a few spaces apart in one row ("lin lin   7012") overlap,
  // and each line read the other's last or first letter ("n 7012"). Where glyphs are kSmallGlyph
  // or taller, a line reaches across no further than halfway to the area of the next line in its
  // row (one that shares half the shorter one's height). On whole windows the five full-size
  // variants summed 14.02 -> 13.23 % CER on the tune half and 12.72 -> 12.11 % on the held half.
  // On smaller glyphs it helped neither half (0.6x and 0.5x together 60.31 -> 60.40 % and 49.74
  // -> 49.78 %), and icons cut off from their labels came out as letters (9 more phantom lines on
  // the held half).
  std::vector<LineRegion> lines =
      LinesOf(probability, scale * source_width / input_width,
              scale * source_height / input_height, width, height, glyph >= kSmallGlyph);
  // The graph's memory is let go before the strokes are searched for.
  output.release();
  net = cv::dnn::Net();
  return WithLoneStrokes(std::move(lines), FindLoneStrokes(page, glyph, scale, width, height));
}
