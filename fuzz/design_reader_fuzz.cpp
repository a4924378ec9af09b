// Any bytes must either read as a design or be refused with DesignFileError, from a file and from
// memory alike; what is read must write back to a design that reads as the same, and its labels
// must fit a summary row that every reader takes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/csv.hpp"
#include "batch/design.hpp"
#include "batch/summary.hpp"
#include "fuzz/fuzz_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto path = hostswitch::fuzz::input_file(bytes, "design.csv");
  const hostswitch::SimulationParameters base = hostswitch::typical_parameters();
  bool from_file = false;
  try {
    (void)hostswitch::read_design(path, base);
    from_file = true;
  } catch (const hostswitch::DesignFileError&) {
  }
  try {
    const hostswitch::Design design = hostswitch::parse_design(bytes, "design.csv", base);
    if (!from_file) std::abort();  // the file and the text are read alike
    for (const auto& labels : design.labels) {
      if (hostswitch::kMaxSummaryStandardRow + 1 + labels.size() > hostswitch::kMaxCsvRecord) {
        std::abort();
      }
      if (hostswitch::csv_fields_of(labels, "labels").size() != design.label_names.size()) {
        std::abort();
      }
    }
    const hostswitch::Design again =
        hostswitch::parse_design(hostswitch::design_csv(design), "again.csv", base);
    if (again.points != design.points || again.labels != design.labels ||
        again.label_names != design.label_names) {
      std::abort();
    }
  } catch (const hostswitch::DesignFileError&) {
    if (from_file) std::abort();
  }
  return 0;
}
