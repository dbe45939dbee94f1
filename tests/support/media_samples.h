#pragma once

// Test helpers that make short movie segments with Debian's ffmpeg CLI and examine movie files
// with libavformat/libavcodec the way a player would, or through the adapter's StreamDecoder. All
// times are in seconds unless a time base is named. Every function throws std::runtime_error with
// one line naming the file and the reason when it cannot do its job. Not thread-safe:
// DecodesCleanly swaps FFmpeg's process-wide log callback while it runs.

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/media/ffmpeg_reencode.h"

namespace media_samples {

// Debian's ffmpeg CLI.
inline constexpr char kFfmpeg[] = "/usr/bin/ffmpeg";

// Runs ffmpeg quietly (no banner, errors only, no standard input, overwriting) with |args|, whose
// last is the file it makes. Throws with ffmpeg's stderr when it fails.
void MakeWithFfmpeg(const std::vector<std::string>& args);

// One audio track of a made segment: a 1 kHz tick of kTickLength at every whole second of the
// track's own time (0 s, 1 s, ...), digital silence in between.
struct AudioPlan {
  double duration = 2.0;
  int sample_rate = 48000;
  int channels = 2;           // 1 or 2
  std::string codec = "aac";  // an ffmpeg encoder: aac, libmp3lame, pcm_s16le (mov only), ...
  double start = 0.0;         // delay of this track's first sample after the segment's start
};

// A movie segment. The container follows the path's extension: .mp4, .mov, .m4v, .mkv or .webm.
struct SegmentPlan {
  bool has_video = true;
  double video_duration = 2.0;
  int width = 160;
  int height = 120;
  int fps = 30;
  // An ffmpeg encoder: libx264, libx265, libvpx (VP8), libvpx-vp9, libsvtav1.
  std::string video_codec = "libx264";
  int crf = 23;  // quality; two values give different extradata (the PPS for libx264)
  // Written the way a live recorder writes: Matroska/WebM without duration or cues, MPEG-4 as
  // fragments after an empty index.
  bool streaming = false;
  int b_frames = 0;            // libx264: B-frames between references (reordered, an edit list)
  bool variable_rate = false;  // every fifth frame left out: gaps in the frame times
  int rotation = 0;            // clockwise degrees (0, 90, 180, 270), stored as the track's matrix
  double start = 0.0;          // timestamp of the segment's first frame/sample in the file
  std::vector<AudioPlan> audio;
};

inline constexpr double kTickLength = 0.005;
inline constexpr double kTickFrequency = 1000.0;
inline constexpr double kTickAmplitude = 0.5;

// Writes the segment to |path| (overwriting). Throws with ffmpeg's stderr when ffmpeg fails.
void MakeSegment(const std::string& path, const SegmentPlan& plan);

enum class StreamType { kVideo, kAudio, kOther };

// What libavformat reports for one stream. Times on the file's presentation timeline.
struct StreamInfo {
  StreamType type = StreamType::kOther;
  std::string codec;                  // libavcodec's short name: "h264", "aac", "mp3", ...
  std::string tag;                    // the sample entry's fourcc: "avc1", "mp4a", ...; or empty
  double start = 0.0;                 // stream start time (edit lists applied); 0 when unknown
  double duration = 0.0;              // stream duration; 0 when unknown
  int width = 0, height = 0;          // video only
  int sample_rate = 0, channels = 0;  // audio only
  std::string extradata;              // codec private bytes (avcC, the AAC decoder config, ...)
  int rotation = 0;  // clockwise degrees in [0, 360) from the display matrix; 0 if none
  // libavutil's display matrix (a b u c d v x y w; a..d and x, y in 16.16, u v w in 2.30) as the
  // demuxer exports the track matrix; empty when the file has none.
  std::vector<std::int32_t> display_matrix;
};

// The streams of |path| in file order.
std::vector<StreamInfo> ProbeStreams(const std::string& path);

// Only the streams of |type|, in file order (the audio "lanes" when kAudio).
std::vector<StreamInfo> StreamsOfType(const std::vector<StreamInfo>& streams, StreamType type);

// The four-character types of the file's top-level boxes, in file order.
std::vector<std::string> TopLevelBoxes(const std::string& path);

// True when a top-level moov box comes before the first top-level mdat box.
bool MoovBeforeMdat(const std::string& path);

// The major brand of the ftyp box ("isom", "mp42", "qt  ", ...); empty when there is no ftyp.
std::string MajorBrand(const std::string& path);

// One audio stream decoded to mono float (the mean of its channels), frames played back to back
// from the first frame's presentation time, as FFmpeg and Chromium play them: the container's edit
// list and skip samples are honoured, timestamp gaps and overlaps are ignored.
struct DecodedAudio {
  std::vector<float> samples;
  int sample_rate = 0;  // of the first decoded frame; later frames are resampled to it
  double start = 0.0;   // presentation time of samples[0]
  double duration() const {
    return sample_rate ? static_cast<double>(samples.size()) / sample_rate : 0.0;
  }
};

// Decodes audio stream |lane| (counting only audio streams, from 0) of |path|. Throws on a packet
// the decoder rejects, where a player would skip it.
DecodedAudio DecodeAudioLane(const std::string& path, int lane);

// Onsets of ticks in |samples|: the times (seconds from samples[0]) where |x| first reaches
// |threshold| after at least |min_silence| seconds below it (the start of the buffer counts as
// silence).
std::vector<double> TickOnsets(const std::vector<float>& samples, int sample_rate,
                               double threshold = 0.1, double min_silence = 0.1);

// The same, in presentation time (audio.start added).
std::vector<double> TickOnsets(const DecodedAudio& audio);

// Root mean square of samples in [t0, t1) (seconds from samples[0], clamped to the buffer);
// 0 for an empty interval.
double Rms(const std::vector<float>& samples, int sample_rate, double t0, double t1);

// The same, with t0 and t1 in presentation time.
double Rms(const DecodedAudio& audio, double t0, double t1);

// How measured tick onsets compare with the expected ones. Each expected onset is paired with the
// nearest measured onset within |window| seconds (wide enough to see drift, under half the 1 s
// tick spacing so that a shifted tick is not paired with its neighbour).
struct TickComparison {
  double max_error = 0.0;      // largest |measured - expected| over paired onsets
  std::vector<double> errors;  // measured - expected, per expected onset (NaN if unpaired)
  int missing = 0;             // expected onsets with no measured one nearby
  int unexpected = 0;          // measured onsets paired with no expected one
  bool Within(double tolerance) const {
    return missing == 0 && unexpected == 0 && max_error <= tolerance;
  }
};
TickComparison CompareTicks(const std::vector<double>& expected,
                            const std::vector<double>& measured, double window = 0.49);

// What the join takes from one segment: its first video track's duration and, per audio track,
// the track's time range and where its ticks are, in seconds from the track's own start.
struct LaneLayout {
  double start = 0.0;
  double duration = 0.0;
  std::vector<double> ticks;
};
struct SegmentLayout {
  double video_duration = 0.0;
  std::vector<LaneLayout> audio;
};

// The layout |plan| asks for: each track starts with its tick at 0 s and lasts its duration.
// Exact for AAC in .mp4/.mov/.m4v without start offsets. An AAC track that does not start at the
// file's zero keeps its priming frame on ffmpeg's muxer (the track starts about 21 ms before its
// first tick), and MP3 in MP4 carries its encoder delay; use ReadLayout for those.
SegmentLayout LayoutOf(const SegmentPlan& plan);

// The layout of the movie at |path| as libavformat and a player see it: stream starts and
// durations from ProbeStreams, ticks from decoding each audio track.
SegmentLayout ReadLayout(const std::string& path);

// Where the ticks of audio lane |lane| belong after joining |segments| end to end: each segment's
// audio track |lane| starts at the segment's place on the timeline (the sum of earlier video
// durations) and is cut at its video's end. Ticks that start less than kTickLength before the cut
// are left out; choose durations so that none starts within a few ms after a cut either.
std::vector<double> ExpectedTicks(const std::vector<SegmentLayout>& segments, int lane);
std::vector<double> ExpectedTicks(const std::vector<SegmentPlan>& segments, int lane);

// The intervals [from, to) of lane |lane| that hold no audio after the join (no track at that
// position, or the track ends before the video), merged when adjacent: these must decode as
// silence. Leave ~20 ms at each end when measuring: AAC frames smear edges.
struct Interval {
  double from = 0.0, to = 0.0;
};
std::vector<Interval> ExpectedSilence(const std::vector<SegmentLayout>& segments, int lane);
std::vector<Interval> ExpectedSilence(const std::vector<SegmentPlan>& segments, int lane);

// One packet of the first video stream, in file (decode) order.
struct PacketDigest {
  std::int64_t size = 0;
  std::uint64_t hash = 0;  // FNV-1a 64 of the payload bytes
  double pts = 0.0;        // presentation time; NaN when the packet has none
  bool keyframe = false;
  // Equal payloads (size and hash); timestamps are not compared.
  bool operator==(const PacketDigest& other) const {
    return size == other.size && hash == other.hash;
  }
};

std::vector<PacketDigest> VideoPackets(const std::string& path);

// The outcome of decoding every stream of a file to its end with error detection on.
struct DecodeReport {
  std::vector<std::int64_t> frames;  // decoded frames per stream (file order); 0 for non-A/V
  int errors = 0;                    // decode calls that failed plus error-level decoder messages
  std::string first_error;           // the first of them, for test output
  bool clean() const { return errors == 0; }
};

DecodeReport DecodesCleanly(const std::string& path);

struct FormatInputDeleter {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
using FormatInputPtr = std::unique_ptr<AVFormatContext, FormatInputDeleter>;

// |path| opened with its stream information read.
FormatInputPtr OpenInput(const std::string& path);

// The index of the first stream of |type| in |input|.
int FirstStream(const AVFormatContext* input, AVMediaType type);

// Every frame of the first stream of |type| in |path|, decoded with StreamDecoder.
std::vector<FramePtr> DecodeFile(const std::string& path, AVMediaType type);

// Decodes |packets| made by an encoder with |context|, in the encoder's time base.
std::vector<FramePtr> DecodePackets(const AVCodecContext* context,
                                    const std::vector<PacketPtr>& packets);

// The samples of planar float |frames| of one channel, one after another.
std::vector<float> ChannelSamples(const std::vector<FramePtr>& frames, int channel);

// Writes |packets| (in |context|'s time base, unchanged) as the one stream of an MPEG-4 file.
void WriteMp4(const std::string& path, const AVCodecContext* context,
              const std::vector<PacketPtr>& packets);

}  // namespace media_samples
