#include "commands/microphone.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <semaphore>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/tool_error.h"
#include "tests/support/stdout_capture.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Answers like a desktop would: a fixed status, and for a request either no answer (the handler
// is kept) or |answer| from a thread of its own.
class FakeMicrophoneAuthority : public MicrophoneAuthority {
 public:
  ~FakeMicrophoneAuthority() override { JoinHandlers(); }

  int status = 0;
  bool status_throws = false;
  bool request_throws = false;
  std::optional<bool> answer;

  int status_queries = 0;
  int requests = 0;
  std::thread::id handler_thread;
  std::function<void(bool)> unanswered_handler;

  int AuthorizationStatus() override {
    ++status_queries;
    if (status_throws) throw std::runtime_error("session bus: Timeout was reached");
    return status;
  }

  void RequestAccess(std::function<void(bool granted)> handler) override {
    ++requests;
    if (request_throws) throw std::runtime_error("desktop portal: Timeout was reached");
    if (!answer) {
      unanswered_handler = std::move(handler);
      return;
    }
    handler_threads_.emplace_back([this, handler = std::move(handler), granted = *answer] {
      handler_thread = std::this_thread::get_id();
      handler(granted);
    });
  }

  void JoinHandlers() {
    for (auto& thread : handler_threads_) thread.join();
    handler_threads_.clear();
  }

 private:
  std::vector<std::thread> handler_threads_;
};

// Stands in for the clock: waits for the answer without a deadline, or lets the timeout pass at
// once when |times_out|. Records each wait.
struct FakeWait {
  bool times_out = false;
  const FakeMicrophoneAuthority* authority = nullptr;
  int calls = 0;
  int requests_before = -1;  // the requests made when the wait began
  steady_clock::duration timeout{};

  AnswerWait Function() {
    return [this](std::counting_semaphore<>& answered, steady_clock::duration given) {
      ++calls;
      requests_before = authority->requests;
      timeout = given;
      if (times_out) return false;
      answered.acquire();
      return true;
    };
  }
};

struct Outcome {
  std::string out;
  std::optional<ErrorCode> error;
  std::string error_text;
};

Outcome RunEnsureMicrophone(MicrophoneAuthority& authority, steady_clock::duration timeout,
                            const AnswerWait& wait) {
  Outcome outcome;
  CaptureStandardOutput(
      [&] {
        try {
          ensureMicrophone(authority, timeout, wait);
        } catch (const ToolError& error) {
          outcome.error = error.code();
          outcome.error_text = error.what();
        }
      },
      outcome.out);
  return outcome;
}

constexpr char kAuthorizedLine[] = "{\"authorized\":true}\n";
constexpr auto kTimeout = std::chrono::seconds(60);

class MicrophoneCommand : public ::testing::Test {
 protected:
  Outcome Run() { return RunEnsureMicrophone(authority_, kTimeout, wait_.Function()); }

  FakeMicrophoneAuthority authority_;
  FakeWait wait_{.authority = &authority_};
};

TEST_F(MicrophoneCommand, AuthorizedPrintsTwentyBytesWithoutRequest) {
  authority_.status = 3;
  Outcome outcome = Run();
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(outcome.out, kAuthorizedLine);
  EXPECT_EQ(outcome.out.size(), 20u);
  EXPECT_EQ(authority_.status_queries, 1);
  EXPECT_EQ(authority_.requests, 0);
  EXPECT_EQ(wait_.calls, 0);
}

TEST_F(MicrophoneCommand, DeniedRestrictedAndUnknownStatusesFailAtOnceWithoutRequest) {
  for (int status : {1, 2, 4, 5, -1, 255}) {
    SCOPED_TRACE(status);
    authority_.status = status;
    authority_.answer = true;
    Outcome outcome = Run();
    EXPECT_EQ(outcome.error, ErrorCode::kMicrophoneNotAuthorized);
    EXPECT_EQ(outcome.out, "");
  }
  EXPECT_EQ(authority_.requests, 0);
  EXPECT_EQ(wait_.calls, 0);
}

