#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "batch/sweep.hpp"
#include "model/parameters.hpp"
#include "model/simulation_parameters.hpp"

namespace hostswitch {

enum class DesignKind { grid, lhs, sobol, morris, file };

// "grid", "lhs", "sobol", "morris", "file"; none for another word.
std::string_view design_kind_name(DesignKind kind);
std::optional<DesignKind> design_kind_by_name(std::string_view name);

// A varied parameter: uniform over [low, high], or log-uniform (low > 0). Integer parameters
// are rounded half away from zero after the mapping.
struct ParameterRange {
  std::size_t parameter = 0;  // index into kParameterNames
  double low = 0.0;
  double high = 0.0;
  bool log = false;

  friend bool operator==(const ParameterRange&, const ParameterRange&) = default;
};

// Reads "NAME=LO:HI" or "NAME=LO:HI:log" (NAME as in the summary, n_pop, or as its flag without
// dashes, n-pop). Throws std::invalid_argument naming `--range TEXT` and what is wrong.
ParameterRange parse_range(std::string_view text);
std::string range_text(const ParameterRange& range);

// Maps u in [0, 1) into the range; integer parameters come back rounded.
double range_value(const ParameterRange& range, double u);
// The inverse of range_value before rounding: where `value` sits in [0, 1].
double range_unit(const ParameterRange& range, double value);

// The rows of an experiment: one parameter set per design point (point g is element g - 1),
// and for each point the text of its label columns (CSV fields as files hold them, joined by
// commas, no leading comma):
// "block" for sobol (A, B, AB1 ... ABk), "trajectory,step" for morris, a user's own columns.
struct Design {
  DesignKind kind = DesignKind::grid;
  std::vector<SimulationParameters> points;
  std::vector<std::string> label_names;
  std::vector<std::string> labels;  // one per point; empty when there are no label columns
  // Each point's grid index, from a file's point column; empty when the points are numbered by
  // row (1 to N), so a slice of a design keeps its points' seeds and grid indices.
  std::vector<std::int32_t> grid_indices;
  std::vector<ParameterRange> ranges;  // the varied parameters, in parameter order
  std::int32_t levels = 0;             // morris only
};

// Sets the parameter `which` of a point; integer parameters take `value` rounded.
void set_parameter(SimulationParameters& p, std::size_t which, double value);

// The first `count` points of the unscrambled Sobol' sequence in `dimensions` dimensions,
// beginning with the origin, row after row. The direction numbers are Joe and Kuo's.
std::vector<double> sobol_sequence(std::size_t dimensions, std::size_t count);

struct LhsRequest {
  std::int32_t samples = 0;
  std::uint64_t seed = 0;
  std::int32_t maximin = 1;  // candidates, the best by smallest distance between two points
};
struct SobolRequest {
  std::int32_t samples = 0;           // N base rows: N * (k + 2) points
  std::optional<std::uint64_t> seed;  // a random shift of the sequence
};
struct MorrisRequest {
  std::int32_t trajectories = 0;
  std::int32_t levels = 4;
  std::uint64_t seed = 0;
};

// Each generator keeps every parameter not in `ranges` at `base`. `ranges` must name each
// parameter at most once; they are taken in parameter order. Throws std::invalid_argument for
// a request that makes no design, and refuses the design as check_design does.
Design grid_design(const ParameterLists& lists);
Design lhs_design(const SimulationParameters& base, std::vector<ParameterRange> ranges,
                  const LhsRequest& request);
Design sobol_design(const SimulationParameters& base, std::vector<ParameterRange> ranges,
                    const SobolRequest& request);
Design morris_design(const SimulationParameters& base, std::vector<ParameterRange> ranges,
                     const MorrisRequest& request);

// Throws std::invalid_argument for the first range or point `run` would refuse, naming the
// `--range` it comes from (or the point) and the flag.
void check_design(const Design& design);

// The design as CSV: point, the eight parameters, the label columns.
std::string design_header(const Design& design);
std::string design_csv(const Design& design);

// A design file's own error: what() is "FILE:LINE: problem".
class DesignFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads a design: a `point` column (unique positive integers; optional), parameter columns in
// any order (a missing one takes its value from `base`), and any other columns, kept as labels.
// A file with a `block` column is a sobol design, with `trajectory` and `step` a morris one.
// Every row is checked as `run` checks its flags; throws DesignFileError at the first fault.
Design read_design(const std::filesystem::path& path, const SimulationParameters& base);
Design parse_design(std::string_view text, const std::string& name,
                    const SimulationParameters& base);

// The rows as the manifest keeps them (one text line per point: the eight parameters and the
// labels, comma separated) and their FNV-1a checksum in hex.
std::vector<std::string> design_rows(const Design& design);
std::string design_checksum(const std::vector<std::string>& rows);

}  // namespace hostswitch
