// The contraction-ready object's preparation: working copy and triangulation, in-place use,
// life-cycle flags and determinism, degenerate faces, point and face selection (frozen borders,
// excluded materials, user selection), constraint planes along borders, and the lock and modify
// nesting.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "kestovar/mesh/face.h"
#include "kestovar/mesh/symmetry_map.h"
#include "kestovar/optimizer/scene_optimizer.h"
#include "kestovar/simplify/ext_object.h"
#include "test_util.h"

namespace kestovar {
namespace {

struct Mesh {
    std::vector<float> xyz;
    std::vector<std::vector<int>> faces;
    std::vector<unsigned> materials;  // one per face; empty: all 0
};

// (n + 1) x (n + 1) points over [0, n]^2 at height h(i, j); quads when `quads`, else two
// triangles per cell. Point (i, j) has index j * (n + 1) + i:
//   (n+1) ...
//   0 1 2 ... n
Mesh Grid(int n, bool quads, float (*h)(int, int) = nullptr) {
    Mesh m;
    for (int j = 0; j <= n; ++j)
        for (int i = 0; i <= n; ++i) m.xyz.insert(m.xyz.end(), {float(i), float(j), h ? h(i, j) : 0.0f});
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            const int a = j * (n + 1) + i, b = a + 1, c = a + n + 1, d = c + 1;
            if (quads) {
                m.faces.push_back({a, b, d, c});
            } else {
                m.faces.push_back({a, b, d});
                m.faces.push_back({a, d, c});
            }
        }
    return m;
}

float Bump(int i, int j) { return 0.1f * float((i * 7 + j * 3) % 5); }

//     3
//    /|\      a closed tetrahedron
//   0-+-1
//    \|/
//     2
Mesh Tetrahedron() {
    Mesh m;
    m.xyz = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1};
    m.faces = {{0, 2, 1}, {0, 1, 3}, {0, 3, 2}, {1, 2, 3}};
    return m;
}

bool IsBorder(int n, int p) {
    const int i = p % (n + 1), j = p / (n + 1);
    return i == 0 || j == 0 || i == n || j == n;
}

struct Engine {
    CSceneOptimizer optimizer;
    C3DPointList* points = nullptr;
    C3DFaceList* faces = nullptr;
    C3DExtObject* object = nullptr;

    // With `workingCopy` the optimiser keeps the initial mesh untouched; without an optimiser
    // (`attach` false) the object is simplified in place.
    explicit Engine(const Mesh& m, bool workingCopy = true, bool attach = true, unsigned optimizerFlags = 0) {
        points = C3DPointList::Create();
        for (size_t i = 0; i + 2 < m.xyz.size(); i += 3) points->Add(m.xyz[i], m.xyz[i + 1], m.xyz[i + 2]);
        faces = C3DFaceList::Create();
        std::vector<unsigned> sizes;
        for (const auto& f : m.faces) sizes.push_back(unsigned(f.size()));
        faces->SetSize(int(sizes.size()), sizes.data(), SETSIZE_COMPACT_EXACT);
        for (size_t f = 0; f < m.faces.size(); ++f) {
            CFace view;
            faces->GetFace(unsigned(f), view);
            view.SetIndexes(m.faces[f].data(), unsigned(m.faces[f].size()));
            faces->SetFaceMaterial(unsigned(f), m.materials.empty() ? 0u : m.materials[f]);
        }
        object = new C3DExtObject(points, faces, nullptr);
        optimizer.SetFlags(optimizerFlags, true);
        if (workingCopy) optimizer.SetFlags(SCENEOPTIMIZER_WORKING_COPY, true);
        if (attach) object->SetOptimizer(optimizer, nullptr);
    }
    ~Engine() {
        object->Delete();
        points->Delete();
        faces->Delete();
    }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    CExtPointList& Working() const { return *object->GetPointList(); }
    C3DFaceList& WorkingFaces() const { return *object->GetWorkingFaceList(); }
    unsigned Flags(int p) const { return Working().GetAt(p).GetFlags(); }
    bool Prepare(bool prepareOnly = false) { return object->InitOptimization(prepareOnly); }
};

// Every candidate once, first < second, found in the pair index, and the heap consistent.
void ExpectCandidatesConsistent(C3DExtObject& o) {
    CXArray<CContractionCost>& costs = o.GetCostArray();
    EXPECT_EQ(int(o.GetCostHeap().GetCount()), costs.GetSize());
    EXPECT_EQ(o.GetPairIndex().GetCount(), costs.GetSize());
    EXPECT_TRUE(o.GetCostHeap().CheckConsistency());
    std::set<std::pair<int, int>> pairs;
    for (int i = 0; i < costs.GetSize(); ++i) {
        CContractionCost* r = &costs[i];
        EXPECT_LT(r->first, r->second);
        EXPECT_TRUE(pairs.insert({r->first, r->second}).second);
        const CContractionCost* const* found = o.GetPairIndex().Find(r);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(*found, r);
        EXPECT_EQ(*r->slot, r);
        EXPECT_EQ(r->GetPriority(), unsigned(PRIORITY_NORMAL));
        EXPECT_EQ(r->GetGeneration(), 0u);
    }
}

