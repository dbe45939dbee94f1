#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/recognition/line_confidence.h"
#include "platform/recognition/line_layout.h"
#include "platform/recognition/line_spacing.h"
#include "platform/recognition/script_rules.h"

namespace {

using ::testing::ElementsAre;

TEST(RecognitionRules, UnsureLinesOfSymbolsAloneAreLeftOut) {
  EXPECT_TRUE(IsPhantom("= -", kSymbolLineConfidence - 1));
  EXPECT_FALSE(IsPhantom("= -", kSymbolLineConfidence));
  EXPECT_FALSE(IsPhantom("= a", 10));
  EXPECT_FALSE(IsPhantom("= 中", 10));
}

TEST(RecognitionRules, EnglishReadingsOfOneOrTwoLettersOrStrokeSignsAloneNeedConfirming) {
  for (const char* text : {"x", "ch", "B R", " A ", "=", "- -", "_"}) {
    EXPECT_TRUE(NeedsConfirming(text)) << text;
  }
  for (const char* text : {"All", "B I U", "12", "x1", "C.", "中", "", " ", "===", "a=", "+"}) {
    EXPECT_FALSE(NeedsConfirming(text)) << text;
  }
}

TEST(RecognitionRules, OneIconSignAloneIsLeftOutAndOneFullWidthCharacterAloneIsHalfWidth) {
  for (const char* icon : {">", " 口 ", "\u00a9", "\u25cb", "\u2605", "\u2460", "。", "："}) {
    EXPECT_TRUE(IsLoneIcon(icon)) << icon;
  }
  for (const char* text : {"A", "0", "!", "良", "> a", "口语", "<>", "O|}", ""}) {
    EXPECT_FALSE(IsLoneIcon(text)) << text;
  }
  EXPECT_EQ(LoneHalfWidth(" ！"), "!");
  EXPECT_EQ(LoneHalfWidth("Ａ"), "A");
  EXPECT_EQ(LoneHalfWidth("！！"), "！！");
  EXPECT_EQ(LoneHalfWidth("中"), "中");
}

TEST(RecognitionRules, ASpaceGoesBetweenScriptsDigitsAndLettersOrChineseWordsOverAWideEnoughGap) {
  const std::vector<FoundLine::Symbol> symbols = {
      {0, 10, "已"}, {12, 22, "经"}, {30, 36, "m"}, {37, 42, "e"}};
  InkColumns columns{.left = 0, .inked = std::vector<bool>(43, true)};
  for (int x = 23; x < 30; ++x) columns.inked[x] = false;  // 7 columns without ink
  for (const bool digits : {false, true}) {
    EXPECT_EQ(SpacedAtScriptChanges(symbols, "已经me", columns, 7, digits), "已经 me");
    EXPECT_EQ(SpacedAtScriptChanges(symbols, "已经me", columns, 8, digits), "已经me");
  }
  // "2.4GB" with 7 ink-free columns before the "G"; "x64" set close.
  const std::vector<FoundLine::Symbol> size = {
      {0, 6, "2"}, {7, 9, "."}, {10, 16, "4"}, {23, 30, "G"}, {31, 37, "B"}};
  EXPECT_EQ(SpacedAtScriptChanges(size, "2.4GB", columns, 7, true), "2.4 GB");
  EXPECT_EQ(SpacedAtScriptChanges(size, "2.4GB", columns, 7, false), "2.4GB");
  const std::vector<FoundLine::Symbol> tag = {{0, 10, "x"}, {12, 21, "6"}, {22, 29, "4"}};
  EXPECT_EQ(SpacedAtScriptChanges(tag, "x64", columns, 7, true), "x64");
  // Two toolbar items read by the model where Tesseract saw no word: 7 columns on a line 10 high
  // part them, and 5 do not.
  const FoundLine toolbar{.left = 0, .top = 0, .right = 43, .bottom = 10};
  EXPECT_EQ(SpacedLikeTesseract({{"条", 5}, {"件", 18}, {"套", 33}}, toolbar, columns), "条件 套");
  for (int x = 23; x < 25; ++x) columns.inked[x] = true;
  EXPECT_EQ(SpacedLikeTesseract({{"条", 5}, {"件", 18}, {"套", 33}}, toolbar, columns), "条件套");
}

TEST(RecognitionRules, FullWidthSignsTakeTesseractsHalfWidthFormExceptAfterChineseOutsideAPair) {
  FoundLine line{.left = 0, .top = 0, .right = 60, .bottom = 20};
  line.symbols = {{43, 47, ":"}};
  const InkColumns columns{.left = 0, .inked = std::vector<bool>(60, true)};
  EXPECT_EQ(SpacedLikeTesseract({{"C", 5}, {"h", 15}, {"e", 25}, {"n", 35}, {"：", 45}}, line,
                                columns),
            "Chen:");
  EXPECT_EQ(SpacedLikeTesseract({{"完", 5}, {"成", 25}, {"：", 45}}, line, columns), "完成：");
  // After Chinese too where its partner takes the half-width form: a pair is of one width.
  line.symbols = {{23, 27, "("}, {43, 47, ")"}};
  EXPECT_EQ(SpacedLikeTesseract({{"上", 5}, {"传", 15}, {"（", 25}, {"3", 35}, {"）", 45}}, line,
                                columns),
            "上传(3)");
  line.symbols = {{43, 47, ")"}};
  EXPECT_EQ(SpacedLikeTesseract({{"上", 5}, {"传", 15}, {"（", 25}, {"3", 35}, {"）", 45}}, line,
                                columns),
            "上传（3)");
}

// A title across the window, a sidebar beside a body whose rows fall between the sidebar's, and
// below both a row whose value and hint sit on other baselines than its label.
TEST(RecognitionRules, LinesAreReadColumnByColumnAndRowByRow) {
  const std::vector<LineRegion> lines = {
      {320, 80, 300, 20},  {20, 60, 120, 20},  {20, 100, 120, 20}, {320, 120, 300, 20},
      {20, 10, 500, 24},   {20, 140, 120, 20}, {320, 300, 60, 20}, {420, 294, 40, 28},
      {500, 306, 160, 16}, {20, 300, 100, 20}};
  std::vector<int> lefts_and_tops;
  for (const LineRegion& line : InReadingOrder(lines)) {
    lefts_and_tops.insert(lefts_and_tops.end(), {line.left, line.top});
  }
  EXPECT_THAT(lefts_and_tops, ElementsAre(20, 10,                                // the title
                                          20, 60, 20, 100, 20, 140,              // the sidebar
                                          320, 80, 320, 120,                     // the body
                                          20, 300, 320, 300, 420, 294, 500, 306  // the row
                                          ));
}

// A strip of descenders inside a line is a piece of it; a line beside it, or one more than half
// as tall inside it, is not.
TEST(RecognitionRules, APieceOfALinesGlyphsFoundInsideItIsAFragment) {
  EXPECT_THAT(FragmentsOf({{0, 0, 200, 20}, {50, 14, 30, 8}, {210, 14, 30, 8}, {100, 2, 40, 11}}),
              ElementsAre(false, true, false, false));
}

// "lin lin" and "7012 Mar" a few spaces apart: widened, each reached over the other's edge letter.
// Each now stops halfway between the two; a line in the next row is no neighbour.
TEST(RecognitionRules, LinesInOneRowReachNoFurtherThanHalfwayToTheNext) {
  const std::vector<LineRegion> areas = {{10, 0, 60, 20}, {90, 2, 80, 18}, {40, 30, 100, 20}};
  const std::vector<LineRegion> lines = {{0, 0, 85, 24}, {75, 0, 110, 24}, {30, 26, 120, 28}};
  const std::vector<LineRegion> kept = KeptApart(lines, areas);
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept[0].left, 0);
  EXPECT_EQ(kept[0].left + kept[0].width, 80);
  EXPECT_EQ(kept[1].left, 80);
  EXPECT_EQ(kept[1].left + kept[1].width, 185);
  EXPECT_EQ(kept[2].left, 30);
  EXPECT_EQ(kept[2].width, 120);
}

