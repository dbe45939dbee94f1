#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/recognition/line_confidence.h"
#include "platform/recognition/line_layout.h"
#include "platform/recognition/line_spacing.h"

namespace {

using ::testing::ElementsAre;

TEST(RecognitionRules, ChineseLinesNeedMoreConfidenceAndNoneStandsWithAnAsciiSignBesideChinese) {
  EXPECT_EQ(TrustedFrom("Settings 2024"), kRetryBelowConfidence);
  EXPECT_EQ(TrustedFrom("设置 Wi-Fi"), kTrustChineseFrom);
  EXPECT_GT(TrustedFrom("完成:"), 100);
  EXPECT_GT(TrustedFrom("(设置"), 100);
}

TEST(RecognitionRules, UnsureLinesOfSymbolsAloneAreLeftOut) {
  EXPECT_TRUE(IsPhantom("= -", kSymbolLineConfidence - 1));
  EXPECT_FALSE(IsPhantom("= -", kSymbolLineConfidence));
  EXPECT_FALSE(IsPhantom("= a", 10));
  EXPECT_FALSE(IsPhantom("= 中", 10));
}

TEST(RecognitionRules, ASpaceGoesBackBetweenChineseAndLatinOnlyOverAWideEnoughGap) {
  const std::vector<FoundLine::Symbol> symbols = {
      {0, 10, "已"}, {12, 22, "经"}, {30, 36, "m"}, {37, 42, "e"}};
  InkColumns columns{.left = 0, .inked = std::vector<bool>(43, true)};
  for (int x = 23; x < 30; ++x) columns.inked[x] = false;  // 7 columns without ink
  EXPECT_EQ(SpacedAtScriptChanges(symbols, "已经me", columns, 7), "已经 me");
  EXPECT_EQ(SpacedAtScriptChanges(symbols, "已经me", columns, 8), "已经me");
}

TEST(RecognitionRules, TheModelsFullWidthSignTakesTesseractsHalfWidthOneExceptAfterChinese) {
  FoundLine line{.left = 0, .top = 0, .right = 60, .bottom = 20};
  line.symbols = {{43, 47, ":"}};
  const InkColumns columns{.left = 0, .inked = std::vector<bool>(60, true)};
  EXPECT_EQ(SpacedLikeTesseract({{"C", 5}, {"h", 15}, {"e", 25}, {"n", 35}, {"：", 45}}, line,
                                columns),
            "Chen:");
  EXPECT_EQ(SpacedLikeTesseract({{"完", 5}, {"成", 25}, {"：", 45}}, line, columns), "完成：");
}

TEST(RecognitionRules, LinesOnlyTheSecondLayoutFoundAreAddedInPageOrder) {
  const std::vector<LineRegion> lines = {{0, 0, 100, 20}, {0, 100, 100, 20}};
  const std::vector<LineRegion> merged =
      WithMissingLines(lines, {{10, 5, 50, 20}, {0, 50, 100, 20}, {300, 100, 40, 20}});
  std::vector<int> lefts_and_tops;
  for (const LineRegion& region : merged) {
    lefts_and_tops.insert(lefts_and_tops.end(), {region.left, region.top});
  }
  EXPECT_THAT(lefts_and_tops, ElementsAre(0, 0, 0, 50, 0, 100, 300, 100));
}

}  // namespace
