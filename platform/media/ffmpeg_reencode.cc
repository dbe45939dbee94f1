#include "platform/media/ffmpeg_reencode.h"

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <utility>

#include "platform/media/ffmpeg_source.h"
#include "platform/platform_error.h"

namespace {

constexpr int kCrf = 18;
// 8K UHD. A header may claim any size; a picture larger than this is refused before a decoder
// allocates it.
constexpr std::int64_t kMaxVideoPixels = 7680 * 4320;
// The highest rate real audio uses (768 kHz PCM). Resampling from a far higher one would build a
// filter bank of gigabytes.
constexpr int kMaxSourceSampleRate = 768000;
// Samples converted at a time: a long frame at a low rate is never upsampled in one piece.
constexpr std::int64_t kConvertSlice = 1 << 16;

struct SwsDeleter {
  void operator()(SwsContext* context) const { sws_freeContext(context); }
};
struct SwrDeleter {
  void operator()(SwrContext* context) const { swr_free(&context); }
};
struct FifoDeleter {
  void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
};

std::string CodecName(AVCodecID id) {
  const char* name = avcodec_get_name(id);
  return name ? name : "unknown codec";
}

std::string PixelFormatName(int format) {
  const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(format));
  return name ? name : "unknown pixel format";
}

// Receives every packet |context| has ready after a send. AVERROR_EOF ends a drain.
void ReceivePackets(AVCodecContext* context, const std::string& what, std::vector<PacketPtr>& out) {
  for (;;) {
    PacketPtr packet = NewPacket();
    int rc = avcodec_receive_packet(context, packet.get());
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
    if (rc < 0) ThrowAvError(what + ": cannot encode", rc);
    out.push_back(std::move(packet));
  }
}

}  // namespace

struct StreamDecoder::State {
  CodecContextPtr context;
  std::string what;
  bool drained = false;
};

StreamDecoder::StreamDecoder(const AVCodecParameters* parameters, AVRational packet_time_base,
                             const std::string& source_name)
    : state_(std::make_unique<State>()) {
  const char* type = av_get_media_type_string(parameters->codec_type);
  state_->what = source_name + ": " + (type ? type : "unknown") + " stream (" +
                 CodecName(parameters->codec_id) + ")";
  const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
  if (!codec) throw PlatformError(state_->what + ": no decoder for this codec");
  state_->context.reset(avcodec_alloc_context3(codec));
  if (!state_->context) throw PlatformError(state_->what + ": out of memory");
  AVCodecContext* context = state_->context.get();
  int rc = avcodec_parameters_to_context(context, parameters);
  if (rc < 0) ThrowAvError(state_->what + ": cannot read parameters", rc);
  context->pkt_timebase = packet_time_base;
  // Without this most decoders conceal damage and go on; a damaged segment must fail instead.
  context->err_recognition |= AV_EF_EXPLODE;
  // One thread: libavcodec 5.1's frame threading, when a worker reports damage under
  // AV_EF_EXPLODE, can hand back a frame without buffers and aborts the process on its own
  // assertion (decode.c: frame->buf[0]). Decoding is a small share of a re-encode's time.
  context->thread_count = 1;
  context->max_pixels = kMaxVideoPixels;
  rc = avcodec_open2(context, codec, nullptr);
  if (rc < 0) ThrowAvError(state_->what + ": cannot open decoder", rc);
}

StreamDecoder::~StreamDecoder() = default;

std::vector<FramePtr> StreamDecoder::Decode(const AVPacket* packet) {
  std::vector<FramePtr> frames;
  if (state_->drained) {
    if (packet) throw PlatformError(state_->what + ": data after the end of the stream");
    return frames;
  }
  AVCodecContext* context = state_->context.get();
  int rc = avcodec_send_packet(context, packet);
  if (rc < 0 && rc != AVERROR_EOF) {
    ThrowAvError(state_->what + ": cannot decode", rc);
  }
  if (!packet) state_->drained = true;
  for (;;) {
    FramePtr frame = NewFrame();
    rc = avcodec_receive_frame(context, frame.get());
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) break;
    if (rc < 0) ThrowAvError(state_->what + ": cannot decode", rc);
    if (frame->decode_error_flags != 0 || (frame->flags & AV_FRAME_FLAG_CORRUPT)) {
      throw PlatformError(state_->what + ": cannot decode: damaged data");
    }
    frame->pts = frame->best_effort_timestamp;
    frames.push_back(std::move(frame));
  }
  return frames;
}

