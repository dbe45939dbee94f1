#pragma once

// Reading one stream of a source file for the export. Used only inside platform/media.

#include <cstdint>

#include "platform/media/ffmpeg_pointers.h"
#include "platform/media/ffmpeg_source.h"

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
