// microphone_desktop pulseaudio|pipewire COMMAND [ARG...]
// Starts the microphone tests' desktop rig with access settled (a session bus whose permission
// store holds "yes" for this process's app id, and the named audio server with a null source),
// runs COMMAND in the rig's environment, prints what it printed and exits with its status. The
// rig is stopped and removed on the way out.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "tests/integration/authorization/desktop_rig.h"

int main(int argc, char** argv) {
  const std::string stack = argc > 1 ? argv[1] : "";
  if (argc < 3 || (stack != "pulseaudio" && stack != "pipewire")) {
    std::fprintf(stderr, "usage: %s pulseaudio|pipewire COMMAND [ARG...]\n", argv[0]);
    return 2;
  }
  try {
    DesktopRig rig;
    rig.StartSessionBus();
    rig.StartPermissionStore();
    rig.StartAudioServer(AudioServer::kMicrophone,
                         stack == "pipewire" ? AudioStack::kPipeWire : AudioStack::kPulseAudio);
    // "" is the id of a process outside any systemd app unit, as here.
    rig.StorePermission("", "yes");
    RunOptions options;
    options.extra_env = rig.Environment();
    options.timeout = std::chrono::minutes(10);
    RunResult run =
        RunProgram("/usr/bin/env", std::vector<std::string>(argv + 2, argv + argc), options);
    std::fwrite(run.out.data(), 1, run.out.size(), stdout);
    std::fwrite(run.err.data(), 1, run.err.size(), stderr);
    return run.status;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "microphone_desktop: %s\n", error.what());
    return 1;
  }
}
