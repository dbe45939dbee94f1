// libFuzzer target over the movie reader and the export: each input is written to a file and
// joined before a small valid segment through the real media adapter, as `join` does it. Any
// outcome is fine but a crash, a sanitizer report, a leak, a hang or an export that outlives its
// bound: a failure is an exception with a one-line text, a success a movie that opens again and
// whose pictures span the duration the join reported.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

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

// How long the video of the movie at |path| shows pictures, from its first to the end of its last,
// and how long one of its frames lasts (the median interval between pictures, or the last one's
// length if longer); seconds < 0 when it has no video. A picture whose length the demuxer leaves
// out (reordered MPEG-4) lasts as long as the interval before it.
struct VideoSpan {
  double seconds = -1;
  double frame = 0;
};
VideoSpan ReadVideoSpan(const std::string& path) {
  AVFormatContext* input = nullptr;
  if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0) return {};
  const int video = avformat_find_stream_info(input, nullptr) < 0
                        ? -1
                        : av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  std::vector<std::pair<std::int64_t, std::int64_t>> pictures;  // pts, duration
  AVPacket* packet = av_packet_alloc();
  while (video >= 0 && packet != nullptr && av_read_frame(input, packet) >= 0) {
    if (packet->stream_index == video && packet->pts != AV_NOPTS_VALUE &&
        !(packet->flags & AV_PKT_FLAG_DISCARD)) {
      pictures.emplace_back(packet->pts, packet->duration);
    }
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  const double tick = video >= 0 ? av_q2d(input->streams[video]->time_base) : 0;
  avformat_close_input(&input);
  if (pictures.empty()) return {};
  std::sort(pictures.begin(), pictures.end());
  std::vector<std::int64_t> intervals;
  for (size_t i = 1; i < pictures.size(); ++i) {
    intervals.push_back(pictures[i].first - pictures[i - 1].first);
  }
  std::int64_t last = pictures.back().second;
  if (last <= 0 && !intervals.empty()) last = intervals.back();
  std::int64_t median = 0;
  if (!intervals.empty()) {
    std::nth_element(intervals.begin(), intervals.begin() + intervals.size() / 2, intervals.end());
    median = intervals[intervals.size() / 2];
  }
  return {static_cast<double>(pictures.back().first + last - pictures.front().first) * tick,
          static_cast<double>(std::max(median, last)) * tick};
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
    // What was written must read back as a movie with the pictures of the duration reported.
    try {
      media.OpenAsset(output);
    } catch (const std::exception& error) {
      fprintf(stderr, "join succeeded, but its movie does not open: %s\n", error.what());
      abort();
    }
    const double reported = ClaimedSeconds(media, segment) + ClaimedSeconds(media, valid);
    const VideoSpan written = ReadVideoSpan(output);
    if (written.seconds < 0 || std::abs(written.seconds - reported) > 2 * written.frame + 0.002) {
      fprintf(stderr, "join reported %.6f s, but the movie's video spans %.6f s\n", reported,
              written.seconds);
      abort();
    }
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
