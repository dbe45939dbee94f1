#pragma once

#include <functional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

// The one way a subcommand prints its result.
//
// The text is compact JSON with the keys of every object in ascending byte order, every "/" written
// as "\/", non-ASCII characters as raw UTF-8, and whole-valued numbers without a fraction (15, not
// 15.0). Throws PlatformError for text that is not UTF-8 (naming the text) and for a number that is
// not finite; nothing is written then.
std::string SerializeResult(const nlohmann::json& value);

// Serialises |value| and hands the JSON text to |write| in one call and the line feed in a
// second. Nothing is written when serialisation fails.
void output(const nlohmann::json& value, const std::function<void(std::string_view)>& write);

// The same, writing to the tool's standard output.
void output(const nlohmann::json& value);
