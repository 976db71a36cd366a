// Incremental 3-D convex hull (O'Rourke, "Computational Geometry in C", chapter 4).
//
// The hull starts as a double-sided triangle of the first three non-collinear points; every
// further point marks the faces it sees (negative signed volume), deletes the edges between two
// visible faces and erects a cone of new faces on the horizon edges. Coordinates are doubles, but
// the coplanarity thresholds of the integer original (+-0.5 on six times the tetrahedron volume)
// are kept, and collinearity is tested against the machine epsilon.
#include "velmora/tconvexhull.h"

#include <cmath>
#include <cstdio>
#include <new>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "foundation/alloc.h"
#include "foundation/error.h"

namespace {

constexpr double kVolumeThreshold = 0.5;
constexpr double kCollinearEpsilon = 2.220446049250313e-16;
constexpr double kPageMargin = 72.0;  // one inch, so the listing is not drawn on the page edge

enum Axis { X = 0, Y = 1, Z = 2 };

thread_local velmora::LastError lastError;

// Allocates one zeroed record through the library allocator; throws std::bad_alloc on failure,
// which the public entry points turn into a report and -1.
template <typename T>
T *new_record() {
  T *record = velmora::calloc_array<T>(1);
  if (record == nullptr) throw std::bad_alloc();
  return record;
}

// Links a record in just before the head, that is at the end of the circular order; the first
// record becomes the head.
template <typename T>
void link_at_end(T *&head, T *record) {
  if (head == nullptr) {
    head = record;
    record->next = record;
    record->prev = record;
    return;
  }
  record->next = head;
  record->prev = head->prev;
  head->prev->next = record;
  head->prev = record;
}

// Unlinks and frees a record; the head moves to the successor, or becomes null with the last one.
template <typename T>
void unlink_and_free(T *&head, T *record) {
  if (head == record) head = (record->next == record) ? nullptr : record->next;
  record->next->prev = record->prev;
  record->prev->next = record->next;
  velmora::mem_free(record);
}

template <typename T>
void free_list(T *&head) {
  while (head != nullptr)
    unlink_and_free(head, head);
}

// Deletes every record the predicate selects, head first so the head is settled before the rest.
template <typename T, typename Pred>
void delete_marked(T *&head, Pred marked, T **follow = nullptr) {
  auto remove = [&](T *record) {
    if (follow != nullptr && *follow == record) *follow = record->next;
    unlink_and_free(head, record);
  };
  while (head != nullptr && marked(head))
    remove(head);
  if (head == nullptr) return;
  T *record = head->next;
  while (record != head) {
    T *next = record->next;
    if (marked(record)) remove(record);
    record = next;
  }
}

template <typename T>
int count_list(const T *head) {
  if (head == nullptr) return 0;
  int n = 0;
  const T *record = head;
  do {
    ++n;
    record = record->next;
  } while (record != head);
  return n;
}

bool is_visible(const tFaceStructure *f) {
  return f != nullptr && f->visible != 0;
}

bool joins(const tEdgeStructure *e, const tVertexStructure *a, const tVertexStructure *b) {
  return (e->endPts[0] == a && e->endPts[1] == b) || (e->endPts[0] == b && e->endPts[1] == a);
}

}  // namespace

TConvexHull::TConvexHull() : vertices(nullptr), edges(nullptr), faces(nullptr), vertexCount(0) {}

TConvexHull::~TConvexHull() {
  Release();
}

TConvexHull::TConvexHull(const TConvexHull &other) : TConvexHull() {
  CopyFrom(other);
}

TConvexHull &TConvexHull::operator=(const TConvexHull &other) {
  if (this == &other) return *this;
  TConvexHull copy(other);
  std::swap(vertices, copy.vertices);
  std::swap(edges, copy.edges);
  std::swap(faces, copy.faces);
  std::swap(vertexCount, copy.vertexCount);
  return *this;
}

void TConvexHull::Release() {
  free_list(vertices);
  free_list(edges);
  free_list(faces);
}

