#include "tests/support/media_samples.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "platform/media/ffmpeg_reencode.h"
#include "platform/media/ffmpeg_source.h"
#include "tests/support/run_tool.h"

namespace media_samples {
namespace {

constexpr std::chrono::milliseconds kFfmpegTimeout{60000};

[[noreturn]] void Fail(const std::string& path, const std::string& reason) {
  throw std::runtime_error(path + ": " + reason);
}

void Check(int code, const std::string& path, const std::string& what) {
  if (code < 0) Fail(path, what + " failed: " + AvErrorText(code));
}

struct CodecCloser {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct SwrFreer {
  void operator()(SwrContext* context) const { swr_free(&context); }
};
using FormatPtr = FormatInputPtr;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecCloser>;
using SwrPtr = std::unique_ptr<SwrContext, SwrFreer>;

// Error-level library messages while DecodesCleanly runs.
struct LogTally {
  int errors = 0;
  std::string first;
};
LogTally* g_tally = nullptr;

void TallyCallback(void* object, int level, const char* format, va_list args) {
  if (!g_tally || level > AV_LOG_ERROR) return;
  char line[1024];
  int prefix = 1;
  av_log_format_line2(object, level, format, args, line, sizeof line, &prefix);
  if (g_tally->errors++ == 0) {
    g_tally->first = line;
    while (!g_tally->first.empty() && g_tally->first.back() == '\n') g_tally->first.pop_back();
  }
}

class LogTallyScope {
 public:
  explicit LogTallyScope(LogTally& tally) : level_(av_log_get_level()) {
    g_tally = &tally;
    av_log_set_callback(TallyCallback);
  }
  ~LogTallyScope() {
    // libavutil has no getter for the callback: the default one goes back, at the earlier level.
    av_log_set_callback(av_log_default_callback);
    av_log_set_level(level_);
    g_tally = nullptr;
  }

 private:
  int level_;
};

FormatPtr OpenInput(const std::string& path, bool find_stream_info) {
  if (!g_tally) av_log_set_level(AV_LOG_QUIET);
  AVFormatContext* raw = nullptr;
  Check(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), path, "opening");
  FormatPtr format(raw);
  if (find_stream_info) {
    Check(avformat_find_stream_info(format.get(), nullptr), path, "reading stream info");
  }
  return format;
}

PacketPtr NewPacket() {
  PacketPtr packet(av_packet_alloc());
  if (!packet) throw std::bad_alloc();
  return packet;
}

FramePtr NewFrame() {
  FramePtr frame(av_frame_alloc());
  if (!frame) throw std::bad_alloc();
  return frame;
}

CodecPtr OpenDecoder(const AVStream& stream, const std::string& path, int error_recognition) {
  const AVCodec* codec = avcodec_find_decoder(stream.codecpar->codec_id);
  if (!codec) Fail(path, "no decoder for stream " + std::to_string(stream.index));
  CodecPtr context(avcodec_alloc_context3(codec));
  if (!context) throw std::bad_alloc();
  Check(avcodec_parameters_to_context(context.get(), stream.codecpar), path, "decoder setup");
  // Without the packet time base the decoder cannot move frame timestamps past skipped samples.
  context->pkt_timebase = stream.time_base;
  context->thread_count = 1;
  context->err_recognition = error_recognition;
  Check(avcodec_open2(context.get(), codec, nullptr), path, "opening the decoder");
  return context;
}

double Seconds(int64_t value, AVRational time_base) {
  if (value == AV_NOPTS_VALUE) return std::numeric_limits<double>::quiet_NaN();
  return static_cast<double>(value) * av_q2d(time_base);
}

std::string FfmpegFormat(const std::string& path) {
  std::string extension = std::filesystem::path(path).extension().string();
  if (extension == ".mp4") return "mp4";
  if (extension == ".mov") return "mov";
  // ffmpeg maps a bare .m4v to the raw MPEG-4 video muxer; the ipod muxer writes M4V movies.
  if (extension == ".m4v") return "ipod";
  if (extension == ".mkv") return "matroska";
  if (extension == ".webm") return "webm";
  Fail(path, "cannot make a segment with extension '" + extension +
                 "' (use .mp4, .mov, .m4v, .mkv or .webm)");
}

std::string Number(double value) {
  std::ostringstream text;
  text.precision(17);
  text << value;
  return text.str();
}

void RunFfmpeg(const std::vector<std::string>& args, const std::string& path) {
  std::vector<std::string> full{"-nostdin", "-hide_banner", "-loglevel", "error", "-y"};
  full.insert(full.end(), args.begin(), args.end());
  RunOptions options;
  options.timeout = kFfmpegTimeout;
  RunResult run = RunProgram(kFfmpeg, full, options);
  if (run.timed_out) Fail(path, "ffmpeg timed out");
  if (run.status != 0) {
    std::string err = run.err;
    std::replace(err.begin(), err.end(), '\n', ' ');
    Fail(path, "ffmpeg failed (status " + std::to_string(run.status) + "): " + err);
  }
}

std::uint64_t Fnv1a(const uint8_t* data, int size) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (int i = 0; i < size; ++i) {
    hash ^= data[i];
    hash *= 0x100000001b3ull;
  }
  return hash;
}

// Audio frames converted to float planar at one rate, then averaged to mono.
class MonoMixer {
 public:
  explicit MonoMixer(const std::string& path) : path_(path) {}

