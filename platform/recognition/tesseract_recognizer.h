#pragma once

#include "platform/recognition/text_recognizer.h"

// Text recognition with Tesseract 5 (LSTM models, single-threaded) on images that Leptonica
// reads: PNG, JPEG, TIFF, BMP, WebP, GIF. One observation per text line with one candidate, the
// line as read. Images are refused before decoding when their header claims more than
// kMaxPixels pixels. Construction is free; the models load inside each Recognize call.
class TesseractRecognizer : public TextRecognizer {
 public:
  static constexpr long long kMaxPixels = 40'000'000;

  std::vector<TextObservation> Recognize(const std::string& image_path,
                                         const RecognitionSettings& settings,
                                         int max_candidates) override;
};
