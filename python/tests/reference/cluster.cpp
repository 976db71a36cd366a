/* Reference cases of the cluster store: a group filled with AddPoint and UpdateForAddedPoints and
   queried one point at a time, as a C++ caller would. */
#include <velmora/tclustergroup.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "reference.h"

/* args: channels D, then min max step of L, a and b, the number of points n, the method (free,
   penalised or plane) and for plane its 4 values; in: n rows of Lab (3) and device values (D),
   then the queries (3 each); out per query: D device values, distance, result, IsInside. */
REFERENCE_CASE(cluster_group) {
  const int channels = reference::int_arg(args, 0);
  double grid[9];
  for (std::size_t i = 0; i < 9; ++i)
    grid[i] = reference::double_arg(args, 1 + i);
  const int n = reference::int_arg(args, 10);
  const std::string method = args.at(11);
  std::unique_ptr<TClusterGroup> group(TClusterGroup::Create(channels, grid[0], grid[1], grid[2],
                                                             grid[3], grid[4], grid[5], grid[6],
                                                             grid[7], grid[8], n));
  if (!group) throw std::runtime_error("Create failed");
  const std::size_t row = 3 + static_cast<std::size_t>(channels);
  for (int i = 0; i < n; ++i) {
    const double *r = in.data() + static_cast<std::size_t>(i) * row;
    double lab[3] = {r[0], r[1], r[2]};
    if (group->AddPoint(r + 3, lab) != 0) throw std::runtime_error("AddPoint failed");
  }
  if (group->UpdateForAddedPoints() != 0) throw std::runtime_error("update failed");
  double plane[4] = {};
  if (method == "plane")
    for (std::size_t k = 0; k < 4; ++k)
      plane[k] = reference::double_arg(args, 12 + k);
  reference::Values out;
  for (std::size_t at = static_cast<std::size_t>(n) * row; at + 3 <= in.size(); at += 3) {
    const double *lab = in.data() + at;
    double dev[TClusterGroup::kMaxDevCoord] = {};
    double dist = 0.0;
    int rc;
    if (method == "free")
      rc = group->InterpolateNPar(lab, dev, &dist);
    else if (method == "penalised")
      rc = group->InterpolateNParPenal(lab, dev, &dist);
    else
      rc = group->InterpolatePar(lab, plane, dev, &dist);
    out.insert(out.end(), dev, dev + channels);
    out.push_back(dist);
    out.push_back(rc);
    out.push_back(group->IsInside(lab));
  }
  return out;
}
