#include <algorithm>
#include <cstring>
#include <deque>
#include <optional>

extern "C" {
#include <libavutil/samplefmt.h>
}

#include "platform/media/ffmpeg_copy_rules.h"
#include "platform/media/ffmpeg_packet_source.h"
#include "platform/platform_error.h"

namespace {

constexpr int kAacFrame = 1024;

// A copied picture is placed by its own time; one without any (a laced Matroska frame) cannot be.
[[noreturn]] void ThrowUntimed(const SourceStream& source) {
  throw PlatformError("Cannot read movie " + source.path + ": a packet has no timestamp");
}

// |prefix| followed by |packet|'s data, with |packet|'s properties. Throws PlatformError.
PacketPtr Prepended(const std::vector<std::uint8_t>& prefix, const AVPacket& packet) {
  PacketPtr joined = NewPacket();
  if (av_new_packet(joined.get(), static_cast<int>(prefix.size()) + packet.size) < 0 ||
      av_packet_copy_props(joined.get(), &packet) < 0) {
    throw PlatformError("Cannot export: out of memory");
  }
  std::memcpy(joined->data, prefix.data(), prefix.size());
  if (packet.size > 0) std::memcpy(joined->data + prefix.size(), packet.data, packet.size);
  return joined;
}

AVStream* NewStream(AVFormatContext* output, const AVCodecParameters& parameters) {
  AVStream* stream = avformat_new_stream(output, nullptr);
  if (stream == nullptr || avcodec_parameters_copy(stream->codecpar, &parameters) < 0) {
    throw PlatformError("Cannot export: out of memory");
  }
  // The source container's tag may mean nothing in MPEG-4; the muxer picks its own.
  stream->codecpar->codec_tag = 0;
  if (parameters.codec_id == AV_CODEC_ID_HEVC) {
    stream->codecpar->codec_tag = MKTAG('h', 'v', 'c', '1');
  }
  return stream;
}

class VideoCopySource : public PacketSource {
 public:
  VideoCopySource(const TrackPlan& plan, const ExportContext& context, bool in_band)
      : placements_(PlacementsInOrder(plan)),
        transform_(plan.transform),
        context_(context),
        in_band_(in_band) {}

  void AddStream(AVFormatContext* output) override {
    const SourceStream& first = *placements_.front().source;
    stream_ = NewStream(output, *first.parameters);
    if (in_band_) {
      stream_->codecpar->codec_tag = first.parameters->codec_id == AV_CODEC_ID_HEVC
                                         ? MKTAG('h', 'e', 'v', '1')
                                         : MKTAG('a', 'v', 'c', '3');
    }
    stream_->time_base = VideoTrackTimeBase(first.time_base, context_.timeline_end);
    stream_->avg_frame_rate = first.frame_rate;
    SetStreamTransform(stream_, transform_);
  }

  std::int64_t MaxPackets() const override { return SourcePackets(placements_); }

