#include "tests/integration/authorization/desktop_rig.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr auto kStartBudget = 5s;
// The daemon refuses to run as root; as root the rig runs it under this otherwise unused uid.
constexpr uid_t kAudioUid = 61234;
constexpr char kBackendName[] = "org.freedesktop.impl.portal.desktop.quorvanetest";
constexpr char kStoreName[] = "org.freedesktop.impl.portal.PermissionStore";
constexpr char kStorePath[] = "/org/freedesktop/impl/portal/PermissionStore";
constexpr char kPortalName[] = "org.freedesktop.portal.Desktop";
constexpr char kPortalPath[] = "/org/freedesktop/portal/desktop";

bool WaitUntil(const std::function<bool()>& ready) {
  auto deadline = std::chrono::steady_clock::now() + kStartBudget;
  while (std::chrono::steady_clock::now() < deadline) {
    if (ready()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return ready();
}

bool SocketAnswers(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

// One call on the rig's bus over a connection of its own; nullptr on failure.
GVariant* CallOnBus(const std::string& address, const char* destination, const char* path,
                    const char* interface, const char* method, GVariant* parameters,
                    const GVariantType* reply_type) {
  GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
  if (!connection) {
    if (parameters) g_variant_unref(g_variant_ref_sink(parameters));
    return nullptr;
  }
  GVariant* reply =
      g_dbus_connection_call_sync(connection, destination, path, interface, method, parameters,
                                  reply_type, G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
  g_dbus_connection_close_sync(connection, nullptr, nullptr);
  g_object_unref(connection);
  return reply;
}

bool NameHasOwner(const std::string& address, const char* name) {
  GVariant* reply =
      CallOnBus(address, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                "NameHasOwner", g_variant_new("(s)", name), G_VARIANT_TYPE("(b)"));
  if (!reply) return false;
  gboolean owned = FALSE;
  g_variant_get(reply, "(b)", &owned);
  g_variant_unref(reply);
  return owned;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& extra_env, const std::string& log_path) {
  const int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (log < 0) throw std::runtime_error("cannot open " + log_path);
  try {
    pid_ = StartProcess(argv, extra_env, log, log);
  } catch (...) {
    ::close(log);
    throw;
  }
  ::close(log);
}

ChildProcess::~ChildProcess() { Stop(); }

bool ChildProcess::Running() {
  if (pid_ < 0) return false;
  int status;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

void ChildProcess::Freeze() {
  if (Running()) ::kill(pid_, SIGSTOP);
}

void ChildProcess::Stop() {
  if (!Running()) return;
  ::kill(pid_, SIGTERM);
  ::kill(pid_, SIGCONT);
  auto deadline = std::chrono::steady_clock::now() + 2s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!Running()) return;
    std::this_thread::sleep_for(10ms);
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

DesktopRig::DesktopRig() : bus_address_("unix:path=" + dir_.File("bus")) {
  for (const char* sub : {"data", "portals", "pulse", "home", "config", "runtime"}) {
    std::filesystem::create_directories(dir_.File(sub));
  }
  ::chmod(dir_.File("runtime").c_str(), 0700);
  // The audio server's own uid has to reach its folder inside.
  ::chmod(dir_.path().c_str(), 0711);
}

DesktopRig::~DesktopRig() {
  while (!children_.empty()) children_.pop_back();
  for (int fd : silent_sockets_) ::close(fd);
}

ChildProcess& DesktopRig::Start(const std::vector<std::string>& argv,
                                const std::vector<std::string>& env, const std::string& log_name) {
  children_.push_back(std::make_unique<ChildProcess>(argv, env, dir_.File(log_name)));
  return *children_.back();
}

// A session bus listening at |socket|. An |anonymous| one lets clients in without authentication:
// the audio server's uid is in no user database, which EXTERNAL authentication needs.
void DesktopRig::StartBus(const std::string& socket, bool anonymous, const std::string& log_name) {
  const std::string config = socket + ".conf";
  WriteFile(config,
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig>\n"
            "  <type>session</type>\n"
            "  <listen>unix:path=" +
                socket + "</listen>\n" +
                (anonymous ? "  <auth>ANONYMOUS</auth>\n  <allow_anonymous/>\n"
                           : "  <auth>EXTERNAL</auth>\n") +
                "  <policy context=\"default\">\n"
                "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                "    <allow eavesdrop=\"true\"/>\n"
                "    <allow own=\"*\"/>\n"
                "  </policy>\n"
                "</busconfig>\n");
  Start({"dbus-daemon", "--nofork", "--config-file=" + config}, Environment(), log_name);
  if (!WaitUntil([&] { return SocketAnswers(socket); })) {
    throw std::runtime_error("the bus " + socket +
                             " did not start: " + ReadFile(dir_.File(log_name)));
  }
}

// The kernel completes every connection into the backlog; nobody ever reads from them.
void DesktopRig::ListenWithoutAnswering(const std::string& socket) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 64) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot listen on " + socket);
  }
  silent_sockets_.push_back(fd);
}

std::vector<std::string> DesktopRig::Environment() const {
  return {
      "DBUS_SESSION_BUS_ADDRESS=" + bus_address_,
      "PULSE_SERVER=unix:" + dir_.File("pulse/native"),
      "HOME=" + dir_.File("home"),
      "XDG_CONFIG_HOME=" + dir_.File("config"),
      "XDG_DATA_HOME=" + dir_.File("data"),
      "XDG_RUNTIME_DIR=" + dir_.File("runtime"),
      "GSETTINGS_BACKEND=keyfile",
      "XDG_DESKTOP_PORTAL_DIR=" + dir_.File("portals"),
      "XDG_CURRENT_DESKTOP=quorvanetest",
  };
}

void DesktopRig::ExportEnvironment() const {
  for (const auto& entry : Environment()) {
    auto equals = entry.find('=');
    ::setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
  }
}

void DesktopRig::StartSessionBus() { StartBus(dir_.File("bus"), false, "bus.log"); }

void DesktopRig::StartSilentSessionBus() { ListenWithoutAnswering(dir_.File("bus")); }

void DesktopRig::StartPermissionStore() {
  store_ = &Start({"/usr/libexec/xdg-permission-store", "--replace"}, Environment(), "store.log");
  if (!WaitUntil([&] { return NameHasOwner(bus_address_, kStoreName); })) {
    throw std::runtime_error("the permission store did not start: " +
                             ReadFile(dir_.File("store.log")));
  }
}

void DesktopRig::StartPortal(DialogAnswer answer) {
  WriteFile(dir_.File("dialogs.log"), "");
  if (answer != DialogAnswer::kNoDialog) {
    WriteFile(dir_.File("portals/quorvanetest.portal"),
              std::string("[portal]\nDBusName=") + kBackendName +
                  "\nInterfaces=org.freedesktop.impl.portal.Access;\nUseIn=quorvanetest\n");
    const char* word = answer == DialogAnswer::kGrant    ? "grant"
                       : answer == DialogAnswer::kRefuse ? "refuse"
                                                         : "silent";
    Start({"/usr/bin/python3",
           QUORVANE_SOURCE_DIR "/tests/integration/authorization/access_backend.py", word,
           dir_.File("dialogs.log")},
          Environment(), "backend.log");
    if (!WaitUntil([&] { return NameHasOwner(bus_address_, kBackendName); })) {
      throw std::runtime_error("the Access backend double did not start: " +
                               ReadFile(dir_.File("backend.log")));
    }
  }
  portal_ = &Start({"/usr/libexec/xdg-desktop-portal", "--replace"}, Environment(), "portal.log");
  // The portal exports its interfaces before it takes its name.
  std::string interfaces;
  bool ready = WaitUntil([&] {
    if (!NameHasOwner(bus_address_, kPortalName)) return false;
    GVariant* reply =
        CallOnBus(bus_address_, kPortalName, kPortalPath, "org.freedesktop.DBus.Introspectable",
                  "Introspect", nullptr, G_VARIANT_TYPE("(s)"));
    if (!reply) return false;
    const gchar* xml = nullptr;
    g_variant_get(reply, "(&s)", &xml);
    interfaces = xml;
    g_variant_unref(reply);
    return true;
  });
  if (!ready) {
    throw std::runtime_error("the portal did not start: " + ReadFile(dir_.File("portal.log")));
  }
  portal_offers_dialog_ = interfaces.find("\"org.freedesktop.portal.Device\"") != std::string::npos;
  if (answer == DialogAnswer::kNoDialog && portal_offers_dialog_) {
    throw std::runtime_error("the portal offers the Device interface without an Access backend");
  }
}

void DesktopRig::FreezePermissionStore() {
  if (!store_) throw std::logic_error("no permission store was started");
  store_->Freeze();
}

void DesktopRig::FreezePortal() {
  if (!portal_) throw std::logic_error("no portal was started");
  portal_->Freeze();
}

void DesktopRig::StartAudioServer(AudioServer kind, AudioStack stack) {
  switch (kind) {
    case AudioServer::kNone:
      return;
    case AudioServer::kSilent:
      return ListenWithoutAnswering(dir_.File("pulse/native"));
    default:
      break;
  }
  // The daemons refuse to run as root, or run differently; as root they get a uid of their own,
  // which has to own their folder and reach it.
  if (::geteuid() == 0 && ::chown(dir_.File("pulse").c_str(), kAudioUid, kAudioUid) != 0) {
    throw std::runtime_error("cannot hand " + dir_.File("pulse") + " to the audio server's uid");
  }
  if (stack == AudioStack::kPulseAudio) {
    StartPulseAudio(kind);
  } else {
    StartPipeWire(kind);
  }
}

std::vector<std::string> DesktopRig::AudioServerCommand(std::vector<std::string> argv) const {
  if (::geteuid() != 0) return argv;
  std::vector<std::string> as_audio_uid = {"setpriv", "--reuid=" + std::to_string(kAudioUid),
                                           "--regid=" + std::to_string(kAudioUid),
                                           "--clear-groups"};
  as_audio_uid.insert(as_audio_uid.end(), argv.begin(), argv.end());
  return as_audio_uid;
}

std::vector<std::string> DesktopRig::AudioServerEnvironment() const {
  std::string pulse_dir = dir_.File("pulse");
  return {"HOME=" + pulse_dir, "XDG_RUNTIME_DIR=" + pulse_dir, "XDG_CONFIG_HOME=" + pulse_dir,
          "XDG_STATE_HOME=" + pulse_dir + "/state",
          "DBUS_SESSION_BUS_ADDRESS=unix:path=" + pulse_dir + "/bus"};
}

void DesktopRig::StartPulseAudio(AudioServer kind) {
  std::string pulse_dir = dir_.File("pulse");
  std::vector<std::string> argv = {"pulseaudio",         "-n",
                                   "--daemonize=no",     "--exit-idle-time=-1",
                                   "--use-pid-file=no",  "--disable-shm=yes",
                                   "--log-target=stderr"};
  if (kind != AudioServer::kMonitorOnly) {
    argv.insert(argv.end(), {"-L", "module-null-source source_name=microphone"});
  }
  argv.insert(argv.end(), {"-L", "module-null-sink sink_name=speakers"});
  // The socket module goes last, so that every source exists once clients get in.
  std::string socket = "module-native-protocol-unix socket=" + pulse_dir + "/native";
  socket += kind == AudioServer::kRefusing ? " auth-anonymous=0 auth-cookie-enabled=1"
                                           : " auth-anonymous=1";
  argv.insert(argv.end(), {"-L", socket});
  // PulseAudio needs no bus; it finds none at its address.
  Start(AudioServerCommand(argv), AudioServerEnvironment(), "pulse.log");
  if (!WaitUntil([&] { return SocketAnswers(pulse_dir + "/native"); })) {
    throw std::runtime_error("the audio server did not start: " + ReadFile(dir_.File("pulse.log")));
  }
}

// PipeWire's own configuration with drop-ins: a null source node where the microphone is asked
// for (without one, pipewire's fallback sink is the only node, so its monitor the only source),
// pipewire-pulse on the rig's socket, and WirePlumber without hardware monitors or portal.
void DesktopRig::StartPipeWire(AudioServer kind) {
  if (kind == AudioServer::kRefusing) {
    throw std::invalid_argument("the rig's PipeWire admits every client");
  }
  const std::string pulse_dir = dir_.File("pulse");
  for (const char* sub :
       {"pipewire/pipewire.conf.d", "pipewire/pipewire-pulse.conf.d", "wireplumber/main.lua.d"}) {
    std::filesystem::create_directories(pulse_dir + "/" + sub);
  }
  WriteFile(pulse_dir + "/pipewire/pipewire.conf.d/rig.conf",
            kind == AudioServer::kMicrophone
                ? "context.objects = [\n"
                  "  { factory = adapter\n"
                  "    args = { factory.name = support.null-audio-sink node.name = microphone\n"
                  "             media.class = Audio/Source/Virtual audio.position = [ MONO ]\n"
                  "             object.linger = true } }\n"
                  "]\n"
                : "");
  WriteFile(pulse_dir + "/pipewire/pipewire-pulse.conf.d/rig.conf",
            "pulse.properties = { server.address = [ \"unix:" + pulse_dir + "/native\" ] }\n");
  // Read after the 50-* files that define these tables and before 90-enable-all.lua uses them.
  WriteFile(pulse_dir + "/wireplumber/main.lua.d/51-rig.lua",
            "alsa_monitor.enabled = false\n"
            "v4l2_monitor.enabled = false\n"
            "libcamera_monitor.enabled = false\n"
            "default_access.properties[\"enable-flatpak-portal\"] = false\n");

  // WirePlumber will not run without a session bus.
  StartBus(pulse_dir + "/bus", true, "audio-bus.log");
  Start(AudioServerCommand({"pipewire"}), AudioServerEnvironment(), "pipewire.log");
  if (!WaitUntil([&] { return SocketAnswers(pulse_dir + "/pipewire-0"); })) {
    throw std::runtime_error("PipeWire did not start: " + ReadFile(dir_.File("pipewire.log")));
  }
  Start(AudioServerCommand({"wireplumber"}), AudioServerEnvironment(), "wireplumber.log");
  Start(AudioServerCommand({"pipewire-pulse"}), AudioServerEnvironment(), "pipewire-pulse.log");
  // Ready once WirePlumber has picked the default source among the nodes.
  const std::string source = kind == AudioServer::kMicrophone ? "microphone" : "auto_null.monitor";
  RunOptions pactl;
  pactl.extra_env = {"PULSE_SERVER=unix:" + pulse_dir + "/native"};
  pactl.timeout = 2s;
  bool ready = WaitUntil([&] {
    if (!SocketAnswers(pulse_dir + "/native")) return false;
    RunResult info = RunProgram("/usr/bin/pactl", {"info"}, pactl);
    return info.out.find("Default Source: " + source + "\n") != std::string::npos;
  });
  if (!ready) {
    throw std::runtime_error("pipewire-pulse did not offer " + source + ": " +
                             ReadFile(dir_.File("pipewire-pulse.log")) +
                             ReadFile(dir_.File("wireplumber.log")));
  }
}

void DesktopRig::SwitchMicrophoneOff() {
  std::filesystem::create_directories(dir_.File("config/glib-2.0/settings"));
  WriteFile(dir_.File("config/glib-2.0/settings/keyfile"),
            "[org/gnome/desktop/privacy]\ndisable-microphone=true\n");
}

void DesktopRig::StorePermission(const std::string& app_id, const std::string& value) {
  const gchar* permissions[] = {value.c_str(), nullptr};
  GVariant* reply = CallOnBus(
      bus_address_, kStoreName, kStorePath, kStoreName, "SetPermission",
      g_variant_new("(sbss^as)", "devices", TRUE, "microphone", app_id.c_str(), permissions),
      nullptr);
  if (!reply) throw std::runtime_error("cannot store the microphone permission");
  g_variant_unref(reply);
}

std::string DesktopRig::StoredPermission(const std::string& app_id) {
  GVariant* reply =
      CallOnBus(bus_address_, kStoreName, kStorePath, kStoreName, "Lookup",
                g_variant_new("(ss)", "devices", "microphone"), G_VARIANT_TYPE("(a{sas}v)"));
  if (!reply) return "";
  GVariant* table = g_variant_get_child_value(reply, 0);
  const gchar** permissions = nullptr;
  std::string value;
  if (g_variant_lookup(table, app_id.c_str(), "^a&s", &permissions)) {
    if (permissions[0]) value = permissions[0];
    g_free(permissions);
  }
  g_variant_unref(table);
  g_variant_unref(reply);
  return value;
}

std::vector<std::string> DesktopRig::Dialogs() const {
  std::vector<std::string> dialogs;
  std::istringstream lines(ReadFile(dir_.File("dialogs.log")));
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("app_id=", 0) == 0) dialogs.push_back(line.substr(7));
  }
  return dialogs;
}

RunResult DesktopRig::RunMicrophone() const {
  RunOptions options;
  options.extra_env = Environment();
  options.timeout = std::chrono::milliseconds(10000);
  return RunTool({"microphone"}, options);
}

void DesktopRig::StartDesktop(DialogAnswer answer, AudioServer audio, AudioStack stack) {
  StartSessionBus();
  StartPermissionStore();
  StartPortal(answer);
  StartAudioServer(audio, stack);
}