TEST_F(MicrophoneCommand, NotDeterminedAndGrantedPrintsAuthorizedFromTheHandlerThread) {
  authority_.status = 0;
  authority_.answer = true;
  Outcome outcome = Run();
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(outcome.out, kAuthorizedLine);
  EXPECT_EQ(authority_.requests, 1);
  EXPECT_EQ(authority_.status_queries, 1);
  authority_.JoinHandlers();
  EXPECT_NE(authority_.handler_thread, std::this_thread::get_id());
}

TEST_F(MicrophoneCommand, WaitForTheAnswerStartsWhenTheRequestHasReturned) {
  authority_.status = 0;
  authority_.answer = true;
  Run();
  EXPECT_EQ(wait_.calls, 1);
  EXPECT_EQ(wait_.requests_before, 1);
  EXPECT_EQ(wait_.timeout, kTimeout);
}

TEST_F(MicrophoneCommand, RefusalAtThePromptFails) {
  authority_.status = 0;
  authority_.answer = false;
  Outcome outcome = Run();
  EXPECT_EQ(outcome.error, ErrorCode::kMicrophoneNotAuthorized);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(authority_.requests, 1);
}

TEST_F(MicrophoneCommand, NoAnswerBeforeTheTimeoutFailsAndALateGrantChangesNothing) {
  authority_.status = 0;
  wait_.times_out = true;
  Outcome outcome = Run();
  EXPECT_EQ(outcome.error, ErrorCode::kMicrophoneNotAuthorized);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(authority_.requests, 1);
  // The desktop answers after the command has given up: the handler outlives the call safely.
  ASSERT_TRUE(authority_.unanswered_handler);
  const std::string late = CaptureStandardOutput([&] {
    std::thread answer([handler = std::move(authority_.unanswered_handler)] { handler(true); });
    answer.join();
  });
  EXPECT_EQ(late, "");
}

TEST_F(MicrophoneCommand, AnAuthorityThatThrowsIsARefusalNotItsMessage) {
  FakeMicrophoneAuthority throws_on_status;
  throws_on_status.status_throws = true;
  FakeMicrophoneAuthority throws_on_request;
  throws_on_request.request_throws = true;
  for (FakeMicrophoneAuthority* authority : {&throws_on_status, &throws_on_request}) {
    Outcome outcome = RunEnsureMicrophone(*authority, kTimeout, WaitOnSteadyClock);
    EXPECT_EQ(outcome.error, ErrorCode::kMicrophoneNotAuthorized);
    EXPECT_EQ(outcome.error_text, ToolError(ErrorCode::kMicrophoneNotAuthorized).what());
    EXPECT_EQ(outcome.out, "");
  }
  EXPECT_EQ(throws_on_request.requests, 1);
}

TEST_F(MicrophoneCommand, RefusalTextIs91BytesNamingQuorvaneOnce) {
  authority_.status = 2;
  Outcome outcome = Run();
  ASSERT_EQ(outcome.error, ErrorCode::kMicrophoneNotAuthorized);
  EXPECT_EQ(outcome.error_text.size(), 91u);
  auto first = outcome.error_text.find("Quorvane");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(outcome.error_text.find("Quorvane", first + 1), std::string::npos);
}

TEST(WaitOnSteadyClock, AnAnswerGivenBeforeOrDuringTheWaitIsTaken) {
  std::counting_semaphore<> before(0);
  before.release();
  EXPECT_TRUE(WaitOnSteadyClock(before, std::chrono::seconds(0)));

  std::counting_semaphore<> during(0);
  std::thread answer([&] { during.release(); });
  EXPECT_TRUE(WaitOnSteadyClock(during, std::chrono::seconds(60)));
  answer.join();
}

TEST(WaitOnSteadyClock, NoAnswerIsAFalseOnceTheTimeoutHasPassed) {
  std::counting_semaphore<> never(0);
  EXPECT_FALSE(WaitOnSteadyClock(never, std::chrono::seconds(0)));
  EXPECT_FALSE(WaitOnSteadyClock(never, milliseconds(-5)));
}

TEST(MicrophoneCommandOnTheSteadyClock, GrantFromTheDesktopPrintsAuthorized) {
  FakeMicrophoneAuthority authority;
  authority.answer = true;
  EXPECT_EQ(RunEnsureMicrophone(authority, kTimeout, WaitOnSteadyClock).out, kAuthorizedLine);
}

}  // namespace
