#include "platform/media/pending_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "platform/platform_error.h"

namespace {

[[noreturn]] void Fail(const std::string& final_path, const std::string& reason) {
  throw PlatformError("Cannot export to " + final_path + ": " + reason);
}

[[noreturn]] void FailErrno(const std::string& final_path, int error) {
  Fail(final_path, std::strerror(error));
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void FailIfTaken(const std::string& final_path) {
  struct stat info;
  if (::lstat(final_path.c_str(), &info) == 0) {
    Fail(final_path, S_ISDIR(info.st_mode) ? "it is a folder" : "a file already exists there");
  }
}

}  // namespace

PendingFile::PendingFile(std::string final_path, bool unnamed)
    : final_path_(std::move(final_path)) {
  const std::string folder = FolderOf(final_path_);
  struct stat info;
  if (final_path_.empty() || final_path_.back() == '/') Fail(final_path_, "not a file name");
  if (::stat(folder.c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR)
      Fail(final_path_, "the folder " + folder + " does not exist");
    FailErrno(final_path_, errno);
  }
  if (!S_ISDIR(info.st_mode)) Fail(final_path_, folder + " is not a folder");
  FailIfTaken(final_path_);

  if (unnamed) fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  if (fd_ >= 0) {
    const std::string proc_path = "/proc/self/fd/" + std::to_string(fd_);
    if (::access(proc_path.c_str(), W_OK) == 0) {
      url_ = "file:" + proc_path;
      return;
    }
    ::close(fd_);
    fd_ = -1;
  }
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = folder + "/." + NameOf(final_path_) + "." +
                                  std::to_string(random() % 1000000000u) + ".part";
    const int fd = ::open(candidate.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      temporary_path_ = candidate;
      url_ = "file:" + candidate;
      return;
    }
    if (errno != EEXIST) FailErrno(final_path_, errno);
  }
  FailErrno(final_path_, EEXIST);
}

PendingFile::~PendingFile() {
  if (!published_) Discard();
  if (fd_ >= 0) ::close(fd_);
}

void PendingFile::Publish() {
  if (temporary_path_.empty()) {
    const std::string proc_path = "/proc/self/fd/" + std::to_string(fd_);
    if (::linkat(AT_FDCWD, proc_path.c_str(), AT_FDCWD, final_path_.c_str(), AT_SYMLINK_FOLLOW) !=
        0) {
      if (errno == EEXIST) Fail(final_path_, "a file already exists there");
      FailErrno(final_path_, errno);
    }
    published_ = true;
    return;
  }
  if (::renameat2(AT_FDCWD, temporary_path_.c_str(), AT_FDCWD, final_path_.c_str(),
                  RENAME_NOREPLACE) != 0) {
    if (errno == EEXIST) Fail(final_path_, "a file already exists there");
    if (errno != EINVAL && errno != ENOSYS) FailErrno(final_path_, errno);
    // File systems without RENAME_NOREPLACE: a hard link fails on an existing name just the same.
    if (::link(temporary_path_.c_str(), final_path_.c_str()) != 0) {
      if (errno == EEXIST) Fail(final_path_, "a file already exists there");
      FailErrno(final_path_, errno);
    }
    ::unlink(temporary_path_.c_str());
  }
  published_ = true;
}

void PendingFile::Discard() {
  if (!temporary_path_.empty() && !published_) ::unlink(temporary_path_.c_str());
}
