#include "app/output.h"

#include <cmath>

#include "app/standard_streams.h"
#include "app/tool_error.h"
#include "platform/platform_error.h"

namespace {

// Largest magnitude below which every whole double is exact as a 64-bit integer.
constexpr double kExactIntegerLimit = 9007199254740992.0;  // 2^53

// A copy of |value| whose whole-valued doubles are integers, so they print as 15 rather than 15.0.
nlohmann::json NormalizeNumbers(const nlohmann::json& value) {
  if (value.is_number_float()) {
    double number = value.get<double>();
    if (!std::isfinite(number)) {
      throw PlatformError("The result could not be written as JSON: a number is not finite");
    }
    if (number == std::trunc(number) && std::fabs(number) < kExactIntegerLimit) {
      return static_cast<std::int64_t>(number);
    }
    return value;
  }
  if (value.is_array()) {
    nlohmann::json copy = nlohmann::json::array();
    for (const auto& element : value) copy.push_back(NormalizeNumbers(element));
    return copy;
  }
  if (value.is_object()) {
    nlohmann::json copy = nlohmann::json::object();
    for (const auto& [key, member] : value.items()) copy[key] = NormalizeNumbers(member);
    return copy;
  }
  return value;
}

// The first string (member name or value) in |value| that the serialiser refuses as UTF-8.
const std::string* FirstInvalidText(const nlohmann::json& value) {
  auto invalid = [](const std::string& text) {
    try {
      nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
      return false;
    } catch (const nlohmann::json::type_error&) {
      return true;
    }
  };
  if (value.is_string()) {
    const std::string& text = value.get_ref<const std::string&>();
    return invalid(text) ? &text : nullptr;
  }
  if (value.is_object()) {
    for (auto it = value.begin(); it != value.end(); ++it) {
      if (invalid(it.key())) return &it.key();
      if (const std::string* text = FirstInvalidText(it.value())) return text;
    }
  }
  if (value.is_array()) {
    for (const auto& element : value) {
      if (const std::string* text = FirstInvalidText(element)) return text;
    }
  }
  return nullptr;
}

}  // namespace

std::string SerializeResult(const nlohmann::json& value) {
  // nlohmann::json keeps object members in a std::map, so dump() already sorts keys bytewise.
  const nlohmann::json normalized = NormalizeNumbers(value);
  std::string text;
  try {
    text = normalized.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::type_error&) {
    const std::string* invalid = FirstInvalidText(normalized);
    throw PlatformError("The result could not be written as JSON: " +
                        (invalid ? "\"" + *invalid + "\"" : std::string("a text")) +
                        " is not valid UTF-8");
  }
  // Outside strings JSON has no "/", so every solidus here sits inside a string and gets escaped.
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    if (c == '/') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

void output(const nlohmann::json& value, const std::function<void(std::string_view)>& write) {
  std::string text = SerializeResult(value);
  write(text);
  write("\n");
}

void output(const nlohmann::json& value) { output(value, WriteToStandardOutput); }
