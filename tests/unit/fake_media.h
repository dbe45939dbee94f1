#pragma once

// Media services made of data: assets are described per path, every call is logged as a line of
// text, and failures are injected by setting fields.

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/tool_error.h"
#include "platform/media/media.h"
#include "platform/platform_error.h"

inline MediaTime T(std::int64_t value, std::int64_t timescale = 1) { return {value, timescale}; }

inline std::string Text(MediaTime t) {
  return std::to_string(t.value) + "/" + std::to_string(t.timescale);
}

struct FakeTrack : AssetTrack {
  FakeTrack(std::string name, TimeRange range, Transform transform = {})
      : name(std::move(name)), range(range), transform(transform) {}
  TimeRange time_range() const override { return range; }
  Transform preferred_transform() const override { return transform; }
  std::string name;
  TimeRange range;
  Transform transform;
};

struct FakeAssetTracks {
  std::vector<FakeTrack> video;
  std::vector<FakeTrack> audio;
};

class FakeMedia;

class FakeCompositionTrack : public CompositionTrack {
 public:
  FakeCompositionTrack(FakeMedia& media, std::string name)
      : media_(media), name_(std::move(name)) {}
  void InsertTimeRange(const TimeRange& range, const AssetTrack& source,
                       const MediaTime& at) override;
  void SetPreferredTransform(const Transform& transform) override;

 private:
  FakeMedia& media_;
  std::string name_;
};

class FakeComposition : public Composition {
 public:
  explicit FakeComposition(FakeMedia& media) : media_(media) {}
  CompositionTrack* AddMutableTrack(MediaType type) override;

 private:
  FakeMedia& media_;
  std::vector<std::unique_ptr<FakeCompositionTrack>> tracks_;
  int audio_lanes_ = 0;
};

class FakeAsset : public Asset {
 public:
  explicit FakeAsset(const FakeAssetTracks& tracks) : tracks_(tracks) {}
  std::vector<const AssetTrack*> tracks(MediaType type) const override {
    std::vector<const AssetTrack*> list;
    for (const FakeTrack& t : type == MediaType::kVideo ? tracks_.video : tracks_.audio) {
      list.push_back(&t);
    }
    return list;
  }

 private:
  FakeAssetTracks tracks_;
};

// How the fake export ends.
struct FakeExportOutcome {
  bool completes = true;               // false: never calls the completion
  std::chrono::milliseconds delay{0};  // completion comes this long after the start
  ExportStatus status = ExportStatus::kCompleted;
  std::string error;  // non-empty: error() is a PlatformError with it
};

// The state an export shares with its thread; the thread co-owns it, as a real export does.
struct FakeExportState {
  std::atomic<bool> cancelled{false};
  std::atomic<bool> completion_called{false};
};

class FakeExportSession : public ExportSession {
 public:
  FakeExportSession(FakeMedia& media, FakeExportOutcome outcome,
                    std::shared_ptr<FakeExportState> state)
      : media_(media), outcome_(outcome), state_(std::move(state)) {}
  void SetOutputPath(const std::string& path) override;
  void SetOutputFileType(FileType type) override;
  void SetShouldOptimizeForNetworkUse(bool optimize) override;
  void SetTimeLimit(std::chrono::steady_clock::duration limit) override;
  void ExportAsynchronously(std::function<void()> completion) override;
  void CancelExport() override;
  ExportStatus status() const override { return outcome_.status; }
  std::exception_ptr error() const override {
    if (outcome_.error.empty()) return nullptr;
    return std::make_exception_ptr(PlatformError(outcome_.error));
  }

 private:
  FakeMedia& media_;
  FakeExportOutcome outcome_;
  std::shared_ptr<FakeExportState> state_;
};

class FakeMedia : public MediaServices {
 public:
  ~FakeMedia() override {
    for (auto& thread : threads) thread.join();
  }

  std::unique_ptr<Composition> CreateComposition() override {
    log.push_back("composition");
    return std::make_unique<FakeComposition>(*this);
  }
  std::unique_ptr<Asset> OpenAsset(const std::string& path) override {
    log.push_back("open " + path);
    auto found = assets.find(path);
    if (found == assets.end()) throw PlatformError("cannot open " + path);
    return std::make_unique<FakeAsset>(found->second);
  }
  std::unique_ptr<ExportSession> CreateExportSession(const Composition&,
                                                     ExportPreset preset) override {
    log.push_back(preset == ExportPreset::kHighestQuality ? "session highest" : "session other");
    if (!session_available) return nullptr;
    return std::make_unique<FakeExportSession>(*this, outcome, export_state);
  }

  std::map<std::string, FakeAssetTracks> assets;
  std::vector<std::string> log;
  bool video_track_available = true;
  int audio_lanes_available = 100;
  std::string insert_error_on;  // "video" or "lane N": that insertion throws
  bool session_available = true;
  FakeExportOutcome outcome;
  std::shared_ptr<FakeExportState> export_state = std::make_shared<FakeExportState>();
  std::vector<std::thread> threads;  // completions still on their way at the end of a test
};

inline CompositionTrack* FakeComposition::AddMutableTrack(MediaType type) {
  std::string name;
  if (type == MediaType::kVideo) {
    media_.log.push_back("add video");
    if (!media_.video_track_available) return nullptr;
    name = "video";
  } else {
    media_.log.push_back("add audio");
    if (audio_lanes_ >= media_.audio_lanes_available) return nullptr;
    name = "lane " + std::to_string(audio_lanes_++);
  }
  tracks_.push_back(std::make_unique<FakeCompositionTrack>(media_, name));
  return tracks_.back().get();
}

inline void FakeCompositionTrack::InsertTimeRange(const TimeRange& range, const AssetTrack& source,
                                                  const MediaTime& at) {
  media_.log.push_back(name_ + " <- " + static_cast<const FakeTrack&>(source).name + " [" +
                       Text(range.start) + " +" + Text(range.duration) + "] at " + Text(at));
  if (media_.insert_error_on == name_) throw PlatformError("cannot insert into " + name_);
}

inline void FakeCompositionTrack::SetPreferredTransform(const Transform& transform) {
  media_.log.push_back(name_ + " transform " + std::to_string(static_cast<int>(transform.tx)));
}

inline void FakeExportSession::SetOutputPath(const std::string& path) {
  media_.log.push_back("output " + path);
}
inline void FakeExportSession::SetOutputFileType(FileType type) {
  media_.log.push_back(type == FileType::kMpeg4 ? "type mp4" : "type other");
}
inline void FakeExportSession::SetShouldOptimizeForNetworkUse(bool optimize) {
  media_.log.push_back(optimize ? "optimize" : "no optimize");
}
inline void FakeExportSession::SetTimeLimit(std::chrono::steady_clock::duration limit) {
  media_.log.push_back(
      "time limit " +
      std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(limit).count()) + " ms");
}
inline void FakeExportSession::ExportAsynchronously(std::function<void()> completion) {
  media_.log.push_back("export");
  if (!outcome_.completes) return;
  media_.threads.emplace_back([state = state_, delay = outcome_.delay, completion] {
    std::this_thread::sleep_for(delay);
    state->completion_called = true;
    completion();
  });
}
inline void FakeExportSession::CancelExport() {
  media_.log.push_back("cancel");
  state_->cancelled = true;
}
