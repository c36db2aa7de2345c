// C3DExtObject: the contraction-ready polymesh the simplification engine works on.
//
// It wraps the caller's mesh (the initial point list, face list and channels, shared by
// reference), derives a triangulated working copy whose points carry quadrics (CExtPointList),
// marks which points and faces may be touched, computes the quadrics and constraint planes, builds
// the candidate contractions (one per selected edge) with their costs in a CostHeap beside a pair
// index, and contracts edges until a target is reached (Optimize). Every preparation stage has a
// ready flag in the ExtObjectFlags word; settings that change what a stage computes clear its
// flag and invalidate the optimisation, and the next InitOptimization redoes only the stale
// stages:
//
//   EXT_PREPARED -> EXT_SELECTION_READY -> EXT_WORKING_COPY -> EXT_COSTS_READY
//     -> EXT_OPTIMIZATION_RUN / EXT_OPTIMIZATION_DONE
//
// With the optimiser's working-copy bit the working lists are new lists and the initial mesh is
// never modified; otherwise the working lists are the initial lists themselves and the object is
// simplified in place.
//
// Threads: one object is used by one thread at a time. Cost evaluation keeps its scratch in the
// object, so ComputePairCost is not re-entrant for one object.
#pragma once

#include <cstdint>

#include "kestovar/core/array.h"
#include "kestovar/core/export.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/point.h"
#include "kestovar/mesh/face_graph.h"
#include "kestovar/mesh/face_graph_edit.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/object.h"
#include "kestovar/simplify/cost_heap.h"
#include "kestovar/simplify/ext_point.h"
#include "kestovar/simplify/quadric.h"

