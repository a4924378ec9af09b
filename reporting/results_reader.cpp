#include "reporting/results_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <system_error>

#include "base/number_chars.hpp"
#include "reporting/results_file.hpp"

namespace hostswitch {

namespace {

constexpr std::int64_t kHeaderLines = 10;  // nine header lines and the column titles
constexpr std::size_t kRecordColumns = 77;
// The longest line a results file holds: 80 columns and the CR.
constexpr std::size_t kLongestLine = 81;

std::string describe(std::int64_t line, const std::string& problem) {
  if (line <= 0) return problem;
  return "line " + std::to_string(line) + ": " + problem;
}

// A field's text fit for a message: bytes that would not show are printed as '?'.
std::string shown(std::string_view text) {
  std::string out = "\"";
  for (char c : text) out += (c >= 0x20 && c < 0x7F) ? c : '?';
  return out + "\"";
}

std::vector<std::string> split_crlf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) break;
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

enum class FieldKind { kNumber, kAsterisks, kNotFinite };

struct Field {
  FieldKind kind = FieldKind::kNumber;
  double real = 0.0;
  std::int64_t integer = 0;
};

bool all_of(std::string_view text, char c) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [c](char x) { return x == c; });
}

std::string_view without_leading_blanks(std::string_view text) {
  const std::size_t first = text.find_first_not_of(' ');
  return first == std::string_view::npos ? std::string_view() : text.substr(first);
}

bool is_digits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

struct ColumnField {
  std::size_t first;  // 1-based first column
  std::size_t last;   // 1-based last column
  const char* name;
};

constexpr ColumnField kNg{2, 9, "n_g"};
constexpr ColumnField kPphe{11, 25, "p_phe"};
constexpr ColumnField kNp{27, 36, "n_p"};
constexpr ColumnField kRphe{38, 52, "r_phe"};
constexpr ColumnField kRlphe{54, 68, "rl_phe"};
constexpr ColumnField kNhs{70, 77, "n_HS"};
constexpr std::size_t kBlankColumns[] = {1, 10, 26, 37, 53, 69};

std::string_view field_text(std::string_view record, const ColumnField& field) {
  return record.substr(field.first - 1, field.last - field.first + 1);
}

}  // namespace

ResultsReadError::ResultsReadError(const std::string& file, std::int64_t line,
                                   const std::string& problem)
    : std::runtime_error(file + ": " + describe(line, problem)), line_(line) {}

struct ResultsParser::State {
  std::string file;
  std::vector<std::string> header;
  std::string carry;  // the start of a line whose LF has not arrived yet
  std::int64_t line = 0;
  bool saw_bytes = false;
  ResultsData data;
  // The raw host fields of the generation being read, to check that they repeat.
  std::int32_t current_generation = 0;
  std::string current_hosts;
  double last_centre = -std::numeric_limits<double>::infinity();

  [[noreturn]] void fail(const std::string& problem) const {
    throw ResultsReadError(file, line, problem);
  }

  std::string where(const ColumnField& field) const {
    return "columns " + std::to_string(field.first) + "-" + std::to_string(field.last) + " (" +
           field.name + ")";
  }

  Field integer_field(std::string_view record, const ColumnField& column) const {
    const std::string_view text = field_text(record, column);
    Field field;
    if (all_of(text, '*')) {
      field.kind = FieldKind::kAsterisks;
      return field;
    }
    std::string_view digits = without_leading_blanks(text);
    const bool negative = !digits.empty() && digits.front() == '-';
    if (negative) digits.remove_prefix(1);
    if (!is_digits(digits)) fail(where(column) + " hold " + shown(text) + ", not an integer");
    std::int64_t value = 0;
    // At most ten digits: always within 64 bits.
    std::from_chars(digits.data(), digits.data() + digits.size(), value);
    field.integer = negative ? -value : value;
    return field;
  }

