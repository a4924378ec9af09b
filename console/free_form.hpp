#pragma once

#include <cstdint>
#include <initializer_list>
#include <istream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

namespace hostswitch {

// One item of a free-form output record: a text, or an integer that follows a text.
using FreeFormItem = std::variant<std::string_view, std::int32_t>;

inline constexpr std::string_view kConsoleLineEnd = "\n";
inline constexpr std::string_view kFileLineEnd = "\r\n";

// Lays out one free-form output record: a leading blank, at most 80 columns a line, texts
// longer than 79 characters cut every 79 characters, integers right-justified in 12 columns.
// Returns the record's lines, each ended by line_end.
std::string free_form_record(std::initializer_list<FreeFormItem> items,
                             std::string_view line_end = kConsoleLineEnd);

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
