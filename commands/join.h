#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "platform/media/media.h"

inline constexpr std::chrono::seconds kExportTimeout{180};

// The join subcommand: lays |segment_paths| end to end, exports them as one MPEG-4 at
// |output_path| waiting at most |timeout| for the export, and prints {"duration","path"}.
// Throws ToolError 1 to 6 or the media services' error unchanged.
void join(const std::vector<std::string>& segment_paths, const std::string& output_path,
          MediaServices& media, std::chrono::steady_clock::duration timeout = kExportTimeout);