namespace kestovar {

class C3DSceneNode;
class CSceneOptimizer;
class CTrackContractions;
class C3DPointSymetryMap;
class C3DExtObject;
class CMultiresolutionObject;
class CMultiresolutionObject1;
class CDependentChannels;

// Bits of the 64-bit optimisation mode word. Feature groups hold up to three bits (keep,
// constrain, freeze); the constrain and freeze bits act only together with their group's keep bit
// (the border group excepted, whose three bits stand alone).
enum OPTIMIZE_MODE : unsigned long long {
    OPT_PROTECT_SELECTION = 0x1,        // points with the user-selection bit are frozen
    OPT_SELECTION_ONLY = 0x2,           // points without the user-selection bit are frozen
    OPT_SELECTION_MASK = 0x3,
    OPT_KEEP_BORDER = 0x10,             // border points: feature, move factor 5 (4 on a shared edge)
    OPT_CONSTRAIN_BORDER = 0x20,        // as keep, plus constraint planes on every one-face edge
    OPT_FREEZE_BORDER = 0x40,           // border points are frozen
    OPT_BORDER_MASK = 0x70,
    OPT_KEEP_MATERIAL = 0x80,           // material-frontier points: feature, move factor 3
    OPT_CONSTRAIN_MATERIAL = 0x100,     // constraint planes between two material-frontier points
    OPT_FREEZE_MATERIAL = 0x200,        // material-frontier points are frozen
    OPT_MATERIAL_SUB_MASK = 0x300,
    OPT_KEEP_UVW = 0x400,               // UV seams: move factor 4, no optimal positions, UVs merged
    OPT_CONSTRAIN_UVW = 0x800,          // constraint planes along seams; UV junctions frozen
    OPT_FREEZE_UVW = 0x1000,            // UV-seam and UV-junction points are frozen
    OPT_UVW_SUB_MASK = 0x1800,
    OPT_KEEP_VC = 0x2000,               // vertex-colour frontier points: feature, move factor 4
    OPT_CONSTRAIN_VC = 0x4000,          // constraint planes along colour frontiers
    OPT_FREEZE_VC = 0x8000,             // colour-frontier points are frozen
    OPT_VC_SUB_MASK = 0xC000,
    OPT_KEEP_NORMALS = 0x10000,         // normal breaks: move factor 2, no optimal positions
    OPT_CONSTRAIN_NORMALS = 0x20000,    // constraint planes along normal breaks
    OPT_FREEZE_NORMALS = 0x40000,       // normal-break points are frozen
    OPT_NORMALS_SUB_MASK = 0x60000,
    OPT_SYMMETRY_Z = 0x80000,           // mirror contractions across z = mid-height of the box
    OPT_SYMMETRY_Y = 0x100000,
    OPT_SYMMETRY_X = 0x200000,
    OPT_SYMMETRY_MASK = 0x380000,
    OPT_CHECK_COMPACITY = 0x400000,     // compactness test of VerifyPairQuality
    OPT_CHECK_FLIP = 0x800000,          // face-flip test of VerifyPairQuality
    OPT_STOP_ON_BAD = 0x1000000,        // stop when only rejected candidates remain
    OPT_ENDPOINTS_ONLY = 0x2000000,     // the merged point is always one of the two end points
    OPT_KEEP_CORNERS = 0x4000000,       // 3D and 2D corners: feature, move factor 2
    OPT_CONSTRAIN_CORNERS = 0x8000000,  // as keep, plus constraint planes of weight 0.2 at corners
    OPT_FREEZE_CORNERS = 0x10000000,    // corner points are frozen
    OPT_CORNERS_MASK = 0x1C000000,
    OPT_TRIANGULATE_ALL = 0x400000000,  // the working copy triangulates every face
};

// Bit 0 of the extended mode: record which initial faces are selected before triangulation, in
// the object's custom data under EXT_SELECTED_FACES_KEY.
constexpr unsigned long long OPT_EXT_RECORD_SELECTED_FACES = 0x1;
constexpr uint32_t EXT_SELECTED_FACES_KEY = 0x54524441;  // "TRDA"
// Custom-data keys of the point and face orders written by the multiresolution hand-off.
constexpr uint32_t EXT_POINT_ORDER_KEY = 0x504F5244;  // "PORD"
constexpr uint32_t EXT_FACE_ORDER_KEY = 0x464F5244;   // "FORD"

// State word of a C3DExtObject.
enum ExtObjectFlags : unsigned int {
    EXT_TRIANGLES_ONLY = 0x100,        // every initial face has at most 3 corners
    EXT_RESERVED_200 = 0x200,          // cleared by preparation and mode changes, set nowhere here
    EXT_WORKING_COPY = 0x10000,        // the working copy is built
    EXT_SELECTION_READY = 0x20000,     // point and face selection flags are up to date
    EXT_PREPARED = 0x40000,            // initial mesh classified (borders, corners, frontiers)
    EXT_UVW_FLAGS_READY = 0x80000,
    EXT_VC_FLAGS_READY = 0x100000,
    EXT_NORMAL_FLAGS_READY = 0x200000,
    EXT_SYMMETRY_READY = 0x400000,
    EXT_RESERVED_1000000 = 0x1000000,  // cleared by mode changes, set nowhere here
    EXT_COSTS_READY = 0x2000000,       // quadrics, constraints and candidate heap built
    EXT_OPTIMIZATION_RUN = 0x4000000,  // Optimize ran its contraction loop
    EXT_OPTIMIZATION_DONE = 0x8000000, // the loop ended without cancellation
};

// Flags of Optimize.
enum _OPTIMIZE_FLAGS : unsigned int {
    OPTIMIZE_RELATIVE = 0x1,  // the ratio is a fraction of the initially removable count
    OPTIMIZE_POINTS = 0x20,   // count points (else faces)
};

// Pair index of the candidates: a set of CContractionCost* keyed by (first, second), with the
// placement, probing and growth rules of CHashTable (hashmap.h): home slot
// CContractionCostPairMethods::Hash modulo a prime slot count, probes at h, h+1, h+4, h+9, ...,
// rebuilt when occupied plus deleted slots reach half the slots. Unlike a CHashTable of pointers,
// each 16-byte slot holds the pair's two indices beside the record's address, so a probe decides
// on the slot alone: the records lie scattered in memory, and comparing against each record a
// probe passed cost a miss per slot in the contraction loop's and the preparation's insertions.
// A slot whose pair is (-1, -1) is free: never used when its record address is null, deleted
// otherwise. The set's content does not depend on the layout, so neither does any result.
class KESTOVAR_API CContractionPairIndex : public CXAllocated {
public:
    // Slots for NextPrime(size), allocated at once.
    explicit CContractionPairIndex(unsigned size = 21);
    ~CContractionPairIndex();
    CContractionPairIndex(const CContractionPairIndex&) = delete;
    CContractionPairIndex& operator=(const CContractionPairIndex&) = delete;

