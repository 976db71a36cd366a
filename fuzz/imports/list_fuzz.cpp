// The ordered lists of the imported service against std::vector references: a list with a
// predicate holds its elements in the order of a stable insertion behind their equals (strict and
// non-strict predicates alike), list_pos and list_pos_range give the upper bound, a list without a
// predicate keeps insertion order. Elements are 8-byte records: a small key (many ties) and the
// insertion number, so stability is visible.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "ostrel/ostrel.h"

namespace {

struct Record {
  int32_t key;
  int32_t seq;
};
static_assert(sizeof(Record) == 8);

Record load(const void *element) {
  Record r;
  std::memcpy(&r, element, sizeof r);
  return r;
}

int after_strict(const void *a, const void *b) {
  return load(a).key > load(b).key;
}
int after_non_strict(const void *a, const void *b) {
  return load(a).key >= load(b).key;
}
int before_strict(const void *a, const void *b) {  // descending order
  return load(a).key < load(b).key;
}

bool same(LIST list, const std::vector<Record> &expected) {
  if (list_num(list) != static_cast<int>(expected.size())) return false;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const void *element = list_get_element(list, static_cast<int>(i));
    if (element == nullptr) return false;
    const Record r = load(element);
    if (r.key != expected[i].key || r.seq != expected[i].seq) return false;
  }
  return list_get_element(list, static_cast<int>(expected.size())) == nullptr &&
         list_get_element(list, -1) == nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  if (size == 0) return 0;
  const int kind = data[0] % 4;
  list_order_fn pred = kind == 0   ? after_strict
                       : kind == 1 ? after_non_strict
                       : kind == 2 ? before_strict
                                   : nullptr;
  const bool descending = kind == 2;
  const auto sorts_before = [descending](int32_t a, int32_t b) {
    return descending ? a > b : a < b;
  };
  LIST list = list_new(data[0] / 4, sizeof(Record), pred);
  FUZZ_CHECK(list != nullptr);
  std::vector<Record> expected;
  int32_t seq = 0;
  for (std::size_t at = 1; at + 1 < size; at += 2) {
    const uint8_t op = data[at];
    const int32_t key = static_cast<int8_t>(data[at + 1]) / 8;  // 32 distinct keys: many ties
    const Record probe{key, -1};
    const auto upper = [&](std::size_t first, std::size_t last_plus_one) {
      auto it =
          std::upper_bound(expected.begin() + static_cast<std::ptrdiff_t>(first),
                           expected.begin() + static_cast<std::ptrdiff_t>(last_plus_one), key,
                           [&](int32_t k, const Record &r) { return sorts_before(k, r.key); });
      return static_cast<int>(it - expected.begin());
    };
    switch (op % 4) {
      case 0:
      case 1: {  // insert
        const Record r{key, seq++};
        FUZZ_CHECK(list_insert(list, &r) == 0);
        if (pred == nullptr)
          expected.push_back(r);
        else
          expected.insert(expected.begin() + upper(0, expected.size()), r);
        break;
      }
      case 2: {  // the whole list, then the insertion position of a key
        FUZZ_CHECK(same(list, expected));
        FUZZ_CHECK(list_pos(list, &probe) == (pred == nullptr ? static_cast<int>(expected.size())
                                                              : upper(0, expected.size())));
        break;
      }
      case 3: {  // a position inside a sub-range, ordered by the list's own predicate
        if (pred == nullptr || expected.empty()) break;
        const int n = static_cast<int>(expected.size());
        const int first = (op / 4) % n;
        const int last = first + (op / 4 + key + 64) % (n - first);
        FUZZ_CHECK(list_num(list) == n);
        FUZZ_CHECK(list_pos_range(list, &probe, first, last, pred) ==
                   upper(static_cast<std::size_t>(first), static_cast<std::size_t>(last) + 1));
        break;
      }
    }
  }
  FUZZ_CHECK(same(list, expected));
  list_kill(list);
  FUZZ_CHECK(list_num(nullptr) == 0 && list_insert(nullptr, &seq) == -1);
  return 0;
}
