#include "console/config_file.hpp"

#include <algorithm>

#include "console/parameter_values.hpp"

namespace hostswitch {

CLI::Option* add_config_option(CLI::App& command, std::string& path) {
  return command
      .add_option("--config", path,
                  "read flags from this TOML file (key = value, keys as the long flags without "
                  "dashes, at the top or under [" +
                      command.get_name() + "]); flags on the command line win")
      ->type_name("FILE");
}

std::vector<std::string> apply_config_file(CLI::App& command, const std::string& path) {
  std::vector<CLI::ConfigItem> items;
  try {
    items = CLI::ConfigTOML().from_file(path);
  } catch (const CLI::Error& error) {
    throw UsageError("--config: " + path + ": " + error.what());
  }
  std::vector<std::string> taken;
  for (const CLI::ConfigItem& item : items) {
    // CLI11 marks the start and end of a section with items of their own.
    if (item.name == "++" || item.name == "--") continue;
    if (!item.parents.empty() && item.parents != std::vector<std::string>{command.get_name()}) {
      continue;
    }
    std::string flag = "--" + item.name;
    std::replace(flag.begin() + 2, flag.end(), '_', '-');
    CLI::Option* option = command.get_option_no_throw(flag);
    if (option == nullptr || flag == "--config" || option->get_positional()) {
      throw UsageError("--config: " + path + ": " + in_quotes(item.name) + " is not a flag of " +
                       command.get_name());
    }
    if (option->count() > 0) continue;  // the command line's own
    std::vector<std::string> values = item.inputs;
    if (option->get_expected_max() == 0) {  // a flag: true or false
      if (values.size() != 1 || (values[0] != "true" && values[0] != "false")) {
        throw UsageError("--config: " + path + ": " + item.name + " takes true or false");
      }
      if (values[0] == "false") continue;
      option->add_result(std::string("true"));
      taken.push_back(flag);
    } else {
      if (option->get_items_expected_max() == 1 && values.size() != 1) {
        std::string joined;
        for (const auto& value : values) joined += (joined.empty() ? "" : ",") + value;
        values = {joined};
      }
      for (const auto& value : values) {
        option->add_result(value);
        taken.push_back(flag);
        taken.push_back(value);
      }
    }
    option->run_callback();
  }
  return taken;
}

}  // namespace hostswitch
