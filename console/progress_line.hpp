#pragma once

#include <chrono>
#include <cstddef>
#include <iosfwd>

namespace hostswitch {

// "12/100 runs, elapsed 0:00:03, ETA 0:00:22", redrawn in place at most ten times a second.
class ProgressLine {
 public:
  explicit ProgressLine(std::ostream& err) : err_(err) {}
  void show(std::size_t done, std::size_t total);
  void clear();

 private:
  std::ostream& err_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_;
  bool drawn_ = false;
};

}  // namespace hostswitch
