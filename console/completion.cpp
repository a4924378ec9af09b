#include "console/completion.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <string>
#include <utility>
#include <vector>

namespace hostswitch {

namespace {

// What an option's value, or a positional argument, completes to.
std::string value_kind(const CLI::Option& option) {
  const std::string type = option.get_type_name();
  // A validator adds ":{a,b,c}" for a fixed set of words.
  const std::size_t open = type.find(":{");
  if (open != std::string::npos) {
    const std::size_t close = type.find('}', open);
    std::string words =
        type.substr(open + 2, close == std::string::npos ? close : close - open - 2);
    std::replace(words.begin(), words.end(), ',', ' ');
    return "choices " + words;
  }
  std::string upper = type.substr(0, type.find(':'));
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper.find("DIR") != std::string::npos) return "dir";
  for (const char* number : {"INT", "UINT", "REAL", "FLOAT", "NUMBER", "EXPR"}) {
    if (upper.rfind(number, 0) == 0) return "word";
  }
  return "file";
}

bool visible(const CLI::Option& option) { return !option.get_group().empty(); }

struct Scope {
  std::string path;  // the subcommand names from the program on, blank-separated
  std::vector<std::string> options;
  std::vector<std::string> commands;
  std::vector<std::pair<std::string, std::string>> values;  // option name, value kind
  std::string positional;                                   // value kind, or empty
};

void add_options(const CLI::App& app, Scope& scope) {
  for (const CLI::Option* option : app.get_options()) {
    if (!visible(*option)) continue;
    if (!option->nonpositional()) {
      if (scope.positional.empty()) scope.positional = value_kind(*option);
      continue;
    }
    std::vector<std::string> names;
    for (const std::string& name : option->get_snames()) names.push_back("-" + name);
    for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
    for (const std::string& name : names) {
      scope.options.push_back(name);
      if (option->get_items_expected_max() > 0)
        scope.values.emplace_back(name, value_kind(*option));
    }
  }
  // Unnamed subcommands are option groups: their options belong to this scope.
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
    if (sub->get_name().empty()) add_options(*sub, scope);
  }
}

void collect(const CLI::App& app, const std::string& path, std::vector<Scope>& scopes) {
  Scope scope;
  scope.path = path;
  add_options(app, scope);
  std::vector<const CLI::App*> named;
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
    if (sub->get_name().empty() || sub->get_group().empty() || sub->get_disabled()) continue;
    scope.commands.push_back(sub->get_name());
    named.push_back(sub);
  }
  scopes.push_back(std::move(scope));
  for (const CLI::App* sub : named) {
    collect(*sub, path.empty() ? sub->get_name() : path + " " + sub->get_name(), scopes);
  }
}

std::string quoted(const std::string& text) { return "'" + text + "'"; }

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

// A shell function name made of the program's letters and digits.
std::string function_name(std::string_view program) {
  std::string name = "_";
  for (const char c : program) {
    name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  }
  return name;
}

// Word lists by key, for one shell `case`: key, then the words it echoes.
using CaseList = std::vector<std::pair<std::string, std::string>>;

// A shell function that echoes the words of the case its `subject` matches.
std::string case_function(const std::string& name, std::string_view subject,
                          const CaseList& cases) {
  std::string s = name + "() {\n  case " + std::string(subject) + " in\n";
  for (const auto& [key, words] : cases) {
    s += "    " + quoted(key) + ") echo " + quoted(words) + " ;;\n";
  }
  s += "  esac\n}\n\n";
  return s;
}

// The options, subcommands, option values and positional arguments of each scope: the
// function `f`_options, _commands, _value and _positional.
std::string scope_functions(const std::vector<Scope>& scopes, const std::string& f) {
  CaseList options, commands, values, positionals;
  for (const Scope& scope : scopes) {
    options.emplace_back(scope.path, joined(scope.options));
    if (!scope.commands.empty()) commands.emplace_back(scope.path, joined(scope.commands));
    for (const auto& [name, kind] : scope.values) {
      values.emplace_back(scope.path + "|" + name, kind);
    }
    if (!scope.positional.empty()) positionals.emplace_back(scope.path, scope.positional);
  }
  return case_function(f + "_options", "$1", options) +
         case_function(f + "_commands", "$1", commands) +
         "# What follows an option: word (anything, nothing offered), file, dir or\n"
         "# \"choices WORD...\"; nothing for a flag.\n" +
         case_function(f + "_value", "\"$1|$2\"", values) +
         case_function(f + "_positional", "$1", positionals);
}

