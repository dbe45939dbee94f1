#include "platform/media/ffmpeg_source.h"

extern "C" {
#include <libavutil/display.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

#include "platform/platform_error.h"

namespace {

// Enough for the stream headers of any movie the recorder writes; hostile files cannot make the
// probe read (or decode) more than this.
constexpr std::int64_t kProbeBytes = 5'000'000;
// The probe reads on until it has seen a picture of every video stream, within those bytes: a
// recorder whose picture came late has many seconds of sound alone at the start of its file.
constexpr std::int64_t kAnalyzeMicroseconds = 3'600'000'000;

struct ParametersDeleter {
  void operator()(const AVCodecParameters* parameters) const {
    auto* owned = const_cast<AVCodecParameters*>(parameters);
    avcodec_parameters_free(&owned);
  }
};

// How many 48 kHz samples each packet of an Opus stream holds, from the packet's own table of
// contents: recorders time their packets by a capture clock that jitters around the frame length.
class OpusPacketLength {
 public:
  explicit OpusPacketLength(const AVCodecParameters& parameters)
      : parser_(av_parser_init(AV_CODEC_ID_OPUS)), context_(avcodec_alloc_context3(nullptr)) {
    if (!parser_ || !context_ || avcodec_parameters_to_context(context_.get(), &parameters) < 0) {
      parser_.reset();
      return;
    }
    parser_->flags |= PARSER_FLAG_COMPLETE_FRAMES;
  }

  // 0 when the packet's table of contents cannot be read.
  int Samples(const AVPacket& packet) {
    if (!parser_ || packet.size <= 0) return 0;
    std::uint8_t* data = nullptr;
    int size = 0;
    parser_->duration = 0;
    av_parser_parse2(parser_.get(), context_.get(), &data, &size, packet.data, packet.size,
                     AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    return size == packet.size ? std::max(0, parser_->duration) : 0;
  }

 private:
  struct ParserClose {
    void operator()(AVCodecParserContext* parser) const { av_parser_close(parser); }
  };
  struct ContextFree {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
  };
  std::unique_ptr<AVCodecParserContext, ParserClose> parser_;
  std::unique_ptr<AVCodecContext, ContextFree> context_;
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

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// The top-level boxes of the MPEG-4 file at |path| whose headers can be read, in order, up to the
// first of type |stop|; only box headers are read. A box that runs past the end of the file (cut
// off) ends the list and is not whole.
struct BoxHeader {
  std::string type;
  bool whole = true;
};
std::vector<BoxHeader> TopLevelBoxes(const std::string& path, std::string_view stop) {
  constexpr size_t kMaxBoxes = 1 << 20;
  std::vector<BoxHeader> boxes;
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file || ::fseeko(file.get(), 0, SEEK_END) != 0) return boxes;
  const off_t size = ::ftello(file.get());
  off_t offset = 0;
  while (offset + 8 <= size && boxes.size() < kMaxBoxes) {
    unsigned char header[16];
    if (::fseeko(file.get(), offset, SEEK_SET) != 0 || std::fread(header, 1, 8, file.get()) != 8) {
      break;
    }
    std::uint64_t box =
        (std::uint64_t{header[0]} << 24) | (header[1] << 16) | (header[2] << 8) | header[3];
    if (box == 1) {
      if (std::fread(header + 8, 1, 8, file.get()) != 8) break;
      box = 0;
      for (int i = 8; i < 16; ++i) box = (box << 8) | header[i];
    } else if (box == 0) {
      box = static_cast<std::uint64_t>(size - offset);
    }
    if (box < 8) break;
    boxes.push_back({std::string(reinterpret_cast<const char*>(header + 4), 4),
                     box <= static_cast<std::uint64_t>(size - offset)});
    if (!boxes.back().whole || boxes.back().type == stop) break;
    offset += static_cast<off_t>(box);
  }
  return boxes;
}

// An MPEG-4 file that a recorder began (it has its file type and media) but never finished: the
// index, written last, is missing or cut off.
bool RecordingLacksIndex(const std::string& path) {
  const std::vector<BoxHeader> boxes = TopLevelBoxes(path, "moov");
  return !boxes.empty() && boxes.front().type == "ftyp" &&
         (boxes.back().type != "moov" || !boxes.back().whole);
}

[[noreturn]] void ThrowTablesTooLarge(const std::string& path) {
  throw PlatformError("Cannot open movie " + path + ": its tables claim more than " +
                      std::to_string(kMaxFfmpegAllocation >> 20) +
                      " MB, so its data is damaged");
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

void ThrowAvError(const std::string& subject, int code) {
  throw PlatformError(subject + ": " + AvErrorText(code));
}

void ThrowAvError(std::string_view action, const std::string& path, int code) {
  ThrowAvError(std::string(action) + " " + path, code);
}

void SetUpFfmpeg() {
  av_log_set_level(AV_LOG_QUIET);
  // A day of 60 fps video indexes about 5 million samples at 24 bytes each: 120 MB.
  av_max_alloc(kMaxFfmpegAllocation);
}

InputPtr OpenMovie(const std::string& path, bool analyze) {
  SetUpFfmpeg();
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
  if (rc == AVERROR(ENOMEM)) ThrowTablesTooLarge(path);
  if (rc < 0) {
    if (rc == AVERROR_INVALIDDATA && RecordingLacksIndex(path)) {
      throw PlatformError("Cannot open movie " + path +
                          ": the recording was not finished: it has no index");
    }
    ThrowAvError("Cannot open movie", path, rc);
  }
  InputPtr input(raw);
  if (analyze) {
    rc = avformat_find_stream_info(input.get(), nullptr);
    if (rc == AVERROR(ENOMEM)) ThrowTablesTooLarge(path);
    if (rc < 0) ThrowAvError("Cannot open movie", path, rc);
  }
  // A fragmented recording that was cut off keeps its complete fragments (ScanPackets).
  if (SamplesPastEnd(*input) && !IsFragmentedMp4(path)) {
    ThrowAvError("Cannot open movie", path, AVERROR_EOF);
  }
  return input;
}

bool IsFragmentedMp4(const std::string& path) {
  const std::vector<BoxHeader> boxes = TopLevelBoxes(path, "moof");
  return !boxes.empty() && boxes.back().type == "moof";
}

bool NeedsPacketScan(const AVFormatContext& input, const std::string& path) {
  if (!std::string_view(input.iformat->name).starts_with("mov")) return true;
  return IsFragmentedMp4(path);
}

std::vector<PacketSpan> ScanPackets(AVFormatContext& input, const std::string& path,
                                    bool& ends_early) {
  struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
  };
  // The latest packet of a stream, counted once its length is known: its own duration, or when
  // the container gives none (fragments, blocks without one), the time to the stream's next
  // packet, and for the last packet the length of the one before.
  struct Pending {
    bool held = false;
    std::int64_t time = 0;  // decoding time
    std::int64_t pts = AV_NOPTS_VALUE;
    std::int64_t duration = 0;
    std::int64_t length = 0;  // of the packet counted before it
    int samples = 0;          // audio samples it holds, when the packet itself tells
  };
  std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
  if (!packet) ThrowAvError("Cannot open movie", path, AVERROR(ENOMEM));
  std::vector<PacketSpan> spans(input.nb_streams);
  std::vector<Pending> pending(input.nb_streams);
  std::vector<std::unique_ptr<OpusPacketLength>> opus(input.nb_streams);
  for (unsigned i = 0; i < input.nb_streams; ++i) {
    if (input.streams[i]->codecpar->codec_id == AV_CODEC_ID_OPUS) {
      opus[i] = std::make_unique<OpusPacketLength>(*input.streams[i]->codecpar);
    }
  }
  auto settle = [&](int index, std::int64_t length, bool last) {
    PacketSpan& span = spans[index];
    const Pending& held = pending[index];
    std::int64_t end = 0;
    if (held.pts != AV_NOPTS_VALUE && !__builtin_add_overflow(held.pts, length, &end)) {
      if (span.end == AV_NOPTS_VALUE || end > span.end) span.end = end;
    }
    const AVCodecParameters& codec = *input.streams[index]->codecpar;
    if (codec.codec_type != AVMEDIA_TYPE_AUDIO || codec.sample_rate <= 0) return;
    // Every packet but the last must hold the same number of samples.
    const std::int64_t samples =
        held.samples > 0
            ? held.samples
            : av_rescale_q(length, input.streams[index]->time_base, {1, codec.sample_rate});
    if (span.frame_samples < 0) return;
    if (last) {
      if (span.frame_samples == 0 && samples > 0) span.frame_samples = samples;
      return;
    }
    const bool steady = samples > 0 && (span.frame_samples == 0 || span.frame_samples == samples);
    span.frame_samples = steady ? samples : -1;
  };
  ends_early = false;
  int failure = 0;
  std::int64_t total = 0;
  while (true) {
    const int rc = av_read_frame(&input, packet.get());
    if (rc == AVERROR_EOF) break;
    if (rc < 0 || (packet->flags & AV_PKT_FLAG_CORRUPT)) {
      // Cut off: a packet short of its data, or nothing after it that can be read.
      ends_early = true;
      failure = rc < 0 ? rc : AVERROR_EOF;
      break;
    }
    const int index = packet->stream_index;
    if (index >= 0 && index < static_cast<int>(spans.size())) {
      PacketSpan& span = spans[index];
      Pending& held = pending[index];
      const std::int64_t pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
      const std::int64_t time = packet->dts != AV_NOPTS_VALUE ? packet->dts : pts;
      if (time == AV_NOPTS_VALUE) {
        // No time at all (a hostile file): counted, but it cannot place the stream.
        ++span.count;
        ++total;
        av_packet_unref(packet.get());
        continue;
      }
      if (span.count == 0) span.first_time = time;
      const int samples = opus[index] ? opus[index]->Samples(*packet) : 0;
      if (samples > 0) {
        packet->duration = av_rescale_q(samples, {1, 48000}, input.streams[index]->time_base);
      }
      if (held.held) {
        std::int64_t elapsed = 0;
        if (held.time == AV_NOPTS_VALUE || __builtin_sub_overflow(time, held.time, &elapsed)) {
          elapsed = 0;
        }
        const std::int64_t length = held.duration > 0 ? held.duration : elapsed;
        settle(index, length, false);
        held.length = length;
      }
      const bool shown = pts != AV_NOPTS_VALUE && !(packet->flags & AV_PKT_FLAG_DISCARD);
      if (shown && (span.first_pts == AV_NOPTS_VALUE || pts < span.first_pts)) {
        span.first_pts = pts;
      }
      held = {true, time, shown ? pts : AV_NOPTS_VALUE, packet->duration, held.length, samples};
      ++span.count;
      ++total;
    }
    av_packet_unref(packet.get());
  }
  for (size_t i = 0; i < spans.size(); ++i) {
    const Pending& held = pending[i];
    if (held.held)
      settle(static_cast<int>(i), held.duration > 0 ? held.duration : held.length, true);
  }
  if (total == 0) {
    ThrowAvError("Cannot open movie", path, failure == AVERROR_INVALIDDATA ? failure : AVERROR_EOF);
  }
  return spans;
}

int OpusPreSkip(const AVCodecParameters& parameters) {
  // The identification header ("OpusHead", version, channels, then the pre-skip, little-endian).
  if (parameters.codec_id != AV_CODEC_ID_OPUS || parameters.extradata_size < 19) return 0;
  return parameters.extradata[10] | (parameters.extradata[11] << 8);
}

SourceStream DescribeStream(const AVFormatContext& input, int index, const std::string& path,
                            const PacketSpan* span, bool ends_early) {
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

  source.stores_decoding_times = std::string_view(input.iformat->name).starts_with("mov");
  if (source.stores_decoding_times) {
    source.packet_count = avformat_index_get_entries_count(&stream);
    for (int i = 0; i < source.packet_count && !source.hides_packets; ++i) {
      const AVIndexEntry* entry = avformat_index_get_entry(const_cast<AVStream*>(&stream), i);
      source.hides_packets = entry != nullptr && (entry->flags & AVINDEX_DISCARD_FRAME);
    }
    // An indexed Opus track: every sample but the last lasts as long as the first.
    if (stream.codecpar->codec_id == AV_CODEC_ID_OPUS && source.packet_count >= 2) {
      std::int64_t previous = AV_NOPTS_VALUE;
      for (int i = 0; i < source.packet_count && source.frame_samples >= 0; ++i) {
        const AVIndexEntry* entry = avformat_index_get_entry(const_cast<AVStream*>(&stream), i);
        const std::int64_t time = entry != nullptr ? entry->timestamp : AV_NOPTS_VALUE;
        std::int64_t step = 0;
        if (time == AV_NOPTS_VALUE ||
            (previous != AV_NOPTS_VALUE && __builtin_sub_overflow(time, previous, &step))) {
          source.frame_samples = -1;
          break;
        }
        if (previous != AV_NOPTS_VALUE) {
          const std::int64_t samples = av_rescale_q(step, stream.time_base, {1, 48000});
          const bool steady =
              samples > 0 && (source.frame_samples == 0 || source.frame_samples == samples);
          source.frame_samples = steady ? samples : -1;
        }
        previous = time;
      }
    }
  }

  if (span != nullptr) {
    // The packets are what plays: first presentation time to the end of the last frame.
    source.packet_count = span->count;
    source.ends_early = ends_early;
    source.frame_samples = span->frame_samples;
    if (span->first_pts != AV_NOPTS_VALUE && span->end != AV_NOPTS_VALUE) {
      source.first_packet_time = span->first_time != AV_NOPTS_VALUE
                                     ? std::min(span->first_time, span->first_pts)
                                     : span->first_pts;
      source.start = span->first_pts;
      // An Opus stream's first samples only prime its decoder.
      if (const int pre_skip = OpusPreSkip(*stream.codecpar); pre_skip > 0) {
        source.start = std::min(
            span->end, span->first_pts + av_rescale_q(pre_skip, {1, 48000}, stream.time_base));
      }
      source.duration = std::max<std::int64_t>(0, span->end - source.start);
    } else {
      source.start = source.first_packet_time = 0;
      source.duration = 0;
    }
  }

  source.transform = StreamTransform(stream);
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

// FFmpeg 6.1 moved a stream's side data into its codec parameters (the AVStream calls are
// deprecated from then on); Debian 12 has 5.1.
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 31, 100)
Transform StreamTransform(const AVStream& stream) {
  const AVPacketSideData* data =
      av_packet_side_data_get(stream.codecpar->coded_side_data, stream.codecpar->nb_coded_side_data,
                              AV_PKT_DATA_DISPLAYMATRIX);
  if (data == nullptr || data->size < 9 * sizeof(std::int32_t)) return {};
  return TransformFromDisplayMatrix(reinterpret_cast<const std::int32_t*>(data->data));
}

void SetStreamTransform(AVStream* stream, const Transform& transform) {
  if (transform == Transform{}) return;
  AVPacketSideData* data = av_packet_side_data_new(
      &stream->codecpar->coded_side_data, &stream->codecpar->nb_coded_side_data,
      AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(std::int32_t), 0);
  if (data == nullptr) throw PlatformError("Cannot export: out of memory");
  DisplayMatrixFromTransform(transform, reinterpret_cast<std::int32_t*>(data->data));
}
#else
Transform StreamTransform(const AVStream& stream) {
  size_t size = 0;
  const std::uint8_t* matrix = av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
  if (matrix == nullptr || size < 9 * sizeof(std::int32_t)) return {};
  return TransformFromDisplayMatrix(reinterpret_cast<const std::int32_t*>(matrix));
}

void SetStreamTransform(AVStream* stream, const Transform& transform) {
  if (transform == Transform{}) return;
  auto* matrix = reinterpret_cast<std::int32_t*>(
      av_stream_new_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(std::int32_t)));
  if (matrix == nullptr) throw PlatformError("Cannot export: out of memory");
  DisplayMatrixFromTransform(transform, matrix);
}
#endif

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

AVChannelLayout ChannelLayoutOf(const AVCodecParameters& parameters) {
  AVChannelLayout layout{};
  if (parameters.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC ||
      av_channel_layout_copy(&layout, &parameters.ch_layout) < 0) {
    av_channel_layout_default(&layout, std::clamp(parameters.ch_layout.nb_channels, 1, 8));
  }
  return layout;
}
