#pragma once

#include <leptonica/allheaders.h>

#include <memory>
#include <string>
#include <string_view>

#include "platform/platform_error.h"

// An image file as the recogniser reads it: the file's checks, the header's size checks and the
// decoding to 8-bit grey.

struct PixDeleter {
  void operator()(Pix* pix) const { pixDestroy(&pix); }
};
using OwnedPix = std::unique_ptr<Pix, PixDeleter>;

// The one place where a reason becomes the adapter's error text.
PlatformError ImageError(const std::string& path, std::string_view reason);

// The bytes of the regular file at |path|, which must not be empty nor larger than 256 MiB.
std::string ReadWholeFile(const std::string& path);

// Decodes |bytes| after checking the header's size (refused above |max_pixels|), then flattens it
// to 8-bit luminance (alpha composited over white). |path| names the file in errors.
OwnedPix DecodeForRecognition(const std::string& path, const std::string& bytes,
                              long long max_pixels);