// Duplicates the three lists in their order and redirects every link to the new records.
void TConvexHull::CopyFrom(const TConvexHull &other) {
  std::unordered_map<const tVertexStructure *, tVertexStructure *> vmap;
  std::unordered_map<const tEdgeStructure *, tEdgeStructure *> emap;
  std::unordered_map<const tFaceStructure *, tFaceStructure *> fmap;
  vmap[nullptr] = nullptr;
  emap[nullptr] = nullptr;
  fmap[nullptr] = nullptr;
  try {
    auto copy_list = [](auto *head, auto *&target, auto &map) {
      if (head == nullptr) return;
      auto *record = head;
      do {
        using Record = std::remove_pointer_t<decltype(record)>;
        Record *copy = new_record<Record>();
        *copy = *record;
        link_at_end(target, copy);
        map[record] = copy;
        record = record->next;
      } while (record != head);
    };
    copy_list(other.vertices, vertices, vmap);
    copy_list(other.edges, edges, emap);
    copy_list(other.faces, faces, fmap);
  } catch (...) {
    Release();
    throw;
  }
  vertexCount = other.vertexCount;
  for (auto &[from, v] : vmap)
    if (v != nullptr) v->coneEdge = emap.at(from->coneEdge);
  for (auto &[from, e] : emap) {
    if (e == nullptr) continue;
    for (int i = 0; i < 2; ++i) {
      e->adjFace[i] = fmap.at(from->adjFace[i]);
      e->endPts[i] = vmap.at(from->endPts[i]);
    }
    e->newFace = fmap.at(from->newFace);
  }
  for (auto &[from, f] : fmap) {
    if (f == nullptr) continue;
    for (int i = 0; i < 3; ++i) {
      f->edge[i] = emap.at(from->edge[i]);
      f->vertex[i] = vmap.at(from->vertex[i]);
    }
  }
}

int TConvexHull::AddPoint(double x, double y, double z) {
  try {
    tVertexStructure *v = MakeNullVertex();
    v->coords[X] = x;
    v->coords[Y] = y;
    v->coords[Z] = z;
    v->index = vertexCount++;
    return 0;
  } catch (const std::bad_alloc &) {
    velmora::report_no_resources(lastError, __FILE__, __LINE__, __LINE__);
    return -1;
  }
}

int TConvexHull::Construct() {
  if (vertices == nullptr) return -1;
  ResetConstruction();
  try {
    if (DoubleTriangle() != 0) return -1;
    ConstructHull();
  } catch (const std::bad_alloc &) {
    velmora::report_no_resources(lastError, __FILE__, __LINE__, __LINE__);
    // A half-made addition leaves faces without corners; drop the faces so nothing reads them.
    ResetConstruction();
    return -1;
  }
  EdgeOrderOnFaces();
  return 0;
}

// Forgets the faces and edges of an earlier construction, so that a repeated Construct builds
// the hull of the remaining vertices and of those added since.
void TConvexHull::ResetConstruction() {
  free_list(edges);
  free_list(faces);
  tVertexStructure *v = vertices;
  do {
    v->coneEdge = nullptr;
    v->onHull = 0;
    v->processed = 0;
    v = v->next;
  } while (v != vertices);
}

int TConvexHull::InsideHull(double x, double y, double z) const {
  tVertexStructure p{};
  p.coords[X] = x;
  p.coords[Y] = y;
  p.coords[Z] = z;
  return InsideHull(&p);
}

// The first three non-collinear consecutive points make two faces of opposite orientation that
// share their edges; the first point off their plane becomes the head so that it is added first.
int TConvexHull::DoubleTriangle() {
  tVertexStructure *a = vertices;
  while (Collinear(a, a->next, a->next->next)) {
    if (a->next == vertices) return -1;
    a = a->next;
  }
  tVertexStructure *b = a->next;
  tVertexStructure *c = b->next;
  a->processed = b->processed = c->processed = 1;

  tFaceStructure *f = MakeFace(a, b, c, nullptr);
  tFaceStructure *g = MakeFace(c, b, a, f);
  for (int i = 0; i < 3; ++i)
    f->edge[i]->adjFace[1] = g;
  for (int i = 0; i < 3; ++i)
    g->edge[i]->adjFace[1] = f;

  tVertexStructure *d = c->next;
  while (VolumeSign(f, d) == 0) {
    d = d->next;
    if (d == a) return -1;
  }
  vertices = d;
  return 0;
}

