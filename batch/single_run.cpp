#include "batch/single_run.hpp"

#include "batch/trajectory.hpp"
#include "model/uniform_stream.hpp"
#include "reporting/results_file.hpp"

namespace hostswitch {

double class_width(const SimulationParameters& parameters) { return parameters.sdr / 10.0; }

RunResult run_single(const SingleRun& run) {
  NullReporter none;
  Reporter& steps = run.steps ? *run.steps : none;
  auto outermost = [&run](Reporter& inner) -> Reporter& {
    if (!run.around) return inner;
    run.around->forward_to(inner);
    return *run.around;
  };
  UniformStream stream;
  if (!run.results) {
    Reporter& reporter = outermost(steps);
    init_random_seed(stream, run.seed());
    return run_population(run.parameters, stream, reporter, run.settings);
  }
  ResultsFile file(*run.results, class_width(run.parameters));
  ReporterPair both(file, steps);
  Reporter& reporter = outermost(both);
  init_random_seed(stream, run.seed());
  return run_into(file, reporter, run.parameters, stream, run.settings);
}

}  // namespace hostswitch
