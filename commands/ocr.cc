#include "commands/ocr.h"

#include "app/output.h"

RecognitionSettings OcrRecognitionSettings() {
  return {.accurate = true,
          .language_correction = true,
          .languages = {"zh-Hans", "en-US"},
          .automatic_language_detection = true};
}

nlohmann::json RecognizedLines(const std::vector<TextObservation>& observations) {
  nlohmann::json lines = nlohmann::json::array();
  for (const TextObservation& observation : observations) {
    if (observation.candidates.empty()) continue;
    const NormalizedBox& box = observation.box;
    lines.push_back({{"text", observation.candidates.front()},
                     {"x", box.x},
                     {"y", 1.0 - (box.y + box.height)},
                     {"width", box.width},
                     {"height", box.height}});
  }
  return lines;
}

void recognize(const std::string& image_path, TextRecognizer& recognizer) {
  std::vector<TextObservation> observations =
      recognizer.Recognize(image_path, OcrRecognitionSettings(), /*max_candidates=*/1);
  output(RecognizedLines(observations));
}
