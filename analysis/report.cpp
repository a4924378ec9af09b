#include "analysis/report.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <set>
#include <stdexcept>
#include <unordered_set>

#include "analysis/csv_input.hpp"
#include "analysis/sensitivity_report.hpp"
#include "analysis/summary_format.hpp"
#include "base/atomic_file.hpp"
#include "base/svg_writer.hpp"

namespace hostswitch {

namespace {

// Okabe and Ito's palette, told apart with every common colour-vision deficiency; the
// yellow comes last, as it is faint on white.
constexpr std::array<const char*, 8> kPalette = {"#0072B2", "#D55E00", "#009E73", "#CC79A7",
                                                 "#E69F00", "#56B4E9", "#000000", "#F0E442"};
constexpr const char* kSingleColour = "#0072B2";
constexpr std::size_t kMaxPanels = 48;        // per-grid-point figures
constexpr std::size_t kMaxCombinations = 24;  // small multiples of the probability figure
constexpr std::size_t kMaxTableRows = 500;
constexpr std::size_t kMaxDrawnPoints = 5000;  // grid points in the probability figure

constexpr double kWidth = 330;
constexpr double kHeight = 230;
constexpr double kLeft = 58;
constexpr double kRight = 14;
constexpr double kTop = 30;
constexpr double kBottom = 42;

std::string number(double value, int decimals = 2) { return svg_number(value, decimals); }

struct Range {
  double lo = 0.0;
  double hi = 1.0;
};

Range padded(double lo, double hi) {
  if (!(hi > lo)) {
    const double pad = lo == 0.0 ? 1.0 : std::abs(lo) * 0.1;
    return Range{lo - pad, hi + pad};
  }
  const double pad = (hi - lo) * 0.05;
  return Range{lo - pad, hi + pad};
}

struct Ticks {
  std::vector<double> values;
  int decimals = 0;
};

Ticks nice_ticks(Range range, double target = 5.0) {
  Ticks ticks;
  const double span = range.hi - range.lo;
  const double rough = span / target;
  const double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
  const double norm = rough / magnitude;
  const double step = (norm < 1.5 ? 1.0 : norm < 3.0 ? 2.0 : norm < 7.0 ? 5.0 : 10.0) * magnitude;
  ticks.decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
  const double first = std::ceil(range.lo / step - 1e-9);
  for (double k = first;; k += 1.0) {
    const double v = k * step;
    if (v > range.hi + step * 1e-9 || ticks.values.size() > 50) break;
    ticks.values.push_back(v);
  }
  return ticks;
}

// One chart: frame, ticks, axis titles and a title; data drawn through x() and y().
class Chart {
 public:
  Chart(std::string& out, std::string_view css_class, std::string_view title,
        std::string_view x_title, std::string_view y_title, Range x, Range y)
      : out_(out), x_(x), y_(y) {
    out_ += "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart ";
    out_ += css_class;
    out_ += "\" width=\"" + number(kWidth) + "\" height=\"" + number(kHeight) +
            "\" viewBox=\"0 0 " + number(kWidth) + " " + number(kHeight) + "\" role=\"img\">";
    out_ += "<title>" + xml_escape(title) + "</title>";
    out_ += "<rect x=\"0\" y=\"0\" width=\"" + number(kWidth) + "\" height=\"" + number(kHeight) +
            "\" fill=\"#ffffff\"/>";
    text(6, 16, title, "start", "title");
    const Ticks xt = nice_ticks(x_);
    for (const double v : xt.values) {
      const double px = this->x(v);
      line(px, kHeight - kBottom, px, kHeight - kBottom + 4, "#444444");
      text(px, kHeight - kBottom + 15, number(v, xt.decimals), "middle", "tick");
    }
    const Ticks yt = nice_ticks(y_);
    for (const double v : yt.values) {
      const double py = this->y(v);
      line(kLeft, py, kWidth - kRight, py, "#e4e4e4");
      line(kLeft - 4, py, kLeft, py, "#444444");
      text(kLeft - 6, py + 4, number(v, yt.decimals), "end", "tick");
    }
    out_ += "<rect x=\"" + number(kLeft) + "\" y=\"" + number(kTop) + "\" width=\"" +
            number(kWidth - kLeft - kRight) + "\" height=\"" + number(kHeight - kTop - kBottom) +
            "\" fill=\"none\" stroke=\"#444444\"/>";
    text((kLeft + kWidth - kRight) / 2, kHeight - 6, x_title, "middle", "axis");
    out_ += "<text class=\"axis\" text-anchor=\"middle\" transform=\"translate(14 " +
            number((kTop + kHeight - kBottom) / 2) + ") rotate(-90)\">" + xml_escape(y_title) +
            "</text>";
  }
  ~Chart() { out_ += "</svg>"; }
  Chart(const Chart&) = delete;
  Chart& operator=(const Chart&) = delete;

