#pragma once

#include <string>
#include <vector>

#include "platform/recognition/line_layout.h"
#include "platform/recognition/page_preparation.h"

// The page as it is read.
struct Page {
  Prepared prepared;
  std::vector<LineRegion> regions;  // its text lines in page order
};

// Prepares |original| and finds its lines, with a Tesseract instance that loads no language data.
Page LayOut(const std::string& path, Pix* original);
