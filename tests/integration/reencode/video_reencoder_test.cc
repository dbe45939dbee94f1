#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/media/ffmpeg_reencode.h"
#include "platform/platform_error.h"
#include "tests/support/media_samples.h"
#include "tests/support/run_tool.h"

namespace {

using media_samples::DecodeFile;
using media_samples::DecodePackets;
using media_samples::FormatInputPtr;
using media_samples::MakeWithFfmpeg;
using media_samples::OpenInput;

using ::testing::HasSubstr;
using ::testing::Not;

class VideoReencode : public ::testing::Test {
 protected:
  void SetUp() override { av_log_set_level(AV_LOG_QUIET); }
  TempDir dir_;
};

// Encodes every frame of |frames| and drains the encoder.
std::vector<PacketPtr> EncodeAll(VideoReencoder& encoder, const std::vector<FramePtr>& frames) {
  std::vector<PacketPtr> packets;
  for (const auto& frame : frames) {
    for (auto& packet : encoder.Encode(frame.get())) packets.push_back(std::move(packet));
  }
  for (auto& packet : encoder.Encode(nullptr)) packets.push_back(std::move(packet));
  return packets;
}

TEST_F(VideoReencode, FramesOfAnotherSizeAndFormatComeOutAtTheFixedSize) {
  std::string input = dir_.File("small.mov");
  // 12 frames of 176x144 in full-range 4:2:0 (MJPEG), 25 fps.
  MakeWithFfmpeg({"-f", "lavfi", "-i", "testsrc2=size=176x144:rate=25", "-frames:v", "12", "-c:v",
                  "mjpeg", "-pix_fmt", "yuvj420p", input});
  std::vector<FramePtr> frames = DecodeFile(input, AVMEDIA_TYPE_VIDEO);
  ASSERT_EQ(frames.size(), 12u);
  EXPECT_EQ(frames[0]->width, 176);

  FormatInputPtr probe = OpenInput(input);
  AVRational time_base = probe->streams[0]->time_base;
  VideoReencoder encoder(320, 240, time_base, AVRational{25, 1}, true);
  EXPECT_GT(encoder.codec_context()->extradata_size, 0);
  std::vector<PacketPtr> packets = EncodeAll(encoder, frames);
  ASSERT_EQ(packets.size(), 12u);
  EXPECT_TRUE(packets.front()->flags & AV_PKT_FLAG_KEY);
  for (const auto& packet : packets) EXPECT_LE(packet->dts, packet->pts);

  std::vector<FramePtr> decoded = DecodePackets(encoder.codec_context(), packets);
  ASSERT_EQ(decoded.size(), 12u);
  for (size_t i = 0; i < decoded.size(); ++i) {
    EXPECT_EQ(decoded[i]->width, 320);
    EXPECT_EQ(decoded[i]->height, 240);
    EXPECT_EQ(decoded[i]->format, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(decoded[i]->pts, frames[i]->pts);
  }
}

TEST_F(VideoReencode, FramesAlreadyAtTheSizeKeepTheirPicture) {
  std::string input = dir_.File("same.mp4");
  MakeWithFfmpeg({"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=30", "-frames:v", "6", "-c:v",
                  "libx264", "-preset", "ultrafast", "-qp", "0", "-pix_fmt", "yuv420p", input});
  std::vector<FramePtr> frames = DecodeFile(input, AVMEDIA_TYPE_VIDEO);
  ASSERT_EQ(frames.size(), 6u);
  FormatInputPtr probe = OpenInput(input);
  VideoReencoder encoder(160, 120, probe->streams[0]->time_base, AVRational{30, 1}, false);
  std::vector<FramePtr> decoded =
      DecodePackets(encoder.codec_context(), EncodeAll(encoder, frames));
  ASSERT_EQ(decoded.size(), 6u);
  // At CRF 18 the luma of the test pattern stays within a few levels on average.
  for (size_t i = 0; i < decoded.size(); ++i) {
    double error = 0;
    for (int y = 0; y < 120; ++y) {
      for (int x = 0; x < 160; ++x) {
        error += std::abs(decoded[i]->data[0][y * decoded[i]->linesize[0] + x] -
                          frames[i]->data[0][y * frames[i]->linesize[0] + x]);
      }
    }
    EXPECT_LT(error / (160 * 120), 3.0) << "frame " << i;
    EXPECT_EQ(decoded[i]->pts, frames[i]->pts);
  }
}

TEST_F(VideoReencode, SourcesOfDifferentSizesShareOneOutputSize) {
  std::string wide = dir_.File("wide.mp4"), tall = dir_.File("tall.mp4");
  MakeWithFfmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x180:rate=30", "-frames:v", "4", "-c:v",
                  "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", wide});
  MakeWithFfmpeg({"-f", "lavfi", "-i", "testsrc2=size=120x200:rate=30", "-frames:v", "5", "-c:v",
                  "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv444p", tall});
  std::vector<FramePtr> frames = DecodeFile(wide, AVMEDIA_TYPE_VIDEO);
  std::vector<FramePtr> second = DecodeFile(tall, AVMEDIA_TYPE_VIDEO);
  ASSERT_EQ(second.size(), 5u);
  EXPECT_EQ(second[0]->format, AV_PIX_FMT_YUV444P);
  for (auto& frame : second) frames.push_back(std::move(frame));
  for (std::size_t i = 0; i < frames.size(); ++i) frames[i]->pts = static_cast<std::int64_t>(i);
  VideoReencoder encoder(320, 180, AVRational{1, 30}, AVRational{30, 1}, true);
  std::vector<PacketPtr> packets = EncodeAll(encoder, frames);
  ASSERT_EQ(packets.size(), 9u);
  std::vector<FramePtr> decoded = DecodePackets(encoder.codec_context(), packets);
  ASSERT_EQ(decoded.size(), 9u);
  for (std::size_t i = 0; i < decoded.size(); ++i) {
    EXPECT_EQ(decoded[i]->width, 320);
    EXPECT_EQ(decoded[i]->height, 180);
    EXPECT_EQ(decoded[i]->pts, static_cast<std::int64_t>(i));
  }
  EXPECT_THROW(encoder.Encode(frames[0].get()), PlatformError);
}

