// Small meshes built in code for the adjacency, clean-up, material and normal tests, a channel
// that records what the clean-up hands it, a from-scratch reference of the point-to-face graph,
// and the hashing of built graphs for the tests that pin them.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <set>
#include <vector>

#include "kestovar/core/exception.h"
#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/edge.h"
#include "kestovar/mesh/face_graph.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"
#include "test_util.h"

namespace kestovar::test {

using Face = std::vector<int>;

// Writes `faces` into `list` (resized to their count), face i getting exactly those indices.
inline void FillFaces(CFaceList& list, const std::vector<Face>& faces) {
    list.SetSize(int(faces.size()), 3, SETSIZE_COMPACT_SLACK);
    for (size_t i = 0; i < faces.size(); ++i) {
        CFace view;
        ASSERT_TRUE(list.GetFace(unsigned(i), view));
        view.SetIndexes(faces[i].data(), unsigned(faces[i].size()));
    }
}

// The indices of face i.
inline Face FaceAt(const CFaceList& list, unsigned i) {
    int k;
    const int* idx = list.GetIndexes(i, k);
    return Face(idx, idx + k);
}

inline std::vector<Face> AllFaces(const CFaceList& list) {
    std::vector<Face> out;
    for (int i = 0; i < list.GetSize(); ++i) out.push_back(FaceAt(list, unsigned(i)));
    return out;
}

// A point list of `count` points (point i at (i, 2i, 3i)) and a face list of `faces`, with a
// geometry view over both. Owns one reference on each list.
struct TestMesh {
    Owned<C3DPointList> points = C3DPointList::Create();
    Owned<C3DFaceList> faces = C3DFaceList::Create();
    CGeomInfo* geom;

    TestMesh(int count, const std::vector<Face>& faceIndices) {
        for (int i = 0; i < count; ++i) points->Add(float(i), float(2 * i), float(3 * i));
        FillFaces(*faces, faceIndices);
        geom = new CGeomInfo(faces, points);
    }
    ~TestMesh() { delete geom; }
};

// A point written out in code.
struct XYZ {
    float x, y, z;
};

// An object holding the given points and faces, with a view over it. Channels added through
// `object->AddChannel` are seen by the view. The points come either as a list or as consecutive
// x, y, z values.
struct ObjectMesh {
    C3DGeomObject* object = nullptr;
    CGeomInfo* geom = nullptr;

    ObjectMesh(const std::vector<XYZ>& points, const std::vector<Face>& faces) {
        C3DPointList* list = C3DPointList::Create();
        for (const XYZ& p : points) list->Add(p.x, p.y, p.z);
        Build(list, faces);
    }
    ObjectMesh(const std::vector<float>& xyz, const std::vector<Face>& faces) {
        C3DPointList* list = C3DPointList::Create();
        for (size_t i = 0; i + 2 < xyz.size(); i += 3) list->Add(xyz[i], xyz[i + 1], xyz[i + 2]);
        Build(list, faces);
    }
    ~ObjectMesh() {
        delete geom;
        object->Delete();
    }
    ObjectMesh(const ObjectMesh&) = delete;
    ObjectMesh& operator=(const ObjectMesh&) = delete;

    C3DPointList* Points() const { return object->GetPointList(); }
    C3DFaceList* Faces() const { return object->GetFaceList(); }
    C3DFace View(unsigned f) const {
        C3DFace v;
        Faces()->GetFace(f, v);
        return v;
    }

private:
    // Takes over the creation reference of `points`.
    void Build(C3DPointList* points, const std::vector<Face>& faces) {
        C3DFaceList* list = C3DFaceList::Create();
        FillFaces(*list, faces);
        object = new C3DGeomObject(points, list, nullptr);
        geom = new CGeomInfo(object);
    }
};

// A regular grid of w x h quads split into triangles, points numbered row by row:
//
//   (w+1)..  ...
//   0 --- 1 --- 2 ... w
//
// Quad (x, y) with corners a = y(w+1)+x, b = a+1, c = a+w+2, d = a+w+1 gives the triangles
// (a, b, c) and (a, c, d).
inline std::vector<Face> GridTriangles(int w, int h) {
    std::vector<Face> out;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int a = y * (w + 1) + x, b = a + 1, c = a + w + 2, d = a + w + 1;
            out.push_back({a, b, c});
            out.push_back({a, c, d});
        }
    return out;
}

