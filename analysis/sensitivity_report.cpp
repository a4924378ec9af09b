#include "analysis/sensitivity_report.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <map>
#include <set>
#include <vector>

#include "analysis/replicate_stats.hpp"
#include "analysis/report.hpp"
#include "analysis/report_charts.hpp"
#include "analysis/sensitivity.hpp"
#include "base/csv.hpp"
#include "base/svg_writer.hpp"
#include "batch/summary.hpp"
#include "model/parameters.hpp"
#include "reporting/figure_words.hpp"

namespace hostswitch {

namespace {

using report_detail::Axis;
using report_detail::Colouring;
using report_detail::Figure;
using report_detail::kBottom;
using report_detail::kMaxIntervalPoints;
using report_detail::kPanelWidth;
using report_detail::kRight;
using report_detail::kTickFont;
using report_detail::kTop;
using report_detail::LegendEntry;
using report_detail::Panel;
using report_detail::PanelFrame;
using report_detail::PanelSpec;
using report_detail::parameter_axis;
using report_detail::path_to;
using report_detail::render_figure;
using report_detail::text_width;

constexpr const char* kFirstColour = "#0072B2";  // Okabe and Ito's blue
constexpr const char* kTotalColour = "#D55E00";  // and vermillion
// The Sobol' bars: a wider panel, with room on the left for the parameters' words.
constexpr double kWideWidth = 460;
constexpr double kWideLeft = 200;
constexpr double kSobolRow = 34;

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

// A parameter's label on a figure, marked when its numbers come with a warning.
std::string parameter_label(std::size_t which, const std::string& warning) {
  const std::string label = figure_label(kParameterNames[which]);
  return warning.empty() ? label : "⚠ " + label;
}

// Where figures go: the page always, a file of their own when asked; each with the line of
// what the summary holds fixed.
struct FigureSink {
  std::string footnote;
  std::vector<FigureFile>* files = nullptr;

