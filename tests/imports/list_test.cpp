#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "ostrel/ostrel.h"

namespace {

struct Record {
  int key;
  int serial;
};

int key_of(const void *element) {
  return (*static_cast<Record *const *>(element))->key;
}

int greater(const void *a, const void *b) {
  return key_of(a) > key_of(b);
}
int greater_or_equal(const void *a, const void *b) {
  return key_of(a) >= key_of(b);
}

std::vector<Record *> contents(LIST list) {
  std::vector<Record *> out;
  for (int i = 0; i < list_num(list); ++i) {
    out.push_back(*static_cast<Record **>(list_get_element(list, i)));
  }
  return out;
}

TEST(List, KeepsInsertionOrderWithoutPredicate) {
  std::vector<Record> records = {{3, 0}, {1, 1}, {2, 2}};
  LIST list = list_new(10, 8, nullptr);
  ASSERT_NE(list, nullptr);
  for (Record &r : records) {
    Record *p = &r;
    EXPECT_GE(list_insert(list, &p), 0);
  }
  const auto got = contents(list);
  ASSERT_EQ(got.size(), 3u);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(got[i], &records[i]);
  list_kill(list);
}

// Strict and non-strict predicates give the same stable order, equal keys in insertion order,
// and list_pos puts a key behind its equals.
TEST(List, OrdersStablyUnderStrictAndNonStrictPredicates) {
  for (list_order_fn pred : {&greater, &greater_or_equal}) {
    std::mt19937 rng(7);
    std::vector<Record> records(2000);
    for (int i = 0; i < 2000; ++i)
      records[i] = {static_cast<int>(rng() % 50), i};
    LIST list = list_new(0, 8, pred);
    for (int i = 0; i < 2000; ++i) {
      Record *p = &records[i];
      list_insert(list, &p);
      if (i % 333 == 0) list_get_element(list, 0);  // interleave reads with insertions
    }
    const auto got = contents(list);
    ASSERT_EQ(got.size(), 2000u);
    for (size_t i = 1; i < got.size(); ++i) {
      ASSERT_LE(got[i - 1]->key, got[i]->key);
      if (got[i - 1]->key == got[i]->key) {
        ASSERT_LT(got[i - 1]->serial, got[i]->serial);
      }
    }

    Record probe{25, -1};
    Record *key = &probe;
    const int pos = list_pos(list, &key);
    ASSERT_GT(pos, 0);
    EXPECT_EQ(got[pos - 1]->key, 25);
    if (pos < 2000) {
      EXPECT_GT(got[pos]->key, 25);
    }

    // Restricted to a range, under a possibly different predicate.
    const int first = 100, last = 900;
    const int rpos = list_pos_range(list, &key, first, last, &greater_or_equal);
    ASSERT_GE(rpos, first);
    ASSERT_LE(rpos, last + 1);
    for (int i = first; i < rpos; ++i)
      EXPECT_LE(got[i]->key, 25);
    for (int i = rpos; i <= last; ++i)
      EXPECT_GT(got[i]->key, 25);
    list_kill(list);
  }
}

TEST(List, ReportsPositionsAtTheEnds) {
  std::vector<Record> records = {{10, 0}, {20, 1}};
  LIST list = list_new(2, 8, &greater);
  for (Record &r : records) {
    Record *p = &r;
    list_insert(list, &p);
  }
  Record low{5, 0}, high{30, 0};
  Record *lp = &low, *hp = &high;
  EXPECT_EQ(list_pos(list, &lp), 0);
  EXPECT_EQ(list_pos(list, &hp), 2);
  EXPECT_EQ(list_pos_range(list, &lp, 1, 1, &greater), 1);
  EXPECT_EQ(list_pos_range(list, &hp, 0, 0, &greater), 1);
  EXPECT_EQ(list_get_element(list, 2), nullptr);
  list_kill(list);
}

TEST(List, TreatsANullHandleAsEmptyAndRefusesBadSizes) {
  EXPECT_EQ(list_num(nullptr), 0);
  list_kill(nullptr);
  EXPECT_EQ(list_new(10, 0, nullptr), nullptr);
  EXPECT_LT(list_insert(nullptr, "12345678"), 0);
}

}  // namespace
