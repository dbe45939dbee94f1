#include "commands/microphone.h"

#include <exception>
#include <memory>
#include <nlohmann/json.hpp>

#include "app/output.h"
#include "app/tool_error.h"

namespace {

// Held by the waiting code and by the permission handler; whichever lets go last frees it.
struct PermissionAnswer {
  bool granted = false;
  std::counting_semaphore<> signalled{0};
};

void OutputAuthorized() { output(nlohmann::json{{"authorized", true}}); }

// The status cannot be learned when the authority itself fails (its module does not load, a
// library throws): that is a refusal like any other, never the library's text.
template <typename Call>
auto OrRefusal(Call call) {
  try {
    return call();
  } catch (const std::exception&) {
    throw ToolError(ErrorCode::kMicrophoneNotAuthorized);
  }
}

}  // namespace

bool WaitOnSteadyClock(std::counting_semaphore<>& answered,
                       std::chrono::steady_clock::duration timeout) {
  return answered.try_acquire_until(std::chrono::steady_clock::now() + timeout);
}

void ensureMicrophone(MicrophoneAuthority& authority, std::chrono::steady_clock::duration timeout,
                      const AnswerWait& wait) {
  const int status = OrRefusal([&] { return authority.AuthorizationStatus(); });
  if (status == static_cast<int>(AuthorizationStatus::kAuthorized)) {
    OutputAuthorized();
    return;
  }
  if (status != static_cast<int>(AuthorizationStatus::kNotDetermined)) {
    throw ToolError(ErrorCode::kMicrophoneNotAuthorized);
  }

  auto answer = std::make_shared<PermissionAnswer>();
  OrRefusal([&] {
    authority.RequestAccess([answer](bool granted) {
      answer->granted = granted;
      answer->signalled.release();
    });
  });
  if (!wait(answer->signalled, timeout)) throw ToolError(ErrorCode::kMicrophoneNotAuthorized);
  if (!answer->granted) throw ToolError(ErrorCode::kMicrophoneNotAuthorized);
  OutputAuthorized();
}
