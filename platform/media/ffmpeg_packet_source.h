#pragma once

// The packets of one output stream of the export, produced on demand in decoding order: copied
// from the sources where they fit together, re-encoded where they do not. Used only inside
// platform/media, on the export's thread.

#include <atomic>
#include <deque>
#include <memory>

#include "platform/media/ffmpeg_composition.h"
#include "platform/media/ffmpeg_reencode.h"
#include "platform/media/ffmpeg_source.h"

// Thrown from the export's work when it has been told to stop.
struct ExportCancelled {};

struct ExportContext {
  const std::atomic<bool>* cancelled = nullptr;
  MediaTime timeline_end;  // audio lanes are padded with silence up to here
  double time_limit = 0;   // seconds the caller waits for the export; 0 when it did not say
};

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

// PlatformError "Cannot read movie <path>: its video has no frames": a placement gave the track
// nothing to show, though its file claimed frames when it was opened.
[[noreturn]] void ThrowNoVideoFrames(const SourceStream& source);

// At most how many packets the placements hold, -1 when a source does not say.
std::int64_t SourcePackets(const std::vector<Placement>& placements);

// Recorders and encoders often leave the last frame's duration out (or write a stub of a tick):
// the picture of |packets| shown last then lasts to |end|, which is what the reported duration
// counts. Only ever lengthens it; |end| in the packets' time base.
void LastPictureLastsTo(const std::deque<PacketPtr>& packets, std::int64_t end);

// Reads one stream of a source file packet by packet, the file's other streams skipped unread.
class SourceReader {
 public:
  explicit SourceReader(const SourceStream& source);
  // The next packet of the stream, null at the end. Throws PlatformError "Cannot read movie ...".
  PacketPtr Read();

 private:
  const SourceStream& source_;
  InputPtr input_;
  std::int64_t read_ = 0;
};

// Packet copy when every placement's codec, size and decoder configuration match the first's and
// MPEG-4 can carry them; otherwise H.264 re-encoded at the first placement's size.
std::unique_ptr<PacketSource> MakeVideoSource(const TrackPlan& plan, const ExportContext& context);

// AAC packet copy on an exact sample grid when every placement is AAC-LC with the same
// configuration; otherwise the lane re-encoded to AAC.
std::unique_ptr<PacketSource> MakeAudioSource(const TrackPlan& plan, const ExportContext& context);

// Whether the plan's packets can be copied (what the factories above decide by).
bool VideoPlanIsCopyable(const TrackPlan& plan);
bool AudioPlanIsCopyable(const TrackPlan& plan);

// The placements that show something, in timeline order.
std::vector<Placement> PlacementsInOrder(const TrackPlan& plan);

// Re-encoding sources (ffmpeg_reencode_source.cc).
std::unique_ptr<PacketSource> MakeVideoReencodeSource(const TrackPlan& plan,
                                                      const ExportContext& context);
std::unique_ptr<PacketSource> MakeAudioReencodeSource(const TrackPlan& plan,
                                                      const ExportContext& context);