void TConvexHull::ConstructHull() {
  tVertexStructure *v = vertices;
  do {
    tVertexStructure *vnext = v->next;
    if (!v->processed) {
      v->processed = 1;
      AddPoint(v);
      CleanUp(&vnext);
    }
    v = vnext;
  } while (v != vertices);
}

// One incremental step: marks the faces visible from p and erects cone faces on the horizon.
// Returns 0 when p lies inside the current hull (nothing visible), else 1.
int TConvexHull::AddPoint(tVertexStructure *p) {
  bool anyVisible = false;
  tFaceStructure *f = faces;
  do {
    if (VolumeSign(f, p) < 0) {
      f->visible = 1;
      anyVisible = true;
    }
    f = f->next;
  } while (f != faces);
  if (!anyVisible) {
    p->onHull = 0;
    return 0;
  }

  // New cone edges are linked at the end of the list and are walked too; they touch no visible
  // face, so they are left alone.
  tEdgeStructure *e = edges;
  do {
    tEdgeStructure *next = e->next;
    const bool visible0 = is_visible(e->adjFace[0]);
    const bool visible1 = is_visible(e->adjFace[1]);
    if (visible0 && visible1)
      e->removed = 1;
    else if (visible0 || visible1)
      e->newFace = MakeConeFace(e, p);
    e = next;
  } while (e != edges);
  return 1;
}

tFaceStructure *TConvexHull::MakeConeFace(tEdgeStructure *e, tVertexStructure *p) {
  tEdgeStructure *newEdge[2];
  for (int i = 0; i < 2; ++i) {
    newEdge[i] = e->endPts[i]->coneEdge;
    if (newEdge[i] == nullptr) {
      newEdge[i] = MakeNullEdge();
      newEdge[i]->endPts[0] = e->endPts[i];
      newEdge[i]->endPts[1] = p;
      e->endPts[i]->coneEdge = newEdge[i];
    }
  }
  tFaceStructure *f = MakeNullFace();
  f->edge[0] = e;
  f->edge[1] = newEdge[0];
  f->edge[2] = newEdge[1];
  MakeCcw(f, e, p);
  for (tEdgeStructure *ne : newEdge) {
    for (tFaceStructure *&slot : ne->adjFace) {
      if (slot == nullptr) {
        slot = f;
        break;
      }
    }
  }
  return f;
}

// Orients the cone face f on edge e like the visible face it replaces, so that the new face's
// corners run the same way around e.
void TConvexHull::MakeCcw(tFaceStructure *f, tEdgeStructure *e, tVertexStructure *p) {
  tFaceStructure *fv = is_visible(e->adjFace[0]) ? e->adjFace[0] : e->adjFace[1];
  int i = 0;
  while (i < 2 && fv->vertex[i] != e->endPts[0])
    ++i;
  if (fv->vertex[(i + 1) % 3] != e->endPts[1]) {
    f->vertex[0] = e->endPts[1];
    f->vertex[1] = e->endPts[0];
  } else {
    f->vertex[0] = e->endPts[0];
    f->vertex[1] = e->endPts[1];
    std::swap(f->edge[1], f->edge[2]);
  }
  f->vertex[2] = p;
}

tFaceStructure *TConvexHull::MakeFace(tVertexStructure *v0, tVertexStructure *v1,
                                      tVertexStructure *v2, tFaceStructure *fold) {
  tEdgeStructure *e[3];
  if (fold == nullptr) {
    for (tEdgeStructure *&edge : e)
      edge = MakeNullEdge();
  } else {
    e[0] = fold->edge[2];
    e[1] = fold->edge[1];
    e[2] = fold->edge[0];
  }
  tVertexStructure *corner[3] = {v0, v1, v2};
  tFaceStructure *f = MakeNullFace();
  for (int i = 0; i < 3; ++i) {
    e[i]->endPts[0] = corner[i];
    e[i]->endPts[1] = corner[(i + 1) % 3];
    f->edge[i] = e[i];
    f->vertex[i] = corner[i];
    e[i]->adjFace[0] = f;
  }
  return f;
}