  void Add(const AVFrame& frame, DecodedAudio& out) {
    if (!swr_ || frame.sample_rate != in_rate_ || frame.format != in_format_ ||
        av_channel_layout_compare(&frame.ch_layout, &in_layout_) != 0) {
      Flush(out);
      Configure(frame, out);
    }
    Convert(frame.extended_data, frame.nb_samples, out);
  }

  void Flush(DecodedAudio& out) {
    if (swr_) Convert(nullptr, 0, out);
  }

  ~MonoMixer() { av_channel_layout_uninit(&in_layout_); }

 private:
  void Configure(const AVFrame& frame, DecodedAudio& out) {
    if (out.sample_rate == 0) out.sample_rate = frame.sample_rate;
    av_channel_layout_uninit(&in_layout_);
    Check(av_channel_layout_copy(&in_layout_, &frame.ch_layout), path_, "channel layout");
    in_rate_ = frame.sample_rate;
    in_format_ = frame.format;
    SwrContext* raw = nullptr;
    Check(swr_alloc_set_opts2(&raw, &in_layout_, AV_SAMPLE_FMT_FLTP, out.sample_rate, &in_layout_,
                              static_cast<AVSampleFormat>(in_format_), in_rate_, 0, nullptr),
          path_, "resampler setup");
    swr_.reset(raw);
    Check(swr_init(swr_.get()), path_, "resampler init");
    channels_ = in_layout_.nb_channels;
  }

  void Convert(uint8_t** in, int in_samples, DecodedAudio& out) {
    int capacity = swr_get_out_samples(swr_.get(), in_samples);
    if (capacity <= 0) return;
    std::vector<std::vector<float>> planes(channels_, std::vector<float>(capacity));
    std::vector<uint8_t*> pointers;
    for (auto& plane : planes) pointers.push_back(reinterpret_cast<uint8_t*>(plane.data()));
    int made = swr_convert(swr_.get(), pointers.data(), capacity, const_cast<const uint8_t**>(in),
                           in_samples);
    Check(made, path_, "resampling");
    for (int i = 0; i < made; ++i) {
      float sum = 0;
      for (int c = 0; c < channels_; ++c) sum += planes[c][i];
      out.samples.push_back(sum / static_cast<float>(channels_));
    }
  }

  std::string path_;
  SwrPtr swr_;
  AVChannelLayout in_layout_{};
  int in_rate_ = 0;
  int in_format_ = -1;
  int channels_ = 0;
};

}  // namespace

