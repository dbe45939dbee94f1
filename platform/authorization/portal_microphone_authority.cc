#include "platform/authorization/portal_microphone_authority.h"

#include <gio/gio.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/authorization/microphone_status_rules.h"
#include "platform/authorization/portal_app_id.h"
#include "platform/authorization/pulse_capture_probe.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr char kPortalName[] = "org.freedesktop.portal.Desktop";
constexpr char kPortalPath[] = "/org/freedesktop/portal/desktop";
constexpr char kStoreName[] = "org.freedesktop.impl.portal.PermissionStore";
constexpr char kStorePath[] = "/org/freedesktop/impl/portal/PermissionStore";
constexpr char kPrivacySchema[] = "org.gnome.desktop.privacy";
constexpr char kMicrophoneSwitchKey[] = "disable-microphone";

struct GObjectDeleter {
  void operator()(gpointer object) const { g_object_unref(object); }
};
using Connection = std::unique_ptr<GDBusConnection, GObjectDeleter>;

struct ErrorDeleter {
  void operator()(GError* error) const { g_error_free(error); }
};
using Error = std::unique_ptr<GError, ErrorDeleter>;

struct VariantDeleter {
  void operator()(GVariant* value) const { g_variant_unref(value); }
};
using Variant = std::unique_ptr<GVariant, VariantDeleter>;

// Whole milliseconds left until |deadline|, at least 0.
int MillisecondsLeft(steady_clock::time_point deadline) {
  auto left = std::chrono::ceil<milliseconds>(deadline - steady_clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// The D-Bus error name of a failed call ("" for local failures such as a timeout).
std::string RemoteErrorName(const GError* error) {
  gchar* name = g_dbus_error_get_remote_error(error);
  std::string result = name ? name : "";
  g_free(name);
  return result;
}

bool IsMissingService(const std::string& error_name) {
  return error_name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
         error_name == "org.freedesktop.DBus.Error.NameHasNoOwner";
}

// GLib and GIO print warnings about backends and buses; the tool's streams carry none of that.
void SilenceGLibLogs() {
  static std::once_flag once;
  std::call_once(once, [] {
    g_log_set_writer_func(
        [](GLogLevelFlags, const GLogField*, gsize, gpointer) { return G_LOG_WRITER_HANDLED; },
        nullptr, nullptr);
  });
}

// A fresh main context, the calling thread's default while this lives.
struct ThreadContext {
  ThreadContext() : context(g_main_context_new()) { g_main_context_push_thread_default(context); }
  ~ThreadContext() {
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
  }
  GMainContext* context;
};

gboolean CancelOnTimeout(gpointer cancellable) {
  g_cancellable_cancel(G_CANCELLABLE(cancellable));
  return G_SOURCE_REMOVE;
}

// The session bus as this process finds it: absent (no address, an "autolaunch:" one, or nobody
// listening there) is a desktop without a consent layer; a bus that fails or does not finish the
// handshake in time is no connection and not absent.
struct SessionBus {
  Connection connection;
  bool absent = false;
};

struct PendingConnection {
  bool done = false;
  GDBusConnection* connection = nullptr;
  bool nobody_listening = false;
};

void OnConnected(GObject*, GAsyncResult* result, gpointer data) {
  auto* pending = static_cast<PendingConnection*>(data);
  GError* raw_error = nullptr;
  pending->connection = g_dbus_connection_new_for_address_finish(result, &raw_error);
  if (raw_error) {
    Error error(raw_error);
    pending->nobody_listening =
        g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_NOT_FOUND) ||
        g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CONNECTION_REFUSED);
  }
  pending->done = true;
}

// A private connection to the session bus, made by |deadline|. Iterates |context|, which must be
// the thread's default.
SessionBus ConnectSessionBus(GMainContext* context, GCancellable* stop,
                             steady_clock::time_point deadline) {
  gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (!address || g_str_has_prefix(address, "autolaunch:")) {
    g_free(address);
    return {.absent = true};
  }
  GCancellable* cancellable = g_cancellable_new();
  gulong forward = 0;
  if (stop) {
    forward = g_cancellable_connect(stop, G_CALLBACK(+[](GCancellable*, gpointer c) {
                                      g_cancellable_cancel(G_CANCELLABLE(c));
                                    }),
                                    cancellable, nullptr);
  }
  GSource* timer = g_timeout_source_new(static_cast<guint>(MillisecondsLeft(deadline)));
  g_source_set_callback(timer, CancelOnTimeout, cancellable, nullptr);
  g_source_attach(timer, context);

  PendingConnection pending;
  g_dbus_connection_new_for_address(
      address,
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, cancellable, OnConnected, &pending);
  while (!pending.done) g_main_context_iteration(context, TRUE);

  g_source_destroy(timer);
  g_source_unref(timer);
  if (stop) g_cancellable_disconnect(stop, forward);
  g_object_unref(cancellable);
  g_free(address);
  return {.connection = Connection(pending.connection), .absent = pending.nobody_listening};
}

