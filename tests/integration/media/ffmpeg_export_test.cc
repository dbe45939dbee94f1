#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <semaphore>
#include <thread>

extern "C" {
#include <libavformat/avformat.h>
}

#include "platform/media/ffmpeg_media.h"
#include "tests/support/media_samples.h"
#include "tests/support/run_tool.h"

namespace {

using media_samples::AudioPlan;
using media_samples::MakeSegment;
using media_samples::SegmentPlan;
using media_samples::StreamType;
using ::testing::HasSubstr;
using ::testing::Not;

// Half an AAC frame at 48 kHz is 10.7 ms: the most a copied lane may be off at a join.
constexpr double kTickTolerance = 0.011;

struct Outcome {
  ExportStatus status = ExportStatus::kUnknown;
  std::string error;  // the error's text, empty when none
  int completions = 0;
};

std::string TextOf(std::exception_ptr error) {
  if (!error) return "";
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  }
}

// Lays |paths| end to end the way the join command does: video on one track, audio track j of each
// segment on lane j cut at the segment's video end, the first segment's transform.
std::unique_ptr<Composition> Compose(MediaServices& media, const std::vector<std::string>& paths) {
  std::unique_ptr<Composition> composition = media.CreateComposition();
  CompositionTrack* video = composition->AddMutableTrack(MediaType::kVideo);
  std::vector<CompositionTrack*> lanes;
  MediaTime cursor = kMediaTimeZero;
  for (const std::string& path : paths) {
    std::unique_ptr<Asset> asset = media.OpenAsset(path);
    const AssetTrack& source = *asset->tracks(MediaType::kVideo).at(0);
    const TimeRange range = source.time_range();
    video->InsertTimeRange(range, source, cursor);
    if (MediaTimeEqual(cursor, kMediaTimeZero)) {
      video->SetPreferredTransform(source.preferred_transform());
    }
    std::vector<const AssetTrack*> audio = asset->tracks(MediaType::kAudio);
    for (size_t j = 0; j < audio.size(); ++j) {
      if (lanes.size() <= j) lanes.push_back(composition->AddMutableTrack(MediaType::kAudio));
      const TimeRange audio_range = audio[j]->time_range();
      lanes[j]->InsertTimeRange(
          {audio_range.start, MediaTimeMinimum(range.duration, audio_range.duration)}, *audio[j],
          cursor);
    }
    cursor = MediaTimeAdd(cursor, range.duration);
  }
  return composition;
}

struct Waiter {
  std::shared_ptr<std::counting_semaphore<>> done = std::make_shared<std::counting_semaphore<>>(0);
  std::shared_ptr<std::atomic<int>> calls = std::make_shared<std::atomic<int>>(0);
  std::function<void()> Completion() {
    return [done = done, calls = calls] {
      calls->fetch_add(1);
      done->release();
    };
  }
  bool Wait(std::chrono::seconds timeout = std::chrono::seconds(60)) {
    return done->try_acquire_for(timeout);
  }
};

std::unique_ptr<ExportSession> StartExport(MediaServices& media, const Composition& composition,
                                           const std::string& output, Waiter& waiter) {
  std::unique_ptr<ExportSession> session =
      media.CreateExportSession(composition, ExportPreset::kHighestQuality);
  EXPECT_NE(session, nullptr);
  session->SetOutputPath(output);
  session->SetOutputFileType(FileType::kMpeg4);
  session->SetShouldOptimizeForNetworkUse(true);
  session->ExportAsynchronously(waiter.Completion());
  return session;
}

Outcome Join(const std::vector<std::string>& paths, const std::string& output) {
  FfmpegMedia media;
  std::unique_ptr<Composition> composition = Compose(media, paths);
  Waiter waiter;
  std::unique_ptr<ExportSession> session = StartExport(media, *composition, output, waiter);
  Outcome outcome;
  if (!waiter.Wait()) {
    ADD_FAILURE() << "the export did not finish";
    return outcome;
  }
  // Give a second, wrong call a moment to show up.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  outcome.status = session->status();
  outcome.error = TextOf(session->error());
  outcome.completions = waiter.calls->load();
  return outcome;
}