    int GetCount() const { return int(m_nCount); }
    bool IsEmpty() const { return m_nCount == 0; }
    // Slot count (0 after Free until the next insertion).
    unsigned GetCapacity() const { return m_nCapacity; }
    // Occupied plus deleted slots.
    unsigned GetFill() const { return m_nFill; }

    // Discards every entry and starts over with NextPrime(size) never-used slots.
    void InitHashTable(unsigned size);
    // Releases the slots; the next insertion re-creates NextPrime(requested size) slots.
    void Free();
    // Removes every entry but keeps the slot count.
    void RemoveAll();

    // Adds `rec` under its current (first, second); 1 when the pair was new, 0 when a record of
    // that pair was already present (it stays). The pair (-1, -1) marks free slots and is never
    // indexed: its insertion returns 0 and its look-ups find nothing.
    int Insert(CContractionCost* rec);
    // Adds `rec`, whose pair the caller knows to be absent (for instance just removed): the
    // slot Insert would choose, found without walking the probe on to a never-used slot, which
    // only an insertion that must check for the pair needs. Not for the pair (-1, -1).
    void InsertNew(CContractionCost* rec);
    // The stored record of `key`'s pair (as the address of the slot's record field), or null.
    CContractionCost* const* Find(const CContractionCost* key) const {
        const Slot* s = Lookup(PairOf(key));
        return s ? &s->rec : nullptr;
    }
    // Removes the record of `key`'s pair; 1 when there was one. With `rehash`, a table left with
    // 22 or more entries is then rebuilt if it is at its growth threshold.
    int Remove(const CContractionCost* key, bool rehash = false);

    // The home slot of `key`'s pair (null while no slot exists), for a prefetch.
    const void* GetHomeSlot(const CContractionCost* key) const {
        return m_pSlots ? &m_pSlots[Home(PairOf(key))] : nullptr;
    }
    // The record held by the home slot of `key`'s pair when that slot is occupied (else null).
    // Read the home slot only once it is cached.
    const CContractionCost* GetHomeRecord(const CContractionCost* key) const {
        if (!m_pSlots) return nullptr;
        const Slot& s = m_pSlots[Home(PairOf(key))];
        return s.pair != kFreePair ? s.rec : nullptr;
    }

private:
    struct Slot {
        CContractionCost* rec;
        uint64_t pair;  // first in the low half, second in the high half
    };
    static constexpr uint64_t kFreePair = ~uint64_t(0);
    static uint64_t PairOf(const CContractionCost* r) {
        return uint64_t(uint32_t(r->first)) | (uint64_t(uint32_t(r->second)) << 32);
    }
    // CContractionCostPairMethods::Hash of the pair.
    static unsigned HashOf(uint64_t pair) { return 4u * uint32_t(pair) + 16u * uint32_t(pair >> 32); }
    unsigned Home(uint64_t pair) const { return detail::FastMod(HashOf(pair), m_nModMagic, m_nCapacity); }
    // The occupied slot of `pair`, or null.
    const Slot* Lookup(uint64_t pair) const {
        if (!m_pSlots || pair == kFreePair) [[unlikely]]
            return nullptr;
        const unsigned capacity = m_nCapacity;
        unsigned pos = Home(pair);
        for (unsigned step = 1;; step += 2) {
            const Slot& s = m_pSlots[pos];
            if (s.pair == pair) return &s;
            if (!s.rec) return nullptr;
            pos += step;
            if (pos >= capacity) pos -= capacity;
        }
    }
    void Allocate(unsigned capacity);
    void Rebuild(unsigned capacity);
    // The growth rule of CHashTable: nothing below the threshold, else a rebuild.
    void GrowIfFull();

