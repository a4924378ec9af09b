#include "analysis/discovery_report.hpp"

#include <algorithm>
#include <numeric>

#include "analysis/report_charts.hpp"
#include "base/svg_writer.hpp"
#include "model/parameters.hpp"
#include "reporting/figure_scale.hpp"

namespace hostswitch {

namespace {

using namespace report_detail;

constexpr double kKeyWidth = 150;
constexpr const char* kMeetsColour = "#D55E00";   // vermillion
constexpr const char* kMissesColour = "#0072B2";  // blue

SvgWriter chart(double width, double height, const std::string& title) {
  SvgWriter svg(width, height);
  svg.attr("font-family", "sans-serif").attr("fill", "#111111");
  svg.attr("class", "chart").attr("role", "img");
  svg.open("title").text(title).close();
  svg.open("rect").attr("width", width).attr("height", height).attr("fill", "#ffffff").close();
  return svg;
}

std::string finished(SvgWriter& svg) {
  std::string document = svg.finish();
  document.erase(0, document.find("<svg"));
  return document;
}

void key_entry(SvgWriter& svg, double y, const char* colour, const std::string& label) {
  svg.open("circle").attr("cx", kPanelWidth + 14).attr("cy", y - 4).attr("r", 4.5);
  svg.attr("fill", colour).close();
  text(svg, kPanelWidth + 24, y, label, "start", kTickFont);
}

// Coverage against density of every box, coloured by how many parameters it restricts.
std::string trade_off_figure(const PrimResult& result) {
  SvgWriter svg = chart(kPanelWidth + kKeyWidth, kPanelHeight, "coverage-vs-density");
  const PanelFrame frame{"Peeling trajectory", "coverage", "density", Axis{0, 1}, Axis{0, 1}};
  std::int32_t most = 0;
  {
    Panel panel(svg, 0, 0, frame);
    for (const PrimBox& box : result.boxes) {
      const auto colour = kPalette[std::min<std::size_t>(box.restricted, kPalette.size() - 1)];
      panel.mark(panel.x(box.coverage), panel.y(box.density), colour);
      most = std::max(most, box.restricted);
    }
    const PrimBox& chosen = result.boxes[result.chosen];
    svg.open("circle").attr("cx", panel.x(chosen.coverage)).attr("cy", panel.y(chosen.density));
    svg.attr("r", 7.5).attr("fill", "none").attr("stroke", "#111111").attr("stroke-width", 1.5);
    svg.close();
  }
  text(svg, kPanelWidth + 8, 20, "restricted", "start", kTickFont, true);
  for (std::int32_t r = 0; r <= most && r < static_cast<std::int32_t>(kPalette.size()); ++r) {
    key_entry(svg, 40 + r * kLegendLine, kPalette[static_cast<std::size_t>(r)],
              std::to_string(r) + (r + 1 == static_cast<std::int32_t>(kPalette.size()) ? "+" : ""));
  }
  text(svg, kPanelWidth + 8, kPanelHeight - 12, "ringed: chosen", "start", kTickFont);
  return finished(svg);
}

// The varied parameters by the share of all points their own limits leave out, most first.
std::vector<std::size_t> by_restriction(const DiscoveryPoints& points, const PrimBox& box) {
  std::vector<std::int64_t> outside(box.lo.size(), 0);
  for (std::size_t k = 0; k < box.lo.size(); ++k) {
    for (const double x : points.values[k]) outside[k] += x < box.lo[k] || x > box.hi[k];
  }
  std::vector<std::size_t> order(box.lo.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return outside[a] > outside[b]; });
  return order;
}

Axis padded(double lo, double hi) {
  const double pad = 0.04 * (hi - lo);
  return Axis{lo - pad, hi + pad};
}

// The points over two parameters, coloured by whether they meet the condition, the box on top.
std::string box_figure(const DiscoveryPoints& points, const PrimResult& result, std::size_t a,
                       std::size_t b) {
  const std::string x_name(kParameterNames[result.parameters[a]]);
  const std::string y_name(kParameterNames[result.parameters[b]]);
  SvgWriter svg = chart(kPanelWidth + kKeyWidth, kPanelHeight, "box-" + x_name + "-" + y_name);
  const PanelFrame frame{"The chosen box", x_name, y_name,
                         padded(result.full_lo[a], result.full_hi[a]),
                         padded(result.full_lo[b], result.full_hi[b])};
  {
    Panel panel(svg, 0, 0, frame);
    const std::size_t drawn = std::min(points.size(), kMaxDrawnPoints);
    for (std::size_t i = 0; i < drawn; ++i) {
      svg.open("circle")
          .attr("cx", panel.x(points.values[a][i]))
          .attr("cy", panel.y(points.values[b][i]))
          .attr("r", 2.2)
          .attr("fill", points.meets[i] ? kMeetsColour : kMissesColour)
          .attr("fill-opacity", 0.5)
          .close();
    }
    const PrimBox& box = result.boxes[result.chosen];
    const double x0 = panel.x(box.lo[a]), x1 = panel.x(box.hi[a]);
    const double y0 = panel.y(box.lo[b]), y1 = panel.y(box.hi[b]);
    std::string d = "M";
    d.append(svg_number(x0)).append(" ").append(svg_number(y0)).append("H");
    d.append(svg_number(x1)).append("V").append(svg_number(y1)).append("H");
    d.append(svg_number(x0)).append("Z");
    panel.path(d, "none", "#111111", 1.8);
  }
  key_entry(svg, 40, kMeetsColour, "meets it");
  key_entry(svg, 40 + kLegendLine, kMissesColour, "does not");
  return finished(svg);
}

std::string limits_table(const DiscoveryPoints& points, const PrimResult& result) {
  const PrimBox& box = result.boxes[result.chosen];
  std::string html =
      "<div class=\"table\"><table id=\"discovery-box\"><thead><tr><th>parameter</th><th>low "
      "limit</th><th>high limit</th><th>full range</th><th>quasi-p</th></tr></thead><tbody>";
  const std::vector<char> named = named_restrictions(points, result, box);
  for (std::size_t k = 0; k < box.lo.size(); ++k) {
    if (!named[k]) continue;
    const bool low = restricted_low(result, box, k);
    const bool high = restricted_high(result, box, k);
    const std::size_t which = result.parameters[k];
    html += "<tr><td>" + std::string(kParameterNames[which]) + "</td><td>" +
            (low ? value_text(which, box.lo[k]) : "") + "</td><td>" +
            (high ? value_text(which, box.hi[k]) : "") + "</td><td>" +
            value_text(which, result.full_lo[k]) + " – " + value_text(which, result.full_hi[k]) +
            "</td><td>" + tick_text(quasi_p_value(points, result, box, k)) + "</td></tr>";
  }
  return html + "</tbody></table></div>";
}

std::string method_note(const DiscoveryCondition& condition, const PrimOptions& options) {
  return "<p>Peeling (Friedman and Fisher's PRIM, as Bryant and Lempert use it for scenario "
         "discovery) takes " +
         tick_text(100 * options.alpha) +
         "% of the box at a time off one end of one varied parameter, the peel leaving the "
         "densest box, down to " +
         tick_text(100 * options.min_mass) +
         "% of the points. Coverage: the share of the points meeting " +
         xml_escape(condition.text()) +
         " that lie in the box; density: the share of the box's points meeting it; mass: the "
         "share of all points in the box. The chosen box is the one of most coverage, then "
         "density, of those with "
         "density " +
         tick_text(options.min_density) +
         " or more (else the densest), then pasted. Quasi-p: for each restriction, the chance "
         "under a binomial with the density of the box without it that the box would hold as "
         "many points meeting the condition as it does. A limit narrower than the full range only "
         "because other limits leave out the parameter's extremes keeps no point out: the "
         "sentence and the table name the fewest limits that give the same box, the boxes file "
         "and the count of restricted parameters every narrower one.</p>";
}

}  // namespace

