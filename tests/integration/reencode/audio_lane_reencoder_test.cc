#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "platform/media/ffmpeg_reencode.h"
#include "platform/platform_error.h"
#include "tests/support/media_samples.h"
#include "tests/support/run_tool.h"

namespace {

using media_samples::ChannelSamples;
using media_samples::DecodeFile;
using media_samples::DecodePackets;
using media_samples::MakeWithFfmpeg;
using media_samples::WriteMp4;

constexpr int kLaneRate = 48000;
constexpr double kToneHz = 1000;
constexpr double kToneAmplitude = 0.5;
// The tone of the test input starts this far into it, 11025 samples at 44.1 kHz.
constexpr double kOnsetSeconds = 0.25;
constexpr std::int64_t kOnsetInLane = 12000;

class AudioLane : public ::testing::Test {
 protected:
  void SetUp() override {
    av_log_set_level(AV_LOG_QUIET);
    tone_ = dir_.File("tone.wav");
    // 1 s at 44.1 kHz, mono, s16: silence, then a 1 kHz sine from exactly 0.25 s on, phase 0.
    MakeWithFfmpeg(
        {"-f", "lavfi", "-i",
         "aevalsrc=if(gte(n\\,11025)\\,0.5*sin(2*PI*1000*(n-11025)/44100)\\,0):s=44100:d=1", "-ac",
         "1", "-c:a", "pcm_s16le", tone_});
  }

  // Appends every decoded frame of the tone file, capped at |end|.
  void AppendTone(AudioLaneReencoder& lane, std::int64_t end) {
    for (const auto& frame : DecodeFile(tone_, AVMEDIA_TYPE_AUDIO)) lane.Append(frame.get(), end);
  }

