#include "platform/media/ffmpeg_export.h"

#include <atomic>
#include <mutex>
#include <thread>

#include "platform/media/ffmpeg_packet_source.h"
#include "platform/media/pending_file.h"
#include "platform/platform_error.h"

namespace {

struct AvOutputDeleter {
  void operator()(AVFormatContext* context) const {
    if (context->pb != nullptr) avio_closep(&context->pb);
    avformat_free_context(context);
  }
};
using OutputPtr = std::unique_ptr<AVFormatContext, AvOutputDeleter>;

MediaTime TimelineEnd(const std::vector<TrackPlan>& plans) {
  MediaTime end = kMediaTimeZero;
  for (const TrackPlan& plan : plans) {
    for (const Placement& placement : plan.placements) {
      const MediaTime placement_end = MediaTimeAdd(placement.at, placement.range.duration);
      if (MediaTimeCompare(placement_end, end) > 0) end = placement_end;
    }
  }
  return end;
}

// Per sample at most: stts, ctts and co64 8 bytes each, stsc 12, stsz and stss 4 each.
constexpr std::int64_t kMoovBytesPerPacket = 48;
constexpr std::int64_t kMoovBytesPerStream = 4096;
constexpr std::int64_t kMoovBytesFixed = 65536;

// Puts the index (moov) before the media. When every packet can be counted beforehand, room for
// the largest index those packets can need is kept at the start of the file, so the media is
// written once; otherwise the muxer moves the whole media behind the index at the end.
void SetMoovFirst(const std::vector<std::unique_ptr<PacketSource>>& sources,
                  AVDictionary** options) {
  std::int64_t reserve = kMoovBytesFixed;
  for (const auto& source : sources) {
    const std::int64_t packets = source->MaxPackets();
    if (packets < 0 ||
        packets > (INT32_MAX - reserve - kMoovBytesPerStream) / kMoovBytesPerPacket) {
      av_dict_set(options, "movflags", "+faststart", 0);
      return;
    }
    reserve += kMoovBytesPerStream + kMoovBytesPerPacket * packets;
  }
  av_dict_set_int(options, "moov_size", reserve, 0);
}

// Everything one export needs, shared by the session and the export's thread.
class ExportJob {
 public:
  explicit ExportJob(std::vector<TrackPlan> plans) : plans_(std::move(plans)) {}

  void SetOutputPath(const std::string& path) { output_path_ = path; }
  void SetOptimizeForNetworkUse(bool optimize) { optimize_ = optimize; }
  void SetTimeLimit(double seconds) { time_limit_ = seconds; }

  // Claims the job for one run; false when it already ran.
  bool Start() {
    std::lock_guard lock(mutex_);
    if (status_ != ExportStatus::kUnknown && status_ != ExportStatus::kWaiting) return false;
    status_ = ExportStatus::kExporting;
    return true;
  }

  // Runs the export to its end, recording the outcome; throws nothing.
  void Run() {
    try {
      Write();
    } catch (...) {
      std::lock_guard lock(mutex_);
      pending_.reset();
      if (cancelled_) {
        status_ = ExportStatus::kCancelled;
        error_ =
            std::make_exception_ptr(PlatformError("Export to " + output_path_ + " was cancelled"));
      } else {
        status_ = ExportStatus::kFailed;
        error_ = std::current_exception();
      }
    }
  }

  void Fail(std::exception_ptr error) {
    std::lock_guard lock(mutex_);
    status_ = ExportStatus::kFailed;
    error_ = std::move(error);
  }

  // Stops the export at its next packet. When this returns, no file of the export remains unless
  // it had already been completed.
  void Cancel() {
    cancelled_ = true;
    std::lock_guard lock(mutex_);
    if (pending_) pending_->Discard();
  }

  ExportStatus status() const {
    std::lock_guard lock(mutex_);
    return status_;
  }

  std::exception_ptr error() const {
    std::lock_guard lock(mutex_);
    return error_;
  }

 private:
  void ThrowIfCancelled() {
    if (cancelled_) throw ExportCancelled();
  }

