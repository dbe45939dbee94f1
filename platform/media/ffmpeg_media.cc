#include "platform/media/ffmpeg_media.h"

#include <algorithm>
#include <optional>

#include "platform/platform_error.h"
#include "platform/media/ffmpeg_composition.h"
#include "platform/media/ffmpeg_export.h"

namespace {

MediaTime InTimeBase(std::int64_t ticks, AVRational time_base) {
  return MediaTimeReduced({ticks * time_base.num, time_base.den});
}

// How far a video track's stated end may lie beyond the end of its last picture.
constexpr std::int64_t kClaimSlackMicroseconds = 5'000'000;

// The latest pts + duration of the packets of stream |index| from |input|'s read position to the
// end of the file.
std::optional<std::int64_t> LastPacketEnd(AVFormatContext& input, int index) {
  std::optional<std::int64_t> end;
  AVPacket* packet = av_packet_alloc();
  if (packet == nullptr) return std::nullopt;
  while (av_read_frame(&input, packet) >= 0) {
    const std::int64_t pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (packet->stream_index == index && pts != AV_NOPTS_VALUE) {
      const std::int64_t packet_end =
          pts + std::clamp<std::int64_t>(packet->duration, 0, INT32_MAX);
      if (!end || packet_end > *end) end = packet_end;
    }
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  return end;
}

// Where the pictures of |source| really end, in its time base: read from the key frame before
// its stated end or, where the file cannot be sought (no index), from its start. Moves |input|'s
// read position.
std::int64_t DataEnd(AVFormatContext& input, const SourceStream& source) {
  const std::int64_t stated_end = source.start + source.duration;
  if (av_seek_frame(&input, source.index, stated_end, AVSEEK_FLAG_BACKWARD) >= 0) {
    if (std::optional<std::int64_t> end = LastPacketEnd(input, source.index)) return *end;
  }
  InputPtr again = OpenMovie(source.path, /*analyze=*/false);
  if (source.index < static_cast<int>(again->nb_streams)) {
    if (std::optional<std::int64_t> end = LastPacketEnd(*again, source.index)) return *end;
  }
  return source.start;
}

// A header may state any duration, and the export is as long as the durations it lays end to
// end (an hour of silence is encoded for an hour-long gap). A video track that claims to last
// well past its last picture is refused.
void CheckStatedDuration(AVFormatContext& input, const SourceStream& source) {
  if (source.duration <= 0) return;
  const std::int64_t data_end = DataEnd(input, source);
  const std::int64_t slack =
      av_rescale_q(kClaimSlackMicroseconds, AV_TIME_BASE_Q, source.time_base);
  const std::int64_t stated_end = source.start + source.duration;
  if (stated_end - data_end <= slack) return;
  const auto seconds = [&](std::int64_t ticks) {
    return std::to_string(av_rescale_q(ticks, source.time_base, {1, 1}));
  };
  throw PlatformError("Cannot open movie " + source.path + ": its video claims to last " +
                      seconds(source.duration) + " s but its pictures end at " +
                      seconds(data_end - source.start) + " s");
}

class FfmpegAsset : public Asset {
 public:
  explicit FfmpegAsset(const std::string& path) {
    InputPtr input = OpenMovie(path);
    bool ends_early = false;
    std::vector<PacketSpan> spans;
    if (NeedsPacketScan(*input, path)) spans = ScanPackets(*input, path, ends_early);
    bool video_found = false;
    // Where the packets were scanned, the time ranges come from them; otherwise from the header.
    std::vector<std::shared_ptr<const SourceStream>> checks;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
      const AVStream& stream = *input->streams[i];
      const AVMediaType type = stream.codecpar->codec_type;
      // Cover art is a one-picture "video" stream; it is not a track of the movie.
      if (type == AVMEDIA_TYPE_VIDEO && (stream.disposition & AV_DISPOSITION_ATTACHED_PIC)) {
        continue;
      }
      if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) continue;
      auto source = std::make_shared<const SourceStream>(DescribeStream(
          *input, static_cast<int>(i), path, spans.empty() ? nullptr : &spans[i], ends_early));
      if (type == AVMEDIA_TYPE_VIDEO && !video_found) {
        video_found = true;
        // A recording cut off before its first whole frame has nothing to show.
        if (!spans.empty() && source->packet_count == 0) {
          ThrowAvError("Cannot open movie", path, AVERROR_EOF);
        }
      }
      if (type == AVMEDIA_TYPE_VIDEO && spans.empty()) checks.push_back(source);
      auto& list = type == AVMEDIA_TYPE_VIDEO ? video_ : audio_;
      list.push_back(std::make_unique<FfmpegAssetTrack>(std::move(source)));
    }
    for (const auto& source : checks) CheckStatedDuration(*input, *source);
  }

  std::vector<const AssetTrack*> tracks(MediaType type) const override {
    const auto& list = type == MediaType::kVideo ? video_ : audio_;
    std::vector<const AssetTrack*> result;
    for (const auto& track : list) result.push_back(track.get());
    return result;
  }

 private:
  std::vector<std::unique_ptr<FfmpegAssetTrack>> video_;
  std::vector<std::unique_ptr<FfmpegAssetTrack>> audio_;
};

}  // namespace

TimeRange FfmpegAssetTrack::time_range() const {
  return {InTimeBase(source_->start, source_->time_base),
          InTimeBase(source_->duration, source_->time_base)};
}

void FfmpegCompositionTrack::InsertTimeRange(const TimeRange& range, const AssetTrack& source,
                                             const MediaTime& at) {
  const auto* track = dynamic_cast<const FfmpegAssetTrack*>(&source);
  if (track == nullptr) throw PlatformError("Cannot insert a track that was not read by FFmpeg");
  const std::string& path = track->source()->path;
  if (track->source()->type != plan_.type) {
    throw PlatformError("Cannot insert " + path + ": the track is of another media type");
  }
  const TimeRange whole = track->time_range();
  const MediaTime end = MediaTimeAdd(range.start, range.duration);
  if (MediaTimeCompare(range.duration, kMediaTimeZero) < 0 ||
      MediaTimeCompare(range.start, whole.start) < 0 ||
      MediaTimeCompare(end, MediaTimeAdd(whole.start, whole.duration)) > 0) {
    throw PlatformError("Cannot insert " + path + ": the range lies outside its track");
  }
  if (MediaTimeCompare(at, kMediaTimeZero) < 0) {
    throw PlatformError("Cannot insert " + path + ": the timeline position is negative");
  }
  plan_.placements.push_back({track->source(), range, at});
}

CompositionTrack* FfmpegComposition::AddMutableTrack(MediaType type) {
  tracks_.push_back(std::make_unique<FfmpegCompositionTrack>(type));
  return tracks_.back().get();
}

std::vector<TrackPlan> FfmpegComposition::Plans() const {
  std::vector<TrackPlan> plans;
  for (const auto& track : tracks_) plans.push_back(track->plan());
  return plans;
}

std::unique_ptr<Composition> FfmpegMedia::CreateComposition() {
  return std::make_unique<FfmpegComposition>();
}

std::unique_ptr<Asset> FfmpegMedia::OpenAsset(const std::string& path) {
  return std::make_unique<FfmpegAsset>(path);
}

std::unique_ptr<ExportSession> FfmpegMedia::CreateExportSession(const Composition& composition,
                                                                ExportPreset) {
  const auto* ours = dynamic_cast<const FfmpegComposition*>(&composition);
  if (ours == nullptr) return nullptr;
  return MakeFfmpegExportSession(ours->Plans());
}