  PacketPtr Next() override {
    while (true) {
      if (ready_.size() > kHeld || (placement_done_ && !ready_.empty())) {
        PacketPtr packet = std::move(ready_.front());
        ready_.pop_front();
        return packet;
      }
      placement_done_ = false;
      CheckCancelled(context_);
      if (!reader_) {
        if (next_ >= placements_.size()) return nullptr;
        const Placement& placement = placements_[next_];
        reader_ = std::make_unique<SourceReader>(*placement.source);
        source_time_base_ = placement.source->time_base;
        source_start_ = ToTicks(placement.range.start, source_time_base_);
        source_end_ = ToTicks(MediaTimeAdd(placement.range.start, placement.range.duration),
                              source_time_base_);
        offset_ = ToTicks(placement.at, stream_->time_base);
        dts_seen_ = false;
        placed_ = 0;
        if (in_band_) {
          int length_size = 0;
          parameter_sets_ = *ParameterSets(*placement.source->parameters, length_size);
        }
      }
      PacketPtr packet = reader_->Read();
      if (!packet) {
        ReleaseLeading(AV_NOPTS_VALUE);
        if (placed_ == 0) ThrowNoVideoFrames(*placements_[next_].source);
        LastPictureLastsTo(ready_, Map(source_end_));
        placement_done_ = true;
        reader_.reset();
        ++next_;
        continue;
      }
      if (packet->pts == AV_NOPTS_VALUE) packet->pts = packet->dts;
      if (packet->pts == AV_NOPTS_VALUE) ThrowUntimed(*placements_[next_].source);
      if (packet->pts != AV_NOPTS_VALUE && packet->pts >= source_end_) continue;
      if (!parameter_sets_.empty()) {
        packet = Prepended(parameter_sets_, *packet);
        parameter_sets_.clear();
      }
      // Matroska stores no decoding times: its demuxer infers them only once it has seen the
      // reordering, so the first packets of a stream with B-frames come without.
      if (packet->dts == AV_NOPTS_VALUE && packet->pts != AV_NOPTS_VALUE && !dts_seen_ &&
          leading_.size() < kMaxLeading) {
        leading_.push_back(std::move(packet));
        continue;
      }
      dts_seen_ = true;
      ReleaseLeading(packet->dts);
      Retime(*packet);
      ready_.push_back(std::move(packet));
    }
  }

 private:
  static constexpr size_t kMaxLeading = 64;
  // Packets kept back until the next ones are read: more than any reordering delay, so that the
  // last picture of a placement is among them when its source ends.
  static constexpr size_t kHeld = 16;

  // Gives the packets read before the first decoding time one each, a frame apart, ending a frame
  // before |first_dts| (their own presentation times when it is unknown), and queues them.
  void ReleaseLeading(std::int64_t first_dts) {
    const std::int64_t count = static_cast<std::int64_t>(leading_.size());
    for (std::int64_t i = 0; i < count; ++i) {
      AVPacket& packet = *leading_[i];
      const std::int64_t step = std::max<std::int64_t>(1, packet.duration);
      packet.dts = first_dts == AV_NOPTS_VALUE
                       ? packet.pts
                       : std::min(packet.pts, first_dts - (count - i) * step);
      Retime(packet);
      ready_.push_back(std::move(leading_[i]));
    }
    leading_.clear();
  }

  std::int64_t Map(std::int64_t time) const {
    return av_rescale_q(time - source_start_, source_time_base_, stream_->time_base) + offset_;
  }

  void Retime(AVPacket& packet) {
    packet.stream_index = stream_->index;
    if (packet.dts == AV_NOPTS_VALUE) packet.dts = packet.pts;
    // A placement's first picture shows from its start (its earliest in any stream that decodes
    // in order): damaged timestamps must not open a hole in the movie before it.
    if (placed_++ == 0 && packet.pts > source_start_) {
      packet.pts = source_start_;
      packet.dts = std::min(packet.dts, source_start_);
    }
    packet.pts = Map(packet.pts);
    packet.dts = Map(packet.dts);
    packet.duration = av_rescale_q(packet.duration, source_time_base_, stream_->time_base);
    // A segment that reorders more than the one before it starts decoding before that one ends;
    // nudging decode times by a tick keeps them increasing without moving any picture.
    if (last_dts_ && packet.dts <= *last_dts_) packet.dts = *last_dts_ + 1;
    if (packet.pts < packet.dts) packet.pts = packet.dts;
    last_dts_ = packet.dts;
    packet.pos = -1;
  }