tVertexStructure *TConvexHull::MakeNullVertex() {
  auto *v = new_record<tVertexStructure>();
  link_at_end(vertices, v);
  return v;
}

tEdgeStructure *TConvexHull::MakeNullEdge() {
  auto *e = new_record<tEdgeStructure>();
  link_at_end(edges, e);
  return e;
}

tFaceStructure *TConvexHull::MakeNullFace() {
  auto *f = new_record<tFaceStructure>();
  link_at_end(faces, f);
  return f;
}

void TConvexHull::CleanUp(tVertexStructure **pvnext) {
  CleanEdges();
  CleanFaces();
  CleanVertices(pvnext);
}

void TConvexHull::CleanEdges() {
  tEdgeStructure *e = edges;
  do {
    if (e->newFace != nullptr) {
      if (is_visible(e->adjFace[0]))
        e->adjFace[0] = e->newFace;
      else
        e->adjFace[1] = e->newFace;
      e->newFace = nullptr;
    }
    e = e->next;
  } while (e != edges);
  delete_marked(edges, [](const tEdgeStructure *r) { return r->removed != 0; });
}

void TConvexHull::CleanFaces() {
  delete_marked(faces, [](const tFaceStructure *r) { return r->visible != 0; });
}

void TConvexHull::CleanVertices(tVertexStructure **pvnext) {
  tEdgeStructure *e = edges;
  do {
    e->endPts[0]->onHull = e->endPts[1]->onHull = 1;
    e = e->next;
  } while (e != edges);
  delete_marked(
      vertices, [](const tVertexStructure *r) { return r->processed && !r->onHull; }, pvnext);
  tVertexStructure *v = vertices;
  do {
    v->coneEdge = nullptr;
    v->onHull = 0;
    v = v->next;
  } while (v != vertices);
}

// Puts edge i of every face between its corners i and i+1.
void TConvexHull::EdgeOrderOnFaces() {
  if (faces == nullptr) return;
  tFaceStructure *f = faces;
  do {
    for (int i = 0; i < 3; ++i) {
      tVertexStructure *a = f->vertex[i];
      tVertexStructure *b = f->vertex[(i + 1) % 3];
      if (joins(f->edge[i], a, b)) continue;
      for (int j = 0; j < 3; ++j) {
        if (joins(f->edge[j], a, b)) {
          std::swap(f->edge[i], f->edge[j]);
          break;
        }
      }
    }
    f = f->next;
  } while (f != faces);
}

// Sign of six times the signed volume of the tetrahedron (face, p), with +-0.5 counting as 0.
int TConvexHull::VolumeSign(const tFaceStructure *f, const tVertexStructure *p) const {
  double a[3], b[3], c[3];
  for (int k = 0; k < 3; ++k) {
    a[k] = f->vertex[0]->coords[k] - p->coords[k];
    b[k] = f->vertex[1]->coords[k] - p->coords[k];
    c[k] = f->vertex[2]->coords[k] - p->coords[k];
  }
  const double vol = a[X] * (b[Y] * c[Z] - b[Z] * c[Y]) + a[Y] * (b[Z] * c[X] - b[X] * c[Z]) +
                     a[Z] * (b[X] * c[Y] - b[Y] * c[X]);
  if (vol > kVolumeThreshold) return 1;
  if (vol < -kVolumeThreshold) return -1;
  return 0;
}

int TConvexHull::Collinear(const tVertexStructure *a, const tVertexStructure *b,
                           const tVertexStructure *c) const {
  double u[3], w[3];
  for (int k = 0; k < 3; ++k) {
    u[k] = b->coords[k] - a->coords[k];
    w[k] = c->coords[k] - a->coords[k];
  }
  return std::fabs(u[Y] * w[Z] - w[Y] * u[Z]) < kCollinearEpsilon &&
         std::fabs(w[X] * u[Z] - u[X] * w[Z]) < kCollinearEpsilon &&
         std::fabs(u[X] * w[Y] - w[X] * u[Y]) < kCollinearEpsilon;
}

// A hull without faces contains nothing.
int TConvexHull::InsideHull(const tVertexStructure *p) const {
  if (faces == nullptr) return 0;
  const tFaceStructure *f = faces;
  do {
    if (VolumeSign(f, p) < 0) return 0;
    f = f->next;
  } while (f != faces);
  return 1;
}

