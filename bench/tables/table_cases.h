// The table shapes both tetrahedral-table benchmarks time: 3 -> 3 at 17 and 33 grid points and
// 4 -> 4 at 17, each on random inputs and on an ordered sweep.
#ifndef VELMORA_BENCH_TABLES_TABLE_CASES_H
#define VELMORA_BENCH_TABLES_TABLE_CASES_H

#include <array>
#include <string>

namespace velmora::bench {

struct TableCase {
  int dims;
  int grid;
  bool sweep;
  std::string name() const {
    return std::to_string(dims) + "to" + std::to_string(dims) + "_g" + std::to_string(grid) +
           (sweep ? "_sweep" : "_random");
  }
};

inline constexpr std::array<TableCase, 6> kTableCases = {
    {{3, 17, false}, {3, 33, false}, {4, 17, false}, {3, 17, true}, {3, 33, true}, {4, 17, true}}};

}  // namespace velmora::bench

#endif