void MakeSegment(const std::string& path, const SegmentPlan& plan) {
  if (!plan.has_video && plan.audio.empty()) Fail(path, "a segment needs video or audio");
  std::string format = FfmpegFormat(path);
  std::vector<std::string> args;
  if (plan.has_video) {
    args.insert(args.end(), {"-f", "lavfi", "-i",
                             "testsrc2=size=" + std::to_string(plan.width) + "x" +
                                 std::to_string(plan.height) + ":rate=" + std::to_string(plan.fps) +
                                 ":duration=" + Number(plan.video_duration)});
  }
  for (const AudioPlan& audio : plan.audio) {
    if (audio.start > 0) args.insert(args.end(), {"-itsoffset", Number(audio.start)});
    std::string tick = Number(kTickAmplitude) + "*sin(2*PI*" + Number(kTickFrequency) +
                       "*t)*lt(mod(t,1)," + Number(kTickLength) + ")";
    args.insert(args.end(),
                {"-f", "lavfi", "-i",
                 "aevalsrc=exprs='" + tick + "':s=" + std::to_string(audio.sample_rate) + ":c=" +
                     (audio.channels == 1 ? "mono" : "stereo") + ":d=" + Number(audio.duration)});
  }
  int input = 0;
  if (plan.has_video) {
    const std::string crf = std::to_string(plan.crf);
    args.insert(args.end(),
                {"-map", "0:v", "-c:v", plan.video_codec, "-pix_fmt", "yuv420p", "-threads", "1"});
    if (plan.video_codec == "libvpx" || plan.video_codec == "libvpx-vp9") {
      args.insert(args.end(),
                  {"-deadline", "realtime", "-cpu-used", "8", "-crf", crf, "-b:v", "1M"});
    } else if (plan.video_codec == "libsvtav1") {
      args.insert(args.end(), {"-preset", "12", "-crf", crf});
    } else if (plan.video_codec == "libx265") {
      args.insert(args.end(), {"-preset", "ultrafast", "-crf", crf, "-x265-params",
                               "log-level=none:pools=1:frame-threads=1"});
    } else {
      args.insert(args.end(),
                  {"-preset", "ultrafast", "-crf", crf, "-bf", std::to_string(plan.b_frames)});
    }
    if (plan.variable_rate) {
      args.insert(args.end(), {"-vf", "select='not(eq(mod(n,5),4))'", "-fps_mode", "vfr"});
    }
    ++input;
  }
  for (size_t i = 0; i < plan.audio.size(); ++i, ++input) {
    std::string index = std::to_string(i);
    args.insert(args.end(),
                {"-map", std::to_string(input) + ":a", "-c:a:" + index, plan.audio[i].codec});
  }
  if (plan.start != 0) args.insert(args.end(), {"-output_ts_offset", Number(plan.start)});
  if (plan.streaming) {
    if (format == "matroska" || format == "webm") {
      args.insert(args.end(), {"-live", "1"});
    } else {
      // A fragment every half second, as recorders cut them.
      args.insert(args.end(), {"-g", std::to_string(std::max(1, plan.fps / 2)), "-movflags",
                               "frag_keyframe+empty_moov+default_base_moof"});
    }
  }

  if (plan.rotation % 360 == 0 || !plan.has_video) {
    args.insert(args.end(), {"-f", format, path});
    RunFfmpeg(args, path);
    return;
  }
  // ffmpeg stores a rotation only on a stream copy (an encoded stream would be turned upright),
  // hence the second pass. 5.1 takes it as the output's rotate tag; 7.x ignores that tag and takes
  // -display_rotation on the input instead. Both count degrees counterclockwise.
  std::string unrotated = path + ".unrotated";
  args.insert(args.end(), {"-f", format, unrotated});
  RunFfmpeg(args, path);
  const int clockwise = (plan.rotation % 360 + 360) % 360;
  const std::string counterclockwise = std::to_string((360 - clockwise) % 360);
  try {
#if LIBAVFORMAT_VERSION_MAJOR >= 61
    RunFfmpeg({"-display_rotation:v:0", counterclockwise, "-i", unrotated, "-map", "0", "-c",
               "copy", "-f", format, path},
              path);
#else
    RunFfmpeg({"-i", unrotated, "-map", "0", "-c", "copy", "-metadata:s:v:0",
               "rotate=" + counterclockwise, "-f", format, path},
              path);
#endif
  } catch (...) {
    std::filesystem::remove(unrotated);
    throw;
  }
  std::filesystem::remove(unrotated);
  std::vector<StreamInfo> video = StreamsOfType(ProbeStreams(path), StreamType::kVideo);
  if (video.empty() || video[0].rotation != clockwise) {
    Fail(path, "ffmpeg did not store a rotation of " + std::to_string(clockwise) + " degrees");
  }
}

