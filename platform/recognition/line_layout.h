#pragma once

#include <vector>

// The text lines of a page as rectangles, and the order they are read in.

// A text line the detector found, widened a little so that no stroke is cut, in pixels of the
// prepared image.
struct LineRegion {
  int left, top, width, height;
};

// Lines whose columns are at least this many line heights apart (the median line's) belong to
// different columns of the page: a sidebar and the body beside it, a file tree and its code.
constexpr double kColumnGapPerLineHeight = 1.5;

// |lines| in reading order: the page is cut where a band of it holds no line, column by column
// where a gap across is wide enough (left column first), otherwise row by row (top first), each
// time at the widest such gap, and each part read alike; lines that no cut separates are read
// top to bottom, then left to right.
std::vector<LineRegion> InReadingOrder(std::vector<LineRegion> lines);
