#include "platform/recognition/line_layout.h"

#include <algorithm>

bool SameLine(const LineRegion& a, const LineRegion& b) {
  const int shared_y = std::min(a.top + a.height, b.top + b.height) - std::max(a.top, b.top);
  const int shared_x = std::min(a.left + a.width, b.left + b.width) - std::max(a.left, b.left);
  return shared_x > 0 && 2 * shared_y >= std::min(a.height, b.height);
}

std::vector<LineRegion> WithMissingLines(std::vector<LineRegion> lines,
                                         const std::vector<LineRegion>& more) {
  for (const LineRegion& extra : more) {
    if (std::any_of(lines.begin(), lines.end(),
                    [&](const LineRegion& line) { return SameLine(line, extra); })) {
      continue;
    }
    const int middle = extra.top + extra.height / 2;
    auto at = std::find_if(lines.begin(), lines.end(),
                           [&](const LineRegion& line) { return line.top > middle; });
    lines.insert(at, extra);
  }
  return lines;
}
