// libFuzzer target over the recogniser's front: each input is written to a file and goes through
// the file checks, the header's size checks, decoding and the conversion to luminance that
// precede recognition (recognition itself is left out: it takes seconds per image). A refusal is
// an exception with a one-line text; anything else but a prepared image of a sane size is a bug.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/platform_error.h"
#include "platform/recognition/tesseract_recognizer.h"

namespace {

std::string folder;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char name[] = "/tmp/quorvane-image-fuzz-XXXXXX";
  if (mkdtemp(name) == nullptr) abort();
  folder = name;
  atexit([] { std::filesystem::remove_all(folder); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  const std::string image = folder + "/image";
  std::ofstream(image, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  try {
    const auto [width, height] = TesseractRecognizer::PrepareImage(image);
    if (width <= 0 || height <= 0 ||
        static_cast<long long>(width) * height > TesseractRecognizer::kMaxPixels) {
      abort();
    }
  } catch (const PlatformError& error) {
    if (std::string(error.what()).empty()) abort();
  }
  return 0;
}
