#include "batch/trajectory.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <utility>

#include "base/atomic_file.hpp"
#include "base/number_chars.hpp"

namespace hostswitch {

namespace {

constexpr std::size_t kDrainSize = 1 << 16;

void append_integer(std::string& out, std::int64_t value) {
  std::array<char, 24> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  out.append(buffer.data(), result.ptr);
}

// The summary's own number form (shortest()), so a row and a summary of the same state read
// alike; written straight into the row, as a row holds four of them.
void append_real(std::string& out, double value) {
  std::array<char, 32> buffer{};
  const auto result = double_to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  out.append(buffer.data(), result.ptr);
}

}  // namespace

std::string trajectory_header() {
  return "grid_index,replicate,n_g,n_pop,n_offspring,n_HS,r_phe,rl_phe,mean_phe,sd_phe\n";
}

PhenotypeMoments phenotype_moments(std::span<const double> pop) {
  double sum = 0.0;
  for (const double z : pop) sum += z;
  const auto n = static_cast<double>(pop.size());
  const double mean = sum / n;
  double squares = 0.0;
  for (const double z : pop) squares += (z - mean) * (z - mean);
  return PhenotypeMoments{mean, std::sqrt(squares / n)};
}

void append_trajectory_row(std::string& out, const SimulationParameters& parameters,
                           std::int32_t grid_index, std::int32_t replicate,
                           const GenerationRecord& generation) {
  const GenerationSize size = generation_size(generation.pop.size(), parameters);
  const PhenotypeMoments moments = phenotype_moments(generation.pop);
  append_integer(out, grid_index);
  out += ',';
  append_integer(out, replicate);
  out += ',';
  append_integer(out, generation.n_g);
  out += ',';
  append_integer(out, static_cast<std::int64_t>(size.n_pop));
  out += ',';
  append_integer(out, static_cast<std::int64_t>(size.offspring()));
  out += ',';
  append_integer(out, generation.n_HS);
  out += ',';
  append_real(out, generation.r_phe);
  out += ',';
  append_real(out, generation.rl_phe);
  out += ',';
  append_real(out, moments.mean);
  out += ',';
  append_real(out, moments.sd);
  out += '\n';
}

TrajectoryRows::TrajectoryRows(const SimulationParameters& parameters, std::int32_t grid_index,
                               std::int32_t replicate)
    : parameters_(parameters), grid_index_(grid_index), replicate_(replicate) {}

void TrajectoryRows::report(const GenerationRecord& generation) {
  append_trajectory_row(text_, parameters_, grid_index_, replicate_, generation);
}

std::string TrajectoryRows::take_text() { return std::exchange(text_, std::string()); }

TrajectoryFile::TrajectoryFile(const std::filesystem::path& path,
                               const SimulationParameters& parameters, std::int32_t grid_index,
                               std::int32_t replicate)
    : file_(std::make_unique<AtomicFile>(path)), rows_(parameters, grid_index, replicate) {
  file_->write(trajectory_header());
}

TrajectoryFile::~TrajectoryFile() {
  if (!file_) return;
  try {
    close();
  } catch (...) {  // best effort: a destructor reports nothing
  }
}

void TrajectoryFile::report(const GenerationRecord& generation) {
  rows_.report(generation);
  if (rows_.text().size() >= kDrainSize) drain();
}

void TrajectoryFile::drain() { file_->write(rows_.take_text()); }

void TrajectoryFile::close() {
  if (!file_) return;
  const std::unique_ptr<AtomicFile> file = std::move(file_);
  file->write(rows_.take_text());
  file->commit();
}

}  // namespace hostswitch
