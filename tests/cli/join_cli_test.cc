// The built tool's join on real files: exact bytes on both streams, the status, and what is left
// on disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "platform/media/ffmpeg_media.h"
#include "tests/support/media_samples.h"
#include "tests/support/run_tool.h"

namespace {

class JoinCli : public ::testing::Test {
 protected:
  // A short H.264 + AAC movie (or AAC only) made with Debian's ffmpeg in the test's folder.
  std::string Segment(const std::string& name, bool video = true) {
    std::vector<std::string> args = {"-v", "error", "-y"};
    if (video) {
      args.insert(args.end(), {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=30:duration=2"});
    }
    args.insert(args.end(), {"-f", "lavfi", "-i", "sine=frequency=1000:duration=2", "-c:v",
                             "libx264", "-preset", "ultrafast", "-c:a", "aac", dir_.File(name)});
    const RunResult made = RunProgram(media_samples::kFfmpeg, args);
    EXPECT_EQ(made.status, 0) << made.err;
    return dir_.File(name);
  }

  RunResult Join(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"join"};
    all.insert(all.end(), args.begin(), args.end());
    return RunTool(all, {.working_directory = dir_.path()});
  }

  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  // Exit 1, the one line on stderr, nothing on stdout, and the folder as it was.
  void ExpectFailure(const std::vector<std::string>& args, const std::string& line) {
    const std::vector<std::string> before = Files();
    const RunResult run = Join(args);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, line + "\n");
    EXPECT_EQ(Files(), before);
  }