  double x(double v) const {
    return kLeft + (v - x_.lo) / (x_.hi - x_.lo) * (kWidth - kLeft - kRight);
  }
  double y(double v) const {
    return kHeight - kBottom - (v - y_.lo) / (y_.hi - y_.lo) * (kHeight - kTop - kBottom);
  }

  void line(double x1, double y1, double x2, double y2, std::string_view colour,
            double width = 1.0) {
    out_ += "<line x1=\"" + number(x1) + "\" y1=\"" + number(y1) + "\" x2=\"" + number(x2) +
            "\" y2=\"" + number(y2) + "\" stroke=\"" + std::string(colour) + "\" stroke-width=\"" +
            number(width) + "\"/>";
  }
  void text(double x, double y, std::string_view content, std::string_view anchor,
            std::string_view css_class) {
    out_ += "<text class=\"" + std::string(css_class) + "\" x=\"" + number(x) + "\" y=\"" +
            number(y) + "\" text-anchor=\"" + std::string(anchor) + "\">" + xml_escape(content) +
            "</text>";
  }
  void path(const std::string& d, std::string_view fill, std::string_view stroke,
            std::string_view extra = "") {
    out_ += "<path d=\"" + d + "\" fill=\"" + std::string(fill) + "\" stroke=\"" +
            std::string(stroke) + "\" " + std::string(extra) + "/>";
  }
  void circle(double cx, double cy, double r, std::string_view colour) {
    out_ += "<circle cx=\"" + number(cx) + "\" cy=\"" + number(cy) + "\" r=\"" + number(r) +
            "\" fill=\"" + std::string(colour) + "\"/>";
  }
  void rect(double x, double y, double w, double h, std::string_view colour) {
    out_ += "<rect x=\"" + number(x) + "\" y=\"" + number(y) + "\" width=\"" + number(w) +
            "\" height=\"" + number(h) + "\" fill=\"" + std::string(colour) + "\"/>";
  }

 private:
  std::string& out_;
  Range x_;
  Range y_;
};

std::string point_xy(double x, double y) {
  std::string text;
  append_svg_number(text, x);
  text += ',';
  append_svg_number(text, y);
  return text;
}

// Appends a path step: M for the first point, L after.
void path_to(std::string& d, double x, double y) {
  d += d.empty() ? 'M' : 'L';
  d += point_xy(x, y);
}

// The distinct values of one parameter over the grid points (anything with `parameters`), in
// increasing order. A grid sweeps few values of many points: the set keeps the sort small.
template <class Points>
std::vector<double> distinct_values(const Points& points, std::size_t which) {
  std::unordered_set<double> seen;
  std::vector<double> values;
  for (const auto& point : points) {
    const double value = parameter_value(point.parameters, which);
    if (!values.empty() && values.back() == value) continue;
    if (seen.insert(value).second) values.push_back(value);
  }
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
  return values;
}

template <class Points>
std::array<std::size_t, 8> distinct_counts(const Points& stats) {
  std::array<std::size_t, 8> counts{};
  for (std::size_t i = 0; i < counts.size(); ++i) counts[i] = distinct_values(stats, i).size();
  return counts;
}

struct Colouring {
  std::optional<std::size_t> parameter;
  std::vector<double> values;

