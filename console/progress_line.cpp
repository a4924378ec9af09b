#include "console/progress_line.hpp"

#include <cstdio>
#include <ostream>
#include <string>

namespace hostswitch {

namespace {

std::string clock_text(double seconds) {
  const auto whole = static_cast<long long>(seconds);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                whole % 60);
  return buffer;
}

}  // namespace

void ProgressLine::show(std::size_t done, std::size_t total) {
  const auto now = std::chrono::steady_clock::now();
  if (drawn_ && done < total && now - last_ < std::chrono::milliseconds(100)) return;
  last_ = now;
  drawn_ = true;
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  std::string eta = "--:--:--";
  if (done > 0) {
    eta = clock_text(elapsed * static_cast<double>(total - done) / static_cast<double>(done));
  }
  err_ << "\r\x1b[K" << done << '/' << total << " runs, elapsed " << clock_text(elapsed) << ", ETA "
       << eta << std::flush;
}

void ProgressLine::clear() {
  if (drawn_) err_ << "\r\x1b[K" << std::flush;
}

}  // namespace hostswitch