  void show(std::string& html, Figure figure, const std::string& caption_html) const {
    figure.footnote = footnote;
    const Colouring none;
    html += "<figure id=\"figure-" + xml_escape(figure.name) + "\">" +
            render_figure(figure, none, false) + "<figcaption>" + caption_html +
            "</figcaption></figure>";
    if (files != nullptr)
      files->push_back(FigureFile{figure.name, render_figure(figure, none, true)});
  }
};

// The key of S1 and ST: swatches for bars, else solid and filled or dashed and open.
std::vector<LegendEntry> index_key(bool bars) {
  using Style = LegendEntry::Style;
  return {{figure_label("S1"), kFirstColour, bars ? Style::bar : Style::line},
          {figure_label("ST"), kTotalColour, bars ? Style::bar : Style::dashed}};
}

// An axis over [lo, hi] that always holds 0 and 1, with a little room at either end.
Axis index_axis(double lo, double hi) {
  lo = std::min(lo, 0.0);
  hi = std::max(hi, 1.0);
  const double pad = 0.04 * (hi - lo);
  return Axis{lo - pad, hi + pad};
}

// Bars of S_i and ST_i with their intervals, one row per parameter, from the zero line: a
// negative estimate goes left of it.
void sobol_figure(std::string& html, const FigureSink& sink, const std::string& output,
                  const std::vector<std::size_t>& varied, const SobolIndices& indices,
                  const std::vector<std::string>& warnings) {
  double lo = 0.0;
  double hi = 1.0;
  for (std::size_t i = 0; i < varied.size(); ++i) {
    for (const auto* index : {&indices.first[i], &indices.total[i]}) {
      for (const double v : {index->value, index->lo, index->hi}) {
        if (!std::isfinite(v)) continue;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
      }
    }
  }
  const auto k = static_cast<double>(varied.size());
  Figure figure;
  figure.name = "sobol-" + output;
  figure.key = index_key(true);
  PanelSpec panel;
  panel.frame.title = figure_label(output);
  panel.frame.x_title = figure_words("index") + " (S1, ST)";
  panel.frame.x = index_axis(lo, hi);
  panel.frame.y = Axis{0.0, k};
  panel.frame.width = kWideWidth;
  panel.frame.left = kWideLeft;
  panel.frame.height = kTop + kBottom + kSobolRow * k;
  for (std::size_t i = 0; i < varied.size(); ++i) {
    panel.frame.y_labels.emplace_back(k - static_cast<double>(i) - 0.5,
                                      parameter_label(varied[i], warnings[i]));
  }
  panel.draw = [indices, k](Panel& p) {
    const double zero = p.x(0.0);
    for (std::size_t i = 0; i < indices.first.size(); ++i) {
      const double centre = p.y(k - static_cast<double>(i) - 0.5);
      const std::pair<const IndexWithInterval*, const char*> bars[] = {
          {&indices.first[i], kFirstColour}, {&indices.total[i], kTotalColour}};
      for (std::size_t b = 0; b < 2; ++b) {
        const auto& [index, colour] = bars[b];
        const double top = centre - 11.0 + 12.0 * static_cast<double>(b);
        p.bar(zero, p.x(index->value), top, top + 10.0, colour, 0.85);
        p.line(p.x(index->lo), top + 5, p.x(index->hi), top + 5, "#000000");
        p.line(p.x(index->lo), top + 2, p.x(index->lo), top + 8, "#000000");
        p.line(p.x(index->hi), top + 2, p.x(index->hi), top + 8, "#000000");
      }
    }
    p.line(zero, kTop, zero, p.y(0.0), "#222222", 1.2);
  };
  figure.panels.push_back(std::move(panel));
  sink.show(html, std::move(figure),
            xml_escape(figure_label(output)) +
                ": first-order index S1 and total index ST of each parameter, with their "
                "bootstrap 95% intervals; an estimate below 0 is drawn left of the zero line." +
                warnings_caption(varied, warnings));
}

// S1 and ST of a share by generation against G, one panel per parameter, with their intervals:
// which parameters decide early switching or extinction and which late.
void sobol_generations_figure(std::string& html, const FigureSink& sink, const std::string& share,
                              const std::vector<std::int32_t>& at,
                              const std::vector<std::size_t>& varied,
                              const std::map<std::string, SobolIndices, std::less<>>& indices) {
  std::vector<std::pair<double, SobolIndices>> series;
  for (const std::int32_t g : at) {
    const auto found = indices.find(share + "_by_" + std::to_string(g));
    if (found != indices.end()) series.emplace_back(g, found->second);
  }
  if (series.empty() || varied.empty()) return;
  double lo = 0.0;
  double hi = 1.0;
  for (const auto& [g, s] : series) {
    for (const auto* list : {&s.first, &s.total}) {
      for (const IndexWithInterval& index : *list) {
        for (const double v : {index.value, index.lo, index.hi}) {
          if (!std::isfinite(v)) continue;
          lo = std::min(lo, v);
          hi = std::max(hi, v);
        }
      }
    }
  }
  Figure figure;
  figure.name = "sobol-" + share + "_by_G";
  figure.key = index_key(false);
  for (std::size_t i = 0; i < varied.size(); ++i) {
    PanelSpec panel;
    panel.frame = PanelFrame{figure_label(kParameterNames[varied[i]]), figure_label("G"),
                             figure_words("index"), Axis{0.0, series.back().first * 1.04},
                             index_axis(lo, hi)};
    panel.draw = [series, i](Panel& p) {
      p.line(p.x(0.0), p.y(0.0), p.x(series.back().first), p.y(0.0), "#888888");
      for (const bool total : {false, true}) {
        const char* colour = total ? kTotalColour : kFirstColour;
        const double shift = total ? 2.5 : -2.5;  // the two intervals side by side
        for (std::size_t j = 0; j < series.size(); ++j) {
          const auto& [g, s] = series[j];
          const IndexWithInterval& index = total ? s.total[i] : s.first[i];
          p.line(p.x(g) + shift, p.y(index.lo), p.x(g) + shift, p.y(index.hi), colour);
          if (j == 0) continue;
          const auto& [g0, s0] = series[j - 1];
          const IndexWithInterval& before = total ? s0.total[i] : s0.first[i];
          p.line(p.x(g0) + shift, p.y(before.value), p.x(g) + shift, p.y(index.value), colour, 1.6,
                 total);
        }
        for (const auto& [g, s] : series) {
          const IndexWithInterval& index = total ? s.total[i] : s.first[i];
          p.mark(p.x(g) + (total ? 2.5 : -2.5), p.y(index.value), colour, total);
        }
      }
    };
    figure.panels.push_back(std::move(panel));
  }
  sink.show(html, std::move(figure),
            xml_escape(figure_label(share + "_by_G")) +
                ": first-order index S1 (solid) and total index ST (dashed) of each parameter "
                "against the generation G, with their bootstrap 95% intervals.");
}

std::optional<SensitivityReport> sobol_report(const SummaryData& summary, std::size_t column,
                                              const std::vector<PointOutputs>& outputs,
                                              std::int32_t resamples, const FigureSink& sink) {
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
      sobol_figure(html, sink, names[o], varied, indices, warnings);
    }
  }
  for (const char* share : {"p_switched", "p_extinct"}) {
    sobol_generations_figure(html, sink, share, summary.at_generations, varied, by_generation);
  }
  html += "</section>";
  return SensitivityReport{csv, html};
}

