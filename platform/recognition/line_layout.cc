#include "platform/recognition/line_layout.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <utility>

namespace {

using Lines = std::vector<LineRegion>::iterator;

// Each cut sorts its part again; a page of more lines than this (noise, thousands of specks) is
// read top to bottom without cuts.
constexpr size_t kMostLinesCut = 2000;

bool TopThenLeft(const LineRegion& a, const LineRegion& b) {
  return a.top != b.top ? a.top < b.top : a.left < b.left;
}

// Sorts [first, last) by |begin_of| and returns where the widest stretch that none of the lines'
// spans |begin_of| .. |end_of| covers ends (the first line after it), with its width; width 0
// when there is none.
template <typename Begin, typename End>
std::pair<Lines, int> WidestGap(Lines first, Lines last, Begin begin_of, End end_of) {
  std::sort(first, last,
            [&](const LineRegion& a, const LineRegion& b) { return begin_of(a) < begin_of(b); });
  std::pair<Lines, int> widest{last, 0};
  int covered = begin_of(*first);
  for (Lines line = first; line != last; ++line) {
    if (begin_of(*line) - covered > widest.second) widest = {line, begin_of(*line) - covered};
    covered = std::max(covered, end_of(*line));
  }
  return widest;
}

void SortInReadingOrder(Lines first, Lines last, int line_height) {
  if (last - first <= 1) return;
  const auto [column, column_gap] = WidestGap(
      first, last, [](const LineRegion& l) { return l.left; },
      [](const LineRegion& l) { return l.left + l.width; });
  if (column_gap > 0 && column_gap >= kColumnGapPerLineHeight * line_height) {
    SortInReadingOrder(first, column, line_height);
    SortInReadingOrder(column, last, line_height);
    return;
  }
  const auto [row, row_gap] = WidestGap(
      first, last, [](const LineRegion& l) { return l.top; },
      [](const LineRegion& l) { return l.top + l.height; });
  if (row_gap > 0) {
    SortInReadingOrder(first, row, line_height);
    SortInReadingOrder(row, last, line_height);
    return;
  }
  std::sort(first, last, TopThenLeft);
}

}  // namespace

std::vector<LineRegion> InReadingOrder(std::vector<LineRegion> lines) {
  if (lines.empty()) return lines;
  std::vector<int> heights;
  for (const LineRegion& line : lines) heights.push_back(line.height);
  std::nth_element(heights.begin(), heights.begin() + heights.size() / 2, heights.end());
  if (lines.size() > kMostLinesCut) {
    std::sort(lines.begin(), lines.end(), TopThenLeft);
  } else {
    SortInReadingOrder(lines.begin(), lines.end(), heights[heights.size() / 2]);
  }
  return lines;
}

namespace {

// How far |a| and |b| overlap across and down; negative where they are apart.
std::pair<int, int> Overlap(const LineRegion& a, const LineRegion& b) {
  return {std::min(a.left + a.width, b.left + b.width) - std::max(a.left, b.left),
          std::min(a.top + a.height, b.top + b.height) - std::max(a.top, b.top)};
}

}  // namespace

std::vector<bool> FragmentsOf(const std::vector<LineRegion>& lines) {
  std::vector<bool> fragments(lines.size(), false);
  for (size_t i = 0; i < lines.size(); ++i) {
    const LineRegion& piece = lines[i];
    for (const LineRegion& line : lines) {
      if (piece.height > kMostFragmentHeight * line.height) continue;
      const auto [across, down] = Overlap(piece, line);
      if (2 * across >= piece.width && 2 * down >= piece.height) {
        fragments[i] = true;
        break;
      }
    }
  }
  return fragments;
}

std::vector<bool> ReadTwiceOf(const std::vector<LineRegion>& lines,
                              const std::vector<size_t>& characters) {
  auto fewer = [&](size_t a, size_t b) {  // whether line a gives way to line b
    if (characters[a] != characters[b]) return characters[a] < characters[b];
    if (lines[a].width != lines[b].width) return lines[a].width < lines[b].width;
    return a > b;
  };
  std::vector<bool> twice(lines.size(), false);
  for (size_t i = 0; i < lines.size(); ++i) {
    const LineRegion& line = lines[i];
    for (size_t j = 0; j < lines.size() && !twice[i]; ++j) {
      const LineRegion& other = lines[j];
      if (j == i || !fewer(i, j)) continue;
      const auto [across, down] = Overlap(line, other);
      twice[i] = 2 * across >= std::min(line.width, other.width) &&
                 2 * down >= std::min(line.height, other.height);
    }
  }
  return twice;
}

std::vector<LineRegion> KeptApart(std::vector<LineRegion> lines,
                                  const std::vector<LineRegion>& areas) {
  for (size_t i = 0; i < areas.size(); ++i) {
    const LineRegion& area = areas[i];
    int left = lines[i].left, right = lines[i].left + lines[i].width;
    for (size_t j = 0; j < areas.size(); ++j) {
      const LineRegion& other = areas[j];
      const int shared = std::min(area.top + area.height, other.top + other.height) -
                         std::max(area.top, other.top);
      if (j == i || shared < std::min(area.height, other.height) / 2) continue;
      if (other.left + other.width <= area.left) {
        left = std::max(left, (other.left + other.width + area.left) / 2);
      }
      if (other.left >= area.left + area.width) {
        right = std::min(right, (area.left + area.width + other.left) / 2);
      }
    }
    if (right > left) lines[i].left = left, lines[i].width = right - left;
  }
  return lines;
}

std::vector<LineRegion> WithLoneStrokes(std::vector<LineRegion> lines,
                                        const std::vector<LoneStroke>& strokes) {
  auto holds = [](const LineRegion& line, const LineRegion& ink) {
    const auto [across, down] = Overlap(line, ink);
    return across > 0 && down > 0;
  };
  std::vector<LineRegion> kept;
  for (const LineRegion& line : lines) {
    int left = std::numeric_limits<int>::max(), top = left;
    int right = std::numeric_limits<int>::min(), bottom = right;
    bool any = false;
    for (const LoneStroke& stroke : strokes) {
      if (!holds(line, stroke.ink)) continue;
      any = true;
      left = std::min(left, stroke.clear.left);
      top = std::min(top, stroke.clear.top);
      right = std::max(right, stroke.clear.left + stroke.clear.width);
      bottom = std::max(bottom, stroke.clear.top + stroke.clear.height);
    }
    const int slack = static_cast<int>(kStrokeLineSlack * line.height);
    const bool strokes_alone = any && line.left >= left - slack && line.top >= top - slack &&
                               line.left + line.width <= right + slack &&
                               line.top + line.height <= bottom + slack;
    if (!strokes_alone) kept.push_back(line);
  }
  const size_t found = kept.size();
  for (const LoneStroke& stroke : strokes) {
    if (std::none_of(kept.begin(), kept.begin() + found,
                     [&](const LineRegion& line) { return holds(line, stroke.ink); })) {
      LineRegion line = stroke.line;
      line.stroke = true;
      kept.push_back(line);
    }
  }
  return kept;
}
