// Helpers shared by the scene tests: archive round trips through memory files, tiny meshes and
// the exception catcher.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "kestovar/core/archive.h"
#include "kestovar/core/exception.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/object.h"
#include "kestovar/platform/file.h"
#include "test_util.h"

namespace scene_test {

using kestovar::test::Bytes;
using kestovar::test::Load;
using kestovar::test::Store;

// Runs `f` and returns the library exception it raised (null when none), releasing it. The
// returned pointer is only good for comparing with null: the object is already deleted, so the
// kind is reported through `isArchive`/`isFile`.
struct Raised {
    bool any = false;
    bool archive = false;
    bool file = false;
    bool invalidArg = false;
    int cause = 0;
};
inline Raised Catch(const std::function<void()>& f) {
    Raised r;
    try {
        f();
    } catch (kestovar::CXException* e) {
        r.any = true;
        if (auto* a = dynamic_cast<kestovar::CXArchiveException*>(e)) {
            r.archive = true;
            r.cause = a->m_cause;
        }
        if (auto* fe = dynamic_cast<kestovar::CXFileException*>(e)) {
            r.file = true;
            r.cause = fe->m_cause;
        }
        r.invalidArg = dynamic_cast<kestovar::CXInvalidArgException*>(e) != nullptr;
        kestovar::XDeleteThreadException();
    }
    return r;
}

// A unit quad of two triangles in the z = 0 plane, faces of material `material`:
//
//   3---2
//   | / |
//   0---1
inline kestovar::C3DObject* MakeQuad(unsigned material = 0, float offset = 0.0f) {
    const float xyz[] = {offset, 0, 0, offset + 1, 0, 0, offset + 1, 1, 0, offset, 1, 0};
    const int tris[] = {0, 1, 2, 0, 2, 3};
    kestovar::C3DObject* object = kestovar::CreateObjectFromArrays(xyz, sizeof(xyz), tris, sizeof(tris), nullptr, 0);
    for (unsigned f = 0; f < 2; ++f) object->GetFaceList()->SetFaceMaterial(f, material);
    return object;
}

// A single triangle of material `material`:
//
//   2
//   |  `.
//   0----1
inline kestovar::C3DObject* MakeTriangle(unsigned material = 0) {
    const float xyz[] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    const int tris[] = {0, 1, 2};
    kestovar::C3DObject* object = kestovar::CreateObjectFromArrays(xyz, sizeof(xyz), tris, sizeof(tris), nullptr, 0);
    object->GetFaceList()->SetFaceMaterial(0, material);
    return object;
}

inline void ExpectMatrixNear(const kestovar::C4x4TMatrix<float>& a, const kestovar::C4x4TMatrix<float>& b,
                             float tolerance = 1e-5f) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_NEAR(a.m[r][c], b.m[r][c], tolerance) << "element " << r << "," << c;
}

}  // namespace scene_test
