#include "tests/integration/authorization/desktop_rig.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <signal.h>
#include <spawn.h>
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

extern char** environ;

namespace {

using namespace std::chrono_literals;

constexpr auto kStartBudget = 5s;
// The daemon refuses to run as root; as root the rig runs it under this otherwise unused uid.
constexpr uid_t kAudioUid = 61234;
constexpr char kBackendName[] = "org.freedesktop.impl.portal.desktop.quorvanetest";
constexpr char kStoreName[] = "org.freedesktop.impl.portal.PermissionStore";
constexpr char kStorePath[] = "/org/freedesktop/impl/portal/PermissionStore";

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
  std::vector<std::string> env_storage;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    bool overridden = false;
    for (const auto& extra : extra_env) overridden |= extra.rfind(name + "=", 0) == 0;
    if (!overridden) env_storage.push_back(entry);
  }
  env_storage.insert(env_storage.end(), extra_env.begin(), extra_env.end());
  std::vector<char*> envp;
  for (auto& e : env_storage) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_storage = argv;
  std::vector<char*> args;
  for (auto& a : argv_storage) args.push_back(a.data());
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  int rc = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
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

void ChildProcess::Stop() {
  if (!Running()) return;
  ::kill(pid_, SIGTERM);
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

void DesktopRig::StartSessionBus() {
  WriteFile(dir_.File("bus.conf"),
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig>\n"
            "  <type>session</type>\n"
            "  <listen>" +
                bus_address_ +
                "</listen>\n"
                "  <auth>EXTERNAL</auth>\n"
                "  <policy context=\"default\">\n"
                "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                "    <allow eavesdrop=\"true\"/>\n"
                "    <allow own=\"*\"/>\n"
                "  </policy>\n"
                "</busconfig>\n");
  children_.push_back(std::make_unique<ChildProcess>(
      std::vector<std::string>{"dbus-daemon", "--nofork", "--config-file=" + dir_.File("bus.conf")},
      Environment(), dir_.File("bus.log")));
  if (!WaitUntil([&] { return SocketAnswers(dir_.File("bus")); })) {
    throw std::runtime_error("the session bus did not start: " + ReadFile(dir_.File("bus.log")));
  }
}

void DesktopRig::StartPermissionStore() {
  children_.push_back(std::make_unique<ChildProcess>(
      std::vector<std::string>{"/usr/libexec/xdg-permission-store", "--replace"}, Environment(),
      dir_.File("store.log")));
  if (!WaitUntil([&] { return NameHasOwner(bus_address_, kStoreName); })) {
    throw std::runtime_error("the permission store did not start: " +
                             ReadFile(dir_.File("store.log")));
  }
}

void DesktopRig::StartPortal(DialogAnswer answer) {
  WriteFile(dir_.File("portals/quorvanetest.portal"),
            std::string("[portal]\nDBusName=") + kBackendName +
                "\nInterfaces=org.freedesktop.impl.portal.Access;\nUseIn=quorvanetest\n");
  const char* word = answer == DialogAnswer::kGrant    ? "grant"
                     : answer == DialogAnswer::kRefuse ? "refuse"
                                                       : "silent";
  WriteFile(dir_.File("dialogs.log"), "");
  children_.push_back(std::make_unique<ChildProcess>(
      std::vector<std::string>{"/usr/bin/python3",
                               QUORVANE_SOURCE_DIR
                               "/tests/integration/authorization/access_backend.py",
                               word, dir_.File("dialogs.log")},
      Environment(), dir_.File("backend.log")));
  if (!WaitUntil([&] { return NameHasOwner(bus_address_, kBackendName); })) {
    throw std::runtime_error("the Access backend double did not start: " +
                             ReadFile(dir_.File("backend.log")));
  }
  children_.push_back(std::make_unique<ChildProcess>(
      std::vector<std::string>{"/usr/libexec/xdg-desktop-portal", "--replace"}, Environment(),
      dir_.File("portal.log")));
  bool ready = WaitUntil([&] {
    GVariant* reply = CallOnBus(
        bus_address_, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
        "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", "org.freedesktop.portal.Device", "version"), G_VARIANT_TYPE("(v)"));
    if (reply) g_variant_unref(reply);
    return reply != nullptr;
  });
  if (!ready) {
    throw std::runtime_error("the portal did not offer its Device interface: " +
                             ReadFile(dir_.File("portal.log")));
  }
}

void DesktopRig::StartAudioServer(AudioServer kind) {
  audio_ = kind;
  if (kind == AudioServer::kNone) return;
  std::string pulse_dir = dir_.File("pulse");
  std::vector<std::string> argv;
  if (::geteuid() == 0) {
    if (::chown(pulse_dir.c_str(), kAudioUid, kAudioUid) != 0) {
      throw std::runtime_error("cannot hand " + pulse_dir + " to the audio server's uid");
    }
    argv = {"setpriv", "--reuid=" + std::to_string(kAudioUid),
            "--regid=" + std::to_string(kAudioUid), "--clear-groups"};
  }
  for (const char* arg : {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                          "--use-pid-file=no", "--disable-shm=yes", "--log-target=stderr"}) {
    argv.emplace_back(arg);
  }
  if (kind != AudioServer::kMonitorOnly) {
    argv.insert(argv.end(), {"-L", "module-null-source source_name=microphone"});
  }
  argv.insert(argv.end(), {"-L", "module-null-sink sink_name=speakers"});
  // The socket module goes last, so that every source exists once clients get in.
  std::string socket = "module-native-protocol-unix socket=" + pulse_dir + "/native";
  socket += kind == AudioServer::kRefusing ? " auth-anonymous=0 auth-cookie-enabled=1"
                                           : " auth-anonymous=1";
  argv.insert(argv.end(), {"-L", socket});
  children_.push_back(std::make_unique<ChildProcess>(
      argv,
      std::vector<std::string>{"HOME=" + pulse_dir, "XDG_RUNTIME_DIR=" + pulse_dir,
                               "XDG_CONFIG_HOME=" + pulse_dir,
                               "DBUS_SESSION_BUS_ADDRESS=unix:path=" + pulse_dir + "/no-bus"},
      dir_.File("pulse.log")));
  if (!WaitUntil([&] { return SocketAnswers(pulse_dir + "/native"); })) {
    throw std::runtime_error("the audio server did not start: " + ReadFile(dir_.File("pulse.log")));
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

void DesktopRig::StartDesktop(DialogAnswer answer, AudioServer audio) {
  StartSessionBus();
  StartPermissionStore();
  StartPortal(answer);
  StartAudioServer(audio);
}
