#include "batch/design.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "analysis/sensitivity.hpp"

namespace hostswitch {
namespace {

std::vector<ParameterRange> ranges_of(std::initializer_list<const char*> texts) {
  std::vector<ParameterRange> ranges;
  for (const char* text : texts) ranges.push_back(parse_range(text));
  return ranges;
}

double value_of(const SimulationParameters& p, std::size_t which) {
  const double values[] = {double(p.n_pop), p.birth_rate, double(p.capacity), p.emig_rate,
                           p.sdr,           p.sdv,        p.max_dist,         double(p.n_gen)};
  return values[which];
}

TEST(SobolIndices, IshigamiFunctionGivesItsAnalyticIndices) {
  // f = sin x1 + a sin^2 x2 + b x3^4 sin x1 on [-pi, pi]^3.
  constexpr double a = 7.0;
  constexpr double b = 0.1;
  constexpr std::size_t n = 1 << 14;
  constexpr std::size_t k = 3;
  auto f = [](const double* x) {
    return std::sin(x[0]) + a * std::sin(x[1]) * std::sin(x[1]) +
           b * std::pow(x[2], 4) * std::sin(x[0]);
  };
  const std::vector<double> unit = sobol_sequence(2 * k, n + 1);
  std::vector<double> ya(n), yb(n);
  std::vector<std::vector<double>> yab(k, std::vector<double>(n));
  for (std::size_t j = 0; j < n; ++j) {
    double xa[k], xb[k];
    for (std::size_t c = 0; c < k; ++c) {
      xa[c] = -std::numbers::pi + 2 * std::numbers::pi * unit[(j + 1) * 2 * k + c];
      xb[c] = -std::numbers::pi + 2 * std::numbers::pi * unit[(j + 1) * 2 * k + k + c];
    }
    ya[j] = f(xa);
    yb[j] = f(xb);
    for (std::size_t i = 0; i < k; ++i) {
      double x[k] = {xa[0], xa[1], xa[2]};
      x[i] = xb[i];
      yab[i][j] = f(x);
    }
  }
  const SobolIndices indices = sobol_indices(ya, yb, yab, 200, 5);
  const double first[] = {0.3139, 0.4424, 0.0};
  const double total[] = {0.5576, 0.4424, 0.2437};
  for (std::size_t i = 0; i < k; ++i) {
    EXPECT_NEAR(indices.first[i].value, first[i], 0.02) << i;
    EXPECT_NEAR(indices.total[i].value, total[i], 0.02) << i;
    EXPECT_LE(indices.first[i].lo, indices.first[i].value);
    EXPECT_GE(indices.first[i].hi, indices.first[i].value);
    EXPECT_LT(indices.total[i].hi - indices.total[i].lo, 0.1);
  }
  // Seeded: the same outputs give the same intervals.
  EXPECT_EQ(sobol_indices(ya, yb, yab, 200, 5).total[2].lo, indices.total[2].lo);
}

TEST(MorrisDesign, LinearFunctionGivesCoefficientTimesRange) {
  const auto ranges = ranges_of({"emig_rate=0:1", "sdr=0.5:2.5", "max_dist=1:100:log"});
  const Design design = morris_design(typical_parameters(), ranges, {12, 4, 3});
  ASSERT_EQ(design.points.size(), 12u * 4u);
  const std::size_t which[] = {3, 4, 6};
  const double coefficient[] = {2.0, -3.0, 0.5};
  const double delta = 4.0 / (2.0 * 3.0);
  std::vector<MorrisTrajectory> trajectories(12);
  for (std::size_t g = 0; g < design.points.size(); ++g) {
    MorrisTrajectory& t = trajectories[g / 4];
    EXPECT_EQ(design.labels[g], std::to_string(g / 4 + 1) + "," + std::to_string(g % 4));
    double y = 0.0;
    for (std::size_t c = 0; c < 3; ++c) {
      const double u = range_unit(ranges[c], value_of(design.points[g], which[c]));
      t.unit.push_back(u);
      // Linear in the unit coordinate: log-scaled max_dist included.
      y += coefficient[c] * (ranges[c].high - ranges[c].low) * u;
    }
    t.output.push_back(y);
    if (g % 4 > 0) {  // one coordinate moves by delta, the others stay
      int moved = 0;
      for (std::size_t c = 0; c < 3; ++c) {
        const double change = std::fabs(t.unit[(g % 4) * 3 + c] - t.unit[(g % 4 - 1) * 3 + c]);
        if (change > 1e-12) {
          EXPECT_NEAR(change, delta, 1e-12);
          ++moved;
        }
      }
      EXPECT_EQ(moved, 1);
    }
  }
  const auto effects = morris_effects(trajectories, 3);
  for (std::size_t c = 0; c < 3; ++c) {
    const double expected = coefficient[c] * (ranges[c].high - ranges[c].low);
    EXPECT_NEAR(effects[c].mu_star, std::fabs(expected), 1e-9);
    EXPECT_NEAR(effects[c].mu, expected, 1e-9);
    ASSERT_TRUE(effects[c].sigma);
    EXPECT_NEAR(*effects[c].sigma, 0.0, 1e-9);
    EXPECT_EQ(effects[c].effects, 12);
  }
}

TEST(MorrisEffects, SpreadNeedsTwoEffects) {
  // First: (0,0) -> (0.5,0) -> (0.5,0.5), outputs 1, 3, 2: effects 4 and -2.
  // Second: (0.5,0.5) -> (0,0.5) -> (0,0), outputs 0, 1, 2: effects -2 and -2.
  const MorrisTrajectory first{{0, 0, 0.5, 0, 0.5, 0.5}, {1, 3, 2}};
  const MorrisTrajectory second{{0.5, 0.5, 0, 0.5, 0, 0}, {0, 1, 2}};
  struct Case {
    std::vector<MorrisTrajectory> trajectories;
    double mu[2], mu_star[2];
    std::optional<double> sigma[2];
  };
  const Case cases[] = {
      {{first}, {4, -2}, {4, 2}, {std::nullopt, std::nullopt}},
      {{first, second}, {1, -2}, {3, 2}, {std::sqrt(18.0), 0.0}},
  };
  for (const Case& c : cases) {
    const auto effects = morris_effects(c.trajectories, 2);
    for (std::size_t p = 0; p < 2; ++p) {
      EXPECT_DOUBLE_EQ(effects[p].mu, c.mu[p]) << c.trajectories.size() << p;
      EXPECT_DOUBLE_EQ(effects[p].mu_star, c.mu_star[p]) << c.trajectories.size() << p;
      ASSERT_EQ(effects[p].sigma.has_value(), c.sigma[p].has_value()) << c.trajectories.size();
      if (c.sigma[p]) {
        EXPECT_NEAR(*effects[p].sigma, *c.sigma[p], 1e-12);
      }
      EXPECT_EQ(effects[p].effects, static_cast<std::int64_t>(c.trajectories.size()));
    }
  }
}

TEST(LhsDesign, EveryStratumOfEveryColumnHoldsOnePointAndSeedsRepeat) {
  const auto ranges = ranges_of({"birth_rate=0.1:3", "emig_rate=0:1", "sdv=0.01:10:log"});
  constexpr int n = 37;
  const Design design = lhs_design(typical_parameters(), ranges, {n, 11, 4});
  ASSERT_EQ(design.points.size(), std::size_t{n});
  const std::size_t which[] = {1, 3, 5};
  for (std::size_t c = 0; c < 3; ++c) {
    std::set<int> strata;
    for (const auto& p : design.points) {
      const double u = range_unit(ranges[c], value_of(p, which[c]));
      strata.insert(static_cast<int>(std::floor(u * n)));
    }
    EXPECT_EQ(strata.size(), std::size_t{n}) << c;
    EXPECT_EQ(*strata.begin(), 0);
    EXPECT_EQ(*strata.rbegin(), n - 1);
  }
  EXPECT_EQ(design_csv(design), design_csv(lhs_design(typical_parameters(), ranges, {n, 11, 4})));
  EXPECT_NE(design_csv(design), design_csv(lhs_design(typical_parameters(), ranges, {n, 12, 4})));
  // Integer parameters are rounded; the unvaried ones keep the base.
  const Design rounded = lhs_design(typical_parameters(), ranges_of({"n_gen=10:20"}), {5, 1, 1});
  for (const auto& p : rounded.points) {
    EXPECT_GE(p.n_gen, 10);
    EXPECT_LE(p.n_gen, 20);
    EXPECT_EQ(p.sdr, 1.0);
  }
}

TEST(LhsDesign, MaximinAboveItsCostIsRefusedSayingWhatFits) {
  // The bound is 2e9 pairs over all candidates: 1e9 pairs a candidate for two, 2e8 for ten.
  struct Case {
    std::int32_t samples, maximin;
    const char* refusal;  // empty: accepted
  };
  const Case cases[] = {
      {44722, 2, "at most 44721 samples for 2 hypercubes"},  // 44722 * 44721 / 2 > 1e9
      {1000000, 10, "at most 20000 samples for 10 hypercubes"},
      {100000, 1, ""},  // one hypercube compares nothing
      {20, 3, ""},
  };
  const auto ranges = ranges_of({"emig_rate=0:1"});
  for (const Case& c : cases) {
    try {
      const Design design = lhs_design(typical_parameters(), ranges, {c.samples, 1, c.maximin});
      EXPECT_STREQ(c.refusal, "") << c.samples;
      EXPECT_EQ(design.points.size(), static_cast<std::size_t>(c.samples));
    } catch (const std::invalid_argument& refused) {
      EXPECT_NE(std::string(refused.what()).find(c.refusal), std::string::npos)
          << c.samples << ": " << refused.what();
      EXPECT_NE(*c.refusal, '\0') << refused.what();
    }
  }
}

TEST(SobolDesign, BlocksFollowTheSaltelliScheme) {
  const auto ranges = ranges_of({"emig_rate=0:1", "max_dist=0:4"});
  const Design design = sobol_design(typical_parameters(), ranges, {8, std::nullopt});
  ASSERT_EQ(design.points.size(), 8u * 4u);
  EXPECT_EQ(design_header(design),
            "point,n_pop,birth_rate,capacity,emig_rate,sdr,sdv,max_dist,n_gen,block\n");
  // Base row 1 is the sequence's second point (0.5, 0.5, 0.5, 0.5); row 2 its third.
  EXPECT_EQ(design.points[0].emig_rate, 0.5);
  EXPECT_EQ(design.points[1].emig_rate, 0.75);
  EXPECT_EQ(design.points[9].max_dist, 0.25 * 4);  // B, row 2: fourth coordinate 0.25
  for (std::size_t j = 0; j < 8; ++j) {
    const auto& a = design.points[j];
    const auto& b = design.points[8 + j];
    const auto& ab1 = design.points[16 + j];
    const auto& ab2 = design.points[24 + j];
    EXPECT_EQ(design.labels[j], "A");
    EXPECT_EQ(design.labels[8 + j], "B");
    EXPECT_EQ(design.labels[16 + j], "AB1");
    EXPECT_EQ(design.labels[24 + j], "AB2");
    EXPECT_EQ(ab1.emig_rate, b.emig_rate);
    EXPECT_EQ(ab1.max_dist, a.max_dist);
    EXPECT_EQ(ab2.emig_rate, a.emig_rate);
    EXPECT_EQ(ab2.max_dist, b.max_dist);
  }
  const Design shifted = sobol_design(typical_parameters(), ranges, {8, 9});
  EXPECT_NE(design_csv(shifted), design_csv(design));
  EXPECT_EQ(design_csv(shifted), design_csv(sobol_design(typical_parameters(), ranges, {8, 9})));
}

TEST(DesignRanges, OutsideTheDomainIsRefusedNamingTheFlag) {
  auto refusal = [](auto make) -> std::string {
    try {
      make();
    } catch (const std::invalid_argument& error) {
      return error.what();
    }
    return "accepted";
  };
  const auto base = typical_parameters();
  EXPECT_EQ(refusal([&] {
              sobol_design(base, ranges_of({"sdr=0:1"}), {4, std::nullopt});
            }).rfind("--range sdr=0:1: --sdr: 0 gives the survival function no width", 0),
            0u);
  EXPECT_NE(refusal([&] {
              lhs_design(base, ranges_of({"emig-rate=0.5:1.5"}), {4, 1, 1});
            }).find("--emig-rate: must lie between 0 and 1"),
            std::string::npos);
  EXPECT_NE(refusal([&] { parse_range("sdv=2:1"); }).find("--range sdv=2:1: LO must be below HI"),
            std::string::npos);
  EXPECT_NE(refusal([&] { parse_range("sdv=0:1:log"); }).find("needs LO above 0"),
            std::string::npos);
  EXPECT_NE(refusal([&] { parse_range("speed=0:1"); }).find("'speed' is not a parameter"),
            std::string::npos);
  EXPECT_NE(refusal([&] {
              morris_design(base, ranges_of({"sdv=1:2"}), {3, 5, 1});
            }).find("--levels"),
            std::string::npos);
  EXPECT_NE(refusal([&] {
              lhs_design(base, ranges_of({"sdv=1:2", "sdv=2:3"}), {3, 1, 1});
            }).find("sdv is given twice"),
            std::string::npos);
}

TEST(DesignFile, UserFilesAreReadInAnyColumnOrderAndBadRowsRefusedWithTheirLine) {
  const auto base = typical_parameters();
  const Design written =
      morris_design(base, ranges_of({"emig_rate=0:1", "n_pop=10:200"}), {2, 4, 8});
  const Design read = parse_design(design_csv(written), "d.csv", base);
  EXPECT_EQ(read.points, written.points);
  EXPECT_EQ(read.labels, written.labels);
  EXPECT_EQ(read.kind, DesignKind::morris);

  // Columns in another order, sdv and the others missing (the base's), an extra column,
  // CR LF line ends, a float-typed integer column as pandas writes it.
  const Design user = parse_design("sdr,site,point,n_pop\r\n2.5,north,1,50.0\r\n0.5,south,2,70\r\n",
                                   "user.csv", base);
  ASSERT_EQ(user.points.size(), 2u);
  EXPECT_EQ(user.kind, DesignKind::file);
  EXPECT_EQ(user.points[0].sdr, 2.5);
  EXPECT_EQ(user.points[0].n_pop, 50);
  EXPECT_EQ(user.points[1].sdv, base.sdv);
  EXPECT_EQ(user.label_names, std::vector<std::string>{"site"});
  EXPECT_EQ(user.labels, (std::vector<std::string>{"north", "south"}));

  const std::string header = "point,sdr,n_gen\n1,1,10\n";
  const struct {
    const char* row;
    const char* expected;
  } bad[] = {{"2,0,10", "bad.csv:3: sdr: 0 gives the survival function no width"},
             {"2,,10", "bad.csv:3: sdr: missing value"},
             {"2,wide,10", "bad.csv:3: sdr: 'wide' is not a finite number"},
             {"1,2,10", "bad.csv:3: point 1 appears twice (first on line 2)"},
             {"2,1,10.5", "bad.csv:3: n_gen: '10.5' is not a 32-bit integer"},
             {"2,1", "bad.csv:3: expected 3 fields, got 2"}};
  for (const auto& [row, expected] : bad) {
    try {
      parse_design(header + row + "\n", "bad.csv", base);
      ADD_FAILURE() << row << " accepted";
    } catch (const DesignFileError& error) {
      EXPECT_EQ(std::string(error.what()).rfind(expected, 0), 0u) << error.what();
    }
  }
  // The checksum follows the rows.
  EXPECT_EQ(design_checksum(design_rows(read)), design_checksum(design_rows(written)));
  EXPECT_NE(design_checksum(design_rows(user)), design_checksum(design_rows(written)));
}

TEST(DesignFile, ColumnsInAnyAcceptedSpellingAreTheirParameterAndLookAlikesAreRefused) {
  const auto base = typical_parameters();
  // Parameter columns: emig_rate set to 0.25, max_dist to 3, no label left over.
  for (const std::string header :
       {"\xEF\xBB\xBF"
        "emig_rate,max_dist",
        "emig-rate,max-dist", "Emig_Rate,MAX-DIST", "EMIG_RATE,max_dist"}) {
    const Design read = parse_design(header + "\r\n0.25,3\r\n", "d.csv", base);
    EXPECT_EQ(read.points.at(0).emig_rate, 0.25) << header;
    EXPECT_EQ(read.points.at(0).max_dist, 3.0) << header;
    EXPECT_TRUE(read.label_names.empty()) << header;
  }
  EXPECT_EQ(parse_design("Point,sdr\n1,2\n", "d.csv", base).label_names.size(), 0u);
  // Labels unlike any parameter stay labels, short words near short names among them.
  const Design labelled = parse_design("site,block,pop,id,rep,sdr\nx,A,1,2,3,2\n", "d.csv", base);
  EXPECT_EQ(labelled.label_names, (std::vector<std::string>{"site", "block", "pop", "id", "rep"}));

  const struct {
    std::string header;
    const char* expected;
  } refused[] = {
      {"emg_rate,sdr", "d.csv:1: column 'emg_rate' looks like the parameter 'emig_rate'"},
      {"sdr, emig_rate", "d.csv:1: column ' emig_rate' looks like the parameter 'emig_rate'"},
      {"sdr,emig_rate\xE2\x80\x8B", "looks like the parameter 'emig_rate'"},  // zero-width space
      {"sdr,\xEF\xBB\xBFsdv", "looks like the parameter 'sdv'"},  // a mark not at the start
      {"n_gens", "d.csv:1: column 'n_gens' looks like the parameter 'n_gen'"},
      {"sdr,emg_rate  ", "d.csv:1: column 'emg_rate  ' looks like the parameter 'emig_rate'"},
      {"EmigRate", "looks like the parameter 'emig_rate'"},
      {"pont,sdr", "d.csv:1: column 'pont' looks like the column 'point'"},
      {"emig_rate,Emig-Rate",
       "d.csv:1: the columns 'emig_rate' and 'Emig-Rate' both name "
       "emig_rate"},
  };
  for (const auto& [header, expected] : refused) {
    try {
      parse_design(header + "\n1,1\n", "d.csv", base);
      ADD_FAILURE() << header << " accepted";
    } catch (const DesignFileError& error) {
      EXPECT_NE(std::string(error.what()).find(expected), std::string::npos) << error.what();
    }
  }
}

TEST(DesignFile, QuotedLabelsAreKeptAsCsvFieldsWithinWhatASummaryRowHolds) {
  const auto base = typical_parameters();
  const Design read = parse_design(
      "emig_rate,label,\"odd,name\"\n0.1,\"a,b\",plain\n0.2,\"c\"\"d\",\"\"\n", "d.csv", base);
  EXPECT_EQ(read.label_names, (std::vector<std::string>{"label", "odd,name"}));
  EXPECT_EQ(read.labels, (std::vector<std::string>{"\"a,b\",plain", "\"c\"\"d\","}));
  // Written back and read again: the same labels.
  EXPECT_EQ(parse_design(design_csv(read), "again.csv", base).labels, read.labels);

  // 23 standard fields of at most 24 characters and their commas take 575 of the 4096 a
  // summary row may hold, and the label's comma one more: 3520 characters of labels fit.
  const std::string header = "emig_rate,label\n";
  EXPECT_EQ(parse_design(header + "0.1," + std::string(3520, 'x') + "\n", "d.csv", base)
                .labels.at(0)
                .size(),
            3520u);
  const struct {
    std::string text;
    const char* expected;
  } refused[] = {
      {header + "0.1,ok\n0.1," + std::string(3521, 'x') + "\n",
       "d.csv:3: labels of 3521 characters; a summary row holds at most 3520"},
      {header + "0.1,\"two\nlines\"\n", "d.csv:2: label: a line break inside a label"},
      {"sdr," + std::string(3900, 'n') + "\n1,x\n",
       "d.csv:1: the label columns would make a summary header longer than 4096"},
      {"sdr,label\n1,\"open\n", "d.csv:2: a quoted field is not closed"},
      {"sdr,label\n1,a\"b\n", "d.csv:2: a quote inside an unquoted field"},
  };
  for (const auto& [text, expected] : refused) {
    try {
      parse_design(text, "d.csv", base);
      ADD_FAILURE() << text.substr(0, 60) << " accepted";
    } catch (const DesignFileError& error) {
      EXPECT_EQ(std::string(error.what()).rfind(expected, 0), 0u) << error.what();
    }
  }
}

}  // namespace
}  // namespace hostswitch
