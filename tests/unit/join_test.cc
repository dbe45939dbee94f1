#include "commands/join.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>

#include "app/tool_error.h"
#include "platform/platform_error.h"
#include "tests/support/stdout_capture.h"
#include "tests/unit/fake_media.h"

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsSupersetOf;
using ::testing::Not;
using namespace std::chrono_literals;

// A transform told apart from others by its tx.
Transform Tagged(int tag) { return {.a = 0, .b = 1, .c = -1, .d = 0, .tx = double(tag), .ty = 0}; }

FakeTrack Video(const std::string& name, TimeRange range, int tag = 0) {
  return FakeTrack(name, range, Tagged(tag));
}
FakeTrack Audio(const std::string& name, TimeRange range) { return FakeTrack(name, range); }

class JoinTest : public ::testing::Test {
 protected:
  // Runs join and returns what it printed; failures propagate.
  std::string Run(const std::vector<std::string>& segments, const std::string& output_path = "joined.mp4",
                  std::chrono::milliseconds timeout = 2s) {
    CaptureStandardOutput([&] { join(segments, output_path, media_, timeout); }, printed_);
    return printed_;
  }

  // Runs join expecting a tool error; returns its code.
  ErrorCode RunExpectingToolError(const std::vector<std::string>& segments,
                                  std::chrono::milliseconds timeout = 2s) {
    try {
      Run(segments, "joined.mp4", timeout);
    } catch (const ToolError& error) {
      EXPECT_EQ(printed_, "") << "nothing may be printed on failure";
      return error.code();
    }
    ADD_FAILURE() << "join did not fail with a tool error";
    return ErrorCode{};
  }

  std::vector<std::string> Inserts() const {
    std::vector<std::string> inserts;
    for (const auto& line : media_.log) {
      if (line.find(" <- ") != std::string::npos || line.find("transform") != std::string::npos) {
        inserts.push_back(line);
      }
    }
    return inserts;
  }

  FakeMedia media_;
  std::string printed_;
};

TEST_F(JoinTest, WorkedExampleLaysTwoSegmentsEndToEnd) {
  media_.assets["A.mov"] = {.video = {Video("A.v", {T(0), T(10)}, 7)},
                            .audio = {Audio("A.a0", {T(0), T(95, 10)}), Audio("A.a1", {T(0), T(12)})}};
  media_.assets["B.mov"] = {.video = {Video("B.v", {T(0), T(5)}, 8)},
                            .audio = {Audio("B.a0", {T(0), T(6)})}};

  EXPECT_EQ(Run({"A.mov", "B.mov"}), "{\"duration\":15,\"path\":\"joined.mp4\"}\n");
  EXPECT_THAT(Inserts(), ElementsAre("video <- A.v [0/1 +10/1] at 0/1", "video transform 7",
                                     "lane 0 <- A.a0 [0/1 +95/10] at 0/1",
                                     "lane 1 <- A.a1 [0/1 +10/1] at 0/1",
                                     "video <- B.v [0/1 +5/1] at 10/1",
                                     "lane 0 <- B.a0 [0/1 +5/1] at 10/1"));
  EXPECT_THAT(media_.log, IsSupersetOf({"session highest", "output joined.mp4", "type mp4",
                                        "optimize", "time limit 2000 ms", "export"}));
}

TEST_F(JoinTest, VideoTrackComesFirstAndLanesAreAddedOnlyWhenNeeded) {
  media_.assets["one.mov"] = {.video = {Video("1.v", {T(0), T(2)})},
                              .audio = {Audio("1.a0", {T(0), T(2)})}};
  media_.assets["three.mov"] = {.video = {Video("3.v", {T(0), T(3)})},
                                .audio = {Audio("3.a0", {T(0), T(3)}), Audio("3.a1", {T(0), T(3)}),
                                          Audio("3.a2", {T(0), T(3)})}};
  media_.assets["none.mov"] = {.video = {Video("0.v", {T(0), T(1)})}};

  Run({"none.mov", "one.mov", "three.mov", "one.mov"});
  std::vector<std::string> structure;
  for (const auto& line : media_.log) {
    if (line.rfind("add", 0) == 0 || line.rfind("open", 0) == 0) structure.push_back(line);
  }
  EXPECT_THAT(structure, ElementsAre("add video", "open none.mov", "open one.mov", "add audio",
                                     "open three.mov", "add audio", "add audio", "open one.mov"));
  // Late lanes start at the cursor of the segment that created them: empty before it.
  EXPECT_THAT(Inserts(), IsSupersetOf({"lane 0 <- 1.a0 [0/1 +2/1] at 1/1",
                                       "lane 1 <- 3.a1 [0/1 +3/1] at 3/1",
                                       "lane 2 <- 3.a2 [0/1 +3/1] at 3/1",
                                       "lane 0 <- 1.a0 [0/1 +2/1] at 6/1"}));
}

