// Face taggers: the strategies driven by CFaceList::TagFaces, the flood fill that grows groups of
// connected faces. The driver walks the live faces in index order; each face not yet in a group
// seeds a new group that grows breadth-first across shared edges (edge mode) or shared points
// (point mode). The tagger decides which neighbours join (BelongToGroup) and what to do with
// each finished group (GroupFinished).
#pragma once

#include "kestovar/core/array.h"
#include "kestovar/core/containers.h"
#include "kestovar/core/export.h"
#include "kestovar/core/object.h"
#include "kestovar/mesh/edge.h"

namespace kestovar {

class CGeomInfo;
class C3DPointList;
class CFaceList;
class C3DGeomObject;
namespace detail {
class CEdgeFaceTable;
}

class KESTOVAR_API CFaceTagger : public CXAllocated {
public:
    CFaceTagger() : m_pGeom(nullptr), m_pPoints(nullptr), m_pFaces(nullptr) {}
    virtual ~CFaceTagger();
    CFaceTagger(const CFaceTagger&) = delete;
    CFaceTagger& operator=(const CFaceTagger&) = delete;

    // Preparation before the first group; false cancels the run. True in the base.
    virtual bool InitProcess(CGeomInfo* geom);
    // After the last group. Nothing in the base.
    virtual void EndProcess(unsigned int groupCount);
    // A group numbered `group` (from 0) starts at `seedFace`. Nothing in the base.
    virtual void BeginNewGroup(unsigned int group, unsigned int seedFace);
    // Point mode: the faces `candidates` (count of them, not yet in a group) share `point` with
    // `face`. An entry overwritten with 0xFFFFFFFF stays out; false keeps them all out. True in
    // the base.
    virtual bool BelongToGroup(unsigned int face, unsigned int point, int* candidates, unsigned int count);
    // Edge mode: the same for the faces sharing `edge` with `face`.
    virtual bool BelongToGroup(unsigned int face, C3DEdge& edge, int* candidates, unsigned int count);
    // The group is complete: its faces in the order they joined.
    virtual void GroupFinished(const int* faces, unsigned int count) = 0;

protected:
    friend class CFaceList;
    // The faces around edge (a, b) of face f, as CFaceList::GetFacesConnectedToEdge gives them;
    // during an edge-mode run, from the driver's table of the graph's lists. Null (count 0)
    // before the tagger's first run. `list`, when given, receives the number of the table's
    // list, the same for every face around the edge, or 0xFFFFFFFF when the answer is not one.
    const int* FacesAroundEdge(unsigned int f, unsigned int a, unsigned int b, int& count,
                               unsigned int* list = nullptr) const;

    CGeomInfo* m_pGeom;
    C3DPointList* m_pPoints;
    CFaceList* m_pFaces;
    const detail::CEdgeFaceTable* m_pEdgeTable = nullptr;  // the driver's, while it runs
};

// Splits an object into one new polymesh per group (edge-connected part). A group holding every
// live face of the object makes nothing: the object is a single part.
class KESTOVAR_API CIsolateFaceTagger : public CFaceTagger {
public:
    // New objects are appended to `parts`; the caller owns them.
    CIsolateFaceTagger(C3DGeomObject* object, CXArray<C3DGeomObject*>& parts);
    ~CIsolateFaceTagger() override;
    bool InitProcess(CGeomInfo* geom) override;
    void GroupFinished(const int* faces, unsigned int count) override;

private:
    C3DGeomObject* m_pObject;
    CXArray<C3DGeomObject*>& m_parts;
    unsigned int m_nLiveFaces;
};

// Makes the faces of each group traverse their shared edges in opposite directions, flipping
// faces as it walks breadth-first from the group's first face; `flipped` receives a set bit for
// every face whose index order was reversed (a face turned back to its first order has its bit
// clear). Where an edge is shared by more than two faces, a second pass orients each patch of
// faces joined by edges of exactly two faces on its own, and turns a patch over when, across the
// branching edges, its faces disagree with more faces of earlier patches than they agree with: every edge of
// two faces then runs both ways when the patches can be oriented. On a part that cannot be oriented some edge
// necessarily stays traversed in the same direction by two faces; a last pass turns over every face that
// disagrees with more of its two-face neighbours than it agrees with, until none does.
class KESTOVAR_API CUnifyTagger : public CFaceTagger {
public:
    explicit CUnifyTagger(CBitArray& flipped);
    ~CUnifyTagger() override;
    bool InitProcess(CGeomInfo* geom) override;
    void EndProcess(unsigned int groupCount) override;
    void GroupFinished(const int* faces, unsigned int count) override;

private:
    // Reverses face f's index order and toggles its bit.
    void Flip(int f);
    // Turns face h over when it runs the edge from a to b the same way as the face it is reached
    // from (which runs a to b).
    void OrientAcross(int h, int a, int b);
    // The one other face across edge (a, b) of face f when exactly two faces share the edge, else
    // -1.
    int OtherFaceOfTwo(int f, int a, int b) const;
    // The patch pass over a finished group with a branching edge (see above).
    void OrientPatches(const int* faces, unsigned int count);
    // The last pass over a finished group: faces that disagree with more neighbours across edges
    // of two faces than they agree with are turned over, round after round, until none does.
    void RepairOrientation(const int* faces, unsigned int count);

    // The faces of one group's decided patches on a long edge list: how many run the edge from
    // its smaller point to its larger one only, the other way only, or both ways.
    struct SpineTally {
        int group;     // the group's first patch number; another value means nothing counted yet
        int lastFace;  // the face counted last, so that a face counts once per list
        int forward;
        int backward;
        int both;
    };
    // Whether a table list (`list`, of `count` faces) is long enough to be tallied.
    static bool IsLongList(unsigned list, int count);
    // The tally of long list `list` in `group` (all counts 0 before the group counts a face).
    const SpineTally& SpineTallyOf(unsigned list, int group) const;
    // Counts the faces of the patch just decided (the queue) into the tallies of their long lists.
    void AddToSpineTallies(int group);

    // One edge (a, b) of a queued face f (corners idx[0..k)), with the faces around it and the
    // number of their table list (0xFFFFFFFF when they do not come from the table).
    struct QueuedEdge {
        int f;
        const int* idx;
        int k;
        int a, b;
        const int* around;
        int count;
        unsigned list;
    };
    // Calls visit(const QueuedEdge&) for each edge of two distinct points of each face of the queue.
    template <class Visit>
    void ForEachQueuedEdge(Visit&& visit) const;

    CBitArray& m_flipped;
    CBitArray m_visited;
    CBitArray m_walked;      // per list of the driver's table: reached by the group walk
    CXArray<int> m_tallyOf;  // per list of the driver's table: its tally, -1 for none
    CXArray<SpineTally> m_tallies;
    CXArray<int> m_queue;
    CXArray<int> m_patch;  // per face, its patch number in this run (-1: none yet); made on first need
    int m_nPatches = 0;
};

}  // namespace kestovar