  Field fixed_field(std::string_view record, const ColumnField& column) const {
    const std::string_view text = field_text(record, column);
    Field field;
    if (all_of(text, '*')) {
      field.kind = FieldKind::kAsterisks;
      return field;
    }
    if (text.front() == ' ') {
      std::string_view word = text.substr(1);
      const std::size_t end = word.find_last_not_of(' ');
      word = end == std::string_view::npos ? std::string_view() : word.substr(0, end + 1);
      if (word == "NaN" || word == "Infinity" || word == "-Infinity") {
        field.kind = FieldKind::kNotFinite;
        field.real = std::numeric_limits<double>::quiet_NaN();
        return field;
      }
    }
    std::string_view number = without_leading_blanks(text);
    std::string_view unsigned_part = number;
    if (!unsigned_part.empty() && unsigned_part.front() == '-') unsigned_part.remove_prefix(1);
    const std::size_t point = unsigned_part.find('.');
    const bool well_formed = point != std::string_view::npos && point >= 1 &&
                             is_digits(unsigned_part.substr(0, point)) &&
                             unsigned_part.size() - point == 4 &&
                             is_digits(unsigned_part.substr(point + 1));
    if (!well_formed) {
      fail(where(column) + " hold " + shown(text) + ", not a number with 3 decimals");
    }
    double_from_chars(number.data(), number.data() + number.size(), field.real,
                      std::chars_format::fixed);
    return field;
  }

  void header_line(std::string_view content) {
    const std::string& expected = header[static_cast<std::size_t>(line - 1)];
    if (content != expected) {
      fail("not a results file: this line should read " + shown(expected) + " but reads " +
           shown(content.substr(0, 100)));
    }
  }

  void class_record(std::string_view record) {
    if (record.size() != kRecordColumns) {
      fail("a class record has 77 columns, this line has " + std::to_string(record.size()));
    }
    for (std::size_t column : kBlankColumns) {
      if (record[column - 1] != ' ') {
        fail("column " + std::to_string(column) + " should be blank but holds " +
             shown(record.substr(column - 1, 1)));
      }
    }
    const Field n_g = integer_field(record, kNg);
    const Field p_phe = fixed_field(record, kPphe);
    const Field n_p = integer_field(record, kNp);
    const Field r_phe = fixed_field(record, kRphe);
    const Field rl_phe = fixed_field(record, kRlphe);
    const Field n_HS = integer_field(record, kNhs);
    ++data.class_records;

    if (n_g.kind == FieldKind::kNumber && n_g.integer < 1) {
      fail("generation " + std::to_string(n_g.integer) + " is below 1");
    }
    if (n_p.kind == FieldKind::kNumber &&
        (n_p.integer < 1 || n_p.integer > std::numeric_limits<std::int32_t>::max())) {
      fail("class count n_p = " + std::to_string(n_p.integer) +
           " is out of range (a record is written only for 1 or more parasites)");
    }
    if (n_HS.kind == FieldKind::kNumber && n_HS.integer < 0) {
      fail("n_HS = " + std::to_string(n_HS.integer) + " is negative");
    }
    if (n_g.kind != FieldKind::kNumber) {
      ++data.skipped_records;  // a record that belongs to no known generation
      return;
    }
    const auto generation = static_cast<std::int32_t>(n_g.integer);
    const std::string_view hosts = record.substr(kRphe.first - 1);
    if (generation == current_generation) {
      if (hosts != current_hosts) {
        fail("r_phe, rl_phe or n_HS differs from the earlier records of generation " +
             std::to_string(generation));
      }
    } else {
      if (generation < current_generation) {
        fail("generation " + std::to_string(generation) + " follows generation " +
             std::to_string(current_generation) + " (generations must increase)");
      }
      current_generation = generation;
      current_hosts.assign(hosts);
      last_centre = -std::numeric_limits<double>::infinity();
      GenerationHosts g;
      g.n_g = generation;
      g.r_phe =
          r_phe.kind == FieldKind::kNumber ? r_phe.real : std::numeric_limits<double>::quiet_NaN();
      g.rl_phe = rl_phe.kind == FieldKind::kNumber ? rl_phe.real
                                                   : std::numeric_limits<double>::quiet_NaN();
      g.n_HS = n_HS.kind == FieldKind::kNumber ? static_cast<std::int32_t>(n_HS.integer) : -1;
      if (r_phe.kind != FieldKind::kNumber || rl_phe.kind != FieldKind::kNumber) {
        ++data.unplottable_hosts;
      }
      data.generations.push_back(g);
    }
    if (p_phe.kind != FieldKind::kNumber || n_p.kind != FieldKind::kNumber) {
      ++data.skipped_records;
      return;
    }
    if (p_phe.real < last_centre) {
      fail("class centre " + std::string(without_leading_blanks(field_text(record, kPphe))) +
           " is below the previous class of generation " + std::to_string(generation));
    }
    last_centre = p_phe.real;
    data.cells.push_back({generation, static_cast<std::int32_t>(n_p.integer), p_phe.real});
  }

