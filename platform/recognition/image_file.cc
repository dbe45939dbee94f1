#include "platform/recognition/image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr off_t kMaxFileBytes = 256 << 20;

}  // namespace

PlatformError ImageError(const std::string& path, std::string_view reason) {
  return PlatformError("The image \"" + path + "\" could not be read: " + std::string(reason));
}

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

OwnedPix DecodeForRecognition(const std::string& path, const std::string& bytes,
                              long long max_pixels) {
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
  if (static_cast<long long>(width) * height > max_pixels) {
    throw ImageError(path, "the image is " + std::to_string(width) + " x " +
                               std::to_string(height) + " pixels, more than the " +
                               std::to_string(max_pixels) + " pixels that can be recognised");
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
