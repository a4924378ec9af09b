#include <iostream>

#include "console/command_line.hpp"

int main(int argc, char** argv) {
  return hostswitch::command_line_main(argc, argv, std::cin, std::cout, std::cerr);
}
