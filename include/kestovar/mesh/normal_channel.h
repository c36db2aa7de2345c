// Normal channels: face normals (one per face), smoothed corner normals (shared where faces are
// smooth) and specified normals (given with the model, partly fixed and partly recomputed), and
// the per-run state that weights the contribution of a face to a corner normal.
//
// All angles crossing these interfaces are in radians, except the tolerance of
// CSpecNormalChannel::Compare, which is a fraction of a half turn (1.0 = pi).
//
// Face normals come from Newell's method (C3DFace::GetNormal). A degenerate face (fewer than 3
// corners, or all three Newell sums below 1e-15 in absolute value) has the normal (1, 0, 0).
#pragma once

#include "kestovar/core/array.h"
#include "kestovar/core/export.h"
#include "kestovar/core/point.h"
#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/object.h"

namespace kestovar {

class C3DEdge;
class C3DFaceList;
class C3DPointList;
class C3DVectorList;
class CNormalFaceList;
class CSpecNormalChannel;

// Flag bits of the vectors of a specified-normal channel. A vector with neither bit was given
// explicitly with the model.
enum _SPEC_NORMAL_FLAGS : unsigned int {
    SPEC_NORMAL_REPLACED = 0x2,  // a vector without normal whose corners GenerateNormals refilled
    SPEC_NORMAL_NONE = 0x4,      // no normal given at this corner
    SPEC_NORMAL_COMPUTED = 0x8,  // recomputed from the faces by ComputeNormals
};

// Options of CSpecNormalChannel::GenerateNormals.
enum _GENERATE_NORMALS_FLAGS : unsigned int {
    GENERATE_NORMALS_FILL_FACES = 0x1,   // also fill the channel faces that are not live
    GENERATE_NORMALS_MISSING = 0x2,      // fill corners whose vector has SPEC_NORMAL_NONE
    GENERATE_NORMALS_SHARE = 0x4,        // smooth vectors are shared by all corners of a point
    GENERATE_NORMALS_FLAT = 0x8,         // one face normal per face instead of smoothed ones
};

// Where CPointNormalChannel::GetSmoothNormalByCorner found its normal.
enum _SMOOTH_NORMAL_SOURCE : unsigned int {
    SMOOTH_NORMAL_NONE = 0,       // the point is not in the face
    SMOOTH_NORMAL_SPECIFIED = 2,  // a specified normal given with the model
    SMOOTH_NORMAL_COMPUTED = 5,   // a specified-channel normal recomputed from the faces
    SMOOTH_NORMAL_SMOOTHED = 9,   // the corner's smoothed point normal
};

// The weighting of face contributions to corner normals for one run. Set up with Init; then
// AddContribution adds the contribution of one face at one corner to a running sum:
//   mode 1 (unweighted): the face's unit normal;
//   mode 2 (area):       the unnormalised Newell normal (length = twice the face's area);
//   mode 3 (edge):       the unnormalised normal / (|e1|^2 |e2|^2), or the unnormalised normal
//                        itself when that product is not above 1e-15;
//   mode 4 (angle):      the unit normal times the corner angle (radians),
// where e1 = previous corner - p and e2 = next corner - p. Modes outside 1..4 weight as mode 2.
// The unnormalised normals are precomputed for the live faces in modes 2 and 3 (one pass).
class KESTOVAR_API CFaceNormalContributionInfo : public CXAllocated {
public:
    typedef void (*WeightFunc)(CFaceNormalContributionInfo& info, double sum[3]);

    CFaceNormalContributionInfo();
    ~CFaceNormalContributionInfo();
    CFaceNormalContributionInfo(const CFaceNormalContributionInfo&) = delete;
    CFaceNormalContributionInfo& operator=(const CFaceNormalContributionInfo&) = delete;

    // Prepares a run over `geom`'s source faces and points with `mode`. `unitNormals` holds one
    // unit normal per face (the face normal channel's vectors; not owned, must outlive the run).
    // False without faces or points.
    bool Init(const CGeomInfo* geom, _NormalSmoothMode mode, const C3DVectorList* unitNormals);
    // Selects the weighting function of `mode`.
    void InitNormalCallback(_NormalSmoothMode mode);
    // Adds the contribution of face `face` at its corner `corner` to sum. The face must be live
    // and have at least 3 corners within the point list, `corner` below its size.
    void AddContribution(unsigned int face, unsigned int corner, double sum[3]);

