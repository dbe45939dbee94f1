#pragma once

#include <string>

#include "platform/recognition/image_file.h"

// The page as Tesseract reads it best: dark text on white, its glyphs enlarged to a size it
// reads well, and the resolution it is told.

// Screen images carry no usable resolution. Without one Tesseract assumes 70 dpi and removes CJK
// strokes as ruled lines; from 120 dpi up it merges a sidebar and the body of a 2880-pixel-wide
// screenshot into one line.
constexpr int kSourceResolution = 96;

// The median height of the glyph-sized connected components, dark on light and light on dark
// alike, or 0 when there is none.
double GlyphHeight(Pix* grey);

struct Prepared {
  OwnedPix pix;        // what Tesseract reads the lines from: dark text on white, maybe enlarged
  double scale = 1;    // their size over the original's
  double glyph = 0;    // GlyphHeight of the original
  int resolution = 0;  // the resolution Tesseract is told they have
};

// |grey| as dark text on white at the size Tesseract reads best. |path| names the file in errors.
Prepared Prepare(const std::string& path, Pix* grey);
