#pragma once

#include <string>
#include <vector>

#include "platform/recognition/line_layout.h"
#include "platform/recognition/page_preparation.h"
#include "platform/recognition/text_detector.h"

// The page as it is read.
struct Page {
  Prepared prepared;
  OwnedPix original;                // the image as it came, grey
  std::vector<LineRegion> regions;  // its text lines in reading order
};

// Prepares |original| and finds its lines with |detector|.
Page LayOut(const std::string& path, Pix* original, TextDetector& detector);
