#pragma once

#include <string>
#include <string_view>

// The application id xdg-desktop-portal 1.16 gives an unsandboxed process: parsed from the systemd
// user unit the process runs in (app[-<launcher>]-<ApplicationID>[-<RANDOM>].scope and the like,
// with \xNN escapes decoded), and "" when there is no such unit. The permission store keys its
// "devices"/"microphone" rows by this id.
std::string PortalAppIdFromCgroup(std::string_view proc_cgroup_text);

// The same for this process, from /proc/self/cgroup ("" when it cannot be read).
std::string PortalAppIdOfThisProcess();