// mu* against sigma, each parameter a labelled point.
void morris_figure(std::string& html, const FigureSink& sink, const std::string& output,
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
  std::string without_sigma;
  std::vector<std::pair<std::string, std::pair<double, double>>> points;
  for (std::size_t i = 0; i < varied.size(); ++i) {
    const std::string name(kParameterNames[varied[i]]);
    if (!effects[i].sigma) {
      without_sigma += (without_sigma.empty() ? "" : ", ") + name;
      continue;
    }
    points.push_back({name, {effects[i].mu_star, *effects[i].sigma}});
  }
  Figure figure;
  figure.name = "morris-" + output;
  PanelSpec panel;
  panel.frame = PanelFrame{figure_label(output), figure_label("μ*"), figure_label("σ"),
                           Axis{-0.03 * top_x, top_x}, Axis{-0.03 * top_y, top_y}};
  panel.draw = [points](Panel& p) {
    // Each name beside its point where it covers no point and no name placed before: right,
    // left, above, below (those two kept inside the frame).
    std::vector<std::array<double, 4>> taken;  // left, top, right, bottom
    for (const auto& [name, at] : points) {
      const double px = p.x(at.first);
      const double py = p.y(at.second);
      p.mark(px, py, kFirstColour);
      taken.push_back({px - 4, py - 4, px + 4, py + 4});
    }
    for (const auto& [name, at] : points) {
      const double px = p.x(at.first);
      const double py = p.y(at.second);
      const double w = text_width(name, kTickFont);
      const double centred = std::clamp(px - w / 2, p.x_min() + 2, p.x_max() - w - 2);
      const std::array<std::pair<double, double>, 4> places = {
          {{px + 6, py + 4}, {px - 6 - w, py + 4}, {centred, py - 8}, {centred, py + 17}}};
      std::array<double, 4> box{};
      for (const auto& [x, y] : places) {
        box = {x, y - 11, x + w, y + 2};
        const bool inside = box[0] >= p.x_min() && box[2] <= p.x_max() && box[1] >= kTop;
        const bool free = std::none_of(taken.begin(), taken.end(), [&](const auto& t) {
          return box[0] < t[2] && t[0] < box[2] && box[1] < t[3] && t[1] < box[3];
        });
        if (inside && free) break;
      }
      taken.push_back(box);
      p.label(box[0], box[3] - 2, name, "start");
    }
  };
  figure.panels.push_back(std::move(panel));
  std::string caption = xml_escape(figure_label(output)) +
                        ": the mean absolute elementary effect μ* of each parameter against "
                        "the standard deviation σ of its effects.";
  if (!without_sigma.empty()) {
    caption +=
        " Not drawn, with fewer than two effects and so no σ: " + xml_escape(without_sigma) + ".";
  }
  sink.show(html, std::move(figure), caption);
}