  std::vector<Placement> placements_;
  Transform transform_;
  ExportContext context_;
  bool in_band_ = false;
  std::vector<std::uint8_t> parameter_sets_;  // to go before the placement's first packet
  AVStream* stream_ = nullptr;
  size_t next_ = 0;
  std::unique_ptr<SourceReader> reader_;
  AVRational source_time_base_{1, 1};
  std::int64_t source_start_ = 0;
  std::int64_t source_end_ = 0;
  std::int64_t offset_ = 0;
  std::optional<std::int64_t> last_dts_;
  bool dts_seen_ = false;
  std::int64_t placed_ = 0;         // packets of the current placement on the track
  bool placement_done_ = false;     // its source has ended: hand out every packet still held
  std::vector<PacketPtr> leading_;  // read before the first packet with a decoding time
  std::deque<PacketPtr> ready_;     // retimed, in decoding order
};

// The encoder's preferred sample format (its first); planar float when it lists none. FFmpeg 7.1
// deprecates the list on AVCodec for avcodec_get_supported_config; Debian 12's 5.1 lacks that.
AVSampleFormat FirstSampleFormat(const AVCodec& codec) {
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(61, 13, 100)
  const void* formats = nullptr;
  int count = 0;
  if (avcodec_get_supported_config(nullptr, &codec, AV_CODEC_CONFIG_SAMPLE_FORMAT, 0, &formats,
                                   &count) >= 0 &&
      formats != nullptr && count > 0) {
    return static_cast<const AVSampleFormat*>(formats)[0];
  }
  return AV_SAMPLE_FMT_FLTP;
#else
  return codec.sample_fmts != nullptr ? codec.sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
#endif
}

// One frame of |samples| samples of digital silence at |sample_rate| and |layout| in |codec|
// (AAC-LC or Opus), as MPEG-4 stores it (no ADTS header). Throws PlatformError.
std::vector<std::uint8_t> EncodeSilentFrame(AVCodecID codec_id, int samples, int sample_rate,
                                            const AVChannelLayout& layout) {
  const AVCodec* codec = codec_id == AV_CODEC_ID_OPUS ? avcodec_find_encoder_by_name("libopus")
                                                      : avcodec_find_encoder(codec_id);
  if (codec == nullptr) ThrowAvError("Cannot export", "silent audio", AVERROR_ENCODER_NOT_FOUND);
  CodecContextPtr encoder(avcodec_alloc_context3(codec));
  if (!encoder) throw PlatformError("Cannot export: out of memory");
  const AVSampleFormat format = FirstSampleFormat(*codec);
  encoder->sample_rate = sample_rate;
  encoder->sample_fmt = format;
  encoder->time_base = {1, sample_rate};
  encoder->bit_rate = 64000 * layout.nb_channels;
  encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  av_channel_layout_copy(&encoder->ch_layout, &layout);
  AVDictionary* options = nullptr;
  if (codec_id == AV_CODEC_ID_OPUS) {
    // The lane's own frame length, in milliseconds (2.5 to 120).
    av_dict_set(&options, "frame_duration", std::to_string(samples * 1000.0 / sample_rate).c_str(),
                0);
  }
  int rc = avcodec_open2(encoder.get(), codec, &options);
  av_dict_free(&options);
  if (rc < 0) ThrowAvError("Cannot export", "silent audio", rc);
  if (encoder->frame_size != samples) {
    ThrowAvError("Cannot export", "silent audio", AVERROR(EINVAL));
  }

  FramePtr frame(av_frame_alloc());
  if (!frame) throw PlatformError("Cannot export: out of memory");
  frame->nb_samples = samples;
  frame->format = format;
  frame->sample_rate = sample_rate;
  av_channel_layout_copy(&frame->ch_layout, &layout);
  rc = av_frame_get_buffer(frame.get(), 0);
  if (rc < 0) ThrowAvError("Cannot export", "silent audio", rc);
  av_samples_set_silence(frame->extended_data, 0, samples, layout.nb_channels, format);

  std::vector<std::vector<std::uint8_t>> packets;
  PacketPtr packet = NewPacket();
  for (int i = 0; i <= 4; ++i) {
    if (i < 4) frame->pts = i * samples;
    rc = avcodec_send_frame(encoder.get(), i < 4 ? frame.get() : nullptr);
    if (rc < 0) ThrowAvError("Cannot export", "silent audio", rc);
    while ((rc = avcodec_receive_packet(encoder.get(), packet.get())) >= 0) {
      packets.emplace_back(packet->data, packet->data + packet->size);
      av_packet_unref(packet.get());
    }
    if (rc != AVERROR(EAGAIN) && rc != AVERROR_EOF)
      ThrowAvError("Cannot export", "silent audio", rc);
  }
  // The first packet carries the encoder's priming; a later one is the steady state.
  if (packets.size() < 3) ThrowAvError("Cannot export", "silent audio", AVERROR_BUG);
  return packets[2];
}

// An AAC or Opus lane on an exact grid of frames (1024 samples for AAC, the sources' own frame
// length for Opus): each placement's packets follow one another from a running sample counter,
// silence frames fill every gap, and each placement's first (priming) packet takes the place of
// the previous placement's last, partial frame. Every placement starts within half a frame of its
// exact place, and errors never add up. An Opus lane's first priming is the pre-skip its header
// declares, so its first packet starts the lane.
class AudioCopySource : public PacketSource {
 public:
  AudioCopySource(const TrackPlan& plan, const ExportContext& context)
      : placements_(PlacementsInOrder(plan)), context_(context) {}

