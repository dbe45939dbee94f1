#include "platform/recognition/script_rules.h"

#include <algorithm>
#include <cctype>

unsigned CodePoint(std::string_view utf8) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(utf8[i]); };
  switch (utf8.size()) {
    case 1:
      return byte(0) < 0x80 ? byte(0) : 0;
    case 2:
      return (byte(0) & 0xe0) == 0xc0 ? (byte(0) & 0x1fu) << 6 | (byte(1) & 0x3fu) : 0;
    case 3:
      return (byte(0) & 0xf0) == 0xe0
                 ? (byte(0) & 0x0fu) << 12 | (byte(1) & 0x3fu) << 6 | (byte(2) & 0x3fu)
                 : 0;
    default:
      return 0;
  }
}

int ScriptOf(std::string_view utf8) {
  if (utf8.size() == 1) return std::isalnum(static_cast<unsigned char>(utf8[0])) ? 2 : 0;
  const unsigned code = CodePoint(utf8);
  return code >= 0x3400 && code <= 0x9fff ? 1 : 0;
}

bool IsAsciiDigit(std::string_view utf8) {
  return utf8.size() == 1 && std::isdigit(static_cast<unsigned char>(utf8[0]));
}

bool IsFullWidthSign(std::string_view utf8) {
  const unsigned code = CodePoint(utf8);
  return (code >= 0x3000 && code <= 0x303f) || (code >= 0xff00 && code <= 0xffef);
}

std::string HalfWidth(const std::string& utf8) {
  const unsigned code = CodePoint(utf8);
  if (code == 0xffe5) return "\u00a5";
  if (code < 0xff01 || code > 0xff5e) return utf8;
  return std::string(1, static_cast<char>(code - 0xfee0));
}

size_t CharacterCount(std::string_view text) {
  return std::count_if(text.begin(), text.end(), [](char c) {
    return c != ' ' && (static_cast<unsigned char>(c) & 0xc0) != 0x80;
  });
}

bool IsBlank(std::string_view text) {
  return text.find_first_not_of(" \t\r\n\f\v") == std::string_view::npos;
}
