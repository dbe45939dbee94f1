#include "platform/recognition/tesseract_recognizer.h"

#include <fcntl.h>
#include <leptonica/allheaders.h>
#include <omp.h>
#include <sys/stat.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>
#include <unistd.h>

#include <cerrno>
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
  l_float32 mean = 255;
  if (!pix || pixAverageInRect(pix.get(), nullptr, nullptr, 0, 255, 2, &mean) != 0) {
    throw ImageError(path, "the image could not be converted for recognition");
  }
  // Light text on a dark ground: Tesseract reads dark on light better and faster.
  if (mean < 128) pixInvert(pix.get(), pix.get());
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

}  // namespace

std::pair<int, int> TesseractRecognizer::PrepareImage(const std::string& image_path) {
  setMsgSeverity(L_SEVERITY_NONE);
  OwnedPix pix = DecodeForRecognition(image_path, ReadWholeFile(image_path));
  return {pixGetWidth(pix.get()), pixGetHeight(pix.get())};
}

std::vector<TextObservation> TesseractRecognizer::Recognize(const std::string& image_path,
                                                            const RecognitionSettings& settings,
                                                            int max_candidates) {
  setMsgSeverity(L_SEVERITY_NONE);
  const std::string languages = TesseractLanguages(settings.languages);
  OwnedPix pix = DecodeForRecognition(image_path, ReadWholeFile(image_path));

  // Debian's Tesseract is built with OpenMP, and its threads make it several times slower on a
  // busy machine. Its parallel loops name their own thread counts, which overrides
  // omp_set_num_threads; no active parallel level runs every region on this thread.
  omp_set_max_active_levels(0);
  tesseract::TessBaseAPI api;
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
  api.SetPageSegMode(tesseract::PSM_AUTO);
  api.SetImage(pix.get());
  api.SetSourceResolution(kSourceResolution);
  if (api.Recognize(nullptr) != 0) {
    throw ImageError(image_path, "text recognition failed");
  }

  const double width = pixGetWidth(pix.get());
  const double height = pixGetHeight(pix.get());
  std::vector<TextObservation> observations;
  std::unique_ptr<tesseract::ResultIterator> line(api.GetIterator());
  if (!line) return observations;
  constexpr auto kLine = tesseract::RIL_TEXTLINE;
  do {
    if (PTIsLineType(line->BlockType())) continue;
    std::unique_ptr<char[]> utf8(line->GetUTF8Text(kLine));
    if (!utf8) continue;
    std::string text(utf8.get());
    if (IsBlank(text)) continue;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    int left = 0, top = 0, right = 0, bottom = 0;
    if (!line->BoundingBox(kLine, &left, &top, &right, &bottom)) continue;
    TextObservation observation;
    if (max_candidates > 0) observation.candidates.push_back(std::move(text));
    observation.box = {.x = left / width,
                       .y = (height - bottom) / height,
                       .width = (right - left) / width,
                       .height = (bottom - top) / height};
    observations.push_back(std::move(observation));
  } while (line->Next(kLine));
  return observations;
}
