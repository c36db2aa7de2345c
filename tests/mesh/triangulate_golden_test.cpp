// Triangulation bit for bit: polygons built on the bunny's points (skewed, non-planar, concave
// and self-crossing quadrangles and pentagons, plus repeated and degenerate corners), a regular
// quadrangle grid and a set of concave outlines are triangulated at object level with a channel
// carried along; the corner indices, flags and materials of every output face and channel face
// are hashed and compared with the values the general ear-clipping pass produced before any fast
// path existed. Any change in which triangles are cut, or in their corner order, changes a hash.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "cleanup_test_util.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/triangulate.h"
#include "test_util.h"

namespace kestovar::test {
namespace {

uint64_t HashObject(const C3DObject& object) {
    Fnv h;
    const C3DFaceList* faces = object.GetFaceList();
    h.Add(uint32_t(faces->GetSize()));
    for (int f = 0; f < faces->GetSize(); ++f) {
        int k = 0;
        const int* idx = faces->GetIndexes(unsigned(f), k);
        h.Add(uint32_t(k));
        for (int i = 0; i < k; ++i) h.Add(uint32_t(idx[i]));
        h.Add(faces->GetFaceFlags(unsigned(f)));
        h.Add(faces->GetFaceMaterial(unsigned(f)));
    }
    const CDependentChannels* channels = object.GetChannels();
    for (int c = 0; channels && c < channels->GetSize(); ++c) {
        const CFaceList* cf = channels->GetChannel(c)->GetFaceList();
        if (!cf) continue;
        h.Add(uint32_t(cf->GetSize()));
        for (int f = 0; f < cf->GetSize(); ++f) {
            int k = 0;
            const int* idx = cf->GetIndexes(unsigned(f), k);
            h.Add(uint32_t(k));
            for (int i = 0; i < k; ++i) h.Add(uint32_t(idx[i]));
            h.Add(cf->GetFaceFlags(unsigned(f)));
        }
    }
    return h.h;
}

// Splits every quadrangle of `faces` through the face-level helper (the shortcut for convex ones)
// and requires the triangles, in corner order, that the general clipping cuts. Returns how many
// quadrangles the clipping refused.
int ExpectShortcutMatchesClip(const std::vector<P3>& points, const std::vector<Poly>& faces) {
    Owned obj = MakeObject(points, faces);
    CGeomInfo geom(obj);
    CTriangulateFaceHelper* helper = C3DFace::InitTriangulation(&geom);
    CTriangulateFaceHelper general;
    C3DFace face;
    C3DPointList* pl = obj->GetPointList();
    int refused = 0;
    for (int f = 0; f < int(faces.size()); ++f) {
        SCOPED_TRACE(::testing::Message() << "quadrangle " << f);
        obj->GetFaceList()->GetFace(unsigned(f), face);
        const int made = face.Triangulate(helper, -1, 0);
        const int expected = general.Clip(pl->GetPoints(), pl->GetSize(), faces[size_t(f)].data(), 4);
        EXPECT_EQ(made, expected);
        refused += expected == 0;
        const std::vector<Poly> got = ReadFaces(*helper->GetOwnFaceList());
        for (int t = 0; t < made && made == expected; ++t) {
            const int* c = general.GetTriangles() + 3 * t;
            const Poly want = {faces[size_t(f)][size_t(c[0])], faces[size_t(f)][size_t(c[1])], faces[size_t(f)][size_t(c[2])]};
            EXPECT_EQ(got[size_t(t)], want) << "triangle " << t;
        }
    }
    C3DFace::ReleaseTriangulation(helper);
    return refused;
}

// Gives the faces materials and flags of every kind (the two steps choose which face gets which).
void SetMaterialsAndFlags(C3DFaceList* fl, unsigned materials, unsigned flagStep, const unsigned* flagKinds = kFlagKinds) {
    for (int f = 0; f < fl->GetSize(); ++f) {
        fl->SetFaceMaterial(unsigned(f), unsigned(f) % materials);
        fl->SetFaceFlags(unsigned(f), flagKinds[(unsigned(f) * flagStep) % 6]);
    }
}

uint64_t TriangulateAndHash(const std::vector<P3>& points, const std::vector<Poly>& faces) {
    Owned obj = MakeObject(points, faces);
    for (int f = 0; f < obj->GetFaceList()->GetSize(); f += 7) obj->GetFaceList()->SetFaceMaterial(unsigned(f), unsigned(f % 5));
    AddOffsetChannel(*obj, 3);
    EXPECT_TRUE(obj->Triangulate(CHANNEL_ALL, _FACE_PROPERTIES(0), true));
    const uint64_t h = HashObject(*obj);
    return h;
}

TEST(TriangulateGolden, BunnyPolygonsKeepTheirTriangles) {
    std::vector<P3> points;
    std::vector<Poly> bunnyFaces;
    LoadBunny(points, bunnyFaces);
    ASSERT_GT(points.size(), 1000u);
    const int n = int(points.size());
    // Corners from a fixed pseudo-random walk: mostly near each other in the file (so many
    // polygons are nearly planar and convex), some far apart (non-planar, self-crossing).
    uint32_t state = 12345u;
    auto next = [&] { return state = state * 1664525u + 1013904223u; };
    std::vector<Poly> faces;
    for (int f = 0; f < 6000; ++f) {
        const int k = f % 11 == 0 ? 5 : (f % 13 == 0 ? 3 : 4);
        Poly poly;
        int p = int(next() % uint32_t(n));
        for (int i = 0; i < k; ++i) {
            poly.push_back(p);
            const uint32_t r = next();
            p = (r & 7) == 0 ? int(r >> 8) % n : (p + 1 + int((r >> 3) % 3)) % n;
        }
        if (f % 97 == 0) poly[2] = poly[0];  // repeated corner
        if (f % 89 == 0) poly[3 % k] = poly[1];
        faces.push_back(poly);
    }
    EXPECT_EQ(TriangulateAndHash(points, faces), 0x3a7243cbd1cb728cull);
}

TEST(TriangulateGolden, GridAndConcaveOutlinesKeepTheirTriangles) {
    // A 40 x 30 quadrangle grid with a gentle height field, every fifth quadrangle given a
    // concave (dart) or degenerate (collinear, coincident) shape, then concave outlines.
    std::vector<P3> points;
    std::vector<Poly> faces;
    const int w = 40, h = 30;
    for (int y = 0; y <= h; ++y)
        for (int x = 0; x <= w; ++x)
            points.push_back({float(x), float(y), 0.3f * std::sin(0.7f * float(x)) * std::cos(0.5f * float(y))});
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int a = y * (w + 1) + x, b = a + 1, c = a + w + 2, d = a + w + 1;
            faces.push_back((x + y) % 2 ? Poly{a, b, c, d} : Poly{a, d, c, b});
        }
    const int base = int(points.size());
    // A dart (reflex corner 2), a quadrangle with three collinear corners, one with two
    // coincident corners, a bow tie, a non-planar (folded) quadrangle.
    const std::vector<P3> extra = {{0, 0, 5},   {4, 0, 5},   {1, 1, 5},   {0, 4, 5},   {10, 0, 5}, {11, 0, 5}, {12, 0, 5},
                                   {11, 3, 5},  {20, 0, 5},  {22, 0, 5},  {22, 0, 5},  {21, 2, 5}, {30, 0, 5}, {32, 2, 5},
                                   {32, 0, 5},  {30, 2, 5},  {40, 0, 5},  {42, 0, 5},  {42, 2, 7}, {40, 2, 5}};
    points.insert(points.end(), extra.begin(), extra.end());
    for (int i = 0; i < 5; ++i) faces.push_back({base + 4 * i, base + 4 * i + 1, base + 4 * i + 2, base + 4 * i + 3});
    // Concave outlines: a comb, a star and a spiral-like notch, in both orientations.
    auto addOutline = [&](const std::vector<std::array<float, 2>>& outline, float z, bool reverse) {
        Poly poly;
        for (const auto& q : outline) {
            poly.push_back(int(points.size()));
            points.push_back({q[0], q[1], z});
        }
        if (reverse) std::reverse(poly.begin(), poly.end());
        faces.push_back(poly);
    };
    std::vector<std::array<float, 2>> comb = {{0, 0}, {7, 0}, {7, 3}, {6, 3}, {6, 1}, {5, 1}, {5, 3}, {4, 3},
                                              {4, 1}, {3, 1}, {3, 3}, {2, 3}, {2, 1}, {1, 1}, {1, 3}, {0, 3}};
    std::vector<std::array<float, 2>> star;
    for (int i = 0; i < 14; ++i) {
        const float r = i % 2 ? 1.0f : 3.0f, t = 6.2831853f * float(i) / 14.0f;
        star.push_back({r * std::cos(t), r * std::sin(t)});
    }
    std::vector<std::array<float, 2>> notch = {{0, 0}, {6, 0}, {6, 6}, {1, 6}, {1, 2}, {4, 2}, {4, 4}, {3, 4}, {3, 3}, {2, 3}, {2, 5}, {5, 5}, {5, 1}, {0, 1}};
    for (int r = 0; r < 2; ++r) {
        addOutline(comb, 10.0f + float(r), r == 1);
        addOutline(star, 20.0f + float(r), r == 1);
        addOutline(notch, 30.0f + float(r), r == 1);
    }
    EXPECT_EQ(TriangulateAndHash(points, faces), 0x962710bbb621fd13ull);
}

// Every chunk value of the geometric faces (flags, stored materials, back materials, original
// indices) and of every channel's faces, on top of the corner indices.
uint64_t HashWithChunks(const C3DObject& object) {
    Fnv h;
    h.Add(uint32_t(HashObject(object)));
    h.Add(uint32_t(HashObject(object) >> 32));
    const C3DFaceList* faces = object.GetFaceList();
    for (int f = 0; f < faces->GetSize(); ++f) {
        h.Add(faces->GetStoredFaceMaterial(unsigned(f)));
        h.Add(faces->GetBackFaceMaterial(unsigned(f)));
        h.Add(faces->GetOriginalIndex(unsigned(f)));
    }
    return h.h;
}

// Channel faces that cannot be split like their geometric face: every `step`-th face from
// `first` loses its last corner when its index is a multiple of `shortenEvery` (and it has more
// than three), else it is hidden (not live).
void MakeUneven(CFaceList& faces, int first, int step, int shortenEvery) {
    for (int f = first; f < faces.GetSize(); f += step) {
        CFace view;
        faces.GetFace(unsigned(f), view);
        if (f % shortenEvery == 0 && view.GetSize() > 3)
            view.SetSize(view.GetSize() - 1);  // one corner fewer than the geometric face
        else
            view.SetFlags(FACE_HIDDEN, true);  // not live
    }
}

// A 12 x 9 grid of quadrangles with triangles among them, hexagons over two cells (overlapping),
// a self-crossing pentagon and a quadrangle with a repeated corner.
void MixedGrid(std::vector<P3>& points, std::vector<Poly>& faces) {
    const int w = 12, h = 9;
    for (int y = 0; y <= h; ++y)
        for (int x = 0; x <= w; ++x) points.push_back({float(x) * 0.7f, float(y) * 1.3f, 0.05f * float((x * y) % 5)});
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int a = y * (w + 1) + x, b = a + 1, c = a + w + 2, d = a + w + 1;
            if ((x + 2 * y) % 7 == 0)
                faces.push_back({a, b, c});  // a triangle among the quadrangles
            else if (x % 4 == 3 && x + 1 < w)
                faces.push_back({a, b, b + 1, c + 1, c, d});  // hexagon over two cells (overlaps)
            else
                faces.push_back({a, b, c, d});
        }
    faces.push_back({0, 5, 30, 2, 17});  // self-crossing pentagon
    faces.push_back({3, 3, 4, 16});      // repeated corner
}

