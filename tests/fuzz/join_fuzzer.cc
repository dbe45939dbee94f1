// libFuzzer target over the movie reader and the export: each input is written to a file and
// joined before a small valid segment through the real media adapter, as `join` does it. Any
// outcome is fine but a crash, a sanitizer report, a leak, a hang or an export that outlives its
// bound: a failure is an exception with a one-line text, a success a movie that opens again.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/tool_error.h"
#include "commands/join.h"
#include "platform/media/ffmpeg_media.h"

namespace {

// A hostile file under 1 MB gets far less than the tool's 180 s; libFuzzer's own -timeout sits
// above this.
constexpr std::chrono::seconds kExportBound{15};
// The export writes every second a segment claims (the audio lanes as silence), so its time
// grows with the claim, not with the file: the bound holds for claims up to this. The reader
// refuses claims beyond a day; between the two the join's own wait is the bound.
constexpr double kBoundedClaimSeconds = 600;

// The length the segment's video claims, or 0 when it does not open.
double ClaimedSeconds(FfmpegMedia& media, const std::string& path) {
  try {
    std::unique_ptr<Asset> asset = media.OpenAsset(path);
    const std::vector<const AssetTrack*> video = asset->tracks(MediaType::kVideo);
    return video.empty() ? 0 : MediaTimeGetSeconds(video.front()->time_range().duration);
  } catch (const std::exception&) {
    return 0;
  }
}

std::string folder;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char name[] = "/tmp/quorvane-join-fuzz-XXXXXX";
  if (mkdtemp(name) == nullptr) abort();
  folder = name;
  atexit([] { std::filesystem::remove_all(folder); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  const std::string segment = folder + "/segment";
  const std::string valid = QUORVANE_SOURCE_DIR "/tests/data/hostile/valid.mp4";
  const std::string output = folder + "/joined.mp4";
  std::ofstream(segment, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  FfmpegMedia media;
  try {
    join({segment, valid}, output, media, kExportBound);
    // What was written must read back as a movie.
    media.OpenAsset(output);
  } catch (const ToolError& error) {
    if (error.code() == ErrorCode::kExportTimedOut &&
        ClaimedSeconds(media, segment) <= kBoundedClaimSeconds) {
      fprintf(stderr, "the export did not finish within %lld s\n",
              static_cast<long long>(kExportBound.count()));
      abort();
    }
  } catch (const std::exception& error) {
    const std::string text = error.what();
    if (text.empty()) abort();
  }
  unlink(output.c_str());
  return 0;
}
