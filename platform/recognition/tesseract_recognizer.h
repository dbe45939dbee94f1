#pragma once

#include "platform/recognition/text_recognizer.h"

// Text recognition with Tesseract 5.
class TesseractRecognizer : public TextRecognizer {
 public:
  std::vector<TextObservation> Recognize(const std::string& image_path,
                                         const RecognitionSettings& settings,
                                         int max_candidates) override;
};
