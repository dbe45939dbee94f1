#include "platform/recognition/tesseract_recognizer.h"

#include <fcntl.h>
#include <leptonica/allheaders.h>
#include <omp.h>
#include <sys/stat.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/platform_error.h"
#include "platform/recognition/line_model.h"

namespace {

// Screen images carry no usable resolution. Without one Tesseract assumes 70 dpi and removes CJK
// strokes as ruled lines; from 120 dpi up it merges a sidebar and the body of a 2880-pixel-wide
// screenshot into one line.
constexpr int kSourceResolution = 96;
constexpr off_t kMaxFileBytes = 256 << 20;

// The one place where a reason becomes the adapter's error text.
PlatformError ImageError(const std::string& path, std::string_view reason) {
  return PlatformError("The image \"" + path + "\" could not be read: " + std::string(reason));
}

struct PixDeleter {
  void operator()(Pix* pix) const { pixDestroy(&pix); }
};
using OwnedPix = std::unique_ptr<Pix, PixDeleter>;

std::string ReadWholeFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw ImageError(path, std::strerror(errno));
  struct stat status;
  std::string bytes;
  int error_number = fstat(fd, &status) != 0 ? errno : 0;
  std::string_view refusal;
  if (error_number == 0) {
    if (S_ISDIR(status.st_mode)) {
      error_number = EISDIR;
    } else if (!S_ISREG(status.st_mode)) {
      refusal = "it is not a regular file";
    } else if (status.st_size == 0) {
      refusal = "the file is empty";
    } else if (status.st_size > kMaxFileBytes) {
      refusal = "the file is larger than 256 MiB";
    }
  }
  if (error_number == 0 && refusal.empty()) {
    bytes.resize(static_cast<size_t>(status.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t got = read(fd, bytes.data() + done, bytes.size() - done);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) error_number = errno;
      if (got <= 0) break;
      done += static_cast<size_t>(got);
    }
    bytes.resize(done);
  }
  close(fd);
  if (error_number != 0) throw ImageError(path, std::strerror(error_number));
  if (!refusal.empty()) throw ImageError(path, refusal);
  return bytes;
}

// Decodes |bytes| after checking the header's size, then flattens it to 8-bit luminance (alpha
// composited over white) with dark text on a light ground.
OwnedPix DecodeForRecognition(const std::string& path, const std::string& bytes) {
  const auto* data = reinterpret_cast<const l_uint8*>(bytes.data());
  l_int32 format = 0, width = 0, height = 0, bits = 0, samples = 0, colormapped = 0;
  findFileFormatBuffer(data, &format);
  if (format == IFF_UNKNOWN) {
    throw ImageError(path,
                     "it is not in an image format that can be read "
                     "(PNG, JPEG, TIFF, BMP, WebP, GIF)");
  }
  if (pixReadHeaderMem(data, bytes.size(), &format, &width, &height, &bits, &samples,
                       &colormapped) != 0) {
    throw ImageError(path, "its header is damaged or gives a size of zero");
  }
  if (width <= 0 || height <= 0) {
    throw ImageError(path, "the image has no pixels (" + std::to_string(width) + " x " +
                               std::to_string(height) + ")");
  }
  if (static_cast<long long>(width) * height > TesseractRecognizer::kMaxPixels) {
    throw ImageError(path, "the image is " + std::to_string(width) + " x " +
                               std::to_string(height) + " pixels, more than the " +
                               std::to_string(TesseractRecognizer::kMaxPixels) +
                               " pixels that can be recognised");
  }
  OwnedPix pix(pixReadMem(data, bytes.size()));
  if (!pix) throw ImageError(path, "the image data is damaged or incomplete");

  if (pixGetColormap(pix.get()) != nullptr) {
    pix.reset(pixRemoveColormap(pix.get(), REMOVE_CMAP_BASED_ON_SRC));
  }
  if (pix && pixGetDepth(pix.get()) == 32 && pixGetSpp(pix.get()) == 4) {
    pix.reset(pixAlphaBlendUniform(pix.get(), 0xffffff00));
  }
  // Tesseract reads luminance far better than its own thresholding of colour: white text on a
  // red banner disappears in colour and reads in grey.
  if (pix) {
    pix.reset(pixGetDepth(pix.get()) == 32 ? pixConvertRGBToLuminance(pix.get())
                                           : pixConvertTo8(pix.get(), 0));
  }
  if (!pix) throw ImageError(path, "the image could not be converted for recognition");
  return pix;
}

// The Tesseract models for |tags|, in their order.
std::vector<std::string> TesseractLanguages(const std::vector<std::string>& tags) {
  std::vector<std::string> languages;
  for (const std::string& tag : tags) {
    std::string model;
    if (tag == "zh-Hans") model = "chi_sim";
    if (tag == "en-US") model = "eng";
    if (model.empty()) {
      throw PlatformError("Text recognition has no language data for \"" + tag + "\"");
    }
    if (std::find(languages.begin(), languages.end(), model) == languages.end()) {
      languages.push_back(model);
    }
  }
  return languages;
}

