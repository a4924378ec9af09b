// The C++ side of the R package: texts from the library; the R side reads them as the
// command line's files are read.
#include <R_ext/Utils.h>
#include <Rcpp.h>

#include <atomic>
#include <optional>
#include <string>

#include "api/study.hpp"

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
  const RunTexts texts = run_request(named_texts(params), optional_text(seed));
  return Rcpp::List::create(
      Rcpp::Named("extinct") = texts.row.extinct,
      Rcpp::Named("generations_run") = texts.row.generations_run,
      Rcpp::Named("switch_generations") = texts.row.switch_generations,
      Rcpp::Named("seed") = texts.seed, Rcpp::Named("results") = raw_of(texts.results),
      Rcpp::Named("trajectory") = texts.trajectory, Rcpp::Named("summary") = texts.summary);
}

// [[Rcpp::export]]
Rcpp::List library_sweep(Rcpp::List params, Rcpp::CharacterVector replicates,
                         Rcpp::Nullable<Rcpp::CharacterVector> seed,
                         Rcpp::Nullable<Rcpp::CharacterVector> jobs, bool trajectories,
                         Rcpp::Nullable<Rcpp::CharacterVector> summary, bool resume, bool progress,
                         Rcpp::Nullable<Rcpp::CharacterVector> design) {
  LibrarySweep sweep = library_sweep_of(SweepArguments{
      named_texts(params), Rcpp::as<std::string>(replicates), optional_text(seed),
      optional_text(jobs), optional_text(summary), optional_text(design), trajectories, resume});
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
Rcpp::List library_table(std::string text, std::string name) {
  const std::vector<TableColumn> columns = csv_table(text, name);
  Rcpp::List frame(columns.size());
  Rcpp::CharacterVector names(columns.size());
  R_xlen_t rows = 0;
  for (std::size_t k = 0; k < columns.size(); ++k) {
    const TableColumn& column = columns[k];
    names[k] = column.name;
    rows = static_cast<R_xlen_t>(column.absent.size());
    switch (column.kind) {
      case TableColumn::Kind::missing:
        frame[k] = Rcpp::LogicalVector(rows, NA_LOGICAL);
        break;
      case TableColumn::Kind::integer: {
        Rcpp::IntegerVector values(rows);
        for (R_xlen_t i = 0; i < rows; ++i) {
          values[i] = column.absent[i] ? NA_INTEGER : static_cast<int>(column.numbers[i]);
        }
        frame[k] = values;
        break;
      }
      case TableColumn::Kind::real: {
        Rcpp::NumericVector values(rows);
        for (R_xlen_t i = 0; i < rows; ++i) {
          values[i] = column.absent[i] ? NA_REAL : column.numbers[i];
        }
        frame[k] = values;
        break;
      }
      case TableColumn::Kind::text: {
        Rcpp::CharacterVector values(rows);
        for (R_xlen_t i = 0; i < rows; ++i) {
          values[i] = column.absent[i] ? Rcpp::String(NA_STRING) : Rcpp::String(column.texts[i]);
        }
        frame[k] = values;
        break;
      }
    }
  }
  frame.attr("names") = names;
  frame.attr("class") = "data.frame";
  frame.attr("row.names") = Rcpp::IntegerVector::create(NA_INTEGER, -static_cast<int>(rows));
  return frame;
}

// [[Rcpp::export]]
std::string library_design(std::string kind, Rcpp::List params, Rcpp::CharacterVector ranges,
                           std::string samples, std::string seed, std::string maximin,
                           std::string trajectories, std::string levels) {
  DesignRequest request = design_request_of(kind, named_texts(params));
  request.ranges = Rcpp::as<std::vector<std::string>>(ranges);
  request.samples = samples;
  request.seed = seed;
  request.maximin = maximin;
  request.trajectories = trajectories;
  request.levels = levels;
  return design_text(request);
}

// [[Rcpp::export]]
std::string library_stats_table(std::string summary, std::vector<std::string> at) {
  return stats_text(SummaryInput{summary, false, generations_of(at)});
}

// [[Rcpp::export]]
std::string library_sensitivity_table(std::string summary, std::vector<std::string> at) {
  return sensitivity_text(SummaryInput{summary, false, generations_of(at)});
}

// [[Rcpp::export]]
std::string library_boxes_table(std::string summary, std::string where, double min_density) {
  return boxes_text(SummaryInput{summary, false, {}}, where, min_density);
}

// [[Rcpp::export]]
std::string library_plot(std::string results, Rcpp::Nullable<Rcpp::CharacterVector> picture,
                         Rcpp::Nullable<Rcpp::CharacterVector> title,
                         Rcpp::Nullable<Rcpp::CharacterVector> summary,
                         Rcpp::Nullable<Rcpp::CharacterVector> row, bool log_population) {
  PlotRequest request{path_argument(results, "results"), optional_text(title), std::nullopt,
                      optional_text(row), log_population};
  if (const auto path = optional_text(summary)) request.summary = path_argument(*path, "summary");
  const std::optional<std::string> output = optional_text(picture);
  if (!output) return plot_svg(request);
  plot_file(request, path_argument(*output, "output"));
  return std::string();
}

// [[Rcpp::export]]
std::vector<std::string> library_number_texts(std::vector<double> values) {
  return number_texts(values);
}

// [[Rcpp::export]]
void library_write_file(std::string path, Rcpp::RawVector bytes) {
  write_text_file(path_argument(path, "path"), std::string(bytes.begin(), bytes.end()));
}

// [[Rcpp::export]]
Rcpp::RawVector library_read_file(std::string path) {
  return raw_of(read_text_file(path_argument(path, "path")));
}
