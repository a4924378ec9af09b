#include "analysis/sensitivity_report.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <set>
#include <vector>

#include "analysis/replicate_stats.hpp"
#include "analysis/sensitivity.hpp"
#include "base/csv.hpp"
#include "base/svg_writer.hpp"
#include "batch/summary.hpp"
#include "model/parameters.hpp"

namespace hostswitch {

namespace {

constexpr const char* kFirstColour = "#0072B2";  // Okabe and Ito's blue
constexpr const char* kTotalColour = "#D55E00";  // and vermillion

// Each output of one design point: the mean over its replicates, and the variance of that
// mean (the replicates' variance over their count; none for a single replicate).
struct PointOutputs {
  std::vector<double> value;
  std::vector<double> noise;
  bool has_noise = false;
};

// One replicate's value of every output of sensitivity_outputs(), in its order.
void replicate_values(const SummaryData& summary, const ReplicateFacts& r, std::vector<double>& v) {
  v = {r.extinct ? 1.0 : 0.0,
       r.switch_generations > 0 ? 1.0 : 0.0,
       static_cast<double>(r.switch_generations),
       static_cast<double>(r.final_n_pop),
       static_cast<double>(r.generations_run),
       r.generations_run > 0 ? static_cast<double>(r.switch_generations) / r.generations_run : 0.0};
  for (const std::int32_t g : summary.at_generations) {
    if (summary.has_outcomes) {
      v.push_back(r.first_switch_generation > 0 && r.first_switch_generation <= g ? 1.0 : 0.0);
    }
    v.push_back(r.extinct && r.generations_run <= g ? 1.0 : 0.0);
  }
}

PointOutputs outputs_of(const SummaryData& summary, const GridPointRuns& point,
                        std::size_t outputs) {
  PointOutputs out;
  const auto n = static_cast<double>(point.replicates.size());
  std::vector<double> sum(outputs);
  std::vector<double> v;
  for (const ReplicateFacts& r : point.replicates) {
    replicate_values(summary, r, v);
    for (std::size_t o = 0; o < outputs; ++o) sum[o] += v[o];
  }
  out.value.resize(outputs);
  for (std::size_t o = 0; o < outputs; ++o) out.value[o] = sum[o] / n;
  if (point.replicates.size() > 1) {
    out.has_noise = true;
    std::vector<double> squares(outputs);
    for (const ReplicateFacts& r : point.replicates) {
      replicate_values(summary, r, v);
      for (std::size_t o = 0; o < outputs; ++o) {
        squares[o] += (v[o] - out.value[o]) * (v[o] - out.value[o]);
      }
    }
    out.noise.resize(outputs);
    for (std::size_t o = 0; o < outputs; ++o) out.noise[o] = squares[o] / (n - 1.0) / n;
  }
  return out;
}

// The share of the variance of the point means that replicate noise accounts for: the mean
// variance of a point's mean over the variance between the point means; none when unknown.
std::vector<std::optional<double>> noise_shares(const std::vector<PointOutputs>& points,
                                                std::size_t outputs) {
  std::vector<std::optional<double>> shares(outputs);
  if (points.size() < 2 || !std::all_of(points.begin(), points.end(),
                                        [](const PointOutputs& p) { return p.has_noise; })) {
    return shares;
  }
  const auto n = static_cast<double>(points.size());
  for (std::size_t o = 0; o < outputs; ++o) {
    double mean = 0.0;
    double noise = 0.0;
    for (const auto& p : points) {
      mean += p.value[o];
      noise += p.noise[o];
    }
    mean /= n;
    double total = 0.0;
    for (const auto& p : points) total += (p.value[o] - mean) * (p.value[o] - mean);
    total /= n - 1.0;
    if (total > 0.0) shares[o] = std::min(1.0, noise / n / total);
  }
  return shares;
}

// An unknown number is an empty field.
std::string optional_text(const std::optional<double>& value) {
  return value ? shortest(*value) : std::string();
}

// Field `which` of a point's labels (as the summary holds them, CSV fields).
std::string label_field(std::string_view labels, std::size_t which) {
  std::vector<std::string> fields = csv_fields_of(labels, "labels");
  return which < fields.size() ? std::move(fields[which]) : std::string();
}

std::vector<std::size_t> varied_parameters(const SummaryData& summary) {
  std::vector<std::size_t> varied;
  for (std::size_t i = 0; i < kParameterCount; ++i) {
    const double first = parameter_value(summary.points.front().parameters, i);
    for (const GridPointRuns& point : summary.points) {
      if (parameter_value(point.parameters, i) != first) {
        varied.push_back(i);
        break;
      }
    }
  }
  return varied;
}

// The value an output takes at every design point; none when it varies, and then it has indices.
std::optional<double> constant_output(const std::vector<PointOutputs>& outputs, std::size_t o) {
  for (const PointOutputs& p : outputs) {
    if (p.value[o] != outputs.front().value[o]) return std::nullopt;
  }
  return outputs.front().value[o];
}

std::string constant_note(const std::string& output, double value) {
  return "<p>" + output + " is the same at every design point (" + shortest(value) +
         "): no index.</p>";
}

// Why an index should not be read as it stands, and what to do; empty when nothing is wrong.
// Estimates outside [0, 1] or intervals this wide come from too few base rows or noisy outputs.
constexpr std::string_view kMoreRows = ": raise N (design size) or replicates";
constexpr std::string_view kMoreTrajectories = ": raise trajectories";

std::string sobol_warning(const IndexWithInterval& first, const IndexWithInterval& total) {
  std::string problems;
  for (const auto& [name, index] : {std::pair{"S1", &first}, {"ST", &total}}) {
    if (index->hi - index->lo > 1.0) {
      problems += (problems.empty() ? "" : "; ") + std::string(name) + " interval wider than 1";
    }
    if (index->value < -0.05 || index->value > 1.05) {
      problems += (problems.empty() ? "" : "; ") + std::string(name) + " outside [0, 1]";
    }
  }
  return problems.empty() ? problems : problems + std::string(kMoreRows);
}

std::string morris_warning(const MorrisEffects& effects) {
  if (effects.effects >= 2) return "";
  return (effects.effects == 0 ? std::string("no effect")
                               : std::string("one effect, so no sigma")) +
         std::string(kMoreTrajectories);
}

// The warnings of a figure's parameters, as its caption gives them.
std::string warnings_caption(const std::vector<std::size_t>& varied,
                             const std::vector<std::string>& warnings) {
  std::string caption;
  for (std::size_t i = 0; i < varied.size(); ++i) {
    if (warnings[i].empty()) continue;
    caption += " ⚠ " + xml_escape(std::string(kParameterNames[varied[i]])) + ": " +
               xml_escape(warnings[i]) + ".";
  }
  return caption;
}

// A parameter's name on a figure, marked when its numbers come with a warning.
std::string parameter_label(std::size_t which, const std::string& warning) {
  const std::string name = xml_escape(std::string(kParameterNames[which]));
  if (warning.empty()) return name;
  return "<title>" + xml_escape(warning) + "</title>⚠ " + name;
}

std::string note_section(const std::string& title, const std::string& note) {
  return "<section id=\"sensitivity\"><h2>" + xml_escape(title) + "</h2><p>" + xml_escape(note) +
         "</p></section>";
}

void noise_paragraph(std::string& html, const std::vector<std::string>& names,
                     const std::vector<std::optional<double>>& shares) {
  html +=
      "<p>Share of the variance between design points that replicate noise accounts for (the "
      "mean variance of a point's mean over the variance of the point means); where it is large, "
      "more replicates are needed before the indices mean much:";
  for (std::size_t o = 0; o < names.size(); ++o) {
    html += std::string(o == 0 ? " " : "; ") + names[o] + " " +
            (shares[o] ? svg_number(*shares[o], 3)
                       : std::string("unknown (no variation, or one replicate a point)"));
  }
  html += ".</p>";
}

// Bars of S_i and ST_i with their intervals, one row per parameter.
void sobol_figure(std::string& html, std::string_view output,
                  const std::vector<std::size_t>& varied, const SobolIndices& indices,
                  const std::vector<std::string>& warnings) {
  double lo = 0.0;
  double hi = 1.0;
  for (std::size_t i = 0; i < varied.size(); ++i) {
    for (const auto* index : {&indices.first[i], &indices.total[i]}) {
      lo = std::min(lo, std::max(index->lo, -1.0));
      hi = std::max(hi, std::min(index->hi, 2.0));
    }
  }
  const double left = 110.0;
  const double width = 330.0;
  const double row = 34.0;
  const double height = 30.0 + row * static_cast<double>(varied.size()) + 24.0;
  auto x = [&](double v) { return left + (std::clamp(v, lo, hi) - lo) / (hi - lo) * width; };
  html += "<figure><svg xmlns=\"http://www.w3.org/2000/svg\" width=\"460\" height=\"" +
          svg_number(height) + "\" role=\"img\"><title>" + xml_escape(std::string(output)) +
          "</title>";
  html += "<text x=\"" + svg_number(left) + "\" y=\"16\" font-size=\"13\">" +
          xml_escape(std::string(output)) + "</text>";
  const double bottom = 30.0 + row * static_cast<double>(varied.size());
  for (const double tick : {0.0, 0.5, 1.0}) {
    html += "<line x1=\"" + svg_number(x(tick)) + "\" y1=\"26\" x2=\"" + svg_number(x(tick)) +
            "\" y2=\"" + svg_number(bottom) + "\" stroke=\"#ccc\"/><text x=\"" +
            svg_number(x(tick)) + "\" y=\"" + svg_number(bottom + 14) +
            "\" font-size=\"11\" text-anchor=\"middle\">" + svg_number(tick, 1) + "</text>";
  }
  for (std::size_t i = 0; i < varied.size(); ++i) {
    const double top = 30.0 + row * static_cast<double>(i);
    html += "<text x=\"" + svg_number(left - 6) + "\" y=\"" + svg_number(top + 18) +
            "\" font-size=\"12\" text-anchor=\"end\">" + parameter_label(varied[i], warnings[i]) +
            "</text>";
    const std::pair<const IndexWithInterval*, const char*> bars[] = {
        {&indices.first[i], kFirstColour}, {&indices.total[i], kTotalColour}};
    for (std::size_t b = 0; b < 2; ++b) {
      const auto& [index, colour] = bars[b];
      const double y = top + 4.0 + 12.0 * static_cast<double>(b);
      const double from = std::min(x(0.0), x(index->value));
      html += "<rect x=\"" + svg_number(from) + "\" y=\"" + svg_number(y) + "\" width=\"" +
              svg_number(std::fabs(x(index->value) - x(0.0))) + "\" height=\"10\" fill=\"" +
              colour + "\"/>";
      html += "<line x1=\"" + svg_number(x(index->lo)) + "\" y1=\"" + svg_number(y + 5) +
              "\" x2=\"" + svg_number(x(index->hi)) + "\" y2=\"" + svg_number(y + 5) +
              "\" stroke=\"#000\"/>";
    }
  }
  html += "</svg><figcaption>" + xml_escape(std::string(output)) +
          ": first-order S_i (blue) and total ST_i (vermillion) with their bootstrap 95% "
          "intervals." +
          warnings_caption(varied, warnings) + "</figcaption></figure>";
}

// S1 and ST of a share by generation against G, one panel per parameter, with their intervals:
// which parameters decide early switching or extinction and which late.
void sobol_generations_figure(std::string& html, const std::string& share,
                              const std::vector<std::int32_t>& at,
                              const std::vector<std::size_t>& varied,
                              const std::map<std::string, SobolIndices, std::less<>>& indices) {
  std::vector<std::pair<double, const SobolIndices*>> series;
  for (const std::int32_t g : at) {
    const auto found = indices.find(share + "_by_" + std::to_string(g));
    if (found != indices.end()) series.emplace_back(g, &found->second);
  }
  if (series.empty() || varied.empty()) return;
  const double left = 110.0, width = 320.0, panel = 90.0, end = series.back().first;
  auto x = [&](double g) { return left + g / end * width; };
  const double height = 30.0 + panel * static_cast<double>(varied.size()) + 20.0;
  html += "<figure><svg xmlns=\"http://www.w3.org/2000/svg\" width=\"460\" height=\"" +
          svg_number(height) + "\" role=\"img\"><title>" + xml_escape(share) +
          "_by_G</title><text x=\"" + svg_number(left) + "\" y=\"16\" font-size=\"13\">" +
          xml_escape(share) + "_by_G against G (0 to " + svg_number(end, 6) + ")</text>";
  for (std::size_t i = 0; i < varied.size(); ++i) {
    const double top = 30.0 + panel * static_cast<double>(i);
    auto y = [&](double v) { return top + 76.0 - std::clamp(v, -0.1, 1.1) / 1.2 * 76.0 - 6.0; };
    html += "<text x=\"" + svg_number(left - 6) + "\" y=\"" + svg_number(top + 40) +
            "\" font-size=\"12\" text-anchor=\"end\">" +
            xml_escape(std::string(kParameterNames[varied[i]])) + "</text><rect x=\"" +
            svg_number(left) + "\" y=\"" + svg_number(top) + "\" width=\"" + svg_number(width) +
            "\" height=\"80\" fill=\"none\" stroke=\"#ccc\"/>";
    for (const double level : {0.0, 1.0}) {
      html += "<line x1=\"" + svg_number(left) + "\" y1=\"" + svg_number(y(level)) + "\" x2=\"" +
              svg_number(left + width) + "\" y2=\"" + svg_number(y(level)) +
              "\" stroke=\"#eee\"/><text x=\"" + svg_number(left + width + 4) + "\" y=\"" +
              svg_number(y(level) + 4) + "\" font-size=\"10\">" + svg_number(level, 1) + "</text>";
    }
    for (const bool total : {false, true}) {
      const char* colour = total ? kTotalColour : kFirstColour;
      std::string d;
      for (const auto& [g, s] : series) {
        const IndexWithInterval& index = total ? s->total[i] : s->first[i];
        d += d.empty() ? 'M' : 'L';
        d += svg_number(x(g));
        d += ' ';
        d += svg_number(y(index.value));
        html += "<line x1=\"" + svg_number(x(g)) + "\" y1=\"" + svg_number(y(index.lo)) +
                "\" x2=\"" + svg_number(x(g)) + "\" y2=\"" + svg_number(y(index.hi)) +
                "\" stroke=\"" + colour + "\"/>";
      }
      html += "<path d=\"" + d + "\" fill=\"none\" stroke=\"" + colour + "\"/>";
    }
  }
  html += "</svg><figcaption>" + xml_escape(share) +
          "_by_G: first-order S_i (blue) and total ST_i (vermillion) against the generation G, "
          "with their bootstrap 95% intervals (each panel 0 to 1).</figcaption></figure>";
}

std::optional<SensitivityReport> sobol_report(const SummaryData& summary, std::size_t column,
                                              const std::vector<PointOutputs>& outputs,
                                              std::int32_t resamples) {
  const std::string title = "Sobol' sensitivity indices";
  const std::vector<std::size_t> varied = varied_parameters(summary);
  const std::size_t k = varied.size();
  // The points of each block, in grid order: the j-th of every block share base row j.
  std::map<std::string, std::vector<std::size_t>, std::less<>> blocks;
  for (std::size_t p = 0; p < summary.points.size(); ++p) {
    blocks[label_field(summary.points[p].labels, column)].push_back(p);
  }
  std::vector<std::string> wanted = {"A", "B"};
  for (std::size_t i = 1; i <= k; ++i) wanted.push_back("AB" + std::to_string(i));
  const std::size_t n = blocks["A"].size();
  for (const auto& name : wanted) {
    if (blocks[name].size() != n || n < 2) {
      return SensitivityReport{
          "", note_section(title,
                           "No indices: the block column does not hold blocks A, B and "
                           "AB1 ... AB" +
                               std::to_string(k) +
                               " of the same number of points (at "
                               "least two each; block " +
                               name + " has " + std::to_string(blocks[name].size()) +
                               "), one AB block per varied parameter.")};
    }
  }
  if (blocks.size() != wanted.size()) {
    return SensitivityReport{"", note_section(title,
                                              "No indices: the block column holds other "
                                              "blocks than A, B and AB1 ... AB" +
                                                  std::to_string(k) + ".")};
  }
  const std::vector<std::string> names = sensitivity_outputs(summary);
  const auto shares = noise_shares(outputs, names.size());
  std::string csv =
      "output,parameter,S1,S1_lo,S1_hi,ST,ST_lo,ST_hi,replicate_noise_share,warning\n";
  std::string html = "<section id=\"sensitivity\"><h2>" + title + "</h2>";
  html += "<p>" + std::to_string(n) + " base rows, " + std::to_string(k) +
          " varied parameters. S_i: Saltelli et al. (2010); ST_i: Jansen (1999); the intervals are "
          "the 2.5% and 97.5% points of " +
          std::to_string(resamples) + " bootstrap draws of the base rows.</p>";
  noise_paragraph(html, names, shares);
  std::map<std::string, SobolIndices, std::less<>> by_generation;
  for (std::size_t o = 0; o < names.size(); ++o) {
    auto column_of = [&](const std::string& name) {
      std::vector<double> y;
      for (const std::size_t p : blocks[name]) y.push_back(outputs[p].value[o]);
      return y;
    };
    const std::vector<double> a = column_of("A");
    const std::vector<double> b = column_of("B");
    std::vector<std::vector<double>> ab;
    for (std::size_t i = 1; i <= k; ++i) ab.push_back(column_of("AB" + std::to_string(i)));
    const std::string row_start = names[o] + ",";
    if (const auto constant = constant_output(outputs, o)) {
      for (std::size_t i = 0; i < k; ++i) {
        csv += row_start + std::string(kParameterNames[varied[i]]) + ",,,,,,," +
               optional_text(shares[o]) + ",\n";
      }
      html += constant_note(names[o], *constant);
      continue;
    }
    const SobolIndices indices = sobol_indices(a, b, ab, resamples);
    std::vector<std::string> warnings(k);
    for (std::size_t i = 0; i < k; ++i) {
      const auto& s = indices.first[i];
      const auto& t = indices.total[i];
      // Blocks A and B alone may not vary when the AB blocks do: no variance to divide by.
      const bool measured = indices.variance > 0.0;
      warnings[i] = measured ? sobol_warning(s, t) : "A and B do not vary" + std::string(kMoreRows);
      csv += row_start + std::string(kParameterNames[varied[i]]) + ",";
      if (measured) {
        csv += shortest(s.value) + "," + shortest(s.lo) + "," + shortest(s.hi) + "," +
               shortest(t.value) + "," + shortest(t.lo) + "," + shortest(t.hi) + ",";
      } else {
        csv += ",,,,,,";
      }
      csv += optional_text(shares[o]) + ",";
      append_csv_field(csv, warnings[i]);
      csv += "\n";
    }
    if (indices.variance <= 0.0) {
      html += "<p>" + names[o] + ": no index, " + xml_escape(warnings.front()) + ".</p>";
    } else if (names[o].find("_by_") != std::string::npos) {
      by_generation.emplace(names[o], indices);
    } else {
      sobol_figure(html, names[o], varied, indices, warnings);
    }
  }
  for (const char* share : {"p_switched", "p_extinct"}) {
    sobol_generations_figure(html, share, summary.at_generations, varied, by_generation);
  }
  html += "</section>";
  return SensitivityReport{csv, html};
}

// mu* against sigma, each parameter a labelled point.
void morris_figure(std::string& html, std::string_view output,
                   const std::vector<std::size_t>& varied,
                   const std::vector<MorrisEffects>& effects) {
  double top_x = 0.0;
  double top_y = 0.0;
  for (const auto& e : effects) {
    top_x = std::max(top_x, e.mu_star);
    top_y = std::max(top_y, e.sigma.value_or(0.0));
  }
  top_x = top_x > 0.0 ? top_x * 1.15 : 1.0;
  top_y = top_y > 0.0 ? top_y * 1.15 : 1.0;
  const double left = 50.0, bottom = 250.0, width = 330.0, height = 220.0;
  auto x = [&](double v) { return left + v / top_x * width; };
  auto y = [&](double v) { return bottom - v / top_y * height; };
  html +=
      "<figure><svg xmlns=\"http://www.w3.org/2000/svg\" width=\"460\" height=\"280\" "
      "role=\"img\"><title>" +
      xml_escape(std::string(output)) + "</title>";
  html += "<line x1=\"" + svg_number(left) + "\" y1=\"" + svg_number(bottom) + "\" x2=\"" +
          svg_number(left + width) + "\" y2=\"" + svg_number(bottom) +
          "\" stroke=\"#000\"/><line x1=\"" + svg_number(left) + "\" y1=\"" + svg_number(bottom) +
          "\" x2=\"" + svg_number(left) + "\" y2=\"" + svg_number(bottom - height) +
          "\" stroke=\"#000\"/>";
  html += "<text x=\"" + svg_number(left + width) + "\" y=\"" + svg_number(bottom + 16) +
          "\" font-size=\"12\" text-anchor=\"end\">μ* (max " + svg_number(top_x / 1.15, 3) +
          ")</text><text x=\"" + svg_number(left - 4) + "\" y=\"" +
          svg_number(bottom - height - 6) + "\" font-size=\"12\">σ (max " +
          svg_number(top_y / 1.15, 3) + ")</text>";
  std::string without_sigma;
  for (std::size_t i = 0; i < varied.size(); ++i) {
    const std::string name(kParameterNames[varied[i]]);
    if (!effects[i].sigma) {
      without_sigma += (without_sigma.empty() ? "" : ", ") + name;
      continue;
    }
    html += "<circle cx=\"" + svg_number(x(effects[i].mu_star)) + "\" cy=\"" +
            svg_number(y(*effects[i].sigma)) + "\" r=\"4\" fill=\"" + kFirstColour + "\"/>";
    html += "<text x=\"" + svg_number(x(effects[i].mu_star) + 6) + "\" y=\"" +
            svg_number(y(*effects[i].sigma) - 4) + "\" font-size=\"11\">" + xml_escape(name) +
            "</text>";
  }
  html += "</svg><figcaption>" + xml_escape(std::string(output)) +
          ": mean absolute elementary effect μ* against their standard deviation σ per "
          "parameter.";
  if (!without_sigma.empty()) {
    html +=
        " Not drawn, with fewer than two effects and so no σ: " + xml_escape(without_sigma) + ".";
  }
  html += "</figcaption></figure>";
}

std::optional<SensitivityReport> morris_report(const SummaryData& summary, std::size_t trajectory,
                                               std::size_t step,
                                               const std::vector<PointOutputs>& outputs) {
  const std::string title = "Morris elementary effects";
  const std::vector<std::size_t> varied = varied_parameters(summary);
  const std::size_t k = varied.size();
  if (k == 0) return SensitivityReport{"", note_section(title, "No parameter varies.")};
  // Each parameter on the unit scale of its span in the design: log when it spans two decades.
  std::vector<double> low(k), high(k);
  std::vector<bool> log(k);
  for (std::size_t c = 0; c < k; ++c) {
    low[c] = high[c] = parameter_value(summary.points.front().parameters, varied[c]);
    for (const auto& point : summary.points) {
      const double v = parameter_value(point.parameters, varied[c]);
      low[c] = std::min(low[c], v);
      high[c] = std::max(high[c], v);
    }
    log[c] = low[c] > 0.0 && high[c] / low[c] >= 100.0;
  }
  auto unit = [&](std::size_t c, double v) {
    return log[c] ? (std::log(v) - std::log(low[c])) / (std::log(high[c]) - std::log(low[c]))
                  : (v - low[c]) / (high[c] - low[c]);
  };
  // Points by trajectory, in step order.
  std::map<std::string, std::map<std::int64_t, std::size_t>, std::less<>> trajectories;
  for (std::size_t p = 0; p < summary.points.size(); ++p) {
    const std::string_view labels = summary.points[p].labels;
    const std::string step_text = label_field(labels, step);
    std::int64_t s = 0;
    const auto result = std::from_chars(step_text.data(), step_text.data() + step_text.size(), s);
    if (result.ec != std::errc{} || result.ptr != step_text.data() + step_text.size()) {
      return SensitivityReport{
          "", note_section(title,
                           "No effects: step '" + std::string(step_text) + "' of grid point " +
                               std::to_string(summary.points[p].grid_index) + " is not a number.")};
    }
    trajectories[label_field(labels, trajectory)][s] = p;
  }
  const std::vector<std::string> names = sensitivity_outputs(summary);
  const auto shares = noise_shares(outputs, names.size());
  std::string csv = "output,parameter,mu,mu_star,sigma,effects,replicate_noise_share,warning\n";
  std::string html = "<section id=\"sensitivity\"><h2>" + title + "</h2>";
  html += "<p>" + std::to_string(trajectories.size()) + " trajectories, " + std::to_string(k) +
          " varied parameters. Each effect is the change in the output over the step on the "
          "parameter's span in the design (0 to 1; a log scale where it spans two decades); μ* is "
          "Campolongo's mean absolute effect.</p>";
  noise_paragraph(html, names, shares);
  for (std::size_t o = 0; o < names.size(); ++o) {
    std::vector<MorrisTrajectory> runs;
    for (const auto& [name, steps] : trajectories) {
      MorrisTrajectory t;
      for (const auto& [s, p] : steps) {
        for (std::size_t c = 0; c < k; ++c) {
          t.unit.push_back(unit(c, parameter_value(summary.points[p].parameters, varied[c])));
        }
        t.output.push_back(outputs[p].value[o]);
      }
      runs.push_back(std::move(t));
    }
    const std::vector<MorrisEffects> effects = morris_effects(runs, k);
    const auto constant = constant_output(outputs, o);
    std::vector<std::string> warnings(k);
    for (std::size_t c = 0; c < k; ++c) {
      csv += names[o] + "," + std::string(kParameterNames[varied[c]]) + ",";
      if (constant) {
        csv += ",,,";
      } else {
        warnings[c] = morris_warning(effects[c]);
        csv += shortest(effects[c].mu) + "," + shortest(effects[c].mu_star) + "," +
               optional_text(effects[c].sigma) + ",";
      }
      csv += std::to_string(effects[c].effects) + "," + optional_text(shares[o]) + ",";
      append_csv_field(csv, warnings[c]);
      csv += "\n";
    }
    if (constant) {
      html += constant_note(names[o], *constant);
    } else if (names[o].find("_by_") == std::string::npos) {
      // Its caption names the parameters short of effects; the shares by generation are in the
      // table only, as a figure each would swamp the page.
      morris_figure(html, names[o], varied, effects);
    }
  }
  html += "</section>";
  return SensitivityReport{csv, html};
}

// A summary whose points are not the full cross product of their parameters' values.
bool not_a_grid(const SummaryData& summary, const std::vector<std::size_t>& varied) {
  if (!summary.label_names.empty()) return true;
  double product = 1.0;
  for (const std::size_t which : varied) {
    std::set<double> values;
    for (const auto& point : summary.points)
      values.insert(parameter_value(point.parameters, which));
    product *= static_cast<double>(values.size());
  }
  return product != static_cast<double>(summary.points.size());
}

constexpr std::size_t kMaxScatterPoints = 2000;

// One output per design point against one parameter; the shares with their Wilson intervals.
void scatter_panel(std::string& html, const SummaryData& summary,
                   const std::vector<PointOutputs>& outputs, const std::string& output_name,
                   std::size_t output, std::size_t which) {
  const std::size_t drawn = std::min(summary.points.size(), kMaxScatterPoints);
  double low = parameter_value(summary.points.front().parameters, which);
  double high = low;
  double top = 0.0;
  for (std::size_t p = 0; p < drawn; ++p) {
    const double v = parameter_value(summary.points[p].parameters, which);
    low = std::min(low, v);
    high = std::max(high, v);
    top = std::max(top, outputs[p].value[output]);
  }
  const bool share = output_name.starts_with("p_");
  if (share || !(top > 0.0)) top = 1.0;
  const bool log = low > 0.0 && high / low >= 100.0;
  auto scaled = [&](double v) { return log ? std::log10(v) : v; };
  const double from = scaled(low);
  const double span = scaled(high) > from ? scaled(high) - from : 1.0;
  const double left = 44.0, bottom = 150.0, width = 180.0, height = 125.0;
  auto x = [&](double v) { return left + (scaled(v) - from) / span * width; };
  auto y = [&](double v) { return bottom - v / top * height; };
  const std::string name(kParameterNames[which]);
  html += R"(<svg xmlns="http://www.w3.org/2000/svg" width="240" height="180" role="img"><title>)" +
          xml_escape(output_name + " against " + name) + "</title>";
  html += R"(<rect x=")" + svg_number(left) + R"(" y=")" + svg_number(bottom - height) +
          R"(" width=")" + svg_number(width) + R"(" height=")" + svg_number(height) +
          R"(" fill="none" stroke="#999"/>)";
  html += R"(<text x=")" + svg_number(left + width / 2) + R"(" y=")" + svg_number(bottom + 24) +
          R"(" font-size="11" text-anchor="middle">)" + xml_escape(name) + (log ? " (log)" : "") +
          ": " + svg_number(low, 3) + " to " + svg_number(high, 3) + R"(</text><text x=")" +
          svg_number(left - 4) + R"(" y=")" + svg_number(bottom - height + 4) +
          R"(" font-size="10" text-anchor="end">)" + svg_number(top, 3) + R"(</text><text x=")" +
          svg_number(left - 4) + R"(" y=")" + svg_number(bottom) +
          R"(" font-size="10" text-anchor="end">0</text>)";
  for (std::size_t p = 0; p < drawn; ++p) {
    const GridPointRuns& point = summary.points[p];
    const double px = x(parameter_value(point.parameters, which));
    if (share) {
      // The share's replicates, back from the share itself.
      const auto n = static_cast<std::int64_t>(point.replicates.size());
      const std::int64_t hits = std::llround(outputs[p].value[output] * static_cast<double>(n));
      const ProportionInterval interval = wilson_interval(hits, n);
      html += R"(<line x1=")" + svg_number(px) + R"(" y1=")" + svg_number(y(interval.lo)) +
              R"(" x2=")" + svg_number(px) + R"(" y2=")" + svg_number(y(interval.hi)) +
              R"(" stroke="#56B4E9" stroke-opacity="0.5"/>)";
    }
    html += R"(<circle cx=")" + svg_number(px) + R"(" cy=")" +
            svg_number(y(std::max(outputs[p].value[output], 0.0))) + R"(" r="1.8" fill=")" +
            kFirstColour + R"("/>)";
  }
  html += "</svg>";
}

