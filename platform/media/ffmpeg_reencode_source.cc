#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

extern "C" {
#include <libavutil/samplefmt.h>
}

#include "platform/media/ffmpeg_packet_source.h"
#include "platform/media/ffmpeg_reencode.h"
#include "platform/media/x264_preset.h"
#include "platform/platform_error.h"

namespace {

constexpr AVRational kFallbackFrameRate{30, 1};
constexpr std::int64_t kAudioBitRatePerChannel = 128000;
constexpr int kFallbackSampleRate = 48000;
// Timestamp gaps shorter than 1/100 s are taken for rounding, not for missing audio.
constexpr int kGapTolerancePerSecond = 100;
constexpr std::int64_t kPadStep = 10;  // seconds of silence encoded at a time

// An encoder's error names the encoder; the caller learns from this which segment brought it
// there (a size or rate it cannot take).
template <typename Call>
auto ForSegment(const std::string& path, Call&& call) {
  try {
    return call();
  } catch (const PlatformError& error) {
    throw PlatformError(path + ": " + error.what());
  }
}

// The first segment's size, even, and scaled down with its aspect ratio to what the encoder
// takes when it is larger.
std::pair<int, int> EncodedSize(int width, int height) {
  const double pixels = static_cast<double>(width) * height;
  if (width > 0 && height > 0 && pixels > VideoReencoder::kMaxPixels) {
    const double scale = std::sqrt(VideoReencoder::kMaxPixels / pixels);
    width = static_cast<int>(width * scale);
    height = static_cast<int>(height * scale);
  }
  return {width & ~1, height & ~1};
}

AVStream* NewEncodedStream(AVFormatContext* output, const AVCodecContext& encoder) {
  AVStream* stream = avformat_new_stream(output, nullptr);
  if (stream == nullptr || avcodec_parameters_from_context(stream->codecpar, &encoder) < 0) {
    throw PlatformError("Cannot export: out of memory");
  }
  stream->time_base = encoder.time_base;
  return stream;
}

// At most how many pictures the placements hold: their packets when every source counted them,
// otherwise their durations at |rate|.
std::int64_t PicturesToEncode(const std::vector<Placement>& placements, AVRational rate) {
  const std::int64_t packets = SourcePackets(placements);
  if (packets >= 0) return packets;
  double seconds = 0;
  for (const Placement& placement : placements) {
    seconds += MediaTimeGetSeconds(placement.range.duration);
  }
  return static_cast<std::int64_t>(seconds * av_q2d(rate));
}

// The sources are decoded on a thread of their own while the encoder works on the export's
// thread (libx264 spreads over the cores from there); a few decoded pictures wait between them.
class VideoReencodeSource : public PacketSource {
 public:
  VideoReencodeSource(const TrackPlan& plan, const ExportContext& context)
      : placements_(PlacementsInOrder(plan)), transform_(plan.transform), context_(context) {
    const SourceStream& first = *placements_.front().source;
    const AVRational rate = first.frame_rate.num > 0 && first.frame_rate.den > 0
                                ? first.frame_rate
                                : kFallbackFrameRate;
    // 4:2:0 needs even sizes; an odd first segment loses its last row or column.
    const std::pair<int, int> size = EncodedSize(first.parameters->width, first.parameters->height);
    const std::string_view preset =
        ChooseX264Preset(X264Presets(), PicturesToEncode(placements_, rate),
                         static_cast<std::int64_t>(size.first) * size.second, context.time_limit,
                         static_cast<int>(std::thread::hardware_concurrency()));
    encoder_ = ForSegment(first.path, [&] {
      return std::make_unique<VideoReencoder>(
          size.first, size.second, VideoTrackTimeBase(first.time_base, context.timeline_end), rate,
          /*global_header=*/true, preset);
    });
    time_base_ = encoder_->codec_context()->time_base;
    const Placement& last = placements_.back();
    end_ = ToTicks(MediaTimeAdd(last.at, last.range.duration), time_base_);
  }

  ~VideoReencodeSource() override {
    {
      std::lock_guard lock(mutex_);
      stopped_ = true;
    }
    changed_.notify_all();
    if (decoding_.joinable()) decoding_.join();
  }

