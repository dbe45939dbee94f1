#pragma once

#include <cstddef>
#include <vector>

// The text lines of a page as rectangles, and the order they are read in.

// A text line the detector found, widened a little so that no stroke is cut, in pixels of the
// prepared image.
struct LineRegion {
  int left, top, width, height;
  bool stroke = false;  // it holds one flat stroke alone, which is all it may be read as
};

// A flat stroke standing alone on the page (FindLoneStrokes).
struct LoneStroke {
  LineRegion ink;    // the stroke itself
  LineRegion clear;  // around it, where there is no other ink
  LineRegion line;   // the line to read it from, in the clear
};

// A line of the detector's may reach this share of its height beyond the clear around the lone
// strokes it holds and still hold nothing else.
constexpr double kStrokeLineSlack = 0.6;

// |lines| with every lone stroke of |strokes| read from a line of its own: a line of the
// detector's that holds lone strokes and nothing else (it lies within the clear around them, give
// or take kStrokeLineSlack) gives way to their lines, and a stroke that the detector's line holds
// together with other ink is read with it. On whole windows the detector's line of a lone "一"
// reached the cell above or below ("二"), and the line model read one alone as "二" or "1"; the
// five full-size variants read 1.43 / 3.95 / 1.36 / 1.39 / 1.67 -> 1.10 / 3.65 / 1.06 / 1.10 /
// 1.41 % CER on the tune half and 3.44 / 4.91 / 3.21 / 3.22 / 3.37 -> 2.97 / 4.52 / 2.81 / 2.81
// / 3.00 % on the held half, only the two spreadsheets of lone strokes changing, with no more
// lines where there is no text.
std::vector<LineRegion> WithLoneStrokes(std::vector<LineRegion> lines,
                                        const std::vector<LoneStroke>& strokes);

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
