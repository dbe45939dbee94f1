#pragma once

#include <string>
#include <string_view>

// What the recogniser needs to know of single characters (UTF-8): their code points, scripts and
// full-width forms.

// The code point of a character of one to three bytes, else 0.
unsigned CodePoint(std::string_view utf8);

// 1 for a Chinese ideograph (U+3400-U+9FFF), 2 for an ASCII letter or digit, else 0.
int ScriptOf(std::string_view utf8);

bool IsAsciiDigit(std::string_view utf8);

// Chinese punctuation and full-width forms carry their own spacing.
bool IsFullWidthSign(std::string_view utf8);

// The half-width form of a full-width letter, digit, sign or yen sign, else |utf8| itself.
std::string HalfWidth(const std::string& utf8);

// How many characters |text| (UTF-8) has, spaces aside.
size_t CharacterCount(std::string_view text);

// Whether |text| is white space only.
bool IsBlank(std::string_view text);