// The mixed grid with materials, flags of every kind and two channels, the second uneven: every
// fourth of its faces has one corner fewer than its geometric face or is not live. The caller
// releases the object with Delete().
C3DObject* MixedGridObject(PlainChannel** uneven = nullptr) {
    std::vector<P3> points;
    std::vector<Poly> faces;
    MixedGrid(points, faces);
    C3DObject* obj = MakeObject(points, faces);
    C3DFaceList* fl = obj->GetFaceList();
    fl->SaveFacesIndex();
    SetMaterialsAndFlags(fl, 3, 7);
    for (int f = 1; f < fl->GetSize(); f += 5) fl->SetBackFaceMaterial(unsigned(f), unsigned(100 + f));
    AddOffsetChannel(*obj, 2);
    PlainChannel* channel = AddOffsetChannel(*obj, 5);
    MakeUneven(*channel->GetFaceList(), 0, 4, 8);
    if (uneven) *uneven = channel;
    return obj;
}

// Faces carrying more than the main data, flags of every kind, and channel faces that cannot be
// split like their geometric face (another corner count, not live), triangulated whole and by a
// flag mask (the faces left out are copied, chunks and channel faces included).
TEST(TriangulateGolden, ChunksFlagsAndUnevenChannelFacesKeepTheirOutput) {
    for (int mode = 0; mode < 2; ++mode) {
        SCOPED_TRACE(mode == 0 ? "every face" : "selected faces");
        Owned obj = MixedGridObject();
        EXPECT_TRUE(obj->Triangulate(CHANNEL_ALL, mode == 0 ? _FACE_PROPERTIES(0) : FACE_SELECTED, true));
        const uint64_t got = HashWithChunks(*obj);
        EXPECT_EQ(got, mode == 0 ? 0x7f5bccc9c0db2130ull : 0xdf3e3f1602402718ull);
    }
}

