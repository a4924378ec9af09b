#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace hostswitch {

// A results file that cannot be read or is not what the simulator writes; what() names the
// file and, for a fault in its content, the line (counted from 1).
class ResultsReadError : public std::runtime_error {
 public:
  ResultsReadError(const std::string& file, std::int64_t line, const std::string& problem);
  std::int64_t line() const { return line_; }  // 0 when the fault is not on one line

 private:
  std::int64_t line_;
};

// One class record whose generation, centre and count are all numbers.
struct ClassCell {
  std::int32_t n_g = 0;
  std::int32_t n_p = 0;
  double p_phe = 0.0;
};

// The fields that repeat on every record of a generation. A host optimum written as
// asterisks, NaN or Infinity reads as NaN; n_HS written as asterisks (too many to show)
// reads as -1, which still counts as a switch.
struct GenerationHosts {
  std::int32_t n_g = 0;
  double r_phe = 0.0;
  double rl_phe = 0.0;
  std::int32_t n_HS = 0;
  bool switched() const { return n_HS != 0; }
};

struct ResultsData {
  std::vector<ClassCell> cells;              // in file order
  std::vector<GenerationHosts> generations;  // increasing n_g, one per generation seen
  std::int64_t class_records = 0;            // every class record, skipped ones included
  // Records left out of the picture because n_g, p_phe or n_p is asterisks, NaN or Infinity.
  std::int64_t skipped_records = 0;
  // Generations whose r_phe or rl_phe is asterisks, NaN or Infinity.
  std::int64_t unplottable_hosts = 0;
};

// Checks a results file line by line as it arrives, keeping only what a picture needs.
// feed() takes any split of the bytes; finish() checks the end and hands the data over.
// Every fault throws ResultsReadError; memory stays bounded by the records kept.
class ResultsParser {
 public:
  explicit ResultsParser(std::string file_name);
  ~ResultsParser();
  ResultsParser(const ResultsParser&) = delete;
  ResultsParser& operator=(const ResultsParser&) = delete;

  void feed(std::string_view bytes);
  ResultsData finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The whole file in memory; `file_name` only names it in messages.
ResultsData parse_results(std::string_view bytes, const std::string& file_name);

// Reads the file in large blocks.
ResultsData read_results_file(const std::filesystem::path& path);

}  // namespace hostswitch