bool IsBlank(std::string_view text) {
  return text.find_first_not_of(" \t\r\n\f\v") == std::string_view::npos;
}

// Screen text is drawn on flat grounds of any colour. The ground under each pixel is the median
// of a window a little wider than a glyph, taken along rows and then along columns, so that the
// straight edges and corners of banners, buttons and selections stay sharp; the distance from
// that ground, inverted, is dark text on white whatever the colours were.
constexpr double kBackgroundWindowPerGlyph = 1.6;
// Tesseract reads UI text far better once its glyphs (median connected component) are about this
// tall: 13 px text at 1x is enlarged about 1.6 times. Never more than 4 times or 24 Mpixels.
constexpr double kGlyphPixels = 16;
constexpr double kMaxScale = 4;
constexpr double kMaxScaledPixels = 24e6;
// The resolution told to Tesseract grows with the enlargement, so its layout sees the page as
// it was, but stays below the 120 dpi at which it merges a sidebar with the body beside it.
constexpr double kMaxResolution = 115;
// A line with a word read at a confidence below this by Chinese and English together goes to the
// line model; one the model cannot read (too long for its widest graph) is read again by the
// Chinese model alone, which knows Latin letters and digits too (the reading with the higher mean
// confidence is kept). Small Chinese labels otherwise come out as Latin letters ("内置麦克风" ->
// "ABS", "已发布" -> "BA").
constexpr float kRetryBelowConfidence = 60;
// Most screen text is Latin, which the English model reads for a fraction of the time the Chinese
// and English ones take together; its reading of a line stands when every word was read at least
// this confidently. (Measured on the compressed UI frames: 1.33 % CER against 1.48 % without it;
// from 75 Chinese lines read as Latin letters stand, 1.74 %.)
constexpr float kTrustLatinFrom = 85;
// Tesseract's confident readings of Chinese can still be wrong characters; a line with Chinese
// goes to the line model unless every word was read at least this confidently. (Measured on the
// compressed UI frames: every Chinese line 1.42 % CER; below 85 with TrustedFrom's sign rule
// 1.48 %, without it 1.51 % and 0.27 % on clean images instead of 0.08 %; below 70 about 1.6 %.)
constexpr float kTrustChineseFrom = 85;
// A space between a Chinese character and a Latin letter or digit (or, in the line model's
// readings, between a digit and a letter) is at least this fraction of the line's height wide;
// characters set without one are closer.
constexpr double kScriptGapPerLineHeight = 0.22;
// Lines are read on up to this many threads at once, each Tesseract instance by one at a time.
constexpr unsigned kThreads = 2;

// The median height of the glyph-sized connected components, dark on light and light on dark
// alike, or 0 when there is none.
double GlyphHeight(Pix* grey) {
  l_int32 threshold = 128;
  pixSplitDistributionFgBg(grey, 0.0, 2, &threshold, nullptr, nullptr, nullptr);
  OwnedPix dark(pixThresholdToBinary(grey, threshold));
  if (!dark) return 0;
  OwnedPix light(pixInvert(nullptr, dark.get()));
  std::vector<int> heights;
  for (Pix* mask : {dark.get(), light.get()}) {
    Boxa* boxes = pixConnCompBB(mask, 8);
    if (!boxes) continue;
    const int count = boxaGetCount(boxes);
    for (int i = 0; i < count; ++i) {
      l_int32 x = 0, y = 0, w = 0, h = 0;
      boxaGetBoxGeometry(boxes, i, &x, &y, &w, &h);
      if (h >= 4 && h <= 300 && w <= 3 * h && w * h >= 12) heights.push_back(h);
    }
    boxaDestroy(&boxes);
  }
  if (heights.empty()) return 0;
  std::nth_element(heights.begin(), heights.begin() + heights.size() / 2, heights.end());
  return heights[heights.size() / 2];
}

struct Prepared {
  OwnedPix pix;      // what Tesseract reads: dark text on white, possibly enlarged
  double scale = 1;  // its size over the original's
};

// |grey| as dark text on white at the size Tesseract reads best.
Prepared Prepare(const std::string& path, Pix* grey) {
  const double glyph = GlyphHeight(grey);
  OwnedPix pix(pixClone(grey));
  if (glyph > 0) {
    const int half = std::clamp(static_cast<int>(glyph * kBackgroundWindowPerGlyph / 2), 2, 60);
    OwnedPix rows(pixRankFilterGray(grey, 2 * half + 1, 1, 0.5));
    OwnedPix background(rows ? pixRankFilterGray(rows.get(), 1, 2 * half + 1, 0.5) : nullptr);
    OwnedPix distance(background ? pixAbsDifference(grey, background.get()) : nullptr);
    if (!distance) throw ImageError(path, "the image could not be converted for recognition");
    pix.reset(pixInvert(distance.get(), distance.get()));
    distance.release();
  }
  Prepared prepared;
  const double pixels = static_cast<double>(pixGetWidth(grey)) * pixGetHeight(grey);
  const double scale = glyph > 0 ? std::min({std::max(kGlyphPixels / glyph, 1.0), kMaxScale,
                                             std::sqrt(kMaxScaledPixels / pixels)})
                                 : 1.0;
  if (scale > 1.15) {
    OwnedPix larger(pixScaleGrayLI(pix.get(), scale, scale));
    if (!larger) throw ImageError(path, "the image could not be converted for recognition");
    prepared.scale = static_cast<double>(pixGetWidth(larger.get())) / pixGetWidth(grey);
    pix = std::move(larger);
  }
  prepared.pix = std::move(pix);
  return prepared;
}