struct VideoReencoder::State {
  CodecContextPtr context;
  std::unique_ptr<SwsContext, SwsDeleter> scaler;
  int scaler_width = 0;
  int scaler_height = 0;
  int scaler_format = -1;
  int scaler_full_range = 0;
  FramePtr scaled;
  FramePtr staged;
  std::string what = "H.264 encoder (libx264)";
  bool drained = false;

  // Converts |frame| into |scaled|: the fixed size, yuv420p, limited range.
  void Scale(const AVFrame* frame) {
    if (frame->width <= 0 || frame->height <= 0 || frame->format < 0) {
      throw PlatformError(what + ": frame without size or pixel format");
    }
    // swscale takes the range from the pixel format only (yuvj*); a full-range tag on yuv420p
    // must be set before sws_init_context, or black and white come out as grey (its unscaled
    // copy ignores a later sws_setColorspaceDetails).
    int full_range = frame->color_range == AVCOL_RANGE_JPEG ? 1 : 0;
    // A picture one pixel wider or taller than the even size (an odd window) loses that last
    // column or row instead of being resampled: every other pixel stays exact.
    const int width = frame->width == context->width + 1 ? context->width : frame->width;
    const int height = frame->height == context->height + 1 ? context->height : frame->height;
    if (!scaler || frame->width != scaler_width || frame->height != scaler_height ||
        frame->format != scaler_format || full_range != scaler_full_range) {
      scaler.reset(sws_alloc_context());
      if (!scaler) throw PlatformError(what + ": out of memory");
      SwsContext* c = scaler.get();
      av_opt_set_int(c, "srcw", width, 0);
      av_opt_set_int(c, "srch", height, 0);
      av_opt_set_int(c, "src_format", frame->format, 0);
      av_opt_set_int(c, "src_range", full_range, 0);
      av_opt_set_int(c, "dstw", context->width, 0);
      av_opt_set_int(c, "dsth", context->height, 0);
      av_opt_set_int(c, "dst_format", context->pix_fmt, 0);
      av_opt_set_int(c, "dst_range", 0, 0);
      av_opt_set_int(c, "sws_flags", SWS_BICUBIC, 0);
      if (sws_init_context(c, nullptr, nullptr) < 0) {
        scaler.reset();
        throw PlatformError(what + ": cannot scale " + std::to_string(frame->width) + "x" +
                            std::to_string(frame->height) + " " + PixelFormatName(frame->format));
      }
      scaler_width = frame->width;
      scaler_height = frame->height;
      scaler_format = frame->format;
      scaler_full_range = full_range;
    }
    // The encoder may still hold the previous picture: write into a fresh buffer then.
    int rc = av_frame_make_writable(scaled.get());
    if (rc < 0) ThrowAvError(what, rc);
    sws_scale(scaler.get(), frame->data, frame->linesize, 0, height, scaled->data,
              scaled->linesize);
  }
};

VideoReencoder::VideoReencoder(int width, int height, AVRational time_base, AVRational frame_rate,
                               bool global_header, std::string_view preset)
    : state_(std::make_unique<State>()) {
  const std::string& what = state_->what;
  if (width <= 0 || height <= 0 || width % 2 != 0 || height % 2 != 0) {
    throw PlatformError(what + ": cannot encode " + std::to_string(width) + "x" +
                        std::to_string(height) + " in yuv420p (needs even, positive sizes)");
  }
  if (static_cast<std::int64_t>(width) * height > kMaxPixels) {
    throw PlatformError(what + ": cannot encode " + std::to_string(width) + "x" +
                        std::to_string(height) + ": more than the " + std::to_string(kMaxPixels) +
                        " pixels of 4K UHD");
  }
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) throw PlatformError(what + ": not available in this FFmpeg build");
  state_->context.reset(avcodec_alloc_context3(codec));
  if (!state_->context) throw PlatformError(what + ": out of memory");
  AVCodecContext* context = state_->context.get();
  context->width = width;
  context->height = height;
  context->pix_fmt = AV_PIX_FMT_YUV420P;
  context->time_base = time_base;
  context->framerate = frame_rate;
  context->sample_aspect_ratio = AVRational{1, 1};
  if (global_header) context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  av_opt_set(context->priv_data, "preset", std::string(preset).c_str(), 0);
  av_opt_set_int(context->priv_data, "crf", kCrf, 0);
  int rc = avcodec_open2(context, codec, nullptr);
  if (rc < 0) ThrowAvError(what + ": cannot open", rc);

  state_->scaled = NewFrame();
  state_->scaled->format = AV_PIX_FMT_YUV420P;
  state_->scaled->width = width;
  state_->scaled->height = height;
  rc = av_frame_get_buffer(state_->scaled.get(), 0);
  if (rc < 0) ThrowAvError(what, rc);
  state_->staged = NewFrame();
}

