#pragma once

#include <string>
#include <vector>

// One line as read, in pixels of the prepared image (top-left origin).
struct FoundLine {
  std::string text;
  int left = 0, top = 0, right = 0, bottom = 0;
  // Tesseract's words across the line, left to right, and whether |text| has a space before each.
  struct Word {
    int left = 0, right = 0;
    bool space_before = false;
  };
  std::vector<Word> words;
  // Tesseract's characters and where they lie across.
  struct Symbol {
    int left = 0, right = 0;
    std::string utf8;
  };
  std::vector<Symbol> symbols;
};

// One character the line model read and where its column lies, in pixels of the image it read.
struct ModelCharacter {
  std::string utf8;
  double x = 0;
};
