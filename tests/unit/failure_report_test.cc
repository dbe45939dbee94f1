#include "app/failure_report.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

TEST(OneLine, TextWithoutControlCharactersIsKeptByteForByte) {
  EXPECT_EQ(OneLine("Cannot open movie a b.mp4: No such file or directory"),
            "Cannot open movie a b.mp4: No such file or directory");
  EXPECT_EQ(OneLine("请在系统设置 → 麦克风"), "请在系统设置 → 麦克风");
  // Bytes that are not UTF-8 are the file name as given.
  EXPECT_EQ(OneLine("out\xff.mp4 \xc2\xa0 \xc2"), "out\xff.mp4 \xc2\xa0 \xc2");
}

TEST(OneLine, LineBreaksAndTabsBecomeTheirEscapes) {
  EXPECT_EQ(OneLine("The image \"new\nline.png\" could not be read"),
            "The image \"new\\nline.png\" could not be read");
  EXPECT_EQ(OneLine("a\r\nb\tc"), "a\\r\\nb\\tc");
}

TEST(OneLine, OtherControlCharactersBecomeHexEscapes) {
  EXPECT_EQ(OneLine("\x1b[31mred\x7f"), "\\x1b[31mred\\x7f");
  EXPECT_EQ(OneLine("nul\0end"s), "nul\\x00end");
  EXPECT_EQ(OneLine("\x01\x1f"), "\\x01\\x1f");
}

TEST(OneLine, C1ControlCharactersBecomeUnicodeEscapes) {
  // U+0085 NEL ends a line for some readers; U+009B is the one-byte terminal sequence start.
  EXPECT_EQ(OneLine("a\xc2\x85"
                    "b\xc2\x9b"
                    "c\xc2\x80"),
            "a\\u0085b\\u009bc\\u0080");
  EXPECT_EQ(OneLine("\xc2\xa0\xc2\x7f"), "\xc2\xa0\xc2\\x7f");
}

}  // namespace
