#include "platform/recognition/line_confidence.h"

#include <cctype>

#include "platform/recognition/script_rules.h"

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

float TrustedFrom(std::string_view text) {
  bool chinese = false;
  int before = 0;  // the script of the previous character, 3 for an ASCII sign
  // Character by character: a window over the bytes would also decode the tail of "é".
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
    const std::string_view character = text.substr(i, length);
    const int script = ScriptOf(character) != 0 ? ScriptOf(character)
                       : length == 1 && std::ispunct(lead) ? 3
                                                            : 0;
    chinese = chinese || script == 1;
    if ((script == 1 && before == 3) || (script == 3 && before == 1)) return 101;
    before = script;
    i += length;
  }
  return chinese ? kTrustChineseFrom : kRetryBelowConfidence;
}
