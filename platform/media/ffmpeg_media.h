#pragma once

#include "platform/media/media.h"

// Media services over FFmpeg's libraries (libavformat, libavcodec, libavutil, libswresample):
// assets read with libavformat, a composition that records source ranges, and an export that
// streams packets into an MPEG-4 file (copying them where it can, re-encoding where it must).
// Construction does nothing; the libraries start when first asked.
class FfmpegMedia : public MediaServices {
 public:
  std::unique_ptr<Composition> CreateComposition() override;
  std::unique_ptr<Asset> OpenAsset(const std::string& path) override;
  // The session holds a copy of |composition|'s plan; never null.
  std::unique_ptr<ExportSession> CreateExportSession(const Composition& composition,
                                                     ExportPreset preset) override;
};
