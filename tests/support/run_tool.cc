#include "tests/support/run_tool.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>

extern char** environ;

pid_t StartProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
                   int out_fd, int err_fd, const std::string& working_directory) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
  if (!working_directory.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, working_directory.c_str());
  }

  std::vector<std::string> argv_storage = argv;
  std::vector<char*> args;
  for (auto& a : argv_storage) args.push_back(a.data());
  args.push_back(nullptr);

  // An inherited variable that extra_env sets again is left out: getenv() finds the first entry.
  std::vector<std::string> env_storage;
  for (char** e = environ; *e; ++e) {
    std::string_view entry(*e);
    std::string_view name = entry.substr(0, entry.find('=') + 1);
    bool overridden = false;
    if (name.empty()) name = entry;
    for (const auto& extra : extra_env) overridden |= extra.rfind(name, 0) == 0;
    if (!overridden) env_storage.emplace_back(entry);
  }
  env_storage.insert(env_storage.end(), extra_env.begin(), extra_env.end());
  std::vector<char*> envp;
  for (auto& e : env_storage) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
  return pid;
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_t pid;
  try {
    pid =
        StartProcess(argv, options.extra_env, out_pipe[1], err_pipe[1], options.working_directory);
  } catch (...) {
    for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
    throw;
  }
  close(out_pipe[1]);
  close(err_pipe[1]);

  RunResult result;
  auto deadline = std::chrono::steady_clock::now() + options.timeout;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  while (open_count > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, static_cast<int>(left.count())) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[65536];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  for (auto& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  int wait_status = 0;
  rusage usage{};
  wait4(pid, &wait_status, 0, &usage);
  result.peak_memory_kib = usage.ru_maxrss;
  if (WIFEXITED(wait_status)) result.status = WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) result.signal = WTERMSIG(wait_status);
  return result;
}

RunResult RunTool(const std::vector<std::string>& args, const RunOptions& options) {
  return RunProgram(QUORVANE_TOOL_PATH, args, options);
}

void DrawFixture(const std::string& path) {
  const RunResult run = RunTool({"fixture", path});
  if (run.status != 0) throw std::runtime_error("fixture " + path + ": " + run.err);
}

TempDir::TempDir() {
  char pattern[] = "/tmp/quorvane-test-XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}
