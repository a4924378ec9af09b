#pragma once

// Small sweeps with known rows, for the tests of manifests, parts and merges.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "batch/manifest.hpp"
#include "batch/sweep.hpp"

namespace hostswitch::testing {

// The lines of `text`, each with its line feed.
inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line + "\n");
  return lines;
}

// Two emigration rates by two widths, three replicates, base seed 77.
inline Manifest small_manifest(const std::filesystem::path& run_dir, std::int32_t parts) {
  Manifest manifest;
  manifest.lists = ParameterLists{{100}, {0.5}, {1000}, {0.05, 0.3}, {1, 2.5}, {0.5}, {2}, {25}};
  manifest.replicates = 3;
  manifest.base_seed = 77;
  manifest.command_line = {"hostswitch", "sweep"};
  manifest.parts = parts;
  manifest.executable = "/opt/hostswitch";
  manifest.run_dir = run_dir.string();
  return manifest;
}

inline std::vector<std::string> reference_rows(const Manifest& manifest) {
  SweepSettings settings;
  settings.grid = expand_grid(manifest.lists);
  settings.replicates = manifest.replicates;
  settings.base_seed = manifest.base_seed;
  std::ostringstream summary;
  run_sweep(settings, summary);
  std::vector<std::string> rows = lines_of(summary.str());
  rows.erase(rows.begin());
  return rows;
}

inline std::string joined(const std::vector<std::string>& rows, std::size_t first,
                          std::size_t end) {
  std::string text;
  for (std::size_t i = first; i < end; ++i) text += rows[i];
  return text;
}

}  // namespace hostswitch::testing
