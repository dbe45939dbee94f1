#include "app/output.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "app/tool_error.h"
#include "platform/platform_error.h"

namespace {

using ::testing::ElementsAre;

std::vector<std::string> Writes(const nlohmann::json& value) {
  std::vector<std::string> writes;
  output(value, [&](std::string_view bytes) { writes.emplace_back(bytes); });
  return writes;
}

TEST(Output, JsonTextAndNewlineAreTwoSeparateWrites) {
  EXPECT_THAT(Writes({{"authorized", true}}), ElementsAre("{\"authorized\":true}", "\n"));
}

TEST(Output, EmptyArrayIsThreeBytes) {
  auto writes = Writes(nlohmann::json::array());
  EXPECT_THAT(writes, ElementsAre("[]", "\n"));
}

TEST(Output, KeysAreSortedAtEveryLevelAndTextIsCompact) {
  nlohmann::json line = {{"y", 0.625}, {"x", 0.125}, {"width", 0.5}, {"text", "Hi"}, {"height", 0.125}};
  nlohmann::json value = {{"zeta", {{"b", 1}, {"a", line}}}, {"alpha", nlohmann::json::array({line})}};
  EXPECT_EQ(SerializeResult(value),
            "{\"alpha\":[{\"height\":0.125,\"text\":\"Hi\",\"width\":0.5,\"x\":0.125,\"y\":0.625}],"
            "\"zeta\":{\"a\":{\"height\":0.125,\"text\":\"Hi\",\"width\":0.5,\"x\":0.125,\"y\":0.625},"
            "\"b\":1}}");
}

TEST(Output, SolidusIsEscapedInValuesAndKeys) {
  EXPECT_EQ(SerializeResult({{"duration", 15.0}, {"path", "/tmp/a/joined.mp4"}}),
            R"({"duration":15,"path":"\/tmp\/a\/joined.mp4"})");
  EXPECT_EQ(SerializeResult({{"a/b", "c"}}), R"({"a\/b":"c"})");
}

TEST(Output, SpecialCharactersStayOnOneLineAndReadBack) {
  std::string text = "say \"hi\"\\ now\nnext\tline\x01/end 中文";
  std::string serialized = SerializeResult(nlohmann::json::array({{{"text", text}}}));
  EXPECT_EQ(serialized.find('\n'), std::string::npos);
  EXPECT_NE(serialized.find("中文"), std::string::npos) << "non-ASCII must stay raw UTF-8";
  EXPECT_EQ(nlohmann::json::parse(serialized)[0]["text"], text);
}

TEST(Output, NumbersReadBackAsTheSameDouble) {
  double seventh = 1.0 - (0.2 + 0.1);
  std::string serialized = SerializeResult({{"y", seventh}, {"big", 1e300}, {"zero", 0.0},
                                            {"negative", -2.0}, {"tiny", 5e-324}});
  auto parsed = nlohmann::json::parse(serialized);
  EXPECT_EQ(parsed["y"].get<double>(), seventh);
  EXPECT_EQ(parsed["big"].get<double>(), 1e300);
  EXPECT_EQ(parsed["tiny"].get<double>(), 5e-324);
  EXPECT_NE(serialized.find("\"zero\":0}"), std::string::npos) << serialized;
  EXPECT_NE(serialized.find("\"negative\":-2,"), std::string::npos) << serialized;
}

TEST(Output, TextThatIsNotUtf8IsNamedInTheToolsOwnWords) {
  try {
    SerializeResult({{"duration", 1}, {"path", "/tmp/out\xff.mp4"}});
    ADD_FAILURE() << "no error";
  } catch (const PlatformError& error) {
    EXPECT_STREQ(
        error.what(),
        "The result could not be written as JSON: \"/tmp/out\xff.mp4\" is not valid UTF-8");
  }
  try {
    SerializeResult(nlohmann::json::array({{{"text", "ok"}}, {{"bad \xc3", "x"}}}));
    ADD_FAILURE() << "no error";
  } catch (const PlatformError& error) {
    EXPECT_STREQ(error.what(),
                 "The result could not be written as JSON: \"bad \xc3\" is not valid UTF-8");
  }
}

TEST(Output, SerialisationFailureWritesNothing) {
  std::vector<std::string> writes;
  auto collect = [&](std::string_view bytes) { writes.emplace_back(bytes); };
  EXPECT_THROW(output({{"path", "bad \xff byte"}}, collect), PlatformError);
  EXPECT_THROW(output({{"duration", std::nan("")}}, collect), PlatformError);
  EXPECT_THROW(output({{"duration", std::numeric_limits<double>::infinity()}}, collect),
               PlatformError);
  EXPECT_TRUE(writes.empty());
}

}  // namespace
