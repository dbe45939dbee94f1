#include "platform/media/ffmpeg_source_reader.h"

#include "platform/platform_error.h"

SourceReader::SourceReader(const SourceStream& source)
    : source_(source),
      // Reordered video from a container without decoding times gets them from the demuxer only
      // after it has probed the stream.
      input_(OpenMovie(source.path, /*analyze=*/!source.stores_decoding_times &&
                                        source.parameters->video_delay > 0)) {
  if (source.index >= static_cast<int>(input_->nb_streams) ||
      input_->streams[source.index]->codecpar->codec_id != source.parameters->codec_id) {
    throw PlatformError("Cannot read movie " + source.path + ": it changed after it was opened");
  }
  for (unsigned i = 0; i < input_->nb_streams; ++i) {
    if (static_cast<int>(i) != source.index) input_->streams[i]->discard = AVDISCARD_ALL;
  }
}

PacketPtr SourceReader::Read() {
  // A file that ends early is read up to its last complete packet, as when it was opened.
  if (source_.ends_early && read_ >= source_.packet_count) return nullptr;
  PacketPtr packet = NewPacket();
  while (true) {
    const int rc = av_read_frame(input_.get(), packet.get());
    if (rc == AVERROR_EOF) return nullptr;
    if (rc < 0) ThrowAvError("Cannot read movie", source_.path, rc);
    if (packet->stream_index == source_.index) {
      ++read_;
      return packet;
    }
    av_packet_unref(packet.get());
  }
}
