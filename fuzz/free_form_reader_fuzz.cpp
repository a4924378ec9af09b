// Arbitrary bytes as console input: reads integers and reals in turn until the reader
// reports an input error. Any other exception, a crash, a hang or undefined behaviour is a fault.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "console/free_form.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream input(std::string(reinterpret_cast<const char*>(data), size));
  hostswitch::FreeFormReader reader(input, "standard input");
  try {
    for (bool integer = true;; integer = !integer) {
      if (integer) {
        static_cast<void>(reader.read_integer());
      } else {
        static_cast<void>(reader.read_real());
      }
    }
  } catch (const hostswitch::FreeFormInputError&) {
    // Every input ends here, at the latest with the end of input.
  }
  return 0;
}