std::vector<StreamInfo> ProbeStreams(const std::string& path) {
  FormatPtr format = OpenInput(path, true);
  std::vector<StreamInfo> streams;
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    const AVStream& stream = *format->streams[i];
    const AVCodecParameters& codec = *stream.codecpar;
    StreamInfo info;
    info.type = codec.codec_type == AVMEDIA_TYPE_VIDEO   ? StreamType::kVideo
                : codec.codec_type == AVMEDIA_TYPE_AUDIO ? StreamType::kAudio
                                                         : StreamType::kOther;
    info.codec = avcodec_get_name(codec.codec_id);
    for (int shift = 0; codec.codec_tag && shift < 32; shift += 8) {
      info.tag += static_cast<char>((codec.codec_tag >> shift) & 0xff);
    }
    if (stream.start_time != AV_NOPTS_VALUE)
      info.start = Seconds(stream.start_time, stream.time_base);
    if (stream.duration != AV_NOPTS_VALUE)
      info.duration = Seconds(stream.duration, stream.time_base);
    info.width = codec.width;
    info.height = codec.height;
    info.sample_rate = codec.sample_rate;
    info.channels = codec.ch_layout.nb_channels;
    if (codec.extradata && codec.extradata_size > 0) {
      info.extradata.assign(reinterpret_cast<const char*>(codec.extradata), codec.extradata_size);
    }
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 31, 100)
    const AVPacketSideData* side = av_packet_side_data_get(
        codec.coded_side_data, codec.nb_coded_side_data, AV_PKT_DATA_DISPLAYMATRIX);
    const uint8_t* matrix = side ? side->data : nullptr;
    const size_t size = side ? side->size : 0;
#else
    size_t size = 0;
    const uint8_t* matrix = av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
#endif
    if (matrix && size >= 9 * sizeof(int32_t)) {
      const int32_t* values = reinterpret_cast<const int32_t*>(matrix);
      info.display_matrix.assign(values, values + 9);
      double counterclockwise = av_display_rotation_get(values);
      if (!std::isnan(counterclockwise)) {
        long clockwise = std::lround(-counterclockwise) % 360;
        info.rotation = static_cast<int>(clockwise < 0 ? clockwise + 360 : clockwise);
      }
    }
    streams.push_back(std::move(info));
  }
  return streams;
}

std::vector<StreamInfo> StreamsOfType(const std::vector<StreamInfo>& streams, StreamType type) {
  std::vector<StreamInfo> selected;
  for (const StreamInfo& stream : streams) {
    if (stream.type == type) selected.push_back(stream);
  }
  return selected;
}

