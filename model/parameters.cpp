#include "model/parameters.hpp"

#include <array>
#include <charconv>
#include <type_traits>

#include "base/number_chars.hpp"

namespace hostswitch {

namespace {

// Each parameter's field, in table order.
template <class F>
decltype(auto) visit_parameter(SimulationParameters& p, std::size_t which, F f) {
  switch (which) {
    case 0:
      return f(p.n_pop);
    case 1:
      return f(p.birth_rate);
    case 2:
      return f(p.capacity);
    case 3:
      return f(p.emig_rate);
    case 4:
      return f(p.sdr);
    case 5:
      return f(p.sdv);
    case 6:
      return f(p.max_dist);
    default:
      return f(p.n_gen);
  }
}

std::string real_text(double value) {
  std::array<char, 32> buffer{};
  const auto result = double_to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  return std::string(buffer.data(), result.ptr);
}

}  // namespace

double parameter_value(const SimulationParameters& p, std::size_t which) {
  SimulationParameters copy = p;
  return visit_parameter(copy, which, [](auto field) { return static_cast<double>(field); });
}

void set_parameter_value(SimulationParameters& p, std::size_t which, double value) {
  visit_parameter(p, which, [value](auto& field) {
    field = static_cast<std::remove_reference_t<decltype(field)>>(value);
  });
}

std::string parameter_text(const SimulationParameters& p, std::size_t which) {
  SimulationParameters copy = p;
  return visit_parameter(copy, which, [](auto field) {
    if constexpr (std::is_integral_v<decltype(field)>) {
      return std::to_string(field);
    } else {
      return real_text(field);
    }
  });
}

std::string typical_value_text(std::size_t which) {
  std::string text = parameter_text(typical_parameters(), which);
  if (!kParameters[which].integer && text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

std::optional<std::size_t> parameter_by_name(std::string_view name) {
  for (std::size_t i = 0; i < kParameterCount; ++i) {
    if (kParameters[i].name == name) return i;
  }
  return std::nullopt;
}

std::optional<ParameterRefusal> domain_refusal(const SimulationParameters& p) {
  enum { kSdr = 4, kSdv = 5, kNGen = 7, kEmigRate = 3, kMaxDist = 6 };
  // A width whose square underflows is as good as none: every weight would be 0/0.
  if (p.sdr * p.sdr * 2.0 == 0.0) {
    return ParameterRefusal{
        kSdr, real_text(p.sdr) +
                  " gives the survival function no width; give a standard deviation other than 0"};
  }
  if (p.sdv * p.sdv * 2.0 == 0.0) {
    return ParameterRefusal{
        kSdv, real_text(p.sdv) +
                  " gives the mutation function no width; give a standard deviation other than 0"};
  }
  if (p.n_gen < 1)
    return ParameterRefusal{kNGen, "must be at least 1, got " + std::to_string(p.n_gen)};
  if (!(p.emig_rate >= 0.0 && p.emig_rate <= 1.0)) {
    return ParameterRefusal{kEmigRate, "must lie between 0 and 1, got " + real_text(p.emig_rate)};
  }
  if (p.max_dist < 0.0) {
    return ParameterRefusal{kMaxDist, "must be at least 0, got " + real_text(p.max_dist)};
  }
  return std::nullopt;
}

}  // namespace hostswitch
