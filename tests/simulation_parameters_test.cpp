#include "model/simulation_parameters.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

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

}  // namespace
}  // namespace hostswitch