// One line as read, in pixels of the prepared image (top-left origin).
struct FoundLine {
  std::string text;
  int left = 0, top = 0, right = 0, bottom = 0;
  // Tesseract's words across the line, left to right, and whether |text| has a space before each.
  struct Word {
    int left = 0, right = 0;
    bool space_before = false;
  };
  std::vector<Word> words;
  // Tesseract's characters and where they lie across.
  struct Symbol {
    int left = 0, right = 0;
    std::string utf8;
  };
  std::vector<Symbol> symbols;
};

// Tesseract's messages go to the file its global debug_file names. It is set once, before any
// thread of ours starts, since every instance shares it.
void SilenceTesseract() {
  static std::once_flag once;
  std::call_once(once, [] {
    tesseract::TessBaseAPI api;
    api.SetVariable("debug_file", "/dev/null");
  });
}

void InitApi(tesseract::TessBaseAPI& api, const std::string& languages,
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
}

unsigned CodePoint(std::string_view utf8) {
  if (utf8.size() != 3) return utf8.size() == 1 ? static_cast<unsigned char>(utf8[0]) : 0;
  return (static_cast<unsigned char>(utf8[0]) & 0x0fu) << 12 |
         (static_cast<unsigned char>(utf8[1]) & 0x3fu) << 6 |
         (static_cast<unsigned char>(utf8[2]) & 0x3fu);
}

// 1 for a Chinese ideograph (U+3400-U+9FFF), 2 for an ASCII letter or digit, else 0.
int ScriptOf(std::string_view utf8) {
  if (utf8.size() == 1) return std::isalnum(static_cast<unsigned char>(utf8[0])) ? 2 : 0;
  const unsigned code = CodePoint(utf8);
  return code >= 0x3400 && code <= 0x9fff ? 1 : 0;
}

// Which columns of a line's box in the prepared image (8 bpp, dark on light) hold ink: a pixel
// darker than halfway between the line's darkest value and white, so that grey and faint text
// count as much as black.
class InkColumns {
 public:
  InkColumns(Pix* grey, int left, int top, int right, int bottom) : left_(left) {
    Box* box = boxCreate(left, top, right - left, bottom - top);
    Pix* clip = pixClipRectangle(grey, box, nullptr);
    boxDestroy(&box);
    if (!clip) return;
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
    const int threshold = (line_darkest + 255) / 2;
    inked_.resize(width);
    for (int x = 0; x < width; ++x) inked_[x] = darkest[x] < threshold;
  }

  // The widest run of ink-free columns from x = |from| up to |to| (image pixels).
  int WidestGap(int from, int to) const {
    const int count = static_cast<int>(inked_.size());
    int widest = 0, run = 0;
    for (int x = std::max(from - left_, 0); x < std::min(to - left_, count); ++x) {
      run = inked_[x] ? 0 : run + 1;
      widest = std::max(widest, run);
    }
    return widest;
  }

 private:
  int left_;
  std::vector<bool> inked_;
};

// Tesseract writes no space after a Chinese word, so "已经 merge" comes out "已经merge", and its
// character boxes overlap there. Where a Chinese character and a Latin one meet without a space
// in |text|, a space is put back when the widest run of ink-free columns of |ink| (the
// prepared image) from the left edge of the first character to the right edge of the second is at
// least |gap| pixels.
std::string SpacedAtScriptChanges(const tesseract::ResultIterator& line_start,
                                  const std::string& text, Pix* ink, double gap) {
  int line_left = 0, line_top = 0, line_right = 0, line_bottom = 0;
  line_start.BoundingBox(tesseract::RIL_TEXTLINE, &line_left, &line_top, &line_right, &line_bottom);
  const InkColumns columns(ink, line_left, line_top, line_right, line_bottom);
  auto widest_gap = [&](int from, int to) { return columns.WidestGap(from, to); };
  tesseract::ResultIterator symbol(line_start);
  constexpr auto kSymbol = tesseract::RIL_SYMBOL;
  std::string spaced;
  size_t consumed = 0;
  int previous_script = 0;
  int previous_left = -1;
  do {
    std::unique_ptr<char[]> utf8(symbol.GetUTF8Text(kSymbol));
    if (!utf8 || !*utf8.get()) continue;
    const std::string current(utf8.get());
    const size_t at = text.find(current, consumed);
    if (at == std::string::npos) break;
    int left = 0, top = 0, right = 0, bottom = 0;
    symbol.BoundingBox(kSymbol, &left, &top, &right, &bottom);
    const int script = ScriptOf(current);
    spaced.append(text, consumed, at - consumed);
    if (previous_left >= 0 && at == consumed && script != 0 && previous_script != 0 &&
        script != previous_script && widest_gap(previous_left, right) >= gap) {
      spaced += ' ';
    }
    spaced += current;
    consumed = at + current.size();
    previous_script = script;
    previous_left = left;
  } while (!symbol.IsAtFinalElement(tesseract::RIL_TEXTLINE, kSymbol) && symbol.Next(kSymbol));
  spaced.append(text, consumed, std::string::npos);
  return spaced;
}