std::string scatter_section(const SummaryData& summary, const std::vector<std::size_t>& varied,
                            const std::vector<PointOutputs>& outputs) {
  std::string html =
      R"(<section id="design-points"><h2>Outputs per design point</h2><p>Each output over the )"
      "replicates of each design point against each varied parameter";
  if (summary.points.size() > kMaxScatterPoints) {
    html += " (the first " + std::to_string(kMaxScatterPoints) + " of " +
            std::to_string(summary.points.size()) + " design points)";
  }
  html +=
      "; the shares (p_*) with their Wilson 95% intervals. A parameter spanning two "
      "decades or more is drawn on a log axis.</p>";
  const std::vector<std::string> names = sensitivity_outputs(summary);
  for (std::size_t o = 0; o < names.size(); ++o) {
    // The shares by generation have their indices against G; a scatter each would swamp the page.
    if (names[o].find("_by_") != std::string::npos) continue;
    html += "<figure><div>";
    for (const std::size_t which : varied) {
      scatter_panel(html, summary, outputs, names[o], o, which);
    }
    html += "</div><figcaption>" + names[o] + " per design point.</figcaption></figure>";
  }
  return html + "</section>";
}

}  // namespace

std::vector<std::string> sensitivity_outputs(const SummaryData& summary) {
  std::vector<std::string> names(kSensitivityOutputs.begin(), kSensitivityOutputs.end());
  names.emplace_back("mean_switch_rate");
  for (const std::int32_t g : summary.at_generations) {
    if (summary.has_outcomes) names.push_back("p_switched_by_" + std::to_string(g));
    names.push_back("p_extinct_by_" + std::to_string(g));
  }
  return names;
}