    _NormalSmoothMode GetMode() const { return m_mode; }

    // ---- state read by the weighting functions ----
    const CGeomInfo* m_pGeom;
    C3DFaceList* m_pFaces;
    const C3DPointList* m_pPoints;
    const C3DVectorList* m_pUnitNormals;
    _NormalSmoothMode m_mode;
    WeightFunc m_pWeight;
    // Unnormalised Newell normals, 3 floats per face (modes 2 and 3 only).
    CXArray<float, float> m_rawNormals;
    unsigned int m_face;
    unsigned int m_corner;
    int m_point;
    double m_e1[3];
    double m_e2[3];
    // |e1|^2 * |e2|^2.
    double m_lengthProduct;
};

// One unit normal per geometric face; no face list. Recomputable, out of date and derived from
// construction: clean-up only marks it out of date.
class KESTOVAR_API CFaceNormalChannel : public CChannel {
    KX_DECLARE_SERIAL(CFaceNormalChannel)
public:
    explicit CFaceNormalChannel(unsigned int id = kNewChannelID);
    ~CFaceNormalChannel() override;

    // When invalid or out of date: clears out of date, sizes the vectors to the face count and
    // stores the unit normal of every live face (the other entries keep their values). Returns
    // whether it computed.
    bool InitNormals(const CGeomInfo* geom);

    C3DVectorList* GetNormalVectorList() const;

    bool SwapCoordinates(unsigned int code) override;
    bool MatrixTransform(const C4x4TMatrix<float>& m, _POINT_PROPERTIES mask, bool value) override;
    // Marks the channel out of date; false.
    bool Clean(const CGeomInfo* geom, CXArray<unsigned int>* faceRemap, CXArray<unsigned int>* pointRemap) override;

protected:
    CChannel* Duplicate(bool withLists) const override;
};

// Smoothed corner normals: distinct vectors and a face list parallel to the geometric faces whose
// corners index them. Built by InitNormals with a smoothing angle.
class KESTOVAR_API CPointNormalChannel : public CChannel {
    KX_DECLARE_SERIAL(CPointNormalChannel)
public:
    explicit CPointNormalChannel(unsigned int id = kNewChannelID);
    ~CPointNormalChannel() override;

    // Rebuilds the corner normals with the smoothing angle `angle` (radians): around each point,
    // faces within the angle of a group's first face share one weighted normal (the object's
    // smoothing mode); points where faces split into several groups get POINT_NORMAL_BREAK.
    // Nothing is done for an unchanged angle while the channel is valid and up to date. Returns
    // whether it computed. The test is on the cosine (a face joins when the cosine between the
    // normals is at least cos(angle)), so the angle belongs in [0, pi]: outside it, the cosine
    // wraps round (2 pi splits like 0, -0.5 like 0.5), and a NaN angle joins every face. The
    // object's SetSmoothAngle keeps its angle in range. At an angle that is a number, a face
    // through a point that is not a number joins no other face.
    bool InitNormals(const CGeomInfo* geom, float angle);
    // The angle of the last build (radians; 1.0 before any).
    float GetSmoothAngle() const { return m_angle; }

    // Remembers `specified`'s lists (none when null or invalid) and the geometric faces, and brings
    // the specified normals up to date with the object's smoothing mode.
    void PrepareSmoothing(const CGeomInfo* geom, CSpecNormalChannel* specified);
    // The normal of corner `corner` of face `face`: the specified one when its face is live and
    // it has no SPEC_NORMAL_NONE (source 5 when computed, 2 otherwise), else the smoothed one
    // (source 9). Null (source 0) when the corner does not exist.
    const C3DTVector<float>* GetSmoothNormalByCorner(int face, int corner, unsigned int* source) const;
    // The same for the corner of geometric point `point` in face `face`; null and source 0 when
    // the point is not in the face.
    const C3DTVector<float>* GetSmoothNormalByIndex(int face, int point, unsigned int* source) const;

