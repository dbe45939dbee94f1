#include "platform/recognition/line_confidence.h"

#include "platform/recognition/script_rules.h"

namespace {

// The code point of |text| where it is one character of one to three bytes, spaces around it
// aside; else 0.
unsigned LoneCodePoint(const std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return 0;
  const size_t last = text.find_last_not_of(' ');
  const std::string_view character = std::string_view(text).substr(first, last - first + 1);
  const unsigned char lead = static_cast<unsigned char>(character[0]);
  if (character.size() == 1) return lead < 0x80 ? lead : 0;
  if (character.size() == 2 && (lead & 0xe0) == 0xc0) {
    return (lead & 0x1fu) << 6 | (static_cast<unsigned char>(character[1]) & 0x3fu);
  }
  return character.size() == 3 && (lead & 0xf0) == 0xe0 ? CodePoint(character) : 0;
}

}  // namespace

bool IsPhantom(const std::string& text, float confidence) {
  if (confidence >= kSymbolLineConfidence) return false;
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80 ? 1 : lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 1;
    if (length == 2 || ScriptOf(std::string_view(text).substr(i, length)) != 0) return false;
    i += length;
  }
  return true;
}

bool IsLoneIcon(const std::string& text) {
  const unsigned code = LoneCodePoint(text);
  return code == '<' || code == '>' || code == 0xa9 || code == 0xae || code == 0x53e3 ||  // 口
         (code >= 0x2190 && code <= 0x21ff) ||  // arrows
         (code >= 0x2460 && code <= 0x24ff) ||  // circled numbers and letters
         (code >= 0x2500 && code <= 0x27bf) ||  // boxes, shapes, symbols and dingbats
         (code >= 0x3000 && code <= 0x303f) ||  // Chinese punctuation
         code == 0xff0c || code == 0xff1a || code == 0xff1b;  // full-width ，：；
}

std::string LoneHalfWidth(const std::string& text) {
  const unsigned code = LoneCodePoint(text);
  if (code < 0xff01 || code > 0xff5e) return text;
  return std::string(1, static_cast<char>(code - 0xfee0));
}
