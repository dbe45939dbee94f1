#include "app/entry.h"

#include <string_view>

#include "app/tool_error.h"

namespace {

using Arguments = std::vector<std::string>;

struct Row {
  std::string_view word;
  bool (*count_fits)(size_t count);
  void (*call)(const Arguments& args, const Subcommands& subcommands);
};

const Row kSubcommands[] = {
    {"microphone", [](size_t n) { return n == 1; },
     [](const Arguments&, const Subcommands& s) { s.microphone(); }},
    {"ocr", [](size_t n) { return n == 2; },
     [](const Arguments& a, const Subcommands& s) { s.ocr(a[1]); }},
    {"join", [](size_t n) { return n >= 3; },
     [](const Arguments& a, const Subcommands& s) {
       s.join(Arguments(a.begin() + 2, a.end()), a[1]);
     }},
    {"fixture", [](size_t n) { return n == 2; },
     [](const Arguments& a, const Subcommands& s) { s.fixture(a[1]); }},
};

}  // namespace

std::vector<std::string> ArgumentList(int argc, const char* const* argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}

void Dispatch(const Arguments& args, const Subcommands& subcommands) {
  if (args.empty()) throw ToolError(ErrorCode::kNoArguments);
  for (const Row& row : kSubcommands) {
    if (args[0] == row.word && row.count_fits(args.size())) {
      row.call(args, subcommands);
      return;
    }
  }
  throw ToolError(ErrorCode::kInvalidArguments);
}
