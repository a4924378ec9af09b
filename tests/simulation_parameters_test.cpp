#include "model/simulation_parameters.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "model/parameters.hpp"

namespace hostswitch {
namespace {

TEST(ParameterRefusal, AcceptsTheTypicalRunAndItsBoundaries) {
  EXPECT_FALSE(parameter_refusal(typical_parameters()));
  EXPECT_FALSE(parameter_refusal({1, 0.0, 1, 0.0, 1.0, 0.5, 0.0, 0}));
  EXPECT_FALSE(parameter_refusal({1, -0.0, 1, 2.0, -1.0, -0.5, -2.0, -5}));
}

TEST(ParameterRefusal, NamesTheParameterAndTheRule) {
  const auto empty = parameter_refusal({0, 0.5, 100, 0.1, 1.0, 0.5, 2.0, 5});
  ASSERT_TRUE(empty);
  EXPECT_NE(empty->find("n_pop"), std::string::npos);
  EXPECT_NE(empty->find("at least 1"), std::string::npos);

  const auto small = parameter_refusal({100, 0.5, 99, 0.1, 1.0, 0.5, 2.0, 5});
  ASSERT_TRUE(small);
  EXPECT_NE(small->find("capacity"), std::string::npos);

  const auto negative = parameter_refusal({100, -1e-300, 1000, 0.1, 1.0, 0.5, 2.0, 5});
  ASSERT_TRUE(negative);
  EXPECT_NE(negative->find("birth_rate"), std::string::npos);

  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_TRUE(parameter_refusal({100, 0.5, 1000, inf, 1.0, 0.5, 2.0, 5}));
  EXPECT_TRUE(parameter_refusal({100, 0.5, 1000, 0.1, 1.0, 0.5, std::nan(""), 5}));
}

// The page's help and the model's description show the same Table 1: every row of the
// document's table, backticks dropped, is the parameter table's row.
TEST(ParameterTable, IsTable1OfTheModelDescription) {
  std::ifstream file(HOSTSWITCH_SOURCE_DIR "/docs/model.md");
  std::string line;
  while (std::getline(file, line) && line.rfind("**Table 1.**", 0) != 0) {
  }
  std::vector<std::vector<std::string>> rows;
  while (std::getline(file, line) && (rows.empty() || line.rfind("| `", 0) == 0)) {
    if (line.rfind("| `", 0) != 0) continue;
    line.erase(std::remove(line.begin(), line.end(), '`'), line.end());
    std::vector<std::string> cells;
    std::istringstream cut(line.substr(2, line.size() - 4));
    for (std::string cell; std::getline(cut, cell, '|');) {
      cells.push_back(cell.substr(cell.find_first_not_of(' '),
                                  cell.find_last_not_of(' ') - cell.find_first_not_of(' ') + 1));
    }
    rows.push_back(cells);
  }
  ASSERT_EQ(rows.size(), kParameterCount);
  for (std::size_t i = 0; i < kParameterCount; ++i) {
    const ParameterInfo& p = kParameters[i];
    EXPECT_EQ(rows[i], (std::vector<std::string>{std::string(p.name), std::string(p.definition),
                                                 std::string(p.unit), std::string(p.domain),
                                                 typical_value_text(i)}));
  }
}

}  // namespace
}  // namespace hostswitch