TEST(ExtPointList, ExchangesPointsWithPlainListsAndKeepsQuadricsAsScratch) {
    C3DPointList* plain = C3DPointList::Create();
    plain->Add(1, 2, 3);
    plain->Add(4, 5, 6);
    plain->GetAt(1).SetFlags(POINT_BORDER);
    CExtPointList* ext = new CExtPointList;
    *ext = *plain;
    ASSERT_EQ(ext->GetSize(), 2);
    EXPECT_EQ(ext->GetAt(1), C3DTPoint<float>(4, 5, 6));
    EXPECT_EQ(ext->GetAt(1).GetFlags(), unsigned(POINT_BORDER));
    EXPECT_EQ(ext->GetMethods()->GetType(), ELEMENT_TYPE_3DEXTPOINT);
    EXPECT_FALSE(ext->HasQuadrics());

    // The quadric array follows the size; an assignment drops it.
    ext->ClearQuadrics();
    C3DExtPoint p(7, 8, 9);
    p.GetQuadric().m[9] = 5.0;
    EXPECT_TRUE(ext->SetAt(0, &p));
    EXPECT_EQ(ext->GetQuadric(0).m[9], 5.0);
    EXPECT_EQ(ext->GetExtPoint(0).GetQuadric().m[9], 5.0);
    ext->Add(0, 0, 0);
    EXPECT_EQ(ext->GetQuadricCount(), 3);
    EXPECT_FALSE(ext->SetAt(3, &p));

    // Back into a plain list: coordinates and flags only.
    C3DPointList* back = C3DPointList::Create();
    *back = *ext;
    EXPECT_EQ(back->GetAt(0), C3DTPoint<float>(7, 8, 9));

    // Stored by class and loaded back as an extended list (the quadrics are not stored).
    test::Bytes bytes = test::Store([&](CXArchive& ar) { ar.WriteObject(ext->AsObject()); });
    CXObject* loaded = nullptr;
    test::Load(bytes, [&](CXArchive& ar) { loaded = ar.ReadObject(nullptr); });
    CExtPointList* again = CExtPointList::FromObject(loaded);
    ASSERT_NE(again, nullptr);
    ASSERT_EQ(again->GetSize(), 3);
    EXPECT_EQ(again->GetAt(0), C3DTPoint<float>(7, 8, 9));
    EXPECT_EQ(again->GetMethods()->GetType(), ELEMENT_TYPE_3DEXTPOINT);
    EXPECT_FALSE(again->HasQuadrics());
    again->Delete();
    back->Delete();
    ext->Delete();
    plain->Delete();
}

TEST(ExtObjectPreparation, CopySharesTheInitialMeshAndTheSettings) {
    Engine e(Tetrahedron());
    e.object->SetOptimizeMode(OPT_FREEZE_BORDER, true);
    e.object->SelectMaterial(9, false);
    C3DExtObject* copy = new C3DExtObject(*e.object);
    EXPECT_EQ(copy->GetInitialPointList(), e.object->GetInitialPointList());
    EXPECT_EQ(copy->GetInitialFaceList(), e.object->GetInitialFaceList());
    EXPECT_EQ(copy->GetOptimizeMode(), e.object->GetOptimizeMode());
    EXPECT_TRUE(copy->GetExcludedMaterials().IsFound(9));
    EXPECT_EQ(copy->GetOptimizer(), nullptr);
    // Prepared on its own, in place on the shared lists' extended replacement.
    ASSERT_TRUE(copy->InitOptimization(false));
    EXPECT_EQ(copy->GetCostArray().GetSize(), 6);
    copy->Delete();
    ASSERT_TRUE(e.Prepare());
    EXPECT_EQ(e.object->GetCostArray().GetSize(), 6);
}

TEST(ExtObjectPreparation, QuadsAreTriangulatedIntoTheWorkingCopyAndTheInitialMeshStays) {
    const int n = 3;
    Engine e(Grid(n, true, Bump));
    const uint32_t initialChecksum = e.faces->GetChecksum(0x4);
    ASSERT_TRUE(e.Prepare());
    EXPECT_FALSE(e.object->IsExtFlagSet(EXT_TRIANGLES_ONLY));
    EXPECT_TRUE(e.object->IsExtFlagSet(EXT_PREPARED | EXT_SELECTION_READY | EXT_WORKING_COPY | EXT_COSTS_READY));
    ASSERT_EQ(e.faces->GetSize(), n * n);
    EXPECT_EQ(e.faces->GetChecksum(0x4), initialChecksum);
    EXPECT_NE(&e.WorkingFaces(), e.faces);
    ASSERT_EQ(e.WorkingFaces().GetSize(), 2 * n * n);
    for (int f = 0; f < 2 * n * n; ++f) EXPECT_EQ(e.WorkingFaces().GetFaceSize(unsigned(f)), 3u);
    EXPECT_EQ(e.Working().GetSize(), (n + 1) * (n + 1));
    EXPECT_EQ(e.object->GetInitialRemovablePointsNumber(), (n + 1) * (n + 1));
    EXPECT_EQ(e.object->GetInitialRemovableFacesNumber(), 2 * n * n);
    // Edges of the triangulated grid: rows, columns and one diagonal per cell.
    EXPECT_EQ(e.object->GetCostArray().GetSize(), 2 * n * (n + 1) + n * n);
    ExpectCandidatesConsistent(*e.object);
}