// The payloads of the first audio stream's packets of |path|, in file order.
std::vector<std::string> AudioPayloads(const std::string& path) {
  AVFormatContext* input = nullptr;
  if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0) return {};
  std::vector<std::string> payloads;
  const int audio = av_find_best_stream(input, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  AVPacket* packet = av_packet_alloc();
  while (audio >= 0 && av_read_frame(input, packet) >= 0) {
    if (packet->stream_index == audio) {
      payloads.emplace_back(reinterpret_cast<const char*>(packet->data), packet->size);
    }
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  avformat_close_input(&input);
  return payloads;
}

class FfmpegExportTest : public ::testing::Test {
 protected:
  // Makes the segments as seg0.mp4, seg1.mp4, ... (or with |extension|) and returns their paths.
  std::vector<std::string> Make(const std::vector<SegmentPlan>& plans,
                                const std::string& extension = ".mp4") {
    std::vector<std::string> paths;
    for (size_t i = 0; i < plans.size(); ++i) {
      paths.push_back(dir_.File("seg" + std::to_string(i) + extension));
      MakeSegment(paths.back(), plans[i]);
    }
    return paths;
  }

  // Every lane's ticks sit where the timeline puts them, and its empty stretches are silent.
  void ExpectLanesOnTheTimeline(const std::string& output, const std::vector<SegmentPlan>& plans,
                                int lanes, double tolerance = kTickTolerance) {
    for (int lane = 0; lane < lanes; ++lane) {
      const media_samples::DecodedAudio audio = media_samples::DecodeAudioLane(output, lane);
      const std::vector<double> expected = media_samples::ExpectedTicks(plans, lane);
      const auto comparison =
          media_samples::CompareTicks(expected, media_samples::TickOnsets(audio));
      ::testing::Test::RecordProperty("lane" + std::to_string(lane) + "_max_tick_error_us",
                                      static_cast<int>(comparison.max_error * 1e6));
      EXPECT_TRUE(comparison.Within(tolerance))
          << "lane " << lane << ": max error " << comparison.max_error << " s, "
          << comparison.missing << " missing, " << comparison.unexpected << " unexpected";
      for (const auto& gap : media_samples::ExpectedSilence(plans, lane)) {
        // A tick's tail or the decoder's overlap may reach a few ms into a gap.
        EXPECT_LT(media_samples::Rms(audio, gap.from + 0.02, gap.to - 0.02), 1e-3)
            << "lane " << lane << " gap " << gap.from << "-" << gap.to;
      }
    }
  }

  TempDir dir_;
};

TEST_F(FfmpegExportTest, MatchingSegmentsAreJoinedByPacketCopy) {
  std::vector<SegmentPlan> plans(3);
  plans[0].video_duration = 2.0;
  plans[0].rotation = 90;
  plans[1].video_duration = 1.5;
  plans[1].rotation = 180;
  plans[2].video_duration = 2.5;
  for (SegmentPlan& plan : plans) plan.audio = {AudioPlan{.duration = plan.video_duration}};
  const std::vector<std::string> paths = Make(plans);
  const std::string output = dir_.File("joined.mp4");

  const Outcome outcome = Join(paths, output);
  ASSERT_EQ(outcome.status, ExportStatus::kCompleted) << outcome.error;
  EXPECT_EQ(outcome.error, "");
  EXPECT_EQ(outcome.completions, 1);

  std::vector<media_samples::PacketDigest> inputs;
  for (const std::string& path : paths) {
    for (const auto& packet : media_samples::VideoPackets(path)) inputs.push_back(packet);
  }
  EXPECT_EQ(media_samples::VideoPackets(output), inputs);
  // Audio is copied too: each segment's packets from its priming on, in order. At most its last
  // two (the partial frame and the encoder's flush) give way to the next segment's priming.
  const std::vector<std::string> lane = AudioPayloads(output);
  auto from = lane.begin();
  for (const std::string& path : paths) {
    const std::vector<std::string> source = AudioPayloads(path);
    ASSERT_GT(source.size(), 2u);
    from = std::search(from, lane.end(), source.begin(), source.end() - 2);
    ASSERT_NE(from, lane.end()) << path;
    from += source.size() - 2;
  }

  const auto streams = media_samples::ProbeStreams(output);
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0].type, StreamType::kVideo);
  EXPECT_EQ(streams[1].type, StreamType::kAudio);
  EXPECT_NEAR(streams[0].duration, 6.0, 0.001);
  EXPECT_NEAR(streams[1].duration, 6.0, 0.022);
  EXPECT_EQ(streams[0].rotation, 90);
  EXPECT_EQ(media_samples::MajorBrand(output), "isom");
  // The index sits in room kept for it before the media, which is written only once.
  EXPECT_EQ(media_samples::TopLevelBoxes(output),
            (std::vector<std::string>{"ftyp", "moov", "free", "free", "mdat"}));
  const auto report = media_samples::DecodesCleanly(output);
  EXPECT_TRUE(report.clean()) << report.first_error;
  EXPECT_EQ(report.frames[0], 180);
  ExpectLanesOnTheTimeline(output, plans, 1);
  EXPECT_EQ(FilesIn(dir_.path()).size(), paths.size() + 1);
}

TEST_F(FfmpegExportTest, CopiedAudioErrorsDoNotAddUpOverManyJoins) {
  // Durations off the 1024-sample grid, audio a little longer or shorter than the video.
  const double durations[] = {1.1, 0.5, 1.3, 0.7, 1.9, 0.9, 1.2};
  std::vector<SegmentPlan> plans;
  for (size_t i = 0; i < std::size(durations); ++i) {
    SegmentPlan plan;
    plan.video_duration = durations[i];
    plan.audio = {AudioPlan{.duration = durations[i] + (i % 2 ? -0.2 : 0.3)}};
    plans.push_back(plan);
  }
  const std::string output = dir_.File("joined.mp4");

  const Outcome outcome = Join(Make(plans), output);
  ASSERT_EQ(outcome.status, ExportStatus::kCompleted) << outcome.error;
  const auto streams = media_samples::ProbeStreams(output);
  EXPECT_NEAR(streams[0].duration, 7.6, 0.001);
  EXPECT_NEAR(streams[1].duration, 7.6, 0.022);
  EXPECT_TRUE(media_samples::DecodesCleanly(output).clean());
  ExpectLanesOnTheTimeline(output, plans, 1);
}

