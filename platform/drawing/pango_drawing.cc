#include "platform/drawing/pango_drawing.h"

#include "app/tool_error.h"

std::unique_ptr<Canvas> PangoDrawing::CreateCanvas(int, int) {
  throw PlatformError("drawing is not built yet");  // PLACEHOLDER
}

void PangoDrawing::WriteFile(const std::string&, std::string_view) {
  throw PlatformError("drawing is not built yet");  // PLACEHOLDER
}
