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
#include <vector>

#include "platform/media/media.h"

struct AvInputDeleter {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
using InputPtr = std::unique_ptr<AVFormatContext, AvInputDeleter>;

// Why a segment is refused whose video yields no frame within the range it claims.
inline constexpr std::string_view kNoVideoFrames = "its video has no frames";

// The reason an FFmpeg call failed with |code|, as a short phrase.
std::string AvErrorText(int code);

// The adapter's one line for a failed FFmpeg call: PlatformError "<subject>: <reason of code>",
// where the subject names the file or item and what was being done.
[[noreturn]] void ThrowAvError(const std::string& subject, int code);
// PlatformError "<action> <path>: <reason of code>".
[[noreturn]] void ThrowAvError(std::string_view action, const std::string& path, int code);

// Silences FFmpeg's own logging and caps any one of its allocations at kMaxFfmpegAllocation, so a
// damaged table that claims millions of samples fails to open instead of taking gigabytes;
// idempotent, cheap.
inline constexpr size_t kMaxFfmpegAllocation = 256u << 20;
void SetUpFfmpeg();

// Opens |path| (relative to the working directory) as an MPEG-4/QuickTime or Matroska movie,
// reading at most a few megabytes to find its streams (|analyze|: also probing packets for what the
// headers leave out). Throws PlatformError "Cannot open movie <path>: <reason>"; an MPEG-4 file
// whose recording never wrote its index (moov) says so.
InputPtr OpenMovie(const std::string& path, bool analyze = true);

// Whether the MPEG-4 file at |path| is fragmented (movie fragments after its moov): its index
// grows as it is read, and its last fragment may have been cut off.
bool IsFragmentedMp4(const std::string& path);

// Whether the streams' time ranges must come from their packets: Matroska/WebM (a streaming
// recording has neither duration nor cues, and a header may contradict its packets) and
// fragmented MPEG-4. The sample table of a plain MPEG-4/QuickTime movie is exact.
bool NeedsPacketScan(const AVFormatContext& input, const std::string& path);

// What one front-to-back read of a movie's packets found for one stream.
struct PacketSpan {
  std::int64_t first_time = AV_NOPTS_VALUE;  // decoding time of the first packet
  std::int64_t first_pts = AV_NOPTS_VALUE;   // earliest presentation time
  std::int64_t end = AV_NOPTS_VALUE;         // latest pts + duration
  std::int64_t count = 0;
  std::int64_t frame_samples = 0;  // audio: samples in every packet but the last; -1 when they vary
};

// Reads every packet of |input| once, front to back, without decoding. A file that ends early
// (cut off mid-packet, or data after which nothing can be read) yields the packets up to its last
// complete one, and |ends_early| is set. Throws PlatformError "Cannot open movie <path>: <reason>"
// when not one complete packet can be read (a recording cut off right after its header).
std::vector<PacketSpan> ScanPackets(AVFormatContext& input, const std::string& path,
                                    bool& ends_early);

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
  // Samples in the file's own index (every sample for MPEG-4/QuickTime), or packets counted by
  // ScanPackets; -1 when unknown.
  std::int64_t packet_count = -1;
  // The file ends early: only its first |packet_count| packets of this stream are complete.
  bool ends_early = false;
  // Audio samples per packet (all but the last) when the scan found them constant; 0 unknown.
  std::int64_t frame_samples = 0;
  // Some packets are only decoded, not shown (an edit list that starts between key frames).
  bool hides_packets = false;
  // The container stores decoding times (MPEG-4/QuickTime); Matroska stores only presentation
  // times, and its demuxer infers the others once it knows the stream's reordering.
  bool stores_decoding_times = true;
  Transform transform;
};

// Describes stream |index| of the open movie |input| read from |path|; its time range and packet
// count from |span| when the packets were scanned.
SourceStream DescribeStream(const AVFormatContext& input, int index, const std::string& path,
                            const PacketSpan* span = nullptr, bool ends_early = false);

// Opus: the pre-skip of the stream's identification header, in 48 kHz samples; 0 otherwise.
int OpusPreSkip(const AVCodecParameters& parameters);

// A display matrix (16.16 for a, b, c, d, tx, ty; 2.30 for the last column) and the transform it
// stands for; exact both ways for values on the 1/65536 grid.
Transform TransformFromDisplayMatrix(const std::int32_t matrix[9]);
void DisplayMatrixFromTransform(const Transform& transform, std::int32_t matrix[9]);

// The transform of |stream|'s display matrix; the identity when it has none.
Transform StreamTransform(const AVStream& stream);

// Gives the new output |stream| the display matrix of |transform| (none for the identity). Throws
// PlatformError when out of memory.
void SetStreamTransform(AVStream* stream, const Transform& transform);

// The channel layout of |parameters|; the default order for its channel count (1 to 8) when the
// container left the order unspecified. The caller uninitialises it.
AVChannelLayout ChannelLayoutOf(const AVCodecParameters& parameters);

// |time| in ticks of |time_base|, rounded to the nearest tick.
std::int64_t ToTicks(const MediaTime& time, AVRational time_base);