TEST_F(FfmpegExportTest, TracksThatStartLateInTheirFileStartAtTheCursor) {
  std::vector<SegmentPlan> plans(3);
  plans[0].audio = {AudioPlan{}};
  plans[1].start = 1.0;
  plans[1].audio = {AudioPlan{.duration = 1.5, .start = 0.3}};
  plans[2].audio = {AudioPlan{.duration = 2.5}};
  const std::vector<std::string> paths = Make(plans);
  const std::string output = dir_.File("joined.mp4");

  const Outcome outcome = Join(paths, output);
  ASSERT_EQ(outcome.status, ExportStatus::kCompleted) << outcome.error;
  EXPECT_NEAR(media_samples::ProbeStreams(output)[0].duration, 6.0, 0.001);
  std::vector<media_samples::SegmentLayout> layouts;
  for (const std::string& path : paths) layouts.push_back(media_samples::ReadLayout(path));
  const media_samples::DecodedAudio audio = media_samples::DecodeAudioLane(output, 0);
  const auto comparison = media_samples::CompareTicks(media_samples::ExpectedTicks(layouts, 0),
                                                      media_samples::TickOnsets(audio));
  EXPECT_TRUE(comparison.Within(kTickTolerance))
      << "max error " << comparison.max_error << " s, " << comparison.missing << " missing, "
      << comparison.unexpected << " unexpected";
}

TEST_F(FfmpegExportTest, GapInASourcesAudioTimestampsStaysSilent) {
  // Ticks at 0 s and 1 s, then a 0.5 s hole in the timestamps, then the tick of 2 s at 2.5 s.
  const std::string gap = dir_.File("gap.mp4");
  const RunResult made = RunProgram(
      media_samples::kFfmpeg,
      {"-v", "error", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=30:duration=3.5", "-f",
       "lavfi", "-i",
       "aevalsrc=exprs='0.5*sin(2*PI*1000*t)*lt(mod(t\\,1)\\,0.005)':s=48000:c=stereo:d=3,"
       "asetpts='if(gte(T\\,1.5)\\,PTS+0.5/TB\\,PTS)'",
       "-c:v", "libx264", "-preset", "veryfast", "-c:a", "aac", gap});
  ASSERT_EQ(made.status, 0) << made.err;
  // Copied when the lane's segments match, re-encoded when a 44.1 kHz one joins them.
  for (const int rate : {48000, 44100}) {
    SCOPED_TRACE(rate);
    SegmentPlan first;
    first.audio = {AudioPlan{.sample_rate = rate}};
    const std::vector<std::string> paths = {Make({first})[0], gap};
    const std::string output = dir_.File("joined" + std::to_string(rate) + ".mp4");

    const Outcome outcome = Join(paths, output);
    ASSERT_EQ(outcome.status, ExportStatus::kCompleted) << outcome.error;
    const media_samples::DecodedAudio audio = media_samples::DecodeAudioLane(output, 0);
    const auto comparison =
        media_samples::CompareTicks({0, 1, 2, 3, 4.5}, media_samples::TickOnsets(audio));
    EXPECT_TRUE(comparison.Within(kTickTolerance))
        << "max error " << comparison.max_error << " s, " << comparison.missing << " missing, "
        << comparison.unexpected << " unexpected";
    EXPECT_LT(media_samples::Rms(audio, 4.02, 4.48), 1e-3);
  }
}

TEST_F(FfmpegExportTest, LanesAreSilentWhereTheyHoldNoAudio) {
  std::vector<SegmentPlan> plans(3);
  plans[0].video_duration = 2.0;
  plans[0].audio = {AudioPlan{.duration = 1.2}, AudioPlan{.duration = 2.6}};
  plans[1].video_duration = 1.5;  // no audio at all
  plans[2].video_duration = 2.0;
  plans[2].audio = {AudioPlan{.duration = 2.0}, AudioPlan{.duration = 2.0},
                    AudioPlan{.duration = 1.0}};
  const std::string output = dir_.File("joined.mp4");

  const Outcome outcome = Join(Make(plans), output);
  ASSERT_EQ(outcome.status, ExportStatus::kCompleted) << outcome.error;

  const auto streams = media_samples::ProbeStreams(output);
  const auto lanes = media_samples::StreamsOfType(streams, StreamType::kAudio);
  ASSERT_EQ(lanes.size(), 3u);
  for (const auto& lane : lanes) {
    EXPECT_EQ(lane.codec, "aac");
    EXPECT_NEAR(lane.duration, 5.5, 0.022);
  }
  EXPECT_TRUE(media_samples::DecodesCleanly(output).clean());
  ExpectLanesOnTheTimeline(output, plans, 3);
}