TEST(ExtObjectPreparation, WithoutAWorkingCopyThePlainPointListIsReplacedAndWorkedInPlace) {
    Engine e(Tetrahedron(), false, false);
    ASSERT_TRUE(e.Prepare());
    CExtPointList* working = e.object->GetPointList();
    ASSERT_NE(working, nullptr);
    EXPECT_EQ(static_cast<C3DPointList*>(working), e.object->GetInitialPointList());
    EXPECT_EQ(static_cast<C3DPointList*>(working), e.object->GetShownPointList());
    EXPECT_EQ(e.object->GetWorkingFaceList(), e.faces);
    EXPECT_EQ(working->GetSize(), 4);
    EXPECT_EQ(working->GetQuadricCount(), 4);
    EXPECT_EQ(e.object->GetCostArray().GetSize(), 6);
    ExpectCandidatesConsistent(*e.object);
    // A closed tetrahedron: every point is on three planes through it, so every quadric is
    // invertible and each point's own cost is 0.
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(e.object->ComputePointCost(working->GetQuadric(i), working->GetAt(i)), 0, 1e-12);
}

TEST(ExtObjectPreparation, InPlaceQuadsAreReplacedByTheirTrianglesAndTheSelectionIsRecorded) {
    const int n = 3;
    Engine e(Grid(n, true, Bump), false);
    e.object->SetOptimizeExtMode(OPT_EXT_RECORD_SELECTED_FACES, true);
    // Point 0 frozen through the user selection: its quad keeps a selected corner, so every
    // initial face is selected.
    e.points->GetAt(0).SetFlags(0x1u, true);
    e.object->SetOptimizeMode(OPT_PROTECT_SELECTION, true);
    ASSERT_TRUE(e.Prepare());
    // In place the working faces are the object's own face list, now holding the triangles.
    EXPECT_EQ(e.object->GetWorkingFaceList(), e.object->GetInitialFaceList());
    ASSERT_EQ(e.WorkingFaces().GetSize(), 2 * n * n);
    for (int f = 0; f < 2 * n * n; ++f) EXPECT_EQ(e.WorkingFaces().GetFaceSize(unsigned(f)), 3u);
    EXPECT_EQ(e.object->GetCostArray().GetSize(), 2 * n * (n + 1) + n * n);
    ExpectCandidatesConsistent(*e.object);
    uint8_t bits[2] = {0, 0};
    ASSERT_TRUE(e.object->GetCustomData().GetBinary(EXT_SELECTED_FACES_KEY, bits, 2));
    EXPECT_EQ(bits[0], 0xFF);
    EXPECT_EQ(bits[1], 0x01);
}

TEST(ExtObjectLifeCycle, InvalidateDropsTheWorkAndThePreparationRepeatsBitForBit) {
    Engine e(Grid(6, false, Bump));
    ASSERT_TRUE(e.Prepare());
    const CXArray<CContractionCost> first = e.object->GetCostArray();
    ASSERT_GT(first.GetSize(), 0);

    e.object->InvalidateOptimization();
    EXPECT_FALSE(e.object->IsExtFlagSet(EXT_WORKING_COPY));
    EXPECT_FALSE(e.object->IsExtFlagSet(EXT_COSTS_READY));
    EXPECT_TRUE(e.object->IsExtFlagSet(EXT_PREPARED | EXT_SELECTION_READY));
    EXPECT_EQ(e.object->GetCostHeap().GetCount(), 0u);
    EXPECT_EQ(e.object->GetPairIndex().GetCount(), 0);
    EXPECT_EQ(e.object->GetPairIndex().GetCapacity(), 0u);
    EXPECT_EQ(e.object->GetCostArray().GetSize(), 0);
    EXPECT_EQ(e.Working().GetSize(), 0);
    EXPECT_EQ(e.WorkingFaces().GetSize(), 0);
    EXPECT_EQ(e.points->GetSize(), 49);

    ASSERT_TRUE(e.Prepare());
    const CXArray<CContractionCost>& second = e.object->GetCostArray();
    ASSERT_EQ(second.GetSize(), first.GetSize());
    for (int i = 0; i < first.GetSize(); ++i) {
        const CContractionCost &a = first[i], &b = second[i];
        EXPECT_EQ(a.first, b.first);
        EXPECT_EQ(a.second, b.second);
        EXPECT_EQ(std::memcmp(&a.cost, &b.cost, sizeof a.cost), 0);
        EXPECT_EQ(std::memcmp(a.position, b.position, sizeof a.position), 0);
        EXPECT_EQ(a.flags, b.flags);
    }

    // Prepare-only stops before the costs; a reset re-classifies the initial mesh.
    e.object->ResetOptimization();
    EXPECT_TRUE(e.object->IsExtFlagSet(EXT_PREPARED | EXT_SELECTION_READY | EXT_WORKING_COPY));
    EXPECT_FALSE(e.object->IsExtFlagSet(EXT_COSTS_READY));
    EXPECT_EQ(e.object->GetCostHeap().GetCount(), 0u);
}

