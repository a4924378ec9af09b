#include "console/cli_design.hpp"

#include <ostream>

#include "api/study.hpp"
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
  DesignRequest request;
  request.kind = options.kind;
  request.ranges = options.ranges;
  request.samples = options.samples;
  request.seed = options.seed;
  request.maximin = options.maximin;
  request.trajectories = options.trajectories;
  request.levels = options.levels;
  request.lists = [&] { return options.parameters.lists(); };
  request.base = [&] { return options.parameters.single(); };
  for (std::size_t i = 0; i < kParameterCount; ++i) request.given[i] = options.parameters.given(i);
  const Design design = design_of(request);
  write_file_atomically(options.output, design_csv(design));
  context.out << design.points.size() << " design points written to " << options.output << '\n';
  context.out.flush();
  return context.out ? 0 : kRuntimeFailure;
}

}  // namespace hostswitch
