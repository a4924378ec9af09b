#pragma once

// What a figure calls the things it draws: words first, the column or symbol after them in
// parentheses ("emigration rate (emig_rate)"). The one list every figure asks; a parameter's
// words are its own in the parameter table.

#include <string>
#include <string_view>

namespace hostswitch {

// The words for a parameter, an output of the statistics or sensitivity tables, or an axis of
// a figure (n_g, G, S1, ST, μ*, σ). A share or output by generation
// ("p_extinct_by_100") reads with its generation. An unknown name comes back as it is.
std::string figure_words(std::string_view name);
// The words, then the name in parentheses; the name alone when it has no words.
std::string figure_label(std::string_view name);

}  // namespace hostswitch
