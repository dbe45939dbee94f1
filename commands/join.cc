#include "commands/join.h"

#include "app/tool_error.h"

void join(const std::vector<std::string>&, const std::string&, MediaServices&,
          std::chrono::steady_clock::duration) {
  throw PlatformError("join is not built yet");  // PLACEHOLDER
}