TEST_F(JoinTest, AudioIsCutAtTheVideoEndAndShortAudioLeavesTheCursorAlone) {
  media_.assets["long.mov"] = {.video = {Video("L.v", {T(1), T(4)})},
                               .audio = {Audio("L.a", {T(2), T(9)})}};
  media_.assets["short.mov"] = {.video = {Video("S.v", {T(0), T(4)})},
                                .audio = {Audio("S.a", {T(0), T(1, 2)})}};

  EXPECT_EQ(Run({"long.mov", "short.mov", "long.mov"}), "{\"duration\":12,\"path\":\"joined.mp4\"}\n");
  EXPECT_THAT(Inserts(), IsSupersetOf({"video <- L.v [1/1 +4/1] at 0/1",
                                       "lane 0 <- L.a [2/1 +4/1] at 0/1",
                                       "lane 0 <- S.a [0/1 +1/2] at 4/1",
                                       "lane 0 <- L.a [2/1 +4/1] at 8/1"}));
}

TEST_F(JoinTest, OnlyTheFirstVideoTrackOfASegmentIsUsed) {
  media_.assets["two.mov"] = {.video = {Video("first", {T(0), T(3)}, 1), Video("second", {T(0), T(9)}, 2)}};
  EXPECT_EQ(Run({"two.mov"}), "{\"duration\":3,\"path\":\"joined.mp4\"}\n");
  EXPECT_THAT(Inserts(), ElementsAre("video <- first [0/1 +3/1] at 0/1", "video transform 1"));
}

TEST_F(JoinTest, TransformComesFromTheFirstSegmentUnlessItHasNoDuration) {
  media_.assets["a"] = {.video = {Video("a", {T(0), T(2)}, 1)}};
  media_.assets["b"] = {.video = {Video("b", {T(0), T(2)}, 2)}};
  media_.assets["empty"] = {.video = {Video("e", {T(0, 600), T(0, 90000)}, 3)}};

  Run({"a", "b"});
  EXPECT_THAT(Inserts(), Contains("video transform 1"));
  EXPECT_THAT(Inserts(), Not(Contains("video transform 2")));

  media_.log.clear();
  Run({"empty", "b", "a"});
  // Zero in any time base is zero: the second segment still finds the cursor at zero.
  EXPECT_THAT(Inserts(), ElementsAre("video <- e [0/600 +0/90000] at 0/1", "video transform 3",
                                     "video <- b [0/1 +2/1] at 0/1", "video transform 2",
                                     "video <- a [0/1 +2/1] at 2/1"));
}

TEST_F(JoinTest, DurationsInMixedTimeBasesSumExactly) {
  // 1001/30000 s frames and 1/44100 s samples: a floating sum would drift.
  media_.assets["ntsc"] = {.video = {Video("n", {T(0), T(1001 * 300, 30000)})}};
  media_.assets["cd"] = {.video = {Video("c", {T(0), T(44100 * 7 + 1, 44100)})}};
  Run({"ntsc", "cd", "ntsc"});
  EXPECT_THAT(Inserts(), Contains("video <- n [0/1 +300300/30000] at 375071/22050"));
  const double expected = 2 * 10.01 + 7 + 1.0 / 44100;
  EXPECT_DOUBLE_EQ(nlohmann::json::parse(printed_)["duration"].get<double>(), expected);
}

TEST_F(JoinTest, PathIsEchoedUnchangedWithItsSlashesEscaped) {
  media_.assets["s.mp4"] = {.video = {Video("v", {T(0), T(1)})}};
  EXPECT_EQ(Run({"s.mp4"}, "/tmp/out dir/joined.mp4"),
            "{\"duration\":1,\"path\":\"\\/tmp\\/out dir\\/joined.mp4\"}\n");
}

TEST_F(JoinTest, OutputPathTheResultCannotCarryFailsBeforeAnythingIsOpened) {
  media_.assets["v"] = {.video = {Video("v", {T(0), T(1)})}};
  EXPECT_THROW(Run({"v"}, "joined-\xff.mp4"), PlatformError);
  EXPECT_EQ(printed_, "");
  EXPECT_TRUE(media_.log.empty());
}

