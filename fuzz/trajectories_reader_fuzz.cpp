// A summary and a trajectories file from one input (split at a byte-chosen place): each must read
// or be refused with ReportInputError, the trajectories checked against the summary.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "analysis/csv_input.hpp"
#include "analysis/summary_data.hpp"
#include "analysis/trajectory_data.hpp"
#include "fuzz/fuzz_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::size_t split = bytes.find('\x1e');  // a record separator between the two files
  const auto summary_path = hostswitch::fuzz::input_file(bytes.substr(0, split), "summary.csv");
  const auto trajectories_path = hostswitch::fuzz::input_file(
      split == std::string_view::npos ? std::string_view() : bytes.substr(split + 1),
      "trajectories.csv");
  try {
    const hostswitch::SummaryData summary = hostswitch::read_summary(summary_path);
    (void)hostswitch::read_trajectories(trajectories_path, summary);
  } catch (const hostswitch::ReportInputError&) {
  }
  return 0;
}
