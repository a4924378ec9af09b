// Any bytes must either read as a summary or be refused with the readers' own errors, both by
// merge's reader (and the check of a row against the sweep that writes it) and by report's.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "analysis/csv_input.hpp"
#include "analysis/summary_data.hpp"
#include "batch/manifest.hpp"
#include "batch/summary.hpp"
#include "batch/summary_check.hpp"
#include "fuzz/fuzz_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto path = hostswitch::fuzz::input_file(bytes, "summary.csv");
  const hostswitch::SimulationParameters typical = hostswitch::typical_parameters();
  try {
    hostswitch::read_summary_rows(
        path, hostswitch::TornTail::skip, [&](const hostswitch::SummaryFileRow& row) {
          (void)hostswitch::row_difference(row.fields, typical, row.grid_index, row.replicate, 7);
        });
  } catch (const hostswitch::SummaryError&) {
  }
  try {
    (void)hostswitch::read_summary(path);
  } catch (const hostswitch::ReportInputError&) {
  }
  return 0;
}
