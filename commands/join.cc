#include "commands/join.h"

#include <memory>
#include <semaphore>

#include "app/output.h"
#include "app/tool_error.h"

namespace {

// Lays every segment on the composition and returns the timeline cursor after the last one: the
// sum of the segments' video durations.
MediaTime Compose(const std::vector<std::string>& segment_paths, MediaServices& media,
                  Composition& composition) {
  CompositionTrack* video = composition.AddMutableTrack(MediaType::kVideo);
  if (video == nullptr) throw ToolError(ErrorCode::kVideoTrackNotCreated);

  MediaTime cursor = kMediaTimeZero;
  std::vector<CompositionTrack*> lanes;
  for (const std::string& path : segment_paths) {
    std::unique_ptr<Asset> asset = media.OpenAsset(path);
    std::vector<const AssetTrack*> video_tracks = asset->tracks(MediaType::kVideo);
    if (video_tracks.empty()) throw ToolError(ErrorCode::kSegmentHasNoVideo);
    const AssetTrack& source = *video_tracks.front();
    const TimeRange video_range = source.time_range();
    const MediaTime video_duration = video_range.duration;
    video->InsertTimeRange(video_range, source, cursor);
    // Tested after the insertion: only segments that start at zero set the transform, so the
    // first segment's wins unless it has no duration.
    if (MediaTimeEqual(cursor, kMediaTimeZero)) {
      video->SetPreferredTransform(source.preferred_transform());
    }

    std::vector<const AssetTrack*> audio_tracks = asset->tracks(MediaType::kAudio);
    for (size_t lane = 0; lane < audio_tracks.size(); ++lane) {
      while (lanes.size() <= lane) {
        CompositionTrack* added = composition.AddMutableTrack(MediaType::kAudio);
        if (added == nullptr) throw ToolError(ErrorCode::kAudioLaneNotCreated);
        lanes.push_back(added);
      }
      const AssetTrack& audio = *audio_tracks[lane];
      const TimeRange audio_range = audio.time_range();
      const MediaTime length = MediaTimeMinimum(video_duration, audio_range.duration);
      lanes[lane]->InsertTimeRange({audio_range.start, length}, audio, cursor);
    }
    cursor = MediaTimeAdd(cursor, video_duration);
  }
  return cursor;
}

nlohmann::json ResultObject(MediaTime duration, const std::string& output_path) {
  return {{"duration", MediaTimeGetSeconds(duration)}, {"path", output_path}};
}

void Export(const Composition& composition, const std::string& output_path, MediaServices& media,
            std::chrono::steady_clock::duration timeout) {
  std::unique_ptr<ExportSession> session =
      media.CreateExportSession(composition, ExportPreset::kHighestQuality);
  if (session == nullptr) throw ToolError(ErrorCode::kExportSessionNotCreated);
  session->SetOutputPath(output_path);
  session->SetOutputFileType(FileType::kMpeg4);
  session->SetShouldOptimizeForNetworkUse(true);
  session->SetTimeLimit(timeout);

  // The completion holds the semaphore too, so one that arrives after a timeout is harmless.
  auto finished = std::make_shared<std::counting_semaphore<>>(0);
  session->ExportAsynchronously([finished] { finished->release(); });
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  if (!finished->try_acquire_until(deadline)) {
    session->CancelExport();
    throw ToolError(ErrorCode::kExportTimedOut);
  }
  if (session->status() != ExportStatus::kCompleted) {
    if (std::exception_ptr error = session->error()) std::rethrow_exception(error);
    throw ToolError(ErrorCode::kExportFailed);
  }
}

}  // namespace

void join(const std::vector<std::string>& segment_paths, const std::string& output_path,
          MediaServices& media, std::chrono::steady_clock::duration timeout) {
  // A path the result cannot carry (bytes that are not UTF-8) fails here, before a movie exists
  // that the caller would never hear of.
  SerializeResult(ResultObject(kMediaTimeZero, output_path));
  std::unique_ptr<Composition> composition = media.CreateComposition();
  const MediaTime duration = Compose(segment_paths, media, *composition);
  Export(*composition, output_path, media, timeout);
  output(ResultObject(duration, output_path));
}
