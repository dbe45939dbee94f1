#pragma once

#include <string_view>

// The tool's own handles on the caller's standard output and error.
//
// IsolateStandardStreams() keeps private duplicates of descriptors 1 and 2 and points both at
// /dev/null, so whatever the libraries print (Tesseract, Leptonica, FFmpeg, fontconfig, the audio
// client) never reaches the caller. Afterwards only the two writers below reach the real streams.
// Without the call, the writers use descriptors 1 and 2 directly.
void IsolateStandardStreams();

// Writes all of |bytes| with as few write(2) calls as the kernel allows (one for any result or
// error line). Failures are not examined.
void WriteToStandardOutput(std::string_view bytes);
void WriteToStandardError(std::string_view bytes);
