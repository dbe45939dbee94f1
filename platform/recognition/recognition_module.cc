#include "platform/module_factories.h"
#include "platform/recognition/tesseract_recognizer.h"

extern "C" TextRecognizer* QuorvaneCreateTextRecognizer() { return new TesseractRecognizer(); }
