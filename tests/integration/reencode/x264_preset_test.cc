#include "platform/media/x264_preset.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

#include <vector>

#include "platform/media/ffmpeg_reencode.h"

namespace {

constexpr std::int64_t k1080p = 1920 * 1080;

// 100, 200 and 400 pictures of 1080p a second on 2 cores.
const std::vector<X264Preset> kPresets = {
    {"slow", 100.0 * k1080p}, {"middle", 200.0 * k1080p}, {"quick", 400.0 * k1080p}};

TEST(X264Preset, TheSlowestWhoseEstimateFitsSixTenthsOfTheLimitIsChosen) {
  // 100 s of a 180 s limit: 60 % is 108 s.
  EXPECT_EQ(ChooseX264Preset(kPresets, 10'000, k1080p, 180, 2), "slow");
  // 110 s slow, 55 s middle.
  EXPECT_EQ(ChooseX264Preset(kPresets, 11'000, k1080p, 180, 2), "middle");
  // Twice the pixels: 220 s slow, 110 s middle, 55 s quick.
  EXPECT_EQ(ChooseX264Preset(kPresets, 11'000, 2 * k1080p, 180, 2), "quick");
}

TEST(X264Preset, WorkThatFitsNowhereTakesTheFastestAndNoLimitTheSlowest) {
  EXPECT_EQ(ChooseX264Preset(kPresets, 3600 * 30 * 60, k1080p, 180, 2), "quick");
  EXPECT_EQ(ChooseX264Preset(kPresets, 3600 * 30 * 60, k1080p, 0, 2), "slow");
  EXPECT_EQ(ChooseX264Preset(kPresets, 0, k1080p, 180, 2), "slow");
}

TEST(X264Preset, MoreCoresAffordASlowerPresetUpToEight) {
  // 220 s slow on 2 cores; 110 s on 4, 55 s on 8, still 55 s on 64.
  EXPECT_EQ(ChooseX264Preset(kPresets, 22'000, k1080p, 180, 2), "quick");
  EXPECT_EQ(ChooseX264Preset(kPresets, 22'000, k1080p, 180, 4), "middle");
  EXPECT_EQ(ChooseX264Preset(kPresets, 22'000, k1080p, 180, 8), "slow");
  EXPECT_EQ(ChooseX264Preset(kPresets, 44'000, k1080p, 180, 64), "middle");
  // One core: half the speed of two.
}

TEST(X264Preset, TheJoinsPresetsGoFromSlowestToFastestAndLibx264KnowsThem) {
  av_log_set_level(AV_LOG_QUIET);
  const auto presets = X264Presets();
  ASSERT_GE(presets.size(), 2u);
  EXPECT_EQ(presets.front().name, "veryfast");
  EXPECT_EQ(presets.back().name, "ultrafast");
  for (size_t i = 0; i < presets.size(); ++i) {
    if (i > 0) {
      EXPECT_GT(presets[i].pixels_per_second, presets[i - 1].pixels_per_second);
    }
    EXPECT_NO_THROW(VideoReencoder(64, 64, {1, 30}, {30, 1}, true, presets[i].name))
        << presets[i].name;
  }
}

}  // namespace
