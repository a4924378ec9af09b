#pragma once

// The one CSV reader and field writer of every file another tool may have written or will
// read: quoted fields (commas, doubled quotes and line breaks inside), a byte-order mark at the
// start, LF or CR LF line ends. A small state machine of our own rather than a system library:
// the same readers are compiled to WebAssembly, where only header-only libraries are reachable.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace hostswitch {

// The longest record (line ends included) any reader takes, and so the longest any writer may
// write: a longer one (/dev/zero, a file of another kind) is refused rather than held.
inline constexpr std::size_t kMaxCsvRecord = 4096;

// What a CSV text cannot be read as; what() is "name:line: problem", the line being where
// the record at fault starts (counted from 1).
class CsvError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What to do with a last record without its line end: refuse it (a torn write), take it, or
// leave it out.
enum class CsvTorn { refuse, take, skip };

// Reads records one at a time from `read(buffer, size)`, which gives up to `size` bytes and
// 0 at the end; holds at most one block and one record.
class CsvReader {
 public:
  using Read = std::function<std::size_t(char*, std::size_t)>;
  CsvReader(Read read, std::string name, CsvTorn torn = CsvTorn::refuse);

  // The next record into fields(); false at the end of the text.
  bool next();
  // The current record's fields, valid until the next call of next().
  std::span<const std::string_view> fields() const { return fields_; }
  // The line on which the current record starts.
  std::int64_t line() const { return line_; }
  // Lines read so far, the current record's included.
  std::int64_t lines() const { return lines_; }
  // Whether the text held a byte (a byte-order mark counts).
  bool any() const { return any_; }
  const std::string& name() const { return name_; }

 private:
  int peek();  // the next byte, or -1 at the end
  int get();   // the same, taken
  [[noreturn]] void fail(const std::string& problem) const;
  void end_field();

  Read read_;
  std::string name_;
  CsvTorn torn_;
  std::string block_;
  std::size_t block_size_;  // of the next read
  std::size_t at_ = 0;
  bool started_ = false;
  bool ended_ = false;
  bool any_ = false;
  std::string text_;               // the current record's fields, unquoted, back to back
  std::vector<std::size_t> ends_;  // where each field ends in text_
  std::vector<std::string_view> fields_;
  std::int64_t line_ = 0;
  std::int64_t lines_ = 0;
};

// A reader of a text in memory (which must outlive it), or of an open file (read failures
// throw CsvError "read failure: name: cause").
CsvReader::Read csv_text_source(std::string_view text);
CsvReader::Read csv_file_source(std::FILE* file, const std::string& name);

// Appends `field` as a CSV field: in quotes, with its quotes doubled, when it holds a comma,
// a quote, CR or LF; bare otherwise, so a plain field is written as it is.
void append_csv_field(std::string& out, std::string_view field);
// Fields joined by commas, each as append_csv_field writes it (no line end).
std::string csv_fields_text(std::span<const std::string_view> fields);
std::string csv_fields_text(std::span<const std::string> fields);
// The fields of one record's text (as csv_fields_text writes it); throws CsvError naming
// `name` and line 1 when it is not one well-formed record.
std::vector<std::string> csv_fields_of(std::string_view record, const std::string& name);

}  // namespace hostswitch