std::optional<SensitivityReport> morris_report(const SummaryData& summary, std::size_t trajectory,
                                               std::size_t step,
                                               const std::vector<PointOutputs>& outputs,
                                               const FigureSink& sink) {
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
      morris_figure(html, sink, names[o], varied, effects);
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
constexpr std::size_t kBins = 12;
constexpr const char* kPointColour = "#56B4E9";  // Okabe and Ito's sky blue

// An output's value at a design point with its 95% interval: a share's Wilson interval from
// its replicates, a mean's ±1.96 standard errors (none with one replicate).
struct PointValue {
  double value = 0.0;
  std::optional<ProportionInterval> interval;
  std::int64_t replicates = 0;
};

PointValue point_value(const GridPointRuns& point, const PointOutputs& outputs, std::size_t output,
                       bool share) {
  PointValue v;
  v.value = outputs.value[output];
  v.replicates = static_cast<std::int64_t>(point.replicates.size());
  if (share) {
    // The share's replicates, back from the share itself.
    const std::int64_t hits = std::llround(v.value * static_cast<double>(v.replicates));
    v.interval = wilson_interval(hits, v.replicates);
  } else if (outputs.has_noise) {
    const double half = 1.959963984540054 * std::sqrt(outputs.noise[output]);
    v.interval = ProportionInterval{v.value - half, v.value + half};
  }
  return v;
}

// One output per design point against each varied parameter, on the scale the values span.
void scatter_figure(std::string& html, const FigureSink& sink, const SummaryData& summary,
                    const std::vector<PointOutputs>& outputs, const std::string& output_name,
                    std::size_t output, const std::vector<std::size_t>& varied) {
  const std::size_t drawn = std::min(summary.points.size(), kMaxScatterPoints);
  const bool share = output_name.starts_with("p_");
  std::vector<PointValue> values;
  double low = 0.0;
  double top = share ? 1.0 : 0.0;
  for (std::size_t p = 0; p < drawn; ++p) {
    values.push_back(point_value(summary.points[p], outputs[p], output, share));
    const PointValue& v = values.back();
    low = std::min(low, v.interval && drawn <= kMaxIntervalPoints ? v.interval->lo : v.value);
    top = std::max(top, v.interval && drawn <= kMaxIntervalPoints ? v.interval->hi : v.value);
  }
  if (!(top > low)) top = low + 1.0;
  const bool binned = drawn > kMaxIntervalPoints;
  Figure figure;
  figure.name = "design-" + output_name;
  if (binned) {
    figure.key = {{"design point", kFirstColour, LegendEntry::Style::dot},
                  {"mean of a bin, 95% interval", kTotalColour}};
  }
  for (const std::size_t which : varied) {
    std::vector<double> xs;
    for (std::size_t p = 0; p < drawn; ++p) {
      xs.push_back(parameter_value(summary.points[p].parameters, which));
    }
    std::vector<double> sorted = xs;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    PanelSpec panel;
    const Axis y =
        share ? Axis{-0.03, 1.03} : Axis{low - 0.03 * (top - low), top + 0.05 * (top - low)};
    panel.frame =
        PanelFrame{figure_label(kParameterNames[which]), figure_label(kParameterNames[which]),
                   figure_label(output_name), parameter_axis(sorted, false), y};
    panel.frame.title = figure_words(kParameterNames[which]);
    panel.draw = [xs, values, binned, share](Panel& p) {
      for (std::size_t i = 0; i < xs.size(); ++i) {
        const double px = p.x(xs[i]);
        if (!binned && values[i].interval) {
          p.line(px, p.y(values[i].interval->lo), px, p.y(values[i].interval->hi), kPointColour,
                 1.0);
        }
      }
      for (std::size_t i = 0; i < xs.size(); ++i) {
        p.dot(p.x(xs[i]), p.y(values[i].value), binned ? 1.6 : 2.2, kFirstColour,
              binned ? 0.35 : 0.9);
      }
      if (!binned) return;
      // Bins of equal width on the axis as drawn (log or linear), in pixels.
      struct Bin {
        double x_sum = 0.0, sum = 0.0, squares = 0.0;
        std::int64_t points = 0, hits = 0, replicates = 0;
      };
      std::array<Bin, kBins> bins{};
      const double left = p.x_min();
      const double width = p.x_max() - left;
      for (std::size_t i = 0; i < xs.size(); ++i) {
        const double px = p.x(xs[i]);
        const auto b = std::min<std::size_t>(
            kBins - 1, static_cast<std::size_t>(std::max(0.0, (px - left) / width * kBins)));
        Bin& bin = bins[b];
        bin.x_sum += px;
        bin.sum += values[i].value;
        bin.squares += values[i].value * values[i].value;
        ++bin.points;
        bin.replicates += values[i].replicates;
        bin.hits += std::llround(values[i].value * static_cast<double>(values[i].replicates));
      }
      std::string d;
      for (const Bin& bin : bins) {
        if (bin.points == 0) continue;
        const auto n = static_cast<double>(bin.points);
        const double px = bin.x_sum / n;
        double mean = bin.sum / n;
        double lo = mean;
        double hi = mean;
        if (share) {
          // Every replicate of the bin's points together.
          mean = static_cast<double>(bin.hits) / static_cast<double>(bin.replicates);
          const ProportionInterval interval = wilson_interval(bin.hits, bin.replicates);
          lo = interval.lo;
          hi = interval.hi;
        } else if (bin.points > 1) {
          const double variance = std::max(0.0, (bin.squares - n * mean * mean) / (n - 1.0));
          const double half = 1.959963984540054 * std::sqrt(variance / n);
          lo = mean - half;
          hi = mean + half;
        }
        p.line(px, p.y(lo), px, p.y(hi), kTotalColour, 1.6);
        p.line(px - 3, p.y(lo), px + 3, p.y(lo), kTotalColour, 1.6);
        p.line(px - 3, p.y(hi), px + 3, p.y(hi), kTotalColour, 1.6);
        path_to(d, px, p.y(mean));
      }
      p.path(d, "none", kTotalColour, 1.6);
      for (const Bin& bin : bins) {
        if (bin.points == 0) continue;
        const auto n = static_cast<double>(bin.points);
        const double mean = share ? static_cast<double>(bin.hits) / bin.replicates : bin.sum / n;
        p.mark(bin.x_sum / n, p.y(mean), kTotalColour);
      }
    };
    figure.panels.push_back(std::move(panel));
  }
  std::string caption = xml_escape(figure_label(output_name)) + " at each design point";
  if (binned) {
    caption += " (dots) and its mean over " + std::to_string(kBins) +
               " bins of equal width along each axis, with the 95% interval of the mean (" +
               (share ? std::string("Wilson, over the bin's replicates")
                      : std::string("±1.96 standard errors over the bin's points")) +
               ")";
  } else {
    caption += std::string(", with its 95% interval (") +
               (share ? "Wilson, over the point's replicates"
                      : "±1.96 standard errors over the point's replicates") +
               ")";
  }
  sink.show(html, std::move(figure), caption + ".");
}

std::string scatter_section(const SummaryData& summary, const std::vector<std::size_t>& varied,
                            const std::vector<PointOutputs>& outputs, const FigureSink& sink) {
  std::string html =
      R"(<section id="design-points"><h2>Outputs per design point</h2><p>Each output over the )"
      "replicates of each design point against each varied parameter";
  if (summary.points.size() > kMaxScatterPoints) {
    html += " (the first " + std::to_string(kMaxScatterPoints) + " of " +
            std::to_string(summary.points.size()) + " design points)";
  }
  html +=
      ". The summary does not record whether a range was sampled on a log scale: a parameter "
      "with more than " +
      std::to_string(report_detail::kMaxDiscreteValues) +
      " values is drawn on a log axis when they lie more evenly on a log scale than on a linear "
      "one (as a :log range's do), one with fewer when its positive values span two decades or "
      "more. Above " +
      std::to_string(kMaxIntervalPoints) +
      " points the intervals of single points give way to binned means.</p>";
  const std::vector<std::string> names = sensitivity_outputs(summary);
  for (std::size_t o = 0; o < names.size(); ++o) {
    // The shares by generation have their indices against G; a scatter each would swamp the page.
    if (names[o].find("_by_") != std::string::npos) continue;
    scatter_figure(html, sink, summary, outputs, names[o], o, varied);
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
                                                    std::int32_t resamples,
                                                    std::vector<FigureFile>* figure_files) {
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
  const FigureSink sink{report_detail::figure_footnote(summary), figure_files};
  std::optional<SensitivityReport> report;
  if (block) {
    report = sobol_report(summary, *block, outputs, resamples, sink);
  } else if (trajectory && step) {
    report = morris_report(summary, *trajectory, *step, outputs, sink);
  } else {
    report.emplace();
  }
  report->html += scatter_section(summary, varied, outputs, sink);
  return report;
}

}  // namespace hostswitch
