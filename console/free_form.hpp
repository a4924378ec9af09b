#pragma once

// Free-form input: one typed value per line.

#include <cstdint>
#include <istream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace hostswitch {

// A free-form read that failed; what() names the condition and the input channel.
class FreeFormInputError : public std::runtime_error {
 public:
  FreeFormInputError(std::string condition, std::string channel);
  const std::string& condition() const { return condition_; }
  const std::string& channel() const { return channel_; }

 private:
  std::string condition_;
  std::string channel_;
};

inline constexpr std::string_view kSyntaxError = "list-directed I/O syntax error";
inline constexpr std::string_view kConversionError = "input conversion error";
inline constexpr std::string_view kEndOfFile = "end-of-file during read";

// Reads one value per call, each from a fresh line; the rest of that line is discarded.
// A null value or a slash gives 0. An integer field takes a real value truncated toward zero,
// keeping the low 32 bits of the 64-bit truncation; a truncation outside the 64-bit range
// counts as 0x8000000000000000 and so gives 0. Values beyond the double range are a
// conversion error; values below the smallest subnormal read as zero.
class FreeFormReader {
 public:
  // `channel` names the input in error messages, e.g. "standard input".
  FreeFormReader(std::istream& input, std::string channel);

  std::int32_t read_integer();
  double read_real();

 private:
  // The text of the next value, or nothing for a null value or a slash.
  std::optional<std::string> next_value();
  [[noreturn]] void fail(bool syntax) const;

  std::istream& input_;
  std::string channel_;
};

}  // namespace hostswitch
