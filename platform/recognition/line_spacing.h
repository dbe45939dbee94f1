#pragma once

#include <string>
#include <vector>

#include "platform/recognition/found_line.h"

// Where a line's text gets its spaces: Tesseract's characters and the line model's, with the
// ink-free columns of the line in the prepared image.

// A space between a Chinese character and a Latin letter or digit (or, in the line model's
// readings, between a digit and a letter) is at least this fraction of the line's height wide;
// characters set without one are closer.
constexpr double kScriptGapPerLineHeight = 0.22;
// A space Tesseract put between two Latin characters (or a Latin one and a Chinese one) is kept
// where the ink-free gap between them is at least this fraction of the line's height; between two
// Chinese characters (where Tesseract often sees words in the gaps of small text) a wider one.
constexpr double kWordGapPerLineHeight = 0.11;
constexpr double kWordGapInChinese = 0.3;
// Between two Chinese characters an ink-free gap of at least this fraction of the line's height
// is a space whether Tesseract saw one or not: the gap between the items of a toolbar ("条件格式
// 套用表格格式"). On the tune half of whole windows such gaps were 0.8 to 1.1 of the line's
// height; inside Chinese text, at most 0.41 (an icon beside a label). The five full-size
// variants summed 8.27 -> 8.22 % CER on the tune half and 17.13 -> 17.08 % on the held half, no
// held variant worse; on the tune half 2to1x and 0.6x read 0.01 worse, where an icon read as a
// character is now parted from its label by a space ("田 控制中心").
constexpr double kChineseWordGapAlone = 0.6;

// Where a line has the line model's reading alone, a word begins after an ink-free gap at least
// this fraction of the detector's region high (about 0.4 of the glyphs' height).
constexpr double kModelWordGapPerRegionHeight = 0.25;

// Which columns of a line's box in the prepared image hold ink, from x = |left| (image pixels).
struct InkColumns {
  int left = 0;
  std::vector<bool> inked;

  // The widest run of ink-free columns from x = |from| up to |to| (image pixels).
  int WidestGap(int from, int to) const;
};

// Tesseract writes no space after a Chinese word, so "已经 merge" comes out "已经merge", and its
// character boxes overlap there; English alone runs "2.4 GB" together as "2.4GB" as well.
// Where a Chinese character and a Latin one meet without a space in |text| (the line whose
// characters are |symbols|), or with |digits_and_letters| a digit and a letter, a space is put
// back when the widest run of ink-free |columns| from the left edge of the first character to the
// right edge of the second is at least |gap| pixels. On whole windows the digit rule took the five
// full-size variants, summed, from 8.32 to 8.28 % CER on the tune half and from 17.57 to 17.21 %
// on the held half; no variant of either read worse.
std::string SpacedAtScriptChanges(const std::vector<FoundLine::Symbol>& symbols,
                                  const std::string& text, const InkColumns& columns, double gap,
                                  bool digits_and_letters);

// The line model's |characters| with the spaces of Tesseract's reading |line| of the same line,
// in pixels of the prepared image, whose ink-free columns across the line are |columns|:
// - each space Tesseract put before a word goes into the widest ink-free gap not yet spaced between
//   two model characters within half a line height of that word's left edge, if that gap is wide
//   enough;
// - a space goes between two Chinese characters with an ink-free gap of kChineseWordGapAlone;
// - a space goes between a Chinese character and a Latin one, or a digit and a letter, with an
//   ink-free gap of kScriptGapPerLineHeight between them (where Tesseract read a Chinese word as
//   Latin letters, or the other way round, or ran "1.8 GB" together; measured on the compressed UI
//   frames, the digit rule took the CER from 1.27 % to 1.19 %, and to 1.24 % at a gap of 0.16);
// - a full-width sign the model read where Tesseract read its half-width form takes Tesseract's
//   unless it follows a Chinese character or comes right before one (the model favours the
//   full-width forms: "Chen：", "（3.4 MB)"); the full-width bracket of a pair whose other
//   bracket is half-width takes Tesseract's half-width form even there ("上传（3)" -> "上传(3)";
//   on whole windows the five full-size variants summed 8.28 -> 8.27 % CER on the tune half and
//   17.21 -> 17.09 % on the held half); a full-width sign has no space on either side;
// - a dash where Tesseract read "一" is that character.
std::string SpacedLikeTesseract(const std::vector<ModelCharacter>& characters,
                                const FoundLine& line, const InkColumns& columns);
