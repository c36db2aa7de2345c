// Helpers of the contraction-loop and quality tests: meshes built in code, a contraction-ready
// object attached to an optimiser that works on a copy, and snapshots of the working mesh.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kestovar/compare/geom_compare.h"
#include "kestovar/mesh/object.h"
#include "kestovar/optimizer/scene_optimizer.h"
#include "kestovar/simplify/ext_object.h"
#include "shape_test_util.h"
#include "test_util.h"
#include "simplify/obj_mesh_util.h"

namespace kestovar::looptest {

using objtest::ObjMesh;

// ---- meshes ----------------------------------------------------------------------------------------

inline int AddPoint(ObjMesh& m, double x, double y, double z) {
    m.xyz.push_back(float(x));
    m.xyz.push_back(float(y));
    m.xyz.push_back(float(z));
    return int(m.PointCount() - 1);
}
inline void AddTriangle(ObjMesh& m, int a, int b, int c, unsigned material = 0) {
    m.tris.insert(m.tris.end(), {a, b, c});
    m.material.push_back(material);
}

// The triangles of `corners` (three corners each), all of material 0.
inline void AddTriangles(ObjMesh& m, const std::vector<int>& corners) {
    for (size_t i = 0; i < corners.size(); i += 3) AddTriangle(m, corners[i], corners[i + 1], corners[i + 2]);
}

// The icosahedron subdivided `level` times onto the unit sphere (test::UnitIcosphere), then every
// point pushed out by a smooth bump in y and z (x stays mirror-symmetric: the sphere is symmetric
// across x = 0).
inline ObjMesh BumpySphere(int level) {
    const test::Triangles sphere = test::UnitIcosphere(level);
    ObjMesh m;
    for (size_t i = 0; i < sphere.xyz.size(); i += 3) {
        const double x = sphere.xyz[i], y = sphere.xyz[i + 1], z = sphere.xyz[i + 2];
        const double r = 1.0 + 0.15 * std::cos(3.0 * y) * std::cos(2.0 * z) + 0.05 * x * x;
        AddPoint(m, x * r, y * r, z * r);
    }
    AddTriangles(m, sphere.tris);
    return m;
}

// An open n x n grid over [0, 1]^2 with height h(x, y); two triangles per cell (test::SquareGrid).
inline ObjMesh Grid(int n, double (*height)(double, double)) {
    const test::Triangles grid = test::SquareGrid(n, 1.0, height);
    ObjMesh m;
    for (size_t i = 0; i < grid.xyz.size(); i += 3)
        AddPoint(m, grid.xyz[i], grid.xyz[i + 1], grid.xyz[i + 2]);
    AddTriangles(m, grid.tris);
    return m;
}

// ---- the engine ------------------------------------------------------------------------------------

// An optimiser and one object; the optimiser's working-copy bit is set (the initial mesh stays
// untouched) unless `inPlace`. With `withNormals` the mesh carries radial specified normals.
struct Engine {
    CSceneOptimizer optimizer;
    C3DExtObject* object = nullptr;

