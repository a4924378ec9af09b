// The command-line program as WebAssembly under node, reading and writing the real file
// system, so its results can be compared byte for byte with the native program's.
#include <emscripten/em_js.h>
#include <emscripten/heap.h>

#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "batch/ordered_csv.hpp"
#include "console/command_line.hpp"
#include "console/dialogue.hpp"
#include "model/memory_budget.hpp"

// The C library here takes every standard stream for a terminal; node knows.
EM_JS(int, standard_error_is_terminal, (), { return require("tty").isatty(2) ? 1 : 0; });

int main(int argc, char** argv) {
  // The machine's free memory means nothing to a wasm heap; its ceiling does.
  hostswitch::MemoryBudget::set_limit(emscripten_get_heap_max());
  // flock() here succeeds without locking anything another process would see.
  hostswitch::set_file_locks_reach_others(false);
  const hostswitch::SystemClock clock;
  hostswitch::SystemShell shell;
  std::error_code error;
  std::filesystem::path directory = std::filesystem::current_path(error);
  if (error) directory = ".";
  const hostswitch::CommandLineContext context{
      std::cin, std::cout, std::cerr,    clock,
      shell,    directory, "hostswitch", standard_error_is_terminal() == 1};
  return hostswitch::command_line_main(std::vector<std::string>(argv + 1, argv + argc), context);
}
