#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

// Runs |body| with descriptor 1 pointed at a temporary file and returns what was written to it.
// Exceptions from |body| propagate after descriptor 1 is restored; |written| still receives the
// bytes.
inline void CaptureStandardOutput(const std::function<void()>& body, std::string& written) {
  std::fflush(stdout);
  char name[] = "/tmp/quorvane-stdout-XXXXXX";
  const int file = mkstemp(name);
  unlink(name);
  const int saved = dup(STDOUT_FILENO);
  dup2(file, STDOUT_FILENO);
  auto restore = [&] {
    dup2(saved, STDOUT_FILENO);
    close(saved);
    written.clear();
    char buffer[4096];
    ssize_t got;
    lseek(file, 0, SEEK_SET);
    while ((got = read(file, buffer, sizeof buffer)) > 0) written.append(buffer, got);
    close(file);
  };
  try {
    body();
  } catch (...) {
    restore();
    throw;
  }
  restore();
}

inline std::string CaptureStandardOutput(const std::function<void()>& body) {
  std::string written;
  CaptureStandardOutput(body, written);
  return written;
}
