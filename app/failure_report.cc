#include "app/failure_report.h"

#include <unistd.h>

#include <string>

#include "app/standard_streams.h"

std::string OneLine(std::string_view description) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string line;
  line.reserve(description.size());
  for (size_t i = 0; i < description.size(); ++i) {
    const auto byte = static_cast<unsigned char>(description[i]);
    // U+0080..U+009F (C2 80..C2 9F in UTF-8) are control characters too; NEL among them ends a
    // line for some readers.
    if (byte == 0xc2 && i + 1 < description.size()) {
      const auto next = static_cast<unsigned char>(description[i + 1]);
      if (next >= 0x80 && next <= 0x9f) {
        line += "\\u00";
        line += kHex[next >> 4];
        line += kHex[next & 0xf];
        ++i;
        continue;
      }
    }
    if (byte >= 0x20 && byte != 0x7f) {
      line += static_cast<char>(byte);
      continue;
    }
    switch (byte) {
      case '\n':
        line += "\\n";
        break;
      case '\r':
        line += "\\r";
        break;
      case '\t':
        line += "\\t";
        break;
      default:
        line += "\\x";
        line += kHex[byte >> 4];
        line += kHex[byte & 0xf];
    }
  }
  return line;
}

void ReportFailure(std::string_view description) {
  std::string line = OneLine(description);
  line += '\n';
  WriteToStandardError(line);
  ::_exit(1);
}