// A channel face list that carries a data chunk of its own takes the general copy of chunks: its
// triangles must get the corners and flags they get without the chunk, and each must carry the
// chunk value of the face it comes from (the geometric face's original index says which).
TEST(TriangulateGolden, ChannelFaceChunksFollowTheirTriangles) {
    for (int mode = 0; mode < 2; ++mode) {
        SCOPED_TRACE(mode == 0 ? "every face" : "selected faces");
        const _FACE_PROPERTIES mask = mode == 0 ? _FACE_PROPERTIES(0) : FACE_SELECTED;
        Owned plain = MixedGridObject();
        PlainChannel* uneven = nullptr;
        Owned tagged = MixedGridObject(&uneven);
        uneven->GetFaceList()->SaveFacesIndex();
        EXPECT_TRUE(plain->Triangulate(CHANNEL_ALL, mask, true));
        EXPECT_TRUE(tagged->Triangulate(CHANNEL_ALL, mask, true));
        EXPECT_EQ(HashObject(*tagged), HashObject(*plain));
        const C3DFaceList* faces = tagged->GetFaceList();
        const CFaceList* cf = tagged->GetChannels()->GetChannel(1)->GetFaceList();
        ASSERT_EQ(cf->GetSize(), faces->GetSize());
        int mismatches = 0;
        for (int f = 0; f < faces->GetSize(); ++f)
            mismatches += cf->GetOriginalIndex(unsigned(f)) != faces->GetOriginalIndex(unsigned(f));
        EXPECT_EQ(mismatches, 0);
        EXPECT_EQ(tagged->GetChannels()->GetChannel(0)->GetFaceList()->GetOriginalIndex(0), REMAP_REMOVED);
    }
}

