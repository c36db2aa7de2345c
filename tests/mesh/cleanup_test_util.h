// Objects built in code for the weld, triangulation and tagger tests, a face-mapped channel whose
// values are 2D points, to check that channel faces follow the geometry, and the grid weld that
// the tolerance-0 weld must match.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/mesh/weld.h"
#include "simplify/obj_mesh_util.h"
#include "test_util.h"

namespace kestovar::test {

using Poly = std::vector<int>;
using P3 = std::array<float, 3>;

// A face-mapped channel of 2D values (like texture coordinates).
class PlainChannel : public CChannel {
public:
    explicit PlainChannel(unsigned int id = kNewChannelID) : CChannel(CHANNEL_UVW, id) {
        SetPointList(CHANNEL_UVW, C2DPointList::Create(), true);
        SetFaceList(CHANNEL_UVW, CFaceList::Create(), true);
    }

protected:
    CChannel* Duplicate(bool) const override { return new PlainChannel; }
};

inline void WriteFaces(CFaceList& list, const std::vector<Poly>& faces) {
    list.SetSize(int(faces.size()), 3, SETSIZE_COMPACT_SLACK);
    for (size_t i = 0; i < faces.size(); ++i) {
        CFace view;
        list.GetFace(unsigned(i), view);
        view.SetIndexes(faces[i].data(), unsigned(faces[i].size()));
    }
}

inline std::vector<Poly> ReadFaces(const CFaceList& list) {
    std::vector<Poly> out;
    for (int i = 0; i < list.GetSize(); ++i) {
        int k = 0;
        const int* idx = list.GetIndexes(unsigned(i), k);
        out.emplace_back(idx, idx + k);
    }
    return out;
}

inline void AddPoints(C3DPointList& list, const std::vector<P3>& points) {
    for (const P3& p : points) list.Add(p[0], p[1], p[2]);
}

// A polymesh of the given points and faces (the caller releases it with Delete()).
inline C3DObject* MakeObject(const std::vector<P3>& points, const std::vector<Poly>& faces) {
    C3DPointList* pl = C3DPointList::Create();
    AddPoints(*pl, points);
    C3DFaceList* fl = C3DFaceList::Create();
    WriteFaces(*fl, faces);
    return new C3DObject(pl, fl, nullptr);
}

// Adds a PlainChannel whose faces are the geometric faces with every index + `offset` and whose
// point v + offset holds (v, -v). Returns the channel.
inline PlainChannel* AddOffsetChannel(C3DObject& object, int offset) {
    PlainChannel* c = new PlainChannel;
    C2DPointList* pl = static_cast<C2DPointList*>(c->GetPointList());
    int n = object.GetPointNbr();
    for (int v = 0; v < n + offset; ++v) pl->Add(float(v - offset), float(offset - v));
    std::vector<Poly> faces = ReadFaces(*object.GetFaceList());
    for (Poly& f : faces)
        for (int& v : f) v += offset;
    WriteFaces(*c->GetFaceList(), faces);
    object.AddChannel(c);
    return c;
}

// The unit cube: points 0..7 at the corners (bit 0 x, bit 1 y, bit 2 z), six outward quadrangles.
//
//     6-----7
//    /|    /|
//   4-----5 |
//   | 2---|-3
//   |/    |/
//   0-----1
inline std::vector<P3> CubePoints(float dx = 0.0f) {
    std::vector<P3> p;
    for (int i = 0; i < 8; ++i) p.push_back({float(i & 1) + dx, float((i >> 1) & 1), float((i >> 2) & 1)});
    return p;
}
inline std::vector<Poly> CubeFaces(int base = 0) {
    std::vector<Poly> f = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4}, {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
    for (Poly& q : f)
        for (int& v : q) v += base;
    return f;
}

// Flag words of every kind, for the tests that hand a face list's flags through an operation.
inline constexpr unsigned kFlagKinds[6] = {0u, FACE_SELECTED, FACE_HIDDEN | FACE_SELECTED, FACE_FROZEN | FACE_SORT_HIGH,
                                           FACE_INVALID, FACE_SELECTED | FACE_ALL_SELECTED | FACE_SORT_LOW};

// Appends the points and triangles of the bunny (data/bunny00.obj, beside tests/; all its faces
// are triangles).
inline void LoadBunny(std::vector<P3>& points, std::vector<Poly>& faces) {
    std::string root = KESTOVAR_TEST_DATA;
    root.resize(root.size() - std::strlen("tests/data"));
    objtest::ObjMesh mesh;
    ASSERT_TRUE(objtest::LoadObj(root + "data/bunny00.obj", mesh));
    for (size_t i = 0; i < mesh.xyz.size(); i += 3) points.push_back({mesh.xyz[i], mesh.xyz[i + 1], mesh.xyz[i + 2]});
    for (size_t i = 0; i < mesh.tris.size(); i += 3) faces.push_back({mesh.tris[i], mesh.tris[i + 1], mesh.tris[i + 2]});
}

// Directed edge counts of the live faces: every manifold edge of a consistently oriented surface
// appears once in each direction.
inline std::map<std::pair<int, int>, int> DirectedEdges(const CFaceList& list) {
    std::map<std::pair<int, int>, int> e;
    for (int i = 0; i < list.GetSize(); ++i) {
        if (!list.IsFaceLive(unsigned(i))) continue;
        int k = 0;
        const int* idx = list.GetIndexes(unsigned(i), k);
        for (int j = 0; j < k; ++j) ++e[{idx[j], idx[(j + 1) % k]}];
    }
    return e;
}

inline bool IsConsistentlyOriented(const CFaceList& list) {
    auto e = DirectedEdges(list);
    for (const auto& [edge, count] : e)
        if (count != 1 || e.count({edge.second, edge.first}) == 0) return false;
    return true;
}

// Reference for the weld at tolerance 0: the grid weld written out over the public proximity
// queries (every point of the 27 cells around a representative; a point moves to a nearer later
// representative). Representative of every point.
inline std::vector<unsigned> GridWeld(const std::vector<P3>& points) {
    C3DPointList list;
    AddPoints(list, points);
    const int n = int(points.size());
    std::vector<unsigned> rep(size_t(n), REMAP_REMOVED);
    WeldProximityMap* map = list.InitWeldMap(0.0, false);
    auto dist2 = [&](int a, int b) {
        const float dx = points[a][0] - points[b][0], dy = points[a][1] - points[b][1], dz = points[a][2] - points[b][2];
        return double(dx) * dx + double(dy) * dy + double(dz) * dz;
    };
    for (int p = 0; p < n; ++p) {
        if (rep[p] != REMAP_REMOVED) continue;
        rep[p] = unsigned(p);
        int count = 0;
        const int* near = list.Get3DProximityPoints(p, map, count);
        for (int k = 0; k < count; ++k) {
            const int q = near[k];
            if (rep[q] != REMAP_REMOVED && dist2(int(rep[q]), p) <= dist2(q, p)) continue;
            rep[q] = unsigned(p);
        }
    }
    C3DPointList::DeleteWeldMap(map);
    return rep;
}

// A tolerance-0 weld case: point i of the given points is the first corner of face i, whose two
// other corners are anchors at (1000, 1000, 1000) and (-1000, -1000, -1000), away from every
// point. Holds the object to weld and the grid weld's representative of every point to check the
// weld against.
struct AnchoredWeldCase {
    std::vector<P3> all;        // the points, then the two anchors
    std::vector<unsigned> rep;  // GridWeld(all)
    C3DObject* object = nullptr;

