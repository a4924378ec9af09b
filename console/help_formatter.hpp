#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace hostswitch {

// The library's help, except that --help-all lists the commands and then gives each one's
// whole help (options, positionals and footer) under a heading "Command NAME:", the way
// help2man turns into one subsection per command. Which flags exclude or need each other is
// said by the command when it matters, not in every option's line.
class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_subcommands(const CLI::App* app, CLI::AppFormatMode mode) const override;
  std::string make_option_opts(const CLI::Option* option) const override;
};

}  // namespace hostswitch