  void AddStream(AVFormatContext* output) override {
    stream_ = NewEncodedStream(output, *encoder_->codec_context());
    stream_->avg_frame_rate = encoder_->codec_context()->framerate;
    SetStreamTransform(stream_, transform_);
  }

  std::int64_t MaxPackets() const override {
    const std::int64_t frames = SourcePackets(placements_);
    return frames < 0 ? -1 : frames + 16;
  }

  PacketPtr Next() override {
    while (true) {
      if (!ready_.empty()) {
        PacketPtr packet = std::move(ready_.front());
        ready_.pop_front();
        av_packet_rescale_ts(packet.get(), time_base_, stream_->time_base);
        packet->stream_index = stream_->index;
        return packet;
      }
      if (drained_) return nullptr;
      CheckCancelled(context_);
      if (!decoding_.joinable()) StartDecoding();
      Picture picture = Pop();
      if (picture.frame) {
        last_pts_ = picture.frame->pts;
        Take(ForSegment(placements_[picture.placement].source->path,
                        [&] { return encoder_->Encode(picture.frame.get()); }));
        continue;
      }
      Take(encoder_->Encode(nullptr));
      // The drain hands out the last picture, without a duration.
      const bool last_drained =
          last_pts_ && std::any_of(ready_.begin(), ready_.end(), [&](const PacketPtr& packet) {
            return packet->pts == *last_pts_;
          });
      if (last_drained) LastPictureLastsTo(ready_, end_);
      drained_ = true;
    }
  }

 private:
  struct Picture {
    FramePtr frame;  // pts in the encoder's time base; null after the last picture
    size_t placement = 0;
  };
  // Enough to keep the encoder fed across a key frame that takes long to decode; each 1080p
  // picture holds 3 MB.
  static constexpr size_t kQueued = 4;

  void StartDecoding() {
    try {
      decoding_ = std::thread([this] { DecodeAll(); });
    } catch (const std::system_error&) {
      throw PlatformError("Cannot export: no thread for decoding");
    }
  }

  // On the decoding thread: the pictures of every placement in timeline order, then the end, or
  // the error that stopped it.
  void DecodeAll() {
    try {
      std::optional<std::int64_t> last_pts;
      for (size_t i = 0; i < placements_.size(); ++i) {
        const Placement& placement = placements_[i];
        const SourceStream& source = *placement.source;
        SourceReader reader(source);
        StreamDecoder decoder(source.parameters.get(), source.time_base, source.path);
        const std::int64_t start = ToTicks(placement.range.start, source.time_base);
        const std::int64_t end = ToTicks(
            MediaTimeAdd(placement.range.start, placement.range.duration), source.time_base);
        const std::int64_t offset = ToTicks(placement.at, time_base_);
        const std::int64_t limit =
            ToTicks(MediaTimeAdd(placement.at, placement.range.duration), time_base_);
        std::int64_t pictures = 0;  // of the placement, handed to the encoder
        bool first = true;
        while (true) {
          CheckCancelled(context_);
          PacketPtr packet = reader.Read();
          for (FramePtr& frame : decoder.Decode(packet.get())) {
            if (frame->pts == AV_NOPTS_VALUE || frame->pts < start || frame->pts >= end) continue;
            // A placement's first picture shows from its start, as its last lasts to its end:
            // where a damaged file's earliest picture decodes only after a later one (and is
            // dropped below), the movie still has no hole before the first picture it got. Its
            // other pictures stay before its end in the encoder's coarser time base too (a
            // recorder's last picture may last a tick), or the next placement would lose its
            // first.
            const std::int64_t pts =
                first ? offset
                      : std::min(
                            av_rescale_q(frame->pts - start, source.time_base, time_base_) + offset,
                            limit - 1);
            first = false;
            if (last_pts && pts <= *last_pts) continue;
            last_pts = pts;
            ++pictures;
            frame->pts = pts;
            if (!Push({std::move(frame), i})) return;
          }
          if (!packet) break;
        }
        if (pictures == 0) ThrowNoVideoFrames(source);
      }
      Push({nullptr, placements_.size()});
    } catch (...) {
      {
        std::lock_guard lock(mutex_);
        error_ = std::current_exception();
      }
      changed_.notify_all();
    }
  }

