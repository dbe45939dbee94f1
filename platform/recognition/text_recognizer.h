#pragma once

#include <string>
#include <vector>

// What the ocr command asks of a text recogniser.

struct RecognitionSettings {
  bool accurate = true;                // the slow, accurate level rather than the fast one
  bool language_correction = true;     // dictionaries and language models take part
  std::vector<std::string> languages;  // BCP 47 tags, in order of preference
  bool automatic_language_detection = true;
};

// A rectangle in fractions of the image size, origin at the image's bottom-left corner, y upward.
struct NormalizedBox {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

// One recognised line: its candidate texts, best first (possibly none), and its box.
struct TextObservation {
  std::vector<std::string> candidates;
  NormalizedBox box;
};

class TextRecognizer {
 public:
  virtual ~TextRecognizer() = default;

  // Recognises the image file at |image_path| (relative to the working directory), the calling
  // thread waiting until it is done, and returns the observations in the recogniser's order, each
  // with at most |max_candidates| candidates. Throws PlatformError naming the path and the reason
  // when the file cannot be read as an image.
  virtual std::vector<TextObservation> Recognize(const std::string& image_path,
                                                 const RecognitionSettings& settings,
                                                 int max_candidates) = 0;
};
