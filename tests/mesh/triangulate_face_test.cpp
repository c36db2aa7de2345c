// Ear clipping of one face: the projection to the face's plane, and the face-level split into a
// helper's own list or a view's destination, which must give the very triangles the face-list
// pass gives, with the face's material and a bound on the number written.
#include <gtest/gtest.h>

#include <vector>

#include "cleanup_test_util.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/triangulate.h"

namespace kestovar {
namespace {

using test::MakeObject;
using test::Poly;
using test::ReadFaces;

// An L-shaped hexagon in the plane z = 2 (notch at the top right) and a degenerate face.
C3DObject* LShape() {
    return MakeObject({{0, 0, 2}, {2, 0, 2}, {2, 1, 2}, {1, 1, 2}, {1, 2, 2}, {0, 2, 2}, {3, 0, 2}},
                      {{0, 1, 2, 3, 4, 5}, {0, 1, 6}});
}

TEST(TriangulateFace, ProjectsOnTheFacePlaneAlongTheFirstEdge) {
    C3DObject* o = LShape();
    CGeomInfo geom(o);
    C3DFace face;
    C2DPointList uv;
    o->GetFaceList()->GetFace(0, face);
    ASSERT_TRUE(face.Get2DCoordinates(&geom, uv));
    const float expected[6][2] = {{0, 0}, {2, 0}, {2, 1}, {1, 1}, {1, 2}, {0, 2}};
    ASSERT_EQ(uv.GetSize(), 6);
    for (int i = 0; i < 6; ++i) {
        EXPECT_FLOAT_EQ(uv.GetAt(i).u, expected[i][0]);
        EXPECT_FLOAT_EQ(uv.GetAt(i).v, expected[i][1]);
    }
    o->GetFaceList()->GetFace(1, face);  // collinear corners: no plane
    EXPECT_FALSE(face.Get2DCoordinates(&geom, uv));
    EXPECT_EQ(uv.GetSize(), 0);
    o->Delete();
}

TEST(TriangulateFace, FaceLevelSplitMatchesTheListPass) {
    C3DObject* o = LShape();
    o->GetFaceList()->SetFaceMaterial(0, 5);
    CGeomInfo geom(o);
    C3DFace face;
    o->GetFaceList()->GetFace(0, face);

    // Into the helper's own list.
    CTriangulateFaceHelper* helper = C3DFace::InitTriangulation(&geom);
    ASSERT_EQ(face.Triangulate(helper, -1, 0), 4);
    const std::vector<Poly> own = ReadFaces(*helper->GetOwnFaceList());
    for (int t = 0; t < 4; ++t) EXPECT_EQ(helper->GetOwnFaceList()->GetFaceMaterial(unsigned(t)), 5u);
    C3DFace::ReleaseTriangulation(helper);

    // Appended to a destination list, at most 3.
    C3DFaceList* dst = C3DFaceList::Create();
    CGeomInfo into(o);
    into.SetFaceList(o->GetFaceList(), dst, 0);
    EXPECT_EQ(face.Triangulate(&into, -1, 3), 3);
    EXPECT_EQ(dst->GetSize(), 3);
    const std::vector<Poly> appended = ReadFaces(*dst);
    EXPECT_EQ(appended, std::vector<Poly>(own.begin(), own.begin() + 3));

    // The face-list pass writes the same triangles in the face's place.
    ASSERT_TRUE(o->Triangulate(0, _FACE_PROPERTIES(0), true));
    std::vector<Poly> listed = ReadFaces(*o->GetFaceList());
    ASSERT_EQ(listed.size(), 5u);
    EXPECT_EQ(std::vector<Poly>(listed.begin(), listed.begin() + 4), own);
    EXPECT_EQ(listed[4], (Poly{0, 1, 6}));
    dst->Delete();
    o->Delete();
}

}  // namespace
}  // namespace kestovar
