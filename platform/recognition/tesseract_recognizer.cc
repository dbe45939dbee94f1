#include "platform/recognition/tesseract_recognizer.h"

#include <fcntl.h>
#include <leptonica/allheaders.h>
#include <omp.h>
#include <sys/stat.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <future>
#include <mutex>
#include <thread>
#include <vector>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/platform_error.h"

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

std::string TesseractLanguages(const std::vector<std::string>& tags) {
  std::string languages;
  for (const std::string& tag : tags) {
    std::string_view model;
    if (tag == "zh-Hans") model = "chi_sim";
    if (tag == "en-US") model = "eng";
    if (model.empty()) {
      throw PlatformError("Text recognition has no language data for \"" + tag + "\"");
    }
    if (!languages.empty()) languages += '+';
    languages += model;
  }
  return languages;
}

bool IsBlank(std::string_view text) {
  return text.find_first_not_of(" \t\r\n\f\v") == std::string_view::npos;
}

double Knob(const char* name, double fallback) {
  const char* value = std::getenv(name);
  return value ? std::atof(value) : fallback;
}

// The median height of the glyph-sized connected components, dark on light and light on dark
// alike, or 0 when there are too few to tell.
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
      l_int32 x, y, w, h;
      boxaGetBoxGeometry(boxes, i, &x, &y, &w, &h);
      if (h >= 4 && h <= 300 && w <= 3 * h && w * h >= 12) heights.push_back(h);
    }
    boxaDestroy(&boxes);
  }
  if (heights.size() < 3) return 0;
  std::nth_element(heights.begin(), heights.begin() + heights.size() / 2, heights.end());
  return heights[heights.size() / 2];
}

struct Prepared {
  OwnedPix pix;       // what Tesseract reads: dark text on light, possibly enlarged
  double scale = 1;   // its width over the original's
};

Prepared Prepare(OwnedPix grey) {
  const double glyph = GlyphHeight(grey.get());
  OwnedPix pix = std::move(grey);
  if (Knob("QV_NORM", 1) > 0 && glyph > 0) {
    const int window = 2 * std::clamp(static_cast<int>(glyph * Knob("QV_WIN", 0.8)), 2, 60) + 1;
    OwnedPix rows(pixRankFilterGray(pix.get(), window, 1, 0.5));
    OwnedPix background(rows ? pixRankFilterGray(rows.get(), 1, window, 0.5) : nullptr);
    if (background) {
      OwnedPix difference(pixAbsDifference(pix.get(), background.get()));
      if (difference) {
        pixInvert(difference.get(), difference.get());
        pix = std::move(difference);
      }
    }
    if (Knob("QV_CN", 0) > 0) {
      const int tile = std::max(5, static_cast<int>(glyph * Knob("QV_CN", 0)));
      OwnedPix normal(pixContrastNorm(nullptr, pix.get(), tile, tile, 60, 1, 1));
      if (normal) pix = std::move(normal);
    }
  }
  Prepared prepared;
  const double target = Knob("QV_TARGET", 0);
  double scale = glyph > 0 && target > 0 ? std::clamp(target / glyph, 1.0, 4.0) : 1.0;
  const double pixels = double(pixGetWidth(pix.get())) * pixGetHeight(pix.get());
  scale = std::min(scale, std::sqrt(24e6 / pixels));
  if (scale > 1.15) {
    OwnedPix larger(pixScaleGrayLI(pix.get(), scale, scale));
    if (larger) {
      prepared.scale = double(pixGetWidth(larger.get())) / pixGetWidth(pix.get());
      pix = std::move(larger);
    }
  }
  if (std::getenv("QV_DUMP")) pixWrite(std::getenv("QV_DUMP"), pix.get(), IFF_PNG);
  prepared.pix = std::move(pix);
  return prepared;
}

struct FoundLine {
  std::string text;
  int left = 0, top = 0, right = 0, bottom = 0;  // pixels of the prepared image
};

void InitApi(tesseract::TessBaseAPI& api, const std::string& languages,
             const RecognitionSettings& settings) {
  std::vector<std::string> names = {"debug_file"};
  std::vector<std::string> values = {"/dev/null"};
  if (!settings.language_correction) {
    names.insert(names.end(), {"load_system_dawg", "load_freq_dawg"});
    values.insert(values.end(), {"0", "0"});
  }
  if (api.Init(nullptr, languages.c_str(), tesseract::OEM_LSTM_ONLY, nullptr, 0, &names, &values,
               false) != 0) {
    throw PlatformError("Text recognition could not load its language data (" + languages + ")");
  }
  api.SetVariable("preserve_interword_spaces", "1");
  if (Knob("QV_NOINVERT", 0) > 0) api.SetVariable("tessedit_do_invert", "0");
}

