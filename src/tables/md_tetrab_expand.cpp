// Table expansion: a new byte table with another number of grid points, filled from an old one.
//
// When the new grid refines the old one by a whole factor k, every old cell is filled on its own:
// its 2^N corners are the leaves of a binary tree whose levels pair the corners along one
// dimension each (dimension N-1 at the leaves, dimension 0 at the root), and each new vertex in
// the cell is the root of that tree after 8-bit linear blends level by level. A new vertex t
// steps of k into the cell along a dimension blends that dimension's pair with the weight
// 255 * t / k rounded, so t = 0 takes the lower corner and t = k the upper one exactly, and every
// old vertex reappears unchanged. Other grid sizes are sampled through md_tetrab_interp.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "foundation/alloc.h"
#include "foundation/error.h"
#include "tables/md_tetrab_internal.h"
#include "velmora/md_tetrab.h"

namespace {

constexpr int kFullWeight = 255;

void report_failure() {
  VELMORA_REPORT("md_tetrab_expand: error in md_tetrab_new");
}

// Work memory of one expansion, released as a whole.
class Scratch {
 public:
  Scratch() = default;
  Scratch(const Scratch &) = delete;
  Scratch &operator=(const Scratch &) = delete;
  ~Scratch() { velmora::mem_free(block_); }

  // Room for `bytes` more bytes; every request is made before the first allocate().
  size_t reserve(size_t bytes) {
    const size_t at = size_;
    size_ += (bytes + kAlign - 1) / kAlign * kAlign;
    return at;
  }
  bool allocate() {
    block_ = static_cast<uint8_t *>(velmora::mem_calloc(size_ == 0 ? 1 : size_, 1));
    return block_ != nullptr;
  }
  template <typename T>
  T *at(size_t offset) const {
    return reinterpret_cast<T *>(block_ + offset);
  }

 private:
  static constexpr size_t kAlign = alignof(std::max_align_t);
  uint8_t *block_ = nullptr;
  size_t size_ = 0;
};

// Evaluation path: each new vertex is the source's full chain (curves included) at the vertex's
// input bytes, one point per call.
bool fill_by_evaluation(MD_TETRAB *source, MD_TETRAB *target) {
  const int n = target->shape.dimin;
  const int m = target->shape.dimout;
  Scratch scratch;
  const size_t in_at = scratch.reserve(sizeof(unsigned char *) * n);
  const size_t out_at = scratch.reserve(sizeof(unsigned char *) * m);
  const size_t index_at = scratch.reserve(sizeof(int) * n);
  const size_t coords_at = scratch.reserve(n);
  if (!scratch.allocate()) return false;
  auto **in = scratch.at<unsigned char *>(in_at);
  auto **out = scratch.at<unsigned char *>(out_at);
  int *index = scratch.at<int>(index_at);
  auto *coords = scratch.at<unsigned char>(coords_at);
  for (int d = 0; d < n; ++d)
    in[d] = coords + d;
  do {
    unsigned char *vertex = md_tetrab_vertex_get(target, index, coords);
    for (int c = 0; c < m; ++c)
      out[c] = vertex + c;
    md_tetrab_interp(source, in, 1, out, 1, 1, nullptr, 0.0);
  } while (md_tetrab_scan_vertex(target, index) != 0);
  return true;
}

// The refinement path's state: the leaves (corner bytes of the current source cell, corner
// number b with bit N-1-d set for the upper index in dimension d) and one level of inner nodes
// per dimension: level d pairs the nodes of level d+1 (the leaves for d = N-1) along dimension d
// and holds 2^d nodes; level 0 is the root.
struct CellTree {
  int n;
  int m;
  const uint8_t *products;  // default product table: entry 256 * w + v
  const uint8_t *weights;   // weight of step t of k, t = 0 .. k
  uint8_t *leaves;          // 2^N * M bytes
  uint8_t *levels;          // level d at (2^d - 1) * M, (2^N - 1) * M bytes in all