// The live faces of the working mesh as corner coordinates, in face order.
std::vector<float> LiveCorners(C3DExtObject& o) {
    std::vector<float> out;
    const C3DFaceList* faces = o.GetWorkingFaceList();
    const CExtPointList* points = o.GetPointList();
    for (int f = 0; faces && f < faces->GetSize(); ++f) {
        if (!faces->IsFaceLive(unsigned(f))) continue;
        int n;
        const int* idx = faces->GetIndexes(unsigned(f), n);
        for (int k = 0; k < n; ++k) {
            const C3DTPoint<float>& p = points->GetAt(idx[k]);
            out.insert(out.end(), {p.x, p.y, p.z});
        }
    }
    return out;
}

// Without an optimiser the object is simplified in place, its initial lists becoming the working
// ones. Lists the host puts in afterwards replace the initial mesh: the next run starts from
// them (it used to go on with the old working lists, the new mesh unseen).
TEST(ExtObjectLifeCycle, ListsReplacedWithoutOptimiserAreWhatTheNextRunReduces) {
    Engine e(Grid(8, false, Bump), false, false);
    bool cancelled = false;
    ASSERT_GT(e.object->Optimize(0.5, cancelled, 1), 0);

    Engine fresh(Grid(5, true, Bump), false, false);
    const int expected = fresh.object->Optimize(0.5, cancelled, 1);
    ASSERT_GT(expected, 0);
    // The setters take over a reference of the caller's.
    auto takeLists = [&e](Engine& from, bool faces) {
        from.points->AddRef();
        e.object->SetPointList(from.points, true);
        if (!faces) return;
        from.faces->AddRef();
        e.object->SetFaceList(from.faces, true);
    };
    Engine other(Grid(5, true, Bump), false, false);
    takeLists(other, true);
    EXPECT_FALSE(e.object->IsExtFlagSet(EXT_PREPARED));
    EXPECT_EQ(e.object->Optimize(0.5, cancelled, 1), expected);
    EXPECT_EQ(LiveCorners(*e.object), LiveCorners(*fresh.object));

    // Points fewer than the faces name: the preparation refuses them with a clear message, and
    // the right points put back make the run as before.
    Engine small(Tetrahedron(), false, false);
    takeLists(small, false);
    try {
        e.object->Optimize(0.5, cancelled, 1);
        ADD_FAILURE() << "faces naming missing points were reduced";
    } catch (CXException* x) {
        EXPECT_NE(std::strstr(x->GetMessage(), "outside the point list"), nullptr) << x->GetMessage();
        XDeleteThreadException();
    }
    Engine again(Grid(5, true, Bump), false, false);
    takeLists(again, true);
    EXPECT_EQ(e.object->Optimize(0.5, cancelled, 1), expected);
    EXPECT_EQ(LiveCorners(*e.object), LiveCorners(*fresh.object));
}

// The shown mesh of an object as a test mesh (its live faces, every point).
Mesh ShownMesh(C3DExtObject& o) {
    Mesh m;
    const C3DPointList& points = *o.GetShownPointList();
    for (int i = 0; i < points.GetSize(); ++i) m.xyz.insert(m.xyz.end(), {points[i]->x, points[i]->y, points[i]->z});
    const C3DFaceList& faces = *o.GetFaceList();
    for (int f = 0; f < faces.GetSize(); ++f) {
        if (!faces.IsFaceLive(unsigned(f))) continue;
        int n;
        const int* idx = faces.GetIndexes(unsigned(f), n);
        m.faces.emplace_back(idx, idx + n);
    }
    return m;
}

