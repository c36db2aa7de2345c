// Fuzz target: the mesh operations a host runs on geometry it read, one after the other on small
// meshes built from the bytes: welding, triangulation, consistent orientation, coplanar merging,
// separating faces that meet at a point, smoothed and specified normals, isolated parts, sub-objects
// and concatenation, clean-up, and last the closest-face search against measuring every face.
// Coordinates come from a coarse grid (coincident, collinear and
// coplanar points are common), finer positions, or the values geometry code gets wrong: NaN,
// infinities, huge, tiny and negative zero. The mesh goes in as OBJ text with texture coordinates
// and normals, so that every operation carries channels along. After each operation every face of
// every object (the parts and sub-objects too) must name points of its lists, geometric and in
// every channel; nothing may crash, hang, leak or read out of bounds.
//
// Layout: operations (one bit each, in the order above), parameters (tolerance and angle in bits
// 0-2, smoothing mode in bits 3-4, the weld's tolerance relative or absolute in bit 5), point
// count, then 3 bytes per point, then faces (a header byte: corner count in bits 0-2 plus 45 with
// bit 4, a material switch with bit 3 to the material of bits 5-7; then one byte per corner)
// until the bytes run out.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "kestovar/core/exception.h"
#include "kestovar/core/thread_registry.h"
#include "kestovar/mesh/face_grid.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/normal_channel.h"
#include "mesh_bytes.h"
#include "reduce_road.h"

using namespace kestovar;