TEST_F(FfmpegExportTest, OtherSizesOrParameterSetsAreCopiedWithThemBeforeEachSegment) {
  // H.264: another encoder setting (another PPS), then another size; the first is rotated.
  std::vector<SegmentPlan> plans(3);
  plans[0].crf = 23;
  plans[0].rotation = 270;
  plans[1].crf = 30;
  plans[1].video_duration = 1.5;
  plans[2].width = 320;
  plans[2].height = 240;
  for (SegmentPlan& plan : plans) plan.audio = {AudioPlan{.duration = plan.video_duration}};
  const std::vector<std::string> paths = Make(plans);
  const std::string output = dir_.File("joined.mp4");

  const Outcome outcome = Join(paths, output);
  ASSERT_EQ(outcome.status, ExportStatus::kCompleted) << outcome.error;

  const auto in = media_samples::ProbeStreams(paths[0]);
  const auto out = media_samples::ProbeStreams(output);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].tag, "avc3");
  EXPECT_EQ(out[0].extradata, in[0].extradata);
  EXPECT_EQ(out[0].width, 160);
  EXPECT_EQ(out[0].rotation, 270);
  EXPECT_NEAR(out[0].duration, 5.5, 0.001);
  EXPECT_TRUE(media_samples::MoovBeforeMdat(output));
  // Every packet as it was, each segment's first behind that segment's parameter sets.
  const auto joined = media_samples::VideoPackets(output);
  size_t at = 0;
  for (const std::string& path : paths) {
    const auto source = media_samples::VideoPackets(path);
    ASSERT_GE(joined.size(), at + source.size());
    EXPECT_GT(joined[at].size, source[0].size + 8) << path;
    EXPECT_TRUE(joined[at].keyframe) << path;
    for (size_t i = 1; i < source.size(); ++i) EXPECT_EQ(joined[at + i], source[i]) << path;
    at += source.size();
  }
  EXPECT_EQ(joined.size(), at);
  const auto report = media_samples::DecodesCleanly(output);
  EXPECT_TRUE(report.clean()) << report.first_error;
  EXPECT_EQ(report.frames[0], 165);
  ExpectLanesOnTheTimeline(output, plans, 1);

  // HEVC at two sizes.
  SegmentPlan small;
  small.video_codec = "libx265";
  SegmentPlan large = small;
  large.width = 320;
  large.height = 180;
  const std::vector<std::string> hevc = Make({small, large}, ".mov");
  const Outcome hevc_outcome = Join(hevc, dir_.File("hevc.mp4"));
  ASSERT_EQ(hevc_outcome.status, ExportStatus::kCompleted) << hevc_outcome.error;
  const auto hevc_out = media_samples::ProbeStreams(dir_.File("hevc.mp4"));
  ASSERT_EQ(hevc_out.size(), 1u);
  EXPECT_EQ(hevc_out[0].codec, "hevc");
  EXPECT_EQ(hevc_out[0].tag, "hev1");
  const auto hevc_report = media_samples::DecodesCleanly(dir_.File("hevc.mp4"));
  EXPECT_TRUE(hevc_report.clean()) << hevc_report.first_error;
  EXPECT_EQ(hevc_report.frames[0], 120);
}

TEST_F(FfmpegExportTest, OtherSizesAreScaledToTheFirstSegmentsWhenReencoded) {
  std::vector<SegmentPlan> plans(2);
  for (SegmentPlan& plan : plans) {
    plan.video_codec = "libvpx";
    plan.streaming = true;
  }
  plans[0].width = 160;
  plans[0].height = 120;
  plans[1].width = 320;
  plans[1].height = 240;
  plans[1].audio = {AudioPlan{.codec = "libopus"}};
  const std::string output = dir_.File("joined.mp4");

  const Outcome outcome = Join(Make(plans, ".webm"), output);
  ASSERT_EQ(outcome.status, ExportStatus::kCompleted) << outcome.error;
  const auto out = media_samples::ProbeStreams(output);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].codec, "h264");
  EXPECT_EQ(out[0].width, 160);
  EXPECT_EQ(out[0].height, 120);
  EXPECT_EQ(out[0].rotation, 0);
  EXPECT_NEAR(out[0].duration, 4.0, 0.001);
  const auto report = media_samples::DecodesCleanly(output);
  EXPECT_TRUE(report.clean()) << report.first_error;
  EXPECT_EQ(report.frames[0], 120);
  // The lane is born in the second segment: silent lead-in, then its ticks.
  ExpectLanesOnTheTimeline(output, plans, 1, 0.017);
}

TEST_F(FfmpegExportTest, LaneWithOtherRatesOrCodecsIsReencodedSampleExact) {
  std::vector<SegmentPlan> plans(3);
  plans[0].audio = {AudioPlan{.sample_rate = 48000}};
  plans[1].audio = {AudioPlan{.duration = 1.3, .sample_rate = 44100, .channels = 1}};
  plans[2].audio = {AudioPlan{.duration = 3.0, .codec = "libmp3lame"}};
  const std::string output = dir_.File("joined.mp4");

  const Outcome outcome = Join(Make(plans), output);
  ASSERT_EQ(outcome.status, ExportStatus::kCompleted) << outcome.error;
  const auto lanes =
      media_samples::StreamsOfType(media_samples::ProbeStreams(output), StreamType::kAudio);
  ASSERT_EQ(lanes.size(), 1u);
  EXPECT_EQ(lanes[0].codec, "aac");
  EXPECT_EQ(lanes[0].sample_rate, 48000);
  EXPECT_EQ(lanes[0].channels, 2);
  EXPECT_NEAR(lanes[0].duration, 6.0, 0.022);
  EXPECT_TRUE(media_samples::DecodesCleanly(output).clean());
  ExpectLanesOnTheTimeline(output, plans, 1);
}

TEST_F(FfmpegExportTest, MovAndM4vSegmentsJoinIntoMp4) {
  std::vector<SegmentPlan> plans(2);
  for (SegmentPlan& plan : plans) plan.audio = {AudioPlan{}};
  std::vector<std::string> paths = {dir_.File("a.mov"), dir_.File("b.m4v")};
  MakeSegment(paths[0], plans[0]);
  MakeSegment(paths[1], plans[1]);
  const std::string output = dir_.File("joined.mp4");

  const Outcome outcome = Join(paths, output);
  ASSERT_EQ(outcome.status, ExportStatus::kCompleted) << outcome.error;
  EXPECT_EQ(media_samples::MajorBrand(output), "isom");
  EXPECT_NEAR(media_samples::ProbeStreams(output)[0].duration, 4.0, 0.001);
  ExpectLanesOnTheTimeline(output, plans, 1);
}

