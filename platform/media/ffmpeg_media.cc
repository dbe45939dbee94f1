#include "platform/media/ffmpeg_media.h"

#include "app/tool_error.h"

std::unique_ptr<Composition> FfmpegMedia::CreateComposition() {
  throw PlatformError("media is not built yet");  // PLACEHOLDER
}
std::unique_ptr<Asset> FfmpegMedia::OpenAsset(const std::string&) {
  throw PlatformError("media is not built yet");  // PLACEHOLDER
}
std::unique_ptr<ExportSession> FfmpegMedia::CreateExportSession(const Composition&, ExportPreset) {
  throw PlatformError("media is not built yet");  // PLACEHOLDER
}