// 1 for a Chinese ideograph (U+3400-U+9FFF), 2 for an ASCII letter or digit, else 0.
int ScriptOf(std::string_view utf8) {
  if (utf8.size() == 1) return std::isalnum(static_cast<unsigned char>(utf8[0])) ? 2 : 0;
  if (utf8.size() != 3) return 0;
  const unsigned code = (static_cast<unsigned char>(utf8[0]) & 0x0fu) << 12 |
                        (static_cast<unsigned char>(utf8[1]) & 0x3fu) << 6 |
                        (static_cast<unsigned char>(utf8[2]) & 0x3fu);
  return code >= 0x3400 && code <= 0x9fff ? 1 : 0;
}

// Tesseract writes no space after a Chinese word, so "已经 merge" comes out "已经merge", and its
// character boxes overlap there. Where a Chinese character and a Latin one meet without a space
// in |text|, a space is put back when the widest run of ink-free columns of |ink| (1 bpp, the
// prepared image) between the two characters' centres is at least |gap| pixels.
std::string SpacedAtScriptChanges(const tesseract::ResultIterator& line_start,
                                  const std::string& text, Pix* ink, double gap) {
  int line_left = 0, line_top = 0, line_right = 0, line_bottom = 0;
  line_start.BoundingBox(tesseract::RIL_TEXTLINE, &line_left, &line_top, &line_right,
                         &line_bottom);
  Box* box = boxCreate(line_left, line_top, line_right - line_left, line_bottom - line_top);
  Numa* columns = pixCountByColumn(ink, box);
  boxDestroy(&box);
  if (!columns) return text;
  const int count = numaGetCount(columns);
  auto widest_gap = [&](int from, int to) {
    int widest = 0, run = 0;
    for (int x = std::max(from - line_left, 0); x < std::min(to - line_left, count); ++x) {
      l_int32 value = 0;
      numaGetIValue(columns, x, &value);
      run = value == 0 ? run + 1 : 0;
      widest = std::max(widest, run);
    }
    return widest;
  };
  tesseract::ResultIterator symbol(line_start);
  constexpr auto kSymbol = tesseract::RIL_SYMBOL;
  std::string spaced;
  size_t consumed = 0;
  int previous_script = 0;
  int previous_centre = -1;
  int previous_left = 0;
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
    if (previous_centre >= 0 && at == consumed && script != 0 && previous_script != 0 &&
        script != previous_script &&
        widest_gap(previous_left, right) >= gap) {
      spaced += ' ';
    }
    spaced += current;
    consumed = at + current.size();
    previous_script = script;
    previous_centre = (left + right) / 2;
    previous_left = left;
  } while (!symbol.IsAtFinalElement(tesseract::RIL_TEXTLINE, kSymbol) && symbol.Next(kSymbol));
  numaDestroy(&columns);
  spaced.append(text, consumed, std::string::npos);
  return spaced;
}

// Appends the text lines of the last recognition to |lines|.
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
    FoundLine found;
    if (!line->BoundingBox(kLine, &found.left, &found.top, &found.right, &found.bottom)) continue;
    if (Knob("QV_SPACE", 0) > 0) {
      text = SpacedAtScriptChanges(*line, text, ink, Knob("QV_SPACE", 0) * (found.bottom - found.top));
    }
    found.text = std::move(text);
    lines.push_back(std::move(found));
  } while (line->Next(kLine));
}

}  // namespace

