#include "base/io_failure.hpp"

#include <system_error>

namespace hostswitch {

std::string cause_text(int error_number) { return std::generic_category().message(error_number); }

std::string io_failure_text(std::string_view what, const std::filesystem::path& path,
                            int error_number) {
  std::string text = std::string(what) + " failure: " + path.string();
  if (error_number != 0) text += ": " + cause_text(error_number);
  return text;
}

}  // namespace hostswitch