// "def d" read over the start of a longer line, and a lone "0" over a two-character label in the
// same place, give way; the line below stays.
TEST(RecognitionRules, OfTwoLinesReadOverTheSameInkTheOneWithFewerCharactersGoes) {
  EXPECT_THAT(ReadTwiceOf({{0, 0, 60, 20}, {10, 2, 300, 20}, {400, 0, 40, 20}, {395, 2, 44, 18},
                           {0, 40, 60, 20}},
                          {5, 19, 1, 2, 5}),
              ElementsAre(true, false, true, false, false));
  EXPECT_EQ(CharacterCount("通知 ok"), 4u);
}

// Two cells' "一" one above the other that the detector found as one line ("二"), one it found
// alone, one it missed, and one beside a word in a line of the detector's.
TEST(RecognitionRules, LoneStrokesAreReadFromLinesOfTheirOwnUnlessALineHoldsOtherInkWithThem) {
  auto stroke = [](int left, int top) {
    return LoneStroke{
        {left, top, 14, 2}, {left - 14, top - 14, 42, 30}, {left - 8, top - 7, 30, 16}};
  };
  const std::vector<LoneStroke> strokes = {stroke(100, 20), stroke(100, 50), stroke(300, 20),
                                           stroke(300, 80), stroke(500, 20)};
  const std::vector<LineRegion> lines = {
      {92, 12, 30, 46}, {290, 10, 34, 20}, {480, 12, 200, 18}, {0, 200, 80, 20}};
  const std::vector<LineRegion> kept = WithLoneStrokes(lines, strokes);
  std::vector<std::vector<int>> boxes;
  for (const LineRegion& line : kept) {
    boxes.push_back({line.left, line.top, line.width, line.height, line.stroke});
  }
  EXPECT_THAT(boxes, ElementsAre(ElementsAre(480, 12, 200, 18, 0), ElementsAre(0, 200, 80, 20, 0),
                                 ElementsAre(92, 13, 30, 16, 1), ElementsAre(92, 43, 30, 16, 1),
                                 ElementsAre(292, 13, 30, 16, 1), ElementsAre(292, 73, 30, 16, 1)));
  for (const char* text : {"一", "—", "-", " _ ", "ー", "－", "−"}) {
    EXPECT_TRUE(IsFlatStroke(text)) << text;
  }
  for (const char* text : {"二", "1", "I", "一一", "=", "~", "", "丨"}) {
    EXPECT_FALSE(IsFlatStroke(text)) << text;
  }
}

}  // namespace
