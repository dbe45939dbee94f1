#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/media/media_time.h"

// What the join command asks of the media services: movie assets and their tracks, a composition
// of one video track and appendable audio tracks, and an asynchronous export to a file.

enum class MediaType { kVideo, kAudio };

struct TimeRange {
  MediaTime start;
  MediaTime duration;
};

// An affine display transform, [a b 0; c d 0; tx ty 1]: a point (x, y) is shown at
// (a x + c y + tx, b x + d y + ty). The identity by default.
struct Transform {
  double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;
  bool operator==(const Transform&) const = default;
};

class AssetTrack {
 public:
  virtual ~AssetTrack() = default;
  // Where the track's media lies on its movie's timeline (edit lists and start times applied).
  virtual TimeRange time_range() const = 0;
  virtual Transform preferred_transform() const = 0;
};

// One opened movie file. Owns its tracks.
class Asset {
 public:
  virtual ~Asset() = default;
  // The tracks of |type| in file order, possibly none. They live as long as the asset.
  virtual std::vector<const AssetTrack*> tracks(MediaType type) const = 0;
};

class CompositionTrack {
 public:
  virtual ~CompositionTrack() = default;

  // Places |range| of |source| on this track starting at |at|. The composition keeps what it needs
  // of the source, so the asset may be released afterwards. Throws PlatformError naming the
  // source file and the reason when the range cannot be placed.
  virtual void InsertTimeRange(const TimeRange& range, const AssetTrack& source,
                               const MediaTime& at) = 0;

  virtual void SetPreferredTransform(const Transform& transform) = 0;
};

class Composition {
 public:
  virtual ~Composition() = default;
  // A new empty track of |type| appended to the composition and owned by it, or nullptr when
  // none can be added.
  virtual CompositionTrack* AddMutableTrack(MediaType type) = 0;
};

enum class ExportPreset { kHighestQuality };
enum class FileType { kMpeg4 };

enum class ExportStatus : int {
  kUnknown = 0,
  kWaiting = 1,
  kExporting = 2,
  kCompleted = 3,
  kFailed = 4,
  kCancelled = 5,
};

// One export of a composition to a file. It copies what it needs from the composition when it is
// created. Threads: the setters and ExportAsynchronously are called on the tool's thread;
// CancelExport may be called at any time; status() and error() are read after the completion.
// Destroying the session does not wait for a running export: the export holds its own state.
class ExportSession {
 public:
  virtual ~ExportSession() = default;

  virtual void SetOutputPath(const std::string& path) = 0;
  virtual void SetOutputFileType(FileType type) = 0;
  virtual void SetShouldOptimizeForNetworkUse(bool optimize) = 0;
  // How long the caller will wait for the export from its start: work that would take longer at
  // the best quality is done at a faster setting.
  virtual void SetTimeLimit(std::chrono::steady_clock::duration limit) = 0;

  // Starts the export and returns at once. |completion| runs exactly once, on a thread of the
  // export's own, when the export has ended (completed, failed or cancelled).
  virtual void ExportAsynchronously(std::function<void()> completion) = 0;

  // Tells the export to stop and returns without waiting for it. A cancelled export leaves no
  // file at the output path.
  virtual void CancelExport() = 0;

  virtual ExportStatus status() const = 0;
  // Why the export failed, or null when it carries no error.
  virtual std::exception_ptr error() const = 0;
};

class MediaServices {
 public:
  virtual ~MediaServices() = default;

  virtual std::unique_ptr<Composition> CreateComposition() = 0;

  // Opens the movie at |path| (relative to the working directory). Throws PlatformError naming
  // the path and the reason when it cannot be read as a movie.
  virtual std::unique_ptr<Asset> OpenAsset(const std::string& path) = 0;

  // A session exporting |composition| with |preset|, or nullptr when none can be made.
  virtual std::unique_ptr<ExportSession> CreateExportSession(const Composition& composition,
                                                             ExportPreset preset) = 0;
};