  void complete_line(std::string_view line_bytes) {
    ++line;
    if (line_bytes.empty() || line_bytes.back() != '\r') {
      fail("the line ends in a bare LF; lines of a results file end in CR LF");
    }
    line_bytes.remove_suffix(1);
    if (line <= kHeaderLines) {
      header_line(line_bytes);
    } else {
      class_record(line_bytes);
    }
  }
};

ResultsParser::ResultsParser(std::string file_name) : state_(std::make_unique<State>()) {
  state_->file = std::move(file_name);
  state_->header = split_crlf(results_header() + column_titles());
}

ResultsParser::~ResultsParser() = default;

void ResultsParser::feed(std::string_view bytes) {
  State& s = *state_;
  if (!bytes.empty()) s.saw_bytes = true;
  while (!bytes.empty()) {
    const std::size_t newline = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, newline);
    if (s.carry.size() + piece.size() > kLongestLine) {
      ++s.line;
      s.fail("the line is longer than any line of a results file (" + std::to_string(kLongestLine) +
             " bytes with its CR)");
    }
    if (newline == std::string_view::npos) {
      s.carry.append(piece);
      return;
    }
    if (s.carry.empty()) {
      s.complete_line(piece);
    } else {
      s.carry.append(piece);
      const std::string whole = std::move(s.carry);
      s.carry.clear();
      s.complete_line(whole);
    }
    bytes.remove_prefix(newline + 1);
  }
}

ResultsData ResultsParser::finish() {
  State& s = *state_;
  if (!s.carry.empty()) {
    ++s.line;
    s.fail("the file ends inside this line (it has no CR LF): a torn last line");
  }
  if (!s.saw_bytes) s.fail("the file is empty, not a results file");
  if (s.line < kHeaderLines) {
    s.fail("not a results file: it ends inside the header, after line " + std::to_string(s.line));
  }
  s.line = 0;
  if (s.data.class_records == 0) {
    s.fail("the file holds no generation (only the header and the column titles)");
  }
  if (s.data.cells.empty()) {
    s.fail("the file holds no class record that can be plotted: all " +
           std::to_string(s.data.class_records) +
           " have asterisks, NaN or Infinity in n_g, p_phe or n_p");
  }
  return std::move(s.data);
}

ResultsData parse_results(std::string_view bytes, const std::string& file_name) {
  ResultsParser parser(file_name);
  parser.feed(bytes);
  return parser.finish();
}

ResultsData read_results_file(const std::filesystem::path& path) {
  const std::string name = path.string();
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    throw ResultsReadError(name, 0, "is a directory, not a results file");
  }
  std::FILE* file = std::fopen(name.c_str(), "rb");
  if (file == nullptr) {
    const int error = errno;
    throw ResultsReadError(name, 0, "cannot open: " + std::generic_category().message(error));
  }
  struct Closer {
    std::FILE* f;
    ~Closer() { std::fclose(f); }
  } closer{file};
  ResultsParser parser(name);
  std::vector<char> block(std::size_t{1} << 20);
  for (;;) {
    const std::size_t got = std::fread(block.data(), 1, block.size(), file);
    if (got > 0) parser.feed(std::string_view(block.data(), got));
    if (got < block.size()) {
      if (std::ferror(file)) {
        const int error = errno;
        throw ResultsReadError(name, 0, "read failure: " + std::generic_category().message(error));
      }
      break;
    }
  }
  return parser.finish();
}

}  // namespace hostswitch
