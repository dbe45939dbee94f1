#pragma once

#include <string>

#include "platform/drawing/canvas.h"

// The fixture subcommand: draws the fixed 800 x 500 test image and writes it as PNG to
// |output_path|. Throws ToolError 7 when the image cannot be encoded and the drawing service's
// error when the file cannot be written. Prints nothing.
void fixture(const std::string& output_path, DrawingService& drawing);
