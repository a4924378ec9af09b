#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "console/dialogue.hpp"

namespace hostswitch {

// What the command line talks to; tests hand in fakes and string streams.
struct CommandLineContext {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  const Clock& clock;
  CommandRunner& shell;
  std::filesystem::path directory;        // where the interactive program writes its results file
  std::string executable = "hostswitch";  // the program named in emitted command lines
  bool show_progress = false;             // a sweep's progress line on `err`
  // Told how far the work is: (generation, n_gen) after every generation of `run`, (runs done,
  // total) as a sweep goes.
  std::function<void(std::int64_t done, std::int64_t total)> on_progress = nullptr;
};

// The whole program: `args` are the arguments after the program name. No arguments runs
// the interactive program unchanged. Returns the process exit status.
int command_line_main(const std::vector<std::string>& args, const CommandLineContext& context);

// As above with the real console, clock, shell and working directory; progress is shown when
// standard error is a terminal, and emitted command lines name this very executable.
int command_line_main(int argc, char** argv, std::istream& in, std::ostream& out,
                      std::ostream& err);

}  // namespace hostswitch