DiscoveryReport discovery_report(const SummaryData& summary, const DiscoveryCondition& condition,
                                 const PrimOptions& options) {
  const DiscoveryPoints points = discovery_points(summary, condition);
  const PrimResult result = prim(points, options);
  DiscoveryReport report;
  report.csv = boxes_csv(result);
  std::string& html = report.html;
  html = "<section id=\"discovery\"><h2>Scenario discovery: where " + xml_escape(condition.text()) +
         "</h2>";
  html +=
      "<p class=\"facts\">" + xml_escape(discovery_sentence(points, result, condition)) + "</p>";
  html += method_note(condition, options);
  html +=
      "<figure><figcaption>Coverage against density of each box of the peeling, by the "
      "number of parameters it restricts; the chosen box ringed.</figcaption>" +
      trade_off_figure(result) + "</figure>";
  if (result.boxes[result.chosen].restricted > 0) html += limits_table(points, result);
  if (points.parameters.size() >= 2) {
    const auto order = by_restriction(points, result.boxes[result.chosen]);
    html +=
        "<figure><figcaption>The chosen box over its two most restricted parameters; each "
        "point coloured by whether it meets " +
        xml_escape(condition.text()) +
        " (the box's other limits not applied to the points drawn).</figcaption>" +
        box_figure(points, result, std::min(order[0], order[1]), std::max(order[0], order[1])) +
        "</figure>";
  }
  html += "</section>";
  return report;
}

}  // namespace hostswitch