  // Waits for room; false when the source is going away.
  bool Push(Picture picture) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return stopped_ || queue_.size() < kQueued; });
    if (stopped_) return false;
    queue_.push_back(std::move(picture));
    lock.unlock();
    changed_.notify_all();
    return true;
  }

  // Waits for the next picture; throws what stopped the decoding.
  Picture Pop() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !queue_.empty() || error_; });
    if (error_) std::rethrow_exception(error_);
    Picture picture = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    changed_.notify_all();
    return picture;
  }

  void Take(std::vector<PacketPtr> packets) {
    for (PacketPtr& packet : packets) ready_.push_back(std::move(packet));
  }

  const std::vector<Placement> placements_;
  const Transform transform_;
  const ExportContext context_;
  std::unique_ptr<VideoReencoder> encoder_;
  AVRational time_base_{1, 1};  // the encoder's
  std::int64_t end_ = 0;        // of the last placement, in time_base_
  AVStream* stream_ = nullptr;
  std::optional<std::int64_t> last_pts_;
  std::deque<PacketPtr> ready_;
  bool drained_ = false;

  std::mutex mutex_;
  std::condition_variable changed_;  // the queue, the error or stopped_
  std::deque<Picture> queue_;
  std::exception_ptr error_;
  bool stopped_ = false;
  std::thread decoding_;
};

// The last frame->nb_samples - |skip| samples of |frame|.
FramePtr WithoutFirstSamples(const AVFrame& frame, int skip) {
  FramePtr trimmed(av_frame_alloc());
  if (!trimmed) throw PlatformError("Cannot export: out of memory");
  trimmed->format = frame.format;
  trimmed->sample_rate = frame.sample_rate;
  trimmed->nb_samples = frame.nb_samples - skip;
  if (av_channel_layout_copy(&trimmed->ch_layout, &frame.ch_layout) < 0 ||
      av_frame_get_buffer(trimmed.get(), 0) < 0) {
    throw PlatformError("Cannot export: out of memory");
  }
  av_samples_copy(trimmed->extended_data, frame.extended_data, 0, skip, trimmed->nb_samples,
                  frame.ch_layout.nb_channels, static_cast<AVSampleFormat>(frame.format));
  trimmed->pts = frame.pts;
  return trimmed;
}

// A lane decoded and re-encoded to AAC: each placement's samples from the exact sample of its
// place, silence wherever the lane has none.
class AudioReencodeSource : public PacketSource {
 public:
  AudioReencodeSource(const TrackPlan& plan, const ExportContext& context)
      : placements_(PlacementsInOrder(plan)), context_(context) {
    const AVCodecParameters& first = *placements_.front().source->parameters;
    sample_rate_ = first.sample_rate > 0 ? first.sample_rate : kFallbackSampleRate;
    AVChannelLayout layout = ChannelLayoutOf(first);
    const std::int64_t bit_rate = kAudioBitRatePerChannel * layout.nb_channels;
    try {
      encoder_ = ForSegment(placements_.front().source->path, [&] {
        return std::make_unique<AudioLaneReencoder>(sample_rate_, layout, bit_rate, true);
      });
    } catch (...) {
      av_channel_layout_uninit(&layout);
      throw;
    }
    av_channel_layout_uninit(&layout);
  }

  void AddStream(AVFormatContext* output) override {
    stream_ = NewEncodedStream(output, *encoder_->codec_context());
    stream_->time_base = {1, sample_rate_};
  }

  std::int64_t MaxPackets() const override {
    const int frame = std::max(1, encoder_->codec_context()->frame_size);
    return ToTicks(context_.timeline_end, {1, sample_rate_}) / frame + 4;
  }