  void AddStream(AVFormatContext* output) override {
    const SourceStream& source = *placements_.front().source;
    const AVCodecParameters& first = *source.parameters;
    sample_rate_ = first.sample_rate;
    const bool opus = first.codec_id == AV_CODEC_ID_OPUS;
    frame_ = opus ? static_cast<int>(source.frame_samples) : kAacFrame;
    stream_ = NewStream(output, first);
    stream_->time_base = {1, sample_rate_};
    AVChannelLayout layout = ChannelLayoutOf(first);
    try {
      silence_ = EncodeSilentFrame(first.codec_id, frame_, sample_rate_, layout);
    } catch (...) {
      av_channel_layout_uninit(&layout);
      throw;
    }
    av_channel_layout_uninit(&layout);

    const AVRational samples{1, sample_rate_};
    for (const Placement& placement : placements_) {
      const SourceStream& source = *placement.source;
      Slot slot;
      slot.start = ToTicks(placement.at, samples);
      slot.end = ToTicks(MediaTimeAdd(placement.at, placement.range.duration), samples);
      slot.source_start = ToTicks(placement.range.start, source.time_base);
      slot.source_goes_on = ToTicks(MediaTimeAdd(placement.range.start, placement.range.duration),
                                    source.time_base) < source.start + source.duration;
      slot.preroll =
          av_rescale_q(slot.source_start - source.first_packet_time, source.time_base, samples);
      // Only the one packet right before the audio starts is needed to prime the decoder.
      while (slot.preroll >= 2 * frame_) slot.preroll -= frame_;
      slots_.push_back(slot);
    }
    end_ = ToTicks(context_.timeline_end, samples);
    counter_ = opus ? 0 : std::min<std::int64_t>(0, slots_.front().start - slots_.front().preroll);
  }

  std::int64_t MaxPackets() const override {
    // Every packet advances the counter by a frame, from its first value to the lane's end.
    return (end_ - counter_) / frame_ + static_cast<std::int64_t>(slots_.size()) + 2;
  }

