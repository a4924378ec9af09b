#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>
#include <span>
#include <unordered_map>

#include "base/checksum.hpp"
#include "base/csv.hpp"
#include "base/io_failure.hpp"
#include "batch/design.hpp"
#include "batch/design_values.hpp"
#include "batch/summary.hpp"

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
  return text;
}

std::string lower_case(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

// Letters (lower case) and digits only: what is left of a name without its stray characters.
std::string alphanumerics(std::string_view text) {
  std::string kept;
  for (const char c : lower_case(text)) {
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) kept += c;
  }
  return kept;
}

std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The parameter (or `point`) a column name resembles without being it: the same letters and
// digits, or a letter or two off (one for short names, where two would catch real words).
std::optional<std::string_view> look_alike(std::string_view column) {
  if (column.size() > 64) return std::nullopt;
  const std::string lower = lower_case(trimmed(column));  // as a label would keep it
  const std::string kept = alphanumerics(column);
  auto resembles = [&](std::string_view name) {
    const std::size_t most = std::min(lower.size(), name.size()) <= 4 ? 1 : 2;
    return kept == alphanumerics(name) || edit_distance(lower, name) <= most;
  };
  if (resembles("point")) return "point";
  for (const std::string_view name : kParameterNames) {
    if (resembles(name)) return name;
  }
  return std::nullopt;
}

}  // namespace

std::string design_header(const Design& design) {
  std::string header = "point";
  for (const auto name : kParameterNames) {
    header += ',';
    header += name;
  }
  for (const auto& name : design.label_names) {
    header += ',';
    append_csv_field(header, name);
  }
  return header + '\n';
}

