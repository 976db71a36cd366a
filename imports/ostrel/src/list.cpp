// Ordered lists of fixed-size elements.
//
// Elements live contiguously. With an order predicate, insertions are appended to an unsorted
// tail and merged into the sorted head before the next read: the tail is stable-sorted and then
// merged, so n insertions followed by reads cost O(n log n) and equal elements keep their
// insertion order. Only the strict part of the caller's predicate is used (see ostrel.h).
#include <algorithm>
#include <cstring>
#include <new>
#include <numeric>
#include <vector>

#include "ostrel/ostrel.h"

struct ostrel_list {
  int elem_size = 0;
  list_order_fn pred = nullptr;
  std::vector<unsigned char> bytes;
  int count = 0;
  int sorted_count = 0;  // elements [0, sorted_count) are in order
};

namespace {

// a sorts before b under the strict part of pred.
bool sorts_before(list_order_fn pred, const void *a, const void *b) {
  return pred(b, a) != 0 && pred(a, b) == 0;
}

unsigned char *element_at(ostrel_list *list, int index) {
  return list->bytes.data() + static_cast<size_t>(index) * static_cast<size_t>(list->elem_size);
}

// Sorts the unsorted tail and merges it behind the sorted head, keeping equal elements in
// insertion order (head elements were inserted before tail elements).
void settle(ostrel_list *list) {
  if (list->pred == nullptr || list->sorted_count == list->count) return;
  const size_t size = static_cast<size_t>(list->elem_size);
  std::vector<int> order(static_cast<size_t>(list->count));
  std::iota(order.begin(), order.end(), 0);
  auto before = [list](int a, int b) {
    return sorts_before(list->pred, element_at(list, a), element_at(list, b));
  };
  auto tail = order.begin() + list->sorted_count;
  std::stable_sort(tail, order.end(), before);
  std::inplace_merge(order.begin(), tail, order.end(), before);

  std::vector<unsigned char> merged(list->bytes.size());
  for (size_t i = 0; i < order.size(); ++i) {
    std::memcpy(merged.data() + i * size, element_at(list, order[i]), size);
  }
  list->bytes.swap(merged);
  list->sorted_count = list->count;
}

// First position in [first, last+1) whose element sorts after key: the key goes behind its equals.
int upper_position(ostrel_list *list, const void *key, int first, int last, list_order_fn pred) {
  int lo = first;
  int hi = last + 1;
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    if (sorts_before(pred, key, element_at(list, mid))) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return lo;
}

}  // namespace

extern "C" LIST list_new(int size_hint, int elem_size, list_order_fn pred) {
  if (elem_size < 1) return nullptr;
  try {
    auto *list = new ostrel_list;
    list->elem_size = elem_size;
    list->pred = pred;
    if (size_hint > 0) {
      list->bytes.reserve(static_cast<size_t>(size_hint) * static_cast<size_t>(elem_size));
    }
    return list;
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

extern "C" int list_insert(LIST list, const void *elem) {
  if (list == nullptr || elem == nullptr) return -1;
  try {
    const auto *src = static_cast<const unsigned char *>(elem);
    list->bytes.insert(list->bytes.end(), src, src + list->elem_size);
  } catch (const std::bad_alloc &) {
    return -1;
  }
  ++list->count;
  if (list->pred == nullptr) list->sorted_count = list->count;
  return 0;
}

extern "C" int list_num(LIST list) {
  return list != nullptr ? list->count : 0;
}

extern "C" void *list_get_element(LIST list, int index) {
  if (list == nullptr || index < 0 || index >= list->count) return nullptr;
  try {
    settle(list);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  return element_at(list, index);
}

extern "C" int list_pos(LIST list, const void *key) {
  if (list == nullptr) return 0;
  if (list->pred == nullptr) return list->count;
  try {
    settle(list);
  } catch (const std::bad_alloc &) {
    return list->count;
  }
  return upper_position(list, key, 0, list->count - 1, list->pred);
}

extern "C" int list_pos_range(LIST list, const void *key, int first, int last, list_order_fn pred) {
  if (list == nullptr) return first;
  first = std::max(first, 0);
  last = std::min(last, list->count - 1);
  if (pred == nullptr || last < first) return std::max(first, last + 1);
  try {
    settle(list);
  } catch (const std::bad_alloc &) {
    return last + 1;
  }
  return upper_position(list, key, first, last, pred);
}

extern "C" void list_kill(LIST list) {
  delete list;
}