// The quadrangle shortcut sees corners the general rule refuses (non-finite coordinates) or
// whose products overflow or underflow (extreme scales): it must then give what Clip gives.
TEST(TriangulateGolden, ConvexQuadrangleShortcutAgreesOnNonFiniteAndExtremeCorners) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<std::array<P3, 4>> quads;
    const std::array<P3, 4> square = {{{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}};
    for (int corner = 0; corner < 4; ++corner)
        for (int axis = 0; axis < 3; ++axis)
            for (float bad : {inf, -inf, nan}) {
                std::array<P3, 4> q = square;
                q[size_t(corner)][size_t(axis)] = bad;
                quads.push_back(q);
            }
    for (float scale : {1e-38f, 1e-30f, 1e-20f, 1e19f, 1e25f, 1e30f, 3e38f}) {
        const std::array<P3, 4> skew = {{{0, 0, 0}, {scale, 0, 0.1f * scale}, {0.9f * scale, scale, 0}, {0, 0.8f * scale, 0}}};
        quads.push_back(skew);
        std::array<P3, 4> flat = square;
        for (auto& p : flat)
            for (float& v : p) v *= scale;
        quads.push_back(flat);
    }
    std::vector<P3> points;
    std::vector<Poly> faces;
    for (const auto& q : quads) {
        const int base = int(points.size());
        points.insert(points.end(), q.begin(), q.end());
        faces.push_back({base, base + 1, base + 2, base + 3});
    }
    EXPECT_GE(ExpectShortcutMatchesClip(points, faces), 36);  // every quadrangle with a non-finite corner
}

// Every face splits (the pass that appends the triangles): quadrangles, a few pentagons, a
// concave and a degenerate quadrangle (fewer triangles than corners - 2), flags of every kind
// including FACE_INVALID, materials, and channel faces that split, cannot split (another corner
// count) or are not live.
TEST(TriangulateGolden, EveryFaceSplitKeepsFlagsMaterialsAndChannelFaces) {
    std::vector<P3> points;
    std::vector<Poly> faces;
    const int w = 10, h = 7;
    for (int y = 0; y <= h; ++y)
        for (int x = 0; x <= w; ++x) points.push_back({float(x) * 0.9f, float(y) * 1.1f, 0.07f * float((x * y) % 4)});
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int a = y * (w + 1) + x, b = a + 1, c = a + w + 2, d = a + w + 1;
            if ((x + 3 * y) % 11 == 0 && x + 1 < w)
                faces.push_back({a, b, b + 1, c, d});  // pentagon (overlaps the next cell)
            else
                faces.push_back({a, b, c, d});
        }
    faces.push_back({0, 12, 1, 13});  // self-crossing
    faces.push_back({5, 5, 6, 17});   // repeated corner: one triangle
    faces.push_back({20, 20, 20, 20});  // nothing to cut
    Owned obj = MakeObject(points, faces);
    SetMaterialsAndFlags(obj->GetFaceList(), 4, 5);
    AddOffsetChannel(*obj, 1);
    MakeUneven(*AddOffsetChannel(*obj, 4)->GetFaceList(), 1, 3, 2);
    EXPECT_TRUE(obj->Triangulate(CHANNEL_ALL, _FACE_PROPERTIES(0), true));
    EXPECT_EQ(HashWithChunks(*obj), 0xa23f75eee45e853aull);
}

