#pragma once

#include <functional>
#include <string>
#include <vector>

// The four subcommands as the entry calls them. main binds each to its command and the real
// adapters; tests bind recorders.
struct Subcommands {
  std::function<void()> microphone;
  std::function<void(const std::string& image_path)> ocr;
  std::function<void(const std::vector<std::string>& segment_paths, const std::string& output_path)>
      join;
  std::function<void(const std::string& output_path)> fixture;
};

// The process arguments without the program path, unchanged and in order.
std::vector<std::string> ArgumentList(int argc, const char* const* argv);

// Calls the one subcommand whose word equals argument 0 and whose count rule fits. Throws
// ToolError 8 for an empty list and 9 when no row applies; the subcommand's own failure passes
// through untouched.
void Dispatch(const std::vector<std::string>& args, const Subcommands& subcommands);