std::vector<std::string> TopLevelBoxes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) Fail(path, "cannot open");
  file.seekg(0, std::ios::end);
  const std::uint64_t file_size = static_cast<std::uint64_t>(file.tellg());
  std::vector<std::string> boxes;
  std::uint64_t offset = 0;
  while (offset + 8 <= file_size) {
    unsigned char header[16];
    file.seekg(static_cast<std::streamoff>(offset));
    if (!file.read(reinterpret_cast<char*>(header), 8)) Fail(path, "cannot read box header");
    std::uint64_t size =
        (std::uint64_t{header[0]} << 24) | (header[1] << 16) | (header[2] << 8) | header[3];
    std::string type(reinterpret_cast<char*>(header + 4), 4);
    if (size == 1) {
      if (!file.read(reinterpret_cast<char*>(header + 8), 8)) Fail(path, "cannot read box size");
      size = 0;
      for (int i = 8; i < 16; ++i) size = (size << 8) | header[i];
    } else if (size == 0) {
      size = file_size - offset;
    }
    if (size < 8 || offset + size > file_size) {
      Fail(path, "box '" + type + "' at offset " + std::to_string(offset) + " overruns the file");
    }
    boxes.push_back(type);
    offset += size;
  }
  return boxes;
}

bool MoovBeforeMdat(const std::string& path) {
  for (const std::string& box : TopLevelBoxes(path)) {
    if (box == "moov") return true;
    if (box == "mdat") return false;
  }
  return false;
}

std::string MajorBrand(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) Fail(path, "cannot open");
  char header[12];
  if (!file.read(header, sizeof header)) return "";
  if (std::string(header + 4, 4) != "ftyp") return "";
  return std::string(header + 8, 4);
}

DecodedAudio DecodeAudioLane(const std::string& path, int lane) {
  FormatPtr format = OpenInput(path, false);
  int stream_index = -1;
  for (unsigned i = 0, audio = 0; i < format->nb_streams; ++i) {
    if (format->streams[i]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) {
      format->streams[i]->discard = AVDISCARD_ALL;
    } else if (static_cast<int>(audio++) == lane) {
      stream_index = static_cast<int>(i);
    } else {
      format->streams[i]->discard = AVDISCARD_ALL;
    }
  }
  if (stream_index < 0) Fail(path, "has no audio stream " + std::to_string(lane));
  const AVStream& stream = *format->streams[stream_index];
  CodecPtr decoder = OpenDecoder(stream, path, 0);

  DecodedAudio out;
  bool have_start = false;
  MonoMixer mixer(path);
  PacketPtr packet = NewPacket();
  FramePtr frame = NewFrame();
  auto drain = [&] {
    while (true) {
      int status = avcodec_receive_frame(decoder.get(), frame.get());
      if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return;
      Check(status, path, "decoding audio");
      if (!have_start) {
        out.start = Seconds(frame->best_effort_timestamp, stream.time_base);
        if (std::isnan(out.start)) out.start = 0;
        have_start = true;
      }
      mixer.Add(*frame, out);
      av_frame_unref(frame.get());
    }
  };
  while (true) {
    int status = av_read_frame(format.get(), packet.get());
    if (status == AVERROR_EOF) break;
    Check(status, path, "reading packets");
    if (packet->stream_index == stream_index) {
      Check(avcodec_send_packet(decoder.get(), packet.get()), path, "decoding audio");
      drain();
    }
    av_packet_unref(packet.get());
  }
  Check(avcodec_send_packet(decoder.get(), nullptr), path, "flushing the decoder");
  drain();
  mixer.Flush(out);
  return out;
}

std::vector<double> TickOnsets(const std::vector<float>& samples, int sample_rate, double threshold,
                               double min_silence) {
  std::vector<double> onsets;
  if (sample_rate <= 0) return onsets;
  const size_t needed_quiet = static_cast<size_t>(min_silence * sample_rate);
  size_t quiet = needed_quiet;
  for (size_t i = 0; i < samples.size(); ++i) {
    if (std::fabs(samples[i]) < threshold) {
      ++quiet;
      continue;
    }
    if (quiet >= needed_quiet) onsets.push_back(static_cast<double>(i) / sample_rate);
    quiet = 0;
  }
  return onsets;
}

std::vector<double> TickOnsets(const DecodedAudio& audio) {
  std::vector<double> onsets = TickOnsets(audio.samples, audio.sample_rate);
  for (double& onset : onsets) onset += audio.start;
  return onsets;
}