  PacketPtr Next() override {
    while (true) {
      CheckCancelled(context_);
      if (!reader_) {
        const std::int64_t target =
            next_ < slots_.size() ? slots_[next_].start - slots_[next_].preroll : end_;
        // Placements start at the nearest frame; the lane ends on a whole frame before the end.
        const std::int64_t margin = next_ < slots_.size() ? frame_ / 2 : frame_;
        if (target - counter_ >= margin) return Silence();
        if (next_ >= slots_.size()) return nullptr;
        reader_ = std::make_unique<SourceReader>(*placements_[next_].source);
        const std::int64_t following =
            next_ + 1 < slots_.size() ? slots_[next_ + 1].start - slots_[next_ + 1].preroll : end_;
        // The block after a placement's last packet still plays that packet's second half. Where
        // the source goes on past the cut and no priming of the next placement takes that block,
        // the tail is unbalanced (aliased) sound from beyond the cut: it must end at the cut.
        const std::int64_t tail =
            slots_[next_].source_goes_on ? slots_[next_].end - frame_ : following;
        cut_ = std::min(tail, following);
        const bool primed_next = next_ + 1 < slots_.size() && following <= tail;
        cut_margin_ = primed_next ? frame_ / 2 : frame_;
      }
      PacketPtr packet;
      if (cut_ - counter_ >= cut_margin_) packet = held_ ? std::move(held_) : reader_->Read();
      if (!packet) {
        held_.reset();
        reader_.reset();
        ++next_;
        continue;
      }
      const SourceStream& source = *placements_[next_].source;
      if (packet->pts == AV_NOPTS_VALUE) packet->pts = packet->dts;
      // A packet without a time of its own (a laced Matroska frame) follows the one before it.
      if (packet->pts != AV_NOPTS_VALUE) {
        const std::int64_t ahead = av_rescale_q(slots_[next_].source_start - packet->pts,
                                                source.time_base, {1, sample_rate_});
        if (ahead >= 2 * frame_) continue;
        // A gap in the source's own timestamps stays a gap: silence until the packet's place.
        if (-ahead - (counter_ - slots_[next_].start) >= frame_ / 2) {
          held_ = std::move(packet);
          return Silence();
        }
      }
      av_packet_free_side_data(packet.get());
      packet->flags = AV_PKT_FLAG_KEY;
      return Place(std::move(packet));
    }
  }

 private:
  struct Slot {
    std::int64_t start = 0;  // lane samples
    std::int64_t end = 0;
    std::int64_t source_start = 0;  // source time base
    std::int64_t preroll = 0;       // lane samples of priming before start
    bool source_goes_on = false;    // the source has audio after the placed range
  };

  PacketPtr Silence() {
    PacketPtr packet = NewPacket();
    if (av_new_packet(packet.get(), static_cast<int>(silence_.size())) < 0) {
      throw PlatformError("Cannot export: out of memory");
    }
    std::memcpy(packet->data, silence_.data(), silence_.size());
    packet->flags = AV_PKT_FLAG_KEY;
    return Place(std::move(packet));
  }

  PacketPtr Place(PacketPtr packet) {
    packet->stream_index = stream_->index;
    packet->pts = packet->dts = av_rescale_q(counter_, {1, sample_rate_}, stream_->time_base);
    packet->duration = av_rescale_q(frame_, {1, sample_rate_}, stream_->time_base);
    packet->pos = -1;
    counter_ += frame_;
    return packet;
  }

  std::vector<Placement> placements_;
  ExportContext context_;
  AVStream* stream_ = nullptr;
  int sample_rate_ = 0;
  int frame_ = kAacFrame;  // samples per packet
  std::vector<std::uint8_t> silence_;
  std::vector<Slot> slots_;
  std::int64_t end_ = 0;
  std::int64_t counter_ = 0;
  std::int64_t cut_ = 0;
  std::int64_t cut_margin_ = 0;
  size_t next_ = 0;
  std::unique_ptr<SourceReader> reader_;
  PacketPtr held_;  // read, waiting for the silence before its place
};

}  // namespace

std::unique_ptr<PacketSource> MakeVideoCopySource(const TrackPlan& plan,
                                                  const ExportContext& context, bool in_band) {
  return std::make_unique<VideoCopySource>(plan, context, in_band);
}

std::unique_ptr<PacketSource> MakeAudioCopySource(const TrackPlan& plan,
                                                  const ExportContext& context) {
  return std::make_unique<AudioCopySource>(plan, context);
}
