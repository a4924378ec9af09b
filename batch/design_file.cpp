#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <iterator>
#include <unordered_map>

#include "batch/design.hpp"
#include "batch/design_values.hpp"

namespace hostswitch {

namespace {

using design_values::integer_parameter;
using design_values::parameter_named;
using design_values::point_refusal;
using design_values::real_of;

void append_integer(std::string& out, std::int64_t value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

void append_parameter(std::string& out, const SimulationParameters& p, std::size_t which) {
  const double value = parameter_value(p, which);
  if (integer_parameter(which)) return append_integer(out, static_cast<std::int64_t>(value));
  char buffer[32];
  const auto result = double_to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    text = text.substr(1, text.size() - 2);
  }
  return text;
}

std::vector<std::string_view> fields_of(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = line.find(',', start);
    fields.push_back(
        trimmed(line.substr(start, comma == std::string_view::npos ? comma : comma - start)));
    if (comma == std::string_view::npos) return fields;
    start = comma + 1;
  }
}

}  // namespace

std::string design_header(const Design& design) {
  std::string header = "point";
  for (const auto name : kParameterNames) {
    header += ',';
    header += name;
  }
  for (const auto& name : design.label_names) header += ',' + name;
  return header + '\n';
}

std::string design_csv(const Design& design) {
  std::string text = design_header(design);
  text.reserve(design.points.size() * 160);  // room for a row of full-length numbers
  for (std::size_t g = 0; g < design.points.size(); ++g) {
    append_integer(text, static_cast<std::int64_t>(g + 1));
    for (std::size_t i = 0; i < kParameterCount; ++i) {
      text += ',';
      append_parameter(text, design.points[g], i);
    }
    if (!design.label_names.empty()) {
      text += ',';
      text += design.labels[g];
    }
    text += '\n';
  }
  return text;
}

Design read_design(const std::filesystem::path& path, const SimulationParameters& base) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw DesignFileError(path.string() + ": cannot be read");
  const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  if (file.bad()) throw DesignFileError(path.string() + ": read failure");
  return parse_design(text, path.string(), base);
}

namespace {

// A design file read line by line: the header says what each column is, each row is one point.
class DesignReader {
 public:
  DesignReader(std::string name, const SimulationParameters& base)
      : name_(std::move(name)), base_(base) {
    design_.kind = DesignKind::file;
  }

  void line(std::string_view line, std::int64_t number) {
    where_ = name_ + ":" + std::to_string(number);
    number_ = number;
    if (role_.empty()) return header(line);
    if (trimmed(line).empty()) return;
    row(line);
  }

  Design finish() {
    if (role_.empty()) throw DesignFileError(name_ + ": empty, not a design file");
    if (design_.points.empty()) {
      throw DesignFileError(name_ + ": no design points below the header");
    }
    const auto& labels = design_.label_names;
    auto has = [&](std::string_view column) {
      return std::find(labels.begin(), labels.end(), column) != labels.end();
    };
    if (has("block")) {
      design_.kind = DesignKind::sobol;
    } else if (has("trajectory") && has("step")) {
      design_.kind = DesignKind::morris;
    }
    return std::move(design_);
  }

 private:
  // Per column: a parameter, the point, or a label (kept as text).
  static constexpr std::size_t kPoint = kParameterCount;
  static constexpr std::size_t kLabel = kParameterCount + 1;

  [[noreturn]] void fail(const std::string& problem) const {
    throw DesignFileError(where_ + ": " + problem);
  }

  void header(std::string_view line) {
    for (const auto field : fields_of(line)) {
      const std::string column(field);
      if (column.empty()) {
        fail("column " + std::to_string(names_.size() + 1) +
             " has no name (a row index written with the data?)");
      }
      if (std::find(names_.begin(), names_.end(), column) != names_.end()) {
        fail("the column '" + column + "' appears twice");
      }
      names_.push_back(column);
      if (column == "point") {
        role_.push_back(kPoint);
      } else if (const auto which = parameter_named(column);
                 which && column.find('-') == std::string::npos) {
        role_.push_back(*which);
      } else {
        role_.push_back(kLabel);
        design_.label_names.push_back(column);
      }
    }
  }