double Rms(const std::vector<float>& samples, int sample_rate, double t0, double t1) {
  if (sample_rate <= 0) return 0;
  const double last = static_cast<double>(samples.size());
  const size_t begin = static_cast<size_t>(std::clamp(std::ceil(t0 * sample_rate), 0.0, last));
  const size_t end = static_cast<size_t>(std::clamp(std::ceil(t1 * sample_rate), 0.0, last));
  if (end <= begin) return 0;
  double sum = 0;
  for (size_t i = begin; i < end; ++i) sum += static_cast<double>(samples[i]) * samples[i];
  return std::sqrt(sum / static_cast<double>(end - begin));
}

double Rms(const DecodedAudio& audio, double t0, double t1) {
  return Rms(audio.samples, audio.sample_rate, t0 - audio.start, t1 - audio.start);
}

TickComparison CompareTicks(const std::vector<double>& expected,
                            const std::vector<double>& measured, double window) {
  TickComparison comparison;
  std::vector<bool> used(measured.size(), false);
  int paired = 0;
  for (double want : expected) {
    int best = -1;
    for (size_t i = 0; i < measured.size(); ++i) {
      if (used[i] || std::fabs(measured[i] - want) > window) continue;
      if (best < 0 || std::fabs(measured[i] - want) < std::fabs(measured[best] - want)) {
        best = static_cast<int>(i);
      }
    }
    if (best < 0) {
      ++comparison.missing;
      comparison.errors.push_back(std::numeric_limits<double>::quiet_NaN());
      continue;
    }
    used[best] = true;
    ++paired;
    double error = measured[best] - want;
    comparison.errors.push_back(error);
    comparison.max_error = std::max(comparison.max_error, std::fabs(error));
  }
  comparison.unexpected = static_cast<int>(measured.size()) - paired;
  return comparison;
}

SegmentLayout LayoutOf(const SegmentPlan& plan) {
  SegmentLayout layout;
  layout.video_duration = plan.has_video ? plan.video_duration : 0.0;
  for (const AudioPlan& audio : plan.audio) {
    LaneLayout lane{0.0, audio.duration, {}};
    for (int n = 0; n < audio.duration; ++n) lane.ticks.push_back(n);
    layout.audio.push_back(std::move(lane));
  }
  return layout;
}

SegmentLayout ReadLayout(const std::string& path) {
  std::vector<StreamInfo> streams = ProbeStreams(path);
  std::vector<StreamInfo> video = StreamsOfType(streams, StreamType::kVideo);
  SegmentLayout layout;
  if (!video.empty()) layout.video_duration = video[0].duration;
  std::vector<StreamInfo> audio = StreamsOfType(streams, StreamType::kAudio);
  for (size_t lane = 0; lane < audio.size(); ++lane) {
    LaneLayout track{audio[lane].start, audio[lane].duration, {}};
    for (double onset : TickOnsets(DecodeAudioLane(path, static_cast<int>(lane)))) {
      track.ticks.push_back(onset - track.start);
    }
    layout.audio.push_back(std::move(track));
  }
  return layout;
}

std::vector<double> ExpectedTicks(const std::vector<SegmentLayout>& segments, int lane) {
  std::vector<double> ticks;
  double cursor = 0;
  for (const SegmentLayout& segment : segments) {
    if (lane < static_cast<int>(segment.audio.size())) {
      const LaneLayout& track = segment.audio[lane];
      double length = std::min(segment.video_duration, track.duration);
      for (double tick : track.ticks) {
        if (tick >= 0 && tick + kTickLength <= length + 1e-9) ticks.push_back(cursor + tick);
      }
    }
    cursor += segment.video_duration;
  }
  return ticks;
}

