#pragma once

#include <string>

// A file written beside |final_path| that appears there only when it is complete, and never over
// an existing file. Where the file system allows, it has no name at all until published, so
// nothing is left behind even if the process dies; elsewhere it is a hidden name removed on
// Discard. Throws PlatformError "Cannot export to <final_path>: <reason>".
class PendingFile {
 public:
  // Creates the file in |final_path|'s folder; fails when that folder is missing or a file already
  // exists at |final_path|. |unnamed| false always uses a hidden name.
  explicit PendingFile(std::string final_path, bool unnamed = true);
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  // Where libavformat writes (and rereads) the file: a "file:" URL.
  const std::string& url() const { return url_; }

  // Puts the complete file at the final path. Fails, leaving the path as it was, when a file has
  // appeared there meanwhile.
  void Publish();

  // Removes the file now; safe to call from another thread while the file is being written, and
  // more than once.
  void Discard();

 private:
  std::string final_path_;
  std::string temporary_path_;  // empty for an unnamed file
  std::string url_;
  int fd_ = -1;
  bool published_ = false;
};
