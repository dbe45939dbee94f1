#include "commands/microphone.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/tool_error.h"
#include "tests/support/stdout_capture.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Answers like a desktop would: a fixed status, and for a request either no answer or |answer|
// from its own thread after |answer_delay|.
class FakeMicrophoneAuthority : public MicrophoneAuthority {
 public:
  ~FakeMicrophoneAuthority() override {
    for (auto& thread : handler_threads_) thread.join();
  }

  int status = 0;
  bool status_throws = false;
  bool request_throws = false;
  std::optional<bool> answer;
  milliseconds answer_delay{0};
  milliseconds request_blocks_for{0};

  int status_queries = 0;
  int requests = 0;
  std::atomic<bool> handler_returned{false};
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
    std::this_thread::sleep_for(request_blocks_for);
    if (!answer) {
      unanswered_handler = std::move(handler);
      return;
    }
    handler_threads_.emplace_back([this, handler = std::move(handler), granted = *answer] {
      std::this_thread::sleep_for(answer_delay);
      handler_thread = std::this_thread::get_id();
      handler(granted);
      handler_returned = true;
    });
  }

  // Waits until every answer has been delivered.
  void JoinHandlers() {
    for (auto& thread : handler_threads_) thread.join();
    handler_threads_.clear();
  }

 private:
  std::vector<std::thread> handler_threads_;
};

struct Outcome {
  std::string out;
  std::optional<ErrorCode> error;
  std::string error_text;
  milliseconds elapsed{0};
};

// Runs the command with the tool's standard output captured.
Outcome RunEnsureMicrophone(MicrophoneAuthority& authority, steady_clock::duration timeout) {
  Outcome outcome;
  auto start = steady_clock::now();
  CaptureStandardOutput(
      [&] {
        try {
          ensureMicrophone(authority, timeout);
        } catch (const ToolError& error) {
          outcome.error = error.code();
          outcome.error_text = error.what();
        }
      },
      outcome.out);
  outcome.elapsed = std::chrono::duration_cast<milliseconds>(steady_clock::now() - start);
  return outcome;
}

constexpr char kAuthorizedLine[] = "{\"authorized\":true}\n";
constexpr auto kLongTimeout = std::chrono::seconds(10);

TEST(MicrophoneCommand, AuthorizedPrintsTwentyBytesWithoutRequest) {
  FakeMicrophoneAuthority authority;
  authority.status = 3;
  Outcome outcome = RunEnsureMicrophone(authority, kLongTimeout);
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(outcome.out, kAuthorizedLine);
  EXPECT_EQ(outcome.out.size(), 20u);
  EXPECT_EQ(authority.status_queries, 1);
  EXPECT_EQ(authority.requests, 0);
}

TEST(MicrophoneCommand, DeniedRestrictedAndUnknownStatusesFailAtOnceWithoutRequest) {
  for (int status : {1, 2, 4, 5, -1, 255}) {
    SCOPED_TRACE(status);
    FakeMicrophoneAuthority authority;
    authority.status = status;
    authority.answer = true;
    Outcome outcome = RunEnsureMicrophone(authority, kLongTimeout);
    EXPECT_EQ(outcome.error, ErrorCode::kMicrophoneNotAuthorized);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(authority.requests, 0);
    EXPECT_EQ(authority.status_queries, 1);
    EXPECT_LT(outcome.elapsed, milliseconds(500));
  }
}

TEST(MicrophoneCommand, NotDeterminedAndGrantedPrintsAuthorizedFromTheHandlerThread) {
  FakeMicrophoneAuthority authority;
  authority.status = 0;
  authority.answer = true;
  authority.answer_delay = milliseconds(20);
  Outcome outcome = RunEnsureMicrophone(authority, kLongTimeout);
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(outcome.out, kAuthorizedLine);
  EXPECT_EQ(authority.requests, 1);
  EXPECT_EQ(authority.status_queries, 1);
  EXPECT_LT(outcome.elapsed, milliseconds(2000));
  authority.JoinHandlers();
  EXPECT_NE(authority.handler_thread, std::this_thread::get_id());
}

