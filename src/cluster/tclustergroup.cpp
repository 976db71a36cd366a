// The cluster store: creation, adding points, the L-range table and ownership of both lists.
//
// Points are snapped to a regular Lab grid and kept in a list sorted by L node index and then by
// a node index, so that the points of one L node index (an L slice) form one run of the list and
// are ordered by a inside it. The L-range table records where each run starts; the searches walk
// the runs outward from the query.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "cluster/tclustergroup_internal.h"
#include "foundation/alloc.h"
#include "foundation/error.h"

namespace velmora::cluster {

int point_order(const void *a, const void *b) {
  const clg_pt_t *p = record<clg_pt_t>(a);
  const clg_pt_t *q = record<clg_pt_t>(b);
  if (p->node[0] != q->node[0]) return p->node[0] > q->node[0] ? 1 : 0;
  return p->node[1] >= q->node[1] ? 1 : 0;
}

int a_order(const void *a, const void *b) {
  return record<clg_pt_t>(a)->node[1] > record<clg_pt_t>(b)->node[1] ? 1 : 0;
}

int lrange_order(const void *a, const void *b) {
  return record<clg_lrange_t>(a)->lNode > record<clg_lrange_t>(b)->lNode ? 1 : 0;
}

}  // namespace velmora::cluster

namespace {

using velmora::cluster::nearest;
using velmora::cluster::record;

constexpr const char *kTooManyDevCoord =
    "Sorry we restricted the number of device coordinates to 3";
constexpr const char *kBadGrid = "The Lab grid needs 1 to 32767 nodes per axis";

// Frees every record of a list and the list itself; a null list is skipped.
template <typename T>
void kill_with_records(LIST &list) {
  if (list == nullptr) return;
  const int n = list_num(list);
  for (int i = 0; i < n; ++i) {
    void *element = list_get_element(list, i);
    if (element != nullptr) velmora::mem_free(record<T>(element));
  }
  list_kill(list);
  list = nullptr;
}

// A new list holding copies of every record of source, in source's order; null when memory runs
// out (nothing is left allocated).
template <typename T>
LIST copy_list(LIST source, int hint, list_order_fn order) {
  LIST copy = list_new(hint, sizeof(T *), order);
  if (copy == nullptr) return nullptr;
  const int n = list_num(source);
  for (int i = 0; i < n; ++i) {
    const void *element = list_get_element(source, i);
    T *rec = element != nullptr ? velmora::alloc_array<T>(1) : nullptr;
    if (rec == nullptr) {
      kill_with_records<T>(copy);
      return nullptr;
    }
    *rec = *record<T>(element);
    if (list_insert(copy, &rec) < 0) {
      velmora::mem_free(rec);
      kill_with_records<T>(copy);
      return nullptr;
    }
  }
  // Reading an element brings the list into order now, so that later readers on several
  // threads find nothing left to do.
  if (n > 0 && list_get_element(copy, 0) == nullptr) kill_with_records<T>(copy);
  return copy;
}

// Lays out the sorted point list for the searches: slices from the L-range table's runs, the Lab
// of every point's node as the searches expand it, and the a and b ranges per slice and block.
// Null when memory runs out or the list cannot be read.
clg_index_t *build_index(LIST points, const float *step, const float *rangeMin) {
  try {
    auto index = std::make_unique<clg_index_t>();
    const int n = list_num(points);
    index->points.reserve(static_cast<std::size_t>(n));
    for (int pos = 0; pos < n; ++pos) {
      const void *element = list_get_element(points, pos);
      if (element == nullptr) return nullptr;
      const clg_pt_t *pt = record<clg_pt_t>(element);
      clg_index_t::Point p;
      for (int i = 0; i < 3; ++i) {
        p.node[i] = pt->node[i];
        p.lab[i] = static_cast<float>(static_cast<float>(pt->node[i]) * step[i]) + rangeMin[i];
      }
      p.record = pt;
      if (pos == 0 || pt->node[0] != index->points.back().node[0]) {
        if (!index->slices.empty()) index->slices.back().last = pos - 1;
        clg_index_t::Slice slice{};
        slice.first = pos;
        slice.lNode = pt->node[0];
        slice.l = p.lab[0];
        slice.box = {pt->node[1], pt->node[1], pt->node[2], pt->node[2]};
        index->slices.push_back(slice);
      }
      clg_index_t::Box &box = index->slices.back().box;
      box.minA = std::min(box.minA, pt->node[1]);
      box.maxA = std::max(box.maxA, pt->node[1]);
      box.minB = std::min(box.minB, pt->node[2]);
      box.maxB = std::max(box.maxB, pt->node[2]);
      index->points.push_back(p);
    }
    if (!index->slices.empty()) index->slices.back().last = n - 1;
    for (std::size_t s = 0; s < index->slices.size(); ++s) {
      const clg_index_t::Box &box = index->slices[s].box;
      if (s % clg_index_t::kBlock == 0) {
        index->blocks.push_back(box);
        continue;
      }
      clg_index_t::Box &block = index->blocks.back();
      block.minA = std::min(block.minA, box.minA);
      block.maxA = std::max(block.maxA, box.maxA);
      block.minB = std::min(block.minB, box.minB);
      block.maxB = std::max(block.maxB, box.maxB);
    }
    velmora::cluster::build_cells(*index, step);
    return index.release();
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

}  // namespace

TClusterGroup::TClusterGroup()
    : nrOfDevCoord(0),
      nrOfNodes{0, 0, 0},
      rangeMax{0, 0, 0},
      rangeMin{0, 0, 0},
      seenMax{0, 0, 0},
      seenMin{0, 0, 0},
      step{0, 0, 0},
      points(nullptr),
      lRange(nullptr),
      lRangeValid(0),
      index(nullptr) {}

TClusterGroup *TClusterGroup::Create(int nrOfDevCoord, double minL, double maxL, double stepL,
                                     double minA, double maxA, double stepA, double minB,
                                     double maxB, double stepB, int listSize) {
  if (nrOfDevCoord > kMaxDevCoord) {
    VELMORA_REPORT(kTooManyDevCoord);
    return nullptr;
  }
  const double mins[3] = {minL, minA, minB};
  const double maxs[3] = {maxL, maxA, maxB};
  const double steps[3] = {stepL, stepA, stepB};
  float lo[3], hi[3], st[3];
  std::int16_t nodes[3];
  for (int i = 0; i < 3; ++i) {
    lo[i] = static_cast<float>(mins[i]);
    hi[i] = static_cast<float>(maxs[i]);
    st[i] = static_cast<float>(steps[i]);
    // The node count must fit the 16-bit count and the unsigned 16-bit node indices; a count
    // that does not would wrap and put every later query far from its data.
    const float quotient = (hi[i] - lo[i]) / st[i];
    const double count = static_cast<double>(quotient) + 1.0;
    if (!std::isfinite(count) || count < 0.5 || count >= kMaxNodes + 0.5) {
      VELMORA_REPORT(kBadGrid);
      return nullptr;
    }
    nodes[i] = static_cast<std::int16_t>(nearest(count));
  }

  TClusterGroup *group = new (std::nothrow) TClusterGroup();
  if (group == nullptr) return nullptr;
  group->nrOfDevCoord = static_cast<std::int16_t>(nrOfDevCoord);
  for (int i = 0; i < 3; ++i) {
    group->rangeMin[i] = lo[i];
    group->rangeMax[i] = hi[i];
    group->step[i] = st[i];
    group->seenMax[i] = lo[i];
    group->seenMin[i] = hi[i];
    group->nrOfNodes[i] = nodes[i];
  }
  group->points = list_new(listSize, sizeof(clg_pt_t *), velmora::cluster::point_order);
  if (group->points == nullptr) {
    delete group;
    return nullptr;
  }
  return group;
}

TClusterGroup::~TClusterGroup() {
  ReleaseLists();
}

void TClusterGroup::ReleaseLists() {
  kill_with_records<clg_pt_t>(points);
  kill_with_records<clg_lrange_t>(lRange);
  delete index;
  index = nullptr;
}

TClusterGroup &TClusterGroup::operator=(const TClusterGroup &other) {
  if (this != &other) CopyFrom(other);
  return *this;
}

void TClusterGroup::CopyFrom(const TClusterGroup &other) {
  LIST newPoints =
      copy_list<clg_pt_t>(other.points, list_num(other.points), velmora::cluster::point_order);
  if (newPoints == nullptr) throw std::bad_alloc();
  LIST newLRange = nullptr;
  if (other.lRange != nullptr) {
    newLRange =
        copy_list<clg_lrange_t>(other.lRange, other.nrOfNodes[0], velmora::cluster::lrange_order);
    if (newLRange == nullptr) {
      kill_with_records<clg_pt_t>(newPoints);
      throw std::bad_alloc();
    }
  }
  clg_index_t *newIndex = nullptr;
  if (other.lRangeValid == 1) {
    newIndex = build_index(newPoints, other.step, other.rangeMin);
    if (newIndex == nullptr) {
      kill_with_records<clg_pt_t>(newPoints);
      kill_with_records<clg_lrange_t>(newLRange);
      throw std::bad_alloc();
    }
  }
  ReleaseLists();
  nrOfDevCoord = other.nrOfDevCoord;
  for (int i = 0; i < 3; ++i) {
    nrOfNodes[i] = other.nrOfNodes[i];
    rangeMax[i] = other.rangeMax[i];
    rangeMin[i] = other.rangeMin[i];
    seenMax[i] = other.seenMax[i];
    seenMin[i] = other.seenMin[i];
    step[i] = other.step[i];
  }
  points = newPoints;
  lRange = newLRange;
  index = newIndex;
  lRangeValid = other.lRangeValid;
}

int TClusterGroup::AddPoint(const double *dev, double *lab) {
  if (std::isnan(lab[0]) || std::isnan(lab[1]) || std::isnan(lab[2])) return -1;
  for (int i = 0; i < 3; ++i) {
    const double lo = rangeMin[i];
    const double hi = rangeMax[i];
    if (lab[i] < lo) {
      lab[i] = lo;
    } else if (lab[i] > hi) {
      lab[i] = hi;
    }
  }
  if (DoAddPoint(dev, lab) != 0) return -1;
  // The extent grows only once the point is stored, so a failed addition leaves it unchanged.
  for (int i = 0; i < 3; ++i) {
    if (seenMin[i] > lab[i]) seenMin[i] = static_cast<float>(lab[i]);
    if (lab[i] > seenMax[i]) seenMax[i] = static_cast<float>(lab[i]);
  }
  return 0;
}

int TClusterGroup::DoAddPoint(const double *dev, const double *lab) {
  clg_pt_t *pt = velmora::calloc_array<clg_pt_t>(1);
  if (pt == nullptr) return -1;
  for (int i = 0; i < 3; ++i) {
    // Maps by (nodes - 1) / (max - min); the expansion back to Lab uses the step.
    const float span = rangeMax[i] - rangeMin[i];
    int node = 0;
    if (span != 0.0f) {
      node = nearest((lab[i] - rangeMin[i]) * (nrOfNodes[i] - 1) / static_cast<double>(span));
    }
    if (node < 0) node = 0;
    if (node > nrOfNodes[i] - 1) node = nrOfNodes[i] - 1;
    pt->node[i] = static_cast<std::uint16_t>(node);
  }
  for (int j = 0; j < nrOfDevCoord; ++j)
    pt->dev[j] = static_cast<float>(dev[j]);
  if (list_insert(points, &pt) < 0) {
    velmora::mem_free(pt);
    return -1;
  }
  lRangeValid = 0;
  return 0;
}

int TClusterGroup::UpdateForAddedPoints() {
  return FillLRange();
}

int TClusterGroup::FillLRange() {
  if (lRangeValid == 1) return 0;
  kill_with_records<clg_lrange_t>(lRange);
  delete index;
  index = nullptr;
  lRange = list_new(nrOfNodes[0], sizeof(clg_lrange_t *), velmora::cluster::lrange_order);
  if (lRange == nullptr) return -1;
  const int n = list_num(points);
  int previous = -1;
  for (int pos = 0; pos < n; ++pos) {
    const void *element = list_get_element(points, pos);
    if (element == nullptr) {
      kill_with_records<clg_lrange_t>(lRange);
      return -1;
    }
    const int lNode = record<clg_pt_t>(element)->node[0];
    if (lNode == previous) continue;
    previous = lNode;
    clg_lrange_t *range = velmora::alloc_array<clg_lrange_t>(1);
    if (range == nullptr) {
      kill_with_records<clg_lrange_t>(lRange);
      return -1;
    }
    range->lNode = static_cast<std::uint16_t>(lNode);
    range->firstPos = pos;
    if (list_insert(lRange, &range) < 0) {
      velmora::mem_free(range);
      kill_with_records<clg_lrange_t>(lRange);
      return -1;
    }
  }
  // Bring the table into order now: the searches only read it, possibly on several threads.
  if (n > 0 && list_get_element(lRange, 0) == nullptr) {
    kill_with_records<clg_lrange_t>(lRange);
    return -1;
  }
  index = build_index(points, step, rangeMin);
  if (index == nullptr) {
    kill_with_records<clg_lrange_t>(lRange);
    return -1;
  }
  lRangeValid = 1;
  return 0;
}

int TClusterGroup::GetNrOfDevCoord() const {
  return nrOfDevCoord;
}
