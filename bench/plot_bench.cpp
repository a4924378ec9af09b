#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "reporting/plot.hpp"
#include "reporting/results_file.hpp"
#include "reporting/results_reader.hpp"

namespace hostswitch {
namespace {

// The generated files are removed when the benchmark program ends.
struct GeneratedFiles {
  std::vector<std::filesystem::path> paths;
  ~GeneratedFiles() {
    std::error_code ignored;
    for (const auto& path : paths) std::filesystem::remove(path, ignored);
  }
};
GeneratedFiles generated;

// A results file of `lines` class records: 40 classes a generation around a drifting host,
// counts that vary, a host switch now and then. Written once, beside the system's temp files.
std::filesystem::path results_of(std::int64_t lines) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("hostswitch_plot_bench_" + std::to_string(lines) + ".txt");
  if (std::filesystem::exists(path)) return path;
  std::string text = results_header() + column_titles();
  std::mt19937 random(11);
  double host = 10.0;
  char line[96];
  for (std::int64_t written = 0, g = 1; written < lines; ++g) {
    const double offer = host + 4.0 * (static_cast<double>(random() % 1000) / 1000.0 - 0.5);
    const int switched = random() % 20 == 0 ? 3 : 0;
    for (int k = 0; k < 40 && written < lines; ++k, ++written) {
      std::snprintf(line, sizeof line, " %8d %15.3f %10d %15.3f %15.3f %8d\r\n",
                    static_cast<int>(g), host - 2.0 + 0.1 * k + 0.05,
                    1 + static_cast<int>(random() % 50), host, offer, switched);
      text += line;
    }
    if (switched != 0) host = offer;
  }
  std::ofstream(path, std::ios::binary) << text;
  generated.paths.push_back(path);
  return path;
}

// The whole plot command: read, check and picture a results file of 1,000,000 lines.
void BM_PlotResultsFile(benchmark::State& state) {
  const std::filesystem::path results = results_of(state.range(0));
  const std::filesystem::path svg = results.string() + ".svg";
  for (auto _ : state) plot_results_file({results, svg});
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(std::filesystem::file_size(results)));
  state.counters["svg_bytes"] = static_cast<double>(std::filesystem::file_size(svg));
  std::filesystem::remove(svg);
}
BENCHMARK(BM_PlotResultsFile)->Arg(1000000)->Unit(benchmark::kMillisecond);

// Reading alone, to tell parsing from drawing.
void BM_ReadResultsFile(benchmark::State& state) {
  const std::filesystem::path results = results_of(state.range(0));
  for (auto _ : state) {
    const ResultsData data = read_results_file(results);
    benchmark::DoNotOptimize(data.cells.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(std::filesystem::file_size(results)));
}
BENCHMARK(BM_ReadResultsFile)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace hostswitch