TEST(MicrophoneCommand, RefusalAtThePromptFailsRightAfterTheAnswer) {
  FakeMicrophoneAuthority authority;
  authority.status = 0;
  authority.answer = false;
  authority.answer_delay = milliseconds(20);
  Outcome outcome = RunEnsureMicrophone(authority, kLongTimeout);
  EXPECT_EQ(outcome.error, ErrorCode::kMicrophoneNotAuthorized);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(authority.requests, 1);
  EXPECT_GE(outcome.elapsed, milliseconds(20));
  EXPECT_LT(outcome.elapsed, milliseconds(2000));
}

TEST(MicrophoneCommand, NoAnswerFailsWhenTheTimeoutPasses) {
  FakeMicrophoneAuthority authority;
  authority.status = 0;
  Outcome outcome = RunEnsureMicrophone(authority, milliseconds(50));
  EXPECT_EQ(outcome.error, ErrorCode::kMicrophoneNotAuthorized);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(authority.requests, 1);
  EXPECT_GE(outcome.elapsed, milliseconds(50));
  EXPECT_LT(outcome.elapsed, milliseconds(1000));
}

TEST(MicrophoneCommand, GrantAfterTheDeadlineStillFailsAndTheLateHandlerRunsSafely) {
  FakeMicrophoneAuthority authority;
  authority.status = 0;
  authority.answer = true;
  authority.answer_delay = milliseconds(400);
  Outcome outcome = RunEnsureMicrophone(authority, milliseconds(30));
  EXPECT_EQ(outcome.error, ErrorCode::kMicrophoneNotAuthorized);
  EXPECT_EQ(outcome.out, "");
  EXPECT_FALSE(authority.handler_returned);
  authority.JoinHandlers();
  EXPECT_TRUE(authority.handler_returned);
}

TEST(MicrophoneCommand, HandlerKeptPastTheCallCanStillBeCalled) {
  FakeMicrophoneAuthority authority;
  authority.status = 0;
  Outcome outcome = RunEnsureMicrophone(authority, milliseconds(20));
  ASSERT_EQ(outcome.error, ErrorCode::kMicrophoneNotAuthorized);
  ASSERT_TRUE(authority.unanswered_handler);
  std::thread late([handler = std::move(authority.unanswered_handler)] { handler(true); });
  late.join();
  EXPECT_EQ(outcome.out, "");
}

TEST(MicrophoneCommand, DeadlineStartsWhenTheRequestHasReturned) {
  FakeMicrophoneAuthority authority;
  authority.status = 0;
  authority.answer = true;
  authority.request_blocks_for = milliseconds(300);
  authority.answer_delay = milliseconds(50);
  Outcome outcome = RunEnsureMicrophone(authority, milliseconds(300));
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(outcome.out, kAuthorizedLine);
  EXPECT_GE(outcome.elapsed, milliseconds(350));
}

TEST(MicrophoneCommand, AnAuthorityThatThrowsIsARefusalNotItsMessage) {
  FakeMicrophoneAuthority throws_on_status;
  throws_on_status.status_throws = true;
  FakeMicrophoneAuthority throws_on_request;
  throws_on_request.request_throws = true;
  for (FakeMicrophoneAuthority* authority : {&throws_on_status, &throws_on_request}) {
    Outcome outcome = RunEnsureMicrophone(*authority, kLongTimeout);
    EXPECT_EQ(outcome.error, ErrorCode::kMicrophoneNotAuthorized);
    EXPECT_EQ(outcome.error_text, ToolError(ErrorCode::kMicrophoneNotAuthorized).what());
    EXPECT_EQ(outcome.out, "");
  }
  EXPECT_EQ(throws_on_request.requests, 1);
}

TEST(MicrophoneCommand, RefusalTextIs91BytesNamingQuorvaneOnce) {
  FakeMicrophoneAuthority authority;
  authority.status = 2;
  Outcome outcome = RunEnsureMicrophone(authority, kLongTimeout);
  ASSERT_EQ(outcome.error, ErrorCode::kMicrophoneNotAuthorized);
  EXPECT_EQ(outcome.error_text.size(), 91u);
  auto first = outcome.error_text.find("Quorvane");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(outcome.error_text.find("Quorvane", first + 1), std::string::npos);
}

}  // namespace