  PacketPtr Next() override {
    while (true) {
      if (!ready_.empty()) {
        PacketPtr packet = std::move(ready_.front());
        ready_.pop_front();
        av_packet_rescale_ts(packet.get(), {1, sample_rate_}, stream_->time_base);
        packet->stream_index = stream_->index;
        return packet;
      }
      if (finished_) return nullptr;
      CheckCancelled(context_);
      if (encoder_->samples() < pad_to_) {
        // Silence in steps, handed out as it is encoded: an hour of it is 170,000 packets.
        encoder_->FinishSourceAt(std::min(pad_to_, encoder_->samples() + kPadStep * sample_rate_));
        Take(encoder_->TakePackets(/*finish=*/false));
        continue;
      }
      if (!reader_) {
        if (next_ < placements_.size()) {
          Begin(placements_[next_]);
          continue;
        }
        const std::int64_t end = ToTicks(context_.timeline_end, {1, sample_rate_});
        if (encoder_->samples() < end) {
          pad_to_ = end;
          continue;
        }
        Take(encoder_->TakePackets(/*finish=*/true));
        finished_ = true;
        continue;
      }
      PacketPtr packet;
      if (encoder_->samples() < lane_end_) packet = reader_->Read();
      for (FramePtr& frame : decoder_->Decode(packet.get())) Append(*frame);
      if (!packet) {
        // Ends the source (its converter's last samples), the rest of its place padded above.
        const std::int64_t now = encoder_->samples();
        encoder_->FinishSourceAt(std::clamp(lane_end_, now, now + kPadStep * sample_rate_));
        pad_to_ = lane_end_;
        decoder_.reset();
        reader_.reset();
        ++next_;
      }
      Take(encoder_->TakePackets(/*finish=*/false));
    }
  }

 private:
  void Begin(const Placement& placement) {
    const SourceStream& source = *placement.source;
    const AVRational samples{1, sample_rate_};
    lane_start_ = ToTicks(placement.at, samples);
    lane_end_ = ToTicks(MediaTimeAdd(placement.at, placement.range.duration), samples);
    pad_to_ = lane_start_;
    reader_ = std::make_unique<SourceReader>(source);
    decoder_ =
        std::make_unique<StreamDecoder>(source.parameters.get(), source.time_base, source.path);
    source_time_base_ = source.time_base;
    source_start_ = ToTicks(placement.range.start, source.time_base);
  }

  void Append(const AVFrame& frame) {
    if (frame.sample_rate <= 0 || frame.nb_samples <= 0) return;
    std::int64_t skip = 0;
    if (frame.pts != AV_NOPTS_VALUE && frame.pts < source_start_) {
      skip = av_rescale_q(source_start_ - frame.pts, source_time_base_, {1, frame.sample_rate});
    }
    if (skip >= frame.nb_samples) return;
    if (frame.pts != AV_NOPTS_VALUE && skip == 0) {
      // A gap in the source's own timestamps stays a gap, filled with silence.
      const std::int64_t place = lane_start_ + av_rescale_q(frame.pts - source_start_,
                                                            source_time_base_, {1, sample_rate_});
      if (place - encoder_->samples() >= sample_rate_ / kGapTolerancePerSecond &&
          place < lane_end_) {
        encoder_->FinishSourceAt(place);
      }
    }
    ForSegment(placements_[next_].source->path, [&] {
      if (skip > 0) {
        encoder_->Append(WithoutFirstSamples(frame, static_cast<int>(skip)).get(), lane_end_);
      } else {
        encoder_->Append(&frame, lane_end_);
      }
    });
  }

  void Take(std::vector<PacketPtr> packets) {
    for (PacketPtr& packet : packets) ready_.push_back(std::move(packet));
  }

  std::vector<Placement> placements_;
  ExportContext context_;
  int sample_rate_ = kFallbackSampleRate;
  std::unique_ptr<AudioLaneReencoder> encoder_;
  AVStream* stream_ = nullptr;
  size_t next_ = 0;
  std::unique_ptr<SourceReader> reader_;
  std::unique_ptr<StreamDecoder> decoder_;
  AVRational source_time_base_{1, 1};
  std::int64_t source_start_ = 0;
  std::int64_t lane_start_ = 0;
  std::int64_t lane_end_ = 0;
  std::int64_t pad_to_ = 0;  // lane samples of silence owed before anything else
  std::deque<PacketPtr> ready_;
  bool finished_ = false;
};

}  // namespace

std::unique_ptr<PacketSource> MakeVideoReencodeSource(const TrackPlan& plan,
                                                      const ExportContext& context) {
  return std::make_unique<VideoReencodeSource>(plan, context);
}

std::unique_ptr<PacketSource> MakeAudioReencodeSource(const TrackPlan& plan,
                                                      const ExportContext& context) {
  return std::make_unique<AudioReencodeSource>(plan, context);
}
