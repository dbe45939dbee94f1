#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include <memory>
#include <string>
#include <vector>

#include "platform/media/ffmpeg_reencode.h"

// Helpers of the re-encoding tests: inputs made with the ffmpeg CLI, and decoding through
// libavformat and StreamDecoder.

struct FormatInputDeleter {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
using FormatInputPtr = std::unique_ptr<AVFormatContext, FormatInputDeleter>;

// Runs Debian's ffmpeg quietly with |args| and fails the test when it does not succeed.
void MakeWithFfmpeg(const std::vector<std::string>& args);

FormatInputPtr OpenInput(const std::string& path);

// The index of the first stream of |type| in |input|.
int FirstStream(const AVFormatContext* input, AVMediaType type);

// Every frame of the first stream of |type| in |path|, decoded with StreamDecoder.
std::vector<FramePtr> DecodeFile(const std::string& path, AVMediaType type);

// Decodes |packets| made by an encoder with |context|, in the encoder's time base.
std::vector<FramePtr> DecodePackets(const AVCodecContext* context,
                                    const std::vector<PacketPtr>& packets);

// The samples of planar float |frames| of one channel, one after another.
std::vector<float> ChannelSamples(const std::vector<FramePtr>& frames, int channel);

// Writes |packets| (in |context|'s time base, unchanged) as the one stream of an MPEG-4 file.
void WriteMp4(const std::string& path, const AVCodecContext* context,
              const std::vector<PacketPtr>& packets);
