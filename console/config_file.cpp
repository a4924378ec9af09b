#include "console/config_file.hpp"

#include <toml++/toml.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>

#include "api/parameter_values.hpp"
#include "base/io_failure.hpp"
#include "base/number_chars.hpp"
#include "base/text_file.hpp"

namespace hostswitch {

CLI::Option* add_config_option(CLI::App& command, std::string& path) {
  const std::string section = "[" + command.get_name() + "]";
  return command
      .add_option("--config", path,
                  "read flags from this TOML file (key = value, keys as the long flags without "
                  "dashes, at the top or under " +
                      section +
                      "); a flag set twice in the file, even once at the top and once under " +
                      section + ", is refused; flags on the command line win")
      ->type_name("FILE");
}

namespace {

// A key of the file that sets a flag of the command.
struct Setting {
  std::string key;
  std::string flag;  // --emig-rate
  bool in_section = false;
  toml::source_position where;
  CLI::Option* option = nullptr;
  const toml::node* value = nullptr;
};

class ConfigReader {
 public:
  ConfigReader(CLI::App& command, std::string name) : command_(command), name_(std::move(name)) {}

  std::vector<std::string> apply(std::string_view text) {
    refuse_unsafe_non_ascii(text);
    toml::table file;
    try {
      file = toml::parse(text, name_);
    } catch (const toml::parse_error& error) {
      refuse(error.source().begin, std::string(error.description()));
    }
    std::vector<Setting> settings;
    collect(file, false, settings);
    // The table's order is the keys', not the file's.
    std::stable_sort(settings.begin(), settings.end(), [](const Setting& a, const Setting& b) {
      return a.where.line != b.where.line ? a.where.line < b.where.line
                                          : a.where.column < b.where.column;
    });
    refuse_flags_set_twice(settings);
    // The whole file is checked before any flag takes a value from it.
    std::vector<Given> given;
    for (const Setting& setting : settings) given.push_back(given_by(setting));
    std::vector<std::string> taken;
    for (std::size_t i = 0; i < settings.size(); ++i) take(settings[i], given[i], taken);
    return taken;
  }

 private:
  [[noreturn]] void refuse(std::uint32_t line, const std::string& what) const {
    throw UsageError("--config: " + name_ + ":" + std::to_string(line) + ": " + what);
  }
  [[noreturn]] void refuse(const toml::source_position& where, const std::string& what) const {
    refuse(where.line, what);
  }

  // toml++ 3.3 may reach undefined behaviour when it asks whether a character that is not
  // ASCII is whitespace, as it does outside strings and comments (where TOML allows none) and
  // after a backslash in a multi-line basic string. Those are refused before it parses.
  void refuse_unsafe_non_ascii(std::string_view text) const {
    enum class In { value, comment, basic, literal, multi_basic, multi_literal } in = In::value;
    const auto ascii = [](char c) { return static_cast<unsigned char>(c) < 0x80; };
    std::uint32_t line = 1;
    for (std::size_t i = text.starts_with("\xEF\xBB\xBF") ? 3 : 0; i < text.size(); ++i) {
      const char c = text[i];
      if (c == '\n') ++line;
      switch (in) {
        case In::value:
          if (!ascii(c)) refuse(line, "a character that is not ASCII outside quotes and comments");
          if (c == '#') in = In::comment;
          if (c == '"' || c == '\'') {
            const bool multi = text.substr(i, 3) == std::string(3, c);
            in = c == '"' ? (multi ? In::multi_basic : In::basic)
                          : (multi ? In::multi_literal : In::literal);
            if (multi) i += 2;
          }
          break;
        case In::comment:
          if (c == '\n') in = In::value;
          break;
        case In::basic:
          if (c == '\\' && i + 1 < text.size() && text[i + 1] != '\n') {
            ++i;  // an escaped quote does not end the string
          } else if (c == '"' || c == '\n') {
            in = In::value;
          }
          break;
        case In::literal:
          if (c == '\'' || c == '\n') in = In::value;
          break;
        case In::multi_basic:
        case In::multi_literal: {
          const char quote = in == In::multi_basic ? '"' : '\'';
          if (c == quote) {  // three to five end the string, the first two its text
            const std::size_t run = std::min(text.find_first_not_of(quote, i), text.size()) - i;
            if (run >= 3) in = In::value;
            i += run - 1;
          } else if (c == '\\' && in == In::multi_basic) {
            std::size_t next = i + 1;
            for (; next < text.size() &&
                   std::string_view(" \t\r\n").find(text[next]) != std::string_view::npos;
                 ++next) {
              if (text[next] == '\n') ++line;
            }
            if (next < text.size() && !ascii(text[next])) {
              refuse(line,
                     "a character that is not ASCII after a backslash in a multi-line "
                     "string (write it as \\uXXXX)");
            }
            // An escaped character is skipped; what follows a line-ending backslash is text.
            i = next == i + 1 ? next : next - 1;
          }
          break;
        }
      }
    }
  }

