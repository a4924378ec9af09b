#include "base/csv.hpp"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "base/io_failure.hpp"

namespace hostswitch {

namespace {

// Blocks grow from a record's cap to 4 MiB: a short text (a row's labels) costs little, a long
// file is read in large blocks.
constexpr std::size_t kFirstBlock = kMaxCsvRecord;
constexpr std::size_t kBlock = std::size_t{1} << 22;

}  // namespace

CsvReader::CsvReader(Read read, std::string name, CsvTorn torn)
    : read_(std::move(read)), name_(std::move(name)), torn_(torn), block_size_(kFirstBlock) {}

int CsvReader::peek() {
  if (at_ == block_.size()) {
    if (ended_) return -1;
    block_size_ = std::min(block_size_ * 2, kBlock);
    block_.resize(block_size_);
    block_.resize(read_(block_.data(), block_size_));
    at_ = 0;
    if (block_.empty()) {
      ended_ = true;
      return -1;
    }
    any_ = true;
  }
  return static_cast<unsigned char>(block_[at_]);
}

int CsvReader::get() {
  const int c = peek();
  if (c >= 0) ++at_;
  return c;
}

void CsvReader::fail(const std::string& problem) const {
  throw CsvError(name_ + ":" + std::to_string(line_) + ": " + problem);
}

void CsvReader::end_field() { ends_.push_back(text_.size()); }

bool CsvReader::next() {
  text_.clear();
  ends_.clear();
  fields_.clear();
  if (!started_) {
    started_ = true;
    // A byte-order mark only at the very start, where spreadsheets put it.
    // The first block holds at least its first three bytes, however short the reads.
    block_.resize(block_size_);
    std::size_t size = 0;
    for (std::size_t got = 1; size < 3 && got > 0; size += got) {
      got = read_(block_.data() + size, block_size_ - size);
    }
    block_.resize(size);
    ended_ = size < 3;
    any_ = size > 0;
    if (std::string_view(block_).substr(0, 3) == "\xEF\xBB\xBF") at_ = 3;
  }
  int c = get();
  if (c < 0) return false;
  line_ = lines_ + 1;
  enum class State { start, bare, quoted, after_quote } state = State::start;
  std::size_t size = 0;
  for (;; c = get()) {
    // The record's bytes but its final line end (a CR before it is let through).
    const bool ends = c == '\n' && state != State::quoted;
    if (c >= 0 && !ends && ++size > kMaxCsvRecord + 1) {
      fail("a record longer than " + std::to_string(kMaxCsvRecord) +
           " characters, more than any row of this file");
    }
    if (c < 0) {
      if (state == State::quoted) {
        if (torn_ == CsvTorn::skip) return false;
        fail("a quoted field is not closed before the end of the file (a torn line?)");
      }
      if (torn_ == CsvTorn::skip) return false;
      if (torn_ == CsvTorn::refuse) fail("torn line (no line end)");
      ++lines_;
      break;
    }
    const char ch = static_cast<char>(c);
    if (state == State::quoted) {
      if (ch == '"') {
        state = State::after_quote;
      } else {
        if (ch == '\n') ++lines_;
        text_ += ch;
      }
      continue;
    }
    if (ch == '\n') {
      ++lines_;
      break;
    }
    if (ch == '\r') {
      // A CR ends the record only before LF, which the next pass takes.
      if (peek() == '\n') continue;
      if (state == State::after_quote) fail("text after a closing quote");
      text_ += ch;
      state = State::bare;
      continue;
    }
    if (ch == ',') {
      end_field();
      state = State::start;
      continue;
    }
    if (ch == '"') {
      if (state == State::start) {
        state = State::quoted;
        continue;
      }
      if (state == State::after_quote) {
        text_ += '"';
        state = State::quoted;
        continue;
      }
      fail("a quote inside an unquoted field (quote the whole field and double the quote)");
    }
    if (state == State::after_quote) fail("text after a closing quote");
    text_ += ch;
    state = State::bare;
  }
  end_field();
  std::size_t from = 0;
  for (const std::size_t end : ends_) {
    fields_.emplace_back(text_.data() + from, end - from);
    from = end;
  }
  return true;
}

CsvReader::Read csv_text_source(std::string_view text) {
  return [text](char* buffer, std::size_t size) mutable {
    const std::size_t got = std::min(size, text.size());
    std::copy_n(text.data(), got, buffer);
    text.remove_prefix(got);
    return got;
  };
}

CsvReader::Read csv_file_source(std::FILE* file, const std::string& name) {
  return [file, name](char* buffer, std::size_t size) {
    const std::size_t got = std::fread(buffer, 1, size, file);
    if (std::ferror(file)) throw CsvError(io_failure_text("read", name, errno));
    return got;
  };
}

void append_csv_field(std::string& out, std::string_view field) {
  if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
    out += field;
    return;
  }
  out += '"';
  for (const char c : field) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

namespace {

template <class Field>
std::string fields_text(std::span<const Field> fields) {
  std::string text;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) text += ',';
    append_csv_field(text, fields[i]);
  }
  return text;
}

}  // namespace

std::string csv_fields_text(std::span<const std::string_view> fields) {
  return fields_text(fields);
}

std::string csv_fields_text(std::span<const std::string> fields) { return fields_text(fields); }

std::vector<std::string> csv_fields_of(std::string_view record, const std::string& name) {
  CsvReader reader(csv_text_source(record), name, CsvTorn::take);
  if (!reader.next()) return {std::string()};
  std::vector<std::string> fields(reader.fields().begin(), reader.fields().end());
  if (reader.next()) {
    throw CsvError(name + ":" + std::to_string(reader.line()) + ": a second record");
  }
  return fields;
}

}  // namespace hostswitch
