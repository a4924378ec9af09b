#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace hostswitch {

// "<what> failure: <path>: <cause>", the cause being the system's text for `error_number`
// ("No space left on device"); without a cause (0) the text ends at the path.
std::string io_failure_text(std::string_view what, const std::filesystem::path& path,
                            int error_number);

// The system's text for `error_number`, as appended to a message after ": ".
std::string cause_text(int error_number);

// A field of a file as a message quotes it: in single quotes, at most 80 characters (then its
// length), control characters (a NUL among them) as \xHH.
std::string quoted_field(std::string_view field);

class IoFailure : public std::runtime_error {
 public:
  IoFailure(std::string_view what, const std::filesystem::path& path, int error_number)
      : std::runtime_error(io_failure_text(what, path, error_number)),
        error_number_(error_number) {}
  int error_number() const { return error_number_; }

 private:
  int error_number_;
};

}  // namespace hostswitch
