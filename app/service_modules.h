#pragma once

#include <memory>

#include "platform/authorization/microphone_authority.h"
#include "platform/drawing/canvas.h"
#include "platform/media/media.h"
#include "platform/recognition/text_recognizer.h"

// The services as main hands them to the commands. Each stands in for the adapter in its shared
// module (platform/module_factories.h) and loads that module on its first call, so building all four
// costs nothing. A module that cannot be loaded fails the call with PlatformError naming it.

class ModuleTextRecognizer : public TextRecognizer {
 public:
  std::vector<TextObservation> Recognize(const std::string& image_path,
                                         const RecognitionSettings& settings,
                                         int max_candidates) override;

 private:
  std::unique_ptr<TextRecognizer> loaded_;
};

class ModuleMediaServices : public MediaServices {
 public:
  std::unique_ptr<Composition> CreateComposition() override;
  std::unique_ptr<Asset> OpenAsset(const std::string& path) override;
  std::unique_ptr<ExportSession> CreateExportSession(const Composition& composition,
                                                     ExportPreset preset) override;

 private:
  MediaServices& Loaded();
  std::unique_ptr<MediaServices> loaded_;
};

class ModuleDrawingService : public DrawingService {
 public:
  std::unique_ptr<Canvas> CreateCanvas(int width, int height) override;
  void WriteFile(const std::string& path, std::string_view bytes) override;

 private:
  DrawingService& Loaded();
  std::unique_ptr<DrawingService> loaded_;
};

class ModuleMicrophoneAuthority : public MicrophoneAuthority {
 public:
  int AuthorizationStatus() override;
  void RequestAccess(std::function<void(bool granted)> handler) override;

 private:
  MicrophoneAuthority& Loaded();
  std::unique_ptr<MicrophoneAuthority> loaded_;
};
