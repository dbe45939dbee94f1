#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// What one run of a program left behind.
struct RunResult {
  std::string out;      // standard output, byte for byte
  std::string err;      // standard error, byte for byte
  int status = -1;      // exit status, or -1 when it did not exit normally
  int signal = 0;       // the signal that ended it, if any
  bool timed_out = false;
  long peak_memory_kib = 0;  // the largest resident set it reached
};

struct RunOptions {
  std::string working_directory;           // empty: the test's own
  std::vector<std::string> extra_env;      // NAME=VALUE entries added to the environment
  std::chrono::milliseconds timeout{20000};  // killed after this
};

// Starts |argv| (argv[0] looked up in PATH when it holds no slash) as a child with this process's
// environment plus |extra_env| (NAME=VALUE; each replaces an inherited variable of that name),
// standard input from /dev/null, standard output to |out_fd| and standard error to |err_fd|, in
// |working_directory| when it is not empty. Returns its pid; throws std::runtime_error when it
// cannot be started.
pid_t StartProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
                   int out_fd, int err_fd, const std::string& working_directory = "");

// Runs |program| with |args| (argv[0] is |program|), no standard input, and collects its output.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options = {});

// Runs the built QuorvaneMacTools.
RunResult RunTool(const std::vector<std::string>& args, const RunOptions& options = {});

// Writes the tool's test image (its fixture command) to |path|; throws std::runtime_error when
// the tool fails.
void DrawFixture(const std::string& path);

// A fresh directory under /tmp, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
// The names of the entries of |dir|, sorted.
std::vector<std::string> FilesIn(const std::string& dir);
