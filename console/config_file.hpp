#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

namespace hostswitch {

// Adds --config FILE to a command: its flags read from a TOML file.
CLI::Option* add_config_option(CLI::App& command, std::string& path);

// Gives every flag of `command` not on the command line its value from the TOML file `path`:
// keys are the long flags without their dashes (emig-rate, or emig_rate), at the top of the
// file or in a section named after the command ([sweep]); sections of other commands are
// passed over. A list (emig-rate = [0.05, 0.1]) is one comma-separated value. Returns the
// flags and values taken, as command-line words, so that what the command records is what it
// used. Throws UsageError for a file that cannot be read or a key that is not a flag.
std::vector<std::string> apply_config_file(CLI::App& command, const std::string& path);

}  // namespace hostswitch
