#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/media/ffmpeg_reencode.h"
#include "platform/platform_error.h"
#include "tests/support/media_samples.h"
#include "tests/support/run_tool.h"

namespace {

using media_samples::DecodeFile;
using media_samples::FormatInputPtr;
using media_samples::MakeWithFfmpeg;
using media_samples::OpenInput;

using ::testing::HasSubstr;
using ::testing::Not;

class StreamDecoding : public ::testing::Test {
 protected:
  void SetUp() override { av_log_set_level(AV_LOG_QUIET); }
  TempDir dir_;
};

TEST_F(StreamDecoding, VideoFramesComeWithTheirTimestamps) {
  std::string input = dir_.File("clip.mp4");
  MakeWithFfmpeg({"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25", "-frames:v", "10", "-c:v",
                  "libx264", "-preset", "ultrafast", "-bf", "2", "-pix_fmt", "yuv420p", input});
  FormatInputPtr probe = OpenInput(input);
  AVRational time_base = probe->streams[0]->time_base;
  std::vector<FramePtr> frames = DecodeFile(input, AVMEDIA_TYPE_VIDEO);
  ASSERT_EQ(frames.size(), 10u);
  std::int64_t step = av_rescale_q(1, AVRational{1, 25}, time_base);
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i]->width, 160);
    EXPECT_EQ(frames[i]->pts, frames[0]->pts + static_cast<std::int64_t>(i) * step);
  }
}

TEST_F(StreamDecoding, AudioPrimingIsSkippedAndTimestampsStartAtZero) {
  std::string input = dir_.File("tone.m4a");
  MakeWithFfmpeg({"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=0.5", "-c:a",
                  "aac", input});
  std::vector<FramePtr> frames = DecodeFile(input, AVMEDIA_TYPE_AUDIO);
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.front()->pts, 0);
  std::int64_t total = 0;
  for (const auto& frame : frames) {
    EXPECT_EQ(frame->pts, total);
    total += frame->nb_samples;
  }
  EXPECT_GE(total, 24000);
  EXPECT_LT(total, 24000 + 1024);
}

TEST_F(StreamDecoding, UnknownCodecNamesTheSource) {
  AVCodecParameters* parameters = avcodec_parameters_alloc();
  parameters->codec_type = AVMEDIA_TYPE_VIDEO;
  parameters->codec_id = AV_CODEC_ID_NONE;
  try {
    StreamDecoder decoder(parameters, AVRational{1, 90000}, "/tmp/x/segment.mov");
    ADD_FAILURE() << "a decoder without codec was made";
  } catch (const PlatformError& error) {
    std::string text = error.what();
    EXPECT_THAT(text, HasSubstr("/tmp/x/segment.mov"));
    EXPECT_THAT(text, HasSubstr("video"));
    EXPECT_THAT(text, HasSubstr("no decoder"));
    EXPECT_THAT(text, Not(HasSubstr("\n")));
  }
  avcodec_parameters_free(&parameters);
}

TEST_F(StreamDecoding, DamagedPacketThrowsNamingTheSource) {
  std::string input = dir_.File("tone.m4a");
  MakeWithFfmpeg({"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=0.5", "-c:a",
                  "aac", input});
  FormatInputPtr in = OpenInput(input);
  AVStream* stream = in->streams[0];
  StreamDecoder decoder(stream->codecpar, stream->time_base, input);
  PacketPtr packet(av_packet_alloc());
  int read = 0;
  auto decode_all = [&] {
    while (av_read_frame(in.get(), packet.get()) >= 0) {
      // From the fourth packet on, every payload byte is garbage.
      if (++read >= 4) {
        for (int i = 0; i < packet->size; ++i) packet->data[i] = static_cast<uint8_t>(i * 37 + 11);
      }
      decoder.Decode(packet.get());
      av_packet_unref(packet.get());
    }
    decoder.Decode(nullptr);
  };
  try {
    decode_all();
    ADD_FAILURE() << "garbage decoded without an error";
  } catch (const PlatformError& error) {
    std::string text = error.what();
    EXPECT_THAT(text, HasSubstr(input));
    EXPECT_THAT(text, HasSubstr("audio stream (aac)"));
    EXPECT_THAT(text, HasSubstr("cannot decode"));
    EXPECT_THAT(text, Not(HasSubstr("\n")));
  }
  EXPECT_GE(read, 4);
}

TEST_F(StreamDecoding, DamagedVideoThrowsInsteadOfConcealing) {
  std::string input = dir_.File("clip.mp4");
  MakeWithFfmpeg({"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25", "-frames:v", "10", "-c:v",
                  "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", input});
  FormatInputPtr in = OpenInput(input);
  AVStream* stream = in->streams[0];
  StreamDecoder decoder(stream->codecpar, stream->time_base, input);
  PacketPtr packet(av_packet_alloc());
  int read = 0;
  std::size_t frames = 0;
  try {
    while (av_read_frame(in.get(), packet.get()) >= 0) {
      // The slice data of the third frame on is overwritten, its length prefix kept.
      if (++read >= 3) {
        for (int i = 8; i < packet->size; ++i) packet->data[i] = static_cast<uint8_t>(i * 37 + 11);
      }
      frames += decoder.Decode(packet.get()).size();
      av_packet_unref(packet.get());
    }
    frames += decoder.Decode(nullptr).size();
    ADD_FAILURE() << "garbage decoded without an error, " << frames << " frames";
  } catch (const PlatformError& error) {
    std::string text = error.what();
    EXPECT_THAT(text, HasSubstr(input));
    EXPECT_THAT(text, HasSubstr("video stream (h264)"));
    EXPECT_THAT(text, Not(HasSubstr("\n")));
  }
  EXPECT_GE(read, 3);
}

TEST_F(StreamDecoding, PacketAfterTheDrainIsRefused) {
  std::string input = dir_.File("tone.m4a");
  MakeWithFfmpeg({"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=0.1", "-c:a",
                  "aac", input});
  FormatInputPtr in = OpenInput(input);
  AVStream* stream = in->streams[0];
  StreamDecoder decoder(stream->codecpar, stream->time_base, input);
  PacketPtr packet(av_packet_alloc());
  ASSERT_GE(av_read_frame(in.get(), packet.get()), 0);
  decoder.Decode(nullptr);
  EXPECT_TRUE(decoder.Decode(nullptr).empty());
  EXPECT_THROW(decoder.Decode(packet.get()), PlatformError);
}

}  // namespace
