#include "platform/recognition/line_reader.h"

#include <tesseract/resultiterator.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/platform_error.h"
#include "platform/recognition/line_confidence.h"
#include "platform/recognition/line_spacing.h"
#include "platform/recognition/script_rules.h"

namespace {

// A pixel of a line is ink where it is darker than this fraction of the way from the line's
// darkest value to white, so that grey and faint text count as much as black. The thin strokes
// of small or blurred letters ("i", "l", "t") are lighter than the line's darkest value; at
// halfway they were missed and the gaps beside them taken for word gaps ("C MakeL ists. txt").
// Three quarters read whole windows better in both halves (CER 11.15 -> 10.87 % on the tune
// half, 9.56 -> 9.21 % on the held half; 0.6x 20.50 -> 19.24 and 17.90 -> 16.84 %, 1x at CRF 30
// 5.12 -> 4.96 and 4.31 -> 4.12 %); 0.85 gained less at 0.6x (19.94 % on the tune half).
constexpr double kInkPerLineRange = 0.75;

// Which columns of a line's box in the prepared image (8 bpp, dark on light) hold ink.
InkColumns InkColumnsOf(Pix* grey, int left, int top, int right, int bottom) {
  InkColumns columns{.left = left};
  Box* box = boxCreate(left, top, right - left, bottom - top);
  Pix* clip = pixClipRectangle(grey, box, nullptr);
  boxDestroy(&box);
  if (!clip) return columns;
  const int width = pixGetWidth(clip), height = pixGetHeight(clip);
  const l_uint32* data = pixGetData(clip);
  const int words = pixGetWpl(clip);
  std::vector<int> darkest(width, 255);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      darkest[x] = std::min<int>(darkest[x], GET_DATA_BYTE(data + y * words, x));
    }
  }
  pixDestroy(&clip);
  const int line_darkest = width > 0 ? *std::min_element(darkest.begin(), darkest.end()) : 255;
  const int threshold = line_darkest + static_cast<int>(kInkPerLineRange * (255 - line_darkest));
  columns.inked.resize(width);
  for (int x = 0; x < width; ++x) columns.inked[x] = darkest[x] < threshold;
  return columns;
}

// The words of the line |line_start| is at, each found in turn in the line's |text|.
std::vector<FoundLine::Word> WordsOf(const tesseract::ResultIterator& line_start,
                                     const std::string& text) {
  std::vector<FoundLine::Word> words;
  tesseract::ResultIterator word(line_start);
  constexpr auto kWord = tesseract::RIL_WORD;
  size_t consumed = 0;
  do {
    std::unique_ptr<char[]> utf8(word.GetUTF8Text(kWord));
    if (!utf8 || !*utf8.get()) continue;
    const size_t at = text.find(utf8.get(), consumed);
    if (at == std::string::npos) break;
    FoundLine::Word found;
    int top = 0, bottom = 0;
    word.BoundingBox(kWord, &found.left, &top, &found.right, &bottom);
    found.space_before =
        !words.empty() && text.find_first_of(" \t", consumed) < at;
    consumed = at + std::strlen(utf8.get());
    words.push_back(found);
  } while (!word.IsAtFinalElement(tesseract::RIL_TEXTLINE, kWord) && word.Next(kWord));
  return words;
}

// The characters of the line |line_start| is at.
std::vector<FoundLine::Symbol> SymbolsOf(const tesseract::ResultIterator& line_start) {
  std::vector<FoundLine::Symbol> symbols;
  tesseract::ResultIterator symbol(line_start);
  constexpr auto kSymbol = tesseract::RIL_SYMBOL;
  do {
    std::unique_ptr<char[]> utf8(symbol.GetUTF8Text(kSymbol));
    if (!utf8 || !*utf8.get()) continue;
    FoundLine::Symbol found{.utf8 = utf8.get()};
    int top = 0, bottom = 0;
    symbol.BoundingBox(kSymbol, &found.left, &top, &found.right, &bottom);
    symbols.push_back(std::move(found));
  } while (!symbol.IsAtFinalElement(tesseract::RIL_TEXTLINE, kSymbol) && symbol.Next(kSymbol));
  return symbols;
}

