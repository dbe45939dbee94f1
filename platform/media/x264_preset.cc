#include "platform/media/x264_preset.h"

#include <algorithm>

namespace {

constexpr double kShareOfLimit = 0.6;
constexpr int kMeasuredCores = 2;
constexpr int kMaxScaledCores = 8;

// bench/reencode_speed on a 2-core machine: 1080p30 at CRF 18, wall clock, decoding included.
constexpr X264Preset kPresets[] = {
    {"veryfast", 59.0 * 1920 * 1080},
    {"superfast", 77.0 * 1920 * 1080},
    {"ultrafast", 132.0 * 1920 * 1080},
};

}  // namespace

std::span<const X264Preset> X264Presets() { return kPresets; }

std::string_view ChooseX264Preset(std::span<const X264Preset> presets, std::int64_t frames,
                                  std::int64_t pixels, double time_limit, int cores) {
  if (presets.empty()) return {};
  if (time_limit <= 0) return presets.front().name;
  const double scale = static_cast<double>(std::clamp(cores, 1, kMaxScaledCores)) / kMeasuredCores;
  const double work = static_cast<double>(std::max<std::int64_t>(frames, 0)) *
                      static_cast<double>(std::max<std::int64_t>(pixels, 0));
  for (const X264Preset& preset : presets) {
    if (work / (preset.pixels_per_second * scale) <= kShareOfLimit * time_limit) {
      return preset.name;
    }
  }
  return presets.back().name;
}
