#pragma once

// When the export copies a track's packets instead of re-encoding them. Used only inside
// platform/media.

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/media/ffmpeg_composition.h"

// Whether the plan's packets can be copied (what MakeVideoSource and MakeAudioSource decide by).
// Video: MPEG-4 carries the codec, every placement is of it and starts at its track's start; their
// sizes and decoder configurations match the first's, or their parameter sets can travel in band.
// Audio: every placement AAC-LC with one configuration, or Opus with one header and frame length.
bool VideoPlanIsCopyable(const TrackPlan& plan);
bool AudioPlanIsCopyable(const TrackPlan& plan);

// Whether a placement's size or decoder configuration differs from the first's.
bool ConfigurationsDiffer(const std::vector<Placement>& placements);

// The parameter sets (H.264 SPS and PPS; HEVC VPS, SPS, PPS and SEI) of an avcC or hvcC decoder
// configuration, each with the length prefix the samples use; the prefix's size in bytes in
// |length_size|. Nothing when the configuration is not one of these or is damaged.
std::optional<std::vector<std::uint8_t>> ParameterSets(const AVCodecParameters& parameters,
                                                       int& length_size);
