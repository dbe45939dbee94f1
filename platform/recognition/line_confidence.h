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
// English alone reads a Chinese character standing by itself (a spreadsheet's "中" or "女", an
// avatar's "周", a menu's "目录") as one or two Latin letters ("ch", "x", "A", "BR") as surely as
// it reads real ones. Such a reading, of at most kMostLettersToConfirm letters and nothing else,
// stands only where every language together reads the same; otherwise the line goes on. On whole
// windows, the five full-size variants summed 13.23 -> 12.12 % CER on the tune half and 12.11 ->
// 11.87 % on the held half, no variant of either half worse. Sent on to the model even where
// both readings agreed, a spreadsheet's lone letters came back as look-alikes ("Y" -> "丫",
// "H" -> "工") and the held half read worse at 2x.
// A character of horizontal strokes alone ("二", "三", "是") comes out as signs of strokes ("=",
// "-") the same way, and needs the same confirming: the five full-size variants summed 10.01 ->
// 9.80 % on the tune half and 18.23 -> 18.15 % on the held half (its nine windows, the shift
// roster among them), no variant of either worse.
constexpr size_t kMostLettersToConfirm = 2;
// Glyphs (GlyphHeight) shorter than this many pixels are the text of a recording scaled down,
// which Tesseract reads worse than the line model does. On such a page no English reading is
// trusted alone: every line goes on to the Chinese and English reading and the line model. On
// whole windows scaled to 0.6 and 0.5 this took the CER from 21.34 to 20.83 % and from 42.96 to
// 42.59 % on the tune half, 18.51 to 18.25 % and 35.20 to 35.07 % on the held half; at full size
// their glyphs are 8 px or more.
constexpr double kSmallGlyph = 8;
// The edges of round avatars and icons left by the background come out as lines of symbols
// ("=", "-"); a line without a single letter, digit or Chinese character read at less than this
// confidence is one of them.
constexpr float kSymbolLineConfidence = 80;

// A line Tesseract read nothing in stands on the line model's reading alone when the mean
// probability of its characters is at least this; icons and pictures read as text are less sure.
constexpr double kModelLineConfidence = 0.8;
// On a page of glyphs under kSmallGlyph the model is less sure of what it reads right (a
// spreadsheet's "是" at 0.77, "68" at 0.77, "男" at 0.6), and its reading stands from this. On the
// same frames 20.83 -> 20.50 % and 42.59 -> 41.74 % on the tune half, 18.25 -> 17.90 % and
// 35.07 -> 34.70 % on the held half; lower, the tune half gained a few hundredths more and read
// more icons as lines.
constexpr double kSmallGlyphModelLineConfidence = 0.4;

// Whether English alone's reading |text| is such a short run of letters, or of stroke signs.
bool NeedsConfirming(const std::string& text);

// Whether the line |text|, read at |confidence|, is such a line of symbols.
bool IsPhantom(const std::string& text, float confidence);

// Whether the line |text| is one sign alone that windows draw as an icon or a control rather than
// write: a chevron ("<", ">"), a checkbox ("口"), a radio button or bullet ("○", "■", "©", "®"),
// a star, an arrow, a circled number, or Chinese punctuation with nothing to punctuate. Tesseract
// and the model read these however sure they are. On whole windows, leaving them out took the
// lines found where there is no text from 435 to 282 (1x 2.73 -> 2.63 % CER on the tune half,
// 3.09 -> 2.80 % held); no line of text was one of these signs alone.
bool IsLoneIcon(const std::string& text);

// Whether |text| is one flat stroke: "一", a dash, a hyphen, a minus, an underscore or a long
// vowel mark. A line that holds one lone stroke (LineRegion::stroke) stands only as such a reading;
// the line model reads a stroke alone as "二" or "1", and Tesseract as "I" or nothing.
bool IsFlatStroke(const std::string& text);

// |text| with a full-width letter, digit or sign that stands alone in its half-width form:
// nothing around it says the text is Chinese.
std::string LoneHalfWidth(const std::string& text);