// A 64x64 yuv420p frame of one luma level, neutral chroma, tagged with |range|.
FramePtr FlatFrame(int luma, AVColorRange range, std::int64_t pts) {
  FramePtr frame(av_frame_alloc());
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = 64;
  frame->height = 64;
  frame->color_range = range;
  frame->pts = pts;
  EXPECT_GE(av_frame_get_buffer(frame.get(), 0), 0);
  for (int y = 0; y < 64; ++y) std::fill_n(frame->data[0] + y * frame->linesize[0], 64, luma);
  for (int plane = 1; plane < 3; ++plane) {
    for (int y = 0; y < 32; ++y) {
      std::fill_n(frame->data[plane] + y * frame->linesize[plane], 32, 128);
    }
  }
  return frame;
}

TEST_F(VideoReencode, FullRangeFramesComeOutInLimitedRange) {
  std::vector<FramePtr> frames;
  frames.push_back(FlatFrame(0, AVCOL_RANGE_JPEG, 0));
  frames.push_back(FlatFrame(255, AVCOL_RANGE_JPEG, 1));
  frames.push_back(FlatFrame(16, AVCOL_RANGE_MPEG, 2));
  frames.push_back(FlatFrame(235, AVCOL_RANGE_UNSPECIFIED, 3));
  VideoReencoder encoder(64, 64, AVRational{1, 30}, AVRational{30, 1}, false);
  std::vector<FramePtr> decoded =
      DecodePackets(encoder.codec_context(), EncodeAll(encoder, frames));
  ASSERT_EQ(decoded.size(), 4u);
  const int expected[] = {16, 235, 16, 235};
  for (int i = 0; i < 4; ++i) {
    EXPECT_NE(decoded[i]->color_range, AVCOL_RANGE_JPEG);
    EXPECT_NEAR(decoded[i]->data[0][32 * decoded[i]->linesize[0] + 32], expected[i], 2)
        << "frame " << i;
  }
}

TEST_F(VideoReencode, OddSizeIsRefusedWithAReadableError) {
  try {
    VideoReencoder encoder(641, 480, AVRational{1, 30}, AVRational{30, 1}, true);
    FAIL() << "an odd width was accepted";
  } catch (const PlatformError& error) {
    std::string text = error.what();
    EXPECT_THAT(text, HasSubstr("641x480"));
    EXPECT_THAT(text, HasSubstr("libx264"));
    EXPECT_THAT(text, Not(HasSubstr("\n")));
  }
}

}  // namespace