// In place, the host can edit the lists between runs (here Clean drops the contracted points and
// faces and renumbers the rest). The next run must not take up the candidates of the old
// numbering (it read points past the end of the list): it prepares the edited mesh as a new
// initial mesh, as a fresh object over the same lists would.
TEST(ExtObjectLifeCycle, ListsEditedBetweenRunsInPlaceArePreparedAgain) {
    Engine e(Grid(8, false, Bump), false, false);
    bool cancelled = false;
    ASSERT_GT(e.object->Optimize(0.5, cancelled, 1), 0);
    ASSERT_TRUE(e.object->Clean());
    const Mesh cleaned = ShownMesh(*e.object);
    ASSERT_LT(cleaned.xyz.size(), size_t(3 * 81));
    Engine fresh(cleaned, false, false);
    const int expected = fresh.object->Optimize(0.5, cancelled, 1);
    ASSERT_GT(expected, 0);
    EXPECT_EQ(e.object->Optimize(0.5, cancelled, 1), expected);
    EXPECT_EQ(LiveCorners(*e.object), LiveCorners(*fresh.object));
}

// The point-to-face graph the contraction loop keeps is gone between two runs (the host dropped
// it, or another object sharing the face list prepared it): the next run prepares the mesh again
// instead of contracting points whose faces it no longer finds.
TEST(ExtObjectLifeCycle, AGraphDroppedBetweenRunsIsAnEdit) {
    for (bool workingCopy : {false, true}) {
        Engine e(Grid(8, false, Bump), workingCopy, true);
        bool cancelled = false;
        ASSERT_GT(e.object->Optimize(0.5, cancelled, 1), 0);
        e.object->GetWorkingFaceList()->DeletePointToFaceGraph();
        e.object->Optimize(0.2, cancelled, 1);
        const C3DFaceList& faces = *e.object->GetWorkingFaceList();
        const CExtPointList& points = *e.object->GetPointList();
        int bad = 0;
        for (int f = 0; f < faces.GetSize(); ++f) {
            if (!faces.IsFaceLive(unsigned(f))) continue;
            int n;
            const int* idx = faces.GetIndexes(unsigned(f), n);
            for (int c = 0; c < n; ++c) bad += points.GetAt(idx[c]).IsFlagSet(POINT_REMOVED);
        }
        EXPECT_EQ(bad, 0) << workingCopy;
        EXPECT_LE(e.object->GetRemovedPointsNumber(), e.object->GetInitialRemovablePointsNumber())
            << workingCopy;
    }
}

// An object stored in the middle of a run and loaded back is a new object of the mesh it showed:
// its initial mesh is the loaded one, and it reduces it.
TEST(ExtObjectLifeCycle, ALoadedObjectReducesTheMeshItWasStoredWith) {
    Engine e(Grid(8, false, Bump), false, true);
    bool cancelled = false;
    ASSERT_GT(e.object->Optimize(0.5, cancelled, 1), 0);
    test::Bytes bytes = test::Store([&](CXArchive& ar) { ar.WriteObject(e.object); });
    CXObject* loaded = nullptr;
    test::Load(bytes, [&](CXArchive& ar) { loaded = ar.ReadObject(nullptr); });
    auto* again = dynamic_cast<C3DExtObject*>(loaded);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->GetInitialFaceList(), again->GetFaceList());
    EXPECT_EQ(again->GetInitialPointList(), again->GetShownPointList());
    const int faces = again->GetFaceList()->GetNumberOfFaces(unsigned(FACE_NOT_LIVE), false);
    ASSERT_GT(faces, 0);
    EXPECT_GT(again->Optimize(0.5, cancelled, 1), 0);
    EXPECT_LT(again->GetFaceList()->GetNumberOfFaces(unsigned(FACE_NOT_LIVE), false), faces);
    again->Delete();
}

// A mesh emptied between two runs (its faces, or its faces and points, taken away inside a
// modify block) has nothing left to reduce: the counters a scene optimiser adds up read 0, not
// the last run's.
TEST(ExtObjectLifeCycle, AMeshEmptiedBetweenRunsCountsNothing) {
    for (bool points : {false, true}) {
        SCOPED_TRACE(points ? "faces and points taken" : "faces taken");
        Engine e(Grid(4, false, Bump));
        bool cancelled = false;
        ASSERT_GT(e.object->Optimize(0.5, cancelled, 1), 0);
        ASSERT_GT(e.object->GetRemovedFacesNumber(), 0);
        e.object->BeginModifyInitialObject();
        e.faces->SetSize(0, nullptr, SETSIZE_COMPACT_EXACT);
        if (points) e.points->SetSize(0, false, 0);
        e.object->EndModifyInitialObject(true);
        EXPECT_EQ(e.object->Optimize(0.5, cancelled, 1), 0);
        EXPECT_FALSE(cancelled);
        EXPECT_EQ(e.object->GetInitialRemovablePointsNumber(), 0);
        EXPECT_EQ(e.object->GetInitialRemovableFacesNumber(), 0);
        EXPECT_EQ(e.object->GetRemovedPointsNumber(), 0);
        EXPECT_EQ(e.object->GetRemovedFacesNumber(), 0);
    }
}

