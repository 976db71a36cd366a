// Ordered insertion into the imported lists: n inserts under a non-strict predicate followed by
// reads of every element, beside std::multiset (a balanced tree) holding the same keys.
#include <benchmark/benchmark.h>

#include <random>
#include <set>
#include <vector>

#include "ostrel/ostrel.h"
#include "support/ratio_reporter.h"

namespace {

struct Record {
  int key;
};

int greater_or_equal(const void *a, const void *b) {
  return (*static_cast<Record *const *>(a))->key >= (*static_cast<Record *const *>(b))->key;
}

std::vector<Record> make_records(int n) {
  std::mt19937 rng(5);
  std::vector<Record> records(static_cast<size_t>(n));
  for (Record &r : records)
    r.key = static_cast<int>(rng() % 1000);
  return records;
}

void run_list(benchmark::State &state) {
  const int n = static_cast<int>(state.range(0));
  std::vector<Record> records = make_records(n);
  for (auto _ : state) {
    LIST list = list_new(n, 8, &greater_or_equal);
    for (Record &r : records) {
      Record *p = &r;
      list_insert(list, &p);
    }
    long sum = 0;
    for (int i = 0; i < list_num(list); ++i) {
      sum += (*static_cast<Record **>(list_get_element(list, i)))->key;
    }
    benchmark::DoNotOptimize(sum);
    list_kill(list);
  }
  state.SetItemsProcessed(state.iterations() * n);
}

void run_multiset(benchmark::State &state) {
  const int n = static_cast<int>(state.range(0));
  std::vector<Record> records = make_records(n);
  auto less = [](const Record *a, const Record *b) { return a->key < b->key; };
  for (auto _ : state) {
    std::multiset<Record *, decltype(less)> set(less);
    for (Record &r : records)
      set.insert(&r);
    long sum = 0;
    for (const Record *r : set)
      sum += r->key;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * n);
}

}  // namespace

BENCHMARK(run_list)->Name("ordered_insert_100k/ostrel_list")->Arg(100000);
BENCHMARK(run_multiset)->Name("ordered_insert_100k/std_multiset")->Arg(100000);

int main(int argc, char **argv) {
  return velmora::bench::run_with_ratios(argc, argv, "ostrel_list");
}