std::string design_csv(const Design& design) {
  std::string text = design_header(design);
  text.reserve(design.points.size() * 160);  // room for a row of full-length numbers
  for (std::size_t g = 0; g < design.points.size(); ++g) {
    append_integer(text, grid_index_at(design.grid_indices, g));
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

namespace {

// A design file read line by line: the header says what each column is, each row is one point.
class DesignReader {
 public:
  DesignReader(std::string name, const SimulationParameters& base)
      : name_(std::move(name)), base_(base) {
    design_.kind = DesignKind::file;
  }

  void record(std::span<const std::string_view> fields, std::int64_t number) {
    where_ = name_ + ":" + std::to_string(number);
    number_ = number;
    if (role_.empty()) return header(fields);
    if (fields.size() == 1 && trimmed(fields[0]).empty()) return;
    row(fields);
  }

  Design finish() {
    if (role_.empty()) throw DesignFileError(name_ + ": empty, not a design file");
    if (design_.points.empty()) {
      throw DesignFileError(name_ + ": no design points below the header");
    }
    // Points numbered 1 to N in order are numbered as the rows would be.
    bool by_row = true;
    for (std::size_t g = 0; g < design_.grid_indices.size() && by_row; ++g) {
      by_row = design_.grid_indices[g] == static_cast<std::int32_t>(g + 1);
    }
    if (by_row) design_.grid_indices.clear();
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

  void header(std::span<const std::string_view> fields) {
    // What the summary's header will be, which every reader must take whole.
    std::size_t summary_header = summary_header_with({}).size() - 1;
    for (const auto field : fields) {
      const std::string column(field);
      if (trimmed(column).empty()) {
        fail("column " + std::to_string(names_.size() + 1) +
             " has no name (a row index written with the data?)");
      }
      std::size_t role = kLabel;
      if (lower_case(column) == "point") {
        role = kPoint;
      } else if (const auto which = parameter_named(lower_case(column))) {
        role = *which;
      } else if (const auto like = look_alike(column)) {
        fail("column " + quoted_field(column) + " looks like " +
             (*like == "point" ? std::string("the column 'point'")
                               : "the parameter '" + std::string(*like) + "'") +
             "; name it exactly so, or give the label column a name unlike any parameter");
      }
      if (role != kLabel) {
        const auto twin = std::find(role_.begin(), role_.end(), role);
        if (twin != role_.end()) {
          fail("the columns " +
               quoted_field(names_[static_cast<std::size_t>(twin - role_.begin())]) + " and " +
               quoted_field(column) + " both name " +
               (role == kPoint ? std::string("point") : std::string(kParameterNames[role])));
        }
      }
      const std::string name = role == kLabel ? std::string(trimmed(column)) : column;
      if (std::find(names_.begin(), names_.end(), name) != names_.end()) {
        fail("the column '" + name + "' appears twice");
      }
      names_.push_back(name);
      role_.push_back(role);
      if (role != kLabel) continue;
      if (name.find_first_of("\r\n") != std::string::npos) {
        fail("the column name " + quoted_field(name) + " holds a line break");
      }
      design_.label_names.push_back(name);
      std::string written;
      append_csv_field(written, name);
      summary_header += 1 + written.size();
      if (summary_header > kMaxCsvRecord) {
        fail("the label columns would make a summary header longer than " +
             std::to_string(kMaxCsvRecord) +
             " characters, more than any reader takes; use fewer or shorter label columns");
      }
    }
  }

  void row(std::span<const std::string_view> fields) {
    if (fields.size() != role_.size()) {
      fail("expected " + std::to_string(role_.size()) + " fields, got " +
           std::to_string(fields.size()));
    }
    SimulationParameters p = base_;
    labels_.clear();
    for (std::size_t c = 0; c < fields.size(); ++c) {
      const std::string_view field = trimmed(fields[c]);
      if (role_[c] == kLabel) {
        if (field.find_first_of("\r\n") != std::string_view::npos) {
          fail(names_[c] + ": a line break inside a label (a summary keeps each run on one line)");
        }
        labels_.push_back(field);
      } else if (field.empty()) {
        fail(names_[c] + ": missing value");
      } else if (role_[c] == kPoint) {
        point(field);
      } else {
        set_parameter(p, role_[c], value(field, c));
      }
    }
    if (const auto refusal = point_refusal(p, false)) fail(*refusal);
    std::string labels = csv_fields_text(labels_);
    if (!design_.label_names.empty() &&
        kMaxSummaryStandardRow + 1 + labels.size() > kMaxCsvRecord) {
      fail("labels of " + std::to_string(labels.size()) +
           " characters; a summary row holds at most " +
           std::to_string(kMaxCsvRecord - kMaxSummaryStandardRow - 1) +
           " characters of labels, which every reader takes");
    }
    design_.points.push_back(p);
    if (!design_.label_names.empty()) design_.labels.push_back(std::move(labels));
    if (design_.points.size() > 2147483647U) fail("more than 2147483647 design points");
  }

  void point(std::string_view field) {
    std::int64_t point = 0;
    const auto result = std::from_chars(field.data(), field.data() + field.size(), point);
    if (result.ec != std::errc{} || result.ptr != field.data() + field.size() || point < 1 ||
        point > 2147483647) {
      fail("point: '" + std::string(field) + "' is not a positive 32-bit integer");
    }
    design_.grid_indices.push_back(static_cast<std::int32_t>(point));
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
  std::vector<std::string_view> labels_;  // of the current row
  std::unordered_map<std::int64_t, std::int64_t> point_lines_;
  std::string where_;
  std::int64_t number_ = 0;
};

}  // namespace

namespace {

Design read_design_records(CsvReader& reader, const SimulationParameters& base) {
  DesignReader design(reader.name(), base);
  try {
    while (reader.next()) design.record(reader.fields(), reader.line());
  } catch (const CsvError& error) {
    throw DesignFileError(error.what());
  }
  return design.finish();
}

}  // namespace

Design read_design(const std::filesystem::path& path, const SimulationParameters& base) {
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                             &std::fclose);
  if (!file) throw DesignFileError(path.string() + ": cannot be read");
  CsvReader reader(csv_file_source(file.get(), path.string()), path.string(), CsvTorn::take);
  return read_design_records(reader, base);
}

Design parse_design(std::string_view text, const std::string& name,
                    const SimulationParameters& base) {
  CsvReader reader(csv_text_source(text), name, CsvTorn::take);
  return read_design_records(reader, base);
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
  Fnv1a hash;
  for (const auto& row : rows) {
    hash.add(row);
    hash.add("\n");
  }
  return hash.hex();
}

}  // namespace hostswitch