    unsigned m_nRequested;
    unsigned m_nCapacity = 0;
    unsigned m_nFill = 0;
    unsigned m_nCount = 0;
    Slot* m_pSlots = nullptr;
    uint64_t m_nModMagic = 0;
};

// Material identifier map (excluded materials).
typedef CHashMap<unsigned int, unsigned int, unsigned int, CHashMethods<unsigned int>> CMaterialIDMap;

// A multiresolution object built from a contraction-ready object and not yet handed over
// (C3DExtObject::BuildMultiresolutionObject): the new object, of which it holds one reference,
// the record and the orders the hand-over renumbers the record to. Destroyed uncommitted, it
// releases the new object, and the contraction-ready object stays as it was.
class KESTOVAR_API CMultiresHandOff : public CXAllocated {
public:
    CMultiresHandOff() = default;
    ~CMultiresHandOff();
    CMultiresHandOff(const CMultiresHandOff&) = delete;
    CMultiresHandOff& operator=(const CMultiresHandOff&) = delete;

    // As the library's objects are released (XHeld, XRelease).
    void Delete() { delete this; }
    CMultiresolutionObject1* GetObject() const { return m_pObject; }
    bool IsCommitted() const { return m_bCommitted; }
    // Gives the held reference to the caller.
    CMultiresolutionObject1* Detach() {
        CMultiresolutionObject1* object = m_pObject;
        m_pObject = nullptr;
        return object;
    }

private:
    friend class C3DExtObject;
    CMultiresolutionObject1* m_pObject = nullptr;
    CTrackContractions* m_pTrack = nullptr;  // one reference; null when nothing was recorded
    CXArray<unsigned int> m_pointRemap;      // old -> new point index
    CXArray<unsigned int> m_faceRemap;       // old -> new face index
    const C3DExtObject* m_pSource = nullptr;  // the object that built it
    unsigned int m_contractions = 0;          // the record's contractions when it was built
    bool m_bCommitted = false;
};

class KESTOVAR_API C3DExtObject : public C3DObject {
    KX_DECLARE_SERIAL(C3DExtObject)
    friend class CMultiresolutionObject;  // keeps the list of objects that name this one

public:
    C3DExtObject();
    // The lists become the shown lists and the initial lists: the object takes its own
    // references (the caller keeps and later releases its own) and releases their spare
    // capacity. Any may be null.
    C3DExtObject(C3DPointList* points, C3DFaceList* faces, CDependentChannels* channels);
    // Shares `other`'s initial lists (one more reference each) and copies its settings (modes,
    // tolerances, excluded materials); nothing is prepared and no optimiser is attached.
    C3DExtObject(const C3DExtObject& other);
    C3DExtObject& operator=(const C3DExtObject&) = delete;
    ~C3DExtObject() override;

    // Shown-list setters of the base class; the object also takes the new list as its initial
    // list and drops its preparation and record (attached to an optimiser or not: the next run
    // prepares the object as it then is). Unlike the point and
    // face lists (see WorkingListsEditedOutside), the channel set shared with the host is not
    // watched: a channel added to or taken out of it between two runs does not make the next run
    // prepare the mesh again.
    void SetPointList(C3DPointList* points, bool deleteOld) override;
    void SetFaceList(C3DFaceList* faces, bool deleteOld) override;
    void SetChannels(CDependentChannels* channels, bool deleteOld) override;
    // Stored as a geometric object (modes, tolerances and the work are not stored); a loaded
    // object takes its loaded lists as its initial mesh, as a new object does.
    void Serialize(CXArchive& ar) override;

    // ---- ownership ----
    // Effective only once (while no optimiser and no node are set). With the optimiser's
    // working-copy bit the object creates new empty working lists; otherwise the working lists
    // are the initial lists and shown channels (one more reference each; the initial point list
    // must then be a CExtPointList). Returns whether it took effect.
    bool SetOptimizer(CSceneOptimizer& optimizer, C3DSceneNode* node);
    // Forgets `optimizer` and the node when the object is bound to it (the optimiser lets go of
    // the scene or is destroyed): a later SetOptimizer takes effect again. The lists stay as
    // they are.
    void DetachOptimizer(const CSceneOptimizer* optimizer);
    CSceneOptimizer* GetOptimizer() const { return m_pOptimizer; }
    // The node the object was bound through; null once that node let go of it (an object shown
    // by several nodes lives on when one of them goes).
    C3DSceneNode* GetNode() const { return m_pNode; }
    void OnLeaveNode(const C3DSceneNode* node) override;
    // The working point list (hides the base class's shown list; use GetShownPointList for that).
    CExtPointList* GetPointList() const { return m_pWorkingPoints; }
    C3DPointList* GetShownPointList() const { return m_pPointList; }
    C3DFaceList* GetWorkingFaceList() const { return m_pWorkingFaces; }
    CDependentChannels* GetWorkingChannels() const { return m_pWorkingChannels; }
    C3DPointList* GetInitialPointList() const { return m_pInitialPoints; }
    C3DFaceList* GetInitialFaceList() const { return m_pInitialFaces; }
    CDependentChannels* GetInitialChannels() const { return m_pInitialChannels; }
    C3DPointSymetryMap* GetInitialSymetryMap() const { return m_pInitialSymetryMap; }
    C3DPointSymetryMap* GetWorkingSymetryMap() const { return m_pWorkingSymetryMap; }
    CTrackContractions* GetTrackInfo() const { return m_pTrackInfo; }
    const CMaterialIDMap& GetExcludedMaterials() const { return m_excludedMaterials; }

