#pragma once

// Which libx264 preset a re-encode can afford in the time it has. A pure rule on plain numbers.

#include <cstdint>
#include <span>
#include <string_view>

struct X264Preset {
  std::string_view name;     // libx264's name for it
  double pixels_per_second;  // the re-encode's speed with it, decoding included, on 2 cores
};

// The presets a re-encode may use, the slowest (the best picture at a given CRF) first.
std::span<const X264Preset> X264Presets();

// The slowest of |presets| (ordered slowest first) whose estimated time for |frames| pictures of
// |pixels| pixels each fits within 60 % of |time_limit| seconds; the fastest when none does, the
// slowest when there is no limit (|time_limit| <= 0). Speeds scale with |cores| from the 2 they
// were measured on, up to 8.
std::string_view ChooseX264Preset(std::span<const X264Preset> presets, std::int64_t frames,
                                  std::int64_t pixels, double time_limit, int cores);
