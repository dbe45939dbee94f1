#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/recognition/text_recognizer.h"

// The fixed settings of every recognition: accurate, language correction on, Simplified Chinese
// then US English, automatic language detection on.
RecognitionSettings OcrRecognitionSettings();

// One JSON line object per observation that has a candidate, in the recogniser's order:
// "text" = first candidate, "x" = left edge, "y" = 1 - top edge (top-left origin),
// "width" and "height" as given.
nlohmann::json RecognizedLines(const std::vector<TextObservation>& observations);

// The ocr subcommand: recognises |image_path| and prints the lines. Throws the recogniser's error.
void recognize(const std::string& image_path, TextRecognizer& recognizer);