  bool is_command(std::string_view key) const {
    const CLI::App* program = command_.get_parent();
    if (program == nullptr) return key == command_.get_name();
    const auto commands = program->get_subcommands([](const CLI::App*) { return true; });
    return std::any_of(commands.begin(), commands.end(),
                       [&](const CLI::App* other) { return other->get_name() == key; });
  }

  static std::string flag_of(std::string_view key) {
    std::string flag = "--" + std::string(key);
    std::replace(flag.begin() + 2, flag.end(), '_', '-');
    return flag;
  }

  CLI::Option* option_of(std::string_view key) const {
    if (key.empty() ||
        key.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-_") != std::string_view::npos) {
      return nullptr;
    }
    const std::string flag = flag_of(key);
    CLI::Option* option = command_.get_option_no_throw(flag);
    if (option == nullptr || option->get_positional() || flag == "--config" ||
        option == command_.get_help_ptr() || option == command_.get_help_all_ptr()) {
      return nullptr;
    }
    return option;
  }

  void collect(const toml::table& table, bool in_section, std::vector<Setting>& settings) const {
    for (const auto& [key, node] : table) {
      const std::string_view name = key.str();
      if (!in_section && node.is_table() && is_command(name)) {
        if (name == command_.get_name()) collect(*node.as_table(), true, settings);
        continue;  // another command's section
      }
      CLI::Option* option = option_of(name);
      if (option == nullptr) {
        refuse(key.source().begin, quoted_field(name) + " is not a flag of " + command_.get_name() +
                                       (node.is_table() && !in_section ? " nor a command" : ""));
      }
      settings.push_back(
          {std::string(name), flag_of(name), in_section, key.source().begin, option, &node});
    }
  }

  std::string described(const Setting& setting) const {
    return quoted_field(setting.key) +
           (setting.in_section ? " under [" + command_.get_name() + "]" : "");
  }

  // emig-rate and emig_rate, or sdr at the top and under [sweep]: which one would be meant is
  // a guess, so neither is.
  void refuse_flags_set_twice(const std::vector<Setting>& settings) const {
    std::map<const CLI::Option*, const Setting*> first;
    for (const Setting& setting : settings) {
      const auto [seen, fresh] = first.emplace(setting.option, &setting);
      if (fresh) continue;
      refuse(setting.where, described(setting) + " and " + described(*seen->second) + " on line " +
                                std::to_string(seen->second->where.line) + " both set " +
                                setting.flag + "; keep one");
    }
  }

  static std::string kind_of(const toml::node& node) {
    switch (node.type()) {
      case toml::node_type::table:
        return "a table";
      case toml::node_type::array:
        return "an array";
      case toml::node_type::string:
        return "a string";
      case toml::node_type::integer:
        return "an integer";
      case toml::node_type::floating_point:
        return "a float";
      case toml::node_type::boolean:
        return "true or false";
      case toml::node_type::date:
        return "a date";
      case toml::node_type::time:
        return "a time";
      default:
        return "a date and time";
    }
  }