VideoReencoder::~VideoReencoder() = default;

const AVCodecContext* VideoReencoder::codec_context() const { return state_->context.get(); }

std::vector<PacketPtr> VideoReencoder::Encode(const AVFrame* frame) {
  std::vector<PacketPtr> packets;
  if (state_->drained) {
    if (frame) throw PlatformError(state_->what + ": frame after the end of the stream");
    return packets;
  }
  AVCodecContext* context = state_->context.get();
  const std::string& what = state_->what;
  AVFrame* staged = nullptr;
  if (frame) {
    staged = state_->staged.get();
    av_frame_unref(staged);
    bool full_range = frame->color_range == AVCOL_RANGE_JPEG;
    if (frame->width == context->width && frame->height == context->height &&
        frame->format == context->pix_fmt && !full_range) {
      int rc = av_frame_ref(staged, frame);
      if (rc < 0) ThrowAvError(what, rc);
    } else {
      state_->Scale(frame);
      int rc = av_frame_ref(staged, state_->scaled.get());
      if (rc < 0) ThrowAvError(what, rc);
      staged->pts = frame->pts;
    }
    // libx264 honours a decoded frame's picture type as a forced frame type.
    staged->pict_type = AV_PICTURE_TYPE_NONE;
  }
  int rc = avcodec_send_frame(context, staged);
  if (staged) av_frame_unref(staged);
  if (rc < 0 && rc != AVERROR_EOF) ThrowAvError(what + ": cannot encode", rc);
  if (!frame) state_->drained = true;
  ReceivePackets(context, what, packets);
  return packets;
}

struct AudioLaneReencoder::State {
  CodecContextPtr context;
  std::unique_ptr<AVAudioFifo, FifoDeleter> fifo;
  std::unique_ptr<SwrContext, SwrDeleter> converter;
  int converter_rate = 0;
  int converter_format = -1;
  AVChannelLayout converter_layout = {};
  FramePtr chunk;  // converted samples on their way into the FIFO, in the encoder's format
  std::int64_t appended = 0;
  std::int64_t next_pts = 0;
  std::vector<PacketPtr> packets;
  bool finished = false;
  std::string what = "AAC encoder";

  ~State() { av_channel_layout_uninit(&converter_layout); }

  void Require(bool condition, const std::string& reason) const {
    if (!condition) throw PlatformError(what + ": " + reason);
  }
  void Check(int rc, const std::string& doing) const {
    if (rc < 0) ThrowAvError(what + ": " + doing, rc);
  }

  void EnsureChunk(int samples) {
    AVCodecContext* c = context.get();
    if (chunk && chunk->nb_samples >= samples) return;
    chunk = NewFrame();
    chunk->format = c->sample_fmt;
    chunk->nb_samples = std::max(samples, c->frame_size);
    Check(av_channel_layout_copy(&chunk->ch_layout, &c->ch_layout), "layout");
    Check(av_frame_get_buffer(chunk.get(), 0), "allocating samples");
  }

  // Puts the first |count| samples of |chunk| into the FIFO, but never past |end|.
  void Store(int count, std::int64_t end) {
    std::int64_t room = std::max<std::int64_t>(0, end - appended);
    int kept = static_cast<int>(std::min<std::int64_t>(count, room));
    if (kept <= 0) return;
    int written =
        av_audio_fifo_write(fifo.get(), reinterpret_cast<void**>(chunk->extended_data), kept);
    Require(written == kept, "out of memory");
    appended += kept;
  }

