/* Links against the installed library and interpolates one point. */
#include <stdio.h>

#include "velmora/velmora.h"

int main(void) {
  MD_TETRAD *table = md_tetrad_new(1, 1, 2, 0.0, 1.0);
  int index[1] = {0};
  double coord;
  double x = 0.25, y = -1.0;
  double *in[1] = {&x};
  double *out[1] = {&y};
  if (table == NULL) return 1;
  do {
    double *vertex = md_tetrad_vertex_get(table, index, &coord);
    *vertex = 4.0 * coord;
  } while (md_tetrad_scan_vertex(table, index) != 0);
  md_tetrad_interp(table, in, 1, out, 1, 1);
  md_tetrad_kill(table);
  printf("%g\n", y);
  return y == 1.0 ? 0 : 1;
}