    // ---- settings (see OPTIMIZE_MODE; all return whether anything changed) ----
    // One value of a group at a time (the group's other bits are cleared).
    bool SetOptimizeMode(OPTIMIZE_MODE mode, bool set);
    // The whole word, group by group, inside one lock (the bool is not used).
    bool SetOptimizeMode(unsigned long long mode, bool set);
    // ORs `bits` into the extended mode (the bool is not used).
    bool SetOptimizeExtMode(unsigned long long bits, bool set);
    unsigned long long GetOptimizeMode() const { return m_optimizeMode; }
    unsigned long long GetOptimizeExtMode() const { return m_optimizeExtMode; }
    // Texture-coordinate tolerance of seam detection, clamped to [0, 1] (UV units).
    bool SetUVWTolerance(float tolerance);
    float GetUVWTolerance() const;
    // Vertex-colour tolerance of frontier detection, clamped to [0, 255] (colour levels).
    bool SetVCTolerance(int tolerance);
    int GetVCTolerance() const;
    // Angle between specified normals that makes a break, clamped to [0, pi/2] radians.
    bool SetNormalThreshold(double radians);
    double GetNormalThreshold() const;
    // Mirror match distance as a fraction of a twentieth of the extent across the plane,
    // clamped to [0, 1].
    bool SetSymetryTolerance(float tolerance);
    float GetSymetryTolerance() const { return m_symetryTolerance; }
    // Cost limit of the loop (quadric units: squared coordinate units); -1.0 switches it off.
    bool SetConstraintRatio(float ratio);
    float GetConstraintRatio() const { return m_constraintRatio; }
    // 0.0 is stored as 1e-4 (as float), any other value as min(1.0, value).
    bool SetProgressiveThreshold(double threshold);
    double GetProgressiveThreshold() const { return m_progressiveThreshold; }
    // select = true removes the material from the excluded set, false adds it.
    bool SelectMaterial(unsigned int materialID, bool select);
    bool SelectAllMaterials();

    // ---- queries ----
    bool ContainNormalInfo() const;
    bool ContainUVWInfo() const;
    bool ContainVCInfo() const;
    bool ContainMaterialFrontier() const { return m_bMaterialFrontier; }
    bool ContainSelection() const { return true; }
    // Each is 0 unless the optimiser says the node can be optimised and the selection is ready.
    int GetInitialRemovablePointsNumber() const;
    int GetInitialRemovableFacesNumber() const;
    int GetRemovedPointsNumber() const;
    int GetRemovedFacesNumber() const;
    double GetLastRatio() const { return m_lastRatio; }
    // Number of distinct mirror edges of the initial faces (0 without a symmetry axis).
    int GetSymetricPairsNumber();

    // ---- state flags ----
    unsigned int GetExtFlags() const { return m_extFlags; }
    void SetExtFlag(ExtObjectFlags flag, bool set) { SetExtFlags(unsigned(flag), set); }
    void SetExtFlags(unsigned int flags, bool set) { m_extFlags = set ? (m_extFlags | flags) : (m_extFlags & ~flags); }
    // True when all given bits are set.
    bool IsExtFlagSet(unsigned int flags) const { return (m_extFlags & flags) == flags; }

