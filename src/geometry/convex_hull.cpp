// Incremental 3-D convex hull (O'Rourke, "Computational Geometry in C", chapter 4).
//
// The hull starts as a double-sided triangle of the first three non-collinear points; every
// further point marks the faces it sees (negative signed volume), deletes the edges between two
// visible faces and erects a cone of new faces on the horizon edges.
//
// Which faces a point sees is decided with the exact sign of the determinant: with rounded signs,
// or with the +-0.5 band of the integer original applied to doubles, a point can see a face and
// not its neighbour that lies in almost the same plane, the visible region splits, and the cone
// leaves faces that bound no convex body. The band keeps its two uses: the inside test, and the
// decision that all points are coplanar with the first triangle.
//
// Each face keeps the list of the points still to add that see it (its conflict list), so an
// addition starts from one visible face, finds the others by walking across edges, and only the
// points of the deleted faces are tested again, against the new cone faces: a point that saw a
// deleted face and lies outside the grown hull sees one of the cone faces.
#include "velmora/tconvexhull.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <new>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "foundation/alloc.h"
#include "foundation/error.h"
#include "foundation/vector_number.h"
#include "geometry/exact_orientation_internal.h"

namespace {

constexpr double kVolumeThreshold = 0.5;
constexpr double kCollinearEpsilon = 2.220446049250313e-16;
constexpr double kPageMargin = 72.0;  // one inch, so the listing is not drawn on the page edge

enum Axis { X = 0, Y = 1, Z = 2 };

thread_local velmora::LastError lastError;

// A face record with the construction's bookkeeping behind it: the first of the points that see
// the face (-1 for none) and the mark of the last walk that tested it. The face comes first, so
// the record is released through a pointer to its face.
struct FaceNode {
  tFaceStructure face;
  int conflicts;
  unsigned stamp;
};
static_assert(std::is_standard_layout_v<FaceNode>);

FaceNode *node_of(tFaceStructure *f) {
  return reinterpret_cast<FaceNode *>(f);
}

// Allocates one zeroed record through the library allocator; throws std::bad_alloc on failure,
// which the public entry points turn into a report and -1.
template <typename T>
T *new_record() {
  if constexpr (std::is_same_v<T, tFaceStructure>) {
    FaceNode *node = velmora::calloc_array<FaceNode>(1);
    if (node == nullptr) throw std::bad_alloc();
    node->conflicts = -1;
    return &node->face;
  } else {
    T *record = velmora::calloc_array<T>(1);
    if (record == nullptr) throw std::bad_alloc();
    return record;
  }
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

// A page coordinate as an int, clamped into the int range.
int page_coordinate(double v) {
  if (!(v > static_cast<double>(INT_MIN))) return INT_MIN;
  if (v > static_cast<double>(INT_MAX)) return INT_MAX;
  return static_cast<int>(v);
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

// The bookkeeping of one construction. The points still to add are numbered by their position
// in the order of addition; each lies in the conflict list of one face it sees (a singly linked
// list through `next`, headed by the face's FaceNode::conflicts), or in none once it is known to
// be inside. The other vectors are the working sets of the current addition.
struct TConvexHull::Conflicts {
  std::vector<tVertexStructure *> order;
  std::vector<tFaceStructure *> face;
  std::vector<int> next;
  int current = -1;
  unsigned stamp = 0;
  std::vector<tFaceStructure *> visible;
  std::vector<tFaceStructure *> cone;
  std::vector<tEdgeStructure *> horizon;
  std::vector<tEdgeStructure *> removed;
  std::vector<tVertexStructure *> touched;
  std::vector<int> orphans;

  void assign(int q, tFaceStructure *f) {
    face[q] = f;
    if (f == nullptr) return;
    next[q] = node_of(f)->conflicts;
    node_of(f)->conflicts = q;
  }
};

namespace {

bool acceptable_coordinate(double c) {
  return std::isfinite(c) && std::fabs(c) <= velmora::exact::kLargestCoordinate;
}

}  // namespace

int TConvexHull::AddPoint(double x, double y, double z) {
  if (!acceptable_coordinate(x) || !acceptable_coordinate(y) || !acceptable_coordinate(z)) {
    VELMORA_REPORT("TConvexHull::AddPoint: coordinate not finite or beyond 1e99");
    return -1;
  }
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
  try {
    const int result = Build();
    if (result == -2) VELMORA_REPORT("TConvexHull::Construct: the faces do not close into a hull");
    return result == 0 ? 0 : -1;
  } catch (const std::bad_alloc &) {
    velmora::report_no_resources(lastError, __FILE__, __LINE__, __LINE__);
    // A half-made addition leaves faces without corners; drop the faces so nothing reads them.
    ResetConstruction();
    return -1;
  }
}

// Construct without reports: 0, -1 for an empty, collinear or coplanar set, -2 (faces dropped)
// when the faces fail the consistency check. Throws std::bad_alloc when memory runs out.
int TConvexHull::Build() {
  if (vertices == nullptr) return -1;
  ResetConstruction();
  if (DoubleTriangle() != 0) return -1;
  {
    Conflicts conflicts;
    ConstructHull(conflicts);
  }
  EdgeOrderOnFaces();
  if (CheckConsistency() != 0) {
    ResetConstruction();
    return -2;
  }
  return 0;
}

// Forgets the faces and edges of an earlier construction, so that a repeated Construct builds
// the hull of the remaining vertices and of those added since.
void TConvexHull::ResetConstruction() {
  free_list(edges);
  free_list(faces);
  if (vertices == nullptr) return;
  tVertexStructure *v = vertices;
  do {
    v->coneEdge = nullptr;
    v->onHull = 0;
    v->processed = 0;
    v = v->next;
  } while (v != vertices);
}

// Points beyond +-1e99 (not finite ones included) lie outside every hull, whose corners were
// refused there.
int TConvexHull::InsideHull(double x, double y, double z) const {
  if (!acceptable_coordinate(x) || !acceptable_coordinate(y) || !acceptable_coordinate(z)) return 0;
  tVertexStructure p{};
  p.coords[X] = x;
  p.coords[Y] = y;
  p.coords[Z] = z;
  return InsideHull(&p);
}

// The first three non-collinear consecutive points in order of addition. When duplicates leave
// no such run although the points do not lie on one line, the first point, the first one apart
// from it and the first one off their line. Returns 0, or -1 when all points lie on one line.
int TConvexHull::FindFirstTriangle(tVertexStructure **pa, tVertexStructure **pb,
                                   tVertexStructure **pc) const {
  tVertexStructure *a = vertices;
  for (;;) {
    if (!Collinear(a, a->next, a->next->next)) {
      *pa = a;
      *pb = a->next;
      *pc = a->next->next;
      return 0;
    }
    if (a->next == vertices) break;
    a = a->next;
  }
  a = vertices;
  tVertexStructure *b = a->next;
  while (b != a && b->coords[X] == a->coords[X] && b->coords[Y] == a->coords[Y] &&
         b->coords[Z] == a->coords[Z])
    b = b->next;
  if (b == a) return -1;
  for (tVertexStructure *c = b->next; c != a; c = c->next) {
    if (!Collinear(a, b, c)) {
      *pa = a;
      *pb = b;
      *pc = c;
      return 0;
    }
  }
  return -1;
}

// The first vertex after c (around the list, skipping a and b) that lies off the plane of a, b, c
// beyond the +-0.5 band, or null.
tVertexStructure *TConvexHull::FirstOffPlane(tVertexStructure *a, tVertexStructure *b,
                                             tVertexStructure *c) const {
  for (tVertexStructure *d = c->next; d != c; d = d->next) {
    if (d == a || d == b) continue;
    const double vol = velmora::exact::determinant(a->coords, b->coords, c->coords, d->coords);
    if (std::fabs(vol) > kVolumeThreshold) return d;
  }
  return nullptr;
}

// A triangle as large as the points allow from the head: the vertex farthest from it and the one
// farthest from their line. Returns 0, or -1 when all points lie on one line.
int TConvexHull::FindWideTriangle(tVertexStructure **pa, tVertexStructure **pb,
                                  tVertexStructure **pc) const {
  tVertexStructure *a = vertices, *b = nullptr, *c = nullptr;
  double far = 0.0;
  for (tVertexStructure *v = a->next; v != a; v = v->next) {
    double d2 = 0.0;
    for (int k = 0; k < 3; ++k)
      d2 += (v->coords[k] - a->coords[k]) * (v->coords[k] - a->coords[k]);
    if (d2 > far) {
      far = d2;
      b = v;
    }
  }
  if (b == nullptr) return -1;
  far = 0.0;
  for (tVertexStructure *v = a->next; v != a; v = v->next) {
    if (v == b || Collinear(a, b, v)) continue;
    double u[3], w[3], n[3];
    for (int k = 0; k < 3; ++k) {
      u[k] = b->coords[k] - a->coords[k];
      w[k] = v->coords[k] - a->coords[k];
    }
    vect_cross(u, w, n);
    const double n2 = n[X] * n[X] + n[Y] * n[Y] + n[Z] * n[Z];
    if (c == nullptr || n2 > far) {
      far = n2;
      c = v;
    }
  }
  if (c == nullptr) return -1;
  *pa = a;
  *pb = b;
  *pc = c;
  return 0;
}

// The first triangle makes two faces of opposite orientation that share their edges; the first
// point after it that lies off their plane (beyond the +-0.5 band) becomes the head so that it is
// added first. The band is a determinant, so it is wide in distance when the first triangle is
// small (three neighbouring samples of a fine grid): when no point passes it, the start is
// retried from a triangle as large as the points allow before the set is called flat.
int TConvexHull::DoubleTriangle() {
  tVertexStructure *a, *b, *c;
  if (FindFirstTriangle(&a, &b, &c) != 0) return -1;
  tVertexStructure *d = FirstOffPlane(a, b, c);
  if (d == nullptr) {
    if (FindWideTriangle(&a, &b, &c) != 0) return -1;
    d = FirstOffPlane(a, b, c);
    if (d == nullptr) return -1;
  }
  a->processed = b->processed = c->processed = 1;

  tFaceStructure *f = MakeFace(a, b, c, nullptr);
  tFaceStructure *g = MakeFace(c, b, a, f);
  for (int i = 0; i < 3; ++i)
    f->edge[i]->adjFace[1] = g;
  for (int i = 0; i < 3; ++i)
    g->edge[i]->adjFace[1] = f;
  vertices = d;
  return 0;
}

// Adds the points in list order from the head. The head sees one side of the double triangle;
// the tetrahedron it makes gives every other point its first conflict face.
void TConvexHull::ConstructHull(Conflicts &c) {
  tVertexStructure *v = vertices;
  do {
    if (!v->processed) c.order.push_back(v);
    v = v->next;
  } while (v != vertices);
  const int n = static_cast<int>(c.order.size());
  c.face.assign(n, nullptr);
  c.next.assign(n, -1);
  for (tFaceStructure *f : {faces, faces->next}) {
    if (ExactVolumeSign(f, c.order[0]) < 0) c.assign(0, f);
  }

  for (int i = 0; i < n; ++i) {
    tVertexStructure *p = c.order[i];
    c.current = i;
    p->processed = 1;
    if (c.face[i] == nullptr) {  // inside the hull so far: never a corner
      unlink_and_free(vertices, p);
      continue;
    }
    AddPoint(p, c);
    CleanUp(p, c);
    if (i > 0) continue;
    for (int q = 1; q < n; ++q) {
      tFaceStructure *f = faces;
      do {
        if (ExactVolumeSign(f, c.order[q]) < 0) {
          c.assign(q, f);
          break;
        }
        f = f->next;
      } while (f != faces);
    }
  }
}

// One incremental step for a point outside the hull: marks the faces visible from p, walking
// from its conflict face across edges (the visible faces form one connected region), marks the
// edges between two visible faces removed and erects a cone face on every horizon edge.
// Returns 1 (p sees at least its conflict face).
int TConvexHull::AddPoint(tVertexStructure *p, Conflicts &c) {
  c.visible.clear();
  c.cone.clear();
  c.horizon.clear();
  c.removed.clear();
  ++c.stamp;
  tFaceStructure *start = c.face[c.current];
  start->visible = 1;
  node_of(start)->stamp = c.stamp;
  c.visible.push_back(start);
  for (std::size_t k = 0; k < c.visible.size(); ++k) {
    const tFaceStructure *f = c.visible[k];
    for (const tEdgeStructure *e : f->edge) {
      tFaceStructure *g = e->adjFace[0] == f ? e->adjFace[1] : e->adjFace[0];
      if (g == nullptr || node_of(g)->stamp == c.stamp) continue;
      node_of(g)->stamp = c.stamp;
      if (ExactVolumeSign(g, p) < 0) {
        g->visible = 1;
        c.visible.push_back(g);
      }
    }
  }
  for (const tFaceStructure *f : c.visible) {
    for (tEdgeStructure *e : f->edge) {
      if (e->removed || e->newFace != nullptr) continue;
      if (is_visible(e->adjFace[0]) && is_visible(e->adjFace[1])) {
        e->removed = 1;
        c.removed.push_back(e);
      } else {
        e->newFace = MakeConeFace(e, p);
        c.horizon.push_back(e);
        c.cone.push_back(e->newFace);
      }
    }
  }
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

// Settles one addition: only the records it touched are visited, so an addition costs what its
// visible region costs, not what the hull costs.
void TConvexHull::CleanUp(tVertexStructure *p, Conflicts &c) {
  CleanEdges(c);
  CleanFaces(c);
  CleanVertices(p, c);
}

// Horizon edges take their cone face in place of the visible one; removed edges are deleted.
void TConvexHull::CleanEdges(Conflicts &c) {
  for (tEdgeStructure *e : c.horizon) {
    if (is_visible(e->adjFace[0]))
      e->adjFace[0] = e->newFace;
    else
      e->adjFace[1] = e->newFace;
    e->newFace = nullptr;
  }
  for (tEdgeStructure *e : c.removed)
    unlink_and_free(edges, e);
}

// Deletes the visible faces. Their corners are remembered for the vertex clean-up, and the
// points that saw them move to the first cone face they see, or to none when the grown hull
// holds them.
void TConvexHull::CleanFaces(Conflicts &c) {
  c.touched.clear();
  c.orphans.clear();
  for (tFaceStructure *f : c.visible) {
    for (int q = node_of(f)->conflicts; q >= 0; q = c.next[q])
      if (q != c.current) c.orphans.push_back(q);
    for (tVertexStructure *v : f->vertex) {
      if (v->onHull) continue;
      v->onHull = 1;  // marks v as remembered
      c.touched.push_back(v);
    }
    unlink_and_free(faces, f);
  }
  for (int q : c.orphans) {
    tFaceStructure *seen = nullptr;
    for (tFaceStructure *f : c.cone) {
      if (ExactVolumeSign(f, c.order[q]) < 0) {
        seen = f;
        break;
      }
    }
    c.assign(q, seen);
  }
}

// A corner of the visible region keeps an edge exactly when it lies on the horizon, where it
// received a cone edge; the others are deleted.
void TConvexHull::CleanVertices(tVertexStructure *p, Conflicts &c) {
  for (tVertexStructure *v : c.touched) {
    v->onHull = 0;
    if (v != p && v->coneEdge == nullptr)
      unlink_and_free(vertices, v);
    else
      v->coneEdge = nullptr;
  }
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

// Sign of six times the signed volume of the tetrahedron (face, p), with +-0.5 counting as 0. The
// determinant is evaluated accurately, so the band means +-0.5 at every coordinate scale.
int TConvexHull::VolumeSign(const tFaceStructure *f, const tVertexStructure *p) const {
  const double vol = velmora::exact::determinant(f->vertex[0]->coords, f->vertex[1]->coords,
                                                 f->vertex[2]->coords, p->coords);
  if (vol > kVolumeThreshold) return 1;
  if (vol < -kVolumeThreshold) return -1;
  return 0;
}

// The exact sign of the same determinant.
int TConvexHull::ExactVolumeSign(const tFaceStructure *f, const tVertexStructure *p) const {
  return velmora::exact::orientation(f->vertex[0]->coords, f->vertex[1]->coords,
                                     f->vertex[2]->coords, p->coords);
}

int TConvexHull::Collinear(const tVertexStructure *a, const tVertexStructure *b,
                           const tVertexStructure *c) const {
  double u[3], w[3], n[3];
  for (int k = 0; k < 3; ++k) {
    u[k] = b->coords[k] - a->coords[k];
    w[k] = c->coords[k] - a->coords[k];
  }
  vect_cross(u, w, n);
  // Below the machine epsilon counts as collinear; so do points exactly on one line whose
  // rounded cross product is not small (large coordinates).
  return (std::fabs(n[X]) < kCollinearEpsilon && std::fabs(n[Y]) < kCollinearEpsilon &&
          std::fabs(n[Z]) < kCollinearEpsilon) ||
         velmora::exact::collinear(a->coords, b->coords, c->coords);
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

// Euler's formula holds, every edge joins two distinct faces that both hold it, and every face
// holds edges that know it. Returns 0, else -1.
int TConvexHull::CheckConsistency() const {
  if (faces == nullptr || edges == nullptr) return -1;
  if (CheckEuler(count_list(vertices), count_list(edges), count_list(faces)) != 0) return -1;
  const tEdgeStructure *e = edges;
  do {
    const tFaceStructure *f0 = e->adjFace[0], *f1 = e->adjFace[1];
    if (f0 == nullptr || f1 == nullptr || f0 == f1) return -1;
    for (const tFaceStructure *f : {f0, f1})
      if (f->edge[0] != e && f->edge[1] != e && f->edge[2] != e) return -1;
    e = e->next;
  } while (e != edges);
  const tFaceStructure *f = faces;
  do {
    for (const tEdgeStructure *fe : f->edge)
      if (fe->adjFace[0] != f && fe->adjFace[1] != f) return -1;
    f = f->next;
  } while (f != faces);
  return 0;
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

  // The drawing is moved by (72 - xmin, 72 - ymin); the box is that of the moved vertices.
  const double dx = kPageMargin - xmin, dy = kPageMargin - ymin;
  const int left = page_coordinate(std::floor(xmin + dx));
  const int bottom = page_coordinate(std::floor(ymin + dy));
  const int right = page_coordinate(std::ceil(xmax + dx));
  const int top = page_coordinate(std::ceil(ymax + dy));
  std::printf("%%!PS\n");
  std::printf("%%%%BoundingBox: %d %d %d %d\n", left, bottom, right, top);
  std::printf("%%%%HiResBoundingBox: %d %d %d %d\n", left, bottom, right, top);
  std::printf("0 setlinewidth\n");
  std::printf("%f %f translate\n", dx, dy);

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