TEST(ExtObjectPreparation, ZeroAreaTriangleIsDeletedAndTheCountsFollow) {
    Mesh m = Tetrahedron();
    // Three collinear points: a face without area.
    m.xyz.insert(m.xyz.end(), {2, 0, 0, 3, 0, 0, 4, 0, 0});
    m.faces.push_back({4, 5, 6});
    Engine e(m);
    ASSERT_TRUE(e.Prepare(true));
    EXPECT_EQ(e.object->GetInitialRemovableFacesNumber(), 5);
    ASSERT_TRUE(e.Prepare());
    EXPECT_TRUE(e.WorkingFaces().IsFaceFlagSet(4, FACE_INVALID));
    EXPECT_EQ(e.object->GetInitialRemovableFacesNumber(), 4);
    EXPECT_EQ(e.object->GetInitialRemovablePointsNumber(), 4);
    for (int p = 4; p < 7; ++p) {
        EXPECT_FALSE(e.Flags(p) & POINT_SELECTED);
        EXPECT_EQ(e.Working().GetQuadric(p), CSymMatrix(true));
    }
    EXPECT_EQ(e.object->GetCostArray().GetSize(), 6);
}

TEST(ExtObjectSelection, FrozenBorderPointsAreUnselectedAndNoCandidateJoinsTwoOfThem) {
    const int n = 5;
    Engine e(Grid(n, false, Bump));
    e.object->SetOptimizeMode(OPT_FREEZE_BORDER, true);
    ASSERT_TRUE(e.Prepare());
    for (int p = 0; p < (n + 1) * (n + 1); ++p) {
        EXPECT_EQ(IsBorder(n, p), !(e.Flags(p) & POINT_SELECTED)) << p;
        EXPECT_TRUE(e.Flags(p) & POINT_BORDER ? IsBorder(n, p) : !IsBorder(n, p)) << p;
    }
    EXPECT_EQ(e.object->GetInitialRemovablePointsNumber(), (n - 1) * (n - 1));
    const CXArray<CContractionCost>& costs = e.object->GetCostArray();
    ASSERT_GT(costs.GetSize(), 0);
    // A candidate with one frozen end keeps the frozen point where it is.
    for (int i = 0; i < costs.GetSize(); ++i) {
        const bool b1 = IsBorder(n, costs[i].first), b2 = IsBorder(n, costs[i].second);
        EXPECT_FALSE(b1 && b2) << costs[i].first << " " << costs[i].second;
        if (b1 || b2) {
            EXPECT_EQ(costs[i].GetKind(), unsigned(b1 ? POSITION_FIRST : POSITION_SECOND)) << i;
        }
    }
    ExpectCandidatesConsistent(*e.object);
}

TEST(ExtObjectSelection, ConstrainedBorderPointsGetConstraintPlanes) {
    const int n = 4;
    // Flat grid: face planes are z = 0, so any x or y term of a quadric comes from a constraint.
    Engine plain(Grid(n, false));
    ASSERT_TRUE(plain.Prepare());
    Engine constrained(Grid(n, false));
    constrained.object->SetOptimizeMode(OPT_CONSTRAIN_BORDER, true);
    ASSERT_TRUE(constrained.Prepare());
    for (int p = 0; p < (n + 1) * (n + 1); ++p) {
        const CSymMatrix& q0 = plain.Working().GetQuadric(p);
        const CSymMatrix& q1 = constrained.Working().GetQuadric(p);
        EXPECT_EQ(q0.m[0] + q0.m[4], 0.0) << p;
        if (IsBorder(n, p)) {
            EXPECT_GT(q1.m[0] + q1.m[4], 0.5) << p;
            EXPECT_TRUE((constrained.Flags(p) & (POINT_SELECTED | POINT_CONSTRAINED_FEATURE | POINT_FEATURE)) ==
                        (POINT_SELECTED | POINT_CONSTRAINED_FEATURE | POINT_FEATURE))
                << p;
            // The border point itself lies on its constraint planes.
            EXPECT_NEAR(constrained.object->ComputePointCost(const_cast<CSymMatrix&>(q1), constrained.Working().GetAt(p)),
                        0.0, 1e-9);
        } else {
            EXPECT_EQ(q1, q0) << p;
        }
    }
    // The constraints keep a border point from sliding inwards: moving (0, 2) to (1, 2) costs
    // nothing on the plain quadric and the squared distance 1 on the constrained one.
    const int p = 2 * (n + 1);
    C3DTPoint<float> inwards(1, 2, 0);
    EXPECT_EQ(plain.object->ComputePointCost(plain.Working().GetQuadric(p), inwards), 0.0);
    EXPECT_GE(constrained.object->ComputePointCost(constrained.Working().GetQuadric(p), inwards), 1.0);
}

