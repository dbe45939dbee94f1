#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "platform/recognition/line_layout.h"

// Flat strokes that stand alone, a spreadsheet cell's "一" or "—": the text detector finds
// hardly any of them (inside their boxes its map's highest value had a median of 0.02 to 0.03
// on whole windows, against 1.0 for "二" and "三"), and the line model reads the few it finds
// as "二" or "1".
//
// A stroke is a run of ink across, thin down, and kStrokeContrast levels or more away from the
// ground just above and below it, kShortestStrokePerGlyph to kLongestStrokePerGlyph glyph heights
// long; it stands alone where no other ink lies within a glyph height of it across, nor within
// that or its own length above and below it, but the straight rules of a table or a chart, which
// it does not touch and does not continue.
constexpr double kStrokeContrast = 40;
// A stroke shorter than this is a hyphen or a minus, which the detector finds beside its words.
constexpr double kShortestStrokePerGlyph = 0.7;
// Glyph heights measured on 2x frames come out short of the text's size (16 pixels for 28 pixel
// Chinese), which makes a 2x "一" 1.6 of them long.
constexpr double kLongestStrokePerGlyph = 2;

// The lone flat strokes of |image| (8 bpp), whose glyphs are |glyph| pixels tall, in pixels of an
// image |scale| times it, clipped to |width| x |height|; none where glyphs are under kSmallGlyph,
// which the encoder of a scaled-down recording blurs into strokes.
std::vector<LoneStroke> FindLoneStrokes(const cv::Mat& image, double glyph, double scale, int width,
                                        int height);