    // ---- life cycle ----
    // Brings the object up to date: classification, selection, working copy and, unless
    // `prepareOnly`, quadrics, constraints and the candidate heap. Returns false only when the
    // user cancelled through the optimiser (the next call continues).
    bool InitOptimization(bool prepareOnly);
    // Drops the working copy (when separate), the symmetry copy, the candidates and the tracker.
    void InvalidateOptimization();
    // Clears EXT_PREPARED and runs InitOptimization(true).
    void ResetOptimization();
    void LockInitialization();
    void UnlockInitialization();
    void BeginModifyInitialObject();
    void EndModifyInitialObject(bool reinit);
    // With the optimiser's working-copy bit: shows the working lists when `showWorking` and no
    // modification is open, else the initial lists. Returns whether the working points were
    // shown before.
    bool PrepareDisplayedObject(bool showWorking);
    // Clears FACE_FROZEN on the working faces; with `show`, sets it on faces that are not all
    // selected or whose material is excluded.
    void ShowSelectedFaces(bool show);

    // ---- point-flag initialisers (each false when its ready flag is already set) ----
    bool InitUVWFlags();
    bool InitVCFlags();
    bool InitNormalFlags();
    // Builds the initial symmetry map from the initial points with the mode's axis.
    bool InitSymetryMap();

    // ---- contraction loop ----
    // Contracts down to a target; see _OPTIMIZE_FLAGS. Returns the total number of removed points
    // (OPTIMIZE_POINTS) or faces since preparation, 0 when nothing was done or on cancellation.
    // A target that keeps more than the object has left restarts from the initial mesh, which only
    // the optimiser's SCENEOPTIMIZER_WORKING_COPY bit keeps: without it the object was reduced in
    // place, and such a target does nothing (returns 0, the mesh stays as it is); a change of
    // settings then prepares the reduced mesh as the new initial one, and ratios count from it.
    // Under a symmetry mode an object reduced in place is prepared again by every call (its
    // symmetry map is rebuilt from its current points), so there every ratio counts from the mesh
    // the call starts from. Lists edited between calls other than through the engine (a Clean,
    // points or faces added or removed, a transform; in place these are the shown lists) are
    // prepared again as they are: with the working-copy bit the run restarts from the initial
    // mesh, in place the edited mesh becomes the new initial one.
    int Optimize(double ratio, bool& cancelled, unsigned int flags);

    // ---- multiresolution hand-off ----
    // A new multiresolution object (the caller's) holding the reduced mesh and the recorded
    // contractions; null without recording or on cancellation. It names this object's optimiser
    // (for progressive ratios): a caller that keeps it beyond the optimiser's life calls its
    // DetachOptimizer first. (The objects of an optimiser's own multiresolution scene are
    // unbound by the optimiser.)
    CMultiresolutionObject1* GetMultiresolutionObject(bool& cancelled);
    // The same hand-off in two steps, for a scene whose objects are all built before any is
    // handed over, so that a cancel or a failure in between leaves every object as it was:
    // BuildMultiresolutionObject makes the new object (null without recording or on
    // cancellation) and changes nothing this object shows or reduces; the commit moves the
    // record to the new object and gives up this object's optimisation (once; the pending
    // hand-off keeps its reference to the new object). The commit reports no progress and asks
    // for no cancel: the host's callback is not called. It refuses (false, nothing done) a
    // hand-off another object built, or one whose record changed since (another hand-off took
    // it, or a run went on or started over).
    CMultiresHandOff* BuildMultiresolutionObject(bool& cancelled);
    bool CommitMultiresolutionObject(CMultiresHandOff& handOff);

