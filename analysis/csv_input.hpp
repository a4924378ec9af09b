#pragma once

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

#include "base/csv.hpp"
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

// A field as a message quotes it (at most 80 characters).
inline std::string quoted(std::string_view field) { return quoted_field(field); }

// Calls on_record(fields, line) for every record of `reader` (line: where the record starts)
// and returns the lines read; the reader's refusals (a torn last line, an unclosed quote, a
// record longer than kMaxCsvRecord) become ReportInputError.
template <class OnRecord>
std::int64_t for_each_record_of(CsvReader& reader, OnRecord&& on_record) {
  try {
    while (reader.next()) on_record(reader.fields(), reader.line());
  } catch (const CsvError& error) {
    throw ReportInputError(error.what());
  }
  return reader.lines();
}

// for_each_record_of() a file.
template <class OnRecord>
std::int64_t for_each_record(const std::filesystem::path& path, const std::string& name,
                             OnRecord&& on_record) {
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                             &std::fclose);
  if (!file) throw ReportInputError(name + ": cannot be read");
  CsvReader reader(csv_file_source(file.get(), name), name);
  return for_each_record_of(reader, on_record);
}

// for_each_record_of() a text in memory, read as if it were the file `name`.
template <class OnRecord>
std::int64_t for_each_record_of_text(std::string_view text, const std::string& name,
                                     OnRecord&& on_record) {
  CsvReader reader(csv_text_source(text), name);
  return for_each_record_of(reader, on_record);
}

// The fields of a record when there are exactly `count`; false otherwise.
template <std::size_t Count>
bool exact_fields(std::span<const std::string_view> record, std::string_view (&fields)[Count]) {
  if (record.size() != Count) return false;
  std::copy(record.begin(), record.end(), fields);
  return true;
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
