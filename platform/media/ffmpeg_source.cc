#include "platform/media/ffmpeg_source.h"

extern "C" {
#include <libavutil/display.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include <sys/stat.h>

#include <cerrno>
#include <cmath>

#include "platform/platform_error.h"

namespace {

// Enough for the stream headers of any movie the recorder writes; hostile files cannot make the
// probe read (or decode) more than this.
constexpr std::int64_t kProbeBytes = 5'000'000;
constexpr std::int64_t kAnalyzeMicroseconds = 5'000'000;

struct ParametersDeleter {
  void operator()(const AVCodecParameters* parameters) const {
    auto* owned = const_cast<AVCodecParameters*>(parameters);
    avcodec_parameters_free(&owned);
  }
};

// A movie whose sample table points past the end of the file has lost data.
bool SamplesPastEnd(const AVFormatContext& input) {
  const std::int64_t size = avio_size(input.pb);
  if (size <= 0) return false;
  for (unsigned i = 0; i < input.nb_streams; ++i) {
    const AVStream* stream = input.streams[i];
    const int count = avformat_index_get_entries_count(stream);
    for (int k = count - 1; k >= 0 && k >= count - 8; --k) {
      const AVIndexEntry* entry = avformat_index_get_entry(const_cast<AVStream*>(stream), k);
      if (entry != nullptr && entry->pos >= 0 && entry->pos + entry->size > size) return true;
    }
  }
  return false;
}

}  // namespace

std::string AvErrorText(int code) {
  switch (code) {
    case AVERROR_INVALIDDATA:
      return "not a movie file, or its data is damaged";
    case AVERROR_EOF:
      return "the file ends early (truncated)";
    case AVERROR_DECODER_NOT_FOUND:
      return "no decoder for its format";
    case AVERROR_ENCODER_NOT_FOUND:
      return "no encoder for the output format";
    case AVERROR_MUXER_NOT_FOUND:
      return "no writer for the output format";
    default:
      break;
  }
  char buffer[AV_ERROR_MAX_STRING_SIZE] = {};
  if (av_strerror(code, buffer, sizeof buffer) < 0) {
    return "FFmpeg error " + std::to_string(code);
  }
  return buffer;
}

void ThrowAvError(std::string_view action, const std::string& path, int code) {
  throw PlatformError(std::string(action) + " " + path + ": " + AvErrorText(code));
}

void QuietFfmpegLog() { av_log_set_level(AV_LOG_QUIET); }

InputPtr OpenMovie(const std::string& path, bool analyze) {
  QuietFfmpegLog();
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) ThrowAvError("Cannot open movie", path, AVERROR(errno));
  if (S_ISDIR(info.st_mode)) ThrowAvError("Cannot open movie", path, AVERROR(EISDIR));

  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  av_dict_set(&options, "format_whitelist", "mov,matroska", 0);
  av_dict_set_int(&options, "probesize", kProbeBytes, 0);
  av_dict_set_int(&options, "analyzeduration", kAnalyzeMicroseconds, 0);
  av_dict_set_int(&options, "max_streams", 64, 0);
  AVFormatContext* raw = nullptr;
  // "file:" keeps a path with a colon from being taken for another protocol.
  int rc = avformat_open_input(&raw, ("file:" + path).c_str(), nullptr, &options);
  av_dict_free(&options);
  if (rc < 0) ThrowAvError("Cannot open movie", path, rc);
  InputPtr input(raw);
  if (analyze) {
    rc = avformat_find_stream_info(input.get(), nullptr);
    if (rc < 0) ThrowAvError("Cannot open movie", path, rc);
  }
  if (SamplesPastEnd(*input)) ThrowAvError("Cannot open movie", path, AVERROR_EOF);
  return input;
}

SourceStream DescribeStream(const AVFormatContext& input, int index, const std::string& path) {
  const AVStream& stream = *input.streams[index];
  SourceStream source;
  source.path = path;
  source.index = index;
  source.type =
      stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO ? MediaType::kVideo : MediaType::kAudio;
  source.time_base = stream.time_base;
  AVCodecParameters* parameters = avcodec_parameters_alloc();
  if (parameters == nullptr || avcodec_parameters_copy(parameters, stream.codecpar) < 0) {
    avcodec_parameters_free(&parameters);
    ThrowAvError("Cannot open movie", path, AVERROR(ENOMEM));
  }
  source.parameters.reset(parameters, ParametersDeleter());
  source.frame_rate = stream.avg_frame_rate.num > 0 ? stream.avg_frame_rate : stream.r_frame_rate;

  source.start = stream.start_time != AV_NOPTS_VALUE ? stream.start_time : 0;
  if (stream.duration != AV_NOPTS_VALUE) {
    source.duration = stream.duration;
  } else if (input.duration != AV_NOPTS_VALUE) {
    source.duration = av_rescale_q(input.duration, AV_TIME_BASE_Q, stream.time_base);
  }
  if (source.duration < 0) source.duration = 0;

  source.first_packet_time = source.start;
  if (avformat_index_get_entries_count(&stream) > 0) {
    const AVIndexEntry* first = avformat_index_get_entry(const_cast<AVStream*>(&stream), 0);
    if (first != nullptr && first->timestamp != AV_NOPTS_VALUE) {
      source.first_packet_time = first->timestamp;
    }
  }

  if (std::string_view(input.iformat->name).starts_with("mov")) {
    source.packet_count = avformat_index_get_entries_count(&stream);
    for (int i = 0; i < source.packet_count && !source.hides_packets; ++i) {
      const AVIndexEntry* entry = avformat_index_get_entry(const_cast<AVStream*>(&stream), i);
      source.hides_packets = entry != nullptr && (entry->flags & AVINDEX_DISCARD_FRAME);
    }
  }

  size_t size = 0;
  const std::uint8_t* matrix = av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
  if (matrix != nullptr && size >= 9 * sizeof(std::int32_t)) {
    source.transform = TransformFromDisplayMatrix(reinterpret_cast<const std::int32_t*>(matrix));
  }
  return source;
}

Transform TransformFromDisplayMatrix(const std::int32_t matrix[9]) {
  constexpr double kUnit = 65536.0;
  return {matrix[0] / kUnit, matrix[1] / kUnit, matrix[3] / kUnit,
          matrix[4] / kUnit, matrix[6] / kUnit, matrix[7] / kUnit};
}

void DisplayMatrixFromTransform(const Transform& transform, std::int32_t matrix[9]) {
  auto fixed = [](double value) { return static_cast<std::int32_t>(std::lround(value * 65536.0)); };
  matrix[0] = fixed(transform.a);
  matrix[1] = fixed(transform.b);
  matrix[2] = 0;
  matrix[3] = fixed(transform.c);
  matrix[4] = fixed(transform.d);
  matrix[5] = 0;
  matrix[6] = fixed(transform.tx);
  matrix[7] = fixed(transform.ty);
  matrix[8] = 1 << 30;
}

std::int64_t ToTicks(const MediaTime& time, AVRational time_base) {
  const __int128 numerator = static_cast<__int128>(time.value) * time_base.den;
  const __int128 denominator = static_cast<__int128>(time.timescale) * time_base.num;
  __int128 quotient = numerator / denominator;
  __int128 remainder = numerator % denominator;
  if (remainder < 0) {
    remainder += denominator;
    quotient -= 1;
  }
  if (2 * remainder >= denominator) quotient += 1;
  return static_cast<std::int64_t>(quotient);
}
