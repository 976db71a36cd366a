// Helpers shared by the byte-table tests.
#ifndef VELMORA_TESTS_TABLES_BYTE_TABLE_SUPPORT_H
#define VELMORA_TESTS_TABLES_BYTE_TABLE_SUPPORT_H

#include <vector>

#include "velmora/md_tetrab.h"

namespace velmora::testing {

using Bytes = std::vector<unsigned char>;

// Visits every vertex of t: f(index, coords, vertex bytes).
template <typename F>
void for_each_vertex(MD_TETRAB *t, F f) {
  std::vector<int> index(md_tetrab_get_dimin(t), 0);
  Bytes coords(index.size());
  do {
    unsigned char *v = md_tetrab_vertex_get(t, index.data(), coords.data());
    f(index, coords, v);
  } while (md_tetrab_scan_vertex(t, index.data()) != 0);
}

}  // namespace velmora::testing

#endif