    explicit Engine(const ObjMesh& mesh, unsigned long long mode = 0, bool withUV = false, bool record = false,
                    bool inPlace = false, bool withNormals = false) {
        optimizer.SetFlags(SCENEOPTIMIZER_WORKING_COPY, !inPlace);
        if (record) optimizer.SetFlags(SCENEOPTIMIZER_RECORD_CONTRACTIONS, true);
        C3DPointList* points = C3DPointList::Create();
        objtest::FillPoints(mesh, *points);
        C3DFaceList* faces = C3DFaceList::Create();
        CDependentChannels* channels = CDependentChannels::Create();
        objtest::FillFacesAndChannels(mesh, *faces, *channels, withUV);
        if (withNormals) objtest::AddRadialNormals(mesh, *channels);
        object = new C3DExtObject(points, faces, channels);
        points->Delete();
        faces->Delete();
        channels->Delete();
        object->SetOptimizer(optimizer, nullptr);
        if (mode) object->SetOptimizeMode(mode, true);
    }
    ~Engine() { object->Delete(); }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    int Optimize(double ratio, unsigned flags, bool* cancelledOut = nullptr) {
        bool cancelled = true;
        int r = object->Optimize(ratio, cancelled, flags);
        if (cancelledOut) *cancelledOut = cancelled;
        return r;
    }
    CExtPointList& Points() const { return *object->GetPointList(); }
    C3DFaceList& Faces() const { return *object->GetWorkingFaceList(); }
};

// The live part of a working mesh, in index order, for exact comparisons.
struct Snapshot {
    std::vector<uint32_t> pointBits;  // x, y, z bit patterns of every point not POINT_REMOVED
    std::vector<int> pointIndex;
    std::vector<int> faces;           // corners of every live face
    std::vector<int> faceIndex;
    bool operator==(const Snapshot& o) const {
        return pointBits == o.pointBits && pointIndex == o.pointIndex && faces == o.faces && faceIndex == o.faceIndex;
    }
};

inline Snapshot Take(const Engine& e) {
    Snapshot s;
    const CExtPointList& pts = e.Points();
    for (int i = 0; i < pts.GetSize(); ++i) {
        const C3DTPoint<float>& p = *pts.GetPoint(i);
        if (p.IsFlagSet(POINT_REMOVED)) continue;
        uint32_t b[3];
        std::memcpy(b, &p.x, 4);
        std::memcpy(b + 1, &p.y, 4);
        std::memcpy(b + 2, &p.z, 4);
        s.pointBits.insert(s.pointBits.end(), b, b + 3);
        s.pointIndex.push_back(i);
    }
    const C3DFaceList& f = e.Faces();
    for (int i = 0; i < f.GetSize(); ++i) {
        if (!f.IsFaceLive(unsigned(i))) continue;
        int n;
        const int* idx = f.GetIndexes(unsigned(i), n);
        s.faces.insert(s.faces.end(), idx, idx + n);
        s.faceIndex.push_back(i);
    }
    return s;
}

inline int LiveFaces(const Engine& e) { return e.Faces().GetNumberOfFaces(unsigned(FACE_INVALID | 0x2), false); }

// Points used by at least one live face.
inline int UsedPoints(const Engine& e) {
    std::vector<char> used(size_t(e.Points().GetSize()), 0);
    const C3DFaceList& f = e.Faces();
    for (int i = 0; i < f.GetSize(); ++i) {
        if (!f.IsFaceLive(unsigned(i))) continue;
        int n;
        const int* idx = f.GetIndexes(unsigned(i), n);
        for (int k = 0; k < n; ++k) used[size_t(idx[k])] = 1;
    }
    int count = 0;
    for (char c : used) count += c;
    return count;
}

// ---- comparison ----------------------------------------------------------------------------------

using ObjectPtr = std::unique_ptr<C3DGeomObject, test::Released>;

inline ObjectPtr MakePlainObject(const std::vector<float>& xyz, const std::vector<int>& tris) {
    return ObjectPtr(CreateObjectFromArrays(xyz.data(), unsigned(xyz.size() * 4), tris.data(),
                                            unsigned(tris.size() * 4), nullptr, 0));
}

// The working mesh as a plain object (every point kept, live faces only).
inline ObjectPtr ReducedObject(const Engine& e) {
    std::vector<float> xyz;
    const CExtPointList& pts = e.Points();
    for (int i = 0; i < pts.GetSize(); ++i) {
        const C3DTPoint<float>& p = *pts.GetPoint(i);
        xyz.insert(xyz.end(), {p.x, p.y, p.z});
    }
    std::vector<int> tris;
    const C3DFaceList& f = e.Faces();
    for (int i = 0; i < f.GetSize(); ++i) {
        if (!f.IsFaceLive(unsigned(i))) continue;
        int n;
        const int* idx = f.GetIndexes(unsigned(i), n);
        tris.insert(tris.end(), idx, idx + 3);
    }
    return MakePlainObject(xyz, tris);
}

inline std::string DataPath(const char* name) { return std::string(KESTOVAR_TEST_DATA) + "/" + name; }

}  // namespace kestovar::looptest