// The edges of round avatars and icons left by the background come out as lines of symbols
// ("=", "-"); a line without a single letter, digit or Chinese character read at less than this
// confidence is one of them.
constexpr float kSymbolLineConfidence = 80;

bool IsPhantom(const std::string& text, float confidence) {
  if (confidence >= kSymbolLineConfidence) return false;
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80 ? 1 : lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 1;
    if (length == 2 || ScriptOf(std::string_view(text).substr(i, length)) != 0) return false;
    i += length;
  }
  return true;
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
    found.text = SpacedAtScriptChanges(*line, text, ink,
                                       kScriptGapPerLineHeight * (found.bottom - found.top));
    found.words = WordsOf(*line, found.text);
    found.symbols = SymbolsOf(*line);
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

// The confidence from which Tesseract's reading |text| of a line stands without the line model:
// higher for Chinese, and never where an ASCII sign touches a Chinese character (Chinese and
// English together read the full-width signs of Chinese text as ASCII ones: "完成：" -> "完成:").
float TrustedFrom(std::string_view text) {
  bool chinese = false;
  int before = 0;  // the script of the previous character, 3 for an ASCII sign
  // Character by character: a window over the bytes would also decode the tail of "é".
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
    const std::string_view character = text.substr(i, length);
    const int script = ScriptOf(character) != 0 ? ScriptOf(character)
                       : length == 1 && std::ispunct(lead) ? 3
                                                            : 0;
    chinese = chinese || script == 1;
    if ((script == 1 && before == 3) || (script == 3 && before == 1)) return 101;
    before = script;
    i += length;
  }
  return chinese ? kTrustChineseFrom : kRetryBelowConfidence;
}

// A space Tesseract put between two Latin characters (or a Latin one and a Chinese one) is kept
// where the ink-free gap between them is at least this fraction of the line's height; between two
// Chinese characters (where Tesseract often sees words in the gaps of small text) a wider one.
constexpr double kWordGapPerLineHeight = 0.11;
constexpr double kWordGapInChinese = 0.3;

bool IsAsciiDigit(std::string_view utf8) {
  return utf8.size() == 1 && std::isdigit(static_cast<unsigned char>(utf8[0]));
}

// Chinese punctuation and full-width forms carry their own spacing.
bool IsFullWidthSign(std::string_view utf8) {
  const unsigned code = CodePoint(utf8);
  return (code >= 0x3000 && code <= 0x303f) || (code >= 0xff00 && code <= 0xffef);
}

// The half-width form of a full-width letter, digit, sign or yen sign, else |utf8| itself.
std::string HalfWidth(const std::string& utf8) {
  const unsigned code = CodePoint(utf8);
  if (code == 0xffe5) return "\u00a5";
  if (code < 0xff01 || code > 0xff5e) return utf8;
  return std::string(1, static_cast<char>(code - 0xfee0));
}