  // A float as its shortest exact text; a whole one as an integer, so that an integer flag
  // takes 1e3 as 1000.
  static std::string float_text(double value) {
    if (std::isfinite(value) && std::trunc(value) == value && std::fabs(value) < 0x1p53) {
      if (value == 0.0) return std::signbit(value) ? "-0" : "0";
      return std::to_string(static_cast<std::int64_t>(value));
    }
    char text[64];
    const auto written = double_to_chars(text, text + sizeof text, value);
    return std::string(text, written.ptr);
  }

  // The text of a string or number, as it would be typed after the flag.
  std::string text_of(const Setting& setting, const toml::node& node) const {
    if (const auto* string = node.as_string()) {
      if (string->get().find('\0') != std::string::npos) {
        refuse(node.source().begin,
               quoted_field(setting.key) + ": a NUL character cannot be in a command-line value");
      }
      return string->get();
    }
    if (const auto* integer = node.as_integer()) return std::to_string(integer->get());
    return float_text(node.as_floating_point()->get());
  }

  static bool is_text(const toml::node& node) {
    return node.is_string() || node.is_integer() || node.is_floating_point();
  }

  // What a setting gives its flag: nothing (false), the bare flag (true) or values.
  struct Given {
    bool on = true;
    bool bare = false;
    std::vector<std::string> values;
  };

  Given given_by(const Setting& setting) const {
    const CLI::Option& option = *setting.option;
    const toml::node& node = *setting.value;
    const std::string key = quoted_field(setting.key);
    const bool bare_allowed = option.get_expected_min() == 0;
    if (option.get_expected_max() == 0 && !node.is_boolean()) {
      refuse(setting.where, key + " takes true or false, not " + kind_of(node));
    }
    if (node.is_boolean() && bare_allowed) {
      const bool on = node.as_boolean()->get();
      return {on, on, {}};
    }
    if (is_text(node)) return {true, false, {text_of(setting, node)}};
    const toml::array* array = node.as_array();
    if (array == nullptr) {
      refuse(setting.where,
             key + " takes a string, a number or an array of them, not " + kind_of(node));
    }
    if (array->empty()) refuse(setting.where, key + " takes at least one value, not []");
    std::vector<std::string> values;
    for (const toml::node& element : *array) {
      if (!is_text(element)) {
        refuse(element.source().begin,
               key + " takes strings and numbers in its array, not " + kind_of(element));
      }
      values.push_back(text_of(setting, element));
    }
    if (option.get_items_expected_max() > 1) return {true, false, values};
    std::string joined;  // a flag of one value takes a list as commas
    for (const std::string& value : values) joined += (joined.empty() ? "" : ",") + value;
    return {true, false, {joined}};
  }

  void take(const Setting& setting, const Given& given, std::vector<std::string>& taken) const {
    CLI::Option& option = *setting.option;
    if (option.count() > 0 || !given.on) return;  // the command line's own, or off
    const std::string& flag = setting.flag;
    try {
      if (option.get_expected_max() == 0) {
        option.add_result(std::string("true"));
        taken.push_back(flag);
      } else if (given.bare) {
        option.add_result(
            option.get_flag_value(flag.substr(2), std::string()));  // as the bare flag
        taken.push_back(flag);
      } else {
        for (const std::string& value : given.values) {
          option.add_result(value);
          taken.push_back(flag);
          taken.push_back(value);
        }
      }
      option.run_callback();
    } catch (const CLI::Error& error) {
      refuse(setting.where, quoted_field(setting.key) + ": " + error.what());
    }
  }

  CLI::App& command_;
  std::string name_;
};

}  // namespace

std::vector<std::string> apply_config_text(CLI::App& command, std::string_view text,
                                           const std::string& name) {
  return ConfigReader(command, name).apply(text);
}

std::vector<std::string> apply_config_file(CLI::App& command, const std::string& path) {
  std::string text;
  try {
    text = read_text_file(path);
  } catch (const IoFailure& failure) {
    throw UsageError(std::string("--config: ") + failure.what());
  }
  return apply_config_text(command, text, path);
}

}  // namespace hostswitch