  void EncodeFrame(int samples) {
    AVCodecContext* c = context.get();
    FramePtr frame = NewFrame();
    frame->format = c->sample_fmt;
    frame->sample_rate = c->sample_rate;
    frame->nb_samples = samples;
    Check(av_channel_layout_copy(&frame->ch_layout, &c->ch_layout), "layout");
    Check(av_frame_get_buffer(frame.get(), 0), "allocating samples");
    int read = av_audio_fifo_read(fifo.get(), reinterpret_cast<void**>(frame->extended_data),
                                  std::min(samples, av_audio_fifo_size(fifo.get())));
    Require(read >= 0, "reading buffered samples");
    if (read < samples) {
      av_samples_set_silence(frame->extended_data, read, samples - read, c->ch_layout.nb_channels,
                             c->sample_fmt);
    }
    frame->pts = next_pts;
    next_pts += samples;
    Check(avcodec_send_frame(c, frame.get()), "cannot encode");
    ReceivePackets(c, what, packets);
  }

  void EncodeFullFrames() {
    int frame_size = context->frame_size;
    while (av_audio_fifo_size(fifo.get()) >= frame_size) EncodeFrame(frame_size);
  }

  void PrepareConverter(const AVFrame* frame, std::int64_t end) {
    AVChannelLayout layout = {};
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
      av_channel_layout_default(&layout, frame->ch_layout.nb_channels);
    } else {
      Check(av_channel_layout_copy(&layout, &frame->ch_layout), "input layout");
    }
    Require(layout.nb_channels > 0, "input without channels");
    Require(frame->sample_rate > 0, "input without sample rate");
    Require(frame->sample_rate <= kMaxSourceSampleRate,
            "input at " + std::to_string(frame->sample_rate) + " Hz, more than " +
                std::to_string(kMaxSourceSampleRate) + " Hz");
    if (converter && converter_rate == frame->sample_rate && converter_format == frame->format &&
        av_channel_layout_compare(&converter_layout, &layout) == 0) {
      av_channel_layout_uninit(&layout);
      return;
    }
    if (converter) Flush(end);
    AVCodecContext* c = context.get();
    SwrContext* raw = nullptr;
    int rc = swr_alloc_set_opts2(&raw, &c->ch_layout, c->sample_fmt, c->sample_rate, &layout,
                                 static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0,
                                 nullptr);
    converter.reset(raw);
    // swresample spreads mono over two speakers at -3 dB; a player plays it at full level.
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO, stereo = AV_CHANNEL_LAYOUT_STEREO;
    if (rc >= 0 && av_channel_layout_compare(&layout, &mono) == 0 &&
        av_channel_layout_compare(&c->ch_layout, &stereo) == 0) {
      const double both[2] = {1.0, 1.0};
      rc = swr_set_matrix(raw, both, 1);
    }
    if (rc >= 0) rc = swr_init(raw);
    if (rc < 0) {
      char name[128] = {};
      av_channel_layout_describe(&layout, name, sizeof name);
      const char* format = av_get_sample_fmt_name(static_cast<AVSampleFormat>(frame->format));
      av_channel_layout_uninit(&layout);
      converter.reset();
      throw PlatformError(what + ": cannot convert " + std::to_string(frame->sample_rate) + " Hz " +
                          (format ? format : "unknown format") + " " + name + ": " +
                          AvErrorText(rc));
    }
    av_channel_layout_uninit(&converter_layout);
    converter_layout = layout;
    converter_rate = frame->sample_rate;
    converter_format = frame->format;
  }

  // Takes the converter's delayed samples (never past |end|) and lets the converter go.
  void Flush(std::int64_t end) {
    if (!converter) return;
    for (;;) {
      int capacity = std::max(context->frame_size, swr_get_out_samples(converter.get(), 0));
      EnsureChunk(capacity);
      int got = swr_convert(converter.get(), chunk->extended_data, capacity, nullptr, 0);
      Check(got, "cannot convert samples");
      if (got == 0) break;
      Store(got, end);
      EncodeFullFrames();
    }
    converter.reset();
  }
};

