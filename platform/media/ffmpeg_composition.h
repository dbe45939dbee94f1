#pragma once

// The composition as the FFmpeg export sees it: per track, where each source range lies on the
// timeline. Used only inside platform/media.

#include <memory>
#include <vector>

#include "platform/media/ffmpeg_source.h"
#include "platform/media/media.h"

class FfmpegAssetTrack : public AssetTrack {
 public:
  explicit FfmpegAssetTrack(std::shared_ptr<const SourceStream> source)
      : source_(std::move(source)) {}
  TimeRange time_range() const override;
  Transform preferred_transform() const override { return source_->transform; }
  const std::shared_ptr<const SourceStream>& source() const { return source_; }

 private:
  std::shared_ptr<const SourceStream> source_;
};

// |range| of |source| (source time) shown on the timeline from |at|.
struct Placement {
  std::shared_ptr<const SourceStream> source;
  TimeRange range;
  MediaTime at;
};

struct TrackPlan {
  MediaType type = MediaType::kVideo;
  std::vector<Placement> placements;  // in the order inserted
  Transform transform;
};

class FfmpegCompositionTrack : public CompositionTrack {
 public:
  explicit FfmpegCompositionTrack(MediaType type) { plan_.type = type; }
  void InsertTimeRange(const TimeRange& range, const AssetTrack& source,
                       const MediaTime& at) override;
  void SetPreferredTransform(const Transform& transform) override { plan_.transform = transform; }
  const TrackPlan& plan() const { return plan_; }

 private:
  TrackPlan plan_;
};

class FfmpegComposition : public Composition {
 public:
  CompositionTrack* AddMutableTrack(MediaType type) override;
  // The tracks in the order added.
  std::vector<TrackPlan> Plans() const;

 private:
  std::vector<std::unique_ptr<FfmpegCompositionTrack>> tracks_;
};
