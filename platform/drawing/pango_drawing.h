#pragma once

#include "platform/drawing/canvas.h"

// Off-screen drawing with Cairo and Pango on an ARGB image surface (one point is one pixel),
// text in fontconfig's "sans-serif" with Simplified Chinese glyphs for Han text, PNG through
// Cairo. Writes files by renaming a finished temporary file over the target.
class PangoDrawing : public DrawingService {
 public:
  std::unique_ptr<Canvas> CreateCanvas(int width, int height) override;
  void WriteFile(const std::string& path, std::string_view bytes) override;
};
