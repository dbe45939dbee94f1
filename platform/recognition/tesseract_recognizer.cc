#include "platform/recognition/tesseract_recognizer.h"

#include "app/tool_error.h"

std::vector<TextObservation> TesseractRecognizer::Recognize(const std::string&,
                                                            const RecognitionSettings&, int) {
  throw PlatformError("text recognition is not built yet");  // PLACEHOLDER
}