  uint8_t *level(int d) const { return levels + ((size_t{1} << d) - 1) * m; }
};

void fill_leaves(const MD_TETRAB &source, const int *cell, CellTree &tree) {
  const int corners = 1 << tree.n;
  for (int b = 0; b < corners; ++b) {
    int32_t offset = 0;
    for (int d = 0; d < tree.n; ++d)
      offset += (cell[d] + ((b >> (tree.n - 1 - d)) & 1)) * source.strides[d];
    std::memcpy(tree.leaves + static_cast<size_t>(b) * tree.m, source.data + offset,
                static_cast<size_t>(tree.m));
  }
}

// Blends levels `from` down to the root for the steps t: each node's bytes become
// product[255 - w][lower child] + product[w][upper child] (8-bit sum), w the weight of t[d].
// The levels below `from` depend on steps that have not changed and are kept. Returns the root.
const uint8_t *evaluate_tree(const int *t, int from, CellTree &tree) {
  for (int d = from; d >= 0; --d) {
    const int w = tree.weights[t[d]];
    const uint8_t *lower_row = tree.products + (kFullWeight - w) * velmora::kByteValues;
    const uint8_t *upper_row = tree.products + w * velmora::kByteValues;
    const uint8_t *below = d == tree.n - 1 ? tree.leaves : tree.level(d + 1);
    uint8_t *nodes = tree.level(d);
    const int count = 1 << d;
    for (int j = 0; j < count; ++j) {
      const uint8_t *lower = below + static_cast<size_t>(2 * j) * tree.m;
      const uint8_t *upper = lower + tree.m;
      uint8_t *node = nodes + static_cast<size_t>(j) * tree.m;
      for (int c = 0; c < tree.m; ++c)
        node[c] = static_cast<uint8_t>(lower_row[lower[c]] + upper_row[upper[c]]);
    }
  }
  return tree.level(0);
}

// Refinement path with factor k: walks the source cells (vertices with no index at G-1) and
// the new vertices of each, k per dimension, k + 1 in a dimension's last cell.
bool fill_by_refinement(const MD_TETRAB &source, MD_TETRAB *target, int k) {
  const int n = source.shape.dimin;
  const int m = source.shape.dimout;
  const int last_cell = source.shape.nrgrid - 2;
  Scratch scratch;
  const size_t weights_at = scratch.reserve(static_cast<size_t>(k) + 1);
  const size_t leaves_at = scratch.reserve((size_t{1} << n) * m);
  const size_t levels_at = scratch.reserve(((size_t{1} << n) - 1) * m);
  const size_t cell_at = scratch.reserve(sizeof(int) * n);
  const size_t step_at = scratch.reserve(sizeof(int) * n);
  if (!scratch.allocate()) return false;

  auto *weights = scratch.at<uint8_t>(weights_at);
  for (int t = 0; t <= k; ++t)
    weights[t] = static_cast<uint8_t>((2 * int64_t{kFullWeight} * t + k) / (2 * int64_t{k}));
  CellTree tree{n,
                m,
                velmora::default_product_table(),
                weights,
                scratch.at<uint8_t>(leaves_at),
                scratch.at<uint8_t>(levels_at)};
  int *cell = scratch.at<int>(cell_at);
  int *step = scratch.at<int>(step_at);

  do {
    bool is_cell = true;
    for (int d = 0; d < n; ++d)
      is_cell = is_cell && cell[d] <= last_cell;
    if (!is_cell) continue;
    fill_leaves(source, cell, tree);
    for (int d = 0; d < n; ++d)
      step[d] = 0;
    // The steps advance with dimension 0 fastest, so mostly only the root is blended again.
    int changed = n - 1;
    for (;;) {
      int32_t offset = 0;
      for (int d = 0; d < n; ++d)
        offset += (k * cell[d] + step[d]) * target->strides[d];
      std::memcpy(target->data + offset, evaluate_tree(step, changed, tree),
                  static_cast<size_t>(m));
      for (changed = 0; changed < n; ++changed) {
        const int steps = cell[changed] == last_cell ? k + 1 : k;
        if (++step[changed] < steps) break;
        step[changed] = 0;
      }
      if (changed == n) break;
    }
  } while (md_tetrab_scan_vertex(&source, cell) != 0);
  return true;
}

}  // namespace

extern "C" MD_TETRAB *md_tetrab_expand(MD_TETRAB *source, int nrgrid) {
  MD_TETRAB *target = md_tetrab_new_special(source->shape.dimin, source->shape.dimout, nrgrid,
                                            velmora::kDefaultWeightLow, velmora::kDefaultWeightHigh,
                                            velmora::kDefaultGuard);
  if (target == nullptr) {
    report_failure();
    return nullptr;
  }
  const int source_cells = source->shape.nrgrid - 1;
  const int target_cells = nrgrid - 1;
  const bool filled = target_cells % source_cells == 0
                          ? fill_by_refinement(*source, target, target_cells / source_cells)
                          : fill_by_evaluation(source, target);
  if (!filled) {
    report_failure();
    return md_tetrab_kill(target);
  }
  return target;
}
