// Prints the first COUNT points of the unscrambled Sobol' sequence in DIMENSIONS dimensions, one
// row a line, in shortest round-trip form, for a comparison with another implementation.
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "batch/design.hpp"
#include "batch/summary.hpp"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: sobol_points_dump DIMENSIONS COUNT\n");
    return 2;
  }
  const auto dimensions = static_cast<std::size_t>(std::strtoul(argv[1], nullptr, 10));
  const auto count = static_cast<std::size_t>(std::strtoul(argv[2], nullptr, 10));
  const std::vector<double> points = hostswitch::sobol_sequence(dimensions, count);
  std::string text;
  for (std::size_t i = 0; i < points.size(); ++i) {
    text += hostswitch::shortest(points[i]);
    text += (i + 1) % dimensions == 0 ? '\n' : ',';
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}
