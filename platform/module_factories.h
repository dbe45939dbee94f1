#pragma once

// Each service's adapter is built as a shared module of its own, so that a run maps only the
// libraries of the one service it uses (FFmpeg alone brings over a hundred). The tool loads a module
// the first time the service is asked for; each module exports one factory. The caller owns what a
// factory returns; a module is never unloaded.

#include "platform/authorization/microphone_authority.h"
#include "platform/drawing/canvas.h"
#include "platform/media/media.h"
#include "platform/recognition/text_recognizer.h"

inline constexpr char kRecognitionModule[] = "libquorvane_recognition.so";
inline constexpr char kMediaModule[] = "libquorvane_media.so";
inline constexpr char kDrawingModule[] = "libquorvane_drawing.so";
inline constexpr char kAuthorizationModule[] = "libquorvane_authorization.so";

extern "C" {
TextRecognizer* QuorvaneCreateTextRecognizer();
MediaServices* QuorvaneCreateMediaServices();
DrawingService* QuorvaneCreateDrawingService();
MicrophoneAuthority* QuorvaneCreateMicrophoneAuthority();
}