// The line model's characters with the spaces of Tesseract's reading of the same line, in
// pixels of the prepared image:
// - each space Tesseract put before a word goes into the widest ink-free gap not yet spaced between
//   two model characters within half a line height of that word's left edge, if that gap is wide
//   enough;
// - a space goes between a Chinese character and a Latin one, or a digit and a letter, with an
//   ink-free gap of kScriptGapPerLineHeight between them (where Tesseract read a Chinese word as
//   Latin letters, or the other way round, or ran "1.8 GB" together; measured on the compressed UI
//   frames, the digit rule took the CER from 1.27 % to 1.19 %, and to 1.24 % at a gap of 0.16);
// - a full-width sign the model read where Tesseract read its half-width form takes Tesseract's
//   unless it follows a Chinese character or comes right before one (the model favours the
//   full-width forms: "Chen：", "（3.4 MB)"); a full-width sign has no space on either side;
// - a dash where Tesseract read "一" is that character.
std::string SpacedLikeTesseract(const LineModel::Reading& reading, const FoundLine& line,
                                Pix* ink) {
  const std::vector<LineModel::Character>& characters = reading.characters;
  const double height = line.bottom - line.top;
  const size_t count = characters.size();
  const InkColumns columns(ink, line.left, line.top, line.right, line.bottom);
  std::vector<int> gaps(count, 0);
  std::vector<int> scripts(count, 0);
  for (size_t i = 0; i < count; ++i) {
    scripts[i] = ScriptOf(characters[i].utf8);
    if (i + 1 < count) {
      gaps[i] = columns.WidestGap(static_cast<int>(characters[i].x),
                                  static_cast<int>(characters[i + 1].x));
    }
  }
  std::vector<bool> space_after(count, false);
  for (size_t k = 1; k < line.words.size(); ++k) {
    if (!line.words[k].space_before) continue;
    const double edge =
        std::min<double>(line.words[k].left, (line.words[k - 1].right + line.words[k].left) / 2.0);
    int best = -1;
    for (size_t i = 0; i + 1 < count; ++i) {
      if (!space_after[i] && characters[i + 1].x >= edge - height / 2 &&
          characters[i].x <= edge + height / 2 && (best < 0 || gaps[i] > gaps[best])) {
        best = static_cast<int>(i);
      }
    }
    if (best < 0) continue;
    const bool chinese = scripts[best] == 1 && scripts[best + 1] == 1;
    if (gaps[best] >= height * (chinese ? kWordGapInChinese : kWordGapPerLineHeight)) {
      space_after[best] = true;
    }
  }
  for (size_t i = 0; i + 1 < count; ++i) {
    const bool digit_and_letter =
        scripts[i] == 2 && scripts[i + 1] == 2 &&
        IsAsciiDigit(characters[i].utf8) != IsAsciiDigit(characters[i + 1].utf8);
    if (scripts[i] != 0 && scripts[i + 1] != 0 &&
        (scripts[i] != scripts[i + 1] || digit_and_letter) &&
        gaps[i] >= height * kScriptGapPerLineHeight) {
      space_after[i] = true;
    }
  }
  auto tesseract_read = [&](const std::string& utf8, double x) {
    const double tolerance = kScriptGapPerLineHeight * height;
    return std::any_of(line.symbols.begin(), line.symbols.end(), [&](const FoundLine::Symbol& s) {
      return s.utf8 == utf8 && s.left <= x + tolerance && s.right >= x - tolerance;
    });
  };
  std::vector<std::string> chosen(count);
  for (size_t i = 0; i < count; ++i) {
    const std::string& utf8 = characters[i].utf8;
    chosen[i] = utf8;
    const std::string half = HalfWidth(utf8);
    const bool after_chinese = i > 0 && scripts[i - 1] == 1;
    const bool before_chinese = i + 1 < count && scripts[i + 1] == 1 && !space_after[i];
    if (half != utf8 && !after_chinese && !before_chinese &&
        tesseract_read(half, characters[i].x)) {
      chosen[i] = half;
    }
    if ((utf8 == "-" || utf8 == "\u2014" || utf8 == "\u2013") &&
        tesseract_read("\u4e00", characters[i].x)) {
      chosen[i] = "\u4e00";
    }
  }
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0 && space_after[i - 1] && !IsFullWidthSign(chosen[i - 1]) &&
        !IsFullWidthSign(chosen[i])) {
      text += ' ';
    }
    text += chosen[i];
  }
  return text;
}

// A text line found by the layout pass, widened a little so that no stroke is cut, in pixels of
// the prepared image.
struct LineRegion {
  int left, top, width, height;
};

// The text lines Tesseract's layout analysis finds on the image |api| holds, in its reading
// order, scaled by |scale| into pixels of an image of |image_width| x |image_height|.
std::vector<LineRegion> FindLines(tesseract::TessBaseAPI& api, double scale, int image_width,
                                  int image_height) {
  std::vector<LineRegion> regions;
  std::unique_ptr<tesseract::PageIterator> line(api.AnalyseLayout());
  if (!line) return regions;
  do {
    // Screens carry no vertical text; what the layout takes for it is a column of icons or
    // avatars, or a whole sidebar of short lines, which a reading as one line loses.
    if (!PTIsTextType(line->BlockType()) || line->BlockType() == tesseract::PT_VERTICAL_TEXT) continue;
    int left = 0, top = 0, right = 0, bottom = 0;
    if (!line->BoundingBox(tesseract::RIL_TEXTLINE, &left, &top, &right, &bottom)) continue;
    left = static_cast<int>(left * scale);
    top = static_cast<int>(top * scale);
    right = static_cast<int>(std::ceil(right * scale));
    bottom = static_cast<int>(std::ceil(bottom * scale));
    const int pad_y = (bottom - top) / 5, pad_x = (bottom - top) / 2;
    left = std::max(0, left - pad_x);
    top = std::max(0, top - pad_y);
    right = std::min(image_width, right + pad_x);
    bottom = std::min(image_height, bottom + pad_y);
    if (right > left && bottom > top) regions.push_back({left, top, right - left, bottom - top});
  } while (line->Next(tesseract::RIL_TEXTLINE));
  return regions;
}

// Whether |a| and |b| share at least half of the shorter one's height and overlap at all across.
bool SameLine(const LineRegion& a, const LineRegion& b) {
  const int shared_y = std::min(a.top + a.height, b.top + b.height) - std::max(a.top, b.top);
  const int shared_x = std::min(a.left + a.width, b.left + b.width) - std::max(a.left, b.left);
  return shared_x > 0 && 2 * shared_y >= std::min(a.height, b.height);
}

