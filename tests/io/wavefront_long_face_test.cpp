// Face lines of more corners than a face record holds (65535): the reader keeps each as the
// triangles of its ear clipping at its place, with the face's material and channels, instead of
// refusing the file.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "kestovar/io/file_io.h"
#include "kestovar/io/wavefront.h"
#include "kestovar/mesh/channel_lists.h"
#include "kestovar/mesh/channels.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/scene/scene.h"

namespace kestovar {
namespace {

struct SceneDeleter {
    void operator()(C3DScene* s) const { delete s; }
};
using ScenePtr = std::unique_ptr<C3DScene, SceneDeleter>;

ScenePtr ReadText(const std::string& text, int& result) {
    return ScenePtr(CWavefrontIo::ReadObjMemory(text.data(), text.size(), nullptr, result));
}

C3DGeomObject* OnlyObject(C3DScene& scene) {
    C3DNodePos pos = scene.GetFirstNode();
    if (!pos) return nullptr;
    C3DSceneNode* node = scene.GetNextNode(pos);
    return pos ? nullptr : node->GetGeomObject();
}

// Twice the signed area of the triangle of points a, b, c of `points`, in the z = 0 plane.
double TwiceArea(const C3DTPoint<float>* points, int a, int b, int c) {
    const C3DTPoint<float>&p = points[a], &q = points[b], &r = points[c];
    return (double(q.x) - p.x) * (double(r.y) - p.y) - (double(r.x) - p.x) * (double(q.y) - p.y);
}

TEST(WavefrontLongFaces, AFaceLongerThanARecordBecomesItsTrianglesInPlace) {
    // A star outline of 70000 corners (about half of them reflex) between two triangles, each of
    // the three faces in its own material; the face lines come before all vertices but the first
    // (forward indices; a long line before any vertex would not be taken for OBJ text); every
    // corner carries a texture coordinate equal to its point's x, y and a normal.
    const int n = 70000;
    std::mt19937 rng(17);
    std::uniform_int_distribution<int> radius(20000, 40000);  // corners about 2 units apart at least
    std::ostringstream text;
    text << "v -90000 -90000 0\nusemtl a\nf 1/1/1 2/2/1 3/3/1\nusemtl b\nf";
    for (int i = 0; i < n; ++i) text << ' ' << 4 + i << '/' << 4 + i << "/1";
    text << "\nusemtl c\nf 3/3/1 2/2/1 " << 4 + n << '/' << 4 + n << "/1\n";
    std::vector<std::pair<int, int>> xy = {{-90000, -90000}, {-89990, -90000}, {-90000, -89990}};
    for (int i = 0; i < n; ++i) {
        const double a = 2.0 * M_PI * i / n, r = radius(rng);
        xy.push_back({int(std::lround(r * std::cos(a))), int(std::lround(r * std::sin(a)))});
    }
    xy.push_back({-89990, -89990});
    for (size_t i = 1; i < xy.size(); ++i) text << "v " << xy[i].first << ' ' << xy[i].second << " 0\n";
    for (const auto& p : xy) text << "vt " << p.first << ' ' << p.second << '\n';
    text << "vn 0 0 1\n";

    int result = 0;
    ScenePtr scene = ReadText(text.str(), result);
    ASSERT_EQ(result, IO_FILE_OK);
    ASSERT_TRUE(scene);
    C3DGeomObject* object = OnlyObject(*scene);
    ASSERT_NE(object, nullptr);
    C3DFaceList* faces = object->GetFaceList();
    const C3DTPoint<float>* points = object->GetPointList()->GetPoints();
    // The star's corners run counter-clockwise with distinct positions: n - 2 triangles, between
    // the two small ones.
    ASSERT_EQ(faces->GetSize(), 1 + (n - 2) + 1);
    CUVWChannel* uvw = static_cast<CUVWChannel*>(object->GetChannelByIndex(0, CHANNEL_UVW, false));
    ASSERT_NE(uvw, nullptr);
    const unsigned first = faces->GetFaceMaterial(0), middle = faces->GetFaceMaterial(1);
    const unsigned last = faces->GetFaceMaterial(unsigned(n - 1));
    EXPECT_TRUE(first != middle && middle != last && first != last);
    double starArea = 0.0;
    for (int i = 0; i < n; ++i) {
        const auto& p = xy[size_t(3 + i)];
        const auto& q = xy[size_t(3 + (i + 1) % n)];
        starArea += double(p.first) * q.second - double(q.first) * p.second;
    }
    double area = 0.0;
    std::set<int> used;
    for (int f = 1; f <= n - 2; ++f) {
        SCOPED_TRACE(::testing::Message() << "triangle " << f);
        ASSERT_EQ(faces->GetFaceMaterial(unsigned(f)), middle);
        int count;
        const int* t = faces->GetIndexes(unsigned(f), count);
        ASSERT_EQ(count, 3);
        const double twice = TwiceArea(points, t[0], t[1], t[2]);
        ASSERT_GT(twice, 0.0);  // the polygon's own orientation: never folded over a notch
        area += twice;
        int uvCount;
        const int* uv = uvw->GetFaceList()->GetIndexes(unsigned(f), uvCount);
        ASSERT_EQ(uvCount, 3);
        for (int k = 0; k < 3; ++k) {
            used.insert(t[k]);
            const CUVWPoint& c = uvw->GetUVWPointList()->GetPoints()[uv[k]];
            ASSERT_EQ(c.u, points[t[k]].x);
            ASSERT_EQ(c.v, points[t[k]].y);
        }
    }
    EXPECT_EQ(int(used.size()), n);
    EXPECT_NEAR(area, starArea, 1e-9 * starArea);
    EXPECT_EQ(faces->GetFaceMaterial(unsigned(n - 1)), last);
    int count;
    EXPECT_EQ(faces->GetIndexes(unsigned(n - 1), count)[2], object->GetPointList()->GetSize() - 1);
}

TEST(WavefrontLongFaces, APointPassedTwiceDropsOnlyTheEarsOnIt) {
    // A square ring as one face that walks the outer square counter-clockwise, crosses to the
    // inner square, walks it clockwise and comes back the same way (a "keyhole"): the outer and
    // inner corner where it crosses appear twice. 48000 + 20000 + 2 corners on integer positions.
    const int outer = 12000, inner = 5000, offset = 3500;
    std::vector<std::pair<int, int>> xy;
    for (int i = 0; i < outer; ++i) xy.push_back({i, 0});
    for (int i = 0; i < outer; ++i) xy.push_back({outer, i});
    for (int i = 0; i < outer; ++i) xy.push_back({outer - i, outer});
    for (int i = 0; i < outer; ++i) xy.push_back({0, outer - i});
    const int innerStart = int(xy.size());
    for (int i = 0; i < inner; ++i) xy.push_back({offset, offset + i});
    for (int i = 0; i < inner; ++i) xy.push_back({offset + i, offset + inner});
    for (int i = 0; i < inner; ++i) xy.push_back({offset + inner, offset + inner - i});
    for (int i = 0; i < inner; ++i) xy.push_back({offset + inner - i, offset});
    std::ostringstream text;
    for (const auto& p : xy) text << "v " << p.first << ' ' << p.second << " 0\n";
    text << "f";
    for (int i = 0; i < innerStart; ++i) text << ' ' << i + 1;
    text << ' ' << 1;
    for (int i = innerStart; i < int(xy.size()); ++i) text << ' ' << i + 1;
    text << ' ' << innerStart + 1 << '\n';
    const int corners = int(xy.size()) + 2;

    int result = 0;
    ScenePtr scene = ReadText(text.str(), result);
    ASSERT_EQ(result, IO_FILE_OK);
    C3DGeomObject* object = OnlyObject(*scene);
    ASSERT_NE(object, nullptr);
    C3DFaceList* faces = object->GetFaceList();
    const C3DTPoint<float>* points = object->GetPointList()->GetPoints();
    ASSERT_GT(faces->GetSize(), 0);
    EXPECT_LE(faces->GetSize(), corners - 2);
    double area = 0.0;
    for (int f = 0; f < faces->GetSize(); ++f) {
        int count;
        const int* t = faces->GetIndexes(unsigned(f), count);
        ASSERT_EQ(count, 3);
        ASSERT_TRUE(t[0] != t[1] && t[1] != t[2] && t[0] != t[2]) << "triangle " << f;
        area += TwiceArea(points, t[0], t[1], t[2]) / 2.0;
    }
    EXPECT_DOUBLE_EQ(area, double(outer) * outer - double(inner) * inner);
}

TEST(WavefrontLongFaces, ALongLineCutShortKeepsTheCornersRead) {
    // Reading a face line stops at the first token of another format: a long line whose tokens
    // change format after `kept` corners gives the triangles of those corners (a convex outline:
    // kept - 2 of them), and none when fewer than 3 were read; the faces around it stay.
    const int n = 70000;
    std::ostringstream vertices;
    for (int i = 0; i < n; ++i) {
        const double a = 2.0 * M_PI * i / n;
        vertices << "v " << std::lround(100000.0 * std::cos(a)) << ' ' << std::lround(100000.0 * std::sin(a))
                 << " 0\nvt 0 0\n";
    }
    for (int kept : {40000, 2}) {
        SCOPED_TRACE(::testing::Message() << kept << " corners in the first format");
        std::ostringstream text;
        text << vertices.str() << "f 1 2 3\nf";
        for (int i = 0; i < n; ++i) {
            text << ' ' << i + 1;
            if (i < kept) text << '/' << i + 1;
        }
        text << "\nf 3 2 1\n";
        int result = 0;
        ScenePtr scene = ReadText(text.str(), result);
        ASSERT_EQ(result, IO_FILE_OK);
        C3DGeomObject* object = OnlyObject(*scene);
        ASSERT_NE(object, nullptr);
        EXPECT_EQ(object->GetFaceList()->GetSize(), 2 + (kept >= 3 ? kept - 2 : 0));
    }
}

}  // namespace
}  // namespace kestovar
