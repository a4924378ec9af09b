#pragma once

#include <string>
#include <string_view>

namespace CLI {
class App;
}

namespace hostswitch {

// A bash completion script for `program`, made by walking the command-line definition:
// every visible subcommand and flag, with file names offered after options that take a
// path, directory names after those that take a directory, the listed choices after those
// that take one of a few words, and nothing after numbers.
std::string bash_completion_script(const CLI::App& app, std::string_view program);

}  // namespace hostswitch
