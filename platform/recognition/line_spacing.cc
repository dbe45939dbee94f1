#include "platform/recognition/line_spacing.h"

#include <algorithm>

#include "platform/recognition/script_rules.h"

int InkColumns::WidestGap(int from, int to) const {
  const int count = static_cast<int>(inked.size());
  int widest = 0, run = 0;
  for (int x = std::max(from - left, 0); x < std::min(to - left, count); ++x) {
    run = inked[x] ? 0 : run + 1;
    widest = std::max(widest, run);
  }
  return widest;
}

std::string SpacedAtScriptChanges(const std::vector<FoundLine::Symbol>& symbols,
                                  const std::string& text, const InkColumns& columns, double gap,
                                  bool digits_and_letters) {
  std::string spaced;
  size_t consumed = 0;
  int previous_script = 0;
  int previous_left = -1;
  for (const FoundLine::Symbol& symbol : symbols) {
    const size_t at = text.find(symbol.utf8, consumed);
    if (at == std::string::npos) break;
    int script = ScriptOf(symbol.utf8);
    if (digits_and_letters && script == 2 && IsAsciiDigit(symbol.utf8)) script = 3;  // its own
    spaced.append(text, consumed, at - consumed);
    if (previous_left >= 0 && at == consumed && script != 0 && previous_script != 0 &&
        script != previous_script && columns.WidestGap(previous_left, symbol.right) >= gap) {
      spaced += ' ';
    }
    spaced += symbol.utf8;
    consumed = at + symbol.utf8.size();
    previous_script = script;
    previous_left = symbol.left;
  }
  spaced.append(text, consumed, std::string::npos);
  return spaced;
}

std::string SpacedLikeTesseract(const std::vector<ModelCharacter>& characters,
                                const FoundLine& line, const InkColumns& columns) {
  const double height = line.bottom - line.top;
  const size_t count = characters.size();
  std::vector<int> gaps(count, 0);
  std::vector<int> scripts(count, 0);
  for (size_t i = 0; i < count; ++i) {
    scripts[i] = ScriptOf(characters[i].utf8);
    if (i + 1 < count) {
      gaps[i] = columns.WidestGap(static_cast<int>(characters[i].x),
                                  static_cast<int>(characters[i + 1].x));
    }
  }
  std::vector<bool> space_after(count, false);
  for (size_t k = 1; k < line.words.size(); ++k) {
    if (!line.words[k].space_before) continue;
    const double edge =
        std::min<double>(line.words[k].left, (line.words[k - 1].right + line.words[k].left) / 2.0);
    int best = -1;
    for (size_t i = 0; i + 1 < count; ++i) {
      if (!space_after[i] && characters[i + 1].x >= edge - height / 2 &&
          characters[i].x <= edge + height / 2 && (best < 0 || gaps[i] > gaps[best])) {
        best = static_cast<int>(i);
      }
    }
    if (best < 0) continue;
    const bool chinese = scripts[best] == 1 && scripts[best + 1] == 1;
    if (gaps[best] >= height * (chinese ? kWordGapInChinese : kWordGapPerLineHeight)) {
      space_after[best] = true;
    }
  }
  for (size_t i = 0; i + 1 < count; ++i) {
    const bool digit_and_letter =
        scripts[i] == 2 && scripts[i + 1] == 2 &&
        IsAsciiDigit(characters[i].utf8) != IsAsciiDigit(characters[i + 1].utf8);
    if (scripts[i] != 0 && scripts[i + 1] != 0 &&
        (scripts[i] != scripts[i + 1] || digit_and_letter) &&
        gaps[i] >= height * kScriptGapPerLineHeight) {
      space_after[i] = true;
    }
    if (scripts[i] == 1 && scripts[i + 1] == 1 && gaps[i] >= height * kChineseWordGapAlone) {
      space_after[i] = true;
    }
  }
  auto tesseract_read = [&](const std::string& utf8, double x) {
    const double tolerance = kScriptGapPerLineHeight * height;
    return std::any_of(line.symbols.begin(), line.symbols.end(), [&](const FoundLine::Symbol& s) {
      return s.utf8 == utf8 && s.left <= x + tolerance && s.right >= x - tolerance;
    });
  };
  std::vector<std::string> chosen(count);
  for (size_t i = 0; i < count; ++i) {
    const std::string& utf8 = characters[i].utf8;
    chosen[i] = utf8;
    const std::string half = HalfWidth(utf8);
    const bool after_chinese = i > 0 && scripts[i - 1] == 1;
    const bool before_chinese = i + 1 < count && scripts[i + 1] == 1 && !space_after[i];
    if (half != utf8 && !after_chinese && !before_chinese &&
        tesseract_read(half, characters[i].x)) {
      chosen[i] = half;
    }
    if ((utf8 == "-" || utf8 == "\u2014" || utf8 == "\u2013") &&
        tesseract_read("\u4e00", characters[i].x)) {
      chosen[i] = "\u4e00";
    }
  }
  // The two brackets of a pair are of one width: the full-width one of a mixed pair ("（3)",
  // "(248张）") takes the half-width form where Tesseract read that.
  auto opening = [&](size_t i) { return chosen[i] == "(" || chosen[i] == "\uff08"; };
  auto closing = [&](size_t i) { return chosen[i] == ")" || chosen[i] == "\uff09"; };
  for (size_t open = 0; open < count; ++open) {
    if (!opening(open)) continue;
    size_t close = open + 1;
    while (close < count && !opening(close) && !closing(close)) ++close;
    if (close == count || !closing(close) ||
        IsFullWidthSign(chosen[open]) == IsFullWidthSign(chosen[close])) {
      continue;
    }
    const size_t full = IsFullWidthSign(chosen[open]) ? open : close;
    const std::string half = HalfWidth(chosen[full]);
    if (tesseract_read(half, characters[full].x)) chosen[full] = half;
  }
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0 && space_after[i - 1] && !IsFullWidthSign(chosen[i - 1]) &&
        !IsFullWidthSign(chosen[i])) {
      text += ' ';
    }
    text += chosen[i];
  }
  return text;
}