std::vector<Interval> ExpectedSilence(const std::vector<SegmentLayout>& segments, int lane) {
  std::vector<Interval> silence;
  double cursor = 0;
  for (const SegmentLayout& segment : segments) {
    double end = cursor + segment.video_duration;
    double from = cursor;
    if (lane < static_cast<int>(segment.audio.size())) {
      from = cursor + std::min(segment.video_duration, segment.audio[lane].duration);
    }
    if (from < end) {
      if (!silence.empty() && std::fabs(silence.back().to - from) < 1e-9) {
        silence.back().to = end;
      } else {
        silence.push_back({from, end});
      }
    }
    cursor = end;
  }
  return silence;
}

namespace {
std::vector<SegmentLayout> LayoutsOf(const std::vector<SegmentPlan>& plans) {
  std::vector<SegmentLayout> layouts;
  for (const SegmentPlan& plan : plans) layouts.push_back(LayoutOf(plan));
  return layouts;
}
}  // namespace

std::vector<double> ExpectedTicks(const std::vector<SegmentPlan>& segments, int lane) {
  return ExpectedTicks(LayoutsOf(segments), lane);
}

std::vector<Interval> ExpectedSilence(const std::vector<SegmentPlan>& segments, int lane) {
  return ExpectedSilence(LayoutsOf(segments), lane);
}

std::vector<PacketDigest> VideoPackets(const std::string& path) {
  FormatPtr format = OpenInput(path, false);
  int video = -1;
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    if (video < 0 && format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      video = static_cast<int>(i);
    } else {
      format->streams[i]->discard = AVDISCARD_ALL;
    }
  }
  if (video < 0) Fail(path, "has no video stream");
  const AVRational time_base = format->streams[video]->time_base;
  std::vector<PacketDigest> packets;
  PacketPtr packet = NewPacket();
  while (true) {
    int status = av_read_frame(format.get(), packet.get());
    if (status == AVERROR_EOF) break;
    Check(status, path, "reading packets");
    if (packet->stream_index == video) {
      packets.push_back({packet->size, Fnv1a(packet->data, packet->size),
                         Seconds(packet->pts, time_base), (packet->flags & AV_PKT_FLAG_KEY) != 0});
    }
    av_packet_unref(packet.get());
  }
  return packets;
}

DecodeReport DecodesCleanly(const std::string& path) {
  DecodeReport report;
  LogTally tally;
  {
    LogTallyScope scope(tally);
    FormatPtr format = OpenInput(path, false);
    std::vector<CodecPtr> decoders(format->nb_streams);
    report.frames.assign(format->nb_streams, 0);
    for (unsigned i = 0; i < format->nb_streams; ++i) {
      AVMediaType type = format->streams[i]->codecpar->codec_type;
      if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) continue;
      decoders[i] = OpenDecoder(*format->streams[i], path,
                                AV_EF_CRCCHECK | AV_EF_BITSTREAM | AV_EF_BUFFER | AV_EF_EXPLODE);
    }
    PacketPtr packet = NewPacket();
    FramePtr frame = NewFrame();
    auto note = [&](int status, const std::string& what) {
      if (report.errors++ == 0) report.first_error = what + ": " + AvErrorText(status);
    };
    auto drain = [&](unsigned index) {
      while (true) {
        int status = avcodec_receive_frame(decoders[index].get(), frame.get());
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return;
        if (status < 0) {
          note(status, "stream " + std::to_string(index) + " frame");
          return;
        }
        ++report.frames[index];
        av_frame_unref(frame.get());
      }
    };
    while (true) {
      int status = av_read_frame(format.get(), packet.get());
      if (status == AVERROR_EOF) break;
      if (status < 0) {
        note(status, "reading packets");
        break;
      }
      unsigned index = static_cast<unsigned>(packet->stream_index);
      if (index < decoders.size() && decoders[index]) {
        status = avcodec_send_packet(decoders[index].get(), packet.get());
        if (status < 0) note(status, "stream " + std::to_string(index) + " packet");
        drain(index);
      }
      av_packet_unref(packet.get());
    }
    for (unsigned i = 0; i < decoders.size(); ++i) {
      if (!decoders[i]) continue;
      avcodec_send_packet(decoders[i].get(), nullptr);
      drain(i);
    }
  }
  if (tally.errors > 0) {
    if (report.errors == 0) report.first_error = tally.first;
    report.errors += tally.errors;
  }
  return report;
}

