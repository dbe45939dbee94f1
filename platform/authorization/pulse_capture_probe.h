#pragma once

#include <chrono>

// What the audio server says about recording from a real microphone.
enum class CaptureProbe {
  kReady,     // a record stream opened on a capture source that is not a sink monitor
  kRefused,   // the server denied this client access
  kNoServer,  // no server answered within the budget
  kNoSource,  // the server has no capture source other than sink monitors
};

// Connects to the PulseAudio (or PipeWire pulse) server without autospawning it, opens and closes
// a corked record stream on the default capture source, or on the first one that is not a sink
// monitor. Returns within |budget| (wall time on the monotonic clock). Runs on the caller's thread.
CaptureProbe ProbeCapture(std::chrono::milliseconds budget);