  TempDir dir_;
};

TEST_F(JoinCli, JoinedMovieIsReportedWithItsDurationAndPathAsGiven) {
  Segment("a.mp4");
  Segment("b.mov");
  const RunResult run = Join({"joined.mp4", "a.mp4", "b.mov", "a.mp4"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, "{\"duration\":6,\"path\":\"joined.mp4\"}\n");
  EXPECT_TRUE(FileExists(dir_.File("joined.mp4")));
  EXPECT_EQ(Files(), (std::vector<std::string>{"a.mp4", "b.mov", "joined.mp4"}));
}

TEST_F(JoinCli, MissingSegmentFailsNamingIt) {
  Segment("a.mp4");
  ExpectFailure({"joined.mp4", "a.mp4", "missing.mp4"},
                "Cannot open movie missing.mp4: No such file or directory");
}

TEST_F(JoinCli, OutputPathThatIsNotUtf8FailsNamingIt) {
  Segment("a.mp4");
  ExpectFailure({"out\xff.mp4", "a.mp4"},
                "The result could not be written as JSON: \"out\xff.mp4\" is not valid UTF-8");
}

TEST_F(JoinCli, FileThatIsNotAMovieFailsNamingIt) {
  WriteFile(dir_.File("notes.mov"), "shopping list: eggs, milk\n");
  ExpectFailure({"joined.mp4", "notes.mov"},
                "Cannot open movie notes.mov: not a movie file, or its data is damaged");
}

TEST_F(JoinCli, TruncatedSegmentFailsNamingIt) {
  const std::string bytes = ReadFile(Segment("whole.mp4"));
  WriteFile(dir_.File("cut.mp4"), bytes.substr(0, bytes.size() / 2));
  ExpectFailure({"joined.mp4", "whole.mp4", "cut.mp4"},
                "Cannot open movie cut.mp4: the recording was not finished: it has no index");
}

TEST_F(JoinCli, AudioOnlySegmentHasNoVideo) {
  Segment("a.mp4");
  Segment("voice.m4a", /*video=*/false);
  ExpectFailure({"joined.mp4", "a.mp4", "voice.m4a"}, "Recording segment has no video");
}

TEST_F(JoinCli, OutputInAMissingFolderFailsAndCreatesNothing) {
  Segment("a.mp4");
  ExpectFailure({"no/such/joined.mp4", "a.mp4"},
                "Cannot export to no/such/joined.mp4: the folder no/such does not exist");
  EXPECT_FALSE(std::filesystem::exists(dir_.File("no")));
}

TEST_F(JoinCli, ExistingOutputIsNeverReplaced) {
  Segment("a.mp4");
  WriteFile(dir_.File("taken.mp4"), "yesterday's recording");
  ExpectFailure({"taken.mp4", "a.mp4"}, "Cannot export to taken.mp4: a file already exists there");
  EXPECT_EQ(ReadFile(dir_.File("taken.mp4")), "yesterday's recording");

  ExpectFailure({"a.mp4", "a.mp4"}, "Cannot export to a.mp4: a file already exists there");
}

// A cut-off recording whose header still gives its video two seconds, though the file holds not one
// frame of it: alone or before a valid segment, never a movie reported for pictures it lacks.
TEST_F(JoinCli, SegmentWhoseVideoHasNoFramesFailsNamingIt) {
  const std::string samples = std::string(QUORVANE_SOURCE_DIR) + "/tests/data/hostile/";
  for (const std::string name : {"no-frames-av1.mp4", "valid.mp4"}) {
    std::filesystem::copy_file(samples + name, dir_.File(name));
  }
  const std::string line = "Cannot open movie no-frames-av1.mp4: its video has no frames";
  ExpectFailure({"out.mp4", "no-frames-av1.mp4"}, line);
  ExpectFailure({"out.mp4", "no-frames-av1.mp4", "valid.mp4"}, line);
  ExpectFailure({"out.mp4", "valid.mp4", "no-frames-av1.mp4"}, line);
}

// A 5 KB fragment whose run claims 85 million samples once made FFmpeg 5.1 zero 700 MB of table
// for it (7.1 refuses the run itself): refused by name within a bounded allocation, before any
// output exists.
TEST_F(JoinCli, SegmentWhoseTablesClaimMillionsOfSamplesIsRefusedInLittleMemory) {
  const std::string samples = std::string(QUORVANE_SOURCE_DIR) + "/tests/data/hostile/";
  for (const std::string name : {"huge-run.mp4", "valid.mp4"}) {
    std::filesystem::copy_file(samples + name, dir_.File(name));
  }
  const RunResult run = Join({"out.mp4", "valid.mp4", "huge-run.mp4"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(run.err == "Cannot open movie huge-run.mp4: its tables claim more than 256 MB, so "
                         "its data is damaged\n" ||
              run.err == "Cannot open movie huge-run.mp4: not a movie file, or its data is "
                         "damaged\n")
      << run.err;
  EXPECT_LT(run.peak_memory_kib, 300 * 1024);
  EXPECT_FALSE(FileExists(dir_.File("out.mp4")));
}

// Hostile movies, each joined before a valid segment: two damaged ones that once made the
// re-encode path abort (SIGABRT, no error line), two whose headers claim 10^7 s (one with cues,
// one cut off without) that once kept the export busy until its timeout, one whose pictures'
// times run backwards, which once left half a second without a picture at the movie's start, and
// one whose odd time base (units of 4818849/500000000 s) brought a 5 s gap between two pictures
// to more ticks than an MPEG-4 sample's duration holds, which once squeezed every later picture
// of the movie into a tick. Each fails with one line naming it and leaves nothing, or joins into
// a movie whose video runs from 0 for the duration reported; never a signal, never the timeout.
TEST_F(JoinCli, HostileSegmentsFailCleanlyOrJoin) {
  const std::string samples = std::string(QUORVANE_SOURCE_DIR) + "/tests/data/hostile/";
  std::filesystem::copy_file(samples + "valid.mp4", dir_.File("valid.mp4"));
  for (const std::string name : {"abort-1.mkv", "abort-2.mkv", "long-claim.mkv",
                                 "claim-without-index.mkv", "out-of-order.mkv",
                                 "coarse-ticks-gap.mkv"}) {
    SCOPED_TRACE(name);
    std::filesystem::copy_file(samples + name, dir_.File(name));
    const RunResult run = Join({"out.mp4", name, "valid.mp4"});
    EXPECT_EQ(run.signal, 0);
    EXPECT_FALSE(run.timed_out);
    if (run.status == 0) {
      EXPECT_EQ(run.err, "");
      const double reported = nlohmann::json::parse(run.out).at("duration").get<double>();
      const TimeRange video = FfmpegMedia()
                                  .OpenAsset(dir_.File("out.mp4"))
                                  ->tracks(MediaType::kVideo)
                                  .at(0)
                                  ->time_range();
      EXPECT_NEAR(MediaTimeGetSeconds(video.start), 0, 1e-3);
      EXPECT_NEAR(MediaTimeGetSeconds(video.duration), reported, 0.07);  // within a frame or two
      std::filesystem::remove(dir_.File("out.mp4"));
      continue;
    }
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_NE(run.err.find(name + ": "), std::string::npos) << run.err;
    EXPECT_FALSE(FileExists(dir_.File("out.mp4")));
  }
}

}  // namespace
