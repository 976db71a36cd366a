#include <gtest/gtest.h>

#include "cluster/tclustergroup_internal.h"

TEST(ClusterGroup, Smoke) {
  TClusterGroup *g = TClusterGroup::Create(3, 0, 100, 1, -128, 128, 1, -128, 128, 1, 100);
  ASSERT_NE(g, nullptr);
  delete g;
}
