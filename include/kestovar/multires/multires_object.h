// Multiresolution objects: polygonal objects that can be set to any level of detail between their
// full mesh and their coarsest mesh.
//
// CMultiresolutionObject is the abstract interface the scene optimiser uses (sizes, ratios,
// locking, progressive threshold, freezing). CMultiresolutionObject1 plays a contraction record
// (CTrackContractions) made by a contraction run on a C3DExtObject: its point and face lists hold
// the coarsest mesh first and then every removed point and face in reverse order of removal, so
// that the live points and faces of every level form a prefix of the lists, and it moves between
// levels by undoing and redoing recorded contractions.
//
// Tracker position: the index of the contraction played last; the last-direction flag tells
// whether it was played up (undone, detail restored) or down (redone). A fresh object at full
// detail has position 0 with direction up; at the coarsest level position = count with direction
// up, so that the next step up plays contraction count - 1.
#pragma once

#include "kestovar/core/array.h"
#include "kestovar/core/export.h"
#include "kestovar/mesh/object.h"

namespace kestovar {

class CSceneOptimizer;
class C3DExtObject;
class C3DSceneNode;
class CTrackContractions;
class CTrackPlayTable;
class CFaceList;
class CPointList;

// Multiresolution state bits of an object (the ones CMultiresolutionObject1 uses).
enum _MROBJECT_PROPERTIES : unsigned int {
    MROBJ_PROGRESSIVE = 0x1,            // relative ratios follow the progressive mapping
    MROBJ_COMPLETE = 0x400,             // every level is available
    MROBJ_RATIO_LOCKED = 0x1000,        // SetObjectRatio ignores calls without MRRATIO_FORCE
    MROBJ_GEOMETRY_READY = 0x1000000,   // lists and counts are prepared for playback
};

// Flags of SetObjectRatio. The low byte is the mode: relative/absolute/index combined with
// faces/points (0x11, 0x12, 0x21, 0x22, 0x4).
enum _MRRATIO_FLAGS : unsigned int {
    MRRATIO_RELATIVE = 0x1,          // ratio selects a count between min and max
    MRRATIO_ABSOLUTE = 0x2,          // count is the wanted count
    MRRATIO_INDEX = 0x4,             // ratio, truncated, is a position in the contraction sequence
    MRRATIO_FACES = 0x10,            // counts are face counts
    MRRATIO_POINTS = 0x20,           // counts are point counts
    MRRATIO_ALLOW_OVERSHOOT = 0x100, // no correction after approaching an absolute count from below
    MRRATIO_NO_PROGRESSIVE = 0x200,  // the progressive mapping is not applied
    MRRATIO_FORCE = 0x400,           // act even when the ratio is locked
    MRRATIO_PREDICTIVE = 0x800,      // alone: the optimiser's predictive ratio, relative points
};

class KESTOVAR_API CMultiresolutionObject : public C3DObject {
    KX_DECLARE_DYNAMIC(CMultiresolutionObject)
public:
    ~CMultiresolutionObject() override;

    // ---- links (none owned) ----
    void SetSrcNode(C3DSceneNode* node) { m_pSrcNode = node; }
    C3DSceneNode* GetSrcNode() const { return m_pSrcNode; }
    // Names the contraction-ready object this one was built from; ignores null. The link is weak
    // both ways: the contraction-ready object keeps a list of the objects that name it and unties
    // them as it goes (a node removed from the source scene takes it), and an object leaves that
    // list as it goes or names another.
    void SetExtObject(C3DExtObject* object);
    C3DExtObject* GetExtObject() const { return m_pExtObject; }
    // Unties every object that names `object` (called as `object` is destroyed).
    static void UnlinkAll(C3DExtObject& object);
    void SetOptimizer(CSceneOptimizer* optimizer) { m_pOptimizer = optimizer; }
    CSceneOptimizer* GetOptimizer() const { return m_pOptimizer; }
    void DetachOptimizer() { m_pOptimizer = nullptr; }
    // The relative ratio of the last relative SetObjectRatio (before any progressive mapping);
    // `unset` is true when the last call was not relative (or none was made).
    double GetLastKnownRatio(bool& unset) const {
        unset = m_bRatioUnset;
        return m_lastKnownRatio;
    }

