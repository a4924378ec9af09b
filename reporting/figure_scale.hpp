#pragma once

#include <string>
#include <vector>

namespace hostswitch {

// The tick rule every picture shares: steps of 1, 2 or 5 times a power of ten, on linear
// axes and on logarithmic ones.

// A round step giving about `target` intervals over `span` (1 for a span that is not
// positive and finite).
double nice_step(double span, int target);

// Decimals that show every multiple of `step` exactly (0 for steps of 1 or more).
int step_decimals(double step);

// The multiples of `step` within [low, high]; none when there would be more than 100.
std::vector<double> linear_ticks(double low, double high, double step);

// Ticks of a logarithmic axis over [low, high], both positive: 1, 2 and 5 times every power
// of ten when the axis spans little, only the powers of ten when that gives more than
// `target` ticks, and every second or third power when even those are too many.
std::vector<double> log_ticks(double low, double high, int target);

// A number for reading, rounded to 4 significant digits with trailing zeros dropped:
// 0.9811546736227333 gives "0.9812", 12345.6 "12350"; below 1e-4 and from 1e6 in
// exponent form ("2e-05", "1e+06").
std::string tick_text(double value);

// The viridis scale at t in [0, 1], as "#rrggbb".
std::string viridis_hex(double t);

}  // namespace hostswitch
