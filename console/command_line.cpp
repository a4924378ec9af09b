#include "console/command_line.hpp"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <memory>
#include <new>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

#include "console/cli_design.hpp"
#include "console/cli_discover.hpp"
#include "console/cli_merge.hpp"
#include "console/cli_plot.hpp"
#include "console/cli_report.hpp"
#include "console/cli_run.hpp"
#include "console/cli_support.hpp"
#include "console/cli_sweep.hpp"
#include "console/completion.hpp"
#include "console/config_file.hpp"
#include "console/help_formatter.hpp"
#include "hostswitch_citation.hpp"
#include "hostswitch_version.hpp"
#include "model/model_errors.hpp"

namespace hostswitch {

namespace {

// The parser's words for two flags that exclude or need each other, as the program says it.
std::string usage_text(const CLI::ParseError& error) {
  std::string text = error.what();
  for (const auto& [word, instead] : {std::pair<std::string, std::string>{" excludes ", " and "},
                                      {" requires ", " is only for "}}) {
    const std::size_t at = text.find(word);
    if (at == std::string::npos) continue;
    text.replace(at, word.size(), instead);
    if (word == " excludes ") text += " cannot be given together";
    break;
  }
  return text;
}

}  // namespace

namespace {

// Every command's options, bound to the app that parses into them.
struct Commands {
  bool cite = false;
  std::string dialogue_seed;
  CLI::Option* dialogue_seed_option = nullptr;
  RunOptions run;
  SweepOptions sweep;
  PlotCommandOptions plot;
  MergeOptions merge;
  ReportCommandOptions report;
  DesignOptions design;
  DiscoverOptions discover;
  CLI::App* run_app = nullptr;
  CLI::App* sweep_app = nullptr;
  CLI::App* plot_app = nullptr;
  CLI::App* merge_app = nullptr;
  CLI::App* report_app = nullptr;
  CLI::App* design_app = nullptr;
  CLI::App* discover_app = nullptr;
  std::string config_path;

  // The commands whose flags may also come from a TOML file.
  std::vector<CLI::App*> configurable() const { return {run_app, sweep_app, design_app}; }
};

void build_app(CLI::App& app, Commands& commands) {
  app.set_version_flag("--version", std::string("hostswitch ") + HOSTSWITCH_VERSION);
  app.set_help_all_flag("--help-all", "Print the help of every command and exit");
  app.add_flag(
      "--cite", commands.cite,
      "Print how to cite this version (plain text and BibTeX, from CITATION.cff) and exit");
  app.footer(
      "The model, its equations (eqn 1, eqn 2) and table 1 of its parameters: model.md, "
      "installed in /usr/share/doc/hostswitch/.");
  app.formatter(std::make_shared<HelpFormatter>());
  app.require_subcommand(0, 1);
  commands.dialogue_seed_option =
      app.add_option("--seed", commands.dialogue_seed,
                     "run the interactive program seeded with this clock count instead of the "
                     "clock's")
          ->type_name("INT");
  commands.run_app = setup_run(app, commands.run);
  commands.sweep_app = setup_sweep(app, commands.sweep);
  commands.plot_app = setup_plot(app, commands.plot);
  commands.merge_app = setup_merge(app, commands.merge);
  commands.report_app = setup_report(app, commands.report);
  commands.design_app = setup_design(app, commands.design);
  commands.discover_app = setup_discover(app, commands.discover);
  for (CLI::App* configured : commands.configurable()) {
    add_config_option(*configured, commands.config_path);
  }
}

// Runs the command `app` parsed; `command` becomes "hostswitch NAME" for messages.
int dispatch(const CLI::App& app, Commands& commands, const std::vector<std::string>& args,
             const CommandLineContext& context, std::string& command) {
  if (commands.cite) {
    context.out << kCitationText << '\n' << kCitationBibtex;
    return context.out ? 0 : kRuntimeFailure;
  }
  if (!app.get_subcommands().empty()) {
    const std::string name = app.get_subcommands().front()->get_name();
    command += " " + name;
    refuse_flags_as_values(*app.get_subcommands().front());
    if (commands.dialogue_seed_option->count() > 0) {
      throw UsageError("--seed before a command is for the interactive program; put it after " +
                       name);
    }
  }
  std::vector<std::string> recorded = args;  // with the values a config file gave
  for (CLI::App* configured : commands.configurable()) {
    if (configured->parsed() && !commands.config_path.empty()) {
      const auto taken = apply_config_file(*configured, commands.config_path);
      recorded.insert(recorded.end(), taken.begin(), taken.end());
    }
  }
  if (commands.run_app->parsed()) return run_run(commands.run, context);
  if (commands.sweep_app->parsed()) return run_sweep_command(commands.sweep, recorded, context);
  if (commands.plot_app->parsed()) return run_plot(commands.plot, context);
  if (commands.report_app->parsed()) return run_report(commands.report, recorded, context);
  if (commands.merge_app->parsed()) return run_merge(commands.merge, context);
  if (commands.design_app->parsed()) return run_design(commands.design, context);
  if (commands.discover_app->parsed()) return run_discover(commands.discover, context);
  DialogueOptions options;
  if (commands.dialogue_seed_option->count() > 0) {
    options.seed_count = parse_integer("--seed", commands.dialogue_seed);
  }
  return run_dialogue(context.in, context.out, context.err, context.clock, context.directory,
                      context.shell, options);
}

}  // namespace

int command_line_main(const std::vector<std::string>& args, const CommandLineContext& context) {
  CLI::App app{
      "Individual-based simulation of parasite host switching.\nWithout a command, runs the "
      "interactive program: the eight questions, output.txt, the closing pause.",
      "hostswitch"};
  Commands commands;
  build_app(app, commands);
  // Not in the help: the build installs this script.
  if (args.size() == 1 && args.front() == "--bash-completion") {
    context.out << bash_completion_script(app, "hostswitch");
    return context.out ? 0 : kRuntimeFailure;
  }
  std::vector<const char*> argv{"hostswitch"};
  for (const auto& arg : args) argv.push_back(arg.c_str());

  std::string command = "hostswitch";
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
    return dispatch(app, commands, args, context, command);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error, context.out, context.err);
    if (!app.get_subcommands().empty()) command += " " + app.get_subcommands().front()->get_name();
    context.err << command << ": " << usage_text(error)
                << "\nRun with --help for more information.\n";
    return kUsageFailure;
  } catch (const UsageError& error) {
    context.err << command << ": " << error.what() << "\nRun with --help for more information.\n";
    return kUsageFailure;
  } catch (const std::bad_alloc&) {
    context.err << command << ": " << InsufficientMemory().what() << '\n';
    return kRuntimeFailure;
  } catch (const std::exception& error) {
    context.err << command << ": " << error.what() << '\n';
    return kRuntimeFailure;
  }
}

int command_line_main(int argc, char** argv, std::istream& in, std::ostream& out,
                      std::ostream& err) {
  const SystemClock clock;
  SystemShell shell;
  std::error_code error;
  std::string executable = std::filesystem::read_symlink("/proc/self/exe", error).string();
  if (error || executable.empty()) executable = "hostswitch";
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  // current_path() fails once the working directory is removed; "." still names it.
  std::filesystem::path directory = std::filesystem::current_path(error);
  if (error) directory = ".";
  const CommandLineContext context{in,    out,       err,        clock,
                                   shell, directory, executable, isatty(STDERR_FILENO) == 1};
  return command_line_main(args, context);
}

}  // namespace hostswitch
