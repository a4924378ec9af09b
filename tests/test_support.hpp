#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "console/command_line.hpp"
#include "console/dialogue.hpp"
#include "tests/test_files.hpp"

namespace hostswitch::testing {

// A clock that always reads the same.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(ClockReading reading) : reading_(reading) {}
  ClockReading now() const override { return reading_; }

 private:
  ClockReading reading_;
};

// Remembers the commands typed at the pause instead of running them; reports `failure` for
// every one.
class FakeShell final : public CommandRunner {
 public:
  std::optional<std::string> run(const std::string& command) override {
    commands.push_back(command);
    return failure;
  }
  std::vector<std::string> commands;
  std::optional<std::string> failure;
};

// The command line run in process, as the program runs it, with its streams captured.
struct Invocation {
  int status = 0;
  std::string out;
  std::string err;
};

struct InvokeSettings {
  std::string input;
  FakeShell* shell = nullptr;  // none: one that runs nothing
  ClockReading clock{1765000000, 250};
  bool from_directory = false;  // relative paths in the arguments are taken from `directory`
};

inline Invocation invoke(const std::vector<std::string>& args,
                         const std::filesystem::path& directory,
                         const InvokeSettings& settings = {}) {
  std::istringstream in(settings.input);
  std::ostringstream out;
  std::ostringstream err;
  const FakeClock clock(settings.clock);
  FakeShell own_shell;
  const CommandLineContext context{
      in, out, err, clock, settings.shell ? *settings.shell : own_shell, directory};
  const std::filesystem::path previous = std::filesystem::current_path();
  if (settings.from_directory) std::filesystem::current_path(directory);
  Invocation result;
  result.status = command_line_main(args, context);
  if (settings.from_directory) std::filesystem::current_path(previous);
  result.out = out.str();
  result.err = err.str();
  return result;
}

}  // namespace hostswitch::testing