TEST_F(FfmpegExportTest, MatroskaSegmentStillGetsTheIndexFirst) {
  // Matroska does not list every packet up front; they are counted when it is opened, so room for
  // the index is kept before the media as for MPEG-4 segments.
  std::vector<SegmentPlan> plans(2);
  for (SegmentPlan& plan : plans) plan.audio = {AudioPlan{}};
  std::vector<std::string> paths = Make(plans);
  const std::string mkv = dir_.File("seg1.mkv");
  ASSERT_EQ(
      RunProgram(media_samples::kFfmpeg, {"-v", "error", "-i", paths[1], "-c", "copy", mkv}).status,
      0);
  paths[1] = mkv;
  const std::string output = dir_.File("joined.mp4");

  const Outcome outcome = Join(paths, output);
  ASSERT_EQ(outcome.status, ExportStatus::kCompleted) << outcome.error;
  EXPECT_TRUE(media_samples::MoovBeforeMdat(output));
  EXPECT_EQ(media_samples::TopLevelBoxes(output),
            (std::vector<std::string>{"ftyp", "moov", "free", "free", "mdat"}));
  EXPECT_NEAR(media_samples::ProbeStreams(output)[0].duration, 4.0, 0.001);
  EXPECT_TRUE(media_samples::DecodesCleanly(output).clean());
}

TEST_F(FfmpegExportTest, RangeFromInsideATrackStartsThere) {
  SegmentPlan plan;
  plan.video_duration = 3.0;
  plan.audio = {AudioPlan{.duration = 3.0}};
  const std::vector<std::string> paths = Make({plan});
  FfmpegMedia media;
  std::unique_ptr<Composition> composition = media.CreateComposition();
  {
    std::unique_ptr<Asset> asset = media.OpenAsset(paths[0]);
    const TimeRange middle{MediaTime{1, 2}, MediaTime{2, 1}};
    composition->AddMutableTrack(MediaType::kVideo)
        ->InsertTimeRange(middle, *asset->tracks(MediaType::kVideo)[0], kMediaTimeZero);
    composition->AddMutableTrack(MediaType::kAudio)
        ->InsertTimeRange(middle, *asset->tracks(MediaType::kAudio)[0], kMediaTimeZero);
  }
  Waiter waiter;
  const std::string output = dir_.File("middle.mp4");
  std::unique_ptr<ExportSession> session = StartExport(media, *composition, output, waiter);
  ASSERT_TRUE(waiter.Wait());
  ASSERT_EQ(session->status(), ExportStatus::kCompleted) << TextOf(session->error());

  const auto streams = media_samples::ProbeStreams(output);
  EXPECT_NEAR(streams[0].duration, 2.0, 0.001);
  const auto report = media_samples::DecodesCleanly(output);
  EXPECT_TRUE(report.clean()) << report.first_error;
  EXPECT_EQ(report.frames[0], 60);
  // The source's ticks at 1 s and 2 s play at 0.5 s and 1.5 s.
  const auto comparison = media_samples::CompareTicks(
      {0.5, 1.5}, media_samples::TickOnsets(media_samples::DecodeAudioLane(output, 0)));
  EXPECT_TRUE(comparison.Within(kTickTolerance))
      << "max error " << comparison.max_error << " s, " << comparison.missing << " missing, "
      << comparison.unexpected << " unexpected";
}

TEST_F(FfmpegExportTest, SegmentCutBetweenKeyFramesIsReencodedFromItsCut) {
  SegmentPlan plan;
  plan.video_duration = 3.0;
  const std::vector<std::string> paths = Make({plan, plan});
  // A stream copy from 0.5 s keeps the frames from the key frame at 0 s, hidden by an edit list.
  const std::string cut = dir_.File("cut.mp4");
  ASSERT_EQ(RunProgram(media_samples::kFfmpeg,
                       {"-v", "error", "-ss", "0.5", "-i", paths[0], "-c", "copy", cut})
                .status,
            0);
  const std::string output = dir_.File("joined.mp4");

  const Outcome outcome = Join({paths[1], cut}, output);
  ASSERT_EQ(outcome.status, ExportStatus::kCompleted) << outcome.error;
  EXPECT_NEAR(media_samples::ProbeStreams(output)[0].duration, 5.5, 0.001);
  const auto report = media_samples::DecodesCleanly(output);
  EXPECT_TRUE(report.clean()) << report.first_error;
  EXPECT_EQ(report.frames[0], 165);
  EXPECT_NE(media_samples::VideoPackets(output).front(),
            media_samples::VideoPackets(paths[1]).front());
}

// The sum of the segments' video durations as their assets report them, in seconds.
double ReportedDuration(const std::vector<std::string>& paths) {
  FfmpegMedia media;
  MediaTime sum = kMediaTimeZero;
  for (const std::string& path : paths) {
    sum = MediaTimeAdd(
        sum, media.OpenAsset(path)->tracks(MediaType::kVideo).at(0)->time_range().duration);
  }
  return MediaTimeGetSeconds(sum);
}