  std::size_t index(const SimulationParameters& p) const {
    if (!parameter) return 0;
    const double v = parameter_value(p, *parameter);
    return static_cast<std::size_t>(std::lower_bound(values.begin(), values.end(), v) -
                                    values.begin());
  }
  const char* colour(const SimulationParameters& p) const {
    return parameter ? kPalette[index(p) % kPalette.size()] : kSingleColour;
  }
};

std::string swept_description(const SimulationParameters& p,
                              const std::vector<std::size_t>& swept) {
  std::string text;
  for (const std::size_t which : swept) {
    if (!text.empty()) text += ", ";
    text += std::string(kParameterNames[which]) + " = " + parameter_text(p, which);
  }
  return text;
}

std::string panel_title(const GridPointStats& s, const std::vector<std::size_t>& swept) {
  std::string title = "grid point " + std::to_string(s.grid_index);
  const std::string described = swept_description(s.parameters, swept);
  if (!described.empty()) title += ": " + described;
  return title;
}

void legend(std::string& out, const Colouring& colouring) {
  if (!colouring.parameter) return;
  out += "<p class=\"legend\">";
  for (std::size_t i = 0; i < colouring.values.size(); ++i) {
    const std::size_t which = *colouring.parameter;
    const bool whole = which == 0 || which == 2 || which == 7;
    const std::string value = whole ? std::to_string(static_cast<std::int64_t>(colouring.values[i]))
                                    : shortest(colouring.values[i]);
    out += "<span class=\"key\"><span class=\"swatch\" style=\"background:";
    out += kPalette[i % kPalette.size()];
    out += "\"></span>" + xml_escape(std::string(kParameterNames[*colouring.parameter])) + " = " +
           xml_escape(value) + "</span> ";
  }
  if (colouring.values.size() > kPalette.size()) {
    out += "<span class=\"key\">(colours repeat after eight values)</span>";
  }
  out += "</p>";
}

void note(std::string& out, const std::string& text) {
  out += "<p class=\"note\">" + xml_escape(text) + "</p>";
}

std::string probability_caption(const std::string& x_title) {
  return "<figure id=\"figure-probabilities\"><figcaption>Share of replicates extinct "
         "(p_extinct) and with at least one host switch (p_switched) against " +
         xml_escape(x_title) +
         ", with Wilson score 95% intervals; one panel per combination of the other swept "
         "parameters.</figcaption>";
}

// ---- probabilities against --x, one panel per combination of the other swept parameters

void probability_figure(std::string& out, const std::vector<GridPointStats>& stats,
                        std::size_t grid_points, const ReportAxes& axes,
                        const Colouring& colouring) {
  const std::string x_title(kParameterNames[axes.x]);
  if (grid_points > kMaxDrawnPoints) {
    out += probability_caption(x_title);
    legend(out, colouring);
    note(out, std::to_string(grid_points) + " grid points are more than one figure can show (" +
                  std::to_string(kMaxDrawnPoints) + "); the table holds every one.");
    out += "</figure>";
    return;
  }
  std::map<std::vector<double>, std::vector<const GridPointStats*>> combinations;
  for (const GridPointStats& s : stats) {
    std::vector<double> key;
    for (const std::size_t which : axes.panels) key.push_back(parameter_value(s.parameters, which));
    combinations[key].push_back(&s);
  }
  const std::vector<double> xs = distinct_values(stats, axes.x);
  const Range x_range = padded(xs.front(), xs.back());
  const std::size_t groups = colouring.parameter ? colouring.values.size() : 1;
  const double dodge = groups > 1 ? std::min(4.0, 24.0 / static_cast<double>(groups)) : 0.0;

  out += probability_caption(x_title);
  legend(out, colouring);
  out += "<div class=\"panels\">";
  std::size_t shown = 0;
  for (const auto& [key, points] : combinations) {
    if (shown++ == kMaxCombinations) break;
    const std::string where = swept_description(points.front()->parameters, axes.panels);
    out += "<div class=\"pair\">";
    for (const bool extinction : {true, false}) {
      const std::string measure = extinction ? "p_extinct" : "p_switched";
      const std::string title = where.empty() ? measure : measure + ": " + where;
      // A little room beyond 0 and 1, so that points there stay clear of the frame.
      Chart chart(out, extinction ? "p-extinct" : "p-switched", title, x_title, measure, x_range,
                  Range{-0.03, 1.03});
      std::map<std::size_t, std::vector<const GridPointStats*>> by_colour;
      for (const GridPointStats* s : points) by_colour[colouring.index(s->parameters)].push_back(s);
      for (auto& [index, members] : by_colour) {
        std::sort(members.begin(), members.end(), [&](const auto* a, const auto* b) {
          return parameter_value(a->parameters, axes.x) < parameter_value(b->parameters, axes.x);
        });
        const char* colour = colouring.colour(members.front()->parameters);
        const double shift =
            (static_cast<double>(index) - static_cast<double>(groups - 1) / 2.0) * dodge;
        std::string d;
        for (const GridPointStats* s : members) {
          const double px = chart.x(parameter_value(s->parameters, axes.x)) + shift;
          const double p = extinction ? s->p_extinct : s->p_switched;
          path_to(d, px, chart.y(p));
        }
        chart.path(d, "none", colour, "stroke-width=\"1.5\"");
        for (const GridPointStats* s : members) {
          const double px = chart.x(parameter_value(s->parameters, axes.x)) + shift;
          const double p = extinction ? s->p_extinct : s->p_switched;
          const ProportionInterval& ci =
              extinction ? s->p_extinct_interval : s->p_switched_interval;
          chart.line(px, chart.y(ci.lo), px, chart.y(ci.hi), colour, 1.5);
          chart.line(px - 3, chart.y(ci.lo), px + 3, chart.y(ci.lo), colour);
          chart.line(px - 3, chart.y(ci.hi), px + 3, chart.y(ci.hi), colour);
          chart.circle(px, chart.y(p), 3.2, colour);
        }
      }
    }
    out += "</div>";
  }
  out += "</div>";
  if (combinations.size() > kMaxCombinations) {
    note(out, "Showing the first " + std::to_string(kMaxCombinations) + " of " +
                  std::to_string(combinations.size()) +
                  " combinations; the table holds every grid point.");
  }
  out += "</figure>";
}

// ---- per-grid-point figures

template <class Draw>
void per_point_figure(std::string& out, std::string_view id, const std::string& caption,
                      std::size_t count, const Colouring& colouring, Draw draw) {
  out +=
      "<figure id=\"" + std::string(id) + "\"><figcaption>" + xml_escape(caption) + "</figcaption>";
  legend(out, colouring);
  out += "<div class=\"panels\">";
  for (std::size_t i = 0; i < std::min(count, kMaxPanels); ++i) draw(i);
  out += "</div>";
  if (count > kMaxPanels) {
    note(out, "Showing the first " + std::to_string(kMaxPanels) + " of " + std::to_string(count) +
                  " grid points; the table holds every one.");
  }
  out += "</figure>";
}

void survival_chart(std::string& out, const GridPointStats& s, const std::string& title,
                    const char* colour) {
  std::int32_t last = 1;
  for (const KaplanMeierStep& step : s.survival) last = std::max(last, step.time);
  Chart chart(out, "survival", title, "n_g", "share not yet extinct",
              Range{0.0, static_cast<double>(last)}, Range{0.0, 1.0});
  // The pointwise band, a step polygon up to where the curve reaches 0 (no bound there).
  std::vector<std::pair<double, double>> upper{{0.0, 1.0}};
  std::vector<std::pair<double, double>> lower{{0.0, 1.0}};
  double end = static_cast<double>(last);
  for (const KaplanMeierStep& step : s.survival) {
    const auto t = static_cast<double>(step.time);
    upper.emplace_back(t, upper.back().second);
    lower.emplace_back(t, lower.back().second);
    if (!step.lower || !step.upper) {
      end = t;
      break;
    }
    upper.emplace_back(t, *step.upper);
    lower.emplace_back(t, *step.lower);
  }
  upper.emplace_back(end, upper.back().second);
  lower.emplace_back(end, lower.back().second);
  std::string band;
  for (const auto& [t, v] : upper) path_to(band, chart.x(t), chart.y(v));
  for (auto it = lower.rbegin(); it != lower.rend(); ++it) {
    path_to(band, chart.x(it->first), chart.y(it->second));
  }
  band += 'Z';
  chart.path(band, colour, "none", "fill-opacity=\"0.18\"");
  chart.line(chart.x(0.0), chart.y(0.5), chart.x(last), chart.y(0.5), "#888888");
  std::string d;
  path_to(d, chart.x(0.0), chart.y(1.0));
  double surv = 1.0;
  for (const KaplanMeierStep& step : s.survival) {
    const double px = chart.x(step.time);
    path_to(d, px, chart.y(surv));
    surv = step.surv;
    path_to(d, px, chart.y(surv));
  }
  path_to(d, chart.x(last), chart.y(surv));
  chart.path(d, "none", colour, "stroke-width=\"1.8\"");
}

void trajectory_chart(std::string& out, const GridPointTrajectory& t, const std::string& title,
                      const char* colour) {
  const auto& g = t.by_generation;
  double top = 1.0;
  for (const PopulationQuartiles& q : g) top = std::max(top, q.q75);
  const double last = std::max<double>(2.0, static_cast<double>(g.size()));
  Chart chart(out, "trajectory", title, "n_g", "n_pop", Range{1.0, last}, Range{0.0, top * 1.05});
  if (g.empty()) return;
  std::string band;
  for (std::size_t i = 0; i < g.size(); ++i) {
    path_to(band, chart.x(static_cast<double>(i + 1)), chart.y(g[i].q75));
  }
  for (std::size_t i = g.size(); i-- > 0;) {
    path_to(band, chart.x(static_cast<double>(i + 1)), chart.y(g[i].q25));
  }
  band += 'Z';
  chart.path(band, colour, "none", "fill-opacity=\"0.22\"");
  std::string d;
  for (std::size_t i = 0; i < g.size(); ++i) {
    path_to(d, chart.x(static_cast<double>(i + 1)), chart.y(g[i].median));
  }
  chart.path(d, "none", colour, "stroke-width=\"1.8\"");
}

void switches_chart(std::string& out, const GridPointStats& s, const std::string& title,
                    const char* colour) {
  std::int64_t most = 1;
  for (const SwitchBin& bin : s.switch_bins) most = std::max(most, bin.replicates);
  const double lo = static_cast<double>(s.switch_bins.front().from) - 0.5;
  const double hi = static_cast<double>(s.switch_bins.back().to) + 0.5;
  Chart chart(out, "switches", title, "switch_generations (generations with n_HS > 0)",
              "replicates", Range{lo, hi}, Range{0.0, static_cast<double>(most) * 1.05});
  for (const SwitchBin& bin : s.switch_bins) {
    const double x0 = chart.x(static_cast<double>(bin.from) - 0.5);
    const double x1 = chart.x(static_cast<double>(bin.to) + 0.5);
    const double y = chart.y(static_cast<double>(bin.replicates));
    chart.rect(x0 + 0.5, y, std::max(0.5, x1 - x0 - 1.0), chart.y(0.0) - y, colour);
  }
}

// ---- the table and the facts

void table(std::string& out, const std::vector<GridPointStats>& stats, std::size_t grid_points) {
  std::string header = stats_table_header();
  header.pop_back();
  out += "<div class=\"table\"><table id=\"stats-table\"><thead><tr>";
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = header.find(',', start);
    out += "<th>" + xml_escape(header.substr(start, comma - start)) + "</th>";
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  out += "</tr></thead><tbody>";
  for (std::size_t i = 0; i < std::min(stats.size(), kMaxTableRows); ++i) {
    std::string row = stats_table_row(stats[i]);
    row.pop_back();
    out += "<tr>";
    start = 0;
    for (;;) {
      const std::size_t comma = row.find(',', start);
      out += "<td>" + xml_escape(row.substr(start, comma - start)) + "</td>";
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    out += "</tr>";
  }
  out += "</tbody></table></div>";
  if (grid_points > kMaxTableRows) {
    note(out, "Showing the first " + std::to_string(kMaxTableRows) + " of " +
                  std::to_string(grid_points) + " grid points; the statistics file holds all.");
  }
}

void missing_note(std::string& out, const SummaryData& summary) {
  const std::vector<GridPointRuns>& stats = summary.points;
  const std::int64_t missing = summary.missing_rows();
  if (missing == 0) return;
  const std::int64_t full =
      static_cast<std::int64_t>(summary.max_grid_index) * summary.max_replicate;
  std::string text = "Incomplete summary: " + std::to_string(missing) + " of the " +
                     std::to_string(full) + " rows of the full grid (" +
                     std::to_string(summary.max_grid_index) + " grid points × " +
                     std::to_string(summary.max_replicate) +
                     " replicates) are missing, as after an interrupted or partial sweep. Every "
                     "grid point is reported with the replicates it really has (column "
                     "replicates).";
  const auto absent =
      static_cast<std::int64_t>(summary.max_grid_index) - static_cast<std::int64_t>(stats.size());
  if (absent > 0) {
    text += absent == 1 ? " 1 grid point has no rows at all and is left out."
                        : " " + std::to_string(absent) +
                              " grid points have no rows at all and are left out.";
  }
  std::string short_points;
  std::size_t listed = 0;
  std::size_t short_count = 0;
  for (const GridPointRuns& s : stats) {
    const auto replicates = static_cast<std::int64_t>(s.replicates.size());
    if (replicates == summary.max_replicate) continue;
    ++short_count;
    if (listed++ < 10) {
      short_points += (short_points.empty() ? "" : ", ") + std::string("grid point ") +
                      std::to_string(s.grid_index) + " (" + std::to_string(replicates) + ")";
    }
  }
  if (short_count > 0) {
    text += " Grid points with fewer replicates: " + short_points +
            (short_count > 10 ? " and " + std::to_string(short_count - 10) + " more." : ".");
  }
  out +=
      "<p class=\"note missing\" id=\"missing-rows\"><strong>" + xml_escape(text) + "</strong></p>";
}

constexpr const char* kStyle = R"(
body{font-family:sans-serif;margin:1.5em;color:#111;max-width:1800px}
h1{font-size:1.4em}h2{font-size:1.15em;margin-top:1.6em}
figure{margin:0.5em 0}figcaption{margin:0.3em 0;color:#333}
.panels{display:flex;flex-wrap:wrap;gap:6px}.pair{display:flex;gap:6px}
.chart{border:1px solid #ddd;background:#fff}
.chart .title{font-size:10.5px;font-weight:bold}.chart .tick{font-size:10px;fill:#333}
.chart .axis{font-size:11px;fill:#111}
.note{color:#6b3500}.missing{background:#fff3dc;border-left:4px solid #D55E00;padding:0.5em}
.legend .key{margin-right:1em;white-space:nowrap}
.swatch{display:inline-block;width:0.9em;height:0.9em;margin-right:0.3em;vertical-align:middle}
.table{overflow-x:auto}table{border-collapse:collapse;font-size:12px}
th,td{border:1px solid #ccc;padding:2px 5px;text-align:right}th{background:#f2f2f2}
)";

void write_output(const std::filesystem::path& path, const std::string& text) {
  write_file_atomically(path, text);
}

}  // namespace

namespace {

template <class Points>
ReportAxes choose_axes_of(const Points& stats, std::optional<std::size_t> x,
                          std::optional<std::size_t> colour) {
  const std::array<std::size_t, 8> counts = distinct_counts(stats);
  auto most = [&counts](std::optional<std::size_t> except) {
    std::size_t best = 0;
    bool any = false;
    for (std::size_t i = 0; i < counts.size(); ++i) {
      if (except && i == *except) continue;
      if (!any || counts[i] > counts[best]) best = i;
      any = true;
    }
    return best;
  };
  ReportAxes axes;
  if (x && colour && *x == *colour) {
    throw std::invalid_argument("--x and --colour must name different parameters");
  }
  axes.x = x ? *x : most(colour);
  if (colour) {
    axes.colour = colour;
  } else {
    const std::size_t next = most(axes.x);
    if (counts[next] > 1) axes.colour = next;
  }
  for (std::size_t i = 0; i < counts.size(); ++i) {
    if (counts[i] > 1 && i != axes.x && (!axes.colour || i != *axes.colour)) {
      axes.panels.push_back(i);
    }
  }
  return axes;
}

}  // namespace

ReportAxes choose_axes(const std::vector<GridPointStats>& stats, std::optional<std::size_t> x,
                       std::optional<std::size_t> colour) {
  return choose_axes_of(stats, x, colour);
}

ReportAxes choose_axes(const SummaryData& summary, std::optional<std::size_t> x,
                       std::optional<std::size_t> colour) {
  return choose_axes_of(summary.points, x, colour);
}

std::string report_html(const SummaryData& summary, const std::vector<GridPointStats>& stats,
                        const std::vector<GridPointTrajectory>* trajectories,
                        const ReportAxes& axes) {
  Colouring colouring;
  colouring.parameter = axes.colour;
  const std::vector<GridPointRuns>& points = summary.points;
  if (axes.colour) colouring.values = distinct_values(points, *axes.colour);
  const std::array<std::size_t, 8> counts = distinct_counts(points);
  std::vector<std::size_t> swept;
  for (std::size_t i = 0; i < kParameterNames.size(); ++i) {
    if (counts[i] > 1) swept.push_back(i);
  }

  std::string out;
  out += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">";
  // Nothing on the page may reach the network.
  out +=
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
      "style-src 'unsafe-inline'; img-src data:\">";
  out += "<title>Replicate statistics of " + xml_escape(summary.file) + "</title><style>";
  out += kStyle;
  out += "</style></head><body>";
  out += "<h1>Replicate statistics of " + xml_escape(summary.file) + "</h1>";

  auto fewest = static_cast<std::int64_t>(points.front().replicates.size());
  std::int64_t most = fewest;
  for (const GridPointRuns& point : points) {
    fewest = std::min(fewest, static_cast<std::int64_t>(point.replicates.size()));
    most = std::max(most, static_cast<std::int64_t>(point.replicates.size()));
  }
  std::string facts = std::to_string(summary.rows) + " runs over " + std::to_string(points.size()) +
                      " grid points, " +
                      (fewest == most ? std::to_string(most)
                                      : std::to_string(fewest) + " to " + std::to_string(most)) +
                      " replicates each.";
  if (!swept.empty()) {
    facts += " Swept:";
    for (const std::size_t which : swept) {
      facts += " " + std::string(kParameterNames[which]) + " (" + std::to_string(counts[which]) +
               " values)";
    }
    facts += ".";
  }
  out += "<p class=\"facts\">" + xml_escape(facts) + "</p>";
  missing_note(out, summary);

  out += "<section id=\"probabilities\"><h2>Extinction and host switching</h2>";
  probability_figure(out, stats, points.size(), axes, colouring);
  out += "</section>";

  out += "<section id=\"survival\"><h2>Time to extinction</h2>";
  per_point_figure(out, "figure-survival",
                   "Kaplan–Meier curves of the generation of extinction (n_g) per grid point, "
                   "completed runs censored at n_gen, with the pointwise 95% interval (log "
                   "scale, Greenwood variance); the grey line marks one half.",
                   points.size(), colouring, [&](std::size_t i) {
                     survival_chart(out, stats[i], panel_title(stats[i], swept),
                                    colouring.colour(stats[i].parameters));
                   });
  out += "</section>";

  out += "<section id=\"trajectories\"><h2>Population size over generations</h2>";
  if (trajectories != nullptr) {
    per_point_figure(out, "figure-trajectories",
                     "Median n_pop (as the generation entered) over the replicates of each grid "
                     "point, with the interquartile band; a replicate extinct before a "
                     "generation counts 0.",
                     trajectories->size(), colouring, [&](std::size_t i) {
                       const GridPointStats& s = stats[i];
                       trajectory_chart(out, (*trajectories)[i], panel_title(s, swept),
                                        colouring.colour(s.parameters));
                     });
  } else {
    out += "<p>No trajectories were given (report --trajectories PATH draws them).</p>";
  }
  out += "</section>";

  out += "<section id=\"switches\"><h2>Host switches per run</h2>";
  per_point_figure(out, "figure-switches",
                   "Distribution of switch_generations (generations with n_HS > 0) over the "
                   "replicates of each grid point.",
                   points.size(), colouring, [&](std::size_t i) {
                     switches_chart(out, stats[i], panel_title(stats[i], swept),
                                    colouring.colour(stats[i].parameters));
                   });
  out += "</section>";

  out += "<section id=\"statistics\"><h2>Statistics per grid point</h2>";
  out +=
      "<p>p_*_lo and p_*_hi: Wilson score 95% interval. km_*: Kaplan–Meier median "
      "generation of extinction with its 95% interval; empty where the curve (or its bound) "
      "never comes down to one half. mean_final_n_pop counts extinct runs as 0; "
      "mean_final_displacement is the mean of final_r_phe − 10.</p>";
  table(out, stats, points.size());
  out += "</section></body></html>\n";
  return out;
}

ReportFacts write_report(const ReportOptions& options) {
  const SummaryData summary = read_summary(options.summary);
  std::vector<GridPointTrajectory> trajectories;
  if (options.trajectories) trajectories = read_trajectories(*options.trajectories, summary);
  const ReportAxes axes = choose_axes(summary, options.x, options.colour);
  const std::size_t grid_points = summary.points.size();
  // Past what the probability figure draws, the page shows only the table's first rows.
  const std::size_t kept =
      grid_points <= kMaxDrawnPoints ? grid_points : std::max(kMaxTableRows, kMaxPanels);
  std::vector<GridPointStats> stats;
  stats.reserve(kept);
  {
    // Through one buffer: with a million grid points the table is some 200 MB of text.
    AtomicFile table(options.table);
    std::string buffer = stats_table_header();
    constexpr std::size_t kFlushAt = std::size_t{1} << 20;
    buffer.reserve(kFlushAt + 4096);
    GridPointStatsBuilder builder;
    for (const GridPointRuns& point : summary.points) {
      GridPointStats s = builder(point, stats.size() < kMaxPanels);
      append_stats_table_row(buffer, s);
      if (buffer.size() >= kFlushAt) {
        table.write(buffer);
        buffer.clear();
      }
      if (stats.size() < kept) stats.push_back(std::move(s));
    }
    table.write(buffer);
    table.commit();
  }
  std::string page =
      report_html(summary, stats, options.trajectories ? &trajectories : nullptr, axes);
  const auto sensitivity = sensitivity_report(summary);
  if (sensitivity) page.insert(page.rfind("</body>"), sensitivity->html);
  if (sensitivity && !sensitivity->csv.empty()) write_output(options.sensitivity, sensitivity->csv);
  write_output(options.html, page);
  return ReportFacts{grid_points, summary.rows, summary.missing_rows(),
                     sensitivity && !sensitivity->csv.empty()};
}

}  // namespace hostswitch
