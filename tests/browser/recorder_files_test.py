#!/usr/bin/env python3
"""Recordings made by Chromium's own MediaRecorder, in every format it offers, joined by the built
tool and played to their end in Chromium and decoded by GStreamer: what MPEG-4 carries is copied
packet for packet (also across a change of size), VP8 is re-encoded, and each joined movie lasts
exactly what the tool reported.

Usage: recorder_files_test.py TOOL. Exit 0 when every case passed, 1 on a failure, 77 (skipped)
where Debian's chromium and chromium-driver are not installed.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import chromium  # noqa: E402

FRAME = 1 / 30
# The movie lasts what the tool reported: only the rounding of the two time scales between them.
EXACT = 0.002
# MediaRecorder type, file extension, the output's video codec and whether its packets are copied.
KINDS = [
    ("video/webm;codecs=vp8,opus", ".webm", "h264", False),
    ("video/webm;codecs=vp9,opus", ".webm", "vp9", True),
    ("video/webm;codecs=h264,opus", ".webm", "h264", True),
    ("video/webm;codecs=av1,opus", ".webm", "av1", True),
    ("video/mp4", ".mp4", "vp9", True),
    ("video/mp4;codecs=avc1,opus", ".mp4", "h264", True),
    ("video/mp4;codecs=av01,opus", ".mp4", "av1", True),
]
SECONDS = [1.0, 1.6]
# A recording made after the window was resized.
RESIZED = "video/mp4;codecs=avc1,opus"
RESIZED_SIZE = (480, 270)

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print(f"FAIL {what}", flush=True)
    return condition


def streams(path):
    probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                            "stream=codec_type,codec_name", "-of", "json", path],
                           capture_output=True, text=True)
    if probe.returncode != 0:
        return {"ffprobe": probe.stderr.strip()}
    return {s["codec_type"]: s["codec_name"] for s in json.loads(probe.stdout)["streams"]}


def video_frames(path):
    """The MD5 of every decoded picture at its own size, in presentation order."""
    out = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:v", "-fps_mode",
                          "passthrough", "-noautoscale", "-f", "framemd5", "-"],
                         capture_output=True, text=True).stdout
    return [line.split(",")[5].strip() for line in out.splitlines()
            if line and not line.startswith("#")]


def sizes(path):
    """The size of every decoded picture, in presentation order."""
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "frame=width,height", "-of", "csv=p=0", path],
                         capture_output=True, text=True).stdout
    return [line.strip() for line in out.splitlines() if line.strip()]


def picture_span(path):
    """From the first picture's time to the last's, and the longest step between two pictures:
    a loaded machine's encoder starts late, drops frames and may stop before the sound does."""
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "packet=pts_time", "-of", "csv=p=0", path],
                         capture_output=True, text=True).stdout
    # A packet with side data (VP8's alpha) ends its line with a comma.
    times = sorted(float(field) for field in (line.split(",")[0] for line in out.split())
                   if field not in ("", "N/A"))
    if not times:
        return 0.0, 0.0
    return times[-1] - times[0], max([FRAME] + [b - a for a, b in zip(times, times[1:])])