// |lines| with those of |more| that none of them covers, each put before the first line of
// |lines| that starts below its middle, so that the page order holds.
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

// The page as it is read.
struct Page {
  Prepared prepared;
  int resolution = kSourceResolution;  // of the prepared image
  std::vector<LineRegion> regions;     // its text lines in page order
};

// Prepares |original| and finds its lines, with a Tesseract instance that loads no language data.
Page LayOut(const std::string& path, Pix* original) {
  Page page;
  page.prepared = Prepare(path, original);
  Pix* pix = page.prepared.pix.get();
  page.resolution = static_cast<int>(
      std::min(kMaxResolution, kSourceResolution * page.prepared.scale) + 0.5);
  tesseract::TessBaseAPI api;
  api.InitForAnalysePage();
  api.SetPageSegMode(tesseract::PSM_AUTO);
  api.SetImage(pix);
  api.SetSourceResolution(page.resolution);
  const int width = pixGetWidth(pix), height = pixGetHeight(pix);
  page.regions = FindLines(api, 1, width, height);
  // The layout of the prepared image misses some text beside icons that the layout of the image
  // as it came finds, and the other way round; the lines of both are read.
  api.SetImage(original);
  api.SetSourceResolution(kSourceResolution);
  page.regions = WithMissingLines(
      std::move(page.regions),
      FindLines(api, static_cast<double>(width) / pixGetWidth(original), width, height));
  return page;
}

// What one Tesseract instance read in a line.
struct Reading {
  bool recognized = false;
  std::vector<FoundLine> lines;
  float least = 100;  // the least confident word's confidence
  int mean = 0;       // the mean confidence of the words
};

// Reads |region| of |page| (its prepared image) with |api|, which reads single lines.
Reading ReadRegion(tesseract::TessBaseAPI& api, const Page& page, const LineRegion& region) {
  Pix* pix = page.prepared.pix.get();
  api.SetRectangle(region.left, region.top, region.width, region.height);
  Reading reading;
  if (api.Recognize(nullptr) != 0) return reading;
  reading.recognized = true;
  CollectLines(api, pix, reading.lines);
  reading.least = LeastWordConfidence(api);
  reading.mean = api.MeanTextConf();
  return reading;
}

// |line| with the characters the line model read in it, where they differ from Tesseract's.
void TakeModelCharacters(const LineModel::Reading& reading, Pix* ink, FoundLine& line) {
  // Where both read the same characters, Tesseract's own spaces stand.
  std::string model_text, tesseract_text;
  for (const LineModel::Character& character : reading.characters) model_text += character.utf8;
  for (const char c : line.text) {
    if (c != ' ') tesseract_text += c;
  }
  if (model_text != tesseract_text) line.text = SpacedLikeTesseract(reading, line, ink);
}

// The readings a line goes through; each line leaves at the one that settles it:
// - English alone (kLatin), where other languages were asked for too: its reading stands if every
//   word was read at least kTrustLatinFrom confidently;
// - every language together (kTogether);
// - the line model (kModel), on the lines TrustedFrom finds unsure: Tesseract keeps the layout and
//   the spaces, the model reads the characters;
// - the first language alone (kFirst), on the lines the model does not read where a word read
//   together is below kRetryBelowConfidence; the reading with the higher mean confidence stands.
enum Step { kLatin, kTogether, kFirst, kModel, kDone };
constexpr int kTesseractSteps = 3;  // kLatin, kTogether and kFirst use Tesseract instances

// Reads the lines of one page on every thread that calls Work, a line's next reading on whichever
// thread is free, so that no thread waits while another holds the instance it needs. A line
// reads the same whichever threads read it. Each Tesseract instance reads one line at a time;
// another copy is loaded only when a thread has nothing else to do meanwhile.
class PageReader {
 public:
  // |languages| in the order asked; |threads| is the most that will call Work at once.
  PageReader(const std::vector<std::string>& languages, const RecognitionSettings& settings,
             LineModel* model, int threads)
      : settings_(settings), model_(model), copies_(threads) {
    for (const std::string& language : languages) {
      pools_[kTogether].languages += (pools_[kTogether].languages.empty() ? "" : "+") + language;
    }
    if (languages.size() > 1) {
      pools_[kFirst].languages = languages[0];
      if (std::find(languages.begin(), languages.end(), "eng") != languages.end()) {
        pools_[kLatin].languages = "eng";
      }
    }
  }

