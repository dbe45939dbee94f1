#pragma once

#include <optional>
#include <string>
#include <string_view>

// Where Flatpak tells a sandboxed process who it is.
inline constexpr char kFlatpakInfoPath[] = "/.flatpak-info";

// The application id xdg-desktop-portal 1.16 gives an unsandboxed process: parsed from the systemd
// user unit the process runs in (app[-<launcher>]-<ApplicationID>[-<RANDOM>].scope and the like,
// with \xNN escapes decoded), and "" when there is no such unit. The permission store keys its
// "devices"/"microphone" rows by this id.
std::string PortalAppIdFromCgroup(std::string_view proc_cgroup_text);

// The application id of a process inside a Flatpak sandbox: the name under [Application] in the
// sandbox's info file at |flatpak_info_path| ("" when the file has none), or nothing when there is
// no such file, i.e. the process is not sandboxed.
std::optional<std::string> FlatpakAppId(const std::string& flatpak_info_path);

// The id the portal gives this process: the sandbox's when |flatpak_info_path| exists, else the
// one of its systemd unit from /proc/self/cgroup ("" when it cannot be read).
std::string PortalAppIdOfThisProcess(const std::string& flatpak_info_path = kFlatpakInfoPath);
