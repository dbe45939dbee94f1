#include "platform/media/ffmpeg_placement_plan.h"

#include <algorithm>
#include <string>

#include "platform/platform_error.h"

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
