// The media sample helpers against real files: what they make reads back as asked, and they see
// the faults of a naive packet-copy concatenation.
#include "tests/support/media_samples.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "tests/support/run_tool.h"

namespace media_samples {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr double kTickTolerance = 0.011;

std::string Describe(const std::vector<double>& times) {
  std::string text;
  for (double t : times) text += std::to_string(t) + " ";
  return text;
}

void ExpectTicksAt(const std::string& path, int lane, const std::vector<double>& expected) {
  DecodedAudio audio = DecodeAudioLane(path, lane);
  std::vector<double> measured = TickOnsets(audio);
  TickComparison comparison = CompareTicks(expected, measured);
  EXPECT_TRUE(comparison.Within(kTickTolerance))
      << path << " lane " << lane << ": expected " << Describe(expected) << "measured "
      << Describe(measured) << "max error " << comparison.max_error;
}

// Joins |segments| with the ffmpeg CLI's concat demuxer and packet copy, as a naive joiner would.
void ConcatCopy(const TempDir& dir, const std::vector<std::string>& segments,
                const std::string& output) {
  std::string list;
  for (const std::string& segment : segments) list += "file '" + segment + "'\n";
  WriteFile(dir.File("list.txt"), list);
  RunResult run =
      RunProgram(media_samples::kFfmpeg, {"-nostdin", "-hide_banner", "-loglevel", "error", "-y",
                                          "-f", "concat", "-safe", "0", "-i", dir.File("list.txt"),
                                          "-c", "copy", "-movflags", "+faststart", output});
  ASSERT_EQ(run.status, 0) << run.err;
}

TEST(MediaSamples, MadeSegmentHasTheStreamsDurationsAndTicksAskedFor) {
  TempDir dir;
  SegmentPlan plan;
  plan.video_duration = 3;
  plan.width = 320;
  plan.height = 240;
  plan.audio = {{.duration = 2.5}, {.duration = 3, .sample_rate = 44100, .channels = 1}};
  const std::string path = dir.File("segment.mp4");
  MakeSegment(path, plan);

  std::vector<StreamInfo> streams = ProbeStreams(path);
  ASSERT_EQ(streams.size(), 3u);
  EXPECT_EQ(streams[0].type, StreamType::kVideo);
  EXPECT_EQ(streams[0].codec, "h264");
  EXPECT_EQ(streams[0].tag, "avc1");
  EXPECT_EQ(streams[1].tag, "mp4a");
  EXPECT_EQ(streams[0].width, 320);
  EXPECT_EQ(streams[0].height, 240);
  EXPECT_NEAR(streams[0].start, 0, 1e-9);
  EXPECT_NEAR(streams[0].duration, 3, 1e-6);
  EXPECT_EQ(streams[0].rotation, 0);
  EXPECT_FALSE(streams[0].extradata.empty());
  EXPECT_EQ(streams[1].type, StreamType::kAudio);
  EXPECT_EQ(streams[1].codec, "aac");
  EXPECT_EQ(streams[1].sample_rate, 48000);
  EXPECT_EQ(streams[1].channels, 2);
  EXPECT_NEAR(streams[1].duration, 2.5, 1e-6);
  EXPECT_EQ(streams[2].sample_rate, 44100);
  EXPECT_EQ(streams[2].channels, 1);
  EXPECT_NEAR(streams[2].duration, 3, 1e-6);

  ExpectTicksAt(path, 0, {0, 1, 2});
  ExpectTicksAt(path, 1, {0, 1, 2});
  DecodedAudio lane1 = DecodeAudioLane(path, 1);
  EXPECT_EQ(lane1.sample_rate, 44100);
  EXPECT_NEAR(lane1.duration(), 3, 1024.0 / 44100);
  EXPECT_LT(Rms(lane1, 0.1, 0.9), 1e-3);
  EXPECT_GT(Rms(lane1, 1.0, 1.0 + kTickLength), 0.2);

  DecodeReport report = DecodesCleanly(path);
  EXPECT_TRUE(report.clean()) << report.first_error;
  EXPECT_THAT(report.frames, ElementsAre(90, ::testing::Ge(118), ::testing::Ge(130)));
  EXPECT_EQ(MajorBrand(path), "isom");
  EXPECT_FALSE(MoovBeforeMdat(path));
}

TEST(MediaSamples, RotationAndContainerReadBack) {
  TempDir dir;
  SegmentPlan plan;
  plan.video_duration = 2;
  plan.rotation = 90;
  plan.audio = {{.duration = 2}};
  MakeSegment(dir.File("rotated.mov"), plan);
  plan.rotation = 270;
  MakeSegment(dir.File("rotated.m4v"), plan);

  std::vector<StreamInfo> mov = ProbeStreams(dir.File("rotated.mov"));
  ASSERT_EQ(mov.size(), 2u);
  EXPECT_EQ(mov[0].rotation, 90);
  EXPECT_EQ(mov[0].display_matrix.size(), 9u);
  EXPECT_EQ(MajorBrand(dir.File("rotated.mov")), "qt  ");
  EXPECT_EQ(StreamsOfType(ProbeStreams(dir.File("rotated.m4v")), StreamType::kVideo)[0].rotation,
            270);
  EXPECT_EQ(MajorBrand(dir.File("rotated.m4v")), "M4V ");
  // The rotating second pass is a stream copy: the audio keeps its place.
  ExpectTicksAt(dir.File("rotated.mov"), 0, {0, 1});
}

TEST(MediaSamples, AudioOnlyAndVideoOnlyFiles) {
  TempDir dir;
  SegmentPlan audio_only;
  audio_only.has_video = false;
  audio_only.audio = {{.duration = 1.5, .channels = 1}};
  MakeSegment(dir.File("audio.mp4"), audio_only);
  std::vector<StreamInfo> streams = ProbeStreams(dir.File("audio.mp4"));
  EXPECT_TRUE(StreamsOfType(streams, StreamType::kVideo).empty());
  EXPECT_EQ(StreamsOfType(streams, StreamType::kAudio).size(), 1u);
  EXPECT_THROW(VideoPackets(dir.File("audio.mp4")), std::runtime_error);

  SegmentPlan video_only;
  video_only.video_duration = 1;
  MakeSegment(dir.File("video.mp4"), video_only);
  streams = ProbeStreams(dir.File("video.mp4"));
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_EQ(streams[0].type, StreamType::kVideo);
  EXPECT_EQ(VideoPackets(dir.File("video.mp4")).size(), 30u);
  try {
    DecodeAudioLane(dir.File("video.mp4"), 0);
    ADD_FAILURE() << "decoded a lane that does not exist";
  } catch (const std::runtime_error& error) {
    EXPECT_THAT(error.what(), HasSubstr("video.mp4"));
    EXPECT_THAT(error.what(), HasSubstr("no audio stream 0"));
  }
}

TEST(MediaSamples, CrfChangesExtradataAndPacketsWhileARemuxKeepsThem) {
  TempDir dir;
  SegmentPlan plan;
  plan.video_duration = 1;
  MakeSegment(dir.File("a.mp4"), plan);
  MakeSegment(dir.File("a_again.mp4"), plan);
  plan.crf = 30;
  MakeSegment(dir.File("b.mp4"), plan);
  RunResult remux = RunProgram(media_samples::kFfmpeg,
                               {"-nostdin", "-loglevel", "error", "-i", dir.File("a.mp4"), "-c",
                                "copy", "-movflags", "+faststart", dir.File("a_remuxed.mp4")});
  ASSERT_EQ(remux.status, 0) << remux.err;

  const std::string a = ProbeStreams(dir.File("a.mp4"))[0].extradata;
  EXPECT_EQ(a, ProbeStreams(dir.File("a_again.mp4"))[0].extradata);
  EXPECT_NE(a, ProbeStreams(dir.File("b.mp4"))[0].extradata);
  EXPECT_EQ(VideoPackets(dir.File("a.mp4")), VideoPackets(dir.File("a_remuxed.mp4")));
  EXPECT_NE(VideoPackets(dir.File("a.mp4")), VideoPackets(dir.File("b.mp4")));
  EXPECT_TRUE(MoovBeforeMdat(dir.File("a_remuxed.mp4")));
  EXPECT_FALSE(MoovBeforeMdat(dir.File("a.mp4")));
  EXPECT_THAT(TopLevelBoxes(dir.File("a_remuxed.mp4")),
              ElementsAre("ftyp", "moov", "free", "mdat"));
}

TEST(MediaSamples, StartOffsetsShowInTheStreamsAndTheDecodedTimeline) {
  TempDir dir;
  SegmentPlan plan;
  plan.video_duration = 2;
  plan.start = 0.5;
  plan.audio = {{.duration = 2}, {.duration = 1.5, .start = 0.25}};
  const std::string path = dir.File("late.mp4");
  MakeSegment(path, plan);

  std::vector<StreamInfo> streams = ProbeStreams(path);
  ASSERT_EQ(streams.size(), 3u);
  EXPECT_NEAR(streams[0].start, 0.5, 1e-3);
  ExpectTicksAt(path, 0, {0.5, 1.5});
  ExpectTicksAt(path, 1, {0.75, 1.75});

  // Read back, each track's ticks sit where its first tick was asked for, measured from the
  // track's own start: that start may include a priming frame the muxer left in.
  SegmentLayout layout = ReadLayout(path);
  EXPECT_NEAR(layout.video_duration, 2, 1e-6);
  ASSERT_EQ(layout.audio.size(), 2u);
  for (int lane = 0; lane < 2; ++lane) {
    const LaneLayout& track = layout.audio[lane];
    ASSERT_EQ(track.ticks.size(), 2u) << lane;
    EXPECT_NEAR(track.start + track.ticks[0], lane == 0 ? 0.5 : 0.75, 0.001);
    EXPECT_NEAR(track.ticks[1] - track.ticks[0], 1, 0.001);
    EXPECT_GE(track.ticks[0], 0);
    EXPECT_LT(track.ticks[0], 1024.0 / 48000 + 0.001);
  }
}

TEST(MediaSamples, ReadLayoutOfAPlainSegmentIsTheAskedLayout) {
  TempDir dir;
  SegmentPlan plan;
  plan.video_duration = 2;
  plan.audio = {{.duration = 1.5}, {.duration = 3, .sample_rate = 44100, .channels = 1}};
  MakeSegment(dir.File("plain.mp4"), plan);
  SegmentLayout asked = LayoutOf(plan);
  SegmentLayout read = ReadLayout(dir.File("plain.mp4"));
  EXPECT_NEAR(read.video_duration, asked.video_duration, 1e-6);
  ASSERT_EQ(read.audio.size(), 2u);
  for (int lane = 0; lane < 2; ++lane) {
    EXPECT_NEAR(read.audio[lane].start, 0, 1e-6);
    EXPECT_NEAR(read.audio[lane].duration, asked.audio[lane].duration, 1e-6);
    ASSERT_EQ(read.audio[lane].ticks.size(), asked.audio[lane].ticks.size()) << lane;
    for (size_t i = 0; i < asked.audio[lane].ticks.size(); ++i) {
      EXPECT_NEAR(read.audio[lane].ticks[i], asked.audio[lane].ticks[i], 0.001);
    }
  }
  EXPECT_EQ(ExpectedTicks(std::vector<SegmentLayout>{read, read}, 1).size(), 4u);
}

TEST(MediaSamples, OtherAudioCodecsDecode) {
  TempDir dir;
  SegmentPlan plan;
  plan.video_duration = 2;
  plan.audio = {{.duration = 2, .sample_rate = 44100, .codec = "libmp3lame"}};
  MakeSegment(dir.File("mp3.mp4"), plan);
  plan.audio = {{.duration = 2, .sample_rate = 32000, .channels = 1, .codec = "pcm_s16le"}};
  MakeSegment(dir.File("pcm.mov"), plan);

  EXPECT_EQ(ProbeStreams(dir.File("mp3.mp4"))[1].codec, "mp3");
  EXPECT_EQ(ProbeStreams(dir.File("pcm.mov"))[1].codec, "pcm_s16le");
  ExpectTicksAt(dir.File("pcm.mov"), 0, {0, 1});
  DecodedAudio pcm = DecodeAudioLane(dir.File("pcm.mov"), 0);
  EXPECT_EQ(pcm.sample_rate, 32000);
  EXPECT_NEAR(pcm.duration(), 2, 1e-6);
  // MP3 in MP4 carries no priming edit: its ticks come late by the encoder delay.
  DecodedAudio mp3 = DecodeAudioLane(dir.File("mp3.mp4"), 0);
  EXPECT_EQ(TickOnsets(mp3).size(), 2u);
}

TEST(MediaSamples, MakeSegmentReportsWhatWentWrong) {
  TempDir dir;
  SegmentPlan plan;
  try {
    MakeSegment(dir.File("clip.avi"), plan);
    ADD_FAILURE() << "made an .avi";
  } catch (const std::runtime_error& error) {
    EXPECT_THAT(error.what(), HasSubstr("clip.avi"));
  }
  plan.audio = {{.codec = "no_such_encoder"}};
  try {
    MakeSegment(dir.File("clip.mp4"), plan);
    ADD_FAILURE() << "made audio with a missing encoder";
  } catch (const std::runtime_error& error) {
    EXPECT_THAT(error.what(), HasSubstr("ffmpeg failed"));
    EXPECT_THAT(error.what(), HasSubstr("no_such_encoder"));
  }
}

// The known faults of packet-copy concatenation: AAC priming shifts every later segment's audio
// late, and a segment with short audio makes all later audio play early. The helpers must see both.
TEST(MediaSamples, CatchesTheDriftOfAConcatDemuxerCopy) {
  TempDir dir;
  std::vector<SegmentPlan> plans(3);
  for (SegmentPlan& plan : plans) {
    plan.video_duration = 2;
    plan.audio = {{.duration = 2}};
  }
  plans[1].audio[0].duration = 1.5;
  std::vector<std::string> paths;
  for (int k = 0; k < 3; ++k) {
    paths.push_back(dir.File("segment" + std::to_string(k) + ".mp4"));
    MakeSegment(paths.back(), plans[k]);
  }
  const std::string joined = dir.File("joined.mp4");
  ConcatCopy(dir, paths, joined);

  std::vector<double> expected = ExpectedTicks(plans, 0);
  ASSERT_THAT(expected, ElementsAre(0, 1, 2, 3, 4, 5));
  DecodedAudio audio = DecodeAudioLane(joined, 0);
  std::vector<double> measured = TickOnsets(audio);
  TickComparison comparison = CompareTicks(expected, measured);
  RecordProperty("measured_onsets", Describe(measured));
  ASSERT_EQ(comparison.errors.size(), 6u);
  EXPECT_FALSE(comparison.Within(kTickTolerance)) << Describe(measured);
  // The copy drops the first segment's priming edit: the priming frame plays, about 21 ms.
  EXPECT_GT(comparison.errors[0], kTickTolerance) << Describe(measured);
  EXPECT_LT(comparison.errors[0], 0.03) << Describe(measured);
  EXPECT_NEAR(comparison.errors[1], comparison.errors[0], 0.001);
  // Each join adds the next segment's priming and the previous one's partial last frame.
  EXPECT_GT(comparison.errors[2], comparison.errors[0] + 0.015) << Describe(measured);
  // Segment 2 follows 1.5 s of audio instead of 2 s: early by about 0.4 s.
  EXPECT_LT(comparison.errors[4], -0.3) << Describe(measured);
  EXPECT_NEAR(comparison.errors[5], comparison.errors[4], 0.001);

  // The lane should be silent where segment 1's audio ended; segment 2's first tick plays there.
  std::vector<Interval> silence = ExpectedSilence(plans, 0);
  ASSERT_EQ(silence.size(), 1u);
  EXPECT_NEAR(silence[0].from, 3.5, 1e-9);
  EXPECT_NEAR(silence[0].to, 4.0, 1e-9);
  EXPECT_GT(Rms(audio, silence[0].from + 0.02, silence[0].to - 0.02), 0.01);
}

// The ffmpeg CLI copies MP3 packets into an AAC lane and exits 0; the decode check must not.
TEST(MediaSamples, CatchesTheBrokenLaneOfAMixedCodecConcat) {
  TempDir dir;
  SegmentPlan plan;
  plan.video_duration = 1;
  plan.audio = {{.duration = 1}};
  MakeSegment(dir.File("aac.mp4"), plan);
  plan.audio[0].codec = "libmp3lame";
  MakeSegment(dir.File("mp3.mp4"), plan);
  const std::string joined = dir.File("joined.mp4");
  ConcatCopy(dir, {dir.File("aac.mp4"), dir.File("mp3.mp4")}, joined);

  ASSERT_EQ(StreamsOfType(ProbeStreams(joined), StreamType::kAudio).size(), 1u);
  EXPECT_EQ(StreamsOfType(ProbeStreams(joined), StreamType::kAudio)[0].codec, "aac");
  DecodeReport report = DecodesCleanly(joined);
  EXPECT_FALSE(report.clean());
  EXPECT_GT(report.errors, 0);
  EXPECT_FALSE(report.first_error.empty());
  EXPECT_TRUE(DecodesCleanly(dir.File("aac.mp4")).clean());
}

TEST(MediaSamples, CatchesCorruptVideoData) {
  TempDir dir;
  SegmentPlan plan;
  plan.video_duration = 1;
  const std::string path = dir.File("video.mp4");
  MakeSegment(path, plan);
  DecodeReport intact = DecodesCleanly(path);
  EXPECT_TRUE(intact.clean()) << intact.first_error;
  EXPECT_THAT(intact.frames, ElementsAre(30));

  std::string bytes = ReadFile(path);
  const size_t mdat = bytes.find("mdat");
  ASSERT_NE(mdat, std::string::npos);
  // Garble the payload after the first key frame's start, leaving the box structure intact.
  for (size_t i = mdat + 200; i < mdat + 4000 && i < bytes.size(); i += 3) bytes[i] ^= 0x5a;
  WriteFile(dir.File("corrupt.mp4"), bytes);
  DecodeReport corrupt = DecodesCleanly(dir.File("corrupt.mp4"));
  EXPECT_FALSE(corrupt.clean());
  EXPECT_FALSE(corrupt.first_error.empty());
}

// The control: the same three segments joined by decoding, trimming or padding each segment's
// audio to its video's length and re-encoding everything pass every check.
TEST(MediaSamples, AcceptsASampleExactReencodedJoin) {
  TempDir dir;
  std::vector<SegmentPlan> plans(3);
  for (SegmentPlan& plan : plans) {
    plan.video_duration = 2;
    plan.audio = {{.duration = 2}};
  }
  plans[1].audio[0].duration = 1.5;
  plans[2].audio[0].duration = 2.5;
  std::vector<std::string> args{"-nostdin", "-hide_banner", "-loglevel", "error", "-y"};
  std::string graph;
  for (int k = 0; k < 3; ++k) {
    std::string path = dir.File("segment" + std::to_string(k) + ".mp4");
    MakeSegment(path, plans[k]);
    args.insert(args.end(), {"-i", path});
    std::string in = std::to_string(k);
    graph += "[" + in + ":a]atrim=end=2,apad=whole_dur=2[a" + in + "];";
  }
  graph += "[0:v][a0][1:v][a1][2:v][a2]concat=n=3:v=1:a=1[v][a]";
  const std::string joined = dir.File("joined.mp4");
  args.insert(args.end(),
              {"-filter_complex", graph, "-map", "[v]", "-map", "[a]", "-c:v", "libx264", "-preset",
               "ultrafast", "-c:a", "aac", "-movflags", "+faststart", joined});
  RunResult run = RunProgram(media_samples::kFfmpeg, args);
  ASSERT_EQ(run.status, 0) << run.err;

  ExpectTicksAt(joined, 0, ExpectedTicks(plans, 0));
  DecodedAudio audio = DecodeAudioLane(joined, 0);
  for (const Interval& gap : ExpectedSilence(plans, 0)) {
    EXPECT_LT(Rms(audio, gap.from + 0.02, gap.to - 0.02), 1e-3) << gap.from;
  }
  std::vector<StreamInfo> streams = ProbeStreams(joined);
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_NEAR(streams[0].duration, 6, 1e-6);
  EXPECT_TRUE(MoovBeforeMdat(joined));
  DecodeReport report = DecodesCleanly(joined);
  EXPECT_TRUE(report.clean()) << report.first_error;
  EXPECT_EQ(report.frames[0], 180);
}

TEST(TickAnalysis, OnsetsNeedSilenceBeforeThem) {
  const int rate = 1000;
  std::vector<float> samples(3000, 0.0f);
  for (int i = 500; i < 510; ++i) samples[i] = (i % 2 ? 0.5f : -0.5f);
  samples[550] = 0.5f;  // within the hold-off of the first burst: the same tick
  for (int i = 2000; i < 2005; ++i) samples[i] = 0.3f;
  samples[2500] = 0.05f;  // under the threshold
  std::vector<double> onsets = TickOnsets(samples, rate);
  ASSERT_EQ(onsets.size(), 2u);
  EXPECT_DOUBLE_EQ(onsets[0], 0.5);
  EXPECT_DOUBLE_EQ(onsets[1], 2.0);

  DecodedAudio audio{samples, rate, 10.0};
  EXPECT_THAT(TickOnsets(audio), ElementsAre(10.5, 12.0));
  EXPECT_DOUBLE_EQ(Rms(samples, rate, 0, 0.5), 0.0);
  EXPECT_NEAR(Rms(samples, rate, 0.5, 0.51), 0.5, 1e-6);
  EXPECT_NEAR(Rms(audio, 10.5, 10.51), 0.5, 1e-6);
  EXPECT_DOUBLE_EQ(Rms(samples, rate, 5, 6), 0.0);
  EXPECT_EQ(audio.duration(), 3.0);
}

TEST(TickAnalysis, ComparisonPairsNearestAndCountsStrays) {
  TickComparison exact = CompareTicks({0, 1, 2}, {0.001, 1.002, 1.999});
  EXPECT_TRUE(exact.Within(kTickTolerance));
  EXPECT_NEAR(exact.max_error, 0.002, 1e-12);

  TickComparison shifted = CompareTicks({0, 1, 2}, {0, 0.56, 1.56});
  EXPECT_FALSE(shifted.Within(kTickTolerance));
  EXPECT_EQ(shifted.missing, 0);
  EXPECT_NEAR(shifted.errors[1], -0.44, 1e-12);
  EXPECT_NEAR(shifted.max_error, 0.44, 1e-12);

  TickComparison strays = CompareTicks({0, 1}, {0, 1.7, 3});
  EXPECT_EQ(strays.missing, 1);
  EXPECT_EQ(strays.unexpected, 2);
  EXPECT_TRUE(std::isnan(strays.errors[1]));
  EXPECT_FALSE(strays.Within(1.0));
}

TEST(TickAnalysis, ExpectedTicksAndSilenceFollowTheJoinTimeline) {
  // Lane 0: 9.5 s of audio under 10 s of video, then 6 s under 5 s. Lane 1 only in the first.
  SegmentPlan a, b;
  a.video_duration = 10;
  a.audio = {{.duration = 9.5}, {.duration = 12}};
  b.video_duration = 5;
  b.audio = {{.duration = 6}};
  EXPECT_THAT(ExpectedTicks({a, b}, 0),
              ElementsAre(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14));
  EXPECT_THAT(ExpectedTicks({a, b}, 1), ElementsAre(0, 1, 2, 3, 4, 5, 6, 7, 8, 9));
  std::vector<Interval> lane0 = ExpectedSilence({a, b}, 0);
  ASSERT_EQ(lane0.size(), 1u);
  EXPECT_DOUBLE_EQ(lane0[0].from, 9.5);
  EXPECT_DOUBLE_EQ(lane0[0].to, 10);
  std::vector<Interval> lane1 = ExpectedSilence({a, b}, 1);
  ASSERT_EQ(lane1.size(), 1u);
  EXPECT_DOUBLE_EQ(lane1[0].from, 10);
  EXPECT_DOUBLE_EQ(lane1[0].to, 15);
  // A lane created by the second segment is silent over the whole first one.
  std::vector<Interval> late = ExpectedSilence({b, a}, 1);
  ASSERT_EQ(late.size(), 1u);
  EXPECT_DOUBLE_EQ(late[0].from, 0);
  EXPECT_DOUBLE_EQ(late[0].to, 5);
  EXPECT_THAT(ExpectedTicks({b, a}, 1), ElementsAre(5, 6, 7, 8, 9, 10, 11, 12, 13, 14));
}

}  // namespace
}  // namespace media_samples