  void Write() {
    SetUpFfmpeg();
    if (output_path_.empty()) throw PlatformError("Cannot export: no output path was set");
    {
      std::lock_guard lock(mutex_);
      ThrowIfCancelled();
      pending_ = std::make_unique<PendingFile>(output_path_);
    }

    AVFormatContext* raw = nullptr;
    int rc = avformat_alloc_output_context2(&raw, nullptr, "mp4", pending_->url().c_str());
    if (rc < 0) ThrowAvError("Cannot write movie", output_path_, rc);
    OutputPtr output(raw);

    const ExportContext context{&cancelled_, TimelineEnd(plans_), time_limit_};
    std::vector<std::unique_ptr<PacketSource>> sources;
    std::vector<bool> video;
    for (const TrackPlan& plan : plans_) {
      if (PlacementsInOrder(plan).empty()) continue;
      video.push_back(plan.type == MediaType::kVideo);
      sources.push_back(video.back() ? MakeVideoSource(plan, context)
                                     : MakeAudioSource(plan, context));
      sources.back()->AddStream(output.get());
    }
    if (sources.empty())
      throw PlatformError("Cannot export to " + output_path_ + ": nothing to export");

    {
      // Opening for writing creates the name again once a cancel has removed it.
      std::lock_guard lock(mutex_);
      ThrowIfCancelled();
      rc = avio_open(&output->pb, pending_->url().c_str(), AVIO_FLAG_WRITE);
    }
    if (rc < 0) ThrowAvError("Cannot write movie", output_path_, rc);
    AVDictionary* options = nullptr;
    if (optimize_) SetMoovFirst(sources, &options);
    rc = avformat_write_header(output.get(), &options);
    av_dict_free(&options);
    if (rc < 0) ThrowAvError("Cannot write movie", output_path_, rc);

    // Interleaved by decoding time, so the file plays while it downloads.
    std::vector<PacketPtr> next(sources.size());
    std::vector<std::int64_t> written(sources.size(), 0);
    for (size_t i = 0; i < sources.size(); ++i) next[i] = sources[i]->Next();
    while (true) {
      ThrowIfCancelled();
      int earliest = -1;
      for (size_t i = 0; i < next.size(); ++i) {
        if (!next[i]) continue;
        if (earliest < 0 ||
            av_compare_ts(next[i]->dts, output->streams[next[i]->stream_index]->time_base,
                          next[earliest]->dts,
                          output->streams[next[earliest]->stream_index]->time_base) < 0) {
          earliest = static_cast<int>(i);
        }
      }
      if (earliest < 0) break;
      rc = av_interleaved_write_frame(output.get(), next[earliest].get());
      if (rc < 0) ThrowAvError("Cannot write movie", output_path_, rc);
      ++written[earliest];
      next[earliest] = sources[earliest]->Next();
    }
    // Every placement shows frames, or its source has failed the export already; this only
    // guards the promise that a movie which was joined has its pictures.
    for (size_t i = 0; i < sources.size(); ++i) {
      if (video[i] && written[i] == 0) {
        throw PlatformError("Cannot export to " + output_path_ + ": no video frame was written");
      }
    }
    rc = av_write_trailer(output.get());
    if (rc < 0) ThrowAvError("Cannot write movie", output_path_, rc);
    rc = avio_closep(&output->pb);
    if (rc < 0) ThrowAvError("Cannot write movie", output_path_, rc);

    std::lock_guard lock(mutex_);
    ThrowIfCancelled();
    pending_->Publish();
    pending_.reset();
    status_ = ExportStatus::kCompleted;
  }

  const std::vector<TrackPlan> plans_;
  std::string output_path_;
  bool optimize_ = false;
  double time_limit_ = 0;
  std::atomic<bool> cancelled_{false};

  mutable std::mutex mutex_;
  ExportStatus status_ = ExportStatus::kWaiting;
  std::exception_ptr error_;
  std::unique_ptr<PendingFile> pending_;
};

class FfmpegExportSession : public ExportSession {
 public:
  explicit FfmpegExportSession(std::vector<TrackPlan> plans)
      : job_(std::make_shared<ExportJob>(std::move(plans))) {}

  void SetOutputPath(const std::string& path) override { job_->SetOutputPath(path); }
  void SetOutputFileType(FileType) override {}
  void SetShouldOptimizeForNetworkUse(bool optimize) override {
    job_->SetOptimizeForNetworkUse(optimize);
  }

  void SetTimeLimit(std::chrono::steady_clock::duration limit) override {
    job_->SetTimeLimit(std::chrono::duration<double>(limit).count());
  }

  void ExportAsynchronously(std::function<void()> completion) override {
    if (!job_->Start()) return;
    try {
      std::thread([job = job_, completion]() mutable {
        job->Run();
        // Whatever runs after the completion may race the process's exit: nothing but the
        // handler's own state is left to release then.
        job.reset();
        completion();
      }).detach();
    } catch (const std::system_error&) {
      job_->Fail(std::make_exception_ptr(PlatformError("Cannot export: no thread for the export")));
      completion();
    }
  }

  void CancelExport() override { job_->Cancel(); }
  ExportStatus status() const override { return job_->status(); }
  std::exception_ptr error() const override { return job_->error(); }

 private:
  std::shared_ptr<ExportJob> job_;
};

}  // namespace

std::unique_ptr<ExportSession> MakeFfmpegExportSession(std::vector<TrackPlan> plans) {
  return std::make_unique<FfmpegExportSession>(std::move(plans));
}
