// Any bytes must either read as a results file or raise ResultsReadError; a picture made
// of what reads must be produced without fault.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "reporting/plot.hpp"
#include "reporting/results_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  try {
    // Fed in two pieces split at a byte-chosen place, so carried partial lines are exercised.
    hostswitch::ResultsParser parser("fuzz.txt");
    const std::size_t split = size == 0 ? 0 : data[0] % (size + 1);
    parser.feed(bytes.substr(0, split));
    parser.feed(bytes.substr(split));
    const hostswitch::ResultsData results = parser.finish();
    (void)hostswitch::render_results_svg(results, "fuzz.txt");
  } catch (const hostswitch::ResultsReadError&) {
  }
  return 0;
}
