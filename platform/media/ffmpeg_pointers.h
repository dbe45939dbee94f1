#pragma once

// Owning pointers to FFmpeg's packets, frames and codec contexts, and their allocation. Used only
// inside platform/media.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include <memory>

#include "platform/platform_error.h"

struct AvFrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct AvPacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct CodecContextDeleter {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
using FramePtr = std::unique_ptr<AVFrame, AvFrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, AvPacketDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;

// An empty packet or frame. Throw PlatformError when memory runs out.
inline PacketPtr NewPacket() {
  PacketPtr packet(av_packet_alloc());
  if (!packet) throw PlatformError("Cannot export: out of memory");
  return packet;
}
inline FramePtr NewFrame() {
  FramePtr frame(av_frame_alloc());
  if (!frame) throw PlatformError("Cannot export: out of memory");
  return frame;
}
