#pragma once

#include <string>
#include <utility>

#include "platform/recognition/text_recognizer.h"

// Text recognition with Tesseract 5 on images that Leptonica reads: PNG, JPEG, TIFF, BMP, WebP,
// GIF. Languages map "zh-Hans" -> chi_sim and "en-US" -> eng. A line is read by English alone
// first, and where that is unsure by the languages together (Tesseract picks per word), then by
// the line model where Tesseract is unsure of its characters or read none; both levels use the
// LSTM models, the only ones installed; language correction is Tesseract's dictionaries. A second
// thread makes the image dark text on white, enlarges small text and finds the lines with the text
// detector while the calling thread loads the language data; then both threads read lines, each
// reading on whichever thread is free. One observation per text line with one candidate, the line
// as read, in reading order. Images whose header claims more than kMaxPixels pixels are refused
// before decoding. Construction is free; the models load inside each Recognize call.
class TesseractRecognizer : public TextRecognizer {
 public:
  static constexpr long long kMaxPixels = 40'000'000;

  // |model_directory| holds the text models' files (see TextDetector and LineModel);
  // QUORVANE_MODEL_DIR is where the build expects them.
  explicit TesseractRecognizer(std::string model_directory = QUORVANE_MODEL_DIR)
      : model_directory_(std::move(model_directory)) {}

  std::vector<TextObservation> Recognize(const std::string& image_path,
                                         const RecognitionSettings& settings,
                                         int max_candidates) override;

  // The front of Recognize without the recognition: the file checks, the header's size checks,
  // decoding, the conversion to dark text on white and the enlargement, with the same errors. Returns the prepared image's width and height. The fuzz target drives this part
  // alone.
  static std::pair<int, int> PrepareImage(const std::string& image_path);

 private:
  std::string model_directory_;
};