AudioLaneReencoder::AudioLaneReencoder(int sample_rate, const AVChannelLayout& layout,
                                       std::int64_t bit_rate, bool global_header)
    : state_(std::make_unique<State>()) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
  state_->Require(codec != nullptr, "not available in this FFmpeg build");
  state_->context.reset(avcodec_alloc_context3(codec));
  state_->Require(state_->context != nullptr, "out of memory");
  AVCodecContext* context = state_->context.get();
  context->sample_fmt = AV_SAMPLE_FMT_FLTP;
  context->sample_rate = sample_rate;
  context->time_base = AVRational{1, sample_rate > 0 ? sample_rate : 1};
  context->bit_rate = bit_rate;
  state_->Check(av_channel_layout_copy(&context->ch_layout, &layout), "layout");
  if (global_header) context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  int rc = avcodec_open2(context, codec, nullptr);
  if (rc < 0) {
    char name[128] = {};
    av_channel_layout_describe(&layout, name, sizeof name);
    state_->Check(rc, "cannot open at " + std::to_string(sample_rate) + " Hz " + name + " " +
                          std::to_string(bit_rate) + " b/s");
  }
  state_->fifo.reset(av_audio_fifo_alloc(context->sample_fmt, context->ch_layout.nb_channels,
                                         context->frame_size));
  state_->Require(state_->fifo != nullptr, "out of memory");
}

AudioLaneReencoder::~AudioLaneReencoder() = default;

const AVCodecContext* AudioLaneReencoder::codec_context() const { return state_->context.get(); }

std::int64_t AudioLaneReencoder::samples() const { return state_->appended; }

void AudioLaneReencoder::Append(const AVFrame* frame, std::int64_t end) {
  State& s = *state_;
  s.Require(!s.finished, "samples appended after the lane was finished");
  if (frame->nb_samples <= 0 || s.appended >= end) return;
  s.PrepareConverter(frame, end);
  const auto format = static_cast<AVSampleFormat>(frame->format);
  const bool planar = av_sample_fmt_is_planar(format);
  const int channels = frame->ch_layout.nb_channels;
  const int step = av_get_bytes_per_sample(format) * (planar ? 1 : channels);
  const int slice = static_cast<int>(std::clamp<std::int64_t>(
      kConvertSlice * frame->sample_rate / s.context->sample_rate, 1, kConvertSlice * 16));
  std::vector<const uint8_t*> input(planar ? channels : 1);
  for (int done = 0; done < frame->nb_samples && s.appended < end; done += slice) {
    const int count = std::min(slice, frame->nb_samples - done);
    for (size_t p = 0; p < input.size(); ++p) {
      input[p] = frame->extended_data[p] + static_cast<std::ptrdiff_t>(done) * step;
    }
    int capacity = swr_get_out_samples(s.converter.get(), count);
    s.Check(capacity, "cannot convert samples");
    s.EnsureChunk(capacity);
    int got = swr_convert(s.converter.get(), s.chunk->extended_data, capacity, input.data(), count);
    s.Check(got, "cannot convert samples");
    s.Store(got, end);
    s.EncodeFullFrames();
  }
}

void AudioLaneReencoder::FinishSourceAt(std::int64_t end) {
  State& s = *state_;
  s.Require(!s.finished, "source finished after the lane was finished");
  s.Flush(end);
  s.Require(s.appended <= end, "lane already holds " + std::to_string(s.appended) +
                                   " samples, more than its end " + std::to_string(end));
  while (s.appended < end) {
    int count = static_cast<int>(std::min<std::int64_t>(end - s.appended, s.context->frame_size));
    s.EnsureChunk(count);
    av_samples_set_silence(s.chunk->extended_data, 0, count, s.context->ch_layout.nb_channels,
                           s.context->sample_fmt);
    s.Store(count, end);
    s.EncodeFullFrames();
  }
}

std::vector<PacketPtr> AudioLaneReencoder::TakePackets(bool finish) {
  State& s = *state_;
  if (finish && !s.finished) {
    s.finished = true;
    s.converter.reset();
    int left = av_audio_fifo_size(s.fifo.get());
    if (left > 0) {
      bool small_last = s.context->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME;
      s.EncodeFrame(small_last ? left : s.context->frame_size);
    }
    s.Check(avcodec_send_frame(s.context.get(), nullptr), "cannot drain");
    ReceivePackets(s.context.get(), s.what, s.packets);
  }
  return std::exchange(s.packets, {});
}
