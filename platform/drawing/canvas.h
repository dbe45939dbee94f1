#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// What the fixture command asks of an off-screen drawing service. Coordinates are in points of
// the canvas (one point is one pixel), origin at the bottom-left corner, y upward.

struct Rgb {
  double red = 0;  // each 0 to 1
  double green = 0;
  double blue = 0;
};

struct Point {
  double x = 0;
  double y = 0;
};

struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

class Canvas {
 public:
  virtual ~Canvas() = default;

  virtual void FillRect(const Rect& rect, const Rgb& color) = 0;

  // Draws one line of |text| (UTF-8) in the system's sans-serif face at |font_size| points, with
  // the lower-left corner of its logical box at |lower_left|. Missing glyphs fall back to a face
  // that has them.
  virtual void DrawText(std::string_view text, const Point& lower_left, double font_size,
                        const Rgb& color) = 0;

  // The canvas as PNG bytes, or nothing when it cannot be encoded.
  virtual std::optional<std::string> EncodePng() = 0;
};

class DrawingService {
 public:
  virtual ~DrawingService() = default;

  // A canvas of |width| x |height| points, transparent until filled.
  virtual std::unique_ptr<Canvas> CreateCanvas(int width, int height) = 0;

  // Replaces the file at |path| with |bytes|. Throws PlatformError naming the path and the
  // reason; a failed write leaves any earlier file at |path| as it was.
  virtual void WriteFile(const std::string& path, std::string_view bytes) = 0;
};
