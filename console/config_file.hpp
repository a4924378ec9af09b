#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace hostswitch {

// Adds --config FILE to a command: its flags read from a TOML file.
CLI::Option* add_config_option(CLI::App& command, std::string& path);

// Gives every flag of `command` not on the command line its value from the TOML file `path`.
// Keys are the long flags without their dashes (emig-rate, or emig_rate), at the top of the
// file or in a section named after the command ([sweep]); sections of the program's other
// commands are passed over. A flag set twice (emig-rate and emig_rate, or at the top and in
// [sweep]) is refused. true or false for a flag without a value; an array gives several values
// (one comma-separated value to a flag that takes one). Returns the flags and values taken, as
// command-line words, so that what the command records is what it used. Throws UsageError
// naming the file and line for a file that cannot be read, is not TOML, or sets something
// that is not a flag of the command or not a value it takes.
std::vector<std::string> apply_config_file(CLI::App& command, const std::string& path);

// The same for the text of such a file; `name` is what messages call it.
std::vector<std::string> apply_config_text(CLI::App& command, std::string_view text,
                                           const std::string& name);

}  // namespace hostswitch
