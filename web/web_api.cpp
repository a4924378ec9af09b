// What the page's worker calls: the command line itself, on the worker's in-memory file
// system, with its standard output and error captured and its progress passed on; the
// report of a sweep's summary; and Table 1 for the form's help.
#include <emscripten/bind.h>
#include <emscripten/heap.h>
#include <emscripten/val.h>

#include <filesystem>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "analysis/report.hpp"
#include "console/command_line.hpp"
#include "console/dialogue.hpp"
#include "model/memory_budget.hpp"
#include "model/parameters.hpp"
#include "reporting/fixed_format.hpp"

namespace {

// Nothing here reaches the closing pause, and a page has no shell to hand a line to.
class NoShell final : public hostswitch::CommandRunner {
 public:
  std::optional<std::string> run(const std::string&) override {
    return std::string("the command could not be run: a page has no shell");
  }
};

// Runs `hostswitch <args>`; `on_progress(done, total)` is called as the work advances.
// Returns {status, out, err}.
emscripten::val command(const emscripten::val& js_args, const emscripten::val& on_progress) {
  hostswitch::MemoryBudget::set_limit(emscripten_get_heap_max());
  const std::vector<std::string> args = emscripten::vecFromJSArray<std::string>(js_args);
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  const hostswitch::SystemClock clock;
  NoShell shell;
  std::error_code error;
  std::filesystem::path directory = std::filesystem::current_path(error);
  if (error) directory = "/";
  hostswitch::CommandLineContext context{in, out, err, clock, shell, directory};
  if (on_progress.typeOf().as<std::string>() == "function") {
    context.on_progress = [&on_progress](std::int64_t done, std::int64_t total) {
      on_progress(static_cast<double>(done), static_cast<double>(total));
    };
  }
  const int status = hostswitch::command_line_main(args, context);
  emscripten::val result = emscripten::val::object();
  result.set("status", status);
  result.set("out", out.str());
  result.set("err", err.str());
  return result;
}

// Table 1 of the model's description, a row per parameter in the dialogue's order:
// [{name, definition, unit, domain, typical}].
emscripten::val parameter_help() {
  emscripten::val rows = emscripten::val::array();
  for (std::size_t i = 0; i < hostswitch::kParameterCount; ++i) {
    const hostswitch::ParameterInfo& p = hostswitch::kParameters[i];
    emscripten::val row = emscripten::val::object();
    row.set("name", std::string(p.name));
    row.set("definition", std::string(p.definition));
    row.set("unit", std::string(p.unit));
    row.set("domain", std::string(p.domain));
    row.set("typical", hostswitch::typical_value_text(i));
    rows.call<void>("push", row);
  }
  return rows;
}

std::optional<std::size_t> axis_parameter(const std::string& name, const char* which) {
  if (name.empty()) return std::nullopt;
  const auto found = hostswitch::parameter_by_name(name);
  if (!found) throw std::invalid_argument(std::string(which) + ": no parameter " + name);
  return found;
}

// What `hostswitch report summary.csv --trajectories trajectories.csv` puts on its page under
// the heading, of the texts of those files (no trajectories: ""); `x` and `colour` name
// parameters, or are "" for the report's own choice. Returns {status, html, style, err}: status 0,
// or 1 with the report's message.
emscripten::val replicates_report(const std::string& summary_text,
                                  const std::string& trajectories_text, const std::string& x,
                                  const std::string& colour, bool log_x) {
  emscripten::val result = emscripten::val::object();
  try {
    const hostswitch::SummaryData summary =
        hostswitch::read_summary_text(summary_text, "summary.csv");
    std::vector<hostswitch::GridPointTrajectory> trajectories;
    if (!trajectories_text.empty()) {
      trajectories =
          hostswitch::read_trajectories_text(trajectories_text, "trajectories.csv", summary);
    }
    hostswitch::ReportAxes axes = hostswitch::choose_axes(summary, axis_parameter(x, "x axis"),
                                                          axis_parameter(colour, "colour"));
    axes.log_x = log_x;
    result.set("html", hostswitch::report_fragment(
                           summary, trajectories_text.empty() ? nullptr : &trajectories, axes));
    result.set("style", hostswitch::report_sections_style());
    result.set("status", 0);
  } catch (const std::exception& error) {
    result.set("status", 1);
    result.set("err", std::string(error.what()));
  }
  return result;
}

}  // namespace

EMSCRIPTEN_BINDINGS(hostswitch) {
  emscripten::function("command", &command);
  emscripten::function("parameterHelp", &parameter_help);
  emscripten::function("replicatesReport", &replicates_report);
  // The results file's bytes a class line (a generation writes one or more).
  emscripten::constant("classLineBytes", hostswitch::kClassRecordBytes);
}