    // ---- cost evaluation ----
    // v^T Q v with v = (x, y, z, 1), in double.
    double ComputePointCost(CSymMatrix& q, const C3DTPoint<float>& v);
    // The minimum of q into `out` when its 3x3 block is safely invertible (relative determinant
    // test at 1e-12); false otherwise.
    bool InverseExist(const CSymMatrix& q, C3DTPoint<float>& out);
    // The best t along p2 + t (p1 - p2), clamped to [0, 1], with its flag byte, into `rec`; false
    // when the quadric has no minimum along the line.
    bool FindBestPosOnLine(const CSymMatrix& q, const C3DTPoint<float>& p1, const C3DTPoint<float>& p2,
                           CInitialCost* rec);
    // How reluctant point `index` (record `p`) is to move; sets noFreePosition (never clears it)
    // when the point must not take a free position.
    _MOVE_FACTOR GetPointMoveFactor(const C3DTPoint<float>* p, int index, bool& noFreePosition);
    // Fills cost, position and flags of `rec` from rec->first and rec->second (the face list is
    // not read). Allocates nothing.
    void ComputePairCost(CExtPointList& points, C3DFaceList& faces, CInitialCost* rec);
    // Sets the generation bits (modulo 8), inserts `rec` into the heap and, when the pair is new,
    // into the pair index.
    void InsertCost(CContractionCost* rec, int generation);
    // The merged point of `rec` from the current coordinates of its two points.
    static void GetContractionPosition(const CInitialCost& rec, const C3DPointList& points, C3DTPoint<float>& out);

    // ---- candidate structures (read access for the loop, the tracker and tests) ----
    CostHeap& GetCostHeap() { return m_heap; }
    CContractionPairIndex& GetPairIndex() { return m_pairIndex; }
    CXArray<CContractionCost>& GetCostArray() { return m_costs; }
    // The bounding box of the initial points and that box grown by 5 % of its extent per side.
    void GetBoundingBoxes(C3DTPoint<float>& min, C3DTPoint<float>& max, C3DTPoint<float>& enlargedMin,
                          C3DTPoint<float>& enlargedMax) const {
        min = m_bboxMin;
        max = m_bboxMax;
        enlargedMin = m_enlargedMin;
        enlargedMax = m_enlargedMax;
    }

protected:
    // ---- preparation steps ----
    bool CleanAndPrepareObject();
    bool InitOptimizedFacesAndPoints();
    bool InitSelectionMode(C3DFaceList& faces, C3DPointList& points);
    void SetSelectedPoints(C3DPointList& points, C3DFaceList& faces);
    void SetSelectedFaces(C3DPointList& points, C3DFaceList& faces);
    void InitPointsQuadric(C3DFaceList* faces);
    void InitConstraints(C3DFaceList* faces);
    void InitOrderedCostList();
    // Member defaults.
    void InitObject();
    // Counts POINT_SELECTED working points and FACE_SELECTED working faces into the initial
    // removable counters.
    void CountRemovableElements();
    // Creates the contraction tracker when there is none and reserves room for the candidates of
    // the heap.
    void StartTracking();
    // Whether the optimiser (when any) lets this object's node be optimised.
    bool CanOptimize() const;
    // The optimiser's cancel check (false without optimiser).
    bool CheckCancel() const;
    // Whether the optimiser's flag word has all bits of `flags` (false without optimiser).
    bool IsOptimizerFlagSet(unsigned int flags) const;
    // Points the shown lists of the base class at the given lists (references follow).
    void ShowLists(C3DPointList* points, C3DFaceList* faces, CDependentChannels* channels);
    // Releases every list reference held by the object.
    void ReleaseLists();
    // Makes the working lists the initial lists (simplification in place); a plain initial point
    // list is first replaced by an extended copy in its initial and shown roles.
    void AdoptInitialListsForWork();
    // A shown list replaced by the host: drops the work and the working lists (in place they
    // were the replaced initial lists) and, bound to an optimiser, makes them again, so that the
    // next preparation starts from the new initial lists.
    void RestartFromNewInitialLists();
    // The working lists of an object bound to an optimiser: new empty ones with the optimiser's
    // working-copy bit, else the initial lists themselves (AdoptInitialListsForWork).
    void MakeWorkingLists();
    // Notes the working lists' change stamps, where the engine leaves them consistent (after a
    // preparation and after a run).
    void NoteWorkingStamps();
    // Whether the working lists were edited since the engine last left them (a Clean, points or
    // faces added or removed, a transform, by the host or through the shown lists in place), or,
    // with a separate working copy, the initial lists the copy was made from: the candidates and
    // quadrics then describe another mesh, and the next preparation starts over from the lists
    // as they are.
    bool WorkingListsEditedOutside() const;