def join(tool, output, segments, name):
    run = subprocess.run([tool, "join", output, *segments], capture_output=True, text=True,
                         timeout=60)
    ok = check(run.returncode == 0 and run.stderr == "",
               f"{name}: join exited {run.returncode}: {run.stderr.strip()}")
    if not ok:
        return None
    result = json.loads(run.stdout)
    check(result["path"] == output, f"{name}: result names {result['path']}")
    return result["duration"]


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    tool = os.path.abspath(sys.argv[1])
    if not chromium.available():
        print("skipped: Debian's chromium and chromium-driver are not installed")
        return 77
    with tempfile.TemporaryDirectory() as folder, chromium.Browser() as browser:
        kinds = [kind for kind in KINDS
                 if check(browser.can_record(kind[0]), f"this Chromium cannot record {kind[0]}")]
        jobs = [(kind[0], seconds) for kind in kinds for seconds in SECONDS]
        files = iter(browser.record(jobs))
        recordings = []
        for index, (mime, extension, _, _) in enumerate(kinds):
            recordings.append([])
            for i in range(len(SECONDS)):
                recordings[-1].append(os.path.join(folder, f"{index}-{i}{extension}"))
                with open(recordings[-1][-1], "wb") as f:
                    f.write(next(files))
        # Chromium plays its own recordings to their end. The join lasts their pictures: from
        # each one's first to its last, which shows for as long as its file says (MPEG-4) or
        # as the step before it (WebM), at most the longest step between two pictures.
        spans = {}
        paths = [path for pair in recordings for path in pair]
        for path, seen in zip(paths, browser.play(paths)):
            if check(seen.get("ended"), f"{path}: Chromium cannot play its recording: {seen}"):
                spans[path] = picture_span(path)

        def matches(duration, segments):
            known = [spans[path] for path in segments if path in spans]
            return sum(span for span, _ in known) <= duration <= sum(sum(span) for span in known)

        played = []  # (name, output, reported duration)
        for index, (mime, _, video, copied) in enumerate(kinds):
            output = os.path.join(folder, f"{index}.mp4")
            duration = join(tool, output, recordings[index], mime)
            if duration is None:
                continue
            check(matches(duration, recordings[index]),
                  f"{mime}: {duration} s reported, their pictures {[spans.get(p) for p in recordings[index]]}")
            check(streams(output) == {"video": video, "audio": "opus"},
                  f"{mime}: {streams(output)}, expected {video} video and Opus audio")
            # Copied packets decode to the very same pictures; a re-encode's are close but not equal.
            inputs = [frame for path in recordings[index] for frame in video_frames(path)]
            check((video_frames(output) == inputs) == copied,
                  f"{mime}: video {'not ' if copied else ''}copied")
            played.append((mime, output, duration))
        # The window resized between two H.264 recordings: still copied, each part at its size.
        avc = next((i for i, kind in enumerate(kinds) if kind[0] == RESIZED), None)
        if check(avc is not None, f"this Chromium cannot record {RESIZED}"):
            resized = os.path.join(folder, "resized.mp4")
            with open(resized, "wb") as f:
                f.write(browser.record([(RESIZED, SECONDS[0])], *RESIZED_SIZE)[0])
            for path, seen in zip([resized], browser.play([resized])):
                if check(seen.get("ended"), f"{path}: Chromium cannot play its recording: {seen}"):
                    spans[path] = picture_span(path)
            segments = [recordings[avc][0], resized, recordings[avc][1]]
            output = os.path.join(folder, "resized-joined.mp4")
            duration = join(tool, output, segments, "resized")
            if duration is not None:
                check(matches(duration, segments), f"resized: {duration} s reported")
                inputs = [frame for path in segments for frame in video_frames(path)]
                check(video_frames(output) == inputs, "resized: video not copied")
                check(sizes(output) == [size for path in segments for size in sizes(path)],
                      f"resized: picture sizes {sorted(set(sizes(output)))}")
                played.append(("resized", output, duration))
        # One session recorded with every setting: the video re-encoded, and still one movie.
        segments = [paths[0] for paths in recordings]
        output = os.path.join(folder, "all.mp4")
        duration = join(tool, output, segments, "all kinds")
        if duration is not None:
            check(matches(duration, segments), f"all kinds: {duration} s reported")
            check(streams(output)["video"] == "h264", f"all kinds: {streams(output)}")
            played.append(("all kinds", output, duration))
        for (name, _, duration), seen in zip(played, browser.play([p[1] for p in played])):
            if check("error" not in seen and seen.get("ended"), f"{name}: Chromium: {seen}"):
                check(abs(seen["duration"] - duration) <= EXACT,
                      f"{name}: Chromium plays {seen['duration']} s of {duration} s")
                check(abs(seen["currentTime"] - seen["duration"]) <= FRAME,
                      f"{name}: playback stopped at {seen['currentTime']} s")
        # The desktop's players decode through GStreamer: every picture, and the sound.
        if shutil.which("gst-launch-1.0"):
            for name, output, _ in played:
                run = subprocess.run(
                    ["gst-launch-1.0", "-v", "filesrc", f"location={output}", "!", "qtdemux",
                     "name=d", "d.video_0", "!", "queue", "!", "decodebin", "!", "fakesink",
                     "name=pictures", "silent=false", "d.audio_0", "!", "queue", "!",
                     "decodebin", "!", "fakesink"],
                    capture_output=True, text=True, timeout=60)
                pictures = sum(1 for line in run.stdout.splitlines()
                               if line.startswith("/GstPipeline:pipeline0/GstFakeSink:pictures")
                               and "chain" in line)
                check(run.returncode == 0 and "ERROR" not in run.stdout + run.stderr
                      and pictures == len(video_frames(output)),
                      f"{name}: GStreamer decoded {pictures} pictures of "
                      f"{len(video_frames(output))}: {run.stderr.strip()[:300]}")
    print(f"{len(failures)} failure(s)" if failures else "all recorder files joined and played")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
