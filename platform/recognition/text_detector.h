#pragma once

#include <leptonica/allheaders.h>

#include <string>
#include <vector>

#include "platform/recognition/line_layout.h"

namespace cv {
class Mat;
}  // namespace cv

// A PP-OCRv4 text detector (a map of how likely each pixel is to lie inside a text line, shrunk
// towards the line's middle) run by OpenCV's dnn module: the text lines of a page as rectangles,
// each one row of text, never two rows or two columns, whatever the layout around them.
class TextDetector {
 public:
  // Checks that |directory|/det.onnx can be read; the graph loads for each page. Throws
  // PlatformError naming the file and the reason otherwise.
  explicit TextDetector(const std::string& directory);

  // The text lines of |grey| (8 bpp, as the image came) whose glyphs are |glyph| pixels tall (0
  // when unknown), in pixels of |grey| times |scale|, clipped to |width| x |height|.
  std::vector<LineRegion> Find(Pix* grey, double glyph, double scale, int width, int height);

 private:
  std::string path_;
};

// The lines of a detector's |probability| map (CV_32F, one value per pixel of the detector's
// input): each connected area above kTextProbability whose mean is at least kLineProbability,
// widened back to the whole line, in pixels of an image |scale_x| times the input's across and
// |scale_y| times down, clipped to |width| x |height|, top to bottom.
std::vector<LineRegion> LinesOfProbabilityMap(const cv::Mat& probability, double scale_x,
                                              double scale_y, int width, int height);
