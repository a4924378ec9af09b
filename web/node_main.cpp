// The command-line program as WebAssembly under node, reading and writing the real file
// system, so its results can be compared byte for byte with the native program's.
#include <emscripten/heap.h>

#include <iostream>

#include "console/command_line.hpp"
#include "model/memory_budget.hpp"

int main(int argc, char** argv) {
  // The machine's free memory means nothing to a wasm heap; its ceiling does.
  hostswitch::MemoryBudget::set_limit(emscripten_get_heap_max());
  return hostswitch::command_line_main(argc, argv, std::cin, std::cout, std::cerr);
}