// Point -> the sorted set of live faces using it, computed from the faces directly.
inline std::map<int, std::set<int>> ReferencePointFaces(const CFaceList& list) {
    std::map<int, std::set<int>> out;
    for (int f = 0; f < list.GetSize(); ++f) {
        if (!list.IsFaceLive(unsigned(f))) continue;
        for (int p : FaceAt(list, unsigned(f))) out[p].insert(f);
    }
    return out;
}

// The faces of point p in the list's point-to-face graph, in record order.
inline std::vector<int> GraphFaces(const CFaceList& list, int p) {
    int n;
    const int* faces = list.GetFacesConnectedToPoint(unsigned(p), n);
    return faces ? std::vector<int>(faces, faces + n) : std::vector<int>();
}

// Every record of the point-to-face graph as a set, for comparing with another graph of the same
// faces whose records may list them in another order.
inline std::vector<std::set<int>> GraphAsSets(const CFaceList& list, int pointCount) {
    std::vector<std::set<int>> out(static_cast<size_t>(pointCount));
    for (int p = 0; p < pointCount; ++p) {
        std::vector<int> faces = GraphFaces(list, p);
        out[size_t(p)] = std::set<int>(faces.begin(), faces.end());
        EXPECT_EQ(faces.size(), out[size_t(p)].size()) << "point " << p << " lists a face twice";
    }
    return out;
}

// Adds the records of a graph in index order: their count, then for each record (its offset in
// the record buffer first, with `offsets`) its size, capacity and values.
template <class T, class INDEX>
void HashRecords(Fnv& h, const CSimpleCollection<T, INDEX>& records, bool offsets = false) {
    h.Add(records.GetSize());
    for (unsigned r = 0; r < records.GetSize(); ++r) {
        const auto* e = records.GetElement(r);
        if (offsets) {
            const uint64_t offset = records.GetOffset(r);
            h.Add(&offset, sizeof offset);
        }
        h.Add(e->GetSize());
        h.Add(e->GetCapacity());
        h.Add(e->GetData(), e->GetSize() * sizeof(T));
    }
}

// Adds the edge-to-face graph's slot count, entry count and slot-order walk: for each entry its
// slot position and edge, its face count (with `faceCounts`), then its faces.
inline void HashEdgeWalk(Fnv& h, const CEdgeToFaceGraph& graph, bool faceCounts) {
    h.Add(graph.GetHashCapacity());
    h.Add(uint32_t(graph.GetCount()));
    int pos = kHashStartPosition;
    C3DEdge key;
    const int* values;
    unsigned n;
    while (graph.GetNext(pos, key, values, n)) {
        h.Add(uint32_t(pos));
        h.Add(key.GetP1());
        h.Add(key.GetP2());
        if (faceCounts) h.Add(n);
        h.Add(values, n * sizeof(int));
    }
}

// The values of a helper-array result as a sorted vector.
inline std::vector<int> Sorted(const int* values, int count) {
    std::vector<int> out(values, values + count);
    std::sort(out.begin(), out.end());
    return out;
}

// Runs `fn`, expecting it to throw CXInvalidArgException by pointer; releases the exception.
template <class Fn>
void ExpectInvalidArg(Fn&& fn) {
    bool thrown = false;
    try {
        fn();
    } catch (CXInvalidArgException*) {
        thrown = true;
        XDeleteThreadException();
    }
    EXPECT_TRUE(thrown) << "expected CXInvalidArgException";
}

// A face-mapped channel over plain lists (a CFaceList and a C2DPointList) that records the remaps
// its Clean receives.
class RecordingChannel : public CChannel {
public:
    explicit RecordingChannel(unsigned flags = 0) : CChannel(CHANNEL_UVW, kNewChannelID, flags) {
        SetFaceList(CHANNEL_UVW, CFaceList::Create(), true);
        SetPointList(CHANNEL_UVW, C2DPointList::Create(), true);
    }
    bool Clean(const CGeomInfo*, CXArray<unsigned int>* faceRemap, CXArray<unsigned int>* pointRemap) override {
        ++cleanCalls;
        faceRemapSeen.clear();
        pointRemapSeen.clear();
        if (faceRemap) faceRemapSeen.assign(faceRemap->begin(), faceRemap->end());
        if (pointRemap) pointRemapSeen.assign(pointRemap->begin(), pointRemap->end());
        return false;
    }

    int cleanCalls = 0;
    std::vector<unsigned> faceRemapSeen;
    std::vector<unsigned> pointRemapSeen;

protected:
    CChannel* Duplicate(bool) const override { return new RecordingChannel(m_flags); }
};

}  // namespace kestovar::test