// Appends the text lines of the last recognition to |lines|; |ink| is the prepared image.
void CollectLines(tesseract::TessBaseAPI& api, Pix* ink, std::vector<FoundLine>& lines) {
  std::unique_ptr<tesseract::ResultIterator> line(api.GetIterator());
  if (!line) return;
  constexpr auto kLine = tesseract::RIL_TEXTLINE;
  do {
    if (PTIsLineType(line->BlockType())) continue;
    std::unique_ptr<char[]> utf8(line->GetUTF8Text(kLine));
    if (!utf8) continue;
    std::string text(utf8.get());
    if (IsBlank(text)) continue;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    if (IsPhantom(text, line->Confidence(kLine))) continue;
    FoundLine found;
    if (!line->BoundingBox(kLine, &found.left, &found.top, &found.right, &found.bottom)) continue;
    found.symbols = SymbolsOf(*line);
    // Tesseract's box of a line can end before the last words it read in it ("宋佳怡 10:05 AM"
    // boxed as far as "10"): the line reaches over every character read.
    for (const FoundLine::Symbol& symbol : found.symbols) {
      found.left = std::min(found.left, symbol.left);
      found.right = std::max(found.right, symbol.right);
    }
    const InkColumns columns = InkColumnsOf(ink, found.left, found.top, found.right, found.bottom);
    const double gap = kScriptGapPerLineHeight * (found.bottom - found.top);
    found.text = SpacedAtScriptChanges(found.symbols, text, columns, gap, false);
    found.words = WordsOf(*line, found.text);
    // Spaces between digits and letters ("2.4GB") go in once the words are taken: one inside a
    // word Tesseract read would hide that word and those after it from WordsOf.
    found.text = SpacedAtScriptChanges(found.symbols, found.text, columns, gap, true);
    lines.push_back(std::move(found));
  } while (line->Next(kLine));
}

// The confidence of the least confident word of the last recognition, 100 without words.
float LeastWordConfidence(tesseract::TessBaseAPI& api) {
  float least = 100;
  std::unique_ptr<tesseract::ResultIterator> word(api.GetIterator());
  if (!word) return least;
  do {
    least = std::min(least, word->Confidence(tesseract::RIL_WORD));
  } while (word->Next(tesseract::RIL_WORD));
  return least;
}

}  // namespace

void SilenceTesseract() {
  static std::once_flag once;
  std::call_once(once, [] {
    tesseract::TessBaseAPI api;
    api.SetVariable("debug_file", "/dev/null");
  });
}

void InitLineReader(tesseract::TessBaseAPI& api, const std::string& languages,
                    const RecognitionSettings& settings) {
  std::vector<std::string> names, values;
  if (!settings.language_correction) {
    names.insert(names.end(), {"load_system_dawg", "load_freq_dawg"});
    values.insert(values.end(), {"0", "0"});
  }
  if (api.Init(nullptr, languages.c_str(), tesseract::OEM_LSTM_ONLY, nullptr, 0, &names, &values,
               false) != 0) {
    throw PlatformError("Text recognition could not load its language data (" + languages + ")");
  }
  api.SetVariable("preserve_interword_spaces", "1");
  // The prepared image is dark on light everywhere; trying each line inverted only costs time.
  api.SetVariable("tessedit_do_invert", "0");
  api.SetPageSegMode(tesseract::PSM_SINGLE_LINE);
}

Reading ReadRegion(tesseract::TessBaseAPI& api, Pix* pix, const LineRegion& region) {
  api.SetRectangle(region.left, region.top, region.width, region.height);
  Reading reading;
  if (api.Recognize(nullptr) != 0) return reading;
  reading.recognized = true;
  CollectLines(api, pix, reading.lines);
  reading.least = LeastWordConfidence(api);
  reading.mean = api.MeanTextConf();
  return reading;
}

std::optional<FoundLine> ModelLine(const LineModel::Reading& reading, Pix* ink,
                                   const LineRegion& region, double least) {
  if (reading.characters.empty() || reading.confidence < least) return std::nullopt;
  FoundLine line{.left = region.left,
                 .top = region.top,
                 .right = region.left + region.width,
                 .bottom = region.top + region.height};
  const InkColumns columns = InkColumnsOf(ink, line.left, line.top, line.right, line.bottom);
  // Without Tesseract's words, a word begins after each ink-free gap as wide as a word gap.
  const double height = line.bottom - line.top;
  for (size_t i = 0; i + 1 < reading.characters.size(); ++i) {
    const int gap = columns.WidestGap(static_cast<int>(reading.characters[i].x),
                                      static_cast<int>(reading.characters[i + 1].x));
    if (gap >= height * kModelWordGapPerRegionHeight) {
      FoundLine::Word word{.left = static_cast<int>(reading.characters[i + 1].x) - gap / 2,
                           .right = static_cast<int>(reading.characters[i + 1].x),
                           .space_before = true};
      if (line.words.empty()) line.words.push_back({.left = line.left, .right = line.left});
      line.words.push_back(word);
    }
  }
  line.text = SpacedLikeTesseract(reading.characters, line, columns);
  return line;
}

void TakeModelCharacters(const LineModel::Reading& reading, Pix* ink, FoundLine& line) {
  // Where both read the same characters, Tesseract's own spaces stand.
  std::string tesseract_text;
  for (const char c : line.text) {
    if (c != ' ') tesseract_text += c;
  }
  if (reading.Text() != tesseract_text) {
    line.text = SpacedLikeTesseract(reading.characters, line,
                                    InkColumnsOf(ink, line.left, line.top, line.right, line.bottom));
  }
}