TEST(ExtObjectSelection, ExcludedMaterialUnselectsEveryPointOfItsFacesAndShowsThemFrozen) {
    const int n = 4;
    Mesh m = Grid(n, false, Bump);
    // Cells left of x = 2 are material 1, the others material 2; column x = 2 is shared.
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) m.materials.insert(m.materials.end(), 2, i < 2 ? 1u : 2u);
    Engine e(m, true, true, SCENEOPTIMIZER_SHOW_SELECTED_FACES);
    EXPECT_TRUE(e.object->SelectMaterial(2, false));
    ASSERT_TRUE(e.Prepare());
    for (int p = 0; p < (n + 1) * (n + 1); ++p) {
        const int x = p % (n + 1);
        EXPECT_EQ(x < 2, (e.Flags(p) & POINT_SELECTED) != 0) << p;
    }
    // Frozen (shown as not optimised): excluded, or touching an unselected point.
    int frozen = 0;
    for (int f = 0; f < e.WorkingFaces().GetSize(); ++f) {
        const bool excluded = e.WorkingFaces().GetFaceMaterial(unsigned(f)) == 2;
        int count;
        const int* idx = e.WorkingFaces().GetIndexes(unsigned(f), count);
        bool all = true;
        for (int k = 0; k < count; ++k) all = all && (e.Flags(idx[k]) & POINT_SELECTED);
        EXPECT_EQ(excluded || !all, e.WorkingFaces().IsFaceFlagSet(unsigned(f), FACE_FROZEN)) << f;
        EXPECT_EQ(!excluded, e.WorkingFaces().IsFaceFlagSet(unsigned(f), FACE_SELECTED)) << f;
        frozen += (excluded || !all) ? 1 : 0;
    }
    EXPECT_GT(frozen, 2 * n * 2);
    e.object->ShowSelectedFaces(false);
    EXPECT_EQ(e.WorkingFaces().GetNumberOfFaces(FACE_FROZEN, true), 0);
    e.object->ShowSelectedFaces(true);
    EXPECT_EQ(e.WorkingFaces().GetNumberOfFaces(FACE_FROZEN, true), frozen);
}

TEST(ExtObjectSelection, UserSelectionModesFreezeTheOtherSide) {
    const int n = 3;
    for (unsigned long long mode : {OPT_SELECTION_ONLY, OPT_PROTECT_SELECTION}) {
        Engine e(Grid(n, false, Bump));
        for (int p = 0; p < (n + 1) * (n + 1); ++p)
            if (p % 2 == 0) e.points->GetAt(p).SetFlags(0x1u, true);
        e.object->SetOptimizeMode(OPTIMIZE_MODE(mode), true);
        ASSERT_TRUE(e.Prepare());
        for (int p = 0; p < (n + 1) * (n + 1); ++p) {
            const bool user = p % 2 == 0;
            EXPECT_EQ(mode == OPT_SELECTION_ONLY ? user : !user, (e.Flags(p) & POINT_SELECTED) != 0) << p;
        }
        // A face is selected with one selected corner, all-selected with three.
        for (int f = 0; f < e.WorkingFaces().GetSize(); ++f) {
            int count;
            const int* idx = e.WorkingFaces().GetIndexes(unsigned(f), count);
            int selected = 0;
            for (int k = 0; k < count; ++k) selected += (e.Flags(idx[k]) & POINT_SELECTED) ? 1 : 0;
            EXPECT_EQ(selected > 0, e.WorkingFaces().IsFaceFlagSet(unsigned(f), FACE_SELECTED));
            EXPECT_EQ(selected == 3, e.WorkingFaces().IsFaceFlagSet(unsigned(f), FACE_ALL_SELECTED));
        }
    }
}

TEST(ExtObjectSymmetry, MirrorPairsAreFeaturesAndTheWorkingMapIsACopyOrTheMapItself) {
    const int n = 2;
    // A quad grid is its own mirror across x = n / 2: every one of its 2 n (n + 1) edges has a
    // mirror edge.
    {
        Engine e(Grid(n, true));
        EXPECT_EQ(e.object->GetSymetricPairsNumber(), 0);
        e.object->SetOptimizeMode(OPT_SYMMETRY_X, true);
        EXPECT_EQ(e.object->GetSymetricPairsNumber(), 2 * n * (n + 1));
        ASSERT_TRUE(e.Prepare());
        C3DPointSymetryMap* initial = e.object->GetInitialSymetryMap();
        C3DPointSymetryMap* working = e.object->GetWorkingSymetryMap();
        ASSERT_NE(initial, nullptr);
        ASSERT_NE(working, nullptr);
        EXPECT_NE(initial, working);
        EXPECT_EQ(working->GetCount(), (n + 1) * (n + 1));
        for (int p = 0; p < (n + 1) * (n + 1); ++p) {
            const int i = p % (n + 1), j = p / (n + 1);
            EXPECT_EQ(working->GetPartner(p), j * (n + 1) + (n - i)) << p;
            EXPECT_TRUE(e.Flags(p) & POINT_FEATURE) << p;
        }
    }
    // In place the working map is the initial one, consumed by the run: it is rebuilt next time.
    Engine e(Grid(n, true), false);
    e.object->SetOptimizeMode(OPT_SYMMETRY_X, true);
    ASSERT_TRUE(e.Prepare());
    EXPECT_EQ(e.object->GetWorkingSymetryMap(), e.object->GetInitialSymetryMap());
    EXPECT_FALSE(e.object->IsExtFlagSet(EXT_SYMMETRY_READY));
}

