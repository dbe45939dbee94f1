#pragma once

// Files that look like images and are not, or are hostile, for the recogniser's refusal paths.

#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/support/run_tool.h"

namespace bad_images {

// A PNG whose header claims 60000 x 60000 8-bit grey pixels (3.6 GB decoded), with a tiny data
// chunk: the shape of a decompression bomb.
inline std::string HugePng() {
  return std::string(
      "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00\xea\x60\x00\x00"
      "\xea\x60\x08\x00\x00\x00\x00\xa5\xb9\x2a\x9e\x00\x00\x00\x0c\x49\x44\x41\x54\x78\xda\x63"
      "\x60\xa0\x0c\x00\x00\x00\x40\x00\x01\x89\xc9\xaf\x43\x00\x00\x00\x00\x49\x45\x4e\x44\xae"
      "\x42\x60\x82",
      69);
}

// A PNG whose header gives a width of 0 and a height of 10.
inline std::string ZeroWidthPng() {
  return std::string(
      "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00\x00\x00\x00\x00"
      "\x00\x0a\x08\x00\x00\x00\x00\xbf\x7b\x00\xa8\x00\x00\x00\x0c\x49\x44\x41\x54\x78\xda\x63"
      "\x60\xa0\x0c\x00\x00\x00\x40\x00\x01\x89\xc9\xaf\x43\x00\x00\x00\x00\x49\x45\x4e\x44\xae"
      "\x42\x60\x82",
      69);
}

struct BadImage {
  std::string name;
  std::string path;
  std::string error;  // the one line the tool reports
};

// Lays out every refused input in |dir| (|good_png| is cut in half for the truncated one) and
// returns each with the error line expected for it.
inline std::vector<BadImage> MakeBadImages(const TempDir& dir, const std::string& good_png) {
  auto error = [](const std::string& path, const std::string& reason) {
    return "The image \"" + path + "\" could not be read: " + reason;
  };
  std::vector<BadImage> images;
  auto add = [&](const std::string& name, const std::string& reason) {
    images.push_back({name, dir.File(name), error(dir.File(name), reason)});
  };
  add("missing.png", "No such file or directory");
  add("folder.png", "Is a directory");
  add("empty.png", "the file is empty");
  add("text.png",
      "it is not in an image format that can be read (PNG, JPEG, TIFF, BMP, WebP, GIF)");
  add("truncated.png", "the image data is damaged or incomplete");
  add("huge.png",
      "the image is 60000 x 60000 pixels, more than the 40000000 pixels that can be recognised");
  add("zero-width.png", "its header is damaged or gives a size of zero");
  mkdir(dir.File("folder.png").c_str(), 0755);
  WriteFile(dir.File("empty.png"), "");
  WriteFile(dir.File("text.png"), "This is a note, not a picture.\n");
  WriteFile(dir.File("truncated.png"), good_png.substr(0, good_png.size() / 2));
  WriteFile(dir.File("huge.png"), HugePng());
  WriteFile(dir.File("zero-width.png"), ZeroWidthPng());
  return images;
}

}  // namespace bad_images