TEST_F(FfmpegExportTest, RecorderFilesAreCopiedWhereMpeg4CarriesTheirCodecs) {
  // Half an Opus frame (20 ms) on the grid, plus the pre-skip the header takes off the start.
  constexpr double kOpusTolerance = 0.017;
  struct Case {
    std::string name, extension, video_codec, audio_codec, tag;
  };
  const Case cases[] = {
      {"vp9_opus", ".webm", "libvpx-vp9", "libopus", "vp09"},
      {"hevc_aac", ".mp4", "libx265", "aac", "hvc1"},
      {"h264_opus", ".mkv", "libx264", "libopus", "avc1"},
      {"av1_opus", ".mp4", "libsvtav1", "libopus", "av01"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<SegmentPlan> plans(2);
    plans[0].video_duration = 1.5;
    plans[0].audio = {AudioPlan{.duration = 1.2, .codec = c.audio_codec}};
    plans[1].audio = {AudioPlan{.duration = 2.5, .codec = c.audio_codec}};
    std::vector<std::string> paths;
    for (size_t i = 0; i < plans.size(); ++i) {
      plans[i].video_codec = c.video_codec;
      plans[i].streaming = c.extension != ".mp4";
      paths.push_back(dir_.File(c.name + std::to_string(i) + c.extension));
      MakeSegment(paths.back(), plans[i]);
    }
    const std::string output = dir_.File(c.name + ".mp4");

    const Outcome outcome = Join(paths, output);
    ASSERT_EQ(outcome.status, ExportStatus::kCompleted) << outcome.error;
    std::vector<media_samples::PacketDigest> inputs;
    for (const std::string& path : paths) {
      for (const auto& packet : media_samples::VideoPackets(path)) inputs.push_back(packet);
    }
    EXPECT_EQ(media_samples::VideoPackets(output), inputs);
    const auto streams = media_samples::ProbeStreams(output);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0].tag, c.tag);
    EXPECT_NEAR(streams[0].duration, 3.5, 0.001);
    EXPECT_EQ(streams[1].codec, c.audio_codec == "aac" ? "aac" : "opus");
    EXPECT_NEAR(streams[1].duration, 3.5, 0.021);
    const auto report = media_samples::DecodesCleanly(output);
    EXPECT_TRUE(report.clean()) << report.first_error;
    EXPECT_EQ(report.frames[0], 105);
    ExpectLanesOnTheTimeline(output, plans, 1, kOpusTolerance);
  }
}

TEST_F(FfmpegExportTest, RecordingWhosePictureBeginsLateIsStillCopiedIntoAPlayableMovie) {
  // A browser starved of time: six seconds of sound before the first picture. Reading too little
  // of it leaves VP9's pixel format unknown, and MPEG-4's VP9 description cannot be written.
  const std::string late = dir_.File("late.webm");
  media_samples::MakeWithFfmpeg({"-f", "lavfi", "-i", "sine=f=1000:d=8", "-itsoffset", "6", "-f",
                                 "lavfi", "-i", "testsrc2=s=160x120:r=30:d=2", "-map", "0", "-map",
                                 "1", "-c:a", "libopus", "-c:v", "libvpx-vp9", "-deadline",
                                 "realtime", late});
  const std::string output = dir_.File("joined.mp4");

  const Outcome outcome = Join({late}, output);
  ASSERT_EQ(outcome.status, ExportStatus::kCompleted) << outcome.error;
  EXPECT_EQ(media_samples::VideoPackets(output), media_samples::VideoPackets(late));
  const auto streams = media_samples::ProbeStreams(output);
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0].tag, "vp09");
  EXPECT_NEAR(streams[0].duration, 2.0, 0.001);
  const auto report = media_samples::DecodesCleanly(output);
  EXPECT_TRUE(report.clean()) << report.first_error;
  EXPECT_EQ(report.frames[0], 60);
}

TEST_F(FfmpegExportTest, CopiedVariableRateAndReorderedVideoKeepsItsOwnTimestamps) {
  // B-frames (an edit list hides their decoding delay) and a frame left out every 1/6 s, in
  // MPEG-4 and in a live Matroska recording.
  std::vector<SegmentPlan> plans(2);
  plans[1].video_duration = 1.5;
  for (SegmentPlan& plan : plans) {
    plan.b_frames = 2;
    plan.variable_rate = true;
    plan.audio = {AudioPlan{.duration = plan.video_duration}};
  }
  plans[1].streaming = true;
  const std::vector<std::string> paths = {dir_.File("a.mp4"), dir_.File("b.mkv")};
  MakeSegment(paths[0], plans[0]);
  MakeSegment(paths[1], plans[1]);
  // Both end on a left-out frame: each lasts to the end of its frame before.
  const double reported = ReportedDuration(paths);
  EXPECT_NEAR(reported, 3.5 - 2.0 / 30, 0.002);
  const std::string output = dir_.File("joined.mp4");

  const Outcome outcome = Join(paths, output);
  ASSERT_EQ(outcome.status, ExportStatus::kCompleted) << outcome.error;
  std::vector<media_samples::PacketDigest> inputs;
  std::vector<double> times;
  double offset = 0;
  for (const std::string& path : paths) {
    const auto packets = media_samples::VideoPackets(path);
    double first = packets.front().pts;
    for (const auto& packet : packets) first = std::min(first, packet.pts);
    for (const auto& packet : packets) {
      inputs.push_back(packet);
      times.push_back(packet.pts - first + offset);
    }
    offset += ReportedDuration({path});
  }
  const auto packets = media_samples::VideoPackets(output);
  ASSERT_EQ(packets, inputs);
  for (size_t i = 0; i < packets.size(); ++i) {
    EXPECT_NEAR(packets[i].pts, times[i], 0.0011) << "packet " << i;
  }
  const auto streams = media_samples::ProbeStreams(output);
  EXPECT_NEAR(streams[0].duration, reported, 1.0 / 30);
  const auto report = media_samples::DecodesCleanly(output);
  EXPECT_TRUE(report.clean()) << report.first_error;
  EXPECT_EQ(report.frames[0], static_cast<std::int64_t>(inputs.size()));
}

