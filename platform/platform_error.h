#pragma once

#include <stdexcept>

// A failure reported by a library behind one of the platform adapters. Its text is one line
// naming the file or item and the reason; it reaches the entry unchanged.
class PlatformError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
