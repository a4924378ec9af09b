#include "reporting/figure_words.hpp"

#include <array>
#include <utility>

#include "model/parameters.hpp"

namespace hostswitch {

namespace {

// Outputs and axes, beside the parameters' own words.
constexpr std::array<std::pair<std::string_view, std::string_view>, 21> kWords = {{
    {"p_extinct", "share of replicates extinct"},
    {"p_switched", "share with a host switch"},
    {"mean_switches", "mean generations with a switch"},
    {"km_median_extinction", "median generation of extinction"},
    {"mean_final_n_pop", "mean final population size"},
    {"mean_extinction_generation", "mean generations run"},
    {"mean_switch_rate", "mean switch rate"},
    {"mean_final_displacement", "mean final host displacement"},
    {"switch_generations", "generations with a host switch"},
    {"replicates", "replicates"},
    {"km_survival", "share not yet extinct"},
    {"n_g", "generation"},
    {"G", "generation"},
    {"p_phe", "phenotype"},
    {"population", "population size"},
    {"share_by_G", "share by generation G"},
    {"S1", "first-order index"},
    {"ST", "total index"},
    {"μ*", "mean absolute elementary effect"},
    {"σ", "s.d. of elementary effects"},
    {"index", "Sobol' index"},
}};

}  // namespace

std::string figure_words(std::string_view name) {
  if (const auto which = parameter_by_name(name)) return std::string(kParameters[*which].words);
  for (const auto& [key, words] : kWords) {
    if (key == name) return std::string(words);
  }
  // p_extinct_by_100: the share's words by that generation.
  const std::size_t by = name.find("_by_");
  if (by != std::string_view::npos) {
    const std::string_view share = name.substr(0, by);
    const std::string_view generation = name.substr(by + 4);
    std::string words = share == "p_extinct"    ? "share extinct"
                        : share == "p_switched" ? "share switched"
                                                : figure_words(share);
    return words + " by generation " + std::string(generation);
  }
  return std::string(name);
}

std::string figure_label(std::string_view name) {
  const std::string words = figure_words(name);
  if (words == name) return words;
  return words + " (" + std::string(name) + ")";
}

}  // namespace hostswitch
