#pragma once

// What the export reads of a track's plan: the placements in timeline order, how many packets they
// hold, and where their last picture ends. Used only inside platform/media.

#include <cstdint>
#include <deque>
#include <vector>

#include "platform/media/ffmpeg_composition.h"
#include "platform/media/ffmpeg_pointers.h"

// The placements that show something, in timeline order.
std::vector<Placement> PlacementsInOrder(const TrackPlan& plan);

// At most how many packets the placements hold, -1 when a source does not say.
std::int64_t SourcePackets(const std::vector<Placement>& placements);

// Recorders and encoders often leave the last frame's duration out (or write a stub of a tick):
// the picture of |packets| shown last then lasts to |end|, which is what the reported duration
// counts. Only ever lengthens it; |end| in the packets' time base.
void LastPictureLastsTo(const std::deque<PacketPtr>& packets, std::int64_t end);

// The time base of the movie's video track: the first segment's |source|, unless one picture of a
// timeline that ends at |end| could then last longer than the 31 bits MPEG-4 gives a sample's
// duration (a fine time base over seconds of a still or a gap: the muxer would squeeze every later
// picture into a tick); then 1/90000, or 1/1000 for a timeline of more than six hours.
AVRational VideoTrackTimeBase(AVRational source, MediaTime end);

// PlatformError "Cannot read movie <path>: its video has no frames": a placement gave the track
// nothing to show, though its file claimed frames when it was opened.
[[noreturn]] void ThrowNoVideoFrames(const SourceStream& source);