std::vector<TextObservation> TesseractRecognizer::Recognize(const std::string& image_path,
                                                            const RecognitionSettings& settings,
                                                            int max_candidates) {
  setMsgSeverity(L_SEVERITY_NONE);
  const std::string languages = TesseractLanguages(settings.languages);
  const OwnedPix original = DecodeForRecognition(image_path, ReadWholeFile(image_path));
  const double width = pixGetWidth(original.get());
  const double height = pixGetHeight(original.get());
  Prepared prepared = Prepare(OwnedPix(pixClone(original.get())));
  Pix* pix = prepared.pix.get();
  const int resolution = static_cast<int>(
      std::min(Knob("QV_DPIMAX", 1000), kSourceResolution * (Knob("QV_DPISCALE", 0) > 0 ? prepared.scale : 1.0)) + 0.5);
  const OwnedPix ink(pixThresholdToBinary(pix, 160));
  if (!ink) throw ImageError(image_path, "the image could not be converted for recognition");

  // Debian's Tesseract is built with OpenMP, and its threads make it several times slower on a
  // busy machine. Its parallel loops name their own thread counts, which overrides
  // omp_set_num_threads; no active parallel level runs every region on this thread.
  omp_set_max_active_levels(0);
  std::vector<FoundLine> lines;
  const int threads = static_cast<int>(Knob("QV_THREADS", 1));
  if (threads <= 1) {
    tesseract::TessBaseAPI api;
    InitApi(api, languages, settings);
    api.SetPageSegMode(tesseract::PSM_AUTO);
    api.SetImage(pix);
    api.SetSourceResolution(resolution);
    if (api.Recognize(nullptr) != 0) throw ImageError(image_path, "text recognition failed");
    CollectLines(api, ink.get(), lines);
  } else {
    // The page's text lines from one layout pass, then read one by one by two recognisers.
    struct Region {
      int left, top, width, height;
    };
    std::promise<std::vector<Region>> layout_promise;
    std::shared_future<std::vector<Region>> layout = layout_promise.get_future().share();
    std::atomic<size_t> next{0};
    std::vector<std::vector<FoundLine>> per_region;
    std::mutex results_mutex;
    const double fallback_below = Knob("QV_FALLBACK", 0);
    auto read_regions = [&](tesseract::TessBaseAPI& api) {
      const std::vector<Region>& regions = layout.get();
      api.SetPageSegMode(tesseract::PSM_SINGLE_LINE);
      api.SetImage(pix);
      api.SetSourceResolution(resolution);
      std::unique_ptr<tesseract::TessBaseAPI> chinese;
      for (size_t i = next++; i < regions.size(); i = next++) {
        const Region& region = regions[i];
        api.SetRectangle(region.left, region.top, region.width, region.height);
        if (api.Recognize(nullptr) != 0) continue;
        std::vector<FoundLine> found;
        CollectLines(api, ink.get(), found);
        const int confidence = api.MeanTextConf();
        if (confidence < fallback_below && languages.find('+') != std::string::npos) {
          if (!chinese) {
            chinese = std::make_unique<tesseract::TessBaseAPI>();
            InitApi(*chinese, languages.substr(0, languages.find('+')), settings);
            chinese->SetPageSegMode(tesseract::PSM_SINGLE_LINE);
            chinese->SetImage(pix);
            chinese->SetSourceResolution(resolution);
          }
          chinese->SetRectangle(region.left, region.top, region.width, region.height);
          std::vector<FoundLine> again;
          if (chinese->Recognize(nullptr) == 0) CollectLines(*chinese, ink.get(), again);
          if (std::getenv("QV_LOG")) if (FILE* f = fopen(std::getenv("QV_LOG"), "a")) fprintf(f, "%d vs %d: %s | %s\n", confidence, chinese->MeanTextConf(), found.empty() ? "" : found[0].text.c_str(), again.empty() ? "" : again[0].text.c_str()), fclose(f);
          if (chinese->MeanTextConf() > confidence + Knob("QV_MARGIN", 0)) {
            if (std::getenv("QV_LOG")) if (FILE* f = fopen(std::getenv("QV_LOG"), "a")) fprintf(f, "%d -> %d: %s | %s\n", confidence, chinese->MeanTextConf(), found.empty() ? "" : found[0].text.c_str(), again.empty() ? "" : again[0].text.c_str()), fclose(f);
            found = std::move(again);
          }
        }
        std::lock_guard<std::mutex> lock(results_mutex);
        per_region[i] = std::move(found);
      }
    };
    std::exception_ptr helper_error;
    std::thread helper([&] {
      try {
        omp_set_max_active_levels(0);
        tesseract::TessBaseAPI api;
        InitApi(api, languages, settings);
        read_regions(api);
      } catch (...) {
        helper_error = std::current_exception();
      }
    });
    try {
      tesseract::TessBaseAPI api;
      InitApi(api, languages, settings);
      api.SetPageSegMode(tesseract::PSM_AUTO);
      api.SetImage(pix);
      api.SetSourceResolution(resolution);
      std::vector<Region> regions;
      std::unique_ptr<tesseract::PageIterator> it(api.AnalyseLayout());
      const int image_width = pixGetWidth(pix), image_height = pixGetHeight(pix);
      if (it) {
        do {
          if (!PTIsTextType(it->BlockType())) continue;
          int l, t, r, b;
          if (!it->BoundingBox(tesseract::RIL_TEXTLINE, &l, &t, &r, &b)) continue;
          const int pad_y = static_cast<int>((b - t) * Knob("QV_PADY", 0.2));
          const int pad_x = static_cast<int>((b - t) * Knob("QV_PADX", 0.5));
          l = std::max(0, l - pad_x);
          t = std::max(0, t - pad_y);
          r = std::min(image_width, r + pad_x);
          b = std::min(image_height, b + pad_y);
          regions.push_back({l, t, r - l, b - t});
        } while (it->Next(tesseract::RIL_TEXTLINE));
      }
      per_region.resize(regions.size());
      layout_promise.set_value(std::move(regions));
      read_regions(api);
    } catch (...) {
      try {
        layout_promise.set_value({});
      } catch (...) {
      }
      helper.join();
      throw;
    }
    helper.join();
    if (helper_error) std::rethrow_exception(helper_error);
    for (std::vector<FoundLine>& found : per_region) {
      for (FoundLine& line : found) lines.push_back(std::move(line));
    }
  }

  const double scaled_width = width * prepared.scale;
  const double scaled_height = pixGetHeight(pix);
  std::vector<TextObservation> observations;
  for (FoundLine& line : lines) {
    TextObservation observation;
    if (max_candidates > 0) observation.candidates.push_back(std::move(line.text));
    observation.box = {.x = line.left / scaled_width,
                       .y = (scaled_height - line.bottom) / scaled_height,
                       .width = (line.right - line.left) / scaled_width,
                       .height = (line.bottom - line.top) / scaled_height};
    observations.push_back(std::move(observation));
  }
  (void)height;
  return observations;
}

