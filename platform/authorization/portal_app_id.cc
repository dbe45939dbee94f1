#include "platform/authorization/portal_app_id.h"

#include <glib.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace {

// The cgroup path of the systemd hierarchy: the unified line "0::..." or else "N:name=systemd:...".
std::string SystemdCgroupPath(std::string_view text) {
  std::string named;
  std::istringstream lines{std::string(text)};
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("0::", 0) == 0) return line.substr(3);
    auto marker = line.find(":name=systemd:");
    if (marker != std::string::npos) named = line.substr(marker + 14);
  }
  return named;
}

// sd_pid_get_user_unit(): the first component below user@UID.service that is not a slice.
std::string UserUnit(const std::string& cgroup_path) {
  std::vector<std::string> parts;
  std::istringstream path(cgroup_path);
  for (std::string part; std::getline(path, part, '/');) {
    if (!part.empty()) parts.push_back(part);
  }
  bool below_manager = false;
  for (const auto& part : parts) {
    if (!below_manager) {
      below_manager = part.rfind("user@", 0) == 0 && part.size() > 8 &&
                      part.compare(part.size() - 8, 8, ".service") == 0;
      continue;
    }
    if (part.size() > 6 && part.compare(part.size() - 6, 6, ".slice") == 0) continue;
    return part;
  }
  return "";
}

// systemd unit names escape bytes as \xNN.
std::string DecodeUnitEscapes(const std::string& escaped) {
  std::string decoded;
  for (size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] == '\\' && i + 3 < escaped.size() && escaped[i + 1] == 'x' &&
        g_ascii_isxdigit(escaped[i + 2]) && g_ascii_isxdigit(escaped[i + 3])) {
      decoded += static_cast<char>(g_ascii_xdigit_value(escaped[i + 2]) * 16 +
                                   g_ascii_xdigit_value(escaped[i + 3]));
      i += 3;
    } else {
      decoded += escaped[i];
    }
  }
  return decoded;
}

}  // namespace

std::string PortalAppIdFromCgroup(std::string_view proc_cgroup_text) {
  std::string unit = UserUnit(SystemdCgroupPath(proc_cgroup_text));
  if (unit.rfind("app-", 0) != 0) return "";
  // The pattern xdg-desktop-portal 1.16 matches unit names with.
  static GRegex* const kUnitPattern = g_regex_new(
      "^app-(?:[[:alnum:]]+\\-)?(.+?\\..+?\\..+?)(?:[@\\-][[:alnum:]]*)?(?:-autostart)?"
      "(?:\\.scope|\\.service|\\.slice)$",
      G_REGEX_OPTIMIZE, GRegexMatchFlags(0), nullptr);
  GMatchInfo* match = nullptr;
  std::string app_id;
  if (g_regex_match(kUnitPattern, unit.c_str(), GRegexMatchFlags(0), &match)) {
    gchar* captured = g_match_info_fetch(match, 1);
    app_id = DecodeUnitEscapes(captured);
    g_free(captured);
  }
  g_match_info_free(match);
  return app_id;
}

std::optional<std::string> FlatpakAppId(const std::string& flatpak_info_path) {
  if (!g_file_test(flatpak_info_path.c_str(), G_FILE_TEST_EXISTS)) return std::nullopt;
  GKeyFile* info = g_key_file_new();
  std::string app_id;
  if (g_key_file_load_from_file(info, flatpak_info_path.c_str(), G_KEY_FILE_NONE, nullptr)) {
    gchar* name = g_key_file_get_string(info, "Application", "name", nullptr);
    if (name) app_id = name;
    g_free(name);
  }
  g_key_file_free(info);
  return app_id;
}

std::string PortalAppIdOfThisProcess(const std::string& flatpak_info_path) {
  if (auto sandboxed = FlatpakAppId(flatpak_info_path)) return *sandboxed;
  std::ifstream file("/proc/self/cgroup");
  std::stringstream text;
  text << file.rdbuf();
  return PortalAppIdFromCgroup(text.str());
}
