#pragma once

// Results-file text written by hand for the reader and plot tests.

#include <cstdio>
#include <string>

namespace hostswitch::results_text {

// The column titles: each right-justified in its field, single skips after the first.
inline std::string titles() {
  std::string line;
  const auto field = [&line](const char* title, std::size_t width, bool skip) {
    const std::string t = title;
    if (skip) line += ' ';
    line.append(width - t.size(), ' ');
    line += t;
  };
  field("n_g", 8, true);
  field("p_phe", 16, true);
  field("n_p", 10, true);
  field("r_phe", 16, false);
  field("rl_phe", 16, false);
  field("n_HS", 8, true);
  line += "\r\n";
  return line;
}

// The nine header lines as the results file documents them.
inline std::string header_lines() {
  return " This file is organized as following:\r\n"
         " --First column: generation time (n_g)\r\n"
         " --Second column: parasite phenotype with precision of +/- sdr/10,\r\n"
         " where sdr is the Standard deviation of the survival probability function (eqn 1\r\n"
         " ) (p_phe)\r\n"
         " --Third column: number of parasites with that phenotype (n_p)\r\n"
         " --Fourth column: optimum phenotype imposed by the utilized host (r_phe)\r\n"
         " --Fifth column: optimum phenotype imposed by the new host (rl_phe)\r\n"
         " --Sixth column:  number of parasites that successfully host-switched (n_HS)\r\n";
}

// The header lines, then the titles.
inline std::string header() { return header_lines() + titles(); }

// One class record, fields at their columns.
inline std::string record(int n_g, double p_phe, int n_p, double r_phe, double rl_phe, int n_HS) {
  char line[128];
  std::snprintf(line, sizeof line, " %8d %15.3f %10d %15.3f %15.3f %8d\r\n", n_g, p_phe, n_p, r_phe,
                rl_phe, n_HS);
  return line;
}

}  // namespace hostswitch::results_text
