/* Reference cases of the tables: the grid filled through the vertex walk and interpolated by
   md_tetrad_interp / md_tetrab_interp, as a C++ caller would. */
#include <velmora/md_tetrab.h>
#include <velmora/md_tetrad.h>

#include <stdexcept>

#include "reference.h"

/* args: inputs outputs grid lo hi; in: the grid values in vertex-walk order (index 0 fastest,
   M per vertex), then the points (N per point); out: M per point. */
REFERENCE_CASE(md_tetrad_interp) {
  const int n = reference::int_arg(args, 0), m = reference::int_arg(args, 1);
  const int g = reference::int_arg(args, 2);
  MD_TETRAD *t =
      md_tetrad_new(n, m, g, reference::double_arg(args, 3), reference::double_arg(args, 4));
  if (t == nullptr) throw std::runtime_error("md_tetrad_new failed");
  std::size_t at = 0;
  std::vector<int> index(static_cast<std::size_t>(n), 0);
  std::vector<double> coords(static_cast<std::size_t>(n));
  do {
    double *v = md_tetrad_vertex_get(t, index.data(), coords.data());
    for (int c = 0; c < m; ++c)
      v[c] = in.at(at++);
  } while (md_tetrad_scan_vertex(t, index.data()) != 0);
  const int count = static_cast<int>((in.size() - at) / static_cast<std::size_t>(n));
  reference::Values out(static_cast<std::size_t>(count) * static_cast<std::size_t>(m));
  std::vector<double *> ins(static_cast<std::size_t>(n)), outs(static_cast<std::size_t>(m));
  for (int d = 0; d < n; ++d)
    ins[static_cast<std::size_t>(d)] = const_cast<double *>(in.data() + at + d);
  for (int c = 0; c < m; ++c)
    outs[static_cast<std::size_t>(c)] = out.data() + c;
  md_tetrad_interp(t, ins.data(), n, outs.data(), m, count);
  md_tetrad_kill(t);
  return out;
}

/* args: inputs outputs grid; in: the grid bytes in vertex-walk order, then the input bytes (N per
   point), all as doubles; out: M bytes per point as doubles. */
REFERENCE_CASE(md_tetrab_interp) {
  const int n = reference::int_arg(args, 0), m = reference::int_arg(args, 1);
  MD_TETRAB *t = md_tetrab_new(n, m, reference::int_arg(args, 2));
  if (t == nullptr) throw std::runtime_error("md_tetrab_new failed");
  std::size_t at = 0;
  std::vector<int> index(static_cast<std::size_t>(n), 0);
  std::vector<unsigned char> coords(static_cast<std::size_t>(n));
  do {
    unsigned char *v = md_tetrab_vertex_get(t, index.data(), coords.data());
    for (int c = 0; c < m; ++c)
      v[c] = static_cast<unsigned char>(in.at(at++));
  } while (md_tetrab_scan_vertex(t, index.data()) != 0);
  std::vector<unsigned char> bytes(in.begin() + static_cast<std::ptrdiff_t>(at), in.end());
  const int count = static_cast<int>(bytes.size() / static_cast<std::size_t>(n));
  std::vector<unsigned char> result(static_cast<std::size_t>(count) * static_cast<std::size_t>(m));
  std::vector<unsigned char *> ins(static_cast<std::size_t>(n)), outs(static_cast<std::size_t>(m));
  for (int d = 0; d < n; ++d)
    ins[static_cast<std::size_t>(d)] = bytes.data() + d;
  for (int c = 0; c < m; ++c)
    outs[static_cast<std::size_t>(c)] = result.data() + c;
  md_tetrab_interp(t, ins.data(), n, outs.data(), m, count, nullptr, 0.0);
  md_tetrab_kill(t);
  return reference::Values(result.begin(), result.end());
}
