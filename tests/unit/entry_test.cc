#include "app/entry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/tool_error.h"
#include "platform/platform_error.h"

namespace {

using ::testing::ElementsAre;

// Records which subcommand ran and with what.
struct Recorder {
  std::vector<std::string> calls;
  Subcommands subcommands() {
    return {
        .microphone = [this] { calls.push_back("microphone"); },
        .ocr = [this](const std::string& image) { calls.push_back("ocr " + image); },
        .join =
            [this](const std::vector<std::string>& segments, const std::string& output) {
              std::string call = "join " + output + " <-";
              for (const auto& s : segments) call += " " + s;
              calls.push_back(call);
            },
        .fixture = [this](const std::string& output) { calls.push_back("fixture " + output); },
    };
  }
};

ErrorCode DispatchError(const std::vector<std::string>& args, Recorder& recorder) {
  try {
    Dispatch(args, recorder.subcommands());
  } catch (const ToolError& error) {
    return error.code();
  }
  ADD_FAILURE() << "no error for that argument list";
  return ErrorCode{};
}

TEST(Dispatch, EachWordWithItsCountCallsItsSubcommandOnce) {
  Recorder recorder;
  Dispatch({"microphone"}, recorder.subcommands());
  Dispatch({"ocr", "shot.png"}, recorder.subcommands());
  Dispatch({"join", "out.mp4", "a.mov"}, recorder.subcommands());
  Dispatch({"join", "out.mp4", "a.mov", "b.mov", "a.mov"}, recorder.subcommands());
  Dispatch({"fixture", "fixture.png"}, recorder.subcommands());
  EXPECT_THAT(recorder.calls, ElementsAre("microphone", "ocr shot.png", "join out.mp4 <- a.mov",
                                          "join out.mp4 <- a.mov b.mov a.mov",
                                          "fixture fixture.png"));
}

TEST(Dispatch, NoArgumentsIsToolErrorEightWithoutDescription) {
  Recorder recorder;
  EXPECT_EQ(DispatchError({}, recorder), ErrorCode::kNoArguments);
  EXPECT_FALSE(ToolError(ErrorCode::kNoArguments).description().has_value());
  EXPECT_TRUE(recorder.calls.empty());
}

TEST(Dispatch, KnownWordWithWrongCountIsInvalid) {
  Recorder recorder;
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"microphone", "extra"}, {"ocr"}, {"ocr", "a.png", "b.png"}, {"join"},
           {"join", "out.mp4"}, {"fixture"}, {"fixture", "a.png", "b.png"}}) {
    EXPECT_EQ(DispatchError(args, recorder), ErrorCode::kInvalidArguments) << args[0];
  }
  EXPECT_TRUE(recorder.calls.empty());
}

TEST(Dispatch, WordsMatchOnlyExactly) {
  Recorder recorder;
  for (const auto& word : {"OCR", "Microphone", " ocr", "ocr ", "--help", "-h", "", "oc", "joins"}) {
    EXPECT_EQ(DispatchError({word, "x.png"}, recorder), ErrorCode::kInvalidArguments) << word;
    EXPECT_EQ(DispatchError({word}, recorder), ErrorCode::kInvalidArguments) << word;
  }
  EXPECT_TRUE(recorder.calls.empty());
}

TEST(Dispatch, LaterArgumentsAreNeverTakenForWords) {
  Recorder recorder;
  Dispatch({"ocr", "microphone"}, recorder.subcommands());
  Dispatch({"fixture", ""}, recorder.subcommands());
  EXPECT_THAT(recorder.calls, ElementsAre("ocr microphone", "fixture "));
}

TEST(Dispatch, SubcommandFailurePassesThroughUnchanged) {
  Subcommands subcommands;
  subcommands.microphone = [] { throw PlatformError("audio server refused"); };
  try {
    Dispatch({"microphone"}, subcommands);
    FAIL() << "the failure was swallowed";
  } catch (const PlatformError& error) {
    EXPECT_STREQ(error.what(), "audio server refused");
  }
}

TEST(ArgumentList, DropsTheProgramPathAndKeepsTheRestAsIs) {
  const char* argv[] = {"/usr/bin/QuorvaneMacTools", "join", "", "a b.mov"};
  EXPECT_THAT(ArgumentList(4, argv), ElementsAre("join", "", "a b.mov"));
  EXPECT_TRUE(ArgumentList(1, argv).empty());
}

TEST(ToolErrorTable, DescriptionsAreTheFixedTexts) {
  EXPECT_STREQ(ToolError(ErrorCode::kSegmentHasNoVideo).what(), "Recording segment has no video");
  EXPECT_STREQ(ToolError(ErrorCode::kExportTimedOut).what(), "Video export timed out");
  EXPECT_STREQ(ToolError(ErrorCode::kInvalidArguments).what(), "Invalid native tool arguments");
  std::string microphone = ToolError(ErrorCode::kMicrophoneNotAuthorized).what();
  EXPECT_EQ(microphone.size(), 91u);
  EXPECT_EQ(microphone,
            "\xe8\xaf\xb7\xe5\x9c\xa8\xe7\xb3\xbb\xe7\xbb\x9f\xe8\xae\xbe\xe7\xbd\xae \xe2\x86\x92 "
            "\xe9\x9a\x90\xe7\xa7\x81\xe4\xb8\x8e\xe5\xae\x89\xe5\x85\xa8\xe6\x80\xa7 \xe2\x86\x92 "
            "\xe9\xba\xa6\xe5\x85\x8b\xe9\xa3\x8e\xe4\xb8\xad\xe5\x85\x81\xe8\xae\xb8 Quorvane"
            "\xef\xbc\x8c\xe7\x84\xb6\xe5\x90\x8e\xe9\x87\x8d\xe8\xaf\x95\xe3\x80\x82");
}

TEST(ToolErrorTable, CodesWithoutDescriptionGetTheGenericText) {
  for (int code : {1, 3, 4, 6, 7, 8}) {
    ToolError error(static_cast<ErrorCode>(code));
    EXPECT_FALSE(error.description().has_value()) << code;
    EXPECT_EQ(std::string(error.what()),
              "The operation couldn't be completed. (Quorvane error " + std::to_string(code) + ".)");
  }
}

}  // namespace
