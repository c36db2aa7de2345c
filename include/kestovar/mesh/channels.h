// The texture, colour and weight channels.
//
// CUVWChannel and CVCChannel are face-mapped: their face list is parallel to the geometric faces
// and its corners index their own point list, so that one geometric point may carry several
// values (a seam). CWeightChannel is face-mapped, or point-mapped (one weight per geometric
// point, no face list) when built with `pointOnly`.
//
// Attribute borders are marked on the geometric points for the simplification engine:
// POINT_UV_SEAM (0x1000) where two or more texture values meet, POINT_UV_JUNCTION (0x10000)
// where three or more do, POINT_VC_FRONTIER (0x2000) where colours differ.
#pragma once

#include "kestovar/core/export.h"
#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/channel_lists.h"
#include "kestovar/mesh/edge.h"

namespace kestovar {

class CGeomInfo;

// Texture coordinates (type 1).
class KESTOVAR_API CUVWChannel : public CChannel {
    KX_DECLARE_SERIAL(CUVWChannel)
public:
    // Empty CUVWPointList and CUVWFaceList.
    explicit CUVWChannel(unsigned int id = kNewChannelID);
    ~CUVWChannel() override;

    CUVWPointList* GetUVWPointList() const { return static_cast<CUVWPointList*>(m_pPointList); }
    CUVWFaceList* GetUVWFaceList() const { return static_cast<CUVWFaceList*>(m_pFaceList); }

    // With tolerance 0: u, v and w exactly equal. Otherwise: squared (u, v, w) distance, in
    // double, at most tolerance².
    bool Compare(const CPt* a, const CPt* b, double tolerance) override;

    // Clears 0x1000 on every channel point (and, with `resetGeometry`, 0x11000 on every geometric
    // point), then counts the distinct values around every geometric point (exact for tolerance
    // 0, else closer than `tolerance` in (u, v, w) counts as equal), up to 3, counting one more
    // when a face around the point has no live corner in the channel. From 2: the point and
    // every channel point around it get 0x1000; from 3 the point also gets 0x10000. False
    // without geometry or lists.
    bool InitShareUVFlag(const CGeomInfo* geom, float tolerance, bool resetGeometry);
    // Whether the edge between geometric faces f1 and f2 is a texture frontier: exactly one of
    // the two channel faces live -> true; neither live -> false; an end missing from either
    // geometric face -> true; otherwise true when, at either end, the two faces use different
    // channel points further apart than `tolerance` (tolerance 0: never).
    bool IsUVFrontier(const CGeomInfo* geom, float tolerance, const C3DEdge& edge, int f1, int f2) const;

protected:
    CChannel* Duplicate(bool withLists) const override;
    bool AcceptLists(const CPointList* points, const CFaceList* faces) const override;

private:
    CUVWChannel(unsigned int id, bool withLists);
};

// Vertex colours (type 4).
class KESTOVAR_API CVCChannel : public CChannel {
    KX_DECLARE_SERIAL(CVCChannel)
public:
    // Empty CVCPointList and CVCFaceList.
    explicit CVCChannel(unsigned int id = kNewChannelID);
    ~CVCChannel() override;

    CVCPointList* GetVCPointList() const { return static_cast<CVCPointList*>(m_pPointList); }
    CVCFaceList* GetVCFaceList() const { return static_cast<CVCFaceList*>(m_pFaceList); }

    // The texture seam rule with colours: two colours are distinct when some component differs
    // by more than `tolerance` (0 to 255; 0 = exact). Where two or more colours (or a face
    // without a live channel corner) meet, the geometric point and the channel points around it
    // get 0x2000. With `resetGeometry` 0x2000 is first cleared on every geometric point; it is
    // always cleared on the channel points.
    bool InitVCFrontierFlag(const CGeomInfo* geom, int tolerance, bool resetGeometry);
    // The edge rule of CUVWChannel::IsUVFrontier with colours: different channel points whose
    // colours differ by more than `tolerance` in some component (tolerance 0: never).
    bool IsVCFrontier(const CGeomInfo* geom, int tolerance, const C3DEdge& edge, int f1, int f2) const;

protected:
    CChannel* Duplicate(bool withLists) const override;
    bool AcceptLists(const CPointList* points, const CFaceList* faces) const override;

private:
    CVCChannel(unsigned int id, bool withLists);
};

// Weights (type 8), face-mapped or point-mapped.
class KESTOVAR_API CWeightChannel : public CChannel {
    KX_DECLARE_SERIAL(CWeightChannel)
public:
    // An empty CWeightPointList, and a CWeightFaceList unless `pointOnly`.
    explicit CWeightChannel(unsigned int id = kNewChannelID, bool pointOnly = false);
    ~CWeightChannel() override;

    CWeightPointList* GetWeightPointList() const { return static_cast<CWeightPointList*>(m_pPointList); }
    CWeightFaceList* GetWeightFaceList() const { return static_cast<CWeightFaceList*>(m_pFaceList); }
    bool IsPointOnly() const { return m_pFaceList == nullptr; }

    // Smallest and largest weight; false (and 0, 0) for an empty or missing list. Weights that are
    // not numbers are left out (0, 0 when no weight is a number); Normalize leaves them as they are.
    bool GetLimits(float& min, float& max) const;
    // Maps the weights onto [0, 1]: (w - min) / range, range = max - min (1 when below 1e-15);
    // with `invert`, 1 minus that. False for an empty list.
    bool Normalize(bool invert);
    // A new list (one reference, the caller's) of one weight per geometric point of `geom`'s
    // source points. Point-mapped: a copy of the weights (missing entries 0). Face-mapped: the
    // mean of the weights the live corners at each point use (each corner counts once; points
    // no live corner uses get 0). Null without geometric points or channel points.
    CWeightPointList* GetWeightPointOnlyList(CGeomInfo* geom) const;

protected:
    CChannel* Duplicate(bool withLists) const override;
    bool AcceptLists(const CPointList* points, const CFaceList* faces) const override;

private:
    CWeightChannel(unsigned int id, bool pointOnly, bool withLists);
};

}  // namespace kestovar