namespace {

[[noreturn]] void Fail(const char* operation, const std::string& fault) {
    std::fprintf(stderr, "after %s: %s\n", operation, fault.c_str());
    __builtin_trap();
}

void CheckOrFail(const char* operation, const C3DGeomObject* object) {
    const std::string fault = road::CheckObject(object);
    if (!fault.empty()) Fail(operation, fault);
}

// The closest-face search of the mesh's face grid: each point of the mesh, as it is and moved off,
// finds the face that measuring every face finds (the lowest index among equals) at the same
// distance, bit for bit. Checked while every coordinate is finite and below 1e15 in magnitude,
// where no squared distance overflows.
void CheckClosestFaces(C3DObject& mesh) {
    C3DFaceList* faces = mesh.GetFaceList();
    C3DPointList* points = mesh.GetPointList();
    if (!faces || !points || faces->GetSize() == 0) return;
    const int n = points->GetSize();
    const C3DTPoint<float>* pts = points->GetPoints();
    for (int i = 0; i < n; ++i)
        if (!(std::fabs(pts[i].x) < 1e15f && std::fabs(pts[i].y) < 1e15f && std::fabs(pts[i].z) < 1e15f))
            return;
    CGeomInfo geom(&mesh);
    const C3DFaceGridMap* map = faces->GetFaceGridMap(&geom);
    if (!map) return;
    for (int i = 0; i < n && i < 64; ++i) {
        for (const double shift : {0.0, 0.37}) {
            const double p[3] = {pts[i].x + shift, pts[i].y - 0.5 * shift, pts[i].z + 0.25 * shift};
            double d;
            const int f = map->GetClosestFace(p, d);
            int want = -1;
            double best = HUGE_VAL;
            for (int g = 0; g < faces->GetSize(); ++g) {
                const double e = map->GetFaceSquaredDistance(p, unsigned(g));
                if (e < best) best = e, want = g;
            }
            if (f != want || (want >= 0 && d != std::sqrt(best)))
                Fail("GetClosestFace", "face " + std::to_string(f) + " at " + std::to_string(d) +
                                           ", every face: " + std::to_string(want) + " at " +
                                           std::to_string(std::sqrt(best)));
        }
    }
}

// Runs the operations selected by `ops` on one polymesh.
void Operate(C3DObject& mesh, uint8_t ops, uint8_t params) {
    static const double kTolerances[8] = {0.0, 1e-6, 0.001, 0.01, 0.05, 0.2, 1.0, 1e9};
    static const double kAngles[8] = {0.0, 1e-6, 0.02, 0.2, 0.5236, 1.5708, 3.1416, 10.0};
    const double tolerance = kTolerances[params & 7], angle = kAngles[params & 7];
    const auto mode = _NormalSmoothMode(1 + ((params >> 3) & 3));
    if (ops & 0x01) {
        mesh.Weld3DPoints(tolerance, (params & 0x20) != 0, CHANNEL_ALL, 0);
        CheckOrFail("Weld3DPoints", &mesh);
    }
    if (ops & 0x02) {
        mesh.Triangulate(CHANNEL_ALL, _FACE_PROPERTIES(0), true);
        CheckOrFail("Triangulate", &mesh);
    }
    if (ops & 0x04) {
        mesh.UnifyNormals();
        CheckOrFail("UnifyNormals", &mesh);
    }
    if (ops & 0x08) {
        mesh.MergeCoplanarFaces(angle, CHANNEL_ALL);
        CheckOrFail("MergeCoplanarFaces", &mesh);
    }
    if (ops & 0x10) {
        mesh.DisconnectBorderFaces();
        CheckOrFail("DisconnectBorderFaces", &mesh);
    }
    if (ops & 0x20) {
        CGeomInfo geom(&mesh);
        mesh.SetSmoothMode(mode);
        CPointNormalChannel* smooth = new CPointNormalChannel;
        smooth->InitNormals(&geom, float(angle));
        const std::string fault =
            road::CheckCorners(*smooth->GetFaceList(), smooth->GetPointList()->GetSize(), "smoothed normals");
        smooth->Delete();
        if (!fault.empty()) Fail("InitNormals", fault);
        if (CChannel* given = mesh.GetChannels() ? mesh.GetChannels()->GetSpecNormalChannel() : nullptr) {
            auto* corners = static_cast<CSpecNormalChannel*>(given);
            corners->GenerateNormals(&geom, GENERATE_NORMALS_FILL_FACES | GENERATE_NORMALS_MISSING |
                                                ((params & 0x40) ? GENERATE_NORMALS_FLAT : GENERATE_NORMALS_SHARE),
                                     angle, mode);
            corners->InitNormalBreakFlag(&geom, angle, true, mode);
            CheckOrFail("GenerateNormals", &mesh);
        }
    }
    if (ops & 0x40) {
        CXArray<C3DGeomObject*> parts;
        mesh.ExplodeIntoIsolatedParts(parts);
        for (int i = 0; i < parts.GetSize(); ++i) {
            CheckOrFail("ExplodeIntoIsolatedParts", parts[i]);
            parts[i]->Delete();
        }
    }
    if (ops & 0x80) {
        const int faces = mesh.GetFaceList() ? mesh.GetFaceList()->GetSize() : 0;
        const int some[3] = {0, faces / 2, faces - 1};
        C3DObject* part = mesh.SubObject(some, faces > 0 ? 3u : 0u);
        CheckOrFail("SubObject", part);
        C3DObject* quads = mesh.SubObject(3, SUBOBJECT_MORE);
        CheckOrFail("SubObject (polygons)", quads);
        if (part) {
            C4x4TMatrix<float> mirror;
            mirror.SetIdentity();
            mirror(0, 0) = -1.0f;
            mesh.Concatenate(*part, &mirror, 0xFFFFFFFFu);
            CheckOrFail("Concatenate", &mesh);
            part->Delete();
        }
        if (quads) quads->Delete();
        mesh.Clean();
        CheckOrFail("Clean", &mesh);
    }
    CheckClosestFaces(mesh);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3 || size > 4096) return 0;
    static const bool oneThread = (OMPSetMaxThreadCount(1), true);
    (void)oneThread;
    const uint8_t ops = data[0], params = data[1];
    const unsigned points = 3 + data[2] % 61;
    size_t at = 3;
    if (size < at + 3 * points) return 0;
    std::string text = "vt 0 0\nvt 1 0\nvt 0 1\nvn 0 0 1\nvn 1 0 0\nvn nan 0 0\n";
    for (unsigned i = 0; i < points; ++i, at += 3)
        text += "v " + fuzz_mesh_bytes::Coordinate(data[at], true) + ' ' + fuzz_mesh_bytes::Coordinate(data[at + 1], true) +
                ' ' + fuzz_mesh_bytes::Coordinate(data[at + 2], true) + '\n';
    fuzz_mesh_bytes::AppendFaces(text, data, at, size, [&](uint8_t c) {
        return std::to_string(1 + c % points) + '/' + std::to_string(1 + (c >> 6) % 3) + '/' +
               std::to_string(1 + (c >> 4) % 3);
    });
    C3DScene* scene = road::ReadObjText(text);
    if (!scene) return 0;
    try {
        for (C3DNodePos pos = scene->GetFirstNode(OBJECT_POLYMESH, WALK_SHARED_ONCE); pos;) {
            C3DGeomObject* object = nullptr;
            scene->GetNextNode(pos, object);
            if (auto* mesh = dynamic_cast<C3DObject*>(object)) Operate(*mesh, ops, params);
        }
    } catch (CXException*) {
        // An error the library raises (memory, say) is an answer, not a fault.
        XDeleteThreadException();
    }
    scene->Delete();
    return 0;
}