void MakeWithFfmpeg(const std::vector<std::string>& args) { RunFfmpeg(args, args.back()); }

FormatInputPtr OpenInput(const std::string& path) { return OpenInput(path, true); }

int FirstStream(const AVFormatContext* input, AVMediaType type) {
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    if (input->streams[i]->codecpar->codec_type == type) return static_cast<int>(i);
  }
  throw std::runtime_error(std::string(input->url) + ": no " + av_get_media_type_string(type) +
                           " stream");
}

std::vector<FramePtr> DecodeFile(const std::string& path, AVMediaType type) {
  FormatInputPtr input = OpenInput(path);
  int index = FirstStream(input.get(), type);
  AVStream* stream = input->streams[index];
  StreamDecoder decoder(stream->codecpar, stream->time_base, path);
  std::vector<FramePtr> frames;
  PacketPtr packet = NewPacket();
  while (av_read_frame(input.get(), packet.get()) >= 0) {
    if (packet->stream_index == index) {
      for (auto& frame : decoder.Decode(packet.get())) frames.push_back(std::move(frame));
    }
    av_packet_unref(packet.get());
  }
  for (auto& frame : decoder.Decode(nullptr)) frames.push_back(std::move(frame));
  return frames;
}

std::vector<FramePtr> DecodePackets(const AVCodecContext* context,
                                    const std::vector<PacketPtr>& packets) {
  AVCodecParameters* parameters = avcodec_parameters_alloc();
  avcodec_parameters_from_context(parameters, context);
  StreamDecoder decoder(parameters, context->time_base, "encoded packets");
  avcodec_parameters_free(&parameters);
  std::vector<FramePtr> frames;
  for (const auto& packet : packets) {
    for (auto& frame : decoder.Decode(packet.get())) frames.push_back(std::move(frame));
  }
  for (auto& frame : decoder.Decode(nullptr)) frames.push_back(std::move(frame));
  return frames;
}

std::vector<float> ChannelSamples(const std::vector<FramePtr>& frames, int channel) {
  std::vector<float> samples;
  for (const auto& frame : frames) {
    if (frame->format != AV_SAMPLE_FMT_FLTP) throw std::runtime_error("frames not planar float");
    const float* data = reinterpret_cast<const float*>(frame->extended_data[channel]);
    samples.insert(samples.end(), data, data + frame->nb_samples);
  }
  return samples;
}

void WriteMp4(const std::string& path, const AVCodecContext* context,
              const std::vector<PacketPtr>& packets) {
  AVFormatContext* raw = nullptr;
  Check(avformat_alloc_output_context2(&raw, nullptr, "mp4", path.c_str()), path, "muxer setup");
  std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> output(
      raw, [](AVFormatContext* context) {
        if (context->pb) avio_closep(&context->pb);
        avformat_free_context(context);
      });
  AVStream* stream = avformat_new_stream(output.get(), nullptr);
  if (!stream) throw std::bad_alloc();
  Check(avcodec_parameters_from_context(stream->codecpar, context), path, "stream setup");
  stream->time_base = context->time_base;
  Check(avio_open(&output->pb, path.c_str(), AVIO_FLAG_WRITE), path, "opening");
  Check(avformat_write_header(output.get(), nullptr), path, "writing the header");
  for (const auto& packet : packets) {
    PacketPtr copy(av_packet_clone(packet.get()));
    av_packet_rescale_ts(copy.get(), context->time_base, stream->time_base);
    copy->stream_index = 0;
    Check(av_interleaved_write_frame(output.get(), copy.get()), path, "writing a packet");
  }
  Check(av_write_trailer(output.get()), path, "writing the trailer");
}

}  // namespace media_samples
