#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "platform/media/ffmpeg_media.h"
#include "platform/media/ffmpeg_source.h"
#include "platform/platform_error.h"
#include "tests/support/media_samples.h"
#include "tests/support/run_tool.h"

namespace {

using media_samples::AudioPlan;
using media_samples::MakeSegment;
using media_samples::SegmentPlan;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;

bool Equal(MediaTime time, std::int64_t value, std::int64_t timescale) {
  return MediaTimeEqual(time, MediaTime{value, timescale});
}

// The one line an OpenAsset failure carries.
std::string OpenError(const std::string& path) {
  FfmpegMedia media;
  try {
    media.OpenAsset(path);
  } catch (const PlatformError& error) {
    return error.what();
  }
  return "(opened)";
}

class FfmpegAssetTest : public ::testing::Test {
 protected:
  TempDir dir_;
  FfmpegMedia media_;
};

TEST_F(FfmpegAssetTest, TracksComeInFileOrderWithExactRanges) {
  SegmentPlan plan;
  plan.video_duration = 2.0;
  plan.audio = {AudioPlan{.duration = 1.5}, AudioPlan{.duration = 2.5, .channels = 1}};
  MakeSegment(dir_.File("a.mp4"), plan);

  std::unique_ptr<Asset> asset = media_.OpenAsset(dir_.File("a.mp4"));
  std::vector<const AssetTrack*> video = asset->tracks(MediaType::kVideo);
  std::vector<const AssetTrack*> audio = asset->tracks(MediaType::kAudio);
  ASSERT_EQ(video.size(), 1u);
  ASSERT_EQ(audio.size(), 2u);
  EXPECT_TRUE(Equal(video[0]->time_range().start, 0, 1));
  EXPECT_TRUE(Equal(video[0]->time_range().duration, 2, 1));
  EXPECT_TRUE(Equal(audio[0]->time_range().duration, 3, 2));
  EXPECT_TRUE(Equal(audio[1]->time_range().duration, 5, 2));
  EXPECT_EQ(video[0]->preferred_transform(), Transform{});
}

TEST_F(FfmpegAssetTest, StartOffsetIsTheRangeStart) {
  SegmentPlan plan;
  plan.start = 1.5;
  plan.audio = {AudioPlan{}};
  MakeSegment(dir_.File("late.mp4"), plan);

  std::unique_ptr<Asset> asset = media_.OpenAsset(dir_.File("late.mp4"));
  const TimeRange video = asset->tracks(MediaType::kVideo)[0]->time_range();
  const TimeRange audio = asset->tracks(MediaType::kAudio)[0]->time_range();
  EXPECT_NEAR(MediaTimeGetSeconds(video.start), 1.5, 0.001);
  EXPECT_NEAR(MediaTimeGetSeconds(video.duration), 2.0, 0.001);
  // ffmpeg stores the offset as an empty edit in milliseconds, and the AAC priming frame ends up
  // inside the edit: the track starts up to one frame before the offset.
  EXPECT_LE(MediaTimeGetSeconds(audio.start), 1.5);
  EXPECT_GE(MediaTimeGetSeconds(audio.start), 1.5 - 0.025);
}

TEST_F(FfmpegAssetTest, DisplayMatrixIsThePreferredTransform) {
  SegmentPlan plan;
  plan.rotation = 90;
  MakeSegment(dir_.File("rotated.mov"), plan);

  std::unique_ptr<Asset> asset = media_.OpenAsset(dir_.File("rotated.mov"));
  const Transform transform = asset->tracks(MediaType::kVideo)[0]->preferred_transform();
  const auto streams = media_samples::ProbeStreams(dir_.File("rotated.mov"));
  ASSERT_EQ(streams[0].display_matrix.size(), 9u);
  EXPECT_EQ(transform, TransformFromDisplayMatrix(streams[0].display_matrix.data()));
  EXPECT_EQ(transform.a, 0);
  EXPECT_EQ(transform.d, 0);
  EXPECT_EQ(std::abs(transform.b), 1);
  EXPECT_EQ(transform.c, -transform.b);
}

TEST(DisplayMatrix, ConvertsToTransformAndBackExactly) {
  const std::int32_t rotated[9] = {0, 65536, 0, -65536, 0, 0, 1080 << 16, 0, 1 << 30};
  const Transform transform = TransformFromDisplayMatrix(rotated);
  EXPECT_EQ(transform, (Transform{0, 1, -1, 0, 1080, 0}));
  std::int32_t back[9];
  DisplayMatrixFromTransform(transform, back);
  EXPECT_THAT(back, ::testing::ElementsAreArray(rotated));

  const std::int32_t odd[9] = {3, -70000, 0, 12345, 65535, 0, -7, 99, 1 << 30};
  DisplayMatrixFromTransform(TransformFromDisplayMatrix(odd), back);
  EXPECT_THAT(back, ::testing::ElementsAreArray(odd));
}

TEST_F(FfmpegAssetTest, MovAndM4vOpenLikeMp4) {
  SegmentPlan plan;
  plan.audio = {AudioPlan{}};
  for (const char* name : {"s.mov", "s.m4v"}) {
    MakeSegment(dir_.File(name), plan);
    std::unique_ptr<Asset> asset = media_.OpenAsset(dir_.File(name));
    EXPECT_EQ(asset->tracks(MediaType::kVideo).size(), 1u) << name;
    EXPECT_EQ(asset->tracks(MediaType::kAudio).size(), 1u) << name;
    EXPECT_NEAR(MediaTimeGetSeconds(asset->tracks(MediaType::kVideo)[0]->time_range().duration),
                2.0, 0.001)
        << name;
  }
}

TEST_F(FfmpegAssetTest, AudioOnlyFileListsNoVideo) {
  SegmentPlan plan;
  plan.has_video = false;
  plan.audio = {AudioPlan{}};
  MakeSegment(dir_.File("voice.mp4"), plan);

  std::unique_ptr<Asset> asset = media_.OpenAsset(dir_.File("voice.mp4"));
  EXPECT_TRUE(asset->tracks(MediaType::kVideo).empty());
  EXPECT_EQ(asset->tracks(MediaType::kAudio).size(), 1u);

  // Cover art is stored as a one-picture video stream; it is no video track.
  const std::string art = dir_.File("art.m4a");
  const RunResult made = RunProgram(media_samples::kFfmpeg, {"-v",
                                                             "error",
                                                             "-i",
                                                             dir_.File("voice.mp4"),
                                                             "-f",
                                                             "lavfi",
                                                             "-i",
                                                             "color=red:size=64x64:duration=0.04",
                                                             "-frames:v",
                                                             "1",
                                                             "-map",
                                                             "0",
                                                             "-map",
                                                             "1",
                                                             "-c:a",
                                                             "copy",
                                                             "-c:v",
                                                             "mjpeg",
                                                             "-disposition:v",
                                                             "attached_pic",
                                                             art});
  ASSERT_EQ(made.status, 0) << made.err;
  ASSERT_EQ(media_samples::ProbeStreams(art).size(), 2u);
  std::unique_ptr<Asset> with_art = media_.OpenAsset(art);
  EXPECT_TRUE(with_art->tracks(MediaType::kVideo).empty());
  EXPECT_EQ(with_art->tracks(MediaType::kAudio).size(), 1u);
}

TEST_F(FfmpegAssetTest, UnreadableFilesFailWithOneLineNamingThePath) {
  const std::string missing = dir_.File("missing.mp4");
  EXPECT_EQ(OpenError(missing), "Cannot open movie " + missing + ": No such file or directory");

  EXPECT_EQ(OpenError(dir_.path()), "Cannot open movie " + dir_.path() + ": Is a directory");

  const std::string text = dir_.File("notes.mp4");
  WriteFile(text, "These are not the frames you are looking for.\n");
  EXPECT_EQ(OpenError(text),
            "Cannot open movie " + text + ": not a movie file, or its data is damaged");

  const std::string empty = dir_.File("empty.mov");
  WriteFile(empty, "");
  EXPECT_THAT(OpenError(empty), HasSubstr("Cannot open movie " + empty + ": "));

  for (const std::string& error : {OpenError(missing), OpenError(text), OpenError(empty)}) {
    EXPECT_THAT(error, Not(HasSubstr("\n")));
  }
}

TEST_F(FfmpegAssetTest, TruncatedMoviesFailEitherWay) {
  SegmentPlan plan;
  plan.audio = {AudioPlan{}};
  MakeSegment(dir_.File("whole.mp4"), plan);
  const std::string bytes = ReadFile(dir_.File("whole.mp4"));
  // Written by ffmpeg without faststart: mdat first, so a cut loses the moov.
  const std::string cut_index = dir_.File("cut_index.mp4");
  WriteFile(cut_index, bytes.substr(0, bytes.size() / 2));
  EXPECT_EQ(OpenError(cut_index),
            "Cannot open movie " + cut_index + ": the recording was not finished: it has no index");

  // With the moov first, the index survives but points past the end.
  const std::string fast = dir_.File("fast.mp4");
  ASSERT_EQ(RunProgram(media_samples::kFfmpeg, {"-v", "error", "-i", dir_.File("whole.mp4"), "-c",
                                                "copy", "-movflags", "+faststart", fast})
                .status,
            0);
  const std::string fast_bytes = ReadFile(fast);
  const std::string cut_media = dir_.File("cut_media.mp4");
  WriteFile(cut_media, fast_bytes.substr(0, fast_bytes.size() * 3 / 4));
  EXPECT_EQ(OpenError(cut_media),
            "Cannot open movie " + cut_media + ": the file ends early (truncated)");
}

TEST_F(FfmpegAssetTest, RangesComeFromThePacketsOfStreamingAndCutOffRecordings) {
  // A live WebM: no duration and no cues, VP9 and Opus as a browser records them.
  SegmentPlan plan;
  plan.video_codec = "libvpx-vp9";
  plan.streaming = true;
  plan.audio = {AudioPlan{.duration = 1.5, .codec = "libopus"}};
  const std::string webm = dir_.File("live.webm");
  MakeSegment(webm, plan);
  ASSERT_EQ(media_samples::ProbeStreams(webm)[0].duration, 0.0);
  {
    std::unique_ptr<Asset> asset = media_.OpenAsset(webm);
    EXPECT_TRUE(Equal(asset->tracks(MediaType::kVideo).at(0)->time_range().duration, 2, 1));
    // Opus frames are 20 ms; the pre-skip is not sound.
    const TimeRange audio = asset->tracks(MediaType::kAudio).at(0)->time_range();
    EXPECT_NEAR(MediaTimeGetSeconds(audio.start), 0.0, 0.001);
    EXPECT_NEAR(MediaTimeGetSeconds(audio.duration), 1.5, 0.021);
  }

  // Cut off in the middle: the complete part is read. Fragmented MPEG-4 is cut inside a fragment.
  plan.audio = {AudioPlan{.duration = 2.0, .codec = "libopus"}};
  MakeSegment(dir_.File("whole.webm"), plan);
  plan.video_codec = "libx264";
  plan.audio = {AudioPlan{.duration = 2.0}};
  const std::string fragmented = dir_.File("fragmented.mp4");
  MakeSegment(fragmented, plan);
  for (const std::string& whole : {fragmented, dir_.File("whole.webm")}) {
    SCOPED_TRACE(whole);
    const std::string bytes = ReadFile(whole);
    const std::string cut = dir_.File("cut_" + std::filesystem::path(whole).filename().string());
    WriteFile(cut, bytes.substr(0, bytes.size() * 3 / 5));
    std::unique_ptr<Asset> asset = media_.OpenAsset(cut);
    const double video =
        MediaTimeGetSeconds(asset->tracks(MediaType::kVideo).at(0)->time_range().duration);
    EXPECT_GT(video, 0.5);
    EXPECT_LT(video, 1.8);
    const double audio =
        MediaTimeGetSeconds(asset->tracks(MediaType::kAudio).at(0)->time_range().duration);
    EXPECT_GT(audio, 0.5);
    EXPECT_LT(audio, 1.8);
  }

  // Nothing complete: cut inside the first fragment's header, or before the first frame.
  const std::string bytes = ReadFile(fragmented);
  const std::string header_only = dir_.File("header_only.mp4");
  WriteFile(header_only, bytes.substr(0, bytes.find("moof") + 16));
  EXPECT_EQ(OpenError(header_only),
            "Cannot open movie " + header_only + ": the file ends early (truncated)");
  const std::string webm_bytes = ReadFile(dir_.File("whole.webm"));
  const std::string webm_header = dir_.File("header_only.webm");
  WriteFile(webm_header, webm_bytes.substr(0, webm_bytes.find("\x1f\x43\xb6\x75") + 40));
  EXPECT_THAT(OpenError(webm_header), HasSubstr("Cannot open movie " + webm_header + ": "));
}

// A sample table claiming 2^30 entries is refused when opened, or (FFmpeg 7 reads past some of
// these counts) joins like any movie: never a signal, one line, little time and memory.
TEST_F(FfmpegAssetTest, HostileSampleCountsAndDurationsFailOrJoinWithoutExhaustingAnything) {
  MakeSegment(dir_.File("good.mp4"), SegmentPlan{});
  const std::string bytes = ReadFile(dir_.File("good.mp4"));
  for (const std::string box : {"stsz", "stts", "stco", "stsc"}) {
    SCOPED_TRACE(box);
    const size_t at = bytes.find(box);
    ASSERT_NE(at, std::string::npos);
    // The entry count after version and flags (and after the common sample size in stsz).
    std::string hostile = bytes;
    hostile.replace(at + 8 + (box == "stsz" ? 4 : 0), 4, "\x3f\xff\xff\xff");
    const std::string path = dir_.File("hostile_" + box + ".mp4");
    WriteFile(path, hostile);
    const std::string error = OpenError(path);
    if (error != "(opened)") {
      EXPECT_THAT(error, HasSubstr("Cannot open movie " + path + ": "));
      continue;
    }
    const std::string joined = dir_.File("joined_" + box + ".mp4");
    const RunResult run = RunTool({"join", joined, path}, {.timeout = std::chrono::seconds(10)});
    EXPECT_EQ(run.signal, 0);
    EXPECT_FALSE(run.timed_out);
    EXPECT_LT(run.peak_memory_kib, 400 * 1024);
    if (run.status == 0) {
      EXPECT_EQ(run.err, "");
      EXPECT_NO_THROW(media_.OpenAsset(joined));
    } else {
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
      EXPECT_THAT(run.err, HasSubstr(path + ": "));
    }
  }
  // The last fragment said to start years later: time the export would have to fill.
  MakeSegment(dir_.File("fragmented.mp4"), SegmentPlan{.streaming = true});
  std::string hostile = ReadFile(dir_.File("fragmented.mp4"));
  // Version 1: the 64-bit decoding time follows version and flags.
  hostile.replace(hostile.rfind("tfdt") + 8, 8, std::string("\0\0\x01\0\0\0\0\0", 8));
  const std::string path = dir_.File("hostile_jump.mp4");
  WriteFile(path, hostile);
  EXPECT_THAT(OpenError(path), MatchesRegex("Cannot open movie " + path +
                                            ": its video claims to last [0-9]+ hours, more "
                                            "than the 24 a recording segment can"));
}

TEST_F(FfmpegAssetTest, InsertionOutsideItsTrackOrOfTheWrongTypeFailsNamingTheFile) {
  SegmentPlan plan;
  plan.audio = {AudioPlan{}};
  const std::string path = dir_.File("a.mp4");
  MakeSegment(path, plan);
  std::unique_ptr<Asset> asset = media_.OpenAsset(path);
  const AssetTrack& video = *asset->tracks(MediaType::kVideo)[0];
  const AssetTrack& audio = *asset->tracks(MediaType::kAudio)[0];
  std::unique_ptr<Composition> composition = media_.CreateComposition();
  CompositionTrack* track = composition->AddMutableTrack(MediaType::kVideo);
  ASSERT_NE(track, nullptr);

  try {
    track->InsertTimeRange(audio.time_range(), audio, kMediaTimeZero);
    FAIL() << "audio went into the video track";
  } catch (const PlatformError& error) {
    EXPECT_EQ(std::string(error.what()),
              "Cannot insert " + path + ": the track is of another media type");
  }
  try {
    track->InsertTimeRange({MediaTime{1, 1}, MediaTime{2, 1}}, video, kMediaTimeZero);
    FAIL() << "a range past the track's end was accepted";
  } catch (const PlatformError& error) {
    EXPECT_EQ(std::string(error.what()),
              "Cannot insert " + path + ": the range lies outside its track");
  }
  // A range inside the track is kept after the asset is gone.
  track->InsertTimeRange({MediaTime{1, 2}, MediaTime{1, 1}}, video, MediaTime{3, 1});
  asset.reset();
  EXPECT_NE(media_.CreateExportSession(*composition, ExportPreset::kHighestQuality), nullptr);
}

}  // namespace
