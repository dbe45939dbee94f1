#include "app/standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

int output_fd = STDOUT_FILENO;
int error_fd = STDERR_FILENO;

void WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

// A duplicate of |fd| above 2, or -1 when |fd| is closed.
int KeepDuplicate(int fd) { return ::fcntl(fd, F_DUPFD_CLOEXEC, 3); }

}  // namespace

void IsolateStandardStreams() {
  output_fd = KeepDuplicate(STDOUT_FILENO);
  error_fd = KeepDuplicate(STDERR_FILENO);
  int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) return;
  ::dup2(null_fd, STDOUT_FILENO);
  ::dup2(null_fd, STDERR_FILENO);
  if (null_fd > STDERR_FILENO) ::close(null_fd);
}

void WriteToStandardOutput(std::string_view bytes) { WriteAll(output_fd, bytes); }

void WriteToStandardError(std::string_view bytes) { WriteAll(error_fd, bytes); }
