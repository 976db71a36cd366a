// Text and VRML 2.0 files of the faces of a tetrahedral volume, for inspection. Coordinates are
// read as L, a, b; the text dump writes a, b, L, the scenes x, y, z as stored.
#include <cmath>
#include <cstdio>

#include <pandix/pandix.h>

#include "foundation/alloc.h"
#include "geometry/tetra_volume_internal.h"
#include "velmora/tetra_volume.h"

namespace velmora::tetvol {
namespace {

constexpr int kVisibleEdgeSamples = 100;
constexpr int kPlainEdgeSamples = 10;

// D65 white (Y = 100) and the CIE L*a*b* constants.
constexpr double kWhiteX = 95.047;
constexpr double kWhiteZ = 108.883;
constexpr double kLabEpsilon = 0.008856;
constexpr double kLabKappaSlope = 7.787;

const char *const kSceneHeader =
    "#VRML V2.0 utf8 \n"
    "Shape{geometry Box{size 100 1 1}}\n"
    "Shape{geometry Box{size 1 200 1}}\n"
    "Shape{geometry Box{size 1 1 200}}\n";

// Closes f and answers whether every write and the close succeeded.
bool finish(FILE *f) {
  const bool written = std::ferror(f) == 0;
  return std::fclose(f) == 0 && written;
}

void write_axes(FILE *f) {
  for (int v = -60; v <= 80; v += 20)
    std::fprintf(f, "     0 %7.1lf       0\n", static_cast<double>(v));
  for (int v = 0; v <= 80; v += 20)
    std::fprintf(f, "     0      0  %7.1lf\n", static_cast<double>(v));
  for (int v = -60; v <= 60; v += 20)
    std::fprintf(f, "%7.1lf      0       0\n", static_cast<double>(v));
}

// Points along s -> e (the end excluded): many on an edge seen whole, none on an edge whose middle
// is seen but not both ends, a few on an edge whose middle is hidden.
void write_edge(FILE *f, const TETRA_POINT &s, const TETRA_POINT &e, int ca, int cb, int m) {
  const int n = m == 1 ? (ca == 1 && cb == 1 ? kVisibleEdgeSamples : 0) : kPlainEdgeSamples;
  for (int i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / n;
    std::fprintf(f, "%7.1lf %7.1lf %7.1lf\n", s.y + t * (e.y - s.y), s.z + t * (e.z - s.z),
                 s.x + t * (e.x - s.x));
  }
}

void write_corners(FILE *f, const TETRA_VOLUME *volume) {
  for (int i = 0; i < volume->nfaces; ++i) {
    const TETRA_PLANE *face = face_at(volume, i);
    const TETRA_POINT *corners[3] = {&face->p0, &face->p1, &face->p2};
    for (int k = 0; k < 3; ++k) {
      const bool last = i == volume->nfaces - 1 && k == 2;
      std::fprintf(f, last ? "%10.2f %10.2f %10.2f\n" : "%10.2f %10.2f %10.2f ,\n", corners[k]->x,
                   corners[k]->y, corners[k]->z);
    }
  }
}

double lab_inverse(double f) {
  const double f3 = f * f * f;
  return f3 > kLabEpsilon ? f3 : (f - 16.0 / 116.0) / kLabKappaSlope;
}

// sRGB transfer; negative (and undefined) results become 0, values above 1 stay.
double srgb_encode(double c) {
  const double v = c > 0.0031308 ? 1.055 * std::pow(c, 1.0 / 2.4) - 0.055 : 12.92 * c;
  return v > 0.0 ? v : 0.0;
}

}  // namespace

// CIE L*a*b* (D65) to sRGB, channels nominally in [0, 1].
void lab_to_srgb(double L, double a, double b, double rgb[3]) {
  const double fy = (L + 16.0) / 116.0;
  const double fx = fy + a / 500.0;
  const double fz = fy - b / 200.0;
  const double X = lab_inverse(fx) * kWhiteX / 100.0;
  const double Y = lab_inverse(fy);
  const double Z = lab_inverse(fz) * kWhiteZ / 100.0;
  rgb[0] = srgb_encode(3.2406 * X - 1.5372 * Y - 0.4986 * Z);
  rgb[1] = srgb_encode(-0.9689 * X + 1.8758 * Y + 0.0415 * Z);
  rgb[2] = srgb_encode(0.0557 * X - 0.2040 * Y + 1.0570 * Z);
}

namespace {

bool write_face_scene(const TETRA_VOLUME *volume, const char *path) {
  FILE *f = fopen_utf8(path, "wb");
  if (f == nullptr) return false;
  const int n = volume->nfaces;
  std::fputs(kSceneHeader, f);
  std::fputs("Shape { appearance Appearance { material Material { } } \n", f);
  std::fputs("geometry IndexedFaceSet { coord Coordinate { point [ \n", f);
  write_corners(f, volume);
  std::fputs("] } coordIndex [ \n", f);
  for (int i = 0; i < n; ++i)
    std::fprintf(f, i == n - 1 ? "%d %d %d \n" : "%d %d %d -1, \n", 3 * i, 3 * i + 1, 3 * i + 2);
  std::fputs("] ", f);
  std::fputs("color Color{ color[\n", f);
  for (int i = 0; i < n; ++i) {
    const TETRA_POINT &p0 = face_at(volume, i)->p0;
    double rgb[3];
    lab_to_srgb(p0.x, p0.y, p0.z, rgb);
    std::fprintf(f, i == n - 1 ? "%lf %lf %lf \n" : "%lf %lf %lf, \n", rgb[0], rgb[1], rgb[2]);
  }
  std::fputs("]}\n", f);
  std::fputs("colorIndex[\n", f);
  for (int i = 0; i < n; ++i)
    std::fprintf(f, "%d\n", i);
  std::fputs("] colorPerVertex FALSE solid FALSE\n", f);
  std::fputs(" } }", f);
  return finish(f);
}

bool write_point_scene(const TETRA_VOLUME *volume, const char *path) {
  FILE *f = fopen_utf8(path, "wb");
  if (f == nullptr) return false;
  std::fputs(kSceneHeader, f);
  std::fputs("Shape { appearance Appearance { material Material { emissiveColor 1 1 0 } } \n", f);
  std::fputs("geometry PointSet { coord Coordinate { point [ \n", f);
  write_corners(f, volume);
  std::fputs("] }}}\n", f);
  return finish(f);
}

}  // namespace
}  // namespace velmora::tetvol

