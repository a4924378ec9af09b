#include "batch/manifest.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "base/csv.hpp"
#include "base/number_chars.hpp"
#include "batch/summary.hpp"

namespace hostswitch {

namespace {

constexpr std::int64_t kMaxGridPoints = 2147483647;

std::string value_text(double value, bool integer) {
  return integer ? std::to_string(static_cast<std::int64_t>(value)) : shortest(value);
}

// The flags every command of a run directory repeats: the grid, replicates and seed.
std::string experiment_flags(const Manifest& manifest) {
  std::string text;
  for (std::size_t i = 0; i < kParameterCount; ++i) {
    text += ' ';
    text += kParameterFlags[i];
    text += ' ';
    text += list_text(manifest.lists, i);
  }
  text += " --replicates " + std::to_string(manifest.replicates);
  text += " --seed " + std::to_string(manifest.base_seed);
  return text;
}

// The rows' checksum; a design numbered by its point column checks each row with its point.
std::string record_checksum(const DesignRecord& record) {
  if (record.points.empty()) return design_checksum(record.rows);
  std::vector<std::string> numbered;
  numbered.reserve(record.rows.size());
  for (std::size_t g = 0; g < record.rows.size(); ++g) {
    numbered.push_back(std::to_string(record.points[g]) + ',' + record.rows[g]);
  }
  return design_checksum(numbered);
}

}  // namespace

DesignRecord design_record(const Design& design, std::string source) {
  DesignRecord record;
  record.kind = design_kind_name(design.kind);
  record.source = std::move(source);
  record.columns = design.label_names;
  record.rows = design_rows(design);
  record.points = design.grid_indices;
  record.checksum = record_checksum(record);
  return record;
}

Design design_of_record(const DesignRecord& record, const std::string& where) {
  const bool numbered = !record.points.empty();
  std::string text = numbered ? "point," : "";
  for (std::size_t i = 0; i < kParameterCount; ++i) {
    if (i > 0) text += ',';
    text += kParameterNames[i];
  }
  for (const auto& column : record.columns) {
    text += ',';
    append_csv_field(text, column);
  }
  text += '\n';
  for (std::size_t g = 0; g < record.rows.size(); ++g) {
    if (numbered) text += std::to_string(record.points[g]) + ',';
    text += record.rows[g] + '\n';
  }
  Design design = parse_design(text, where, typical_parameters());
  if (const auto kind = design_kind_by_name(record.kind)) design.kind = *kind;
  return design;
}

std::vector<SimulationParameters> manifest_points(const Manifest& manifest) {
  if (!manifest.design) return expand_grid(manifest.lists);
  return design_of_record(*manifest.design, "the manifest's design").points;
}

std::size_t manifest_standard_columns(const Manifest& manifest) {
  // "0.3.0" and earlier wrote the columns up to final_sd_phe.
  int major = 0;
  int minor = 0;
  const bool older = std::sscanf(manifest.version.c_str(), "%d.%d", &major, &minor) == 2 &&
                     major == 0 && minor < 4;
  return older ? kSummaryColumns03 : kSummaryColumns;
}

std::string manifest_summary_header(const Manifest& manifest) {
  const bool older = manifest_standard_columns(manifest) == kSummaryColumns03;
  const std::vector<std::string> none;
  return summary_header_with(manifest.design ? manifest.design->columns : none, older);
}

Design load_design(const std::filesystem::path& path, const SimulationParameters& base) {
  if (path.extension() != ".json") return read_design(path, base);
  const Manifest manifest = read_manifest(path);
  if (!manifest.design) {
    throw std::runtime_error("--design: " + path.string() + " is the manifest of a grid sweep");
  }
  return design_of_record(*manifest.design, path.string());
}

std::string list_text(const ParameterLists& lists, std::size_t which) {
  std::string text;
  for (const double value : lists[which]) {
    if (!text.empty()) text += ',';
    text += value_text(value, kParameters[which].integer);
  }
  return text;
}

std::string shell_quote(std::string_view word) {
  const bool plain = !word.empty() && word.find_first_not_of(
                                          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                          "0123456789_-+=./:,@%") == std::string_view::npos;
  if (plain) return std::string(word);
  std::string text = "'";
  for (const char c : word) {
    if (c == '\'') {
      text += "'\\''";
    } else {
      text += c;
    }
  }
  return text + "'";
}

std::int64_t Manifest::grid_points() const {
  if (design) return static_cast<std::int64_t>(design->rows.size());
  std::int64_t points = 1;
  for (const auto& values : lists.values) {
    const auto size = static_cast<std::int64_t>(values.size());
    if (size > kMaxGridPoints || points * size > kMaxGridPoints) {
      throw std::length_error("the grid has more than 2147483647 points");
    }
    points *= size;
  }
  return points;
}

std::string manifest_json(const Manifest& manifest) {
  nlohmann::ordered_json json;
  json["program"] = "hostswitch";
  json["version"] = manifest.version;
  nlohmann::ordered_json parameters = nlohmann::ordered_json::object();
  for (std::size_t i = 0; i < kParameterCount; ++i) {
    nlohmann::ordered_json& list = parameters[std::string(kParameterNames[i])];
    list = nlohmann::ordered_json::array();
    for (const double value : manifest.lists[i]) {
      if (kParameters[i].integer) {
        list.push_back(static_cast<std::int32_t>(value));
      } else {
        list.push_back(value);
      }
    }
  }
  json["parameters"] = parameters;
  json["replicates"] = manifest.replicates;
  json["base_seed"] = manifest.base_seed;
  json["grid_points"] = manifest.grid_points();
  json["rows"] = manifest.rows();
  json["command_line"] = manifest.command_line;
  json["trajectories"] = manifest.trajectories;
  if (manifest.replaces) json["replaces"] = *manifest.replaces;
  if (manifest.design) {
    const DesignRecord& design = *manifest.design;
    json["design"] = {{"kind", design.kind},
                      {"source", design.source},
                      {"columns", design.columns},
                      {"checksum", design.checksum},
                      {"rows", design.rows}};
    if (!design.points.empty()) json["design"]["points"] = design.points;
  }
  if (!manifest.run_dir.empty()) {
    json["run_dir"] = manifest.run_dir;
    json["parts"] = manifest.parts;
    json["executable"] = manifest.executable;
    if (manifest.outputs) json["outputs"] = *manifest.outputs;
  }
  return json.dump(2) + "\n";
}

Manifest read_manifest(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error(path.string() + ": cannot be read");
  try {
    const nlohmann::json json = nlohmann::json::parse(file);
    if (json.at("program") != "hostswitch") throw std::runtime_error("another program's file");
    Manifest manifest;
    manifest.version = json.at("version").get<std::string>();
    for (std::size_t i = 0; i < kParameterCount; ++i) {
      const nlohmann::json& list = json.at("parameters").at(std::string(kParameterNames[i]));
      if (!list.is_array() || list.empty()) throw std::runtime_error("an empty value list");
      std::vector<double>& values = manifest.lists[i];
      for (const nlohmann::json& value : list) {
        if (kParameters[i].integer) {
          values.push_back(value.get<std::int32_t>());
          if (!value.is_number_integer()) throw std::runtime_error("a fraction for an integer");
        } else {
          values.push_back(value.get<double>());
        }
      }
    }
    manifest.replicates = json.at("replicates").get<std::int32_t>();
    manifest.base_seed = json.at("base_seed").get<std::int32_t>();
    manifest.command_line = json.at("command_line").get<std::vector<std::string>>();
    // Without it, a merge could not know whether trajectories are missing.
    if (!json.contains("trajectories")) throw std::runtime_error("no \"trajectories\" field");
    manifest.trajectories = json.at("trajectories").get<bool>();
    if (json.contains("replaces")) manifest.replaces = json.at("replaces").get<std::string>();
    if (manifest.replicates < 1) throw std::runtime_error("replicates below 1");
    if (json.contains("design")) {
      const auto& design = json.at("design");
      DesignRecord record;
      record.kind = design.at("kind").get<std::string>();
      record.source = design.at("source").get<std::string>();
      record.columns = design.at("columns").get<std::vector<std::string>>();
      record.rows = design.at("rows").get<std::vector<std::string>>();
      record.checksum = design.at("checksum").get<std::string>();
      if (record.rows.empty()) throw std::runtime_error("a design without rows");
      if (design.contains("points")) {
        record.points = design.at("points").get<std::vector<std::int32_t>>();
        if (record.points.size() != record.rows.size()) {
          throw std::runtime_error("the design's points do not match its rows");
        }
      }
      if (record_checksum(record) != record.checksum) {
        throw std::runtime_error("the design's rows do not match its checksum");
      }
      manifest.design = std::move(record);
    }
    if (json.contains("run_dir")) {
      manifest.run_dir = json.at("run_dir").get<std::string>();
      manifest.parts = json.at("parts").get<std::int32_t>();
      manifest.executable = json.at("executable").get<std::string>();
      if (json.contains("outputs")) manifest.outputs = json.at("outputs").get<std::string>();
      if (manifest.parts < 0 || manifest.parts > manifest.rows()) {
        throw std::runtime_error("parts outside 0 to rows");
      }
    }
    if (json.at("rows").get<std::int64_t>() != manifest.rows()) {
      throw std::runtime_error("rows do not match the grid");
    }
    return manifest;
  } catch (const std::exception& error) {
    throw std::runtime_error(path.string() + ": not a sweep manifest (" + error.what() + ")");
  }
}

std::optional<std::string> manifest_difference(const Manifest& stored, const Manifest& wanted,
                                               const std::filesystem::path& where) {
  auto differ = [&](std::string_view flag, const std::string& here, const std::string& there) {
    return std::string(flag) + " is " + here + " here but " + there + " in " + where.string();
  };
  if (wanted.design.has_value() != stored.design.has_value()) {
    return std::string("--design is ") + (wanted.design ? "" : "not ") + "given here but was " +
           (stored.design ? "" : "not ") + "given for " + where.string();
  }
  if (wanted.design) {
    // The rows say it all: the flags only fill in the columns a design file leaves out.
    // A row is its point and its values: the point gives its grid index and so its seeds.
    const auto& here = *wanted.design;
    const auto& there = *stored.design;
    const bool numbered = !here.points.empty() || !there.points.empty();
    auto row_text = [numbered](const DesignRecord& design, std::size_t g) -> std::string {
      if (g >= design.rows.size()) return "nothing";
      if (!numbered) return design.rows[g];
      return "point " + std::to_string(grid_index_at(design.points, g)) + " (" + design.rows[g] +
             ")";
    };
    for (std::size_t g = 0; g < std::max(here.rows.size(), there.rows.size()); ++g) {
      const std::string mine = row_text(here, g);
      const std::string theirs = row_text(there, g);
      if (mine != theirs) {
        return "--design: row " + std::to_string(g + 1) + " is " + mine + " here but " + theirs +
               " in " + where.string();
      }
    }
    if (wanted.design->columns != stored.design->columns) {
      return "--design: the label columns differ from those in " + where.string();
    }
  } else {
    for (std::size_t i = 0; i < kParameterCount; ++i) {
      const std::string here = list_text(wanted.lists, i);
      const std::string there = list_text(stored.lists, i);
      if (here != there) return differ(kParameterFlags[i], here, there);
    }
  }
  if (wanted.replicates != stored.replicates) {
    return differ("--replicates", std::to_string(wanted.replicates),
                  std::to_string(stored.replicates));
  }
  if (wanted.base_seed != stored.base_seed) {
    return differ("--seed", std::to_string(wanted.base_seed), std::to_string(stored.base_seed));
  }
  if (wanted.trajectories != stored.trajectories) {
    return std::string("--trajectories is ") + (wanted.trajectories ? "" : "not ") +
           "given here but was " + (stored.trajectories ? "" : "not ") + "given for " +
           where.string();
  }
  if (wanted.parts != stored.parts) {
    return differ("--parts", std::to_string(wanted.parts), std::to_string(stored.parts));
  }
  if (wanted.version != stored.version) {
    return differ("the program version", wanted.version, stored.version);
  }
  return std::nullopt;
}

std::filesystem::path summary_manifest_path(const std::filesystem::path& summary) {
  std::filesystem::path path = summary;
  return path += ".json";
}

std::filesystem::path legacy_summary_manifest_path(const std::filesystem::path& summary) {
  std::filesystem::path path = summary;
  return path.replace_extension(".json");
}

std::optional<Manifest> stored_manifest(const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return std::nullopt;
  return read_manifest(path);
}

std::optional<StoredManifest> stored_summary_manifest(const std::filesystem::path& summary) {
  for (const auto& path : {summary_manifest_path(summary), legacy_summary_manifest_path(summary)}) {
    if (path == summary) continue;
    if (auto manifest = stored_manifest(path)) return StoredManifest{*manifest, path};
  }
  return std::nullopt;
}

std::filesystem::path run_manifest_path(const std::filesystem::path& run_dir) {
  return run_dir / "manifest.json";
}

std::filesystem::path part_path(const std::filesystem::path& run_dir, std::int32_t part) {
  return run_dir / ("part-" + std::to_string(part) + ".csv");
}

// Whether two names are one file: the same inode, or the same name once links and dots are
// resolved (for files not there yet).
bool same_path(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::error_code error;
  if (std::filesystem::equivalent(a, b, error)) return true;
  const auto canonical_a = std::filesystem::weakly_canonical(a, error);
  if (error) return a.lexically_normal() == b.lexically_normal();
  const auto canonical_b = std::filesystem::weakly_canonical(b, error);
  if (error) return a.lexically_normal() == b.lexically_normal();
  return canonical_a == canonical_b;
}

std::filesystem::path trajectories_path_of(const std::filesystem::path& summary) {
  std::filesystem::path path = summary;
  return path.replace_extension(".trajectories.csv");
}

RowRange part_rows(std::int64_t rows, std::int32_t part, std::int32_t parts) {
  // The first rows % parts parts hold one row more than the others.
  const std::int64_t size = rows / parts;
  const std::int64_t longer = rows % parts;
  const std::int64_t before = part - 1;
  const std::int64_t first = size * before + std::min(before, longer);
  return RowRange{first, first + size + (before < longer ? 1 : 0)};
}

std::int32_t part_of_row(std::int64_t rows, std::int32_t parts, std::int64_t row) {
  const std::int64_t size = rows / parts;
  const std::int64_t longer = rows % parts;
  const std::int64_t in_longer = (size + 1) * longer;
  if (row < in_longer) return static_cast<std::int32_t>(row / (size + 1) + 1);
  return static_cast<std::int32_t>(longer + (row - in_longer) / size + 1);
}

std::string part_command(const Manifest& manifest, std::int32_t part) {
  return part_command(manifest, std::to_string(part) + "/" + std::to_string(manifest.parts));
}

std::string part_command(const Manifest& manifest, std::string_view part_word) {
  std::string line = shell_quote(manifest.executable) + " sweep";
  if (manifest.design) {
    // The run directory's manifest holds the design's rows.
    line += " --design " + shell_quote(run_manifest_path(manifest.run_dir).string());
    line += " --replicates " + std::to_string(manifest.replicates);
    line += " --seed " + std::to_string(manifest.base_seed);
  } else {
    line += experiment_flags(manifest);
  }
  line += " --part " + std::string(part_word);
  line += " --run-dir " + shell_quote(manifest.run_dir);
  if (manifest.outputs) line += " --outputs " + shell_quote(*manifest.outputs);
  if (manifest.trajectories) line += " --trajectories";
  return line;
}

std::string replicate_command(const Manifest& manifest, const SimulationParameters& point,
                              std::int32_t grid_index, std::int32_t replicate) {
  std::string line = shell_quote(manifest.executable) + " run";
  for (std::size_t i = 0; i < kParameterCount; ++i) {
    line += ' ';
    line += kParameterFlags[i];
    line += ' ';
    line += parameter_text(point, i);
  }
  line += " --seed " + std::to_string(replicate_seed(manifest.base_seed, grid_index, replicate));
  line +=
      " --grid-index " + std::to_string(grid_index) + " --replicate " + std::to_string(replicate);
  const std::string name = std::to_string(grid_index) + "-" + std::to_string(replicate);
  const std::filesystem::path summary = std::filesystem::path(manifest.run_dir) / (name + ".csv");
  line += " --summary " + shell_quote(summary.string());
  if (manifest.trajectories) {
    line += " --trajectory " + shell_quote(trajectories_path_of(summary).string());
  }
  if (manifest.outputs) {
    line += " --output " + shell_quote((std::filesystem::path(*manifest.outputs) /
                                        replicate_results_name(grid_index, replicate))
                                           .string());
  } else {
    line += " --no-output";
  }
  return line;
}

}  // namespace hostswitch
