#include "batch/design.hpp"

#include <algorithm>
#include <array>
#include <boost/random/sobol.hpp>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <stdexcept>
#include <unordered_map>

#include "base/number_chars.hpp"
#include "batch/manifest.hpp"
#include "batch/summary.hpp"

namespace hostswitch {

namespace {

constexpr std::array<std::string_view, 5> kKindNames = {"grid", "lhs", "sobol", "morris", "file"};

bool integer_parameter(std::size_t which) { return kParameters[which].integer; }

// As in a summary (n_pop) or as its flag without the dashes (n-pop).
std::optional<std::size_t> parameter_named(std::string_view name) {
  if (const auto which = parameter_by_name(name)) return which;
  for (std::size_t i = 0; i < kParameterCount; ++i) {
    if (name == kParameterFlags[i].substr(2)) return i;
  }
  return std::nullopt;
}

// What `run` refuses of a point: the data model's limits, then the parameter's domain, the
// latter as "NAME: reason" with NAME its flag or its column.
std::optional<std::string> point_refusal(const SimulationParameters& p, bool by_flag) {
  if (auto refusal = parameter_refusal(p)) return refusal;
  if (const auto refusal = domain_refusal(p)) {
    const ParameterInfo& info = kParameters[refusal->parameter];
    return std::string(by_flag ? info.flag : info.name) + ": " + refusal->reason;
  }
  return std::nullopt;
}

std::optional<double> real_of(std::string_view text) {
  double value = 0.0;
  if (text.empty()) return std::nullopt;
  const char* end = text.data() + text.size();
  const auto result = double_from_chars(text.data(), end, value);
  if (result.ec != std::errc{} || result.ptr != end || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<std::int64_t> integer_of(std::string_view text) {
  std::int64_t value = 0;
  if (text.empty()) return std::nullopt;
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, value);
  if (result.ec != std::errc{} || result.ptr != end) return std::nullopt;
  return value;
}

// The design's own draws: the 64-bit Mersenne Twister is fixed by the standard, the mappings to
// [0, 1) and to 0 ... n - 1 are fixed here, so a seed gives the same design on every platform.
class DesignRandom {
 public:
  explicit DesignRandom(std::uint64_t seed) : engine_(seed) {}
  double unit() { return static_cast<double>(engine_() >> 11) * 0x1p-53; }
  std::uint64_t below(std::uint64_t n) {
    // Rejection keeps every value equally likely.
    const std::uint64_t limit =
        std::numeric_limits<std::uint64_t>::max() - std::numeric_limits<std::uint64_t>::max() % n;
    for (;;) {
      const std::uint64_t x = engine_();
      if (x < limit) return x % n;
    }
  }

 private:
  std::mt19937_64 engine_;
};

std::vector<ParameterRange> sorted_ranges(std::vector<ParameterRange> ranges) {
  std::sort(ranges.begin(), ranges.end(), [](const ParameterRange& a, const ParameterRange& b) {
    return a.parameter < b.parameter;
  });
  for (std::size_t i = 1; i < ranges.size(); ++i) {
    if (ranges[i].parameter == ranges[i - 1].parameter) {
      throw std::invalid_argument("--range: " + std::string(kParameterNames[ranges[i].parameter]) +
                                  " is given twice");
    }
  }
  if (ranges.empty()) throw std::invalid_argument("--range: give at least one parameter to vary");
  return ranges;
}

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

// Unit coordinates (row after row, one column per range) mapped onto the ranges.
std::vector<SimulationParameters> points_of(const SimulationParameters& base,
                                            const std::vector<ParameterRange>& ranges,
                                            const std::vector<double>& unit) {
  const std::size_t k = ranges.size();
  std::vector<SimulationParameters> points(unit.size() / k, base);
  for (std::size_t row = 0; row < points.size(); ++row) {
    for (std::size_t c = 0; c < k; ++c) {
      set_parameter(points[row], ranges[c].parameter, range_value(ranges[c], unit[row * k + c]));
    }
  }
  return points;
}

double smallest_distance(const std::vector<double>& unit, std::size_t k) {
  const std::size_t n = unit.size() / k;
  double smallest = std::numeric_limits<double>::infinity();
  for (std::size_t a = 0; a < n; ++a) {
    for (std::size_t b = a + 1; b < n; ++b) {
      double squares = 0.0;
      for (std::size_t c = 0; c < k; ++c) {
        const double d = unit[a * k + c] - unit[b * k + c];
        squares += d * d;
      }
      smallest = std::min(smallest, squares);
    }
  }
  return smallest;
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

std::string_view design_kind_name(DesignKind kind) {
  return kKindNames[static_cast<std::size_t>(kind)];
}

std::optional<DesignKind> design_kind_by_name(std::string_view name) {
  for (std::size_t i = 0; i < kKindNames.size(); ++i) {
    if (kKindNames[i] == name) return static_cast<DesignKind>(i);
  }
  return std::nullopt;
}

ParameterRange parse_range(std::string_view text) {
  const std::string flag = "--range " + std::string(text);
  auto refuse = [&](const std::string& why) -> void {
    throw std::invalid_argument(flag + ": " + why);
  };
  const std::size_t equals = text.find('=');
  if (equals == std::string_view::npos) refuse("expected NAME=LO:HI or NAME=LO:HI:log");
  const auto which = parameter_named(text.substr(0, equals));
  if (!which) refuse("'" + std::string(text.substr(0, equals)) + "' is not a parameter");
  ParameterRange range;
  range.parameter = *which;
  std::string_view rest = text.substr(equals + 1);
  const std::size_t colon = rest.find(':');
  if (colon == std::string_view::npos) refuse("expected NAME=LO:HI or NAME=LO:HI:log");
  std::string_view high_text = rest.substr(colon + 1);
  const std::size_t second = high_text.find(':');
  if (second != std::string_view::npos) {
    if (high_text.substr(second + 1) != "log") refuse("the only scale after LO:HI is log");
    range.log = true;
    high_text = high_text.substr(0, second);
  }
  const auto low = real_of(rest.substr(0, colon));
  const auto high = real_of(high_text);
  if (!low || !high) refuse("LO and HI must be finite numbers");
  range.low = *low;
  range.high = *high;
  if (!(range.low < range.high)) refuse("LO must be below HI");
  if (range.log && !(range.low > 0.0)) refuse("a log range needs LO above 0");
  if (integer_parameter(range.parameter) &&
      (range.low < -2147483648.0 || range.high > 2147483647.0)) {
    refuse("an integer parameter lies between -2147483648 and 2147483647");
  }
  return range;
}

std::string range_text(const ParameterRange& range) {
  return std::string(kParameterNames[range.parameter]) + "=" + shortest(range.low) + ":" +
         shortest(range.high) + (range.log ? ":log" : "");
}

double range_value(const ParameterRange& range, double u) {
  double value = 0.0;
  if (range.log) {
    const double low = std::log(range.low);
    value = std::exp(low + u * (std::log(range.high) - low));
  } else {
    value = range.low + u * (range.high - range.low);
  }
  // exp and rounding may step a hair outside; the ends are the user's own values.
  value = std::clamp(value, range.low, range.high);
  return integer_parameter(range.parameter) ? std::round(value) : value;
}

double range_unit(const ParameterRange& range, double value) {
  if (range.log) {
    return (std::log(value) - std::log(range.low)) / (std::log(range.high) - std::log(range.low));
  }
  return (value - range.low) / (range.high - range.low);
}

void set_parameter(SimulationParameters& p, std::size_t which, double value) {
  if (integer_parameter(which)) {
    // Callers keep integer values within 32 bits; the clamp keeps the conversion defined anyway.
    value = std::clamp(std::round(value), -2147483648.0, 2147483647.0);
  }
  set_parameter_value(p, which, value);
}

std::vector<double> sobol_sequence(std::size_t dimensions, std::size_t count) {
  std::vector<double> points(dimensions * count, 0.0);  // the first point is the origin
  if (count < 2) return points;
  boost::random::sobol engine(static_cast<unsigned>(dimensions));
  for (std::size_t i = dimensions; i < points.size(); ++i) {
    // 53 of the 64 bits: exact, and below 1.
    points[i] = static_cast<double>(engine() >> 11) * 0x1p-53;
  }
  return points;
}

Design grid_design(const ParameterLists& lists) {
  Design design;
  design.kind = DesignKind::grid;
  design.points = expand_grid(lists);
  check_design(design);
  return design;
}

Design lhs_design(const SimulationParameters& base, std::vector<ParameterRange> ranges,
                  const LhsRequest& request) {
  if (request.samples < 1) throw std::invalid_argument("--samples: must be at least 1");
  if (request.maximin < 1) throw std::invalid_argument("--maximin: must be at least 1");
  ranges = sorted_ranges(std::move(ranges));
  const std::size_t k = ranges.size();
  const auto n = static_cast<std::size_t>(request.samples);
  DesignRandom random(request.seed);
  std::vector<double> best;
  double best_distance = -1.0;
  std::vector<std::size_t> strata(n);
  for (std::int32_t candidate = 0; candidate < request.maximin; ++candidate) {
    std::vector<double> unit(n * k);
    for (std::size_t c = 0; c < k; ++c) {
      for (std::size_t i = 0; i < n; ++i) strata[i] = i;
      for (std::size_t i = n; i > 1; --i) std::swap(strata[i - 1], strata[random.below(i)]);
      for (std::size_t i = 0; i < n; ++i) {
        unit[i * k + c] = (static_cast<double>(strata[i]) + random.unit()) / static_cast<double>(n);
      }
    }
    if (request.maximin == 1) {
      best = std::move(unit);
      break;
    }
    const double distance = smallest_distance(unit, k);
    if (distance > best_distance) {
      best_distance = distance;
      best = std::move(unit);
    }
  }
  Design design;
  design.kind = DesignKind::lhs;
  design.ranges = ranges;
  design.points = points_of(base, ranges, best);
  check_design(design);
  return design;
}

Design sobol_design(const SimulationParameters& base, std::vector<ParameterRange> ranges,
                    const SobolRequest& request) {
  if (request.samples < 1) throw std::invalid_argument("--samples: must be at least 1");
  ranges = sorted_ranges(std::move(ranges));
  const std::size_t k = ranges.size();
  const auto n = static_cast<std::size_t>(request.samples);
  if (n * (k + 2) > 2147483647U) {
    throw std::invalid_argument("--samples: the design would have more than 2147483647 points");
  }
  // The origin is left out: its A and B rows would be the same point.
  std::vector<double> sequence = sobol_sequence(2 * k, n + 1);
  sequence.erase(sequence.begin(), sequence.begin() + static_cast<std::ptrdiff_t>(2 * k));
  if (request.seed) {
    DesignRandom random(*request.seed);
    std::vector<double> shift(2 * k);
    for (double& s : shift) s = random.unit();
    for (std::size_t i = 0; i < sequence.size(); ++i) {
      double u = sequence[i] + shift[i % (2 * k)];
      if (u >= 1.0) u -= 1.0;
      sequence[i] = u;
    }
  }
  // Blocks of N rows: A, B, then AB1 ... ABk (A with column i taken from B).
  std::vector<double> unit(n * (k + 2) * k);
  std::vector<std::string> blocks;
  blocks.reserve(n * (k + 2));
  for (std::size_t block = 0; block < k + 2; ++block) {
    const std::string name = block == 0 ? "A" : block == 1 ? "B" : "AB" + std::to_string(block - 1);
    for (std::size_t j = 0; j < n; ++j) {
      double* row = &unit[(block * n + j) * k];
      const double* a = &sequence[j * 2 * k];
      const double* b = a + k;
      for (std::size_t c = 0; c < k; ++c) row[c] = block == 1 ? b[c] : a[c];
      if (block >= 2) row[block - 2] = b[block - 2];
      blocks.push_back(name);
    }
  }
  Design design;
  design.kind = DesignKind::sobol;
  design.ranges = ranges;
  design.points = points_of(base, ranges, unit);
  design.label_names = {"block"};
  design.labels = std::move(blocks);
  check_design(design);
  return design;
}

Design morris_design(const SimulationParameters& base, std::vector<ParameterRange> ranges,
                     const MorrisRequest& request) {
  if (request.trajectories < 1) throw std::invalid_argument("--trajectories: must be at least 1");
  if (request.levels < 2 || request.levels % 2 != 0 || request.levels > 1000) {
    throw std::invalid_argument("--levels: give an even number of levels from 2 to 1000, got " +
                                std::to_string(request.levels));
  }
  ranges = sorted_ranges(std::move(ranges));
  const std::size_t k = ranges.size();
  const auto r = static_cast<std::size_t>(request.trajectories);
  if (r * (k + 1) > 2147483647U) {
    throw std::invalid_argument(
        "--trajectories: the design would have more than 2147483647 points");
  }
  const double p = request.levels;
  const double delta = p / (2.0 * (p - 1.0));
  // Starting levels 0, 1/(P-1), ... up to 1 - delta, so that a step up stays within [0, 1].
  const auto starts = static_cast<std::uint64_t>(request.levels / 2);
  DesignRandom random(request.seed);
  std::vector<double> unit;
  unit.reserve(r * (k + 1) * k);
  std::vector<std::string> labels;
  labels.reserve(r * (k + 1));
  std::vector<std::size_t> order(k);
  std::vector<double> point(k);
  std::vector<double> direction(k);
  for (std::size_t t = 0; t < r; ++t) {
    for (std::size_t c = 0; c < k; ++c) {
      const double start = static_cast<double>(random.below(starts)) / (p - 1.0);
      direction[c] = random.below(2) == 0 ? 1.0 : -1.0;
      point[c] = direction[c] > 0 ? start : start + delta;
      order[c] = c;
    }
    for (std::size_t i = k; i > 1; --i) std::swap(order[i - 1], order[random.below(i)]);
    for (std::size_t step = 0; step <= k; ++step) {
      if (step > 0) {
        const std::size_t c = order[step - 1];
        point[c] = direction[c] > 0 ? point[c] + delta : point[c] - delta;
        // Levels are multiples of 1/(P-1): snap, so that the ends are exactly 0 and 1.
        point[c] = std::round(point[c] * (p - 1.0)) / (p - 1.0);
      }
      unit.insert(unit.end(), point.begin(), point.end());
      labels.push_back(std::to_string(t + 1) + "," + std::to_string(step));
    }
  }
  Design design;
  design.kind = DesignKind::morris;
  design.ranges = ranges;
  design.levels = request.levels;
  design.points = points_of(base, ranges, unit);
  design.label_names = {"trajectory", "step"};
  design.labels = std::move(labels);
  check_design(design);
  return design;
}

void check_design(const Design& design) {
  if (design.points.empty()) throw std::invalid_argument("the design has no points");
  const SimulationParameters& first = design.points.front();
  for (const ParameterRange& range : design.ranges) {
    for (const double end : {range.low, range.high}) {
      SimulationParameters p = first;
      set_parameter(p, range.parameter, end);
      if (const auto refusal = point_refusal(p, true)) {
        throw std::invalid_argument("--range " + range_text(range) + ": " + *refusal);
      }
    }
  }
  for (std::size_t g = 0; g < design.points.size(); ++g) {
    if (const auto refusal = point_refusal(design.points[g], true)) {
      throw std::invalid_argument("design point " + std::to_string(g + 1) + ": " + *refusal);
    }
  }
}

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
  text.reserve(design.points.size() * 64);
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

Design parse_design(std::string_view text, const std::string& name,
                    const SimulationParameters& base) {
  Design design;
  design.kind = DesignKind::file;
  // Per column: a parameter, the point, or a label (kept as text).
  constexpr std::size_t kPoint = kParameterCount;
  constexpr std::size_t kLabel = kParameterCount + 1;
  std::vector<std::size_t> role;
  std::vector<std::string> names;
  std::unordered_map<std::int64_t, std::int64_t> point_lines;
  std::size_t start = 0;
  for (std::int64_t number = 1; start < text.size(); ++number) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::string where = name + ":" + std::to_string(number);
    if (role.empty()) {
      for (const auto field : fields_of(line)) {
        const std::string column(field);
        if (column.empty()) {
          throw DesignFileError(where + ": column " + std::to_string(names.size() + 1) +
                                " has no name (a row index written with the data?)");
        }
        if (std::find(names.begin(), names.end(), column) != names.end()) {
          throw DesignFileError(where + ": the column '" + column + "' appears twice");
        }
        names.push_back(column);
        if (column == "point") {
          role.push_back(kPoint);
        } else if (const auto which = parameter_named(column);
                   which && column.find('-') == std::string::npos) {
          role.push_back(*which);
        } else {
          role.push_back(kLabel);
          design.label_names.push_back(column);
        }
      }
      continue;
    }
    if (trimmed(line).empty()) continue;
    const std::vector<std::string_view> fields = fields_of(line);
    if (fields.size() != role.size()) {
      throw DesignFileError(where + ": expected " + std::to_string(role.size()) + " fields, got " +
                            std::to_string(fields.size()));
    }
    SimulationParameters p = base;
    std::string labels;
    std::size_t label_count = 0;
    for (std::size_t c = 0; c < fields.size(); ++c) {
      const std::string_view field = fields[c];
      const std::string column = names[c];
      if (role[c] == kLabel) {
        if (field.find('"') != std::string_view::npos) {
          throw DesignFileError(where + ": " + column + ": a quote inside a value");
        }
        if (label_count++ > 0) labels += ',';
        labels += field;
        continue;
      }
      if (field.empty()) throw DesignFileError(where + ": " + column + ": missing value");
      if (role[c] == kPoint) {
        const auto point = integer_of(field);
        if (!point || *point < 1) {
          throw DesignFileError(where + ": point: '" + std::string(field) +
                                "' is not a positive integer");
        }
        const auto [seen, fresh] = point_lines.emplace(*point, number);
        if (!fresh) {
          throw DesignFileError(where + ": point " + std::string(field) +
                                " appears twice (first on line " + std::to_string(seen->second) +
                                ")");
        }
        continue;
      }
      const auto value = real_of(field);
      if (!value) {
        throw DesignFileError(where + ": " + column + ": '" + std::string(field) +
                              "' is not a finite number");
      }
      if (integer_parameter(role[c]) &&
          (*value != std::floor(*value) || std::fabs(*value) > 2147483647.0)) {
        throw DesignFileError(where + ": " + column + ": '" + std::string(field) +
                              "' is not a 32-bit integer");
      }
      set_parameter(p, role[c], *value);
    }
    if (const auto refusal = point_refusal(p, false)) {
      throw DesignFileError(where + ": " + *refusal);
    }
    design.points.push_back(p);
    if (!design.label_names.empty()) design.labels.push_back(std::move(labels));
    if (design.points.size() > 2147483647U) {
      throw DesignFileError(where + ": more than 2147483647 design points");
    }
  }
  if (role.empty()) throw DesignFileError(name + ": empty, not a design file");
  if (design.points.empty()) throw DesignFileError(name + ": no design points below the header");
  const auto& labels = design.label_names;
  auto has = [&](std::string_view column) {
    return std::find(labels.begin(), labels.end(), column) != labels.end();
  };
  if (has("block")) {
    design.kind = DesignKind::sobol;
  } else if (has("trajectory") && has("step")) {
    design.kind = DesignKind::morris;
  }
  return design;
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