TEST_F(JoinTest, SegmentWithoutVideoStopsBeforeLaterSegmentsAndExport) {
  media_.assets["ok"] = {.video = {Video("v", {T(0), T(1)})}};
  media_.assets["sound only"] = {.audio = {Audio("a", {T(0), T(1)})}};
  EXPECT_EQ(RunExpectingToolError({"ok", "ok", "sound only", "ok", "ok"}),
            ErrorCode::kSegmentHasNoVideo);
  EXPECT_EQ(std::count(media_.log.begin(), media_.log.end(), "open ok"), 2);
  EXPECT_THAT(media_.log, Not(Contains("export")));
  EXPECT_STREQ(ToolError(ErrorCode::kSegmentHasNoVideo).what(), "Recording segment has no video");
}

TEST_F(JoinTest, ErrorCodesOneThreeAndFourComeFromTheirStep) {
  media_.assets["av"] = {.video = {Video("v", {T(0), T(1)})}, .audio = {Audio("a", {T(0), T(1)})}};

  media_.video_track_available = false;
  EXPECT_EQ(RunExpectingToolError({"av"}), ErrorCode::kVideoTrackNotCreated);
  EXPECT_THAT(media_.log, Not(Contains("open av"))) << "no segment opened before the video track";

  media_.video_track_available = true;
  media_.audio_lanes_available = 0;
  EXPECT_EQ(RunExpectingToolError({"av"}), ErrorCode::kAudioLaneNotCreated);

  media_.audio_lanes_available = 100;
  media_.session_available = false;
  EXPECT_EQ(RunExpectingToolError({"av"}), ErrorCode::kExportSessionNotCreated);
  EXPECT_THAT(media_.log, Not(Contains("export")));
}

TEST_F(JoinTest, PlatformErrorsPassThroughUnchanged) {
  media_.assets["av"] = {.video = {Video("v", {T(0), T(1)})}, .audio = {Audio("a", {T(0), T(1)})}};
  media_.insert_error_on = "lane 0";
  try {
    Run({"av"});
    FAIL();
  } catch (const PlatformError& error) {
    EXPECT_STREQ(error.what(), "cannot insert into lane 0");
  }
  media_.insert_error_on = "";
  EXPECT_THROW(Run({"missing.mov"}), PlatformError);
  EXPECT_EQ(printed_, "");
}

TEST_F(JoinTest, ExportEndingWithoutCompletionReportsItsErrorOrCodeSix) {
  media_.assets["v"] = {.video = {Video("v", {T(0), T(1)})}};
  media_.outcome = {.status = ExportStatus::kFailed, .error = "cannot write /x/joined.mp4: No space left"};
  try {
    Run({"v"});
    FAIL();
  } catch (const PlatformError& error) {
    EXPECT_STREQ(error.what(), "cannot write /x/joined.mp4: No space left");
  }
  EXPECT_EQ(printed_, "");

  media_.outcome = {.status = ExportStatus::kCancelled};
  EXPECT_EQ(RunExpectingToolError({"v"}), ErrorCode::kExportFailed);
}

TEST_F(JoinTest, ExportThatNeverEndsIsCancelledAtTheDeadline) {
  media_.assets["v"] = {.video = {Video("v", {T(0), T(1)})}};
  media_.outcome = {.completes = false};
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunExpectingToolError({"v"}, 100ms), ErrorCode::kExportTimedOut);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 100ms);
  EXPECT_LT(waited, 2s);
  EXPECT_TRUE(media_.export_state->cancelled);
  EXPECT_EQ(media_.log.back(), "cancel");
}

TEST_F(JoinTest, CompletionArrivingAfterTheDeadlineChangesNothing) {
  media_.assets["v"] = {.video = {Video("v", {T(0), T(1)})}};
  media_.outcome = {.delay = 300ms, .status = ExportStatus::kCompleted};
  EXPECT_EQ(RunExpectingToolError({"v"}, 50ms), ErrorCode::kExportTimedOut);
  EXPECT_TRUE(media_.export_state->cancelled);
  // The late completion signals a semaphore that only it still holds.
  media_.threads.back().join();
  media_.threads.pop_back();
  EXPECT_TRUE(media_.export_state->completion_called);
}

TEST_F(JoinTest, CompletionBeforeTheDeadlineIsNotCancelled) {
  media_.assets["v"] = {.video = {Video("v", {T(0), T(1)})}};
  media_.outcome = {.delay = 20ms};
  EXPECT_EQ(Run({"v"}, "out.mp4", 2s), "{\"duration\":1,\"path\":\"out.mp4\"}\n");
  EXPECT_FALSE(media_.export_state->cancelled);
}

}  // namespace
