#pragma once

#include "platform/media/media.h"

// Media services over FFmpeg's libraries (libavformat, libavcodec, libavutil, libswresample).
class FfmpegMedia : public MediaServices {
 public:
  std::unique_ptr<Composition> CreateComposition() override;
  std::unique_ptr<Asset> OpenAsset(const std::string& path) override;
  std::unique_ptr<ExportSession> CreateExportSession(const Composition& composition,
                                                     ExportPreset preset) override;
};