  // Loads, on the calling thread, the instances every page with text is read with first, unless
  // another thread has begun to.
  void LoadAhead() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (const Step step : {kLatin, kTogether}) {
      if (failure_ || (page_ && page_->regions.empty())) return;
      MakeAhead(step, lock);
    }
  }

  // Gives the reader its page; its lines are read from then on.
  void Start(const Page& page) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      page_ = &page;
      lines_.resize(page.regions.size());
      for (Line& line : lines_) line.step = pools_[kLatin].languages.empty() ? kTogether : kLatin;
    }
    changed_.notify_all();
  }

  // Stops every thread's work: the page could not be laid out.
  void Fail(std::exception_ptr failure) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!failure_) failure_ = failure;
    }
    changed_.notify_all();
  }

  // Reads lines until every line is read, the page fails, or another thread fails.
  void Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return page_ || failure_; });
      if (failure_) return;
      size_t chosen = 0;
      bool make = false;
      const Choice choice = Choose(chosen, make);
      if (choice == kFinished) return;
      if (choice == kNothingYet) {
        // Rather than wait, this thread loads what lines not yet read together may need.
        try {
          if (MakeAhead(kTogether, lock)) continue;
        } catch (...) {
          return;
        }
        changed_.wait(lock);
        continue;
      }
      Line& line = lines_[chosen];
      const Step step = line.step;
      line.busy = true;
      std::unique_ptr<Instance> api;
      if (step != kModel) {
        Pool& pool = pools_[step];
        if (make) {
          ++pool.made;
          ++pool.making;
        } else {
          api = std::move(pool.idle.back());
          pool.idle.pop_back();
        }
      }
      Reading reading = std::move(line.reading);
      lock.unlock();
      Step after = kDone;
      try {
        if (make) {
          api = Make(pools_[step]);
          std::lock_guard<std::mutex> made(mutex_);
          --pools_[step].making;
        }
        if (api && !api->attached) {
          api->api.SetImage(page_->prepared.pix.get());
          api->api.SetSourceResolution(page_->resolution);
          api->attached = true;
        }
        after = Advance(step, api ? &api->api : nullptr, page_->regions[chosen], reading);
      } catch (...) {
        // The instance that failed, or failed to be made, is given up.
        lock.lock();
        if (step != kModel) --pools_[step].made;
        if (make && !api) --pools_[step].making;
        if (!failure_) failure_ = std::current_exception();
        changed_.notify_all();
        return;
      }
      lock.lock();
      if (api) pools_[step].idle.push_back(std::move(api));
      line.reading = std::move(reading);
      line.step = after;
      line.busy = false;
      changed_.notify_all();
    }
  }

  // The failure that stopped the work, if any.
  std::exception_ptr failure() {
    std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
  }

  // What was read of line |i|, once Work has returned on every thread.
  std::vector<FoundLine>& Result(size_t i) { return lines_[i].reading.lines; }

 private:
  // A Tesseract instance that reads single lines, and whether it has been given the page.
  struct Instance {
    tesseract::TessBaseAPI api;
    bool attached = false;
  };
  // The instances that load one set of languages.
  struct Pool {
    std::string languages;  // empty where this step is not taken
    std::vector<std::unique_ptr<Instance>> idle;
    int made = 0;    // made, being made or in use
    int making = 0;  // being made
  };

  struct Line {
    Step step = kTogether;
    bool busy = false;  // a thread is reading it
    Reading reading;    // the reading that stands so far
  };

  enum Choice { kChosen, kNothingYet, kFinished };

  // The line to read next, the first in page order whose next reading can start now; or, when
  // none can, the first that waits for a Tesseract instance of which another copy may be made
  // (|make|). Called with mutex_ held.
  Choice Choose(size_t& chosen, bool& make) {
    bool waiting = false;  // a line is being read or waits for an instance
    for (size_t i = 0; i < lines_.size(); ++i) {
      const Line& line = lines_[i];
      if (line.step == kDone) continue;
      waiting = true;
      if (!line.busy && (line.step == kModel || !pools_[line.step].idle.empty())) {
        chosen = i;
        return kChosen;
      }
    }
    if (!waiting) return kFinished;
    for (size_t i = 0; i < lines_.size(); ++i) {
      const Line& line = lines_[i];
      if (line.busy || line.step == kDone) continue;
      const Pool& pool = pools_[line.step];
      if (pool.making == 0 && pool.made < copies_) {
        chosen = i;
        make = true;
        return kChosen;
      }
    }
    return kNothingYet;
  }

  // Makes an instance for |step| and leaves it idle, unless there is one already or none is
  // needed. Returns whether it made one. Called with |lock| held; unlocks it meanwhile. A failure
  // stops every thread's work and is thrown.
  bool MakeAhead(Step step, std::unique_lock<std::mutex>& lock) {
    Pool& pool = pools_[step];
    if (pool.languages.empty() || pool.made > 0) return false;
    const bool needed = std::any_of(lines_.begin(), lines_.end(), [&](const Line& line) {
      return line.step <= step;
    });
    if (page_ && !needed) return false;
    ++pool.made;
    ++pool.making;
    lock.unlock();
    std::unique_ptr<Instance> api;
    std::exception_ptr failure;
    try {
      api = Make(pool);
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    --pool.making;
    if (api) {
      pool.idle.push_back(std::move(api));
    } else {
      --pool.made;
      if (!failure_) failure_ = failure;
    }
    changed_.notify_all();
    if (failure) std::rethrow_exception(failure);
    return true;
  }

  std::unique_ptr<Instance> Make(const Pool& pool) {
    auto made = std::make_unique<Instance>();
    InitApi(made->api, pool.languages, settings_);
    made->api.SetPageSegMode(tesseract::PSM_SINGLE_LINE);
    return made;
  }

  // Takes a line from |step| to the step after it, with |api| for Tesseract's steps.
  Step Advance(Step step, tesseract::TessBaseAPI* api, const LineRegion& region,
               Reading& reading) {
    Pix* pix = page_->prepared.pix.get();
    switch (step) {
      case kLatin: {
        reading = ReadRegion(*api, *page_, region);
        return !reading.lines.empty() && reading.least >= kTrustLatinFrom ? kDone : kTogether;
      }
      case kTogether: {
        reading = ReadRegion(*api, *page_, region);
        if (!reading.recognized) return kDone;
        const bool unsure = reading.lines.size() == 1 && model_ &&
                            LineModel::Fits(region.width, region.height) &&
                            reading.least < TrustedFrom(reading.lines[0].text);
        return unsure ? kModel : Retried(reading);
      }
      case kModel: {
        const LineModel::Reading model =
            model_->Read(pix, region.left, region.top, region.width, region.height);
        if (model.characters.empty()) return Retried(reading);
        TakeModelCharacters(model, pix, reading.lines[0]);
        return kDone;
      }
      case kFirst: {
        Reading again = ReadRegion(*api, *page_, region);
        if (again.recognized && again.mean > reading.mean) reading.lines = std::move(again.lines);
        return kDone;
      }
      case kDone:
        break;
    }
    return kDone;
  }

  // kFirst where |reading| has a word below kRetryBelowConfidence and there is a first language
  // to read with alone, else kDone.
  Step Retried(const Reading& reading) const {
    const bool unsure = reading.least < kRetryBelowConfidence;
    return unsure && !pools_[kFirst].languages.empty() ? kFirst : kDone;
  }

  const RecognitionSettings& settings_;
  LineModel* model_;  // null when Chinese is not among the languages
  const int copies_;  // of each Tesseract instance, at most

  std::mutex mutex_;
  std::condition_variable changed_;
  Pool pools_[kTesseractSteps];
  const Page* page_ = nullptr;
  std::vector<Line> lines_;
  std::exception_ptr failure_;
};

}  // namespace

