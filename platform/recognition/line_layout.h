#pragma once

#include <cstddef>
#include <vector>

// The text lines of a page as rectangles, and the order they are read in.

// A text line the detector found, widened a little so that no stroke is cut, in pixels of the
// prepared image.
struct LineRegion {
  int left, top, width, height;
};

// Each of |lines| narrowed to reach across no further than halfway to the area (|areas|, in the
// same order: what each line covered before its margins) of the next line on either side in its
// row, one that shares at least half the shorter one's height.
std::vector<LineRegion> KeptApart(std::vector<LineRegion> lines,
                                  const std::vector<LineRegion>& areas);

// Lines whose columns are at least this many line heights apart (the median line's) belong to
// different columns of the page: a sidebar and the body beside it, a file tree and its code.
constexpr double kColumnGapPerLineHeight = 1.5;

// |lines| in reading order: the page is cut where a band of it holds no line, column by column
// where a gap across is wide enough (left column first), otherwise row by row (top first), each
// time at the widest such gap, and each part read alike; lines that no cut separates are read
// top to bottom, then left to right.
std::vector<LineRegion> InReadingOrder(std::vector<LineRegion> lines);

// A line read inside a line more than 1 / kMostFragmentHeight times as tall (half of it or more
// within the other's box across and down) is a piece of the other's glyphs the detector found
// apart, read again: a strip of descenders, a strike-through ("ask Emma about the arm64 nightly"
// and "4g" below it). On whole windows, leaving them out took the lines read twice from 6 to 2
// on the tune half and 24 to 14 on the held half; at 0.6 and 0.7 the tune half read the same.
constexpr double kMostFragmentHeight = 0.5;

// Whether each of |lines| is such a piece of another.
std::vector<bool> FragmentsOf(const std::vector<LineRegion>& lines);

// Two lines read where their boxes overlap by half the narrower one's width and half the lower
// one's height read the same ink twice: the detector found overlapping regions, and the margins
// Tesseract reads with reach into the neighbour ("def d" beside "def decode(movie, fps):", a "B"
// button inside "B / S Link List"). The one that read fewer characters goes (the narrower where
// both read as many, the later where they are as wide too). On whole windows, lines read twice
// 2 -> 0 on the tune half and 14 -> 0 on the held half (CER 11.68 -> 11.67 % and 9.75 -> 9.72 %).
// Whether each of |lines|, which read |characters| characters each, is read again by another.
std::vector<bool> ReadTwiceOf(const std::vector<LineRegion>& lines,
                              const std::vector<size_t>& characters);
