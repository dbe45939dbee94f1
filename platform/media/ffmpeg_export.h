#pragma once

#include <memory>
#include <vector>

#include "platform/media/ffmpeg_composition.h"
#include "platform/media/media.h"

// An export session over libavformat: one MPEG-4 file with a stream per non-empty track, in track
// order. The export runs on a detached thread that co-owns its state; the file is written beside
// the output path and appears there only when complete, never over an existing file.
std::unique_ptr<ExportSession> MakeFfmpegExportSession(std::vector<TrackPlan> plans);
