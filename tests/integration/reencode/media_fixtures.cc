#include "tests/integration/reencode/media_fixtures.h"

#include <gtest/gtest.h>

#include "tests/support/run_tool.h"

void MakeWithFfmpeg(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"-hide_banner", "-loglevel", "error", "-nostdin", "-y"};
  all.insert(all.end(), args.begin(), args.end());
  RunResult result = RunProgram("/usr/bin/ffmpeg", all);
  ASSERT_EQ(result.status, 0) << result.err;
}

FormatInputPtr OpenInput(const std::string& path) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
    throw std::runtime_error("cannot open " + path);
  }
  FormatInputPtr input(raw);
  if (avformat_find_stream_info(raw, nullptr) < 0) {
    throw std::runtime_error("no stream info in " + path);
  }
  return input;
}

int FirstStream(const AVFormatContext* input, AVMediaType type) {
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    if (input->streams[i]->codecpar->codec_type == type) return static_cast<int>(i);
  }
  throw std::runtime_error("no such stream");
}

std::vector<FramePtr> DecodeFile(const std::string& path, AVMediaType type) {
  FormatInputPtr input = OpenInput(path);
  int index = FirstStream(input.get(), type);
  AVStream* stream = input->streams[index];
  StreamDecoder decoder(stream->codecpar, stream->time_base, path);
  std::vector<FramePtr> frames;
  PacketPtr packet(av_packet_alloc());
  while (av_read_frame(input.get(), packet.get()) >= 0) {
    if (packet->stream_index == index) {
      for (auto& frame : decoder.Decode(packet.get())) frames.push_back(std::move(frame));
    }
    av_packet_unref(packet.get());
  }
  for (auto& frame : decoder.Decode(nullptr)) frames.push_back(std::move(frame));
  return frames;
}

std::vector<FramePtr> DecodePackets(const AVCodecContext* context,
                                    const std::vector<PacketPtr>& packets) {
  AVCodecParameters* parameters = avcodec_parameters_alloc();
  avcodec_parameters_from_context(parameters, context);
  StreamDecoder decoder(parameters, context->time_base, "encoded packets");
  avcodec_parameters_free(&parameters);
  std::vector<FramePtr> frames;
  for (const auto& packet : packets) {
    for (auto& frame : decoder.Decode(packet.get())) frames.push_back(std::move(frame));
  }
  for (auto& frame : decoder.Decode(nullptr)) frames.push_back(std::move(frame));
  return frames;
}

std::vector<float> ChannelSamples(const std::vector<FramePtr>& frames, int channel) {
  std::vector<float> samples;
  for (const auto& frame : frames) {
    EXPECT_EQ(frame->format, AV_SAMPLE_FMT_FLTP);
    const float* data = reinterpret_cast<const float*>(frame->extended_data[channel]);
    samples.insert(samples.end(), data, data + frame->nb_samples);
  }
  return samples;
}

void WriteMp4(const std::string& path, const AVCodecContext* context,
              const std::vector<PacketPtr>& packets) {
  AVFormatContext* output = nullptr;
  ASSERT_GE(avformat_alloc_output_context2(&output, nullptr, "mp4", path.c_str()), 0);
  AVStream* stream = avformat_new_stream(output, nullptr);
  ASSERT_NE(stream, nullptr);
  ASSERT_GE(avcodec_parameters_from_context(stream->codecpar, context), 0);
  stream->time_base = context->time_base;
  ASSERT_GE(avio_open(&output->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
  ASSERT_GE(avformat_write_header(output, nullptr), 0);
  for (const auto& packet : packets) {
    PacketPtr copy(av_packet_clone(packet.get()));
    av_packet_rescale_ts(copy.get(), context->time_base, stream->time_base);
    copy->stream_index = 0;
    ASSERT_GE(av_interleaved_write_frame(output, copy.get()), 0);
  }
  ASSERT_GE(av_write_trailer(output), 0);
  avio_closep(&output->pb);
  avformat_free_context(output);
}
