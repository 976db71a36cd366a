#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/alloc.h"
#include "geometry/tetra_volume_internal.h"
#include "velmora/tetra_volume.h"

namespace {

using namespace velmora::tetvol;

struct VolumeDeleter {
  void operator()(TETRA_VOLUME *v) const { tetra_volume_kill(v); }
};
using Volume = std::unique_ptr<TETRA_VOLUME, VolumeDeleter>;

std::string scratch(const std::string &name) {
  const char *dir = std::getenv("VELMORA_TEST_TMP");
  return std::string(dir != nullptr ? dir : ::testing::TempDir().c_str()) + "/" + name;
}

std::string slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

void add_face(TETRA_VOLUME *v, Vec3 a, Vec3 b, Vec3 c) {
  const TETRA_POINT p0 = {a.x, a.y, a.z, 0}, p1 = {b.x, b.y, b.z, 0}, p2 = {c.x, c.y, c.z, 0};
  ASSERT_EQ(tetra_volume_add_plane(v, &p0, &p1, &p2), 0);
}

const char *const kAxisLines =
    "     0   -60.0       0\n"
    "     0   -40.0       0\n"
    "     0   -20.0       0\n"
    "     0     0.0       0\n"
    "     0    20.0       0\n"
    "     0    40.0       0\n"
    "     0    60.0       0\n"
    "     0    80.0       0\n"
    "     0      0      0.0\n"
    "     0      0     20.0\n"
    "     0      0     40.0\n"
    "     0      0     60.0\n"
    "     0      0     80.0\n"
    "  -60.0      0       0\n"
    "  -40.0      0       0\n"
    "  -20.0      0       0\n"
    "    0.0      0       0\n"
    "   20.0      0       0\n"
    "   40.0      0       0\n"
    "   60.0      0       0\n";

const char *const kSceneHeader =
    "#VRML V2.0 utf8 \n"
    "Shape{geometry Box{size 100 1 1}}\n"
    "Shape{geometry Box{size 1 200 1}}\n"
    "Shape{geometry Box{size 1 1 200}}\n";

TEST(VolumeDump, EmptyVolumeWritesTheAxesOnly) {
  Volume v(tetra_volume_new0());
  const double view[3] = {0, 0, 0};
  const std::string path = scratch("tetra_dump_empty.txt");
  ASSERT_EQ(tetra_volume_dump_to_file(v.get(), view, path.c_str()), 0);
  EXPECT_EQ(slurp(path), kAxisLines);
}

TEST(VolumeDump, WritesEdgeSamplesAsABLWithDensityByVisibility) {
  // One face alone is wholly visible: ten points per edge, its end excluded.
  Volume v(tetra_volume_new0());
  add_face(v.get(), {50, 10, -20}, {60, 10, -20}, {50, 30, -20});
  const double view[3] = {0, 0, 0};
  const std::string path = scratch("tetra_dump_face.txt");
  ASSERT_EQ(tetra_volume_dump_to_file(v.get(), view, path.c_str()), 0);
  const std::string text = slurp(path);
  ASSERT_EQ(text.rfind(kAxisLines, 0), 0u);
  const std::vector<std::string> lines = lines_of(text);
  ASSERT_EQ(lines.size(), 50u);
  EXPECT_EQ(lines[20], "   10.0   -20.0    50.0");  // p0 -> p1 starts at p0, as a, b, L
  EXPECT_EQ(lines[21], "   10.0   -20.0    51.0");
  EXPECT_EQ(lines[29], "   10.0   -20.0    59.0");
  EXPECT_EQ(lines[30], "   10.0   -20.0    60.0");  // p1 -> p2
  EXPECT_EQ(lines[31], "   12.0   -20.0    59.0");
  EXPECT_EQ(lines[40], "   10.0   -20.0    50.0");  // p0 -> p2
  EXPECT_EQ(lines[49], "   28.0   -20.0    50.0");

  // Seen from (-100, 0, 0): a wholly visible front face A (10 per edge); a face B behind it whose
  // corners and edge midpoints show around A but whose centroid does not (100 per edge); a face C
  // whose first corner hides behind A: the edges from that corner are left out, the third edge
  // has both ends and its middle in view (100).
  Volume scene(tetra_volume_new0());
  add_face(scene.get(), {0, -5, -15}, {0, 5, -15}, {0, 0, 5});
  add_face(scene.get(), {10, -30, -30}, {10, 30, -30}, {10, 0, 40});
  add_face(scene.get(), {20, 0, -8}, {20, 60, 60}, {20, -60, 60});
  std::vector<TETRA_VISIBILITY> vis(3);
  tetra_volume_visibility(scene.get(), {-100, 0, 0}, vis.data());
  const int flags[3][7] = {{1, 1, 1, 1, 0, 0, 0}, {1, 1, 1, 0, 1, 1, 1}, {0, 1, 1, 0, 1, 1, 1}};
  for (int i = 0; i < 3; ++i) {
    const int got[7] = {vis[i].corner0, vis[i].corner1, vis[i].corner2, vis[i].centroid,
                        vis[i].mid01,   vis[i].mid12,   vis[i].mid02};
    for (int k = 0; k < 7; ++k)
      EXPECT_EQ(got[k], flags[i][k]) << "face " << i << " flag " << k;
  }
  const double eye[3] = {-100, 0, 0};
  ASSERT_EQ(tetra_volume_dump_to_file(scene.get(), eye, path.c_str()), 0);
  const std::vector<std::string> scene_lines = lines_of(slurp(path));
  ASSERT_EQ(scene_lines.size(), 20u + 30 + 300 + 100);
  EXPECT_EQ(scene_lines[50], "  -30.0   -30.0    10.0");   // B, p0 -> p1, t = 0
  EXPECT_EQ(scene_lines[51], "  -29.4   -30.0    10.0");   // t = 0.01
  EXPECT_EQ(scene_lines[350], "   60.0    60.0    20.0");  // C, p1 -> p2 only
  EXPECT_EQ(scene_lines[449], "  -58.8    60.0    20.0");
}

TEST(VolumeDump, FailsForMissingVolumeMemoryOrFile) {
  Volume v(tetra_volume_new0());
  add_face(v.get(), {0, 0, 0}, {1, 0, 0}, {0, 1, 0});
  const double view[3] = {0, 0, 0};
  EXPECT_EQ(tetra_volume_dump_to_file(nullptr, view, scratch("tetra_x.txt").c_str()), -1);
  EXPECT_EQ(tetra_volume_dump_to_file(v.get(), view, nullptr), -1);
  EXPECT_EQ(tetra_volume_dump_to_file(v.get(), view, scratch("tetra_no/such/dir/x.txt").c_str()),
            -1);
  velmora::test_hooks::fail_allocations_after(0);
  EXPECT_EQ(tetra_volume_dump_to_file(v.get(), view, scratch("tetra_x.txt").c_str()), -1);
  velmora::test_hooks::fail_allocations_after(-1);
  EXPECT_EQ(tetra_volume_dump_to_file(v.get(), view, "/dev/full"), -1);  // write error
}

TEST(SceneFiles, ColourFacesBySRGBOfTheirFirstCorner) {
  struct Case {
    double L, a, b;
    const char *text;
  };
  const Case cases[] = {
      {100, 0, 0, "1.000001 1.000033 0.999927"},
      {0, 0, 0, "0.000000 0.000000 0.000000"},
      {50, 80, -100, "0.533982 0.231994 1.154701"},  // above 1 stays
      {60, -90, 90, "0.000000 0.686587 0.000000"},   // negative becomes 0
  };
  for (const Case &c : cases) {
    double rgb[3];
    lab_to_srgb(c.L, c.a, c.b, rgb);
    char text[64];
    std::snprintf(text, sizeof text, "%lf %lf %lf", rgb[0], rgb[1], rgb[2]);
    EXPECT_STREQ(text, c.text) << c.L << " " << c.a << " " << c.b;
  }
}

TEST(SceneFiles, WriteExactTextWithLineFeedsOnly) {
  Volume v(tetra_volume_new0());
  add_face(v.get(), {100, 0, 0}, {50, 12.25, -7}, {50, 0, 0});
  add_face(v.get(), {0, 0, 0}, {50, -1, 2}, {50, 0, 0});
  const std::string faces = scratch("tetra_faces.wrl"), points = scratch("tetra_points.wrl");
  ASSERT_EQ(writeVRML(v.get(), faces.c_str(), points.c_str()), 1);
  const std::string corners =
      "    100.00       0.00       0.00 ,\n"
      "     50.00      12.25      -7.00 ,\n"
      "     50.00       0.00       0.00 ,\n"
      "      0.00       0.00       0.00 ,\n"
      "     50.00      -1.00       2.00 ,\n"
      "     50.00       0.00       0.00\n";
  EXPECT_EQ(slurp(faces), std::string(kSceneHeader) +
                              "Shape { appearance Appearance { material Material { } } \n"
                              "geometry IndexedFaceSet { coord Coordinate { point [ \n" +
                              corners +
                              "] } coordIndex [ \n"
                              "0 1 2 -1, \n"
                              "3 4 5 \n"
                              "] color Color{ color[\n"
                              "1.000001 1.000033 0.999927, \n"
                              "0.000000 0.000000 0.000000 \n"
                              "]}\n"
                              "colorIndex[\n0\n1\n"
                              "] colorPerVertex FALSE solid FALSE\n"
                              " } }");
  EXPECT_EQ(slurp(points),
            std::string(kSceneHeader) +
                "Shape { appearance Appearance { material Material { emissiveColor 1 1 0 } } \n"
                "geometry PointSet { coord Coordinate { point [ \n" +
                corners + "] }}}\n");

  // Without faces the lists are empty but every fixed line is there.
  Volume empty(tetra_volume_new0());
  ASSERT_EQ(writeVRML(empty.get(), faces.c_str(), points.c_str()), 1);
  EXPECT_EQ(slurp(faces), std::string(kSceneHeader) +
                              "Shape { appearance Appearance { material Material { } } \n"
                              "geometry IndexedFaceSet { coord Coordinate { point [ \n"
                              "] } coordIndex [ \n"
                              "] color Color{ color[\n"
                              "]}\n"
                              "colorIndex[\n"
                              "] colorPerVertex FALSE solid FALSE\n"
                              " } }");
  EXPECT_EQ(slurp(points), std::string(kSceneHeader) +
                               "Shape { appearance Appearance { material Material { "
                               "emissiveColor 1 1 0 } } \n"
                               "geometry PointSet { coord Coordinate { point [ \n"
                               "] }}}\n");
}

// Numbers between the opening bracket that follows `key` and the matching closing bracket, with
// the separators (",", "-1" face ends) kept as tokens.
std::vector<std::string> bracket_tokens(const std::string &text, const std::string &key) {
  std::vector<std::string> tokens;
  const size_t at = text.find(key);
  if (at == std::string::npos) return tokens;
  const size_t open = text.find('[', at);
  const size_t close = text.find(']', open);
  std::string body = text.substr(open + 1, close - open - 1);
  for (char &ch : body)
    if (ch == ',') ch = ' ';
  std::istringstream in(body);
  for (std::string t; in >> t;)
    tokens.push_back(t);
  return tokens;
}

TEST(SceneFiles, FaceSceneOfABoxParsesBackToItsFaces) {
  Volume v(tetra_volume_new0());
  const Vec3 c[8] = {{40, -10, -20}, {60, -10, -20}, {40, 15, -20}, {60, 15, -20},
                     {40, -10, 30},  {60, -10, 30},  {40, 15, 30},  {60, 15, 30}};
  const int tri[12][3] = {{0, 1, 3}, {0, 3, 2}, {4, 5, 7}, {4, 7, 6}, {0, 1, 5}, {0, 5, 4},
                          {2, 3, 7}, {2, 7, 6}, {0, 2, 6}, {0, 6, 4}, {1, 3, 7}, {1, 7, 5}};
  for (const auto &t : tri)
    add_face(v.get(), c[t[0]], c[t[1]], c[t[2]]);
  const std::string faces = scratch("tetra_box_faces.wrl"),
                    points = scratch("tetra_box_points.wrl");
  ASSERT_EQ(writeVRML(v.get(), faces.c_str(), points.c_str()), 1);
  const std::string text = slurp(faces);
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_EQ(slurp(points).find('\r'), std::string::npos);

  const std::vector<std::string> coords = bracket_tokens(text, "point [");
  ASSERT_EQ(coords.size(), 12u * 3 * 3);
  for (int f = 0; f < 12; ++f)
    for (int k = 0; k < 3; ++k) {
      const Vec3 &want = c[tri[f][k]];
      const int at = 9 * f + 3 * k;
      EXPECT_DOUBLE_EQ(std::stod(coords[at]), want.x);
      EXPECT_DOUBLE_EQ(std::stod(coords[at + 1]), want.y);
      EXPECT_DOUBLE_EQ(std::stod(coords[at + 2]), want.z);
    }

  // Face index triples separated by -1, one colour and one colour index per face.
  const std::vector<std::string> index = bracket_tokens(text, "coordIndex [");
  std::vector<std::vector<int>> polygons(1);
  for (const std::string &t : index) {
    if (t == "-1") {
      polygons.emplace_back();
    } else {
      polygons.back().push_back(std::stoi(t));
    }
  }
  ASSERT_EQ(polygons.size(), 12u);
  for (int f = 0; f < 12; ++f)
    EXPECT_EQ(polygons[f], (std::vector<int>{3 * f, 3 * f + 1, 3 * f + 2}));
  EXPECT_EQ(bracket_tokens(text, "color[").size(), 36u);
  EXPECT_EQ(bracket_tokens(text, "colorIndex[").size(), 12u);
  EXPECT_EQ(bracket_tokens(slurp(points), "point [").size(), 12u * 3 * 3);
}

TEST(SceneFiles, FailForNullArgumentsAndKeepTheFirstFileWhenTheSecondFails) {
  Volume v(tetra_volume_new0());
  add_face(v.get(), {0, 0, 0}, {1, 0, 0}, {0, 1, 0});
  const std::string faces = scratch("tetra_first.wrl");
  const std::string bad = scratch("tetra_no/such/dir/x.wrl");
  EXPECT_EQ(writeVRML(nullptr, faces.c_str(), faces.c_str()), -1);
  EXPECT_EQ(writeVRML(v.get(), nullptr, faces.c_str()), -1);
  EXPECT_EQ(writeVRML(v.get(), faces.c_str(), nullptr), -1);
  EXPECT_EQ(writeVRML(v.get(), bad.c_str(), faces.c_str()), -1);
  std::remove(faces.c_str());
  EXPECT_EQ(writeVRML(v.get(), faces.c_str(), bad.c_str()), -1);
  const std::string first = slurp(faces);
  EXPECT_EQ(first.rfind(kSceneHeader, 0), 0u);
  EXPECT_EQ(first.substr(first.size() - 4), " } }");
}

}  // namespace
