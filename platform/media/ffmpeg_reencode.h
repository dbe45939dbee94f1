#pragma once

// Building blocks of the export for inputs that cannot be copied packet for packet: decoding a
// stream, re-encoding video to H.264 at a fixed size, and re-encoding one audio lane to AAC with an
// exact sample count. Used only inside platform/media. Each object is used by one thread at a time.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/rational.h>
}

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/media/ffmpeg_pointers.h"

// Decodes one stream of an input. Damaged data is an error, not concealed. Throws PlatformError
// naming |source_name|, the stream and the reason.
class StreamDecoder {
 public:
  StreamDecoder(const AVCodecParameters* parameters, AVRational packet_time_base,
                const std::string& source_name);
  ~StreamDecoder();
  StreamDecoder(const StreamDecoder&) = delete;
  StreamDecoder& operator=(const StreamDecoder&) = delete;

  // Feeds |packet| (nullptr drains the decoder) and returns the frames now ready, their pts set
  // from best_effort_timestamp in the packet time base. Audio priming and edit-list skips that
  // the demuxer marks are already cut. A packet after the drain throws.
  std::vector<FramePtr> Decode(const AVPacket* packet);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// H.264 with libx264 at visually lossless quality (CRF 18, preset veryfast unless told), yuv420p
// limited range, at a fixed size; frames of any size, pixel format or range are converted to it
// (the aspect ratio is not kept). Width and height must be even, and together at most kMaxPixels:
// libx264 needs some 90 bytes per pixel (3 GB at 8K), 4K UHD keeps a run well under 1.5 GB. Throws
// PlatformError.
class VideoReencoder {
 public:
  static constexpr std::int64_t kMaxPixels = 3840 * 2160;

 public:
  // |time_base| is that of the frames handed in and of the packets handed out; |frame_rate| is
  // the nominal rate (e.g. the stream's avg_frame_rate), never 0. |global_header| puts SPS/PPS
  // into extradata, as MPEG-4 needs. |preset| is libx264's.
  VideoReencoder(int width, int height, AVRational time_base, AVRational frame_rate,
                 bool global_header, std::string_view preset = "veryfast");
  ~VideoReencoder();
  VideoReencoder(const VideoReencoder&) = delete;
  VideoReencoder& operator=(const VideoReencoder&) = delete;

  // Opened at construction: for avcodec_parameters_from_context on the output stream.
  const AVCodecContext* codec_context() const;

  // Encodes |frame| (pts in time_base, strictly increasing; nullptr drains) and returns the
  // packets now ready, pts and dts in time_base (dts may be negative: B-frames). A frame after
  // the drain throws.
  std::vector<PacketPtr> Encode(const AVFrame* frame);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// One audio lane re-encoded to AAC at a fixed rate and channel layout. The lane is a run of
// samples from lane sample 0; packets carry pts = the lane sample of their first decoded sample,
// in 1 / sample_rate. Mono sources go into a stereo lane at full level on both channels. Throws
// PlatformError.
// Priming: the encoder puts P = codec_context()->initial_padding (1024) samples of priming before
// the lane, so the first packet has pts -P and the packet durations add up to samples() + P.
// The caller writes the packets unchanged, negative pts included, on a stream with time base
// 1 / sample_rate, and must not shift them (no avoid_negative_ts make_zero/make_non_negative):
// the MPEG-4 muxer then starts the track's edit list at P, so a player skips the priming and
// plays lane sample n at n / sample_rate. A decoder fed the packets directly puts out the P
// priming samples first. The last packet's duration ends the lane exactly, but decoders put out
// whole frames: the lane is followed by silence up to the next multiple of frame_size.
class AudioLaneReencoder {
 public:
  AudioLaneReencoder(int sample_rate, const AVChannelLayout& layout, std::int64_t bit_rate,
                     bool global_header);
  ~AudioLaneReencoder();
  AudioLaneReencoder(const AudioLaneReencoder&) = delete;
  AudioLaneReencoder& operator=(const AudioLaneReencoder&) = delete;

  const AVCodecContext* codec_context() const;

  // Lane samples so far (encoded or waiting), not counting those still inside the converter.
  std::int64_t samples() const;

  // Appends |frame|'s samples, converted from any rate, format or layout, but never past lane
  // sample |end|; what would go beyond is dropped. Frame timestamps are not read: samples follow
  // each other; a gap inside a source is the caller's to fill with FinishSourceAt.
  void Append(const AVFrame* frame, std::int64_t end);

  // Ends the current source: flushes the converter's delayed samples (still never past |end|),
  // then pads with silence so that the lane holds exactly |end| samples. Also the way to put
  // silence before a source. Throws when the lane already holds more than |end|.
  void FinishSourceAt(std::int64_t end);

  // Packets ready so far; call it often to bound memory (a long gap is best padded in steps of
  // FinishSourceAt, taking the packets between: an hour of silence is about 170,000 packets). With
  // |finish|, the last partial frame is encoded and the encoder drained; after FinishSourceAt of
  // the last source, once, at the end. Samples of a source not ended with FinishSourceAt are then
  // lost.
  std::vector<PacketPtr> TakePackets(bool finish);

 private:
  struct State;
  std::unique_ptr<State> state_;
};
