#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

// Runs |body| with descriptor |fd| (1 or 2) pointed at a temporary file and puts what was written
// to it in |written|. Exceptions from |body| propagate after the descriptor is restored; |written|
// still receives the bytes.
inline void CaptureDescriptor(int fd, const std::function<void()>& body, std::string& written) {
  std::fflush(stdout);
  std::fflush(stderr);
  char name[] = "/tmp/quorvane-capture-XXXXXX";
  const int file = mkstemp(name);
  unlink(name);
  const int saved = dup(fd);
  dup2(file, fd);
  auto restore = [&] {
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved, fd);
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

inline void CaptureStandardOutput(const std::function<void()>& body, std::string& written) {
  CaptureDescriptor(STDOUT_FILENO, body, written);
}

inline std::string CaptureStandardOutput(const std::function<void()>& body) {
  std::string written;
  CaptureStandardOutput(body, written);
  return written;
}
