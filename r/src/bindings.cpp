// The C++ side of the R package: texts from the library; the R side reads them as the
// command line's files are read.
#include <R_ext/Utils.h>
#include <Rcpp.h>

#include <atomic>
#include <optional>
#include <string>

#include "analysis/stats_table.hpp"
#include "batch/library_api.hpp"
#include "console/parameter_values.hpp"

using namespace hostswitch;

namespace {

NamedValueTexts named_texts(const Rcpp::List& params) {
  NamedValueTexts named;
  if (params.size() == 0) return named;
  const Rcpp::CharacterVector names = params.names();
  for (R_xlen_t i = 0; i < params.size(); ++i) {
    named.emplace_back(Rcpp::as<std::string>(names[i]),
                       Rcpp::as<std::vector<std::string>>(params[i]));
  }
  return named;
}

std::optional<std::string> optional_text(const Rcpp::Nullable<Rcpp::CharacterVector>& value) {
  if (value.isNull()) return std::nullopt;
  return Rcpp::as<std::string>(value.get());
}

void check_interrupt(void*) { R_CheckUserInterrupt(); }

// True when R has an interrupt pending; it is taken here instead of unwinding through C++.
bool interrupt_pending() { return R_ToplevelExec(check_interrupt, nullptr) == FALSE; }

Rcpp::RawVector raw_of(const std::string& text) {
  Rcpp::RawVector raw(text.size());
  std::copy(text.begin(), text.end(), raw.begin());
  return raw;
}

}  // namespace

// [[Rcpp::export]]
Rcpp::List library_run(Rcpp::List params, Rcpp::Nullable<Rcpp::CharacterVector> seed) {
  const SimulationParameters parameters = single_parameters_of(named_texts(params));
  const std::optional<std::string> seed_text = optional_text(seed);
  const std::int32_t count = seed_text ? parse_integer("--seed", *seed_text) : seed_from_clock();
  const ReplicateTexts texts = run_replicate_texts(parameters, count, true, true);
  return Rcpp::List::create(
      Rcpp::Named("extinct") = texts.row.extinct,
      Rcpp::Named("generations_run") = texts.row.generations_run,
      Rcpp::Named("switch_generations") = texts.row.switch_generations, Rcpp::Named("seed") = count,
      Rcpp::Named("results") = raw_of(texts.results), Rcpp::Named("trajectory") = texts.trajectory,
      Rcpp::Named("summary") = texts.summary);
}

// [[Rcpp::export]]
Rcpp::List library_sweep(Rcpp::List params, Rcpp::CharacterVector replicates,
                         Rcpp::Nullable<Rcpp::CharacterVector> seed,
                         Rcpp::Nullable<Rcpp::CharacterVector> jobs, bool trajectories,
                         Rcpp::Nullable<Rcpp::CharacterVector> summary, bool resume, bool progress,
                         Rcpp::Nullable<Rcpp::CharacterVector> design) {
  LibrarySweep sweep;
  sweep.lists = parameter_lists_of(named_texts(params));
  if (const auto path = optional_text(design)) {
    sweep.design = path_argument(*path, "design");
  } else {
    sweep.grid = checked_grid(sweep.lists);
  }
  sweep.replicates = parse_at_least("--replicates", Rcpp::as<std::string>(replicates), 1);
  const std::optional<std::string> seed_text = optional_text(seed);
  sweep.base_seed = seed_text ? parse_integer("--seed", *seed_text) : seed_from_clock();
  sweep.jobs = parse_jobs(optional_text(jobs).value_or(""));
  sweep.trajectories = trajectories;
  if (const auto path = optional_text(summary)) sweep.summary = path_argument(*path, "summary");
  sweep.resume = resume;
  std::atomic<bool> stop{false};
  sweep.stop = &stop;
  // Called on this thread, the only one that touches R.
  sweep.progress = [&](std::size_t done, std::size_t total) {
    if (!stop && interrupt_pending()) stop = true;
    if (progress) REprintf("\rsweep: %zu of %zu runs", done, total);
  };
  const SweepTexts texts = sweep_texts(sweep);
  if (progress) REprintf("\n");
  return Rcpp::List::create(
      Rcpp::Named("summary") = texts.summary, Rcpp::Named("trajectories") = texts.trajectories,
      Rcpp::Named("interrupted") = texts.interrupted, Rcpp::Named("message") = texts.message,
      Rcpp::Named("seed") = sweep.base_seed);
}

// [[Rcpp::export]]
std::string library_stats_table(std::string summary) {
  return stats_table_text(path_argument(summary, "summary"));
}

// [[Rcpp::export]]
void library_write_file(std::string path, Rcpp::RawVector bytes) {
  write_text_file(path_argument(path, "path"), std::string(bytes.begin(), bytes.end()));
}

// [[Rcpp::export]]
Rcpp::RawVector library_read_file(std::string path) {
  return raw_of(read_text_file(path_argument(path, "path")));
}
