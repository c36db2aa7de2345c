// Ear clipping of one face: the projection to the face's plane, and the face-level split into a
// helper's own list or a view's destination, which must give the very triangles the face-list
// pass gives, with the face's material and a bound on the number written.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "cleanup_test_util.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/triangulate.h"

namespace kestovar {
namespace {

using test::MakeObject;
using test::Poly;
using test::ReadFaces;

constexpr uint32_t kTagChunk = 0x54414754;  // tags written by the test

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


// Into a destination list whose chunks differ from the source's: the first triangle takes the
// chunks both lists hold (an element of another size but of a kind is cut to the smaller size),
// keeps its own value of a chunk the source lacks, and the later triangles copy the first.
TEST(TriangulateFace, DestinationOfAnotherChunkLayout) {
    constexpr uint32_t kHost = 0x484F5354;  // a host's per-face value
    C3DObject* o = LShape();
    C3DFaceList* src = o->GetFaceList();
    src->SetFaceMaterial(0, 7);
    src->SetFaceFlags(0, FACE_SELECTED | FACE_FROZEN);
    src->SetBackFaceMaterial(0, 9);
    src->AddDataChunk(kHost, new CMaxFaceMethods2);
    src->GetData(kHost)->GetMethods()->Delete();
    const uint64_t wide = 0x1122334455667788ull;
    std::memcpy(src->GetData(kHost, 0), &wide, 8);

    C3DFaceList* dst = C3DFaceList::Create();
    dst->SetSize(6, 3, SETSIZE_COMPACT_SLACK);
    dst->AddDataChunk(kHost, new CMaxFaceMethods);
    dst->GetData(kHost)->GetMethods()->Delete();
    dst->AddDataChunk(kTagChunk, new CFaceTagIDMethods);
    dst->GetData(kTagChunk)->GetMethods()->Delete();
    for (unsigned i = 0; i < 6; ++i) *static_cast<uint32_t*>(dst->GetData(kTagChunk, i)) = 100 + i;

    CGeomInfo into(o);
    into.SetFaceList(src, dst, 0);
    CTriangulateFaceHelper* helper = C3DFace::InitTriangulation(&into);
    C3DFace face;
    src->GetFace(0, face);
    ASSERT_EQ(face.Triangulate(helper, 1, 0), 4);
    C3DFace::ReleaseTriangulation(helper);

    EXPECT_FALSE(dst->HasBackFaceMaterials());
    for (unsigned t = 1; t <= 4; ++t) {
        SCOPED_TRACE(::testing::Message() << "triangle at " << t);
        EXPECT_EQ(dst->GetFaceSize(t), 3u);
        EXPECT_EQ(dst->GetFaceFlags(t), unsigned(FACE_SELECTED | FACE_FROZEN));
        EXPECT_EQ(dst->GetFaceMaterial(t), 7u);
        EXPECT_EQ(*static_cast<const uint32_t*>(dst->GetData(kHost, t)), 0x55667788u);
        EXPECT_EQ(*static_cast<const uint32_t*>(dst->GetData(kTagChunk, t)), 101u);
    }
    EXPECT_EQ(dst->GetFaceSize(0), 0u);
    EXPECT_EQ(dst->GetFaceSize(5), 0u);
    EXPECT_EQ(*static_cast<const uint32_t*>(dst->GetData(kTagChunk, 5)), 105u);
    dst->Delete();
    o->Delete();
}

}  // namespace
}  // namespace kestovar
