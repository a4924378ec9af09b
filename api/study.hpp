#pragma once

// The study as the language bindings ask for it: each request built here once from the texts
// a binding hands over (as the command line's flags would take them), each answer the text of
// the file the command line would write, so a frame read from it equals one read from the file.

#include <array>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/scenario_discovery.hpp"
#include "analysis/summary_data.hpp"
#include "api/parameter_values.hpp"
#include "batch/design.hpp"
#include "batch/library_api.hpp"
#include "model/parameters.hpp"

namespace hostswitch {

// ---- run and sweep ----------------------------------------------------------------------------

// `run --seed SEED` with these parameters (no seed: the clock's), its results file and
// trajectory too, and the seed it ran with.
struct RunTexts : ReplicateTexts {
  std::int32_t seed = 0;
};
RunTexts run_request(const NamedValueTexts& given, const std::optional<std::string>& seed);

// `sweep` of the grid of `given`, or with `design`, of a design file's rows (the flags then
// give nothing: the file's columns do). Numbers are texts as the flags take them; no seed: the
// clock's, no jobs: one per processor.
struct SweepArguments {
  NamedValueTexts given;
  std::string replicates = "1";
  std::optional<std::string> seed, jobs, summary, design;
  bool trajectories = false;
  bool resume = false;
};
LibrarySweep library_sweep_of(const SweepArguments& request);

// ---- design -----------------------------------------------------------------------------------

// `hostswitch design KIND`: the flags' texts, empty when not given.
struct DesignRequest {
  std::string kind;
  std::vector<std::string> ranges;  // NAME=LO:HI or NAME=LO:HI:log
  std::string samples, seed, maximin, trajectories, levels;
  // The parameter flags: the lists of a grid, the fixed values of the other kinds.
  std::function<ParameterLists()> lists;
  std::function<SimulationParameters()> base;
  std::array<bool, kParameterCount> given{};
};
// The request of a binding's named parameter values.
DesignRequest design_request_of(std::string kind, const NamedValueTexts& given);
// Throws UsageError with the command line's message for anything it refuses.
Design design_of(const DesignRequest& request);
// The design file `design` writes.
std::string design_text(const DesignRequest& request);

// ---- what a summary gives ---------------------------------------------------------------------

// A summary file, or a summary's text (a binding's frame written as the file would hold it),
// and the generations G of its shares switched and extinct by G, as report --at takes them
// (checked_generations; empty: the default of the largest n_gen).
struct SummaryInput {
  std::string path_or_text;
  bool text = false;
  std::vector<std::int32_t> at;
};
SummaryData summary_of(const SummaryInput& input);

// report --at: generations of 1 or more, increasing, without duplicates.
std::vector<std::int32_t> checked_generations(std::vector<std::int32_t> at);
// The same of texts, each an integer as --at takes it.
std::vector<std::int32_t> generations_of(const std::vector<std::string>& texts);
// The statistics table `report` writes (stats.csv).
std::string stats_text(const SummaryInput& summary);
// The sensitivity table `report` writes of a sobol or morris design (sensitivity.csv); throws
// UsageError for another summary, of which report writes none.
std::string sensitivity_text(const SummaryInput& summary);

// discover --where, and --min-density, refused with UsageError naming `flag` as the command
// line does.
DiscoveryCondition checked_condition(std::string_view flag, std::string_view where);
void check_min_density(double share);
// The boxes table `discover` writes.
std::string boxes_text(const SummaryInput& summary, std::string_view where,
                       double min_density = 0.8);

// ---- plot -------------------------------------------------------------------------------------

// `hostswitch plot RESULTS`: with a sweep's summary (or manifest) and a row G-R, the title
// gives that run's parameters and seed.
struct PlotRequest {
  std::filesystem::path results;
  std::optional<std::string> title;
  std::optional<std::filesystem::path> summary;
  std::optional<std::string> row;
  bool log_population = false;
};
// The title of row "G-R" of a sweep's summary or manifest; UsageError for a malformed row.
std::string row_title(const std::filesystem::path& summary, const std::string& row);
// The picture as SVG text.
std::string plot_svg(const PlotRequest& request);
// The picture written to `picture`, its format from its name (.svg, .pdf, .png).
void plot_file(const PlotRequest& request, const std::filesystem::path& picture);

// ---- tables -----------------------------------------------------------------------------------

// A CSV text read column by column as R's read.csv types it, but every number parsed exactly:
// integers (all fields whole numbers within 32 bits), reals, texts; an empty field is missing
// (a column of nothing else is `missing`).
struct TableColumn {
  enum class Kind { missing, integer, real, text };
  std::string name;
  Kind kind = Kind::missing;
  std::vector<double> numbers;     // integer and real columns
  std::vector<std::string> texts;  // text columns
  std::vector<char> absent;        // per row: the field was empty
};
// Throws ReportInputError naming `name` and the line of a malformed record.
std::vector<TableColumn> csv_table(std::string_view text, const std::string& name);

// Each number as the program's files write numbers: the shortest text that reads back as the
// same double ("0.1", "12", "1e-05"); a NaN as an empty field.
std::vector<std::string> number_texts(const std::vector<double>& values);

// ---- failures ---------------------------------------------------------------------------------

// What a binding raises for a failure of the library: a value or input refused (its message
// as the command line gives it), or a file that could not be read or written.
enum class FailureKind { refusal, io, other };
FailureKind failure_kind(const std::exception& error);
std::string failure_message(const std::exception& error);

}  // namespace hostswitch
