#pragma once

// The packets of one output stream of the export, produced on demand in decoding order: copied
// from the sources where they fit together, re-encoded where they do not. Used only inside
// platform/media, on the export's thread.

#include <atomic>
#include <memory>

#include "platform/media/ffmpeg_composition.h"
#include "platform/media/ffmpeg_placement_plan.h"
#include "platform/media/ffmpeg_pointers.h"
#include "platform/media/ffmpeg_source.h"
#include "platform/media/ffmpeg_source_reader.h"

// Thrown from the export's work when it has been told to stop.
struct ExportCancelled {};

struct ExportContext {
  const std::atomic<bool>* cancelled = nullptr;  // set when the export has been told to stop
  MediaTime timeline_end;                        // audio lanes are padded with silence up to here
  double time_limit = 0;  // seconds the caller waits for the export; 0 when it did not say
};

// Throws ExportCancelled when the export has been told to stop.
inline void CheckCancelled(const ExportContext& context) {
  if (context.cancelled != nullptr && context.cancelled->load(std::memory_order_relaxed)) {
    throw ExportCancelled();
  }
}

class PacketSource {
 public:
  virtual ~PacketSource() = default;
  // Adds the stream to |output|, before its header is written.
  virtual void AddStream(AVFormatContext* output) = 0;
  // The next packet, stream_index set and timestamps in the stream's time base as the header left
  // it; null at the end. Throws PlatformError naming the file and the reason, or ExportCancelled.
  virtual PacketPtr Next() = 0;
  // At most how many packets Next() will give, -1 when unknown; valid after AddStream.
  virtual std::int64_t MaxPackets() const = 0;
};

// Packet copy when MPEG-4 can carry every placement's codec (ffmpeg_copy_rules.h); otherwise H.264
// re-encoded at the first placement's size.
std::unique_ptr<PacketSource> MakeVideoSource(const TrackPlan& plan, const ExportContext& context);

// AAC packet copy on an exact sample grid when every placement is AAC-LC with the same
// configuration; otherwise the lane re-encoded to AAC.
std::unique_ptr<PacketSource> MakeAudioSource(const TrackPlan& plan, const ExportContext& context);

// Copying sources (ffmpeg_copy_source.cc): |in_band| puts each placement's parameter sets before
// its first packet, under a sample entry that allows them there (avc3, hev1).
std::unique_ptr<PacketSource> MakeVideoCopySource(const TrackPlan& plan,
                                                  const ExportContext& context, bool in_band);
std::unique_ptr<PacketSource> MakeAudioCopySource(const TrackPlan& plan,
                                                  const ExportContext& context);

// Re-encoding sources (ffmpeg_reencode_source.cc).
std::unique_ptr<PacketSource> MakeVideoReencodeSource(const TrackPlan& plan,
                                                      const ExportContext& context);
std::unique_ptr<PacketSource> MakeAudioReencodeSource(const TrackPlan& plan,
                                                      const ExportContext& context);
