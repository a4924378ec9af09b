#include "console/cli_design.hpp"

#include <algorithm>
#include <ostream>
#include <stdexcept>

#include "batch/design.hpp"
#include "batch/ordered_csv.hpp"

namespace hostswitch {

namespace {

constexpr const char* kDesignFooter = R"(
KIND is grid (the value lists of the parameter flags, in the order sweep makes them), lhs (a Latin
hypercube: each of the N strata of each --range holds one point), sobol (the Saltelli scheme:
blocks A, B and AB1 ... ABk of N rows each, N * (k + 2) points, labelled in a block column) or
morris (R trajectories of k + 1 points on P levels, labelled by trajectory and step). A range is
NAME=LO:HI, or NAME=LO:HI:log for a log-uniform one; n_pop, capacity and n_gen are rounded.
Parameters without a range keep their flag's value (the typical run's by default). The same
flags give the same file; a point `run` would refuse is refused before anything is written.
  hostswitch design sobol --samples 1024 --range emig_rate=0:0.5 --range sdr=0.5:3 -o design.csv
  hostswitch sweep --design design.csv --replicates 20 --seed 7)";

std::uint64_t seed_of(const std::string& text) {
  return static_cast<std::uint32_t>(parse_integer("--seed", text));
}

}  // namespace

CLI::App* setup_design(CLI::App& app, DesignOptions& options) {
  CLI::App* design = app.add_subcommand(
      "design", "Write the points of a sampling design (grid, lhs, sobol, morris) as a CSV.");
  design->add_option("kind", options.kind, "grid, lhs, sobol or morris")
      ->type_name("KIND")
      ->required();
  options.parameters.add_to(*design, true);
  design
      ->add_option("--range", options.ranges,
                   "a varied parameter: NAME=LO:HI or NAME=LO:HI:log; repeatable")
      ->type_name("RANGE")
      ->allow_extra_args(false);
  design->add_option("--samples", options.samples, "lhs: points; sobol: base rows N")
      ->type_name("N");
  design->add_option("--seed", options.seed, "lhs, morris: the draws; sobol: a random shift")
      ->type_name("INT");
  design->add_option("--maximin", options.maximin, "lhs: the best of K by smallest distance")
      ->type_name("K");
  design->add_option("--trajectories", options.trajectories, "morris: trajectories R")
      ->type_name("R");
  design->add_option("--levels", options.levels, "morris: levels P, even (default 4)")
      ->type_name("P");
  design->add_option("-o,--output", options.output, "design file")
      ->type_name("PATH")
      ->capture_default_str();
  design->footer(kDesignFooter);
  return design;
}

int run_design(const DesignOptions& options, const CommandLineContext& context) {
  const auto kind = design_kind_by_name(options.kind);
  if (!kind || *kind == DesignKind::file) {
    throw UsageError("design: " + in_quotes(options.kind) + " is not grid, lhs, sobol or morris");
  }
  // Each kind takes its own flags; another kind's is a mistake, not something to pass over.
  const struct {
    const char* flag;
    const std::string& text;
    std::initializer_list<DesignKind> kinds;
  } owned[] = {{"--samples", options.samples, {DesignKind::lhs, DesignKind::sobol}},
               {"--seed", options.seed, {DesignKind::lhs, DesignKind::sobol, DesignKind::morris}},
               {"--maximin", options.maximin, {DesignKind::lhs}},
               {"--trajectories", options.trajectories, {DesignKind::morris}},
               {"--levels", options.levels, {DesignKind::morris}}};
  for (const auto& [flag, text, kinds] : owned) {
    if (!text.empty() && std::find(kinds.begin(), kinds.end(), *kind) == kinds.end()) {
      throw UsageError(std::string(flag) + " is not for a " + options.kind + " design");
    }
  }
  auto required = [](const char* flag, const std::string& text) {
    if (text.empty()) throw UsageError(std::string(flag) + " is required");
    return parse_at_least(flag, text, 1);
  };
  Design design;
  try {
    if (*kind == DesignKind::grid) {
      if (!options.ranges.empty()) {
        throw UsageError("--range is not for a grid; give the values as lists (--sdr 0.5,1,2)");
      }
      design = grid_design(options.parameters.lists());
    } else {
      const SimulationParameters base = options.parameters.single();
      std::vector<ParameterRange> ranges;
      for (const auto& text : options.ranges) ranges.push_back(parse_range(text));
      for (const auto& range : ranges) {
        if (options.parameters.given(range.parameter)) {
          throw UsageError("--range " + range_text(range) + ": " +
                           std::string(kParameters[range.parameter].flag) +
                           " is given too; a parameter is either varied or fixed");
        }
      }
      if (*kind == DesignKind::lhs) {
        if (options.seed.empty()) throw UsageError("--seed is required for an lhs design");
        LhsRequest request{required("--samples", options.samples), seed_of(options.seed), 1};
        if (!options.maximin.empty()) {
          request.maximin = parse_at_least("--maximin", options.maximin, 1);
        }
        design = lhs_design(base, ranges, request);
      } else if (*kind == DesignKind::sobol) {
        SobolRequest request{required("--samples", options.samples), std::nullopt};
        if (!options.seed.empty()) request.seed = seed_of(options.seed);
        design = sobol_design(base, ranges, request);
      } else {
        MorrisRequest request{required("--trajectories", options.trajectories), 4, 1};
        if (!options.levels.empty()) request.levels = parse_at_least("--levels", options.levels, 2);
        if (!options.seed.empty()) request.seed = seed_of(options.seed);
        design = morris_design(base, ranges, request);
      }
    }
  } catch (const std::invalid_argument& error) {
    throw UsageError(error.what());
  } catch (const std::length_error& error) {
    throw UsageError(error.what());
  }
  write_file_atomically(options.output, design_csv(design));
  context.out << design.points.size() << " design points written to " << options.output << '\n';
  context.out.flush();
  return context.out ? 0 : kRuntimeFailure;
}

}  // namespace hostswitch
