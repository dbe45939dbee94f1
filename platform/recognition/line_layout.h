#pragma once

#include <vector>

// The text lines of a page as rectangles, and how the lines of two layouts of it are merged.

// A text line found by the layout pass, widened a little so that no stroke is cut, in pixels of
// the prepared image.
struct LineRegion {
  int left, top, width, height;
};

// Whether |a| and |b| share at least half of the shorter one's height and overlap at all across.
bool SameLine(const LineRegion& a, const LineRegion& b);

// |lines| with those of |more| that none of them covers, each put before the first line of
// |lines| that starts below its middle, so that the page order holds.
std::vector<LineRegion> WithMissingLines(std::vector<LineRegion> lines,
                                         const std::vector<LineRegion>& more);