// `f`_offer KIND WORD: the replies of that kind that complete WORD.
std::string offer_function(const std::string& f) {
  std::string s;
  s += f + "_offer() {\n";
  // One reply per line of compgen, so names with blanks or wildcards stay whole.
  s += R"(  local option=(-W "${1#choices }")
  case $1 in
    file) option=(-f) ;;
    dir) option=(-d) ;;
  esac
  [[ $1 == file || $1 == dir ]] && { compopt -o filenames 2>/dev/null || true; }
  mapfile -t -O "${#COMPREPLY[@]}" COMPREPLY < <(compgen "${option[@]}" -- "$2")
}

)";
  return s;
}

// The completion function itself: finds the scope from the words before the cursor, then
// offers what may follow there.
std::string completion_function(const std::string& f) {
  std::string s;
  s += f + "() {\n";
  s += "  local cur=\"${COMP_WORDS[COMP_CWORD]}\" scope='' word option kind i\n";
  s += "  COMPREPLY=()\n";
  s += "  # The words before the cursor choose the subcommand; option values are skipped\n";
  s += "  # (\"--name=value\" reaches here as three words).\n";
  s += "  for ((i = 1; i < COMP_CWORD; i++)); do\n";
  s += "    word=\"${COMP_WORDS[i]}\"\n";
  s += "    if [[ $word == -* ]]; then\n";
  s += "      if [[ -n $(" + f + "_value \"$scope\" \"$word\") ]]; then\n";
  s += "        if [[ ${COMP_WORDS[i + 1]} == = ]]; then ((i += 2)); else ((i += 1)); fi\n";
  s += "      fi\n";
  s += "    elif [[ \" $(" + f + "_commands \"$scope\") \" == *\" $word \"* ]]; then\n";
  s += "      scope=\"${scope:+$scope }$word\"\n";
  s += "    fi\n";
  s += "  done\n";
  s += R"(  option=''
  if ((COMP_CWORD >= 2)) && [[ ${COMP_WORDS[COMP_CWORD - 1]} == = ]]; then
    option="${COMP_WORDS[COMP_CWORD - 2]}"
  elif [[ $cur == = ]]; then
    option="${COMP_WORDS[COMP_CWORD - 1]}"
    cur=''
  elif ((COMP_CWORD >= 1)); then
    option="${COMP_WORDS[COMP_CWORD - 1]}"
  fi
  if [[ $option == -* ]]; then
)";
  s += "    kind=$(" + f + "_value \"$scope\" \"$option\")\n";
  s += "    if [[ -n $kind ]]; then\n";
  s += "      " + f + "_offer \"$kind\" \"$cur\"\n";
  s += "      return 0\n";
  s += "    fi\n";
  s += "  fi\n";
  s += "  if [[ $cur == -* ]]; then\n";
  s += "    " + f + "_offer \"choices $(" + f + "_options \"$scope\")\" \"$cur\"\n";
  s += "  else\n";
  s += "    " + f + "_offer \"choices $(" + f + "_commands \"$scope\")\" \"$cur\"\n";
  s += "    kind=$(" + f + "_positional \"$scope\")\n";
  s += "    [[ -n $kind ]] && " + f + "_offer \"$kind\" \"$cur\"\n";
  s += "  fi\n";
  s += "  return 0\n";
  s += "}\n\n";
  return s;
}

}  // namespace

std::string bash_completion_script(const CLI::App& app, std::string_view program) {
  std::vector<Scope> scopes;
  collect(app, "", scopes);
  const std::string f = function_name(program);

  std::string s;
  s += "# bash completion for " + std::string(program) +
       ", generated from its command-line definition\n"
       "# by `" +
       std::string(program) + " --bash-completion`.\n\n";
  s += scope_functions(scopes, f);
  s += offer_function(f);
  s += completion_function(f);
  s += "complete -F " + f + " " + std::string(program) + "\n";
  return s;
}

}  // namespace hostswitch
