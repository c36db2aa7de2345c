// Triangulation of lists that carry nothing but geometry (no channel follows): the new face list
// is pinned down to its storage, each record's corner count, capacity and byte offset, the bytes
// the records use and every face's flag word and material, so that a faster way of writing the
// records cannot change what a reader of the list sees, nor how the list is laid out.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "cleanup_test_util.h"
#include "test_util.h"

namespace kestovar::test {
namespace {

// Corners, flags, materials and the record layout of the object's faces.
uint64_t HashRecords(const C3DObject& object) {
    Fnv h;
    const C3DFaceList* faces = object.GetFaceList();
    const CFaceCollection& records = faces->GetRecords();
    h.Add(uint32_t(faces->GetSize()));
    h.Add(uint32_t(records.GetSize()));
    h.Add(uint32_t(records.GetUsedBytes()));
    h.Add(uint32_t(records.GetSlack()));
    for (int f = 0; f < faces->GetSize(); ++f) {
        const CFaceCollection::Element* e = records.GetElement(unsigned(f));
        h.Add(e->GetSize());
        h.Add(e->GetCapacity());
        h.Add(uint32_t(records.GetOffset(unsigned(f))));
        for (unsigned i = 0; i < e->GetCapacity(); ++i) h.Add(uint32_t(e->GetData()[i]));
        h.Add(faces->GetFaceFlags(unsigned(f)));
        h.Add(faces->GetFaceMaterial(unsigned(f)));
    }
    return h.h;
}

// A grid of w x h cells over a height field (flat where `flat` says so), one quadrangle per cell.
void Grid(int w, int h, bool flat, std::vector<P3>& points, std::vector<Poly>& faces) {
    for (int y = 0; y <= h; ++y)
        for (int x = 0; x <= w; ++x)
            points.push_back({float(x) * 0.5f, float(y) * 0.75f, flat ? 0.0f : 0.03f * float((x * 3 + y * y) % 7)});
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int a = y * (w + 1) + x;
            faces.push_back({a, a + 1, a + w + 2, a + w + 1});
        }
}

struct Case {
    const char* name;
    bool flat;
    int w, h;       // an odd count leaves the last quadrangle without a partner
    bool oddFaces;  // concave, repeated-corner, flat-lying and self-crossing quadrangles mixed in
    bool attributes;
    unsigned mask;  // faces whose flags miss it are copied whole
    uint64_t pin;
};

TEST(TriangulateRecords, QuadrangleListsWithoutChannelsKeepTheirRecords) {
    const unsigned flagSet[6] = {0u, FACE_SELECTED, FACE_HIDDEN | FACE_SELECTED, FACE_FROZEN | FACE_SORT_HIGH,
                                 FACE_INVALID, FACE_SELECTED | FACE_ALL_SELECTED | FACE_SORT_LOW};
    const Case cases[] = {
        {"flat grid", true, 40, 30, false, false, 0u, 0xdec8d525d9deb9f9ull},
        {"height field, odd count", false, 37, 21, false, true, 0u, 0x239a974181dcea80ull},
        {"flat grid with odd quadrangles", true, 33, 17, true, true, 0u, 0xdd4b3fa26b5b5519ull},
        {"height field with odd quadrangles", false, 28, 19, true, true, 0u, 0xc582a76d1b0b2ef2ull},
        {"selected faces only", false, 31, 23, true, true, unsigned(FACE_SELECTED), 0xb5c7d5ecf4f7c9dfull},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<P3> points;
        std::vector<Poly> faces;
        Grid(c.w, c.h, c.flat, points, faces);
        if (c.oddFaces) {
            for (size_t f = 5; f < faces.size(); f += 13) {
                Poly& q = faces[f];
                switch (f % 4) {
                    case 0: q = {q[0], q[2], q[1], q[3]}; break;  // self-crossing
                    case 1: q = {q[0], q[0], q[1], q[2]}; break;  // repeated corner
                    case 2: q = {q[0], q[1], q[0], q[3]}; break;  // a corner twice, apart
                    default: q = {q[3], q[2], q[1], q[0]}; break;  // turned over
                }
            }
            // Concave: a corner pulled inside its quadrangle.
            const int base = int(points.size());
            points.push_back({0.0f, 0.0f, 0.0f});
            points.push_back({2.0f, 0.0f, 0.0f});
            points.push_back({0.4f, 0.4f, 0.0f});
            points.push_back({0.0f, 2.0f, 0.0f});
            faces.insert(faces.begin() + 7, Poly{base, base + 1, base + 2, base + 3});
            faces.insert(faces.begin() + 20, Poly{base + 1, base + 2, base + 3, base});
        }
        C3DObject* obj = MakeObject(points, faces);
        C3DFaceList* fl = obj->GetFaceList();
        if (c.attributes)
            for (int f = 0; f < fl->GetSize(); ++f) {
                fl->SetFaceMaterial(unsigned(f), unsigned(f % 5));
                fl->SetFaceFlags(unsigned(f), flagSet[(f * 7) % 6]);
            }
        ASSERT_TRUE(obj->Triangulate(0, _FACE_PROPERTIES(c.mask), true));
        EXPECT_EQ(HashRecords(*obj), c.pin) << std::hex << "0x" << HashRecords(*obj);
        obj->Delete();
    }
}

}  // namespace
}  // namespace kestovar::test
