#pragma once

#include "platform/drawing/canvas.h"

// Off-screen drawing with Cairo and Pango, PNG through Cairo.
class PangoDrawing : public DrawingService {
 public:
  std::unique_ptr<Canvas> CreateCanvas(int width, int height) override;
  void WriteFile(const std::string& path, std::string_view bytes) override;
};