std::optional<SensitivityReport> sensitivity_report(const SummaryData& summary,
                                                    std::int32_t resamples) {
  const auto& names = summary.label_names;
  auto column = [&](std::string_view name) -> std::optional<std::size_t> {
    const auto found = std::find(names.begin(), names.end(), name);
    if (found == names.end()) return std::nullopt;
    return static_cast<std::size_t>(found - names.begin());
  };
  const auto block = column("block");
  const auto trajectory = column("trajectory");
  const auto step = column("step");
  const std::vector<std::size_t> varied = varied_parameters(summary);
  if (varied.empty() || !not_a_grid(summary, varied)) return std::nullopt;
  std::vector<PointOutputs> outputs;
  outputs.reserve(summary.points.size());
  const std::size_t count = sensitivity_outputs(summary).size();
  for (const GridPointRuns& point : summary.points) {
    outputs.push_back(outputs_of(summary, point, count));
  }
  std::optional<SensitivityReport> report;
  if (block) {
    report = sobol_report(summary, *block, outputs, resamples);
  } else if (trajectory && step) {
    report = morris_report(summary, *trajectory, *step, outputs);
  } else {
    report.emplace();
  }
  report->html += scatter_section(summary, varied, outputs);
  return report;
}

}  // namespace hostswitch
