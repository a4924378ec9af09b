#include "console/help_formatter.hpp"

#include <algorithm>
#include <sstream>
#include <vector>

namespace hostswitch {

namespace {

std::string indented(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  std::string out;
  while (std::getline(lines, line)) out += line.empty() ? "\n" : "  " + line + "\n";
  return out;
}

void add_options(const CLI::Formatter& formatter, const CLI::App& app, bool positional,
                 std::string& out) {
  for (const CLI::Option* option : app.get_options()) {
    if (option->get_group().empty() || option->nonpositional() == positional) continue;
    out += formatter.make_option(option, positional);
  }
  // Unnamed subcommands are option groups.
  for (const CLI::App* group : app.get_subcommands([](const CLI::App*) { return true; })) {
    if (group->get_name().empty()) add_options(formatter, *group, positional, out);
  }
}

}  // namespace

std::string HelpFormatter::make_subcommands(const CLI::App* app, CLI::AppFormatMode mode) const {
  if (mode != CLI::AppFormatMode::All) return CLI::Formatter::make_subcommands(app, mode);
  std::string text = CLI::Formatter::make_subcommands(app, CLI::AppFormatMode::Normal);
  const std::vector<const CLI::App*> commands = app->get_subcommands([](const CLI::App* sub) {
    return !sub->get_name().empty() && !sub->get_group().empty() && !sub->get_disabled();
  });
  for (const CLI::App* command : commands) {
    std::string body = make_description(command);
    add_options(*this, *command, true, body);
    add_options(*this, *command, false, body);
    body += make_footer(command);
    text += "\nCommand " + command->get_name() + ":\n" + indented(body);
  }
  return text;
}

std::string HelpFormatter::make_option_opts(const CLI::Option* option) const {
  std::string text = CLI::Formatter::make_option_opts(option);
  std::size_t cut = text.size();
  for (const char* word : {" Needs:", " Excludes:"}) cut = std::min(cut, text.find(word));
  text.erase(cut);
  return text;
}

}  // namespace hostswitch
