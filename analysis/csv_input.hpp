#pragma once

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

#include "base/io_failure.hpp"
#include "base/number_chars.hpp"

namespace hostswitch {

// An input of `report` that cannot be read or is not what it should be; what() names the
// file and, for a fault in its content, the line (counted from 1).
class ReportInputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline ReportInputError input_error(const std::string& file, std::int64_t line,
                                    const std::string& problem) {
  return ReportInputError(file + ":" + std::to_string(line) + ": " + problem);
}

// Longer than any line of a summary or trajectories file by far: a longer one (/dev/zero, a
// file of another kind) is refused rather than held.
inline constexpr std::size_t kMaxInputLine = 4096;

// A field as a message quotes it (at most 80 characters).
inline std::string quoted(std::string_view field) { return quoted_field(field); }

// Calls on_line(line, number) for every line of what read(buffer, size) gives, a block at a
// time, until it gives 0 bytes; the line end (LF, or CR LF) is not part of the line. A last
// line without its end, and a line longer than kMaxInputLine, are refused.
template <class Read, class OnLine>
std::int64_t for_each_line_read(Read&& read, const std::string& name, OnLine&& on_line) {
  constexpr std::size_t kBlock = 1 << 22;
  std::string buffer;
  std::size_t kept = 0;  // bytes of a line begun in an earlier block
  std::int64_t number = 0;
  for (;;) {
    buffer.resize(kept + kBlock);
    const std::size_t got = read(buffer.data() + kept, kBlock);
    const std::size_t size = kept + got;
    const std::string_view block(buffer.data(), size);
    std::size_t start = 0;
    for (;;) {
      const std::size_t end = block.find('\n', start);
      if (end == std::string_view::npos) break;
      std::string_view line = block.substr(start, end - start);
      if (line.size() > kMaxInputLine + 1) {
        throw input_error(name, number + 1,
                          "a line longer than " + std::to_string(kMaxInputLine) +
                              " characters, more than any row of this file");
      }
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      on_line(line, ++number);
      start = end + 1;
    }
    kept = size - start;
    if (kept > kMaxInputLine) {
      throw input_error(name, number + 1,
                        "a line longer than " + std::to_string(kMaxInputLine) +
                            " characters, more than any row of this file");
    }
    if (got == 0) {
      if (kept > 0) throw input_error(name, number + 1, "torn line (no line end)");
      return number;
    }
    buffer.erase(0, start);
  }
}

// for_each_line_read() of a file.
template <class OnLine>
std::int64_t for_each_line(const std::filesystem::path& path, const std::string& name,
                           OnLine&& on_line) {
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                             &std::fclose);
  if (!file) throw ReportInputError(name + ": cannot be read");
  auto read = [&file, &name](char* buffer, std::size_t size) {
    const std::size_t got = std::fread(buffer, 1, size, file.get());
    if (std::ferror(file.get())) throw ReportInputError(name + ": read failure");
    return got;
  };
  return for_each_line_read(read, name, on_line);
}

// for_each_line_read() of a text in memory, read as if it were the file `name`.
template <class OnLine>
std::int64_t for_each_line_of_text(std::string_view text, const std::string& name,
                                   OnLine&& on_line) {
  auto read = [&text](char* buffer, std::size_t size) {
    const std::size_t got = std::min(size, text.size());
    std::copy_n(text.data(), got, buffer);
    text.remove_prefix(got);
    return got;
  };
  return for_each_line_read(read, name, on_line);
}

// Splits a line at commas into exactly `count` fields; false when the count differs.
template <std::size_t Count>
bool split_exact(std::string_view line, std::string_view (&fields)[Count], std::size_t& found) {
  std::size_t start = 0;
  found = 0;
  for (;;) {
    const std::size_t comma = line.find(',', start);
    const std::string_view field = line.substr(
        start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
    if (found < Count) fields[found] = field;
    ++found;
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return found == Count;
}

template <class Number>
std::optional<Number> parse_number(std::string_view text) {
  Number value{};
  if (text.empty()) return std::nullopt;
  const char* const end = text.data() + text.size();
  std::from_chars_result result;
  if constexpr (std::is_same_v<Number, double>) {
    result = double_from_chars(text.data(), end, value);
  } else {
    result = std::from_chars(text.data(), end, value);
  }
  if (result.ec != std::errc{} || result.ptr != end) return std::nullopt;
  return value;
}

// A column's integer, or a finite real; `fail(problem)` must not return.
template <class Fail>
std::int32_t integer_field(std::string_view text, const char* column, const Fail& fail) {
  const auto value = parse_number<std::int32_t>(text);
  if (!value) fail(std::string(column) + ": " + quoted(text) + " is not an integer");
  return *value;
}

template <class Fail>
double real_field(std::string_view text, const char* column, const Fail& fail) {
  const auto value = parse_number<double>(text);
  if (!value || !std::isfinite(*value)) {
    fail(std::string(column) + ": " + quoted(text) + " is not a finite number");
  }
  return *value;
}

}  // namespace hostswitch