PrivacySwitch ReadPrivacySwitch() {
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  if (!source) return PrivacySwitch::kAbsent;
  GSettingsSchema* schema = g_settings_schema_source_lookup(source, kPrivacySchema, TRUE);
  if (!schema) return PrivacySwitch::kAbsent;
  PrivacySwitch result = PrivacySwitch::kAbsent;
  if (g_settings_schema_has_key(schema, kMicrophoneSwitchKey)) {
    GSettings* settings = g_settings_new_full(schema, nullptr, nullptr);
    if (!g_settings_get_boolean(settings, kMicrophoneSwitchKey)) {
      result = PrivacySwitch::kAllowed;
    } else if (g_settings_is_writable(settings, kMicrophoneSwitchKey)) {
      result = PrivacySwitch::kOffWritable;
    } else {
      result = PrivacySwitch::kOffLocked;
    }
    g_object_unref(settings);
  }
  g_settings_schema_unref(schema);
  return result;
}

StoredConsent LookupStoredConsent(const SessionBus& bus, const std::string& app_id,
                                  steady_clock::time_point deadline) {
  if (bus.absent) return StoredConsent::kNoStore;
  if (!bus.connection) throw FactUnavailable();
  const int timeout_ms = MillisecondsLeft(deadline);
  if (timeout_ms == 0) throw FactUnavailable();
  GError* raw_error = nullptr;
  Variant reply(g_dbus_connection_call_sync(
      bus.connection.get(), kStoreName, kStorePath, kStoreName, "Lookup",
      g_variant_new("(ss)", "devices", "microphone"), G_VARIANT_TYPE("(a{sas}v)"),
      G_DBUS_CALL_FLAGS_NONE, timeout_ms, nullptr, &raw_error));
  if (!reply) {
    Error error(raw_error);
    std::string name = RemoteErrorName(error.get());
    if (name == "org.freedesktop.portal.Error.NotFound") return StoredConsent::kNoRow;
    if (IsMissingService(name)) return StoredConsent::kNoStore;
    throw FactUnavailable();
  }
  GVariant* table = g_variant_get_child_value(reply.get(), 0);
  const gchar** permissions = nullptr;
  StoredConsent consent = StoredConsent::kNoRow;
  if (g_variant_lookup(table, app_id.c_str(), "^a&s", &permissions)) {
    std::string first = permissions[0] ? permissions[0] : "";
    consent = first == "yes"  ? StoredConsent::kYes
              : first == "no" ? StoredConsent::kNo
                              : StoredConsent::kAsk;
    g_free(permissions);
  }
  g_variant_unref(table);
  return consent;
}

bool DevicePortalAnswers(const SessionBus& bus, steady_clock::time_point deadline) {
  if (bus.absent) return false;
  if (!bus.connection) throw FactUnavailable();
  const int timeout_ms = MillisecondsLeft(deadline);
  if (timeout_ms == 0) throw FactUnavailable();
  GError* raw_error = nullptr;
  Variant reply(g_dbus_connection_call_sync(
      bus.connection.get(), kPortalName, kPortalPath, "org.freedesktop.DBus.Properties", "Get",
      g_variant_new("(ss)", "org.freedesktop.portal.Device", "version"), G_VARIANT_TYPE("(v)"),
      G_DBUS_CALL_FLAGS_NONE, timeout_ms, nullptr, &raw_error));
  if (reply) return true;
  Error error(raw_error);
  std::string name = RemoteErrorName(error.get());
  if (IsMissingService(name) || name == "org.freedesktop.DBus.Error.UnknownInterface" ||
      name == "org.freedesktop.DBus.Error.UnknownProperty" ||
      name == "org.freedesktop.DBus.Error.UnknownObject" ||
      name == "org.freedesktop.DBus.Error.InvalidArgs") {
    return false;
  }
  throw FactUnavailable();
}

}  // namespace

// One access prompt on the portal, driven by a worker thread with its own main context.
class PortalPrompt {
 public:
  PortalPrompt(std::function<void(bool)> handler, milliseconds budget)
      : handler_(std::move(handler)),
        deadline_(steady_clock::now() + budget),
        context_(g_main_context_new()),
        loop_(g_main_loop_new(context_, FALSE)),
        stop_(g_cancellable_new()),
        worker_([this] { Run(); }) {}

  ~PortalPrompt() {
    g_cancellable_cancel(stop_);
    GSource* quit = g_idle_source_new();
    g_source_set_callback(
        quit,
        [](gpointer loop) {
          g_main_loop_quit(static_cast<GMainLoop*>(loop));
          return G_SOURCE_REMOVE;
        },
        loop_, nullptr);
    g_source_attach(quit, context_);
    g_source_unref(quit);
    worker_.join();
    g_object_unref(stop_);
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
  }

 private:
  void Run() {
    g_main_context_push_thread_default(context_);
    bus_ = std::move(ConnectSessionBus(context_, stop_, deadline_).connection);
    if (bus_ && MillisecondsLeft(deadline_) > 0) {
      Ask();
      g_main_loop_run(loop_);
      if (!answered_ && call_returned_) CloseRequest();
      if (subscription_) g_dbus_connection_signal_unsubscribe(bus_.get(), subscription_);
    }
    bus_.reset();
    Answer(false);
    g_main_context_pop_thread_default(context_);
  }