// Faces that split among faces that do not (triangles, faces whose flags fail the mask, faces of
// fewer than 3 corners), splitting faces that give fewer triangles than corners - 2 (so that the
// faces behind them move on), materials, flags of every kind, and channel faces that split,
// have fewer or more corners than their geometric face, or are not live.
TEST(TriangulateGolden, MixedListsKeepTheirFacesChannelsAndRecords) {
    std::vector<P3> points;
    std::vector<Poly> faces;
    const int w = 9, h = 8;
    for (int y = 0; y <= h; ++y)
        for (int x = 0; x <= w; ++x) points.push_back({float(x) * 1.1f, float(y) * 0.8f, 0.05f * float((x + y) % 3)});
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int a = y * (w + 1) + x, b = a + 1, c = a + w + 2, d = a + w + 1;
            switch ((x + 2 * y) % 9) {
                case 0: faces.push_back({a, b, c}); break;                 // triangle
                case 3: faces.push_back({a, a, b, c}); break;              // repeated corner
                case 5: faces.push_back({a, b}); break;                    // two corners
                case 7: faces.push_back({a, b, b + 1 < (y + 1) * (w + 1) ? b + 1 : b, c, d}); break;  // pentagon
                default: faces.push_back({a, b, c, d});
            }
        }
    const unsigned flagSet[6] = {0u, FACE_SELECTED, FACE_HIDDEN | FACE_SELECTED, FACE_FROZEN | FACE_SORT_HIGH,
                                 FACE_INVALID | FACE_SELECTED, FACE_SELECTED | FACE_ALL_SELECTED | FACE_SORT_LOW};
    uint64_t got[2];
    for (int mode = 0; mode < 2; ++mode) {
        Owned obj = MakeObject(points, faces);
        SetMaterialsAndFlags(obj->GetFaceList(), 3, 5, flagSet);
        AddOffsetChannel(*obj, 3);
        PlainChannel* uneven = AddOffsetChannel(*obj, 1);
        CFaceList* cf = uneven->GetFaceList();
        for (int f = 0; f < cf->GetSize(); f += 2) {
            CFace view;
            cf->GetFace(unsigned(f), view);
            if (f % 6 == 0)
                view.SetFlags(FACE_HIDDEN, true);  // not live
            else if (f % 6 == 2 && view.GetSize() > 2)
                view.SetSize(view.GetSize() - 1);  // fewer corners than the geometric face
            else if (view.GetSize() > 0)
                view.AddIndex(view[0]);  // more corners
        }
        EXPECT_TRUE(obj->Triangulate(CHANNEL_ALL, mode == 0 ? _FACE_PROPERTIES(0) : FACE_SELECTED, true));
        got[mode] = HashWithChunks(*obj);
    }
    EXPECT_EQ(got[0], 0x6ef82b12bbf3216full);
    EXPECT_EQ(got[1], 0xdc08cc6fad2faceeull);
}

// Triangulation of lists that carry nothing but geometry (no channel follows): the new face list
// is pinned down to its storage, each record's corner count, capacity and byte offset, the bytes
// the records use and every face's flag word and material, so that a faster way of writing the
// records cannot change what a reader of the list sees, nor how the list is laid out.
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
        Owned obj = MakeObject(points, faces);
        C3DFaceList* fl = obj->GetFaceList();
        if (c.attributes)
            for (int f = 0; f < fl->GetSize(); ++f) {
                fl->SetFaceMaterial(unsigned(f), unsigned(f % 5));
                fl->SetFaceFlags(unsigned(f), kFlagKinds[(f * 7) % 6]);
            }
        ASSERT_TRUE(obj->Triangulate(0, _FACE_PROPERTIES(c.mask), true));
        EXPECT_EQ(HashRecords(*obj), c.pin) << std::hex << "0x" << HashRecords(*obj);
    }
}

}  // namespace
}  // namespace kestovar::test
