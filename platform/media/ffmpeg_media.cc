#include "platform/media/ffmpeg_media.h"

#include "platform/platform_error.h"
#include "platform/media/ffmpeg_composition.h"
#include "platform/media/ffmpeg_export.h"

namespace {

// Every second of a segment's video is a second of the joined movie, and the export fills what its
// packets leave open (audio lanes with silence): a day is far beyond any recording segment, yet
// still exports within the join's wait. A longer claim is a damaged or hostile timestamp.
constexpr double kLongestSegmentSeconds = 24 * 3600;

// Whether the sample table of a movie that has one (MPEG-4/QuickTime) lists a frame that starts
// before the end of |source|'s range; a recording's header can claim seconds for which the file
// holds no frame at all. Streams timed by a packet scan cover their range by construction.
bool IndexedFramesReachInto(const AVStream& stream, const SourceStream& source) {
  const int count = avformat_index_get_entries_count(&stream);
  if (count == 0 || source.duration == 0) return true;
  const std::int64_t end = source.start + source.duration;
  for (int i = 0; i < count; ++i) {
    const AVIndexEntry* entry = avformat_index_get_entry(const_cast<AVStream*>(&stream), i);
    if (entry != nullptr && entry->timestamp != AV_NOPTS_VALUE && entry->timestamp < end &&
        !(entry->flags & AVINDEX_DISCARD_FRAME)) {
      return true;
    }
  }
  return false;
}

MediaTime InTimeBase(std::int64_t ticks, AVRational time_base) {
  return MediaTimeReduced({ticks * time_base.num, time_base.den});
}

class FfmpegAsset : public Asset {
 public:
  explicit FfmpegAsset(const std::string& path) {
    InputPtr input = OpenMovie(path);
    bool ends_early = false;
    std::vector<PacketSpan> spans;
    if (NeedsPacketScan(*input, path)) spans = ScanPackets(*input, path, ends_early);
    bool video_found = false;
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
        if (source->packet_count == 0 || !IndexedFramesReachInto(stream, *source)) {
          throw PlatformError("Cannot open movie " + path + ": " + std::string(kNoVideoFrames));
        }
        const double seconds = static_cast<double>(source->duration) * av_q2d(source->time_base);
        if (seconds > kLongestSegmentSeconds) {
          throw PlatformError("Cannot open movie " + path + ": its video claims to last " +
                              std::to_string(static_cast<long long>(seconds / 3600)) +
                              " hours, more than the 24 a recording segment can");
        }
      }
      auto& list = type == AVMEDIA_TYPE_VIDEO ? video_ : audio_;
      list.push_back(std::make_unique<FfmpegAssetTrack>(std::move(source)));
    }
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