    explicit AnchoredWeldCase(const std::vector<P3>& points) : all(points) {
        const int a = int(points.size());
        all.push_back({1000.0f, 1000.0f, 1000.0f});
        all.push_back({-1000.0f, -1000.0f, -1000.0f});
        rep = GridWeld(all);
        std::vector<Poly> faces;
        for (int i = 0; i < a; ++i) faces.push_back({i, a, a + 1});
        object = MakeObject(all, faces);
    }
    ~AnchoredWeldCase() { object->Delete(); }
    AnchoredWeldCase(const AnchoredWeldCase&) = delete;
    AnchoredWeldCase& operator=(const AnchoredWeldCase&) = delete;
};

// Welds `points` at tolerance 0 as an AnchoredWeldCase and checks the result against GridWeld:
// the weld reports a change exactly when some point merged, every face's first corner holds its
// representative's coordinate bits, two faces share their first corner exactly when their points
// share a representative, and one point is left per representative besides the anchors.
struct WeldOutcome {
    int left;            // points left, anchors included
    int distinctMerges;  // points merged into a representative at other coordinates
};

inline WeldOutcome ExpectGridWeld(const std::vector<P3>& points) {
    const AnchoredWeldCase weld(points);
    const std::vector<unsigned>& rep = weld.rep;
    C3DObject* obj = weld.object;
    const int a = int(points.size());
    bool anyMerge = false;
    for (int i = 0; i < a; ++i) anyMerge = anyMerge || rep[i] != unsigned(i);
    EXPECT_EQ(obj->Weld3DPoints(0.0, false, 0, 0), anyMerge);
    const std::vector<Poly> welded = ReadFaces(*obj->GetFaceList());
    EXPECT_EQ(welded.size(), size_t(a));
    WeldOutcome out{obj->GetPointNbr(), 0};
    std::map<unsigned, int> cornerOfRep;
    std::map<int, unsigned> repOfCorner;
    for (int i = 0; i < a && i < int(welded.size()); ++i) {
        const int corner = welded[size_t(i)][0];
        EXPECT_EQ(std::memcmp(obj->GetPointList()->GetAt(corner).ValPtr(), points[rep[i]].data(), sizeof(P3)), 0)
            << "point " << i << " took the wrong representative";
        EXPECT_EQ(cornerOfRep.emplace(rep[i], corner).first->second, corner) << "point " << i << " not merged";
        EXPECT_EQ(repOfCorner.emplace(corner, rep[i]).first->second, rep[i]) << "point " << i << " merged";
        if (std::memcmp(points[size_t(i)].data(), points[rep[i]].data(), sizeof(P3)) != 0) ++out.distinctMerges;
    }
    EXPECT_EQ(out.left, int(cornerOfRep.size()) + 2);
    return out;
}

}  // namespace kestovar::test
