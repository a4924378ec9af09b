#include "reporting/figure_scale.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

namespace hostswitch {

double nice_step(double span, int target) {
  if (!(span > 0) || !std::isfinite(span)) return 1.0;
  const double raw = span / target;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  const double fraction = raw / magnitude;
  const double nice = fraction < 1.5 ? 1.0 : fraction < 3.5 ? 2.0 : fraction < 7.5 ? 5.0 : 10.0;
  return nice * magnitude;
}

int step_decimals(double step) {
  if (step >= 1.0) return 0;
  return std::clamp(static_cast<int>(std::ceil(-std::log10(step) - 1e-9)), 0, 12);
}

std::vector<double> linear_ticks(double low, double high, double step) {
  std::vector<double> out;
  const double first = std::ceil(low / step - 1e-9);
  const double last = std::floor(high / step + 1e-9);
  if (!(last - first < 100)) return out;
  for (double k = first; k <= last; k += 1.0) out.push_back(k * step);
  return out;
}

std::vector<double> log_ticks(double low, double high, int target) {
  std::vector<double> out;
  if (!(low > 0) || !(high >= low) || !std::isfinite(high)) return out;
  const int first = static_cast<int>(std::floor(std::log10(low) + 1e-9));
  const int last = static_cast<int>(std::ceil(std::log10(high) - 1e-9));
  auto within = [&](double v) { return v >= low * (1 - 1e-9) && v <= high * (1 + 1e-9); };
  for (const std::array<double, 3>& mantissas :
       {std::array<double, 3>{1, 2, 5}, std::array<double, 3>{1, 0, 0}}) {
    out.clear();
    for (int e = first; e <= last; ++e) {
      for (const double m : mantissas) {
        const double v = m * std::pow(10.0, e);
        if (v > 0 && within(v)) out.push_back(v);
      }
    }
    if (static_cast<int>(out.size()) <= target) return out;
  }
  const auto every = static_cast<std::size_t>((out.size() + static_cast<std::size_t>(target) - 1) /
                                              static_cast<std::size_t>(std::max(target, 1)));
  std::vector<double> thinned;
  for (std::size_t i = 0; i < out.size(); i += every) thinned.push_back(out[i]);
  return thinned;
}

std::string tick_text(double value) {
  if (value == 0.0) return "0";
  const double magnitude = std::fabs(value);
  std::array<char, 32> buffer{};
  if (magnitude >= 1e4 && magnitude < 1e6) {
    const double unit = magnitude >= 1e5 ? 100.0 : 10.0;
    std::snprintf(buffer.data(), buffer.size(), "%.0f", std::round(value / unit) * unit);
    return buffer.data();
  }
  if (magnitude >= 1e-4 && magnitude < 1e6) {
    // Fewest decimals that keep 4 significant digits, trailing zeros dropped.
    const int decimals = std::clamp(3 - static_cast<int>(std::floor(std::log10(magnitude))), 0, 8);
    std::snprintf(buffer.data(), buffer.size(), "%.*f", decimals, value);
    std::string text(buffer.data());
    if (text.find('.') != std::string::npos) {
      while (text.back() == '0') text.pop_back();
      if (text.back() == '.') text.pop_back();
    }
    return text == "-0" ? "0" : text;
  }
  std::snprintf(buffer.data(), buffer.size(), "%.4g", value);
  return buffer.data();
}

namespace {

// Viridis at nine evenly spaced points; colours in between are interpolated.
constexpr std::array<std::array<int, 3>, 9> kViridis{{{0x44, 0x01, 0x54},
                                                      {0x47, 0x2d, 0x7b},
                                                      {0x3b, 0x52, 0x8b},
                                                      {0x2c, 0x72, 0x8e},
                                                      {0x21, 0x90, 0x8c},
                                                      {0x27, 0xad, 0x81},
                                                      {0x5d, 0xc8, 0x63},
                                                      {0xaa, 0xdc, 0x32},
                                                      {0xfd, 0xe7, 0x25}}};

}  // namespace

std::string viridis_hex(double t) {
  t = std::clamp(t, 0.0, 1.0);
  const double position = t * static_cast<double>(kViridis.size() - 1);
  const auto low = std::min(static_cast<std::size_t>(position), kViridis.size() - 2);
  const double f = position - static_cast<double>(low);
  static const char* const hex = "0123456789abcdef";
  std::string out = "#";
  for (std::size_t channel = 0; channel < 3; ++channel) {
    const double value = kViridis[low][channel] * (1.0 - f) + kViridis[low + 1][channel] * f;
    const int byte = std::clamp(static_cast<int>(std::lround(value)), 0, 255);
    out += hex[byte >> 4];
    out += hex[byte & 15];
  }
  return out;
}

}  // namespace hostswitch