std::pair<int, int> TesseractRecognizer::PrepareImage(const std::string& image_path) {
  setMsgSeverity(L_SEVERITY_NONE);
  const OwnedPix original = DecodeForRecognition(image_path, ReadWholeFile(image_path));
  const Prepared prepared = Prepare(image_path, original.get());
  return {pixGetWidth(prepared.pix.get()), pixGetHeight(prepared.pix.get())};
}

std::vector<TextObservation> TesseractRecognizer::Recognize(const std::string& image_path,
                                                            const RecognitionSettings& settings,
                                                            int max_candidates) {
  setMsgSeverity(L_SEVERITY_NONE);
  const std::vector<std::string> languages = TesseractLanguages(settings.languages);
  const OwnedPix original = DecodeForRecognition(image_path, ReadWholeFile(image_path));
  SilenceTesseract();

  // Debian's Tesseract is built with OpenMP, and its threads make it several times slower on a
  // busy machine. Its parallel loops name their own thread counts, which overrides
  // omp_set_num_threads; no active parallel level runs every region on the calling thread. The
  // page's lines are shared among threads of our own instead.
  omp_set_max_active_levels(0);
  const int threads =
      static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, kThreads));
  // The line model reads Chinese and Latin text: only where Chinese was asked for.
  std::unique_ptr<LineModel> model;
  if (std::find(languages.begin(), languages.end(), "chi_sim") != languages.end()) {
    model = std::make_unique<LineModel>(model_directory_);
  }
  PageReader reader(languages, settings, model.get(), threads);

  // A helper thread prepares the page and finds its lines while this one loads the language data
  // that nearly every page needs. Then both read the lines.
  Page page;
  std::thread helper([&] {
    try {
      omp_set_max_active_levels(0);
      page = LayOut(image_path, original.get());
      reader.Start(page);
    } catch (...) {
      reader.Fail(std::current_exception());
      return;
    }
    if (threads > 1) reader.Work();
  });
  try {
    reader.LoadAhead();
    reader.Work();
  } catch (...) {
    // Work stops on every thread: the helper returns.
  }
  helper.join();
  if (const std::exception_ptr failure = reader.failure()) std::rethrow_exception(failure);

  // Boxes go back to fractions of the original image, bottom-left origin.
  const double width = pixGetWidth(page.prepared.pix.get());
  const double height = pixGetHeight(page.prepared.pix.get());
  std::vector<TextObservation> observations;
  for (size_t i = 0; i < page.regions.size(); ++i) {
    for (FoundLine& line : reader.Result(i)) {
      TextObservation observation;
      if (max_candidates > 0) observation.candidates.push_back(std::move(line.text));
      observation.box = {.x = line.left / width,
                         .y = (height - line.bottom) / height,
                         .width = (line.right - line.left) / width,
                         .height = (line.bottom - line.top) / height};
      observations.push_back(std::move(observation));
    }
  }
  return observations;
}
