#include "platform/media/ffmpeg_placement_plan.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <string>

#include "platform/platform_error.h"

AVRational VideoTrackTimeBase(AVRational source, MediaTime end) {
  // MPEG-4 counts a track's time in units of 1/den (movenc rescales a numerator away).
  const double seconds = std::max(1.0, std::ceil(MediaTimeGetSeconds(end)));
  for (const AVRational candidate : {source, AVRational{1, 90000}}) {
    if (candidate.num > 0 && candidate.den > 0 && candidate.den * seconds <= INT_MAX) {
      return candidate;
    }
  }
  return {1, 1000};
}

std::vector<Placement> PlacementsInOrder(const TrackPlan& plan) {
  std::vector<Placement> placements;
  for (const Placement& placement : plan.placements) {
    if (MediaTimeCompare(placement.range.duration, kMediaTimeZero) > 0) {
      placements.push_back(placement);
    }
  }
  std::stable_sort(
      placements.begin(), placements.end(),
      [](const Placement& a, const Placement& b) { return MediaTimeCompare(a.at, b.at) < 0; });
  return placements;
}

std::int64_t SourcePackets(const std::vector<Placement>& placements) {
  std::int64_t total = 0;
  for (const Placement& placement : placements) {
    if (placement.source->packet_count < 0) return -1;
    total += placement.source->packet_count;
  }
  return total;
}

void LastPictureLastsTo(const std::deque<PacketPtr>& packets, std::int64_t end) {
  AVPacket* last = nullptr;
  for (const PacketPtr& packet : packets) {
    if (last == nullptr || packet->pts > last->pts) last = packet.get();
  }
  if (last != nullptr && last->pts < end && last->pts + last->duration < end) {
    last->duration = end - last->pts;
  }
}

void ThrowNoVideoFrames(const SourceStream& source) {
  throw PlatformError("Cannot read movie " + source.path + ": " + std::string(kNoVideoFrames));
}
