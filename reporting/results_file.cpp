#include "reporting/results_file.hpp"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "base/atomic_file.hpp"
#include "base/io_failure.hpp"
#include "model/model_errors.hpp"
#include "reporting/fixed_format.hpp"
#include "reporting/free_form_writer.hpp"
#include "reporting/histogram.hpp"

namespace hostswitch {

namespace {

constexpr std::size_t kBufferBytes = std::size_t{1} << 20;
constexpr std::string_view kWriteFailure = "write failure";

std::filesystem::path absolute_path(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute;
}

}  // namespace

ResultsFileError::ResultsFileError(std::string condition, std::filesystem::path path,
                                   int error_number)
    : std::runtime_error(condition + ": " + path.string() +
                         (error_number != 0 ? ": " + cause_text(error_number) : std::string())),
      condition_(std::move(condition)),
      path_(std::move(path)),
      error_number_(error_number) {}

std::string_view open_failure_condition(int error_number) {
  switch (error_number) {
    case ENOENT:
    case ENOTDIR:
      return "file not found";
    case EACCES:
    case EPERM:
    case EROFS:
      return "permission to access file denied";
    default:
      return "open failure";
  }
}

std::string results_header() {
  static constexpr std::string_view kTexts[] = {
      "This file is organized as following:",
      "--First column: generation time (n_g)",
      "--Second column: parasite phenotype with precision of +/- sdr/10,",
      "where sdr is the Standard deviation of the survival probability function (eqn 1) (p_phe)",
      "--Third column: number of parasites with that phenotype (n_p)",
      "--Fourth column: optimum phenotype imposed by the utilized host (r_phe)",
      "--Fifth column: optimum phenotype imposed by the new host (rl_phe)",
      "--Sixth column:  number of parasites that successfully host-switched (n_HS)",
  };
  std::string header;
  for (const std::string_view text : kTexts) header += free_form_record({text}, kFileLineEnd);
  return header;
}

std::string column_titles() {
  // Each title right-justified in its field; none skips before r_phe and rl_phe.
  return " "
         "     n_g"
         " "
         "           p_phe"
         " "
         "       n_p"
         "           r_phe"
         "          rl_phe"
         " "
         "    n_HS"
         "\r\n";
}

struct ResultsFile::State {
  std::optional<AtomicFile> file;
  int failure = 0;  // errno of a failed write: what was buffered is gone, so stop writing
  std::filesystem::path path;
  PhenotypeHistogram histogram;
  std::unique_ptr<char[]> buffer = std::unique_ptr<char[]>(new char[kBufferBytes]);
  std::size_t used = 0;

  State(std::filesystem::path file, double binw) : path(std::move(file)), histogram(binw) {}

  void append(std::string_view text) {
    while (!text.empty()) {
      if (used == kBufferBytes) write_out();
      const std::size_t piece = std::min(text.size(), kBufferBytes - used);
      std::memcpy(buffer.get() + used, text.data(), piece);
      used += piece;
      text.remove_prefix(piece);
    }
  }

  void write_out() {
    if (failure != 0) throw ResultsFileError(std::string(kWriteFailure), path, failure);
    try {
      file->write(std::string_view(buffer.get(), used));
    } catch (const IoFailure& error) {
      failure = error.error_number();
      used = 0;
      throw ResultsFileError(std::string(kWriteFailure), path, failure);
    }
    used = 0;
  }
};

ResultsFile::ResultsFile(const std::filesystem::path& path, double binw)
    : state_(std::make_unique<State>(absolute_path(path), binw)) {
  try {
    state_->file.emplace(path);
  } catch (const IoFailure& error) {
    throw ResultsFileError(std::string(open_failure_condition(error.error_number())), state_->path,
                           error.error_number());
  }
  state_->append(results_header());
  state_->append(column_titles());
}

// Not closed: the run did not end, so the old file stays.
ResultsFile::~ResultsFile() = default;

void ResultsFile::report(const GenerationRecord& generation) {
  State& state = *state_;
  if (!state.file) throw std::logic_error("results file reported after close");
  const auto classes =
      generation.has_range
          ? state.histogram.classes(generation.pop, generation.pop_min, generation.pop_max)
          : state.histogram.classes(generation.pop);
  for (const PhenotypeClass& c : classes) {
    if (kBufferBytes - state.used < kClassRecordBytes) state.write_out();
    char* const end = put_class_record(state.buffer.get() + state.used, generation.n_g, c.centre,
                                       c.n_p, generation.r_phe, generation.rl_phe, generation.n_HS);
    state.used = static_cast<std::size_t>(end - state.buffer.get());
  }
}

ClassTally* ResultsFile::begin_tally(std::span<const double> pop, double pop_min, double pop_max) {
  return state_->histogram.begin_tally(pop, pop_min, pop_max);
}

void ResultsFile::flush() {
  if (state_->file) state_->write_out();
}

void ResultsFile::close() {
  State& state = *state_;
  if (!state.file) return;
  try {
    state.write_out();
    state.file->commit();
  } catch (const IoFailure& error) {
    state.file.reset();
    throw ResultsFileError(std::string(kWriteFailure), state.path, error.error_number());
  } catch (...) {
    state.file.reset();
    throw;
  }
  state.file.reset();
}

RunResult run_into(ResultsFile& file, Reporter& reporter, const SimulationParameters& parameters,
                   UniformStream& stream, const RunSettings& settings) {
  RunResult result;
  try {
    result = run_population(parameters, stream, reporter, settings);
  } catch (const std::runtime_error& error) {
    // A run the model ended (memory, the exponential's domain) keeps the records it made, as
    // the interactive program does; a run abandoned from outside leaves the old file.
    if (dynamic_cast<const InsufficientMemory*>(&error) != nullptr ||
        dynamic_cast<const ExpDomainError*>(&error) != nullptr) {
      try {
        file.close();
      } catch (...) {  // the run's own failure is the one to report
      }
    }
    throw;
  } catch (const std::bad_alloc&) {
    try {
      file.close();
    } catch (...) {
    }
    throw;
  }
  file.close();
  return result;
}

}  // namespace hostswitch
