#pragma once

// Reading movie files with libavformat: opening with bounded probing, the one converter from
// FFmpeg error codes to text, and what the composition keeps of a source stream. Used only inside
// platform/media.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/media/media.h"

struct AvInputDeleter {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
using InputPtr = std::unique_ptr<AVFormatContext, AvInputDeleter>;

// The reason an FFmpeg call failed with |code|, as a short phrase.
std::string AvErrorText(int code);

// PlatformError "<action> <path>: <reason of code>".
[[noreturn]] void ThrowAvError(std::string_view action, const std::string& path, int code);

// Silences FFmpeg's own logging; idempotent, cheap.
void QuietFfmpegLog();

// Opens |path| (relative to the working directory) as an MPEG-4/QuickTime or Matroska movie,
// reading at most a few megabytes to find its streams (|analyze|: also probing packets for what the
// headers leave out). Throws PlatformError "Cannot open movie <path>: <reason>".
InputPtr OpenMovie(const std::string& path, bool analyze = true);

// One stream of a movie file as the composition remembers it; the file itself is closed.
struct SourceStream {
  std::string path;
  int index = 0;
  MediaType type = MediaType::kVideo;
  AVRational time_base{1, 1};
  std::shared_ptr<const AVCodecParameters> parameters;
  AVRational frame_rate{0, 1};
  std::int64_t start = 0;     // presentation start, in time_base (edit lists applied)
  std::int64_t duration = 0;  // in time_base
  // Decoding time of the first packet, in time_base; before |start| when the codec primes.
  std::int64_t first_packet_time = 0;
  // Samples in the file's own index (every sample for MPEG-4/QuickTime); -1 when unknown.
  std::int64_t packet_count = -1;
  // Some packets are only decoded, not shown (an edit list that starts between key frames).
  bool hides_packets = false;
  Transform transform;
};

// Describes stream |index| of the open movie |input| read from |path|.
SourceStream DescribeStream(const AVFormatContext& input, int index, const std::string& path);

// A display matrix (16.16 for a, b, c, d, tx, ty; 2.30 for the last column) and the transform it
// stands for; exact both ways for values on the 1/65536 grid.
Transform TransformFromDisplayMatrix(const std::int32_t matrix[9]);
void DisplayMatrixFromTransform(const Transform& transform, std::int32_t matrix[9]);

// |time| in ticks of |time_base|, rounded to the nearest tick.
std::int64_t ToTicks(const MediaTime& time, AVRational time_base);
