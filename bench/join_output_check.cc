// join_output_check JOINED SEGMENT...
// Tells whether JOINED's video packets are the segments' packets byte for byte (the copy path),
// then decodes audio lane 0 of JOINED as a player would and compares its tick onsets with where
// the join must put the ticks found in each SEGMENT (measured from the segment's audio track
// start, placed at the sum of the earlier video durations). Prints one line per segment, then a
// summary line "max_error_ms=... missing=... unexpected=... overhang_ms=...". Exit 0 when
// measured, 1 when it cannot be.
#include <cmath>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "tests/support/media_samples.h"

using namespace media_samples;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s JOINED SEGMENT...\n", argv[0]);
    return 1;
  }
  try {
    std::vector<SegmentLayout> segments;
    std::vector<PacketDigest> inputs;
    for (int i = 2; i < argc; ++i) {
      segments.push_back(ReadLayout(argv[i]));
      for (const PacketDigest& packet : VideoPackets(argv[i])) inputs.push_back(packet);
    }
    std::vector<PacketDigest> outputs = VideoPackets(argv[1]);
    std::printf("video: %zu packets, %s\n", outputs.size(),
                outputs == inputs ? "byte-identical to the segments' (copied)"
                                  : "not the segments' packets (re-encoded)");
    std::vector<double> expected = ExpectedTicks(segments, 0);
    DecodedAudio audio = DecodeAudioLane(argv[1], 0);
    std::vector<double> measured = TickOnsets(audio);
    TickComparison comparison = CompareTicks(expected, measured);

    size_t next = 0;
    double cursor = 0;
    for (size_t k = 0; k < segments.size(); ++k) {
      double end = cursor + segments[k].video_duration;
      double first = NAN, worst = 0;
      int count = 0, missing = 0;
      for (; next < expected.size() && expected[next] < end - 1e-9; ++next) {
        double error = comparison.errors[next];
        if (std::isnan(error)) {
          ++missing;
          continue;
        }
        if (count++ == 0) first = error;
        if (std::fabs(error) > std::fabs(worst)) worst = error;
      }
      std::printf("segment %zu at %9.3f s: first tick %+7.2f ms, worst %+7.2f ms over %d ticks",
                  k + 1, cursor, first * 1000, worst * 1000, count);
      if (missing) std::printf(", %d missing", missing);
      std::printf("\n");
      cursor = end;
    }
    // A tick that starts exactly at the last video frame's end belongs to audio the join cuts;
    // it is heard only for as long as the lane overhangs the video, which is reported instead.
    int unexpected = 0;
    for (double onset : measured) {
      bool paired = false;
      for (size_t i = 0; i < expected.size() && !paired; ++i) {
        paired = !std::isnan(comparison.errors[i]) &&
                 std::fabs(expected[i] + comparison.errors[i] - onset) < 1e-9;
      }
      if (paired) continue;
      bool at_end = onset >= cursor - 1e-6;
      std::printf("tick at %.4f s that belongs nowhere%s\n", onset,
                  at_end ? " (at or after the video's end: not counted)" : "");
      if (!at_end) ++unexpected;
    }
    double lane_end = audio.start + audio.duration();
    std::printf("lane 0 plays %.4f to %.4f s, the video ends at %.4f s (overhang %+.2f ms)\n",
                audio.start, lane_end, cursor, (lane_end - cursor) * 1000);
    std::printf("max_error_ms=%.2f missing=%d unexpected=%d overhang_ms=%.2f\n",
                comparison.max_error * 1000, comparison.missing, unexpected,
                (lane_end - cursor) * 1000);
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "join_output_check: %s\n", error.what());
    return 1;
  }
}
