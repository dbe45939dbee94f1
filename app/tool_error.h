#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

// Every code the tool raises in its own domain. The descriptions live in tool_error.cc.
enum class ErrorCode : std::int64_t {
  kVideoTrackNotCreated = 1,
  kSegmentHasNoVideo = 2,
  kAudioLaneNotCreated = 3,
  kExportSessionNotCreated = 4,
  kExportTimedOut = 5,
  kExportFailed = 6,
  kImageNotEncoded = 7,
  kNoArguments = 8,
  kInvalidArguments = 9,
  kMicrophoneNotAuthorized = 10,
};

// A failure the tool detects itself: domain "Quorvane", a code, and the code's fixed description
// where it has one. what() is the text the entry prints: the description, or the generic text
// "The operation couldn't be completed. (Quorvane error N.)" for codes without one.
class ToolError : public std::exception {
 public:
  static constexpr std::string_view kDomain = "Quorvane";

  explicit ToolError(ErrorCode code);

  ErrorCode code() const { return code_; }
  const std::optional<std::string>& description() const { return description_; }
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  ErrorCode code_;
  std::optional<std::string> description_;
  std::string text_;
};
