#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "model/population_model.hpp"

namespace hostswitch {

inline constexpr std::string_view kResultsFileName = "output.txt";

// Open, write and close failures of the results file; what() holds the condition
// ("file not found", "permission to access file denied", "open failure", "write failure"),
// the file's full path and the cause from errno: "write failure: /x/output.txt: No space
// left on device".
class ResultsFileError : public std::runtime_error {
 public:
  ResultsFileError(std::string condition, std::filesystem::path path, int error_number);
  const std::string& condition() const { return condition_; }
  const std::filesystem::path& path() const { return path_; }
  int error_number() const { return error_number_; }

 private:
  std::string condition_;
  std::filesystem::path path_;
  int error_number_;
};

// The condition an open failure reports for an errno value: "file not found",
// "permission to access file denied" or "open failure".
std::string_view open_failure_condition(int error_number);

// The nine header lines and the column titles, CR LF ended.
std::string results_header();
std::string column_titles();

// The results file: header and titles on open, one generation's class records per report
// (the SAIDA routine), flushed and closed on close(). Writes through one large buffer.
class ResultsFile final : public Reporter {
 public:
  // Starts the file (written beside the path until close()) with the header and the titles.
  ResultsFile(const std::filesystem::path& path, double binw);
  ~ResultsFile() override;  // not closed: the file at the path stays as it was
  ResultsFile(const ResultsFile&) = delete;
  ResultsFile& operator=(const ResultsFile&) = delete;

  void report(const GenerationRecord& generation) override;
  ClassTally* begin_tally(std::span<const double> pop, double pop_min, double pop_max) override;
  void flush();  // throws ResultsFileError("write failure", ...)
  void close();  // writes what is buffered and puts the file in place; throws on failure

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Runs the model reporting to `reporter` (the file itself, or a reporter that writes to it),
// then closes the file; if the run fails, every record already written is flushed first.
RunResult run_into(ResultsFile& file, Reporter& reporter, const SimulationParameters& parameters,
                   UniformStream& stream, const RunSettings& settings = {});

}  // namespace hostswitch
