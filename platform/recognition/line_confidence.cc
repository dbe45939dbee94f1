#include "platform/recognition/line_confidence.h"

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
