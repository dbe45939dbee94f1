#include "app/tool_error.h"

namespace {

std::optional<std::string> DescriptionOf(ErrorCode code) {
  switch (code) {
    case ErrorCode::kSegmentHasNoVideo:
      return "Recording segment has no video";
    case ErrorCode::kExportTimedOut:
      return "Video export timed out";
    case ErrorCode::kInvalidArguments:
      return "Invalid native tool arguments";
    case ErrorCode::kMicrophoneNotAuthorized:
      return "请在系统设置 → 隐私与安全性 → 麦克风中允许 Quorvane，然后重试。";
    default:
      return std::nullopt;
  }
}

}  // namespace

ToolError::ToolError(ErrorCode code) : code_(code), description_(DescriptionOf(code)) {
  text_ = description_ ? *description_
                       : "The operation couldn't be completed. (" + std::string(kDomain) +
                             " error " + std::to_string(static_cast<std::int64_t>(code)) + ".)";
}
