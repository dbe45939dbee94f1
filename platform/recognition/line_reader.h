#pragma once

#include <leptonica/allheaders.h>
#include <tesseract/baseapi.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/recognition/found_line.h"
#include "platform/recognition/line_layout.h"
#include "platform/recognition/line_model.h"
#include "platform/recognition/text_recognizer.h"

// The readings of one line: by a Tesseract instance, and by the line model within Tesseract's
// reading.

// Tesseract's messages go to the file its global debug_file names. It is set once, before any
// thread of ours starts, since every instance shares it.
void SilenceTesseract();

// Loads |api| with |languages| ("chi_sim+eng") to read single lines of the prepared image.
void InitLineReader(tesseract::TessBaseAPI& api, const std::string& languages,
                    const RecognitionSettings& settings);

// What one Tesseract instance read in a line.
struct Reading {
  bool recognized = false;
  std::vector<FoundLine> lines;
  float least = 100;  // the least confident word's confidence
  int mean = 0;       // the mean confidence of the words
};

// Reads |region| of the prepared image |pix|, which |api| holds, with |api|.
Reading ReadRegion(tesseract::TessBaseAPI& api, Pix* pix, const LineRegion& region);

// The line the model read in |region| of the prepared image |ink| where Tesseract read none: its
// characters spaced where Chinese meets Latin or where the ink-free gap between two Latin ones is
// as wide as a space; none when the model's confidence is below |least| (an icon, an avatar, a
// picture).
std::optional<FoundLine> ModelLine(const LineModel::Reading& reading, Pix* ink,
                                   const LineRegion& region, double least);

// |line| with the characters the line model read in it, where they differ from Tesseract's; |ink|
// is the prepared image.
void TakeModelCharacters(const LineModel::Reading& reading, Pix* ink, FoundLine& line);
