// Classic unconstrained test functions with known minima and their usual starting points
// (Moré, Garbow and Hillstrom, "Testing unconstrained optimization software", 1981), shared by
// the minimiser tests.
#ifndef VELMORA_TESTS_OPTIMISE_TEST_FUNCTIONS_H
#define VELMORA_TESTS_OPTIMISE_TEST_FUNCTIONS_H

#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace velmora::testing {

struct TestFunction {
  std::string name;
  std::function<double(const double *)> f;
  std::vector<double> start;
  std::vector<double> minimum;
  double fmin;
  // How far from the minimum a point whose value is within 1e-7 of fmin may lie.
  double near = 1.0e-3;
};

inline std::vector<TestFunction> classic_functions() {
  const double pi = std::acos(-1.0);
  std::vector<TestFunction> list;
  list.push_back({"Rosenbrock",
                  [](const double *x) {
                    return 100.0 * std::pow(x[1] - x[0] * x[0], 2) + std::pow(1.0 - x[0], 2);
                  },
                  {-1.2, 1.0},
                  {1.0, 1.0},
                  0.0});
  list.push_back({"Beale",
                  [](const double *x) {
                    return std::pow(1.5 - x[0] * (1.0 - x[1]), 2) +
                           std::pow(2.25 - x[0] * (1.0 - x[1] * x[1]), 2) +
                           std::pow(2.625 - x[0] * (1.0 - x[1] * x[1] * x[1]), 2);
                  },
                  {1.0, 1.0},
                  {3.0, 0.5},
                  0.0});
  list.push_back({"HelicalValley",
                  [pi](const double *x) {
                    const double theta = std::atan2(x[1], x[0]) / (2.0 * pi);
                    const double r = std::sqrt(x[0] * x[0] + x[1] * x[1]);
                    return 100.0 * (std::pow(x[2] - 10.0 * theta, 2) + std::pow(r - 1.0, 2)) +
                           x[2] * x[2];
                  },
                  {-1.0, 0.0, 0.0},
                  {1.0, 0.0, 0.0},
                  0.0});
  list.push_back({"PowellSingular",
                  [](const double *x) {
                    return std::pow(x[0] + 10.0 * x[1], 2) + 5.0 * std::pow(x[2] - x[3], 2) +
                           std::pow(x[1] - 2.0 * x[2], 4) + 10.0 * std::pow(x[0] - x[3], 4);
                  },
                  {3.0, -1.0, 0.0, 1.0},
                  {0.0, 0.0, 0.0, 0.0},
                  0.0,
                  // Quartic about its minimum: a value within 1e-7 of it leaves the point up to
                  // (1e-7)^(1/4), about 0.018, away.
                  2.0e-2});
  list.push_back({"Wood",
                  [](const double *x) {
                    return 100.0 * std::pow(x[1] - x[0] * x[0], 2) + std::pow(1.0 - x[0], 2) +
                           90.0 * std::pow(x[3] - x[2] * x[2], 2) + std::pow(1.0 - x[2], 2) +
                           10.1 * (std::pow(x[1] - 1.0, 2) + std::pow(x[3] - 1.0, 2)) +
                           19.8 * (x[1] - 1.0) * (x[3] - 1.0);
                  },
                  {-3.0, -1.0, -3.0, -1.0},
                  {1.0, 1.0, 1.0, 1.0},
                  0.0});
  list.push_back({"ShiftedEllipsoid10",
                  [](const double *x) {
                    double s = 0.0;
                    for (int i = 0; i < 10; ++i)
                      s += (i + 1) * std::pow(x[i] - 0.1 * i, 2);
                    return s;
                  },
                  std::vector<double>(10, 1.0),
                  {0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9},
                  0.0});
  return list;
}

}  // namespace velmora::testing

#endif
