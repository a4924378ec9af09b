#include "reporting/histogram.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <vector>

namespace hostswitch {
namespace {

using Classes = std::vector<PhenotypeClass>;

struct Range {
  double mn;
  double mx;
};

Range range_of(const std::vector<double>& pop) {
  Range r{pop[0], pop[0]};
  for (std::size_t i = 1; i < pop.size(); ++i) {
    if (pop[i] > r.mx) r.mx = pop[i];
    if (pop[i] < r.mn) r.mn = pop[i];
  }
  return r;
}

std::int64_t literal_nclass(const Range& r, double binw) {
  const double q = (r.mx - r.mn) / binw;
  if (std::isnan(q) || q <= -2147483649.0 || q >= 2147483648.0) return -2147483646;
  return static_cast<std::int64_t>(q) + 2;
}

double centre_of(const Range& r, double binw, std::int64_t k) {
  return (binw / 2.0 + r.mn) + static_cast<double>(k - 1) * binw;
}

// Counts class k the slow way: its own edges, every value.
PhenotypeClass scan_class(const std::vector<double>& pop, const Range& r, double binw,
                          std::int64_t k) {
  const double centre = centre_of(r, binw, k);
  const double lower = centre - binw / 2.0;
  const double upper = binw / 2.0 + centre;
  std::int32_t count = 0;
  for (const double v : pop) {
    if (lower <= v && v < upper) ++count;
  }
  return {k, centre, count};
}

// Every class scans the whole population and counts on its own.
Classes literal_rescan(const std::vector<double>& pop, double binw) {
  const Range r = range_of(pop);
  Classes out;
  const std::int64_t nclass = literal_nclass(r, binw);
  for (std::int64_t k = 1; k <= nclass; ++k) {
    const PhenotypeClass c = scan_class(pop, r, binw, k);
    if (c.n_p >= 1) out.push_back(c);
  }
  return out;
}

// The rescan restricted to the classes within `window` of each value's nominal class, for
// class counts too large to scan whole.
Classes windowed_rescan(const std::vector<double>& pop, double binw, std::int64_t window) {
  const Range r = range_of(pop);
  const std::int64_t nclass = literal_nclass(r, binw);
  std::set<std::int64_t> ks;
  for (const double v : pop) {
    const auto nominal = static_cast<std::int64_t>(std::floor((v - r.mn) / binw)) + 1;
    for (std::int64_t k = nominal - window; k <= nominal + window; ++k) {
      if (k >= 1 && k <= nclass) ks.insert(k);
    }
  }
  Classes out;
  for (const std::int64_t k : ks) {
    const PhenotypeClass c = scan_class(pop, r, binw, k);
    if (c.n_p >= 1) out.push_back(c);
  }
  return out;
}

// The histogram as it scans for the range, and (for NaN-free populations) as it is handed
// the range: both must give the same classes.
Classes fast(const std::vector<double>& pop, double binw) {
  PhenotypeHistogram histogram(binw);
  const auto scanned = histogram.classes(pop);
  Classes classes(scanned.begin(), scanned.end());
  if (!pop.empty() &&
      std::none_of(pop.begin(), pop.end(), [](double v) { return std::isnan(v); })) {
    const Range r = range_of(pop);
    const auto known = histogram.classes(pop, r.mn, r.mx);
    EXPECT_TRUE(Classes(known.begin(), known.end()) == classes) << "with the range handed over";
  }
  return classes;
}

void expect_same(const Classes& expected, const Classes& actual) {
  ASSERT_EQ(expected.size(), actual.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(expected[i].k, actual[i].k) << i;
    ASSERT_EQ(expected[i].n_p, actual[i].n_p) << "class " << expected[i].k;
    // Same bits, NaN aside (no class with a NaN centre holds anything).
    ASSERT_EQ(expected[i].centre, actual[i].centre) << "class " << expected[i].k;
  }
}

TEST(PhenotypeHistogram, ClassCountRule) {
  EXPECT_EQ(class_count(10.0, 10.0, 0.1), 2);
  EXPECT_EQ(class_count(0.0, 1.05, 0.1), 12);  // trunc(10.5) + 2
  EXPECT_EQ(class_count(0.0, -1.05, 0.1), -8);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(class_count(10.0, 10.0, 0.0), -2147483646);  // 0/0
  EXPECT_EQ(class_count(0.0, 1.0, 0.0), -2147483646);    // infinity
  EXPECT_EQ(class_count(nan, nan, 0.1), -2147483646);
  EXPECT_EQ(class_count(0.0, 2147483647.5, 1.0), 2147483649);  // no 32-bit wrap
  EXPECT_EQ(class_count(0.0, 2147483648.0, 1.0), -2147483646);
  EXPECT_EQ(class_count(0.0, 2147483649.0, -1.0), -2147483646);  // below -2^31
  EXPECT_EQ(class_count(0.0, 2147483648.5, -1.0), -2147483646);  // trunc is -2^31 itself
}

TEST(PhenotypeHistogram, AllEqualFillsTheFirstClass) {
  const std::vector<double> pop(100, 10.0);
  const Classes classes = fast(pop, 1.0 / 10.0);
  ASSERT_EQ(classes.size(), 1u);
  EXPECT_EQ(classes[0].k, 1);
  EXPECT_EQ(classes[0].n_p, 100);
  EXPECT_EQ(classes[0].centre, 0.05 + 10.0);
  expect_same(literal_rescan(pop, 0.1), classes);
}

TEST(PhenotypeHistogram, MatchesLiteralRescanOnRandomPopulations) {
  std::mt19937_64 random(7);
  for (int trial = 0; trial < 3000; ++trial) {
    const std::size_t n = 1 + random() % 300;
    const double centre = std::uniform_real_distribution<double>(-50.0, 50.0)(random);
    const double spread = std::exp(std::uniform_real_distribution<double>(-6.0, 3.0)(random));
    const double binw = std::exp(std::uniform_real_distribution<double>(-7.0, 1.0)(random));
    std::normal_distribution<double> phenotype(centre, spread);
    std::vector<double> pop(n);
    for (double& v : pop) v = phenotype(random);
    // Repeat some values, as parents are copied into the next population.
    for (std::size_t i = 0; i < n / 4; ++i) pop[random() % n] = pop[random() % n];
    if (literal_nclass(range_of(pop), binw) > 20000) continue;
    SCOPED_TRACE(trial);
    expect_same(literal_rescan(pop, binw), fast(pop, binw));
  }
}

// Values placed on, and one unit either side of, the edges the classes compute.
TEST(PhenotypeHistogram, ValuesOnComputedEdges) {
  std::mt19937_64 random(11);
  int smallest_missed = 0;
  int counted_twice = 0;
  for (int trial = 0; trial < 2000; ++trial) {
    const double binw = std::uniform_real_distribution<double>(1e-4, 2.0)(random);
    const double mn = std::uniform_real_distribution<double>(-1e3, 1e3)(random);
    const Range r{mn, mn};
    std::vector<double> pop{mn};
    const int classes = 1 + static_cast<int>(random() % 40);
    for (int k = 1; k <= classes; ++k) {
      const double c = centre_of(r, binw, k);
      for (const double edge : {c - binw / 2.0, binw / 2.0 + c}) {
        pop.push_back(edge);
        pop.push_back(std::nextafter(edge, -INFINITY));
        pop.push_back(std::nextafter(edge, INFINITY));
      }
    }
    for (double& v : pop) v = std::max(v, mn);  // keep mn the smallest
    const Range actual = range_of(pop);
    const std::int64_t nclass = literal_nclass(actual, binw);
    for (const double v : pop) {
      int holding = 0;
      for (std::int64_t k = 1; k <= nclass; ++k) {
        const double c = centre_of(actual, binw, k);
        if (c - binw / 2.0 <= v && v < binw / 2.0 + c) ++holding;
      }
      if (holding == 0 && v == actual.mn) ++smallest_missed;
      if (holding == 2) ++counted_twice;
    }
    const Classes expected = literal_rescan(pop, binw);
    SCOPED_TRACE(trial);
    expect_same(expected, fast(pop, binw));
  }
  // The rounding quirks did occur, so they were compared.
  EXPECT_GT(smallest_missed, 0);
  EXPECT_GT(counted_twice, 0);
}

TEST(PhenotypeHistogram, CollapsingCentresNearTheLastPlace) {
  // Near 1e6 one unit in the last place is about 1.16e-10.
  const double ulp = std::nextafter(1e6, 2e6) - 1e6;
  for (const double factor : {0.1, 0.3, 0.5, 0.7, 1.0, 1.5, 2.0, 3.0, 10.0}) {
    std::vector<double> pop;
    double v = 1e6;
    for (int i = 0; i < 60; ++i) {
      pop.push_back(v);
      pop.push_back(v);
      v = std::nextafter(v, 2e6);
    }
    const double binw = factor * ulp;
    SCOPED_TRACE(factor);
    expect_same(literal_rescan(pop, binw), fast(pop, binw));
  }
}

TEST(PhenotypeHistogram, NegativeOrUnusableWidthHoldsNothing) {
  std::mt19937_64 random(3);
  std::vector<double> pop(200);
  for (double& v : pop) v = std::normal_distribution<double>(10.0, 1.0)(random);
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (const double binw : {-0.1, -1e-3, -5.0, 0.0, -0.0, inf, -inf, nan}) {
    EXPECT_TRUE(literal_rescan(pop, binw).empty()) << binw;
    EXPECT_TRUE(fast(pop, binw).empty()) << binw;
  }
  EXPECT_TRUE(fast(std::vector<double>(10, 10.0), -0.1).empty());
  EXPECT_TRUE(fast({}, 0.1).empty());
}

TEST(PhenotypeHistogram, SubnormalWidth) {
  // 1 / binw overflows, so the estimate is no guide and the exact search does the work.
  const double tiny = std::numeric_limits<double>::denorm_min();
  for (const double binw : {tiny, 2 * tiny, 3 * tiny, 7 * tiny}) {
    std::vector<double> pop;
    for (int i = 0; i < 40; ++i) pop.push_back(i * 3 * tiny);
    pop.push_back(11 * tiny);
    SCOPED_TRACE(binw);
    const Classes expected = literal_rescan(pop, binw);
    // With binw the smallest subnormal, binw/2 rounds to 0 and every class is empty.
    EXPECT_EQ(expected.empty(), binw == tiny);
    expect_same(expected, fast(pop, binw));
  }
}

TEST(PhenotypeHistogram, NotANumberAndInfiniteValues) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<std::vector<double>> cases = {
      {10.0, nan, 10.2, nan, 10.05},  // a NaN after the first is in no class
      {nan, 10.0, 10.2},              // a NaN first makes the range NaN
      {10.0, inf, 10.2},
      {10.0, -inf, 10.2},
      {1e308, -1e308, 0.0},  // the spread overflows
      {10.0, 10.1, 10.2, 10.3, 10.4, nan, 10.5, 10.6, 10.7, 10.8, 10.9, 11.0},
  };
  for (const auto& pop : cases) {
    expect_same(literal_rescan(pop, 0.1), fast(pop, 0.1));
  }
}

TEST(PhenotypeHistogram, ManyClassesFewValuesTakesTheSparsePath) {
  std::mt19937_64 random(5);
  for (int trial = 0; trial < 40; ++trial) {
    std::vector<double> pop(1 + random() % 12);
    for (double& v : pop) v = std::uniform_real_distribution<double>(0.0, 5000.0)(random);
    pop.push_back(pop[0]);
    SCOPED_TRACE(trial);
    expect_same(literal_rescan(pop, 0.05), fast(pop, 0.05));  // about 10^5 classes
  }
}

TEST(PhenotypeHistogram, ABillionClasses) {
  std::mt19937_64 random(9);
  for (int trial = 0; trial < 20; ++trial) {
    const double binw = 0.1 * (1.0 + trial / 20.0);
    const double mn = std::uniform_real_distribution<double>(-1e6, 1e6)(random);
    std::vector<double> pop{mn, mn + 1e9 * binw};
    for (int i = 0; i < 300; ++i) {
      pop.push_back(std::uniform_real_distribution<double>(mn, mn + 1e9 * binw)(random));
    }
    const Range r = range_of(pop);
    for (int i = 0; i < 100; ++i) {  // exactly on edges far out
      const auto k = static_cast<std::int64_t>(random() % 1000000000) + 1;
      pop.push_back(centre_of(r, binw, k) - binw / 2.0);
      pop.push_back(binw / 2.0 + centre_of(r, binw, k));
    }
    ASSERT_GT(literal_nclass(r, binw), 999999999);
    SCOPED_TRACE(trial);
    expect_same(windowed_rescan(pop, binw, 3), fast(pop, binw));
  }
}

TEST(PhenotypeHistogram, ClassNumbersBeyond32Bits) {
  // trunc(q) = 2^31 - 1 gives 2^31 + 1 classes; the top ones are numbered past INT32_MAX.
  const double binw = 1.0;
  const std::vector<double> pop{0.0, 2147483647.5, 2147483647.25, 2147483646.75, 12.5};
  const Classes expected = windowed_rescan(pop, binw, 3);
  expect_same(expected, fast(pop, binw));
  ASSERT_FALSE(expected.empty());
  EXPECT_GT(expected.back().k, std::numeric_limits<std::int32_t>::max());
  // One step wider and the quotient leaves the 32-bit range: no class at all.
  EXPECT_TRUE(fast({0.0, 2147483648.0, 5.0}, binw).empty());
  EXPECT_TRUE(fast({0.0, 1e12}, 1e-3).empty());
}

TEST(PhenotypeHistogram, BuffersAreReusedAcrossGenerations) {
  PhenotypeHistogram histogram(0.1);
  const std::vector<double> wide{0.0, 400.0, 3.0};
  const std::vector<double> narrow(50, 10.0);
  for (int round = 0; round < 3; ++round) {
    const auto a = histogram.classes(wide);
    expect_same(literal_rescan(wide, 0.1), Classes(a.begin(), a.end()));
    const auto b = histogram.classes(narrow);
    expect_same(literal_rescan(narrow, 0.1), Classes(b.begin(), b.end()));
  }
}

}  // namespace
}  // namespace hostswitch