    // ---- contraction loop steps ----
    CONTRACTION_PRIORITY VerifyPairQuality(CExtPointList& points, C3DFaceList& faces, CContractionCost* rec, int kept,
                                           int removed, const C3DTPoint<float>& newPos);
    unsigned int ReplacePointInFaceList(unsigned int removed, unsigned int kept, CContractionCost* const rec);
    void RemoveCost(int point, CXArray<CContractionCost*, CContractionCost*>& reuse, unsigned int& count);
    void UpdateCost(int point, CXArray<CContractionCost*, CContractionCost*>& reuse, int generation);
    // Moves the removed point's faces onto the kept point in the working point-to-face graph;
    // returns the kept point's face count (see ext_object_replace.cpp).
    int MergePointFaces(unsigned int removed, unsigned int kept);
    // Gives every used record of the working point-to-face graph kGraphRoomMargin values of room
    // (building the graph when absent); contents unchanged.
    void WidenPointToFaceGraph();

    // ---- data, in the order of the object's table ----
    CExtPointList* m_pWorkingPoints;          // the triangulated copy's points, with quadrics
    C3DFaceList* m_pWorkingFaces;             // the triangulated copy's faces
    CDependentChannels* m_pWorkingChannels;   // the copy's attribute channels
    C3DFaceList* m_pInitialFaces;             // the caller's mesh (shared, not copied)
    C3DPointList* m_pInitialPoints;
    CDependentChannels* m_pInitialChannels;
    C3DPointSymetryMap* m_pInitialSymetryMap;  // mirror pairs of the initial mesh
    C3DPointSymetryMap* m_pWorkingSymetryMap;  // consumed as contractions use pairs
    CTrackContractions* m_pTrackInfo;          // null unless the optimiser records
    CXArray<CContractionCost> m_costs;         // one record per candidate edge
    CContractionPairIndex m_pairIndex;         // live candidates by (first, second)
    CostHeap m_heap;
    double m_lastRatio;
    double m_secondRatio;
    double m_progressiveThreshold;
    int m_initialRemovablePoints;
    int m_initialRemovableFaces;
    int m_removedPoints;
    int m_removedFaces;
    unsigned long long m_optimizeMode;
    unsigned long long m_optimizeExtMode;
    bool m_bShowSelectedFaces;                 // shown-faces selection
    unsigned int m_workingPointsStamp;         // NoteWorkingStamps: the working lists' change stamps
    unsigned int m_workingFacesStamp;
    unsigned int m_initialPointsStamp;  // and the initial lists'
    unsigned int m_initialFacesStamp;
    CMaterialIDMap m_excludedMaterials;
    CSceneOptimizer* m_pOptimizer;             // not owned
    C3DSceneNode* m_pNode;                     // not owned
    // The multiresolution objects that name this one, linked through their own member (see
    // CMultiresolutionObject::SetExtObject); none owned.
    CMultiresolutionObject* m_pFirstMultires;
    unsigned int m_extFlags;                   // ExtObjectFlags
    bool m_bMaterialFrontier;
    int m_modifyCount;
    int m_lockCount;
    int m_vcTolerance;
    float m_uvwTolerance;
    float m_symetryTolerance;
    double m_normalThreshold;                  // radians
    float m_constraintRatio;
    // Evaluation scratch (ComputePairCost and the members it calls).
    CSymMatrix m_scratchQuadric;               // summed quadric of the pair
    C3DTPoint<float> m_scratchPoint;           // candidate position
    C3DTVector<double> m_scratchVector1;
    C3DTVector<double> m_scratchVector2;
    double m_scratchInverse[9];                // inverse of the 3x3 block, row-major
    C3DTPoint<float> m_bboxMin;                // box of the initial points
    C3DTPoint<float> m_bboxMax;
    C3DTPoint<float> m_enlargedMin;            // grown by 5 % of the extent per side
    C3DTPoint<float> m_enlargedMax;
    // Room of the working point-to-face graph left by removed points: a kept point whose record
    // outgrows its own room takes the room of an emptied record instead of a new record at the end
    // of the graph's buffer, so the graph stops growing once the loop has run for a while.
    CGraphRoomPool m_graphRoom;
    // Values of room WidenPointToFaceGraph gives every used record.
    static constexpr unsigned kGraphRoomMargin = 3;
};

}  // namespace kestovar