  TempDir dir_;
  std::string tone_;
};

AVChannelLayout Stereo() {
  AVChannelLayout layout = AV_CHANNEL_LAYOUT_STEREO;
  return layout;
}

// Where the 1 kHz tone starting at |onset| best matches |samples| near it: the shift in samples.
int ToneShift(const std::vector<float>& samples, std::int64_t onset) {
  int best_shift = 0;
  double best = -1e9;
  for (int shift = -20; shift <= 20; ++shift) {
    double sum = 0;
    for (std::int64_t n = onset + 2000; n < onset + 6000; ++n) {
      double t = static_cast<double>(n - onset - shift) / kLaneRate;
      sum += samples[n] * std::sin(2 * std::numbers::pi * kToneHz * t);
    }
    if (sum > best) {
      best = sum;
      best_shift = shift;
    }
  }
  return best_shift;
}

// The first sample at or after |from| whose magnitude reaches half the tone's amplitude.
std::int64_t Onset(const std::vector<float>& samples, std::int64_t from) {
  for (std::int64_t n = from; n < static_cast<std::int64_t>(samples.size()); ++n) {
    if (std::fabs(samples[n]) >= kToneAmplitude / 2) return n;
  }
  return -1;
}

float Peak(const std::vector<float>& samples, std::int64_t from, std::int64_t to) {
  float peak = 0;
  for (std::int64_t n = from; n < to; ++n) peak = std::max(peak, std::fabs(samples[n]));
  return peak;
}

TEST_F(AudioLane, SourcesLandAtTheirCursorsWithSilenceBetween) {
  AudioLaneReencoder lane(kLaneRate, Stereo(), 256000, false);
  const int padding = lane.codec_context()->initial_padding;
  // Segment 1: 0.8 s of video, 1 s of audio (cut). Segment 2: 0.5 s, no audio.
  // Segment 3: 1.5 s of video, 1 s of audio (a gap follows).
  const std::int64_t end1 = 38400, end2 = 62400, end3 = 134400;
  AppendTone(lane, end1);
  EXPECT_EQ(lane.samples(), end1);
  lane.FinishSourceAt(end1);
  lane.FinishSourceAt(end2);
  EXPECT_EQ(lane.samples(), end2);
  AppendTone(lane, end3);
  lane.FinishSourceAt(end3);
  EXPECT_EQ(lane.samples(), end3);
  std::vector<PacketPtr> packets = lane.TakePackets(false);
  std::vector<PacketPtr> rest = lane.TakePackets(true);
  for (auto& packet : rest) packets.push_back(std::move(packet));

  ASSERT_FALSE(packets.empty());
  EXPECT_EQ(packets.front()->pts, -padding);
  std::int64_t covered = 0;
  for (size_t i = 0; i < packets.size(); ++i) {
    if (i > 0) {
      EXPECT_EQ(packets[i]->pts, packets[i - 1]->pts + packets[i - 1]->duration);
    }
    covered += packets[i]->duration;
  }
  EXPECT_EQ(covered, end3 + padding);

  std::vector<FramePtr> frames = DecodePackets(lane.codec_context(), packets);
  for (int channel = 0; channel < 2; ++channel) {
    std::vector<float> decoded = ChannelSamples(frames, channel);
    ASSERT_GE(static_cast<std::int64_t>(decoded.size()), end3 + padding);
    std::vector<float> lane_samples(decoded.begin() + padding, decoded.end());
    EXPECT_EQ(static_cast<std::int64_t>(decoded.size()), 133 * 1024);

    EXPECT_LT(Peak(lane_samples, 0, kOnsetInLane - 1024), 0.01);
    EXPECT_NEAR(Onset(lane_samples, 0), kOnsetInLane, 6);
    EXPECT_NEAR(ToneShift(lane_samples, kOnsetInLane), 0, 1);
    EXPECT_GT(Peak(lane_samples, end1 - 1024, end1), 0.45);
    EXPECT_LT(Peak(lane_samples, end1 + 2048, end2 + kOnsetInLane - 1024), 1e-3);
    EXPECT_NEAR(Onset(lane_samples, end2), end2 + kOnsetInLane, 6);
    EXPECT_NEAR(ToneShift(lane_samples, end2 + kOnsetInLane), 0, 1);
    EXPECT_GT(Peak(lane_samples, end2 + 48000 - 1024, end2 + 48000), 0.45);
    EXPECT_LT(Peak(lane_samples, end2 + 48000 + 2048, end3), 1e-3);
  }
}

TEST_F(AudioLane, MuxedIntoMpeg4LaneSampleZeroPlaysAtTimeZero) {
  AudioLaneReencoder lane(kLaneRate, Stereo(), 256000, true);
  const std::int64_t end = 50000;
  AppendTone(lane, end);
  lane.FinishSourceAt(end);
  std::vector<PacketPtr> packets = lane.TakePackets(true);
  std::string path = dir_.File("lane.mp4");
  WriteMp4(path, lane.codec_context(), packets);

  std::vector<FramePtr> frames = DecodeFile(path, AVMEDIA_TYPE_AUDIO);
  ASSERT_FALSE(frames.empty());
  // The muxer's edit list hides the priming; FFmpeg's demuxer does not trim the last frame.
  EXPECT_EQ(frames.front()->pts, 0);
  std::vector<float> decoded = ChannelSamples(frames, 0);
  EXPECT_EQ(static_cast<std::int64_t>(decoded.size()), 49 * 1024);
  EXPECT_NEAR(Onset(decoded, 0), kOnsetInLane, 6);
  EXPECT_NEAR(ToneShift(decoded, kOnsetInLane), 0, 1);
  EXPECT_LT(Peak(decoded, end, static_cast<std::int64_t>(decoded.size())), 1e-3);
}

TEST_F(AudioLane, SourcesOfAnotherRateAndLayoutFollowSampleExactly) {
  std::string stereo = dir_.File("stereo.m4a");
  // 0.5 s at 48 kHz stereo AAC: silence, then the tone from 0.1 s (lane sample 4800) on.
  MakeWithFfmpeg(
      {"-f", "lavfi", "-i",
       "aevalsrc=if(gte(n\\,4800)\\,0.5*sin(2*PI*1000*(n-4800)/48000)\\,0):s=48000:d=0.5", "-ac",
       "2", "-c:a", "aac", "-b:a", "256k", stereo});
  AudioLaneReencoder lane(kLaneRate, Stereo(), 256000, false);
  const int padding = lane.codec_context()->initial_padding;
  // A lane created late: silent until 0.3 s.
  lane.FinishSourceAt(14400);
  AppendTone(lane, 14400 + 48000);
  lane.FinishSourceAt(14400 + 48000);
  const std::int64_t second = 14400 + 48000;
  // FFmpeg decodes the encoder's last frame whole, past the track's duration: the caller caps a
  // source at min(video, audio duration).
  std::vector<FramePtr> frames = DecodeFile(stereo, AVMEDIA_TYPE_AUDIO);
  std::int64_t decoded_source = 0;
  for (const auto& frame : frames) decoded_source += frame->nb_samples;
  EXPECT_GT(decoded_source, 24000);
  for (const auto& frame : frames) lane.Append(frame.get(), second + 24000);
  EXPECT_EQ(lane.samples(), second + 24000);
  lane.FinishSourceAt(second + 30000);
  EXPECT_EQ(lane.samples(), second + 30000);
  std::vector<PacketPtr> packets = lane.TakePackets(true);
  std::vector<float> decoded = ChannelSamples(DecodePackets(lane.codec_context(), packets), 1);
  std::vector<float> lane_samples(decoded.begin() + padding, decoded.end());
  ASSERT_GE(static_cast<std::int64_t>(lane_samples.size()), second + 30000);

  EXPECT_LT(Peak(lane_samples, 0, 14400 + kOnsetInLane - 1024), 1e-3);
  EXPECT_NEAR(Onset(lane_samples, 0), 14400 + kOnsetInLane, 6);
  EXPECT_NEAR(ToneShift(lane_samples, 14400 + kOnsetInLane), 0, 1);
  EXPECT_LT(Peak(lane_samples, second + 1024, second + 4800 - 1024), 1e-2);
  EXPECT_NEAR(Onset(lane_samples, second), second + 4800, 6);
  EXPECT_NEAR(ToneShift(lane_samples, second + 4800), 0, 1);
  EXPECT_LT(Peak(lane_samples, second + 24000 + 2048, second + 30000), 1e-3);
}

TEST_F(AudioLane, AppendStopsAtTheEndMidFrame) {
  AudioLaneReencoder lane(kLaneRate, Stereo(), 256000, false);
  AppendTone(lane, 1000);
  EXPECT_EQ(lane.samples(), 1000);
  lane.FinishSourceAt(1000);
  EXPECT_EQ(lane.samples(), 1000);
  AppendTone(lane, 1000);
  EXPECT_EQ(lane.samples(), 1000);
  std::vector<PacketPtr> packets = lane.TakePackets(true);
  std::int64_t covered = 0;
  for (const auto& packet : packets) covered += packet->duration;
  EXPECT_EQ(covered, 1000 + lane.codec_context()->initial_padding);
  EXPECT_TRUE(lane.TakePackets(true).empty());
}

TEST_F(AudioLane, LongGapPaddedInStepsIsOneRunOfSilence) {
  AudioLaneReencoder lane(kLaneRate, Stereo(), 256000, false);
  std::vector<PacketPtr> packets;
  for (std::int64_t end = 10000; end <= 100000; end += 10000) {
    lane.FinishSourceAt(end);
    for (auto& packet : lane.TakePackets(false)) packets.push_back(std::move(packet));
  }
  for (auto& packet : lane.TakePackets(true)) packets.push_back(std::move(packet));
  ASSERT_FALSE(packets.empty());
  std::int64_t next = packets.front()->pts;
  for (const auto& packet : packets) {
    EXPECT_EQ(packet->pts, next);
    next += packet->duration;
  }
  EXPECT_EQ(next, 100000);
  std::vector<float> decoded = ChannelSamples(DecodePackets(lane.codec_context(), packets), 0);
  EXPECT_GE(static_cast<std::int64_t>(decoded.size()), 100000);
  EXPECT_EQ(Peak(decoded, 0, static_cast<std::int64_t>(decoded.size())), 0.0f);
}

TEST_F(AudioLane, EmptyLaneFinishesWithoutPackets) {
  AudioLaneReencoder lane(kLaneRate, Stereo(), 256000, false);
  EXPECT_EQ(lane.samples(), 0);
  EXPECT_TRUE(lane.TakePackets(true).empty());
}

TEST_F(AudioLane, EndBeforeWhatTheLaneHoldsIsRefused) {
  AudioLaneReencoder lane(kLaneRate, Stereo(), 256000, false);
  lane.FinishSourceAt(5000);
  try {
    lane.FinishSourceAt(4000);
    FAIL() << "a lane was asked to shrink";
  } catch (const PlatformError& error) {
    EXPECT_THAT(std::string(error.what()), ::testing::HasSubstr("5000"));
    EXPECT_THAT(std::string(error.what()), ::testing::HasSubstr("4000"));
  }
  lane.TakePackets(true);
  EXPECT_THROW(lane.FinishSourceAt(6000), PlatformError);
}

TEST_F(AudioLane, RateTheEncoderCannotTakeIsAReadableError) {
  try {
    AudioLaneReencoder lane(12345, Stereo(), 256000, true);
    FAIL() << "12345 Hz was accepted";
  } catch (const PlatformError& error) {
    std::string text = error.what();
    EXPECT_THAT(text, ::testing::HasSubstr("AAC encoder"));
    EXPECT_THAT(text, ::testing::HasSubstr("12345 Hz"));
    EXPECT_THAT(text, ::testing::Not(::testing::HasSubstr("\n")));
  }
}

}  // namespace
