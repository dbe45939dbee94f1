#pragma once

#include <string_view>

// Writes |description| and a line feed to standard error in one write and ends the process with
// status 1 at once. _exit skips static destructors, so a worker thread that is still running (an
// export being cancelled, a prompt still open) cannot race the way out.
[[noreturn]] void ReportFailure(std::string_view description);
