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

using Volume =
    std::unique_ptr<TETRA_VOLUME, decltype([](TETRA_VOLUME *v) { tetra_volume_kill(v); })>;

// A volume whose faces are the consecutive triples of corners (x y z each) in xyz.
Volume faces(const std::vector<double> &xyz) {
  Volume v(tetra_volume_new0());
  for (std::size_t i = 0; i + 8 < xyz.size(); i += 9) {
    const double *c = &xyz[i];
    const TETRA_POINT p0 = {c[0], c[1], c[2], 0}, p1 = {c[3], c[4], c[5], 0},
                      p2 = {c[6], c[7], c[8], 0};
    tetra_volume_add_plane(v.get(), &p0, &p1, &p2);
  }
  return v;
}

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

std::vector<std::string> lines_of(const std::string &path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

const char *const kAxisLines =
    "     0   -60.0       0\n     0   -40.0       0\n     0   -20.0       0\n"
    "     0     0.0       0\n     0    20.0       0\n     0    40.0       0\n"
    "     0    60.0       0\n     0    80.0       0\n     0      0      0.0\n"
    "     0      0     20.0\n     0      0     40.0\n     0      0     60.0\n"
    "     0      0     80.0\n  -60.0      0       0\n  -40.0      0       0\n"
    "  -20.0      0       0\n    0.0      0       0\n   20.0      0       0\n"
    "   40.0      0       0\n   60.0      0       0\n";

const char *const kSceneHeader =
    "#VRML V2.0 utf8 \nShape{geometry Box{size 100 1 1}}\nShape{geometry Box{size 1 200 1}}\n"
    "Shape{geometry Box{size 1 1 200}}\n";

TEST(VolumeDump, WritesAxesThenEdgeSamplesAsABLWithDensityByVisibility) {
  const double eye[3] = {-100, 0, 0};
  const std::string path = scratch("tetra_dump.txt");
  // Each edge is sampled from its start, its end excluded, as a, b, L.
  // Seen from (-100, 0, 0): a wholly visible front face A (10 per edge); a face B behind it whose
  // corners and edge midpoints show around A but whose centroid does not (100 per edge); a face C
  // whose first corner hides behind A: the edges from that corner are left out, the third edge
  // has both ends and its middle in view (100).
  Volume scene = faces({0,  -5,  -15, 0,  5,  -15, 0,  0,   5,     // A
                        10, -30, -30, 10, 30, -30, 10, 0,   40,    // B
                        20, 0,   -8,  20, 60, 60,  20, -60, 60});  // C
  ASSERT_EQ(tetra_volume_dump_to_file(scene.get(), eye, path.c_str()), 0);
  EXPECT_EQ(slurp(path).rfind(kAxisLines, 0), 0u);
  const std::vector<std::string> scene_lines = lines_of(path);
  ASSERT_EQ(scene_lines.size(), 20u + 30 + 300 + 100);
  EXPECT_EQ(scene_lines[20], "   -5.0   -15.0     0.0");   // A, p0 -> p1 starts at p0
  EXPECT_EQ(scene_lines[31], "    4.5   -13.0     0.0");   // A, p1 -> p2
  EXPECT_EQ(scene_lines[51], "  -29.4   -30.0    10.0");   // B, p0 -> p1, t = 0.01
  EXPECT_EQ(scene_lines[350], "   60.0    60.0    20.0");  // C, p1 -> p2 only
  EXPECT_EQ(scene_lines[449], "  -58.8    60.0    20.0");
}

// Each face is coloured with the sRGB of its first corner read as Lab: channels above 1 are kept,
// negative ones become 0.
TEST(SceneFiles, WriteExactTextWithLineFeedsOnly) {
  Volume v = faces({100, 0,   0,    50, 12.25, -7, 50, 0, 0,    // white
                    0,   0,   0,    50, -1,    2,  50, 0, 0,    // black
                    50,  80,  -100, 50, 0,     0,  0,  0, 0,    // blue above 1
                    60,  -90, 90,   50, 0,     0,  0,  0, 0});  // negative red and blue
  const std::string face_path = scratch("tetra_faces.wrl"),
                    point_path = scratch("tetra_points.wrl");
  ASSERT_EQ(writeVRML(v.get(), face_path.c_str(), point_path.c_str()), 1);
  const std::string corners =
      "    100.00       0.00       0.00 ,\n     50.00      12.25      -7.00 ,\n"
      "     50.00       0.00       0.00 ,\n      0.00       0.00       0.00 ,\n"
      "     50.00      -1.00       2.00 ,\n     50.00       0.00       0.00 ,\n"
      "     50.00      80.00    -100.00 ,\n     50.00       0.00       0.00 ,\n"
      "      0.00       0.00       0.00 ,\n     60.00     -90.00      90.00 ,\n"
      "     50.00       0.00       0.00 ,\n      0.00       0.00       0.00\n";
  EXPECT_EQ(slurp(face_path),
            std::string(kSceneHeader) +
                "Shape { appearance Appearance { material Material { } } \n"
                "geometry IndexedFaceSet { coord Coordinate { point [ \n" +
                corners +
                "] } coordIndex [ \n0 1 2 -1, \n3 4 5 -1, \n6 7 8 -1, \n9 10 11 \n"
                "] color Color{ color[\n1.000001 1.000033 0.999927, \n"
                "0.000000 0.000000 0.000000, \n0.533982 0.231994 1.154701, \n"
                "0.000000 0.686587 0.000000 \n]}\ncolorIndex[\n0\n1\n2\n3\n"
                "] colorPerVertex FALSE solid FALSE\n } }");
  EXPECT_EQ(slurp(point_path),
            std::string(kSceneHeader) +
                "Shape { appearance Appearance { material Material { emissiveColor 1 1 0 } } \n"
                "geometry PointSet { coord Coordinate { point [ \n" +
                corners + "] }}}\n");
}

TEST(GeometryFiles, FailForNullArgumentsMissingMemoryOrUnwritableFiles) {
  Volume v = faces({0, 0, 0, 1, 0, 0, 0, 1, 0});
  const double view[3] = {0, 0, 0};
  const std::string good = scratch("tetra_first.wrl"), bad = scratch("tetra_no/such/dir/x");
  EXPECT_EQ(tetra_volume_dump_to_file(nullptr, view, good.c_str()), -1);
  for (const char *name : {static_cast<const char *>(nullptr), bad.c_str(), "/dev/full"})
    EXPECT_EQ(tetra_volume_dump_to_file(v.get(), view, name), -1);  // /dev/full: write error
  velmora::test_hooks::fail_allocations_after(0);
  EXPECT_EQ(tetra_volume_dump_to_file(v.get(), view, good.c_str()), -1);
  velmora::test_hooks::fail_allocations_after(-1);

  EXPECT_EQ(writeVRML(nullptr, good.c_str(), good.c_str()), -1);
  EXPECT_EQ(writeVRML(v.get(), nullptr, good.c_str()), -1);
  EXPECT_EQ(writeVRML(v.get(), good.c_str(), nullptr), -1);
  EXPECT_EQ(writeVRML(v.get(), bad.c_str(), good.c_str()), -1);
  // When the second file fails, the first one is complete.
  std::remove(good.c_str());
  EXPECT_EQ(writeVRML(v.get(), good.c_str(), bad.c_str()), -1);
  const std::string first = slurp(good);
  EXPECT_EQ(first.rfind(kSceneHeader, 0), 0u);
  EXPECT_EQ(first.substr(first.size() - 4), " } }");
}

}  // namespace