using namespace velmora::tetvol;

extern "C" {

int tetra_volume_dump_to_file(const TETRA_VOLUME *volume, const double *viewpoint,
                              const char *path) {
  if (volume == nullptr || viewpoint == nullptr || path == nullptr) return -1;
  auto *vis = velmora::alloc_array<TETRA_VISIBILITY>(static_cast<std::size_t>(volume->nfaces));
  if (vis == nullptr) return -1;
  tetra_volume_visibility(volume, vec(viewpoint), vis);
  FILE *f = fopen_utf8(path, "w");
  if (f == nullptr) {
    velmora::mem_free(vis);
    return -1;
  }
  write_axes(f);
  for (int i = 0; i < volume->nfaces; ++i) {
    const TETRA_PLANE *face = face_at(volume, i);
    const TETRA_VISIBILITY &v = vis[i];
    write_edge(f, face->p0, face->p1, v.corner0, v.corner1, v.mid01);
    write_edge(f, face->p1, face->p2, v.corner1, v.corner2, v.mid12);
    write_edge(f, face->p0, face->p2, v.corner0, v.corner2, v.mid02);
  }
  velmora::mem_free(vis);
  return finish(f) ? 0 : -1;
}

int writeVRML(const TETRA_VOLUME *volume, const char *facePath, const char *pointPath) {
  if (volume == nullptr || facePath == nullptr || pointPath == nullptr) return -1;
  if (!write_face_scene(volume, facePath)) return -1;
  if (!write_point_scene(volume, pointPath)) return -1;
  return 1;
}

}  // extern "C"