    C3DVectorList* GetNormalVectorList() const;
    CNormalFaceList* GetNormalFaceList() const;

    bool CanBeRecomputed() override { return true; }
    bool SwapCoordinates(unsigned int code) override;
    bool MatrixTransform(const C4x4TMatrix<float>& m, _POINT_PROPERTIES mask, bool value) override;
    // Marks the channel out of date; false.
    bool Clean(const CGeomInfo* geom, CXArray<unsigned int>* faceRemap, CXArray<unsigned int>* pointRemap) override;
    void Serialize(CXArchive& ar) override;

protected:
    CChannel* Duplicate(bool withLists) const override;

    float m_angle;
    // Smoothing lookup state (not owned).
    CNormalFaceList* m_pSpecFaces;
    C3DVectorList* m_pSpecVectors;
    C3DFaceList* m_pGeomFaces;
};

// Normals given with the model: vectors and a face list parallel to the geometric faces. Vectors
// flagged SPEC_NORMAL_COMPUTED are recomputed from the faces; SPEC_NORMAL_NONE marks a corner
// without a normal. Follows clean-up with the base channel rule.
class KESTOVAR_API CSpecNormalChannel : public CChannel {
    KX_DECLARE_SERIAL(CSpecNormalChannel)
public:
    explicit CSpecNormalChannel(unsigned int id = kNewChannelID);
    ~CSpecNormalChannel() override;

    // When invalid or out of date: clears out of date, recomputes every SPEC_NORMAL_COMPUTED
    // vector as the normalised weighted sum of the live faces using it. Returns whether it ran.
    bool ComputeNormals(const CGeomInfo* geom, _NormalSmoothMode mode);
    // Fills in the corners without a specified normal (see _GENERATE_NORMALS_FLAGS), flat or
    // smoothed with `angle` (radians). Returns whether any corner was filled.
    bool GenerateNormals(const CGeomInfo* geom, unsigned int flags, double angle, _NormalSmoothMode mode);
    // Near-zero vectors get SPEC_NORMAL_NONE, the others are normalised; channel faces left with
    // no normal are invalidated. False when the channel became invalid.
    bool Normalize();
    // With tolerance 0: exact equality. Otherwise the tolerance is a fraction of a half turn:
    // vectors differ when exactly one has SPEC_NORMAL_NONE, or, neither having it, when their dot
    // product is below cos(tolerance * pi). True when they do not differ.
    bool Compare(const CPt* a, const CPt* b, double tolerance) override;
    // Clears POINT_NORMAL_FRONTIER on the vectors (and, with `reset`, on the geometric points),
    // then marks it on the geometric points where the live channel faces around use vectors that
    // differ by more than `angle` (radians), and on those vectors. Returns the number of points
    // marked.
    int InitNormalBreakFlag(const CGeomInfo* geom, double angle, bool reset, _NormalSmoothMode mode);
    // Whether the edge between faces f1 and f2 separates normals differing by more than `angle`.
    bool IsNormalFrontier(const CGeomInfo* geom, double angle, const C3DEdge& edge, int f1, int f2);

    C3DVectorList* GetNormalVectorList() const;
    CNormalFaceList* GetNormalFaceList() const;

    bool SwapCoordinates(unsigned int code) override;
    bool MatrixTransform(const C4x4TMatrix<float>& m, _POINT_PROPERTIES mask, bool value) override;

protected:
    CChannel* Duplicate(bool withLists) const override;
};

// The normal channel class of `type` (CHANNEL_POINT_NORMAL, CHANNEL_FACE_NORMAL or
// CHANNEL_SPEC_NORMAL) with identifier `id` (kNewChannelID for the next one), with one reference
// for the caller; null for any other type.
KESTOVAR_API CChannel* CreateNormalChannel(unsigned int type, unsigned int id);

// The first valid channel of `type` in `geom`'s source channels, or null.
KESTOVAR_API CChannel* FindNormalChannel(const CGeomInfo* geom, _Channel3DType type);

}  // namespace kestovar