TEST_F(FfmpegExportTest, WhatMpeg4CannotCarryOrCutOffRecordingsAreReencodedWhole) {
  // VP8 at an odd size, as a browser records a window: H.264 at the even size, Opus still copied.
  SegmentPlan vp8;
  vp8.video_codec = "libvpx";
  vp8.width = 161;
  vp8.height = 121;
  vp8.streaming = true;
  vp8.audio = {AudioPlan{.codec = "libopus"}};
  const std::string odd = dir_.File("odd.webm");
  MakeSegment(odd, vp8);
  const Outcome vp8_outcome = Join({odd, odd}, dir_.File("vp8.mp4"));
  ASSERT_EQ(vp8_outcome.status, ExportStatus::kCompleted) << vp8_outcome.error;
  const auto vp8_streams = media_samples::ProbeStreams(dir_.File("vp8.mp4"));
  ASSERT_EQ(vp8_streams.size(), 2u);
  EXPECT_EQ(vp8_streams[0].codec, "h264");
  EXPECT_EQ(vp8_streams[0].width, 160);
  EXPECT_EQ(vp8_streams[0].height, 120);
  EXPECT_NEAR(vp8_streams[0].duration, 4.0, 0.001);
  EXPECT_EQ(vp8_streams[1].codec, "opus");
  ExpectLanesOnTheTimeline(dir_.File("vp8.mp4"), {vp8, vp8}, 1, 0.017);

  // A fragmented recording cut off inside a fragment gives its complete part; VP9 next to it
  // makes the video re-encoded, and Opus next to AAC the lane.
  SegmentPlan fragmented;
  fragmented.streaming = true;
  fragmented.audio = {AudioPlan{}};
  MakeSegment(dir_.File("whole.mp4"), fragmented);
  const std::string bytes = ReadFile(dir_.File("whole.mp4"));
  const std::string cut = dir_.File("cut.mp4");
  WriteFile(cut, bytes.substr(0, bytes.size() * 3 / 5));
  SegmentPlan vp9 = vp8;
  vp9.video_codec = "libvpx-vp9";
  vp9.width = 160;
  vp9.height = 120;
  const std::string webm = dir_.File("vp9.webm");
  MakeSegment(webm, vp9);
  const std::vector<std::string> paths = {cut, webm};
  const double reported = ReportedDuration(paths);
  EXPECT_GT(reported, 2.5);
  EXPECT_LT(reported, 3.8);
  const std::string output = dir_.File("joined.mp4");
  const Outcome outcome = Join(paths, output);
  ASSERT_EQ(outcome.status, ExportStatus::kCompleted) << outcome.error;
  const auto streams = media_samples::ProbeStreams(output);
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0].codec, "h264");
  EXPECT_NEAR(streams[0].duration, reported, 1.0 / 30);
  EXPECT_EQ(streams[1].codec, "aac");
  EXPECT_NEAR(streams[1].duration, reported, 0.022);
  const auto report = media_samples::DecodesCleanly(output);
  EXPECT_TRUE(report.clean()) << report.first_error;
  // Every tick of the cut-off part up to its end, then the second segment's. The cut part's last
  // tick comes less than 0.1 s before the second segment's first.
  const std::vector<media_samples::SegmentLayout> layouts = {
      {reported - 2.0, media_samples::ReadLayout(cut).audio}, media_samples::LayoutOf(vp9)};
  const media_samples::DecodedAudio audio = media_samples::DecodeAudioLane(output, 0);
  std::vector<double> ticks =
      media_samples::TickOnsets(audio.samples, audio.sample_rate, 0.1, 0.05);
  for (double& tick : ticks) tick += audio.start;
  const auto comparison =
      media_samples::CompareTicks(media_samples::ExpectedTicks(layouts, 0), ticks);
  EXPECT_TRUE(comparison.Within(kTickTolerance))
      << "max error " << comparison.max_error << " s, " << comparison.missing << " missing, "
      << comparison.unexpected << " unexpected";
}

TEST_F(FfmpegExportTest, ExistingOutputIsNeverReplaced) {
  const std::vector<std::string> paths = Make({SegmentPlan{}});
  const std::string output = dir_.File("taken.mp4");
  WriteFile(output, "an earlier recording");

  const Outcome outcome = Join(paths, output);
  EXPECT_EQ(outcome.status, ExportStatus::kFailed);
  EXPECT_EQ(outcome.error, "Cannot export to " + output + ": a file already exists there");
  EXPECT_EQ(outcome.completions, 1);
  EXPECT_EQ(ReadFile(output), "an earlier recording");
  EXPECT_EQ(FilesIn(dir_.path()), (std::vector<std::string>{"seg0.mp4", "taken.mp4"}));

  // Not even a segment of the join itself.
  const Outcome over_input = Join(paths, paths[0]);
  EXPECT_EQ(over_input.status, ExportStatus::kFailed);
  EXPECT_THAT(over_input.error, HasSubstr(paths[0]));
  EXPECT_EQ(media_samples::ProbeStreams(paths[0]).size(), 1u);
}

