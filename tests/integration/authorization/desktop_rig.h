#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/run_tool.h"

// A process the test started as its direct child; stopped (SIGTERM, then SIGKILL) and reaped when
// the object goes.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
               const std::string& log_path);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Running();
  // Stops the process where it is (SIGSTOP): it keeps its sockets and bus names and answers
  // nothing.
  void Freeze();
  void Stop();

 private:
  pid_t pid_ = -1;
};

// What the rig's audio server offers.
enum class AudioServer {
  kNone,         // PULSE_SERVER names a socket nobody listens on
  kMicrophone,   // a null source (a real capture source) and a null sink
  kMonitorOnly,  // only a null sink, whose monitor is the one source
  kRefusing,  // a null source, but the server admits only clients with its own cookie (PulseAudio)
  kSilent,    // PULSE_SERVER names a socket that takes connections and never answers
};

// Which audio server answers on PULSE_SERVER: the PulseAudio daemon, or PipeWire with WirePlumber
// and pipewire-pulse (with their own session bus). As root both run under a throwaway uid.
enum class AudioStack { kPulseAudio, kPipeWire };

// How the Access backend double answers the portal's dialog. kNoDialog starts no backend, so the
// portal offers no Device interface: the desktop has nothing to ask with, as on every desktop with
// xdg-desktop-portal 1.19 or later (which removed the interface).
enum class DialogAnswer { kGrant, kRefuse, kSilent, kNoDialog };

// Why a test of the access dialog does not run on this system.
inline constexpr char kNoDeviceInterface[] =
    "this xdg-desktop-portal has no org.freedesktop.portal.Device interface (removed in 1.19), "
    "so there is no access dialog to test";

// A private session bus with the real permission store and xdg-desktop-portal (its Access backend
// a double), and an audio server on its own socket, all under one temporary directory. Every
// Start* waits until the service answers (a few seconds at most) and throws std::runtime_error
// otherwise.
class DesktopRig {
 public:
  DesktopRig();
  ~DesktopRig();

  void StartSessionBus();
  // A session bus socket that takes connections and never answers, in place of StartSessionBus().
  void StartSilentSessionBus();
  void StartPermissionStore();
  void StartPortal(DialogAnswer answer);  // with the Access backend double
  // Whether the started portal offers the Device interface, and so the access dialog.
  bool PortalOffersDialog() const { return portal_offers_dialog_; }
  void StartAudioServer(AudioServer kind, AudioStack stack = AudioStack::kPulseAudio);
  // All four: a desktop with a consent layer whose dialog answers |answer|, and an audio server.
  void StartDesktop(DialogAnswer answer, AudioServer audio,
                    AudioStack stack = AudioStack::kPulseAudio);
  // The started store or portal keeps its bus name and stops answering.
  void FreezePermissionStore();
  void FreezePortal();
  // Writes disable-microphone=true for the GSettings keyfile backend the tool runs with.
  void SwitchMicrophoneOff();

  // Sets the "devices"/"microphone" row of |app_id| ("yes", "no" or "ask").
  void StorePermission(const std::string& app_id, const std::string& value);
  // The stored row of |app_id|, or "" when there is none.
  std::string StoredPermission(const std::string& app_id);
  // The app ids the Access backend was asked about, one per dialog.
  std::vector<std::string> Dialogs() const;

  // The environment that points the tool (or this process) at the rig.
  std::vector<std::string> Environment() const;
  // Puts Environment() into this process's environment.
  void ExportEnvironment() const;

  RunResult RunMicrophone() const;

 private:
  ChildProcess& Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                      const std::string& log_name);
  void StartBus(const std::string& socket, bool anonymous, const std::string& log_name);
  void ListenWithoutAnswering(const std::string& socket);
  std::vector<std::string> AudioServerCommand(std::vector<std::string> argv) const;
  std::vector<std::string> AudioServerEnvironment() const;
  void StartPulseAudio(AudioServer kind);
  void StartPipeWire(AudioServer kind);

  TempDir dir_;
  std::vector<std::unique_ptr<ChildProcess>> children_;  // stopped last to first
  std::vector<int> silent_sockets_;
  ChildProcess* store_ = nullptr;
  ChildProcess* portal_ = nullptr;
  std::string bus_address_;
  bool portal_offers_dialog_ = false;
};
