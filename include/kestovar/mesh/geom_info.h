// CGeomInfo: the geometry view every mesh algorithm receives.
//
// A view names, for each of points, faces and channels, a source (what the algorithm reads) and a
// destination (where it writes; often the same list, for in-place work). It also names the object
// and scene the geometry belongs to, so that algorithms can reach object settings (smoothing,
// channel identifiers) without being handed the object separately.
//
// Ownership: bit 0x1 of the ownership word makes the view own its source lists, bit 0x2 its
// destination lists; an owned list is released (one reference) when the view is destroyed. A
// list taken out of the view with a getter's `take` flag is no longer the view's: the getter
// clears the pointer and the caller holds the reference. A list held both as source and as
// destination is released once.
#pragma once

#include "kestovar/core/export.h"
#include "kestovar/core/object.h"

namespace kestovar {

class C3DBaseObject;
class C3DGeomObject;
class C3DScene;
class C3DSceneNode;
class C3DPointList;
class C3DFaceList;
class CPointList;
class CFaceList;
class CDependentChannels;
class CUVWPointList;
class CUVWFaceList;
class CVCPointList;
class CVCFaceList;
class CWeightPointList;
class CWeightFaceList;
class CNormalFaceList;
class C3DVectorList;

// Bits of the ownership word.
enum _GEOMINFO_OWNERSHIP : unsigned int {
    GEOMINFO_OWN_SRC = 0x1,  // the view releases its source lists
    GEOMINFO_OWN_DST = 0x2,  // the view releases its destination lists
};

class KESTOVAR_API CGeomInfo : public CXAllocated {
public:
    // An empty view: no object, no lists.
    CGeomInfo();
    // The object's own lists, as source and destination, not owned. `object` may be null or not
    // a C3DGeomObject (then the view has no lists). The scene is the object's.
    explicit CGeomInfo(const C3DBaseObject* object);
    // As above, for the object placed in `node`. The node only locates the object in its scene;
    // the scene recorded is the object's.
    CGeomInfo(const C3DSceneNode* node, const C3DBaseObject* object);
    // The given lists as source and destination, not owned; no object, no channels.
    CGeomInfo(C3DFaceList* faces, C3DPointList* points);
    // The same object, scene and lists as `other`, none of them owned by the copy.
    CGeomInfo(const CGeomInfo& other);
    CGeomInfo& operator=(const CGeomInfo&) = delete;
    // Releases the lists the ownership word names.
    virtual ~CGeomInfo();

    // ---- lists; `take` hands the list (and its reference when owned) to the caller ----
    C3DPointList* GetSrc3DPointList(bool take);
    C3DPointList* GetDst3DPointList(bool take);
    C3DFaceList* GetSrc3DFaceList(bool take);
    C3DFaceList* GetDst3DFaceList(bool take);
    CDependentChannels* GetSrcChannels(bool take);
    CDependentChannels* GetDstChannels(bool take);
    // Read-only forms for algorithms that only look.
    C3DPointList* GetSrc3DPointList() const { return m_pSrcPoints; }
    C3DPointList* GetDst3DPointList() const { return m_pDstPoints; }
    C3DFaceList* GetSrc3DFaceList() const { return m_pSrcFaces; }
    C3DFaceList* GetDst3DFaceList() const { return m_pDstFaces; }
    CDependentChannels* GetSrcChannels() const { return m_pSrcChannels; }
    CDependentChannels* GetDstChannels() const { return m_pDstChannels; }

    // Store both pointers and OR `ownership` (_GEOMINFO_OWNERSHIP) into the ownership word. The
    // pointers held before are replaced, not released.
    void SetPointList(C3DPointList* src, C3DPointList* dst, unsigned int ownership);
    void SetFaceList(C3DFaceList* src, C3DFaceList* dst, unsigned int ownership);
    void SetChannels(CDependentChannels* src, CDependentChannels* dst, unsigned int ownership);

    // ---- typed channel lists: the lists of the first channel of the type (index-th for the
    // channel types an object may hold several of). Null while the channel classes are absent or
    // the source holds no such channel ----
    CUVWFaceList* GetSrcUVWFaceList(int index = 0) const;
    CUVWPointList* GetSrcUVWPointList(int index = 0) const;
    CVCFaceList* GetSrcVCFaceList(int index = 0) const;
    CVCPointList* GetSrcVCPointList(int index = 0) const;
    CWeightFaceList* GetSrcWeightFaceList(int index = 0) const;
    CWeightPointList* GetSrcWeightPointList(int index = 0) const;
    CNormalFaceList* GetSrcNormalFaceList() const;
    C3DVectorList* GetSrcNormalPointList() const;
    CUVWFaceList* GetDstUVWFaceList(int index = 0) const;
    CUVWPointList* GetDstUVWPointList(int index = 0) const;
    CVCFaceList* GetDstVCFaceList(int index = 0) const;
    CVCPointList* GetDstVCPointList(int index = 0) const;
    CWeightFaceList* GetDstWeightFaceList(int index = 0) const;
    CWeightPointList* GetDstWeightPointList(int index = 0) const;
    CNormalFaceList* GetDstNormalFaceList() const;
    C3DVectorList* GetDstNormalPointList() const;

    // ---- context ----
    // The object as a geometric object, or null when there is none or it is not a C3DGeomObject.
    C3DGeomObject* GetGeomObject() const;
    C3DBaseObject* GetBaseObject() const { return m_pObject; }
    C3DScene* GetScene() const { return m_pScene; }
    unsigned int GetOwnership() const { return m_ownership; }

    // Number of channels in the source set (0 without one).
    int GetChannelSize() const;
    // The face lists (points lists) of channel `index` in the source and destination sets; each
    // output is null when its set is absent or shorter. False when `index` is outside the source.
    bool GetChannelFaceList(int index, CFaceList*& src, CFaceList*& dst) const;
    bool GetChannelPointList(int index, CPointList*& src, CPointList*& dst) const;

protected:
    unsigned int m_ownership;
    C3DScene* m_pScene;           // not owned
    C3DBaseObject* m_pObject;     // not owned
    C3DPointList* m_pSrcPoints;
    C3DPointList* m_pDstPoints;
    C3DFaceList* m_pSrcFaces;
    C3DFaceList* m_pDstFaces;
    CDependentChannels* m_pSrcChannels;
    CDependentChannels* m_pDstChannels;

private:
    void InitFromObject(const C3DBaseObject* object);
};

}  // namespace kestovar