TEST_F(FfmpegExportTest, MissingFolderFailsAndCreatesNothing) {
  const std::vector<std::string> paths = Make({SegmentPlan{}});
  const std::string folder = dir_.File("no/such");
  const Outcome outcome = Join(paths, folder + "/joined.mp4");
  EXPECT_EQ(outcome.status, ExportStatus::kFailed);
  EXPECT_EQ(outcome.error,
            "Cannot export to " + folder + "/joined.mp4: the folder " + folder + " does not exist");
  EXPECT_FALSE(std::filesystem::exists(dir_.File("no")));
}

TEST_F(FfmpegExportTest, SegmentGoneBeforeTheExportFailsNamingIt) {
  const std::vector<std::string> paths = Make({SegmentPlan{}, SegmentPlan{}});
  FfmpegMedia media;
  std::unique_ptr<Composition> composition = Compose(media, paths);
  std::filesystem::remove(paths[1]);
  Waiter waiter;
  const std::string output = dir_.File("joined.mp4");
  std::unique_ptr<ExportSession> session = StartExport(media, *composition, output, waiter);
  ASSERT_TRUE(waiter.Wait());
  EXPECT_EQ(session->status(), ExportStatus::kFailed);
  EXPECT_EQ(TextOf(session->error()),
            "Cannot open movie " + paths[1] + ": No such file or directory");
  EXPECT_FALSE(FileExists(output));
  EXPECT_EQ(FilesIn(dir_.path()), (std::vector<std::string>{"seg0.mp4"}));
}

// A segment replaced after it was opened by one whose frames all lie after the range placed: the
// export must not report a movie that lacks that segment's pictures, whether it copies or
// re-encodes.
TEST_F(FfmpegExportTest, SegmentThatShowsNoFrameFailsTheExportNamingIt) {
  // H.264 after H.264 is copied; HEVC after H.264 is re-encoded.
  for (const std::string codec : {"libx264", "libx265"}) {
    SCOPED_TRACE(codec);
    std::vector<SegmentPlan> plans(2);
    plans[1].video_codec = codec;
    const std::vector<std::string> paths = Make(plans);
    FfmpegMedia media;
    std::unique_ptr<Composition> composition = Compose(media, paths);
    SegmentPlan late = plans[1];
    late.start = 5;
    MakeSegment(paths[1], late);
    const std::string output = dir_.File("joined-" + codec + ".mp4");
    Waiter waiter;
    std::unique_ptr<ExportSession> session = StartExport(media, *composition, output, waiter);
    ASSERT_TRUE(waiter.Wait());
    EXPECT_EQ(session->status(), ExportStatus::kFailed);
    EXPECT_EQ(TextOf(session->error()),
              "Cannot read movie " + paths[1] + ": its video has no frames");
    EXPECT_FALSE(FileExists(output));
  }
}

// Waits until this process holds a file open in |output|'s folder other than the segments (the
// export's unfinished file, named or not): true, or false when the export ends first.
bool WriteHasBegun(const std::string& output, Waiter& waiter) {
  const std::string folder = std::filesystem::path(output).parent_path().string() + "/";
  while (!waiter.Wait(std::chrono::seconds(0))) {
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code gone;
      const std::string target = std::filesystem::read_symlink(fd.path(), gone).string();
      if (target.rfind(folder, 0) == 0 && target.rfind(folder + "seg", 0) != 0) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

TEST_F(FfmpegExportTest, CancelledExportLeavesNoFileTheMomentCancelReturns) {
  // Re-encoding (H.264 next to HEVC) many placements keeps the export busy for a while.
  std::vector<SegmentPlan> plans(2);
  plans[1].video_codec = "libx265";
  const std::vector<std::string> made = Make(plans);
  std::vector<std::string> paths;
  for (int i = 0; i < 40; ++i) paths.push_back(made[i % 2]);
  FfmpegMedia media;
  std::unique_ptr<Composition> composition = Compose(media, paths);
  Waiter waiter;
  const std::string output = dir_.File("joined.mp4");
  std::unique_ptr<ExportSession> session = StartExport(media, *composition, output, waiter);
  ASSERT_TRUE(WriteHasBegun(output, waiter)) << "the export ended before it wrote";

  session->CancelExport();
  EXPECT_EQ(FilesIn(dir_.path()), (std::vector<std::string>{"seg0.mp4", "seg1.mp4"}));

  ASSERT_TRUE(waiter.Wait(std::chrono::seconds(10)));
  EXPECT_EQ(session->status(), ExportStatus::kCancelled);
  EXPECT_THAT(TextOf(session->error()), HasSubstr(output));
  EXPECT_FALSE(FileExists(output));
  EXPECT_EQ(FilesIn(dir_.path()), (std::vector<std::string>{"seg0.mp4", "seg1.mp4"}));
  EXPECT_EQ(waiter.calls->load(), 1);
}

TEST_F(FfmpegExportTest, SessionOutlivedByItsExportStillCompletesOnce) {
  const std::vector<std::string> paths = Make({SegmentPlan{}});
  FfmpegMedia media;
  Waiter waiter;
  {
    std::unique_ptr<Composition> composition = Compose(media, paths);
    std::unique_ptr<ExportSession> session =
        StartExport(media, *composition, dir_.File("joined.mp4"), waiter);
  }
  ASSERT_TRUE(waiter.Wait());
  EXPECT_EQ(waiter.calls->load(), 1);
  EXPECT_NEAR(media_samples::ProbeStreams(dir_.File("joined.mp4"))[0].duration, 2.0, 0.001);
}

}  // namespace
