#include "platform/authorization/pulse_capture_probe.h"

#include <pulse/pulseaudio.h>

#include <optional>
#include <string>

namespace {

// The one converter from libpulse error codes.
CaptureProbe ProbeOutcomeFromError(int error) {
  switch (error) {
    case PA_ERR_ACCESS:
    case PA_ERR_AUTHKEY:
      return CaptureProbe::kRefused;
    case PA_ERR_NOENTITY:
      return CaptureProbe::kNoSource;
    default:
      return CaptureProbe::kNoServer;
  }
}

struct Probe {
  pa_context* context = nullptr;
  pa_stream* stream = nullptr;
  std::string default_source;
  std::string chosen_source;
  std::optional<CaptureProbe> outcome;

  void Finish(CaptureProbe result) {
    if (!outcome) outcome = result;
  }
  void FailFromContext() { Finish(ProbeOutcomeFromError(pa_context_errno(context))); }
};

void OnStreamState(pa_stream* stream, void* data) {
  auto* probe = static_cast<Probe*>(data);
  switch (pa_stream_get_state(stream)) {
    case PA_STREAM_READY:
      probe->Finish(CaptureProbe::kReady);
      break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
      probe->FailFromContext();
      break;
    default:
      break;
  }
}

void OpenRecordStream(Probe* probe) {
  // Any sample format will do: the server converts, and the stream never leaves the corked state.
  static constexpr pa_sample_spec kSpec{PA_SAMPLE_S16LE, 48000, 1};
  probe->stream = pa_stream_new(probe->context, "microphone check", &kSpec, nullptr);
  if (!probe->stream) return probe->FailFromContext();
  pa_stream_set_state_callback(probe->stream, OnStreamState, probe);
  auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_DONT_MOVE);
  if (pa_stream_connect_record(probe->stream, probe->chosen_source.c_str(), nullptr, flags) < 0) {
    probe->FailFromContext();
  }
}

void OnSource(pa_context*, const pa_source_info* info, int eol, void* data) {
  auto* probe = static_cast<Probe*>(data);
  if (eol < 0) return probe->FailFromContext();
  if (eol == 0) {
    if (info->monitor_of_sink != PA_INVALID_INDEX) return;
    if (probe->chosen_source.empty() || probe->default_source == info->name) {
      probe->chosen_source = info->name;
    }
    return;
  }
  if (probe->chosen_source.empty()) return probe->Finish(CaptureProbe::kNoSource);
  OpenRecordStream(probe);
}

void OnServerInfo(pa_context* context, const pa_server_info* info, void* data) {
  auto* probe = static_cast<Probe*>(data);
  if (!info) return probe->FailFromContext();
  if (info->default_source_name) probe->default_source = info->default_source_name;
  pa_operation* listing = pa_context_get_source_info_list(context, OnSource, probe);
  if (!listing) return probe->FailFromContext();
  pa_operation_unref(listing);
}

void OnContextState(pa_context* context, void* data) {
  auto* probe = static_cast<Probe*>(data);
  switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY: {
      pa_operation* query = pa_context_get_server_info(context, OnServerInfo, probe);
      if (!query) return probe->FailFromContext();
      pa_operation_unref(query);
      break;
    }
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
      probe->FailFromContext();
      break;
    default:
      break;
  }
}

}  // namespace

CaptureProbe ProbeCapture(std::chrono::milliseconds budget) {
  const auto deadline = std::chrono::steady_clock::now() + budget;
  pa_mainloop* loop = pa_mainloop_new();
  if (!loop) return CaptureProbe::kNoServer;
  Probe probe;
  probe.context = pa_context_new(pa_mainloop_get_api(loop), "QuorvaneMacTools");
  if (!probe.context) {
    pa_mainloop_free(loop);
    return CaptureProbe::kNoServer;
  }
  pa_context_set_state_callback(probe.context, OnContextState, &probe);
  if (pa_context_connect(probe.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    probe.FailFromContext();
  }
  while (!probe.outcome) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      probe.Finish(CaptureProbe::kNoServer);
      break;
    }
    if (pa_mainloop_prepare(loop, static_cast<int>(left.count())) < 0 ||
        pa_mainloop_poll(loop) < 0 || pa_mainloop_dispatch(loop) < 0) {
      probe.Finish(CaptureProbe::kNoServer);
    }
  }
  if (probe.stream) {
    pa_stream_set_state_callback(probe.stream, nullptr, nullptr);
    pa_stream_disconnect(probe.stream);
    pa_stream_unref(probe.stream);
  }
  pa_context_set_state_callback(probe.context, nullptr, nullptr);
  pa_context_disconnect(probe.context);
  pa_context_unref(probe.context);
  pa_mainloop_free(loop);
  return *probe.outcome;
}