  void row(std::string_view line) {
    const std::vector<std::string_view> fields = fields_of(line);
    if (fields.size() != role_.size()) {
      fail("expected " + std::to_string(role_.size()) + " fields, got " +
           std::to_string(fields.size()));
    }
    SimulationParameters p = base_;
    std::string labels;
    std::size_t label_count = 0;
    for (std::size_t c = 0; c < fields.size(); ++c) {
      const std::string_view field = fields[c];
      if (role_[c] == kLabel) {
        if (field.find('"') != std::string_view::npos) fail(names_[c] + ": a quote inside a value");
        if (label_count++ > 0) labels += ',';
        labels += field;
      } else if (field.empty()) {
        fail(names_[c] + ": missing value");
      } else if (role_[c] == kPoint) {
        point(field);
      } else {
        set_parameter(p, role_[c], value(field, c));
      }
    }
    if (const auto refusal = point_refusal(p, false)) fail(*refusal);
    design_.points.push_back(p);
    if (!design_.label_names.empty()) design_.labels.push_back(std::move(labels));
    if (design_.points.size() > 2147483647U) fail("more than 2147483647 design points");
  }

  void point(std::string_view field) {
    std::int64_t point = 0;
    const auto result = std::from_chars(field.data(), field.data() + field.size(), point);
    if (result.ec != std::errc{} || result.ptr != field.data() + field.size() || point < 1) {
      fail("point: '" + std::string(field) + "' is not a positive integer");
    }
    const auto [seen, fresh] = point_lines_.emplace(point, number_);
    if (!fresh) {
      fail("point " + std::string(field) + " appears twice (first on line " +
           std::to_string(seen->second) + ")");
    }
  }

  double value(std::string_view field, std::size_t c) const {
    const auto value = real_of(field);
    if (!value) fail(names_[c] + ": '" + std::string(field) + "' is not a finite number");
    if (integer_parameter(role_[c]) &&
        (*value != std::floor(*value) || std::fabs(*value) > 2147483647.0)) {
      fail(names_[c] + ": '" + std::string(field) + "' is not a 32-bit integer");
    }
    return *value;
  }

  std::string name_;
  SimulationParameters base_;
  Design design_;
  std::vector<std::size_t> role_;
  std::vector<std::string> names_;
  std::unordered_map<std::int64_t, std::int64_t> point_lines_;
  std::string where_;
  std::int64_t number_ = 0;
};

}  // namespace

Design parse_design(std::string_view text, const std::string& name,
                    const SimulationParameters& base) {
  DesignReader reader(name, base);
  std::size_t start = 0;
  for (std::int64_t number = 1; start < text.size(); ++number) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    reader.line(line, number);
  }
  return reader.finish();
}

std::vector<std::string> design_rows(const Design& design) {
  std::vector<std::string> rows;
  rows.reserve(design.points.size());
  for (std::size_t g = 0; g < design.points.size(); ++g) {
    std::string row;
    for (std::size_t i = 0; i < kParameterCount; ++i) {
      if (i > 0) row += ',';
      append_parameter(row, design.points[g], i);
    }
    if (!design.label_names.empty()) row += ',' + design.labels[g];
    rows.push_back(std::move(row));
  }
  return rows;
}

std::string design_checksum(const std::vector<std::string>& rows) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  auto add = [&hash](unsigned char byte) {
    hash ^= byte;
    hash *= 0x100000001b3ULL;
  };
  for (const auto& row : rows) {
    for (const char c : row) add(static_cast<unsigned char>(c));
    add('\n');
  }
  char buffer[17];
  for (int i = 15; i >= 0; --i) {
    buffer[i] = "0123456789abcdef"[hash & 0xF];
    hash >>= 4;
  }
  buffer[16] = '\0';
  return buffer;
}

}  // namespace hostswitch
