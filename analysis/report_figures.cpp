#include "analysis/report_figures.hpp"

#include "reporting/figure_words.hpp"

namespace hostswitch::report_detail {

// ---- grouping grid points into panels

std::string swept_description(const SimulationParameters& p,
                              const std::vector<std::size_t>& swept) {
  std::string text;
  for (const std::size_t which : swept) {
    if (!text.empty()) text += ", ";
    text +=
        std::string(kParameterNames[which]) + " = " + value_text(which, parameter_value(p, which));
  }
  return text;
}

// Grid points keyed by the values of `by`, in increasing order of the key; with `rows`,
// panels whose keys differ only in the last parameter share a row.
struct Grouping {
  std::vector<std::vector<const GridPointStats*>> groups;
  std::vector<std::size_t> rows;
};

Grouping group_points(const std::vector<const GridPointStats*>& points,
                      const std::vector<std::size_t>& by, bool last_is_column) {
  std::map<std::vector<double>, std::vector<const GridPointStats*>> keyed;
  for (const GridPointStats* s : points) {
    std::vector<double> key;
    for (const std::size_t which : by) key.push_back(parameter_value(s->parameters, which));
    keyed[key].push_back(s);
  }
  Grouping grouping;
  std::optional<std::vector<double>> previous;
  std::size_t row = 0;
  for (auto& [key, members] : keyed) {
    std::vector<double> row_key = key;
    if (last_is_column && !row_key.empty()) row_key.pop_back();
    if (previous && *previous != row_key) ++row;
    previous = row_key;
    grouping.groups.push_back(std::move(members));
    grouping.rows.push_back(last_is_column ? row : 0);
  }
  return grouping;
}

// Parameters that split panels: the swept ones other than --x and --colour, as long as
// they are not continuous.
std::vector<std::size_t> discrete(const std::vector<std::size_t>& parameters,
                                  const std::array<std::size_t, 8>& counts) {
  std::vector<std::size_t> kept;
  for (const std::size_t which : parameters) {
    if (counts[which] <= kMaxDiscreteValues) kept.push_back(which);
  }
  return kept;
}

// ---- figures against --x

Figure against_x_figure(const FigureContext& c, const Measure& m) {
  const std::string x_name(kParameterNames[c.axes.x]);
  Figure figure;
  figure.id = "figure-" + m.name;
  figure.name = m.name + "-vs-" + x_name;
  figure.caption = m.name + " against " + x_name + ": " + m.caption +
                   (c.panels.empty() ? "."
                                     : "; one panel per combination of the other swept "
                                       "parameters, all on the same axes.");
  if (c.grid_points > kMaxDrawnPoints) {
    figure.notes.push_back(std::to_string(c.grid_points) +
                           " grid points are more than one figure can show (" +
                           std::to_string(kMaxDrawnPoints) + "); the table holds every one.");
    return figure;
  }
  std::vector<const GridPointStats*> points;
  for (const GridPointStats& s : c.stats) points.push_back(&s);
  Grouping grouping = group_points(points, c.panels, false);
  // So many intervals hide one another and the points: the points alone, the table has both.
  const bool thin = c.stats.size() > kMaxIntervalPoints;
  if (thin) {
    figure.notes.push_back("With " + std::to_string(c.stats.size()) + " grid points (more than " +
                           std::to_string(kMaxIntervalPoints) +
                           ") the intervals are left out; the table holds them.");
  }
  const Axis x_axis = parameter_axis(distinct_values(c.stats, c.axes.x), c.axes.log_x);
  Axis y_axis;
  if (m.y) {
    y_axis = *m.y;
  } else {
    double top = 1.0;
    for (const GridPointStats& s : c.stats) top = std::max(top, m.estimate(s).hi);
    y_axis = Axis{-0.03 * top, top * 1.05};
  }
  const bool joined = !c.colouring.continuous();
  const std::size_t groups = c.colouring.parameter && joined ? c.colouring.values.size() : 1;
  const double dodge = groups > 1 ? std::min(4.0, 24.0 / static_cast<double>(groups)) : 0.0;
  const std::size_t which_x = c.axes.x;
  for (std::size_t g = 0; g < std::min(grouping.groups.size(), kMaxCombinations); ++g) {
    std::vector<const GridPointStats*> members = grouping.groups[g];
    const std::string where = swept_description(members.front()->parameters, c.panels);
    PanelSpec panel;
    panel.frame = PanelFrame{where.empty() ? figure_label(m.name) : where, figure_label(x_name),
                             figure_label(m.name), x_axis, y_axis};
    panel.draw = [members, &c, m, groups, dodge, joined, which_x, thin](Panel& p) mutable {
      std::map<std::size_t, std::vector<const GridPointStats*>> by_colour;
      for (const GridPointStats* s : members) {
        by_colour[c.colouring.continuous() ? 0 : c.colouring.index(s->parameters)].push_back(s);
      }
      for (auto& [index, group] : by_colour) {
        std::sort(group.begin(), group.end(), [&](const auto* a, const auto* b) {
          return parameter_value(a->parameters, which_x) < parameter_value(b->parameters, which_x);
        });
        const double shift =
            (static_cast<double>(index) - static_cast<double>(groups - 1) / 2.0) * dodge;
        auto px = [&](const GridPointStats* s) {
          return p.x(parameter_value(s->parameters, which_x)) + (joined ? shift : 0.0);
        };
        if (joined && group.size() > 1) {
          std::string d;
          for (const GridPointStats* s : group) path_to(d, px(s), p.y(m.estimate(*s).value));
          p.path(d, "none", c.colouring.colour(group.front()->parameters), 1.5);
        }
        for (const GridPointStats* s : group) {
          const std::string colour = c.colouring.colour(s->parameters);
          const Estimate e = m.estimate(*s);
          const double at = px(s);
          if (thin) {
            p.dot(at, p.y(e.value), 2.4, colour, 0.8);
            continue;
          }
          p.line(at, p.y(e.lo), at, p.y(e.hi), colour, 1.5);
          p.line(at - 3, p.y(e.lo), at + 3, p.y(e.lo), colour);
          p.line(at - 3, p.y(e.hi), at + 3, p.y(e.hi), colour);
          p.mark(at, p.y(e.value), colour, e.open);
        }
      }
    };
    figure.panels.push_back(std::move(panel));
  }
  if (grouping.groups.size() > kMaxCombinations) {
    figure.notes.push_back(
        "Showing the first " + std::to_string(kMaxCombinations) + " of " +
        std::to_string(grouping.groups.size()) +
        " combinations; the table holds every grid point, and report --fix NAME=VALUE "
        "draws the others.");
  }
  return figure;
}

Measure proportion_measure(bool extinction) {
  Measure m;
  m.name = extinction ? "p_extinct" : "p_switched";
  m.caption = extinction ? "the share of replicates extinct, with its Wilson score 95% interval"
                         : "the share of replicates with at least one host switch, with its "
                           "Wilson score 95% interval";
  // A little room beyond 0 and 1, so that points there stay clear of the frame.
  m.y = Axis{-0.03, 1.03};
  m.estimate = [extinction](const GridPointStats& s) {
    const ProportionInterval& ci = extinction ? s.p_extinct_interval : s.p_switched_interval;
    return Estimate{extinction ? s.p_extinct : s.p_switched, ci.lo, ci.hi};
  };
  return m;
}

Measure mean_switches_measure() {
  Measure m;
  m.name = "mean_switches";
  m.caption =
      "the mean number of generations with a host switch per run, with its 95% interval "
      "(mean ± 1.96 standard errors, cut at 0)";
  m.estimate = [](const GridPointStats& s) {
    return Estimate{s.mean_switches, std::max(0.0, s.mean_switches - kZ95 * s.se_switches),
                    s.mean_switches + kZ95 * s.se_switches};
  };
  return m;
}

Measure km_median_measure() {
  Measure m;
  m.name = "km_median_extinction";
  m.caption =
      "the Kaplan–Meier median generation of extinction with its 95% interval; an open mark "
      "at n_gen is a median not reached (fewer than half the replicates extinct by n_gen), and "
      "an interval drawn up to n_gen has no upper bound";
  m.estimate = [](const GridPointStats& s) {
    const auto n_gen = static_cast<double>(s.parameters.n_gen);
    const MedianWithInterval& km = s.km_median;
    if (!km.median) return Estimate{n_gen, km.lo.value_or(n_gen), n_gen, true};
    return Estimate{*km.median, km.lo.value_or(*km.median), km.hi.value_or(n_gen)};
  };
  return m;
}

// ---- figures per grid point, the grid points of a panel overlaid

// The first grid points, in panels by --x and the other discrete parameters, one row per
// combination of the others, and the curves of the --colour groups together in each.
template <class Frame, class Draw>
Figure per_point_figure(const FigureContext& c, std::string id, std::string name,
                        std::string caption, std::size_t count, Frame frame, Draw draw) {
  Figure figure;
  figure.id = std::move(id);
  figure.name = std::move(name);
  figure.caption = std::move(caption);
  const std::size_t drawn = std::min({count, kMaxPanels, c.stats.size()});
  std::vector<const GridPointStats*> points;
  for (std::size_t i = 0; i < drawn; ++i) points.push_back(&c.stats[i]);
  std::vector<std::size_t> by = c.panels;
  if (c.counts[c.axes.x] > 1) by.push_back(c.axes.x);
  if (c.colouring.continuous() || c.counts[c.axes.x] > kMaxDiscreteValues) {
    // Continuous parameters: a panel per grid point, as nothing else lines them up.
    by = c.swept;
  }
  const Grouping grouping = group_points(points, by, true);
  std::vector<std::size_t> place;
  for (std::size_t g = 0; g < grouping.groups.size(); ++g) {
    const auto& members = grouping.groups[g];
    PanelSpec panel;
    panel.row = grouping.rows[g];
    const std::string where = swept_description(members.front()->parameters, by);
    panel.frame = frame(members);
    panel.frame.title = where.empty() ? figure.name : where;
    panel.draw = [members, draw](Panel& p) { draw(p, members); };
    figure.panels.push_back(std::move(panel));
  }
  // Every panel of a row on one x range, every panel of the figure on one y range.
  Axis y = figure.panels.empty() ? Axis{} : figure.panels.front().frame.y;
  for (const PanelSpec& p : figure.panels) {
    y.lo = std::min(y.lo, p.frame.y.lo);
    y.hi = std::max(y.hi, p.frame.y.hi);
  }
  std::map<std::size_t, Axis> rows;
  for (const PanelSpec& p : figure.panels) {
    auto [it, fresh] = rows.emplace(p.row, p.frame.x);
    it->second.lo = std::min(it->second.lo, p.frame.x.lo);
    it->second.hi = std::max(it->second.hi, p.frame.x.hi);
  }
  for (PanelSpec& p : figure.panels) {
    p.frame.y = y;
    p.frame.x = rows[p.row];
  }
  if (count > kMaxPanels) {
    figure.notes.push_back("Showing the first " + std::to_string(kMaxPanels) + " of " +
                           std::to_string(count) +
                           " grid points; the table holds every one, and report --fix NAME=VALUE "
                           "draws others.");
  }
  return figure;
}

// Where a Kaplan-Meier curve ends: its last event, or n_gen when runs were still alive.
double survival_end(const GridPointStats& s) {
  double end = 1.0;
  for (const KaplanMeierStep& step : s.survival)
    end = std::max(end, static_cast<double>(step.time));
  if (s.survival.empty() || s.survival.back().surv > 0.0) {
    end = std::max(end, static_cast<double>(s.parameters.n_gen));
  }
  return end;
}

void draw_survival(Panel& p, const GridPointStats& s, const std::string& colour) {
  const double last = survival_end(s);
  // The pointwise band, a step polygon up to where the curve reaches 0 (no bound there).
  std::vector<std::pair<double, double>> upper{{0.0, 1.0}};
  std::vector<std::pair<double, double>> lower{{0.0, 1.0}};
  double end = last;
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
  for (const auto& [t, v] : upper) path_to(band, p.x(t), p.y(v));
  for (auto it = lower.rbegin(); it != lower.rend(); ++it) {
    path_to(band, p.x(it->first), p.y(it->second));
  }
  band += 'Z';
  p.path(band, colour, "none", 0.0, 0.14);
  std::string d;
  path_to(d, p.x(0.0), p.y(1.0));
  double surv = 1.0;
  for (const KaplanMeierStep& step : s.survival) {
    const double px = p.x(step.time);
    path_to(d, px, p.y(surv));
    surv = step.surv;
    path_to(d, px, p.y(surv));
  }
  path_to(d, p.x(last), p.y(surv));
  p.path(d, "none", colour, 1.8);
}

Figure survival_figure(const FigureContext& c) {
  return per_point_figure(
      c, "figure-survival", "km_survival-vs-n_g",
      "Kaplan–Meier curves of the generation of extinction (n_g), completed runs censored at "
      "n_gen, with the pointwise 95% interval (log scale, Greenwood variance); the grey line "
      "marks one half. The grid points of a panel are overlaid, one colour per value of the "
      "colour parameter; all panels share the y axis, and the panels of a row the x axis.",
      c.grid_points,
      [](const std::vector<const GridPointStats*>& members) {
        double end = 1.0;
        for (const GridPointStats* s : members) end = std::max(end, survival_end(*s));
        return PanelFrame{"", figure_label("n_g"), figure_words("km_survival"), Axis{0.0, end},
                          Axis{-0.02, 1.02}};
      },
      [&c](Panel& p, const std::vector<const GridPointStats*>& members) {
        double end = 0.0;
        for (const GridPointStats* s : members) end = std::max(end, survival_end(*s));
        p.line(p.x(0.0), p.y(0.5), p.x(end), p.y(0.5), "#888888");
        for (const GridPointStats* s : members)
          draw_survival(p, *s, c.colouring.colour(s->parameters));
      });
}

// A share by generation as a line from 0 at generation 0 through its marks, in its Wilson band.
void draw_shares(Panel& p, const GridPointStats& s, const std::string& colour, bool extinction) {
  std::vector<std::array<double, 4>> points{{0.0, 0.0, 0.0, 0.0}};  // generation, share, lo, hi
  for (const SharesBy& share : s.by_generation) {
    const auto at = static_cast<double>(share.at);
    if (extinction) {
      points.push_back(
          {at, share.p_extinct, share.p_extinct_interval.lo, share.p_extinct_interval.hi});
    } else if (share.p_switched) {
      points.push_back(
          {at, *share.p_switched, share.p_switched_interval.lo, share.p_switched_interval.hi});
    }
  }
  if (points.size() < 2) return;
  std::string band;
  for (const auto& v : points) path_to(band, p.x(v[0]), p.y(v[3]));
  for (auto it = points.rbegin(); it != points.rend(); ++it)
    path_to(band, p.x((*it)[0]), p.y((*it)[2]));
  band += 'Z';
  p.path(band, colour, "none", 0.0, 0.12);
  for (std::size_t i = 1; i < points.size(); ++i) {
    p.line(p.x(points[i - 1][0]), p.y(points[i - 1][1]), p.x(points[i][0]), p.y(points[i][1]),
           colour, 1.8, extinction);
    p.mark(p.x(points[i][0]), p.y(points[i][1]), colour, extinction);
  }
}

Figure shares_by_generation_figure(const FigureContext& c) {
  return per_point_figure(
      c, "figure-by-generation", "p_switched_by_G-vs-G",
      "Share of the replicates whose first host switch came at or before generation G (solid "
      "line, filled marks) and share extinct by G (dashed line, open marks), each with its "
      "Wilson 95% interval, at the generations of report --at. The grid points of a panel are "
      "overlaid, one colour per value of the colour parameter.",
      c.grid_points,
      [](const std::vector<const GridPointStats*>& members) {
        double end = 1.0;
        for (const GridPointStats* s : members) {
          if (!s->by_generation.empty()) end = std::max(end, 1.0 * s->by_generation.back().at);
        }
        return PanelFrame{"", figure_label("G"), figure_words("share_by_G"), Axis{0.0, end},
                          Axis{-0.02, 1.02}};
      },
      [&c](Panel& p, const std::vector<const GridPointStats*>& members) {
        for (const GridPointStats* s : members) {
          const std::string colour = c.colouring.colour(s->parameters);
          draw_shares(p, *s, colour, false);
          draw_shares(p, *s, colour, true);
        }
      });
}

Figure trajectory_figure(const FigureContext& c,
                         const std::vector<GridPointTrajectory>& trajectories) {
  // Trajectories come in the order of the grid points, as the statistics do.
  std::map<const GridPointStats*, const GridPointTrajectory*> of;
  for (std::size_t i = 0; i < std::min(trajectories.size(), c.stats.size()); ++i) {
    of[&c.stats[i]] = &trajectories[i];
  }
  return per_point_figure(
      c, "figure-trajectories", "n_pop-vs-n_g",
      "Median n_pop (as the generation entered) over the replicates of each grid point, with "
      "the interquartile band; a replicate extinct before a generation counts 0. The grid "
      "points of a panel are overlaid; all panels share the y axis, and the panels of a row "
      "the x axis.",
      trajectories.size(),
      [of](const std::vector<const GridPointStats*>& members) {
        double top = 1.0;
        double last = 2.0;
        for (const GridPointStats* s : members) {
          const auto& g = of.at(s)->by_generation;
          for (const PopulationQuartiles& q : g) top = std::max(top, q.q75);
          last = std::max(last, static_cast<double>(g.size()));
        }
        return PanelFrame{"", figure_label("n_g"), figure_words("population") + " (n_pop)",
                          Axis{1.0, last}, Axis{0.0, top * 1.05}};
      },
      [of, &c](Panel& p, const std::vector<const GridPointStats*>& members) {
        for (const GridPointStats* s : members) {
          const auto& g = of.at(s)->by_generation;
          if (g.empty()) continue;
          const std::string colour = c.colouring.colour(s->parameters);
          std::string band;
          for (std::size_t i = 0; i < g.size(); ++i) {
            path_to(band, p.x(static_cast<double>(i + 1)), p.y(g[i].q75));
          }
          for (std::size_t i = g.size(); i-- > 0;) {
            path_to(band, p.x(static_cast<double>(i + 1)), p.y(g[i].q25));
          }
          band += 'Z';
          p.path(band, colour, "none", 0.0, 0.18);
          std::string d;
          for (std::size_t i = 0; i < g.size(); ++i) {
            path_to(d, p.x(static_cast<double>(i + 1)), p.y(g[i].median));
          }
          p.path(d, "none", colour, 1.8);
        }
      });
}

Figure switches_figure(const FigureContext& c) {
  return per_point_figure(
      c, "figure-switches", "switch_generations-histogram",
      "Distribution of switch_generations (generations with n_HS > 0) over the replicates of "
      "each grid point; the grid points of a panel side by side in each class, one colour per "
      "value of the colour parameter.",
      c.grid_points,
      [](const std::vector<const GridPointStats*>& members) {
        std::int32_t lo = members.front()->switch_bins.front().from;
        std::int32_t hi = members.front()->switch_bins.back().to;
        std::int64_t most = 1;
        for (const GridPointStats* s : members) {
          lo = std::min(lo, s->switch_bins.front().from);
          hi = std::max(hi, s->switch_bins.back().to);
          for (const SwitchBin& bin : s->switch_bins) most = std::max(most, bin.replicates);
        }
        // Whole numbers on the axis, and room for three of them even around a single value.
        Axis x{std::max(-0.6, lo - 0.6), hi + 0.6};
        if (x.hi - x.lo < 3.0) {
          x.lo = std::max(-0.6, (lo + hi) / 2.0 - 1.5);
          x.hi = x.lo + 3.0;
        }
        x.integer = true;
        Axis y{0.0, static_cast<double>(most) * 1.05};
        y.integer = true;
        return PanelFrame{"", figure_label("switch_generations"), figure_words("replicates"), x, y};
      },
      [&c](Panel& p, const std::vector<const GridPointStats*>& members) {
        const auto n = static_cast<double>(members.size());
        for (std::size_t k = 0; k < members.size(); ++k) {
          const GridPointStats& s = *members[k];
          const std::string colour = c.colouring.colour(s.parameters);
          for (const SwitchBin& bin : s.switch_bins) {
            if (bin.replicates == 0) continue;  // an outline of no height would still show
            // A class spans its values ± 0.4; the grid points of a panel share it out.
            const double from = bin.from - 0.4;
            const double share = (bin.to - bin.from + 0.8) / n;
            const double x0 = from + share * static_cast<double>(k);
            p.bar(p.x(x0), p.x(x0 + share), p.y(0.0), p.y(static_cast<double>(bin.replicates)),
                  colour, 0.55);
          }
        }
      });
}

}  // namespace hostswitch::report_detail