    // Removes dead faces and unused points (see the concrete classes for when).
    bool Clean() override;

    // ---- sizes and ratios ----
    virtual double GetCurrentRatio() const = 0;
    virtual int GetRemovableFaceNbr() const = 0;
    virtual int GetRemovablePtNbr() const = 0;
    virtual void GetMinSize(int& faces, int& points) const = 0;
    virtual void GetMaxSize(int& faces, int& points) const = 0;
    virtual void GetCurrentSize(int& faces, int& points) const = 0;
    // The count SetObjectRatio(ratio, 0, flags) would aim at; `clamped` tells whether the
    // progressive mapping held the object at full detail.
    virtual int GetTargetCount(double ratio, unsigned int flags, bool& clamped) const = 0;
    virtual void SetMinSize(int faces, int points) = 0;
    virtual void SetMaxSize(int faces, int points) = 0;

    // ---- locking, flags, progressive threshold ----
    virtual void LockRatio(bool lock) = 0;
    virtual bool IsRatioLocked() const = 0;
    // True when every given bit is set.
    virtual bool IsMultiResFlagSet(unsigned int flags) const = 0;
    virtual void SetMultiResFlag(unsigned int flags, bool set) = 0;
    virtual void SetProgressive(bool progressive) = 0;
    virtual void SetProgressiveThreshold(double threshold) = 0;
    virtual double GetProgressiveThreshold() const = 0;

    // ---- levels ----
    // Marks with FACE_FROZEN the faces the engine would not touch (nothing in the base).
    virtual void ShowSelectedFaces(bool show);
    // Moves to the level given by `ratio`/`count` and `flags` (_MRRATIO_FLAGS); returns the
    // current count afterwards. A count no level has exactly (most contractions remove two
    // faces) is settled from the side the play comes from: going down at the first level at or
    // below it, going up at the first at or above it, so the same target asked for twice can
    // flip between the two. A host that wants one mesh per target plays it from full detail
    // (ratio 1 first), as `kestovar lod` does.
    virtual int SetObjectRatio(double ratio, int count, unsigned int flags) = 0;
    // Makes the object a plain mesh at its current level.
    virtual void FreezeObject();

protected:
    CMultiresolutionObject();
    // Copies as a geometric object; a copy that is not itself a multiresolution object is
    // cleaned (its dead faces and unused points dropped).
    bool InternalCopy(C3DBaseObject*& dst, int copyFlags, C3DObjectCreator* creator) override;
    // Links null, channel arrays empty, ratio unset, last known ratio 1.0.
    void InitBase();
    void FreeChannelArrays();
    // Looks the texture channels' lists up again by identifier.
    void RefreshChannelArrays();

    C3DSceneNode* m_pSrcNode;
    C3DExtObject* m_pExtObject = nullptr;
    CSceneOptimizer* m_pOptimizer;
    // One entry per texture channel as the record indexes them (filled by PrepareGeometry): the
    // channel's identifier, and its lists as last looked up (RefreshChannelArrays), null for a
    // channel the host has taken away since.
    CXArray<unsigned int> m_channelIDs;
    CXArray<CFaceList*, CFaceList*> m_channelFaces;
    CXArray<CPointList*, CPointList*> m_channelPoints;
    bool m_bRatioUnset;
    double m_lastKnownRatio;

private:
    void UnlinkExtObject();

    CMultiresolutionObject* m_pNextOnExt = nullptr;  // the next object naming m_pExtObject
};

class KESTOVAR_API CMultiresolutionObject1 : public CMultiresolutionObject {
    KX_DECLARE_SERIAL(CMultiresolutionObject1)
public:
    CMultiresolutionObject1();
    CMultiresolutionObject1(CSceneOptimizer* optimizer, C3DExtObject* object, C3DSceneNode* node);
    // Releases the tracker.
    ~CMultiresolutionObject1() override;

