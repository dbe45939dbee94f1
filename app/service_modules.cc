#include "app/service_modules.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>

#include "app/tool_error.h"
#include "platform/module_factories.h"
#include "platform/platform_error.h"

namespace {

// Where |module| lies: beside the executable in a build tree, in ../lib/QuorvaneMacTools once
// installed. Always an absolute path, so no search path (and never the working directory) decides
// which code is loaded.
std::filesystem::path ModulePath(const char* module) {
  std::error_code error;
  std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  std::filesystem::path folder = executable.parent_path();
  std::filesystem::path beside = folder / module;
  if (std::filesystem::exists(beside, error)) return beside;
  return folder.parent_path() / "lib" / "QuorvaneMacTools" / module;
}

// Calls |factory| of |module|. The module stays loaded: a detached export thread may still run its
// code when the process ends.
template <typename Service>
std::unique_ptr<Service> Load(const char* module, const char* factory) {
  const std::string path = ModulePath(module).string();
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::string reason = dlerror();
    if (reason.starts_with(path + ": ")) reason.erase(0, path.size() + 2);
    throw PlatformError("Cannot load " + path + ": " + reason);
  }
  auto create = reinterpret_cast<Service* (*)()>(dlsym(handle, factory));
  if (create == nullptr) {
    throw PlatformError("Cannot load " + path + ": it has no " + factory);
  }
  return std::unique_ptr<Service>(create());
}

template <typename Service>
Service& LoadOnce(std::unique_ptr<Service>& loaded, const char* module, const char* factory) {
  if (!loaded) loaded = Load<Service>(module, factory);
  return *loaded;
}

}  // namespace

std::vector<TextObservation> ModuleTextRecognizer::Recognize(const std::string& image_path,
                                                             const RecognitionSettings& settings,
                                                             int max_candidates) {
  return LoadOnce(loaded_, kRecognitionModule, "QuorvaneCreateTextRecognizer")
      .Recognize(image_path, settings, max_candidates);
}

MediaServices& ModuleMediaServices::Loaded() {
  return LoadOnce(loaded_, kMediaModule, "QuorvaneCreateMediaServices");
}
std::unique_ptr<Composition> ModuleMediaServices::CreateComposition() {
  return Loaded().CreateComposition();
}
std::unique_ptr<Asset> ModuleMediaServices::OpenAsset(const std::string& path) {
  return Loaded().OpenAsset(path);
}
std::unique_ptr<ExportSession> ModuleMediaServices::CreateExportSession(
    const Composition& composition, ExportPreset preset) {
  return Loaded().CreateExportSession(composition, preset);
}

DrawingService& ModuleDrawingService::Loaded() {
  return LoadOnce(loaded_, kDrawingModule, "QuorvaneCreateDrawingService");
}
std::unique_ptr<Canvas> ModuleDrawingService::CreateCanvas(int width, int height) {
  return Loaded().CreateCanvas(width, height);
}
void ModuleDrawingService::WriteFile(const std::string& path, std::string_view bytes) {
  Loaded().WriteFile(path, bytes);
}

MicrophoneAuthority& ModuleMicrophoneAuthority::Loaded() {
  return LoadOnce(loaded_, kAuthorizationModule, "QuorvaneCreateMicrophoneAuthority");
}
int ModuleMicrophoneAuthority::AuthorizationStatus() { return Loaded().AuthorizationStatus(); }
void ModuleMicrophoneAuthority::RequestAccess(std::function<void(bool granted)> handler) {
  Loaded().RequestAccess(std::move(handler));
}
