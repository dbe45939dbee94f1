#include "platform/media/ffmpeg_copy_rules.h"

#include <algorithm>
#include <cstring>

#include "platform/media/ffmpeg_packet_source.h"

namespace {

bool SameExtradata(const AVCodecParameters& a, const AVCodecParameters& b) {
  return a.extradata_size == b.extradata_size &&
         (a.extradata_size == 0 || std::memcmp(a.extradata, b.extradata, a.extradata_size) == 0);
}

// H.264 and HEVC segments whose sizes or decoder configurations differ share one sample entry
// that allows parameter sets inside the samples (avc3, hev1): each segment's own go before its
// first picture. Whether |placements| can be carried so.
bool ParameterSetsCanTravelInBand(const std::vector<Placement>& placements) {
  if (placements.empty()) return false;
  const AVCodecParameters& first = *placements.front().source->parameters;
  if (first.codec_id != AV_CODEC_ID_H264 && first.codec_id != AV_CODEC_ID_HEVC) {
    return false;
  }
  int first_length = 0;
  if (!ParameterSets(first, first_length)) return false;
  for (const Placement& placement : placements) {
    const AVCodecParameters& parameters = *placement.source->parameters;
    int length = 0;
    if (parameters.codec_id != first.codec_id || parameters.width <= 0 || parameters.height <= 0 ||
        !ParameterSets(parameters, length) || length != first_length) {
      return false;
    }
  }
  return true;
}

bool IsCopyableAac(const AVCodecParameters& parameters) {
  if (parameters.codec_id != AV_CODEC_ID_AAC || parameters.extradata_size < 2 ||
      parameters.sample_rate <= 0 || parameters.ch_layout.nb_channels <= 0) {
    return false;
  }
  const std::uint8_t* config = parameters.extradata;
  const int object_type = config[0] >> 3;
  const int channel_config = (config[1] >> 3) & 0x0f;
  const bool short_frames = (config[1] & 0x04) != 0;
  return object_type == 2 && channel_config != 0 && !short_frames;
}

// Opus as MPEG-4 carries it (mono or stereo, channel mapping 0) with packets of one length, known
// from reading them.
bool IsCopyableOpus(const SourceStream& source) {
  const AVCodecParameters& parameters = *source.parameters;
  return parameters.codec_id == AV_CODEC_ID_OPUS && parameters.extradata_size >= 19 &&
         parameters.extradata[18] == 0 && parameters.sample_rate == 48000 &&
         (parameters.ch_layout.nb_channels == 1 || parameters.ch_layout.nb_channels == 2) &&
         source.frame_samples > 0 && source.frame_samples <= 48000 * 120 / 1000;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> ParameterSets(const AVCodecParameters& parameters,
                                                       int& length_size) {
  const std::uint8_t* data = parameters.extradata;
  const int size = parameters.extradata_size;
  int at = 0;
  std::vector<std::uint8_t> sets;
  // Copies |count| NAL units, each a 16-bit length and its bytes, from |at|.
  auto take_units = [&](int count) {
    for (int i = 0; i < count; ++i) {
      if (at + 2 > size) return false;
      const int length = data[at] << 8 | data[at + 1];
      at += 2;
      if (length == 0 || at + length > size) return false;
      for (int b = length_size - 1; b >= 0; --b) {
        sets.push_back(static_cast<std::uint8_t>(static_cast<unsigned>(length) >> (8 * b)));
      }
      sets.insert(sets.end(), data + at, data + at + length);
      at += length;
    }
    return true;
  };
  if (parameters.codec_id == AV_CODEC_ID_H264) {
    if (size < 7 || data[0] != 1) return std::nullopt;
    length_size = (data[4] & 3) + 1;
    at = 6;
    if (!take_units(data[5] & 0x1f) || at >= size) return std::nullopt;
    const int pps = data[at++];
    if (!take_units(pps)) return std::nullopt;
  } else if (parameters.codec_id == AV_CODEC_ID_HEVC) {
    if (size < 23 || data[0] != 1) return std::nullopt;
    length_size = (data[21] & 3) + 1;
    const int arrays = data[22];
    at = 23;
    for (int i = 0; i < arrays; ++i) {
      if (at + 3 > size) return std::nullopt;
      const int count = data[at + 1] << 8 | data[at + 2];
      at += 3;
      if (!take_units(count)) return std::nullopt;
    }
  } else {
    return std::nullopt;
  }
  if (length_size == 3 || sets.empty()) return std::nullopt;
  return sets;
}

bool ConfigurationsDiffer(const std::vector<Placement>& placements) {
  const AVCodecParameters& first = *placements.front().source->parameters;
  return std::any_of(placements.begin(), placements.end(), [&](const Placement& placement) {
    const AVCodecParameters& parameters = *placement.source->parameters;
    return parameters.width != first.width || parameters.height != first.height ||
           !SameExtradata(parameters, first);
  });
}

bool VideoPlanIsCopyable(const TrackPlan& plan) {
  const std::vector<Placement> placements = PlacementsInOrder(plan);
  if (placements.empty()) return false;
  const AVCodecParameters& first = *placements.front().source->parameters;
  const AVOutputFormat* mp4 = av_guess_format("mp4", nullptr, nullptr);
  if (mp4 == nullptr || avformat_query_codec(mp4, first.codec_id, FF_COMPLIANCE_NORMAL) != 1) {
    return false;
  }
  for (const Placement& placement : placements) {
    const SourceStream& source = *placement.source;
    const AVCodecParameters& parameters = *source.parameters;
    // A range that starts inside the track would need a cut between key frames.
    if (!MediaTimeEqual(placement.range.start,
                        MediaTime{source.start * source.time_base.num, source.time_base.den})) {
      return false;
    }
    // MPEG-4 could only hide such packets with an edit list at every join.
    if (source.hides_packets) return false;
    if (parameters.codec_id != first.codec_id) return false;
    // The sample entry is written from the stream's description (VP9's from its pixel format):
    // where the probe never saw a picture, only decoding tells.
    if (parameters.format == AV_PIX_FMT_NONE || parameters.width <= 0 || parameters.height <= 0) {
      return false;
    }
  }
  return !ConfigurationsDiffer(placements) || ParameterSetsCanTravelInBand(placements);
}

bool AudioPlanIsCopyable(const TrackPlan& plan) {
  const std::vector<Placement> placements = PlacementsInOrder(plan);
  if (placements.empty()) return false;
  const SourceStream& first_source = *placements.front().source;
  const AVCodecParameters& first = *first_source.parameters;
  if (first.codec_id == AV_CODEC_ID_OPUS) {
    // One configuration: the same identification header and frame length in every segment.
    return std::all_of(placements.begin(), placements.end(), [&](const Placement& placement) {
      const SourceStream& source = *placement.source;
      return IsCopyableOpus(source) && source.frame_samples == first_source.frame_samples &&
             SameExtradata(*source.parameters, first);
    });
  }
  for (const Placement& placement : placements) {
    const AVCodecParameters& parameters = *placement.source->parameters;
    if (!IsCopyableAac(parameters) || parameters.sample_rate != first.sample_rate ||
        parameters.ch_layout.nb_channels != first.ch_layout.nb_channels ||
        std::memcmp(parameters.extradata, first.extradata, 2) != 0) {
      return false;
    }
  }
  return true;
}

std::unique_ptr<PacketSource> MakeVideoSource(const TrackPlan& plan, const ExportContext& context) {
  if (VideoPlanIsCopyable(plan)) {
    return MakeVideoCopySource(plan, context, ConfigurationsDiffer(PlacementsInOrder(plan)));
  }
  return MakeVideoReencodeSource(plan, context);
}

std::unique_ptr<PacketSource> MakeAudioSource(const TrackPlan& plan, const ExportContext& context) {
  if (AudioPlanIsCopyable(plan)) return MakeAudioCopySource(plan, context);
  return MakeAudioReencodeSource(plan, context);
}