  void Ask() {
    std::string sender = g_dbus_connection_get_unique_name(bus_.get()) + 1;
    for (char& c : sender) {
      if (c == '.') c = '_';
    }
    std::string token = "quorvane_" + std::to_string(::getpid());
    request_path_ = std::string(kPortalPath) + "/request/" + sender + "/" + token;
    Subscribe();

    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
    const gchar* devices[] = {"microphone", nullptr};
    g_dbus_connection_call(
        bus_.get(), kPortalName, kPortalPath, "org.freedesktop.portal.Device", "AccessDevice",
        g_variant_new("(u^asa{sv})", static_cast<guint32>(::getpid()), devices, &options),
        G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, MillisecondsLeft(deadline_), stop_,
        &PortalPrompt::OnCallReturned, this);
  }

  // The Response signal is subscribed before the call, so that it cannot pass unseen.
  void Subscribe() {
    if (subscription_) g_dbus_connection_signal_unsubscribe(bus_.get(), subscription_);
    subscription_ = g_dbus_connection_signal_subscribe(
        bus_.get(), kPortalName, "org.freedesktop.portal.Request", "Response",
        request_path_.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE, &PortalPrompt::OnResponse, this,
        nullptr);
  }

  static void OnCallReturned(GObject* source, GAsyncResult* result, gpointer data) {
    auto* self = static_cast<PortalPrompt*>(data);
    Variant reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr));
    if (!reply) return self->Finish(false);
    self->call_returned_ = true;
    const gchar* handle = nullptr;
    g_variant_get(reply.get(), "(&o)", &handle);
    // Portals older than the handle_token convention pick their own path.
    if (self->request_path_ != handle) {
      self->request_path_ = handle;
      self->Subscribe();
    }
  }

  static void OnResponse(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                         GVariant* parameters, gpointer data) {
    auto* self = static_cast<PortalPrompt*>(data);
    guint32 response = 2;
    if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ua{sv})"))) {
      g_variant_get_child(parameters, 0, "u", &response);
    }
    self->Finish(response == 0);
  }

  void Finish(bool granted) {
    Answer(granted);
    g_main_loop_quit(loop_);
  }

  void Answer(bool granted) {
    if (answered_) return;
    answered_ = true;
    handler_(granted);
  }

  // Asks the portal to take the dialog down when the tool stops waiting; sent without waiting for
  // a reply, which the portal gives only once the dialog has returned.
  void CloseRequest() {
    GDBusMessage* close = g_dbus_message_new_method_call(kPortalName, request_path_.c_str(),
                                                         "org.freedesktop.portal.Request", "Close");
    g_dbus_message_set_flags(close, G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED);
    g_dbus_connection_send_message(bus_.get(), close, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr,
                                   nullptr);
    g_object_unref(close);
    g_dbus_connection_flush_sync(bus_.get(), nullptr, nullptr);
  }

  std::function<void(bool)> handler_;
  steady_clock::time_point deadline_;  // for the portal to take the call, not for the answer
  GMainContext* context_;
  GMainLoop* loop_;
  GCancellable* stop_;
  // Touched by the worker thread only.
  Connection bus_;
  std::string request_path_;
  guint subscription_ = 0;
  bool call_returned_ = false;
  bool answered_ = false;
  std::thread worker_;
};

PortalMicrophoneAuthority::PortalMicrophoneAuthority(PortalAuthorityOptions options)
    : options_(std::move(options)) {}

PortalMicrophoneAuthority::~PortalMicrophoneAuthority() = default;

int PortalMicrophoneAuthority::AuthorizationStatus() {
  SilenceGLibLogs();
  const auto deadline = steady_clock::now() + options_.status_budget;
  const std::optional<std::string> sandbox_app_id = FlatpakAppId(options_.flatpak_info_path);
  ThreadContext scope;
  std::optional<SessionBus> bus;
  auto session_bus = [&]() -> const SessionBus& {
    if (!bus) bus = ConnectSessionBus(scope.context, nullptr, deadline);
    return *bus;
  };
  return MicrophoneStatusFrom({
      .sandboxed = sandbox_app_id.has_value(),
      .privacy_switch = ReadPrivacySwitch,
      .stored_consent =
          [&] {
            return LookupStoredConsent(
                session_bus(), PortalAppIdOfThisProcess(options_.flatpak_info_path), deadline);
          },
      .capture = [&] { return ProbeCapture(milliseconds(MillisecondsLeft(deadline))); },
      .prompt_available = [&] { return DevicePortalAnswers(session_bus(), deadline); },
  });
}

void PortalMicrophoneAuthority::RequestAccess(std::function<void(bool granted)> handler) {
  SilenceGLibLogs();
  prompt_.reset();
  prompt_ = std::make_unique<PortalPrompt>(std::move(handler), options_.request_budget);
}
