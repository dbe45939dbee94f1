// Writes the fuzz targets' seed corpora: small movies of each shape the join reads and small
// images in each format the recogniser reads, plus the known hostile inputs. Run once by hand
// (see README.md); the files are kept in the repository.
//
//   make_fuzz_seeds tests/fuzz/corpus
#include <leptonica/allheaders.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/drawing/pango_drawing.h"
#include "tests/support/bad_images.h"
#include "tests/support/media_samples.h"
#include "tests/support/run_tool.h"
#include "tests/support/text_scenes.h"

namespace {

using media_samples::AudioPlan;
using media_samples::SegmentPlan;

// Copies |from| into the container |format| without re-encoding.
void Remux(const std::string& from, const std::string& to, const std::vector<std::string>& extra) {
  std::vector<std::string> args = {"-v", "error", "-y", "-i", from, "-c", "copy"};
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back(to);
  const RunResult run = RunProgram(media_samples::kFfmpeg, args);
  if (run.status != 0) throw std::runtime_error("ffmpeg failed on " + to + ": " + run.err);
}

void MakeMovies(const std::string& dir) {
  const AudioPlan short_aac{.duration = 0.5, .sample_rate = 44100, .channels = 1};
  const SegmentPlan small{
      .video_duration = 0.5, .width = 64, .height = 48, .fps = 10, .audio = {short_aac}};
  media_samples::MakeSegment(dir + "/aac.mp4", small);

  SegmentPlan rotated = small;
  rotated.rotation = 90;
  rotated.audio = {{.duration = 0.4, .sample_rate = 8000, .channels = 2, .codec = "pcm_s16le"}};
  media_samples::MakeSegment(dir + "/pcm-rotated.mov", rotated);

  SegmentPlan lanes = small;
  lanes.start = 0.2;  // an edit list
  lanes.audio = {short_aac, {.duration = 0.3, .codec = "libmp3lame", .start = 0.1}};
  media_samples::MakeSegment(dir + "/two-lanes-edit-list.mov", lanes);

  SegmentPlan silent = small;
  silent.audio.clear();
  silent.crf = 30;
  media_samples::MakeSegment(dir + "/video-only.m4v", silent);

  // The valid segment's own shape, so that the copy path (same codec, size and configuration)
  // is reached as well as the re-encode.
  SegmentPlan same{.video_duration = 0.5, .audio = {{.duration = 0.5}}};
  const std::string same_path = dir + "/like-valid.mp4";
  media_samples::MakeSegment(same_path, same);

  const std::string scratch = dir + "/scratch.mp4";
  media_samples::MakeSegment(scratch, small);
  Remux(scratch, dir + "/matroska.mkv", {});
  Remux(scratch, dir + "/fragmented.mp4", {"-movflags", "frag_keyframe+empty_moov"});
  std::filesystem::remove(scratch);
}

void WriteAs(Pix* pix, l_int32 format, const std::string& path) {
  l_uint8* data = nullptr;
  size_t size = 0;
  if (pixWriteMem(&data, &size, pix, format) != 0) throw std::runtime_error("cannot write " + path);
  WriteFile(path, std::string(reinterpret_cast<const char*>(data), size));
  lept_free(data);
}

void MakeImages(const std::string& dir) {
  PangoDrawing drawing;
  TextScene light{"light", 96, 40, text_scenes::kWhite, {}, {}};
  light.lines = {{"Hi 你好", 4, 6, 16, text_scenes::kBlack}};
  const std::string png = DrawScene(light, drawing).value();
  WriteFile(dir + "/light.png", png);  // 32-bit RGBA

  TextScene dark = light;
  dark.background = text_scenes::kDarkGround;
  dark.lines.front().color = text_scenes::kLightText;
  dark.bands = {{{0, 30, 96, 10}, {0.8, 0.1, 0.1}}};
  const std::string dark_png = DrawScene(dark, drawing).value();

  Pix* pix = pixReadMem(reinterpret_cast<const l_uint8*>(dark_png.data()), dark_png.size());
  if (pix == nullptr) throw std::runtime_error("cannot read the drawn scene");
  Pix* rgb = pixRemoveAlpha(pix);
  WriteAs(rgb, IFF_JFIF_JPEG, dir + "/dark.jpg");
  WriteAs(rgb, IFF_BMP, dir + "/dark.bmp");
  WriteAs(rgb, IFF_WEBP, dir + "/dark.webp");
  Pix* grey = pixConvertRGBToLuminance(rgb);
  WriteAs(grey, IFF_TIFF_LZW, dir + "/grey.tif");
  Pix* mapped = pixConvertGrayToColormap(grey);
  WriteAs(mapped, IFF_GIF, dir + "/mapped.gif");
  WriteAs(mapped, IFF_PNG, dir + "/mapped.png");
  Pix* binary = pixThresholdToBinary(grey, 128);
  WriteAs(binary, IFF_TIFF_G4, dir + "/binary.tif");
  for (Pix* p : {pix, rgb, grey, mapped, binary}) pixDestroy(&p);

  WriteFile(dir + "/huge.png", bad_images::HugePng());
  WriteFile(dir + "/zero-width.png", bad_images::ZeroWidthPng());
  WriteFile(dir + "/truncated.png", png.substr(0, png.size() / 2));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_fuzz_seeds CORPUS_DIR\n");
    return 2;
  }
  const std::string root = argv[1];
  try {
    std::filesystem::create_directories(root + "/join");
    std::filesystem::create_directories(root + "/image");
    MakeMovies(root + "/join");
    MakeImages(root + "/image");
    for (const std::string name : {"abort-1.mkv", "abort-2.mkv"}) {
      std::filesystem::copy_file(std::string(QUORVANE_SOURCE_DIR) + "/tests/data/hostile/" + name,
                                 root + "/join/" + name,
                                 std::filesystem::copy_options::overwrite_existing);
    }
  } catch (const std::exception& error) {
    fprintf(stderr, "make_fuzz_seeds: %s\n", error.what());
    return 1;
  }
  return 0;
}
