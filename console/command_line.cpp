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
#include "console/cli_merge.hpp"
#include "console/cli_plot.hpp"
#include "console/cli_report.hpp"
#include "console/cli_run.hpp"
#include "console/cli_support.hpp"
#include "console/cli_sweep.hpp"
#include "console/completion.hpp"
#include "console/config_file.hpp"
#include "console/help_formatter.hpp"
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

int command_line_main(const std::vector<std::string>& args, const CommandLineContext& context) {
  CLI::App app{
      "Individual-based simulation of parasite host switching.\nWithout a command, runs the "
      "interactive program: the eight questions, output.txt, the closing pause.",
      "hostswitch"};
  app.set_version_flag("--version", std::string("hostswitch ") + HOSTSWITCH_VERSION);
  app.set_help_all_flag("--help-all", "Print the help of every command and exit");
  app.footer(
      "The model, its equations (eqn 1, eqn 2) and table 1 of its parameters: model.md, "
      "installed in /usr/share/doc/hostswitch/.");
  app.formatter(std::make_shared<HelpFormatter>());
  app.require_subcommand(0, 1);
  std::string dialogue_seed;
  CLI::Option* dialogue_seed_option =
      app.add_option("--seed", dialogue_seed,
                     "run the interactive program seeded with this clock count instead of the "
                     "clock's")
          ->type_name("INT");
  RunOptions run;
  SweepOptions sweep;
  PlotCommandOptions plot;
  MergeOptions merge;
  ReportCommandOptions report;
  CLI::App* run_app = setup_run(app, run);
  CLI::App* sweep_app = setup_sweep(app, sweep);
  CLI::App* plot_app = setup_plot(app, plot);
  CLI::App* merge_app = setup_merge(app, merge);
  CLI::App* report_app = setup_report(app, report);
  DesignOptions design;
  CLI::App* design_app = setup_design(app, design);
  // Flags of these commands may also come from a TOML file.
  std::string config_path;
  for (CLI::App* configured : {run_app, sweep_app, design_app}) {
    add_config_option(*configured, config_path);
  }

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
    if (!app.get_subcommands().empty()) {
      const std::string name = app.get_subcommands().front()->get_name();
      command += " " + name;
      refuse_flags_as_values(*app.get_subcommands().front());
      if (dialogue_seed_option->count() > 0) {
        throw UsageError("--seed before a command is for the interactive program; put it after " +
                         name);
      }
    }
    std::vector<std::string> recorded = args;  // with the values a config file gave
    for (CLI::App* configured : {run_app, sweep_app, design_app}) {
      if (configured->parsed() && !config_path.empty()) {
        const auto taken = apply_config_file(*configured, config_path);
        recorded.insert(recorded.end(), taken.begin(), taken.end());
      }
    }
    if (run_app->parsed()) return run_run(run, context);
    if (sweep_app->parsed()) return run_sweep_command(sweep, recorded, context);
    if (plot_app->parsed()) return run_plot(plot, context);
    if (report_app->parsed()) return run_report(report, context);
    if (merge_app->parsed()) return run_merge(merge, context);
    if (design_app->parsed()) return run_design(design, context);
    DialogueOptions options;
    if (dialogue_seed_option->count() > 0) {
      options.seed_count = parse_integer("--seed", dialogue_seed);
    }
    return run_dialogue(context.in, context.out, context.err, context.clock, context.directory,
                        context.shell, options);
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