TEST(ExtObjectLifeCycle, LockAndModifyNestingBatchTheRepreparation) {
    Engine e(Grid(3, false, Bump));
    ASSERT_TRUE(e.Prepare(true));
    ASSERT_TRUE(e.object->IsExtFlagSet(EXT_SELECTION_READY));

    e.object->LockInitialization();
    e.object->LockInitialization();
    EXPECT_TRUE(e.object->SetOptimizeMode(OPT_FREEZE_BORDER, true));
    EXPECT_FALSE(e.object->IsExtFlagSet(EXT_SELECTION_READY));
    e.object->UnlockInitialization();
    EXPECT_FALSE(e.object->IsExtFlagSet(EXT_SELECTION_READY));
    e.object->UnlockInitialization();
    EXPECT_TRUE(e.object->IsExtFlagSet(EXT_SELECTION_READY));
    EXPECT_FALSE(e.Flags(0) & POINT_SELECTED);

    // Extra ends never take the modify count below zero: one Begin opens a modification again.
    e.object->EndModifyInitialObject(false);
    e.object->EndModifyInitialObject(false);
    e.object->BeginModifyInitialObject();
    EXPECT_EQ(e.object->GetShownPointList(), e.points);
    EXPECT_FALSE(e.object->PrepareDisplayedObject(true));
    EXPECT_EQ(e.object->GetShownPointList(), e.points);
    e.object->EndModifyInitialObject(false);
    EXPECT_FALSE(e.object->PrepareDisplayedObject(true));
    EXPECT_EQ(e.object->GetShownPointList(), static_cast<C3DPointList*>(e.object->GetPointList()));
    EXPECT_TRUE(e.object->PrepareDisplayedObject(false));
    EXPECT_EQ(e.object->GetShownPointList(), e.points);

    // Closing a modification with re-initialisation classifies the initial mesh again.
    e.object->BeginModifyInitialObject();
    e.points->GetAt(5).y += 0.25f;
    e.object->EndModifyInitialObject(true);
    EXPECT_TRUE(e.object->IsExtFlagSet(EXT_PREPARED | EXT_SELECTION_READY | EXT_WORKING_COPY));
    EXPECT_EQ(e.Working().GetAt(5).y, e.points->GetAt(5).y);
}

// The home slot and home record the contraction loop prefetches before its lookups: the home
// record is the first record a lookup of the pair compares, so it is the pair's own record when
// that sits at home, another pair's when the slot was taken first, and nothing when the slot is
// free or deleted. After a growth rebuild (no deleted slots) every present pair's home slot is
// occupied.
TEST(ContractionPairIndex, HomeSlotAndHomeRecordFollowThePlacement) {
    std::vector<CContractionCost> recs(400);
    for (size_t i = 0; i < recs.size(); ++i) {
        recs[i] = CContractionCost{};
        recs[i].first = int(i / 20);
        recs[i].second = int(i / 20 + 1 + i % 20);
    }
    CContractionPairIndex index;
    CContractionCost* a = &recs[0];
    ASSERT_NE(index.GetHomeSlot(a), nullptr);
    EXPECT_EQ(index.GetHomeRecord(a), nullptr);
    ASSERT_EQ(index.Insert(a), 1);
    EXPECT_EQ(index.GetHomeRecord(a), a);

    // A pair with the same home slot as a: its lookup meets a first.
    CContractionCost* b = nullptr;
    for (size_t i = 1; i < recs.size() && !b; ++i)
        if (index.GetHomeSlot(&recs[i]) == index.GetHomeSlot(a)) b = &recs[i];
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(index.Insert(b), 1);
    EXPECT_EQ(index.GetHomeRecord(b), a);
    EXPECT_EQ(*index.Find(b), b);
    ASSERT_EQ(index.Remove(a), 1);
    EXPECT_EQ(index.GetHomeRecord(b), nullptr);
    EXPECT_EQ(*index.Find(b), b);

    for (CContractionCost& r : recs) index.Insert(&r);
    EXPECT_GT(index.GetCapacity(), 23u);
    for (CContractionCost& r : recs) {
        EXPECT_NE(index.GetHomeRecord(&r), nullptr);
        EXPECT_EQ(*index.Find(&r), &r);
    }

    index.Free();
    EXPECT_EQ(index.GetHomeSlot(a), nullptr);
    EXPECT_EQ(index.GetHomeRecord(a), nullptr);
}

}  // namespace
}  // namespace kestovar
