#pragma once

#include <leptonica/allheaders.h>

#include <string>
#include <vector>

#include "platform/recognition/line_layout.h"

// A PP-OCRv4 text detector (a map of how likely each pixel is to lie inside a text line, shrunk
// towards the line's middle) run by OpenCV's dnn module: the text lines of a page as rectangles,
// each one row of text, never two rows or two columns, whatever the layout around them; and the
// flat strokes standing alone that it does not see (FindLoneStrokes), each a line of its own.
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