int TConvexHull::CheckEuler(int V, int E, int F) const {
  return (V - E + F == 2 && F == 2 * V - 4 && 2 * E == 3 * F) ? 0 : -1;
}

void TConvexHull::SubVec(const double a[3], const double b[3], double c[3]) const {
  c[X] = a[X] - b[X];
  c[Y] = a[Y] - b[Y];
}

void TConvexHull::Print() const {
  double xmin = 0.0, xmax = 0.0, ymin = 0.0, ymax = 0.0;
  int processedCount = 0;
  if (vertices != nullptr) {
    xmin = xmax = vertices->coords[X];
    ymin = ymax = vertices->coords[Y];
    const tVertexStructure *v = vertices;
    do {
      if (v->coords[X] > xmax)
        xmax = v->coords[X];
      else if (v->coords[X] < xmin)
        xmin = v->coords[X];
      if (v->coords[Y] > ymax)
        ymax = v->coords[Y];
      else if (v->coords[Y] < ymin)
        ymin = v->coords[Y];
      if (v->processed) ++processedCount;
      v = v->next;
    } while (v != vertices);
  }

  const int left = static_cast<int>(std::floor(xmin));
  const int bottom = static_cast<int>(std::floor(ymin));
  const int right = static_cast<int>(std::ceil(xmax));
  const int top = static_cast<int>(std::ceil(ymax));
  std::printf("%%!PS\n");
  std::printf("%%%%BoundingBox: %d %d %d %d\n", left, bottom, right, top);
  std::printf("%%%%HiResBoundingBox: %d %d %d %d\n", left, bottom, right, top);
  std::printf("0 setlinewidth\n");
  std::printf("%f %f translate\n", kPageMargin - xmin, kPageMargin - ymin);

  std::printf("\n%%%% Vertices:\tV = %d\n", processedCount);
  std::printf("%%%% index:\tx\ty\tz\n");
  if (vertices != nullptr) {
    const tVertexStructure *v = vertices;
    do {
      std::printf("%%%% %5d:\t%4.3f\t%4.3f\t%4.3f\n", v->index, v->coords[X], v->coords[Y],
                  v->coords[Z]);
      v = v->next;
    } while (v != vertices);
  }

  std::printf("\n%%%% Faces:\tF = %d\n", count_list(faces));
  std::printf("%%%% Visible faces only: \n");
  if (faces != nullptr) {
    const tFaceStructure *f = faces;
    do {
      double a[3], b[3];
      SubVec(f->vertex[1]->coords, f->vertex[0]->coords, a);
      SubVec(f->vertex[2]->coords, f->vertex[1]->coords, b);
      if (a[X] * b[Y] - a[Y] * b[X] >= 0) {
        std::printf("%%%% vnums:  %d  %d  %d\n", f->vertex[0]->index, f->vertex[1]->index,
                    f->vertex[2]->index);
        std::printf("newpath\n");
        std::printf("%4.3f\t%4.3f\tmoveto\n", f->vertex[0]->coords[X], f->vertex[0]->coords[Y]);
        std::printf("%4.3f\t%4.3f\tlineto\n", f->vertex[1]->coords[X], f->vertex[1]->coords[Y]);
        std::printf("%4.3f\t%4.3f\tlineto\n", f->vertex[2]->coords[X], f->vertex[2]->coords[Y]);
        std::printf("closepath stroke\n\n");
      }
      f = f->next;
    } while (f != faces);
  }

  std::printf("%%%% List of all faces: \n");
  std::printf("%%%%\tv0\tv1\tv2\t(vertex indices)\n");
  if (faces != nullptr) {
    const tFaceStructure *f = faces;
    do {
      std::printf("%%%%\t%d\t%d\t%d\n", f->vertex[0]->index, f->vertex[1]->index,
                  f->vertex[2]->index);
      f = f->next;
    } while (f != faces);
  }

  std::printf("\n%%%% Edges:\tE = %d\n", count_list(edges));
  std::printf("\nshowpage\n\n");
  std::fflush(stdout);
}
