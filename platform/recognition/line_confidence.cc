#include "platform/recognition/line_confidence.h"

#include "platform/recognition/script_rules.h"

namespace {

// |text| without the spaces around it.
std::string_view Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return std::string_view(text).substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

bool NeedsConfirming(const std::string& text) {
  size_t letters = 0, strokes = 0;
  for (const char c : text) {
    if (c == ' ') continue;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
      ++letters;
    } else if (c == '=' || c == '-' || c == '_' || c == '~') {
      ++strokes;
    } else {
      return false;
    }
  }
  const size_t count = letters + strokes;
  return count > 0 && count <= kMostLettersToConfirm && (letters == 0 || strokes == 0);
}

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
  const unsigned code = CodePoint(Trimmed(text));
  return code == '<' || code == '>' || code == 0xa9 || code == 0xae || code == 0x53e3 ||  // 口
         (code >= 0x2190 && code <= 0x21ff) ||  // arrows
         (code >= 0x2460 && code <= 0x24ff) ||  // circled numbers and letters
         (code >= 0x2500 && code <= 0x27bf) ||  // boxes, shapes, symbols and dingbats
         (code >= 0x3000 && code <= 0x303f) ||  // Chinese punctuation
         code == 0xff0c || code == 0xff1a || code == 0xff1b;  // full-width ，：；
}

bool IsFlatStroke(const std::string& text) {
  const unsigned code = CodePoint(Trimmed(text));
  return code == '-' || code == '_' || code == 0x4e00 ||  // 一
         (code >= 0x2010 && code <= 0x2015) ||  // hyphens and dashes
         code == 0x2212 || code == 0x30fc || code == 0xff0d;  // − ー －
}

std::string LoneHalfWidth(const std::string& text) {
  const std::string character(Trimmed(text));
  const std::string half = HalfWidth(character);
  return half.size() == 1 && half != character ? half : text;
}