    // Takes over the caller's reference (the previous tracker is released).
    void SetTrackInfo(CTrackContractions* track);
    CTrackContractions* GetTrackInfo() const { return m_pTrack; }

    // Only without a tracker: a playable object keeps its dead faces and removed points.
    bool Clean() override;

    double GetCurrentRatio() const override;
    int GetRemovableFaceNbr() const override { return m_maxFaces - m_minFaces; }
    int GetRemovablePtNbr() const override { return m_maxPoints - m_minPoints; }
    void GetMinSize(int& faces, int& points) const override {
        faces = m_minFaces;
        points = m_minPoints;
    }
    void GetMaxSize(int& faces, int& points) const override {
        faces = m_maxFaces;
        points = m_maxPoints;
    }
    void GetCurrentSize(int& faces, int& points) const override {
        faces = m_currentFaces;
        points = m_currentPoints;
    }
    int GetTargetCount(double ratio, unsigned int flags, bool& clamped) const override;
    void SetMinSize(int faces, int points) override {
        m_minFaces = faces;
        m_minPoints = points;
    }
    void SetMaxSize(int faces, int points) override {
        m_maxFaces = faces;
        m_maxPoints = points;
    }
    // The counts of the level the lists are at (set by the hand-off before PrepareGeometry).
    void SetCurrentSize(int faces, int points) {
        m_currentFaces = faces;
        m_currentPoints = points;
    }

    void LockRatio(bool lock) override { SetMultiResFlag(MROBJ_RATIO_LOCKED, lock); }
    bool IsRatioLocked() const override { return IsMultiResFlagSet(MROBJ_RATIO_LOCKED); }
    bool IsMultiResFlagSet(unsigned int flags) const override { return (m_mrFlags & flags) == flags; }
    void SetMultiResFlag(unsigned int flags, bool set) override {
        m_mrFlags = set ? (m_mrFlags | flags) : (m_mrFlags & ~flags);
    }
    void SetProgressive(bool progressive) override { SetMultiResFlag(MROBJ_PROGRESSIVE, progressive); }
    // 0 stores 1e-4 (the single-precision value widened); anything else min(threshold, 1.0).
    void SetProgressiveThreshold(double threshold) override;
    double GetProgressiveThreshold() const override { return m_progressiveThreshold; }

    // With a contraction-ready object: clears FACE_FROZEN on every face, and with `show` sets it
    // on the faces that are not all selected or whose material is excluded by that object.
    void ShowSelectedFaces(bool show) override;
    int SetObjectRatio(double ratio, int count, unsigned int flags) override;
    // min = max = current, POINT_SELECTED cleared, tracker released, then Clean.
    void FreezeObject() override;

    // Collects the texture channel lists and puts the object at full detail: directly when the
    // lists already are (`fullDetail`), else by playing every contraction up from the coarsest
    // level. Marks the geometry ready and complete. Returns true.
    bool PrepareGeometry(bool fullDetail);

    int GetTrackPosition() const;
    bool IsLastDirectionUp() const { return m_bLastDirectionUp; }

protected:
    // Members back to their defaults (the links of the base too).
    void Init();
    // Drops the player's tables (rebuilt on the next level change).
    void FreePlayTable();

    CTrackContractions* m_pTrack;  // owned (one reference)
    double m_progressiveThreshold;
    unsigned int m_mrFlags;
    int m_maxFaces;
    int m_minFaces;
    int m_currentFaces;
    int m_maxPoints;
    int m_minPoints;
    int m_currentPoints;
    bool m_bFirstPass;         // true until PrepareGeometry
    bool m_bChanging;          // blocks re-entry of the overshoot correction
    bool m_bLastDirectionUp;
    // The player's tables for the tracker and the face list (corner and deleted-face addresses
    // in play order, count changes per contraction); built on the first level change, rebuilt
    // when the stream or the face records change, null until then and after FreezeObject.
    CTrackPlayTable* m_pPlayTable;
};

}  // namespace kestovar
