#pragma once

#include <string>
#include <string_view>

// |description| as one line: every control character (C0, DEL and C1) is written as an escape,
// \n, \r, \t or \xHH (\u00HH for C1), so that a file name holding a line feed or a terminal
// sequence can neither split the error line nor reach the caller's terminal. Other bytes, UTF-8
// text included, are kept as they are.
std::string OneLine(std::string_view description);

// Writes |description| as one line (above) and a line feed to standard error in one write and
// ends the process with status 1 at once. _exit skips static destructors, so a worker thread that
// is still running (an export being cancelled, a prompt still open) cannot race the way out.
[[noreturn]] void ReportFailure(std::string_view description);
