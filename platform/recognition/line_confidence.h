#pragma once

#include <string>

// How sure a line's reading must be to stand, by its text and Tesseract's confidences (0 to 100).

// A line with a word read at a confidence below this by Chinese and English together that the line
// model does not read (Tesseract found two lines in it, or the model nothing) is read again by the
// Chinese model alone, which knows Latin letters and digits too (the reading with the higher mean
// confidence is kept). Small Chinese labels otherwise come out as Latin letters ("内置麦克风" ->
// "ABS", "已发布" -> "BA").
constexpr float kRetryBelowConfidence = 60;
// Most screen text is Latin, which the English model reads for a fraction of the time the Chinese
// and English ones take together; its reading of a line stands when every word was read at least
// this confidently. (Measured on the compressed UI frames: 1.33 % CER against 1.48 % without it;
// from 75 Chinese lines read as Latin letters stand, 1.74 %.)
constexpr float kTrustLatinFrom = 85;
// The edges of round avatars and icons left by the background come out as lines of symbols
// ("=", "-"); a line without a single letter, digit or Chinese character read at less than this
// confidence is one of them.
constexpr float kSymbolLineConfidence = 80;

// A line Tesseract read nothing in stands on the line model's reading alone when the mean
// probability of its characters is at least this; icons and pictures read as text are less sure.
constexpr double kModelLineConfidence = 0.8;

// Whether the line |text|, read at |confidence|, is such a line of symbols.
bool IsPhantom(const std::string& text, float confidence);
