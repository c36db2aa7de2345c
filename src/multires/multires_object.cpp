// Multiresolution objects: the abstract interface and the contraction-record player.
#include "kestovar/multires/multires_object.h"

#include <cmath>

#include "kestovar/core/point.h"
#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/face.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/normal_channel.h"
#include "kestovar/mesh/channel_lists.h"
#include "kestovar/mesh/channels.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/optimizer/scene_optimizer.h"
#include "kestovar/optimizer/track_contractions.h"
#include "kestovar/simplify/ext_object.h"
#include "optimizer/track_player.h"

namespace kestovar {

KX_IMPLEMENT_DYNAMIC(CMultiresolutionObject, C3DObject)
KX_IMPLEMENT_SERIAL(CMultiresolutionObject1, CMultiresolutionObject, 1)

// ---------------------------------------------------------------------------------------------
// CMultiresolutionObject

CMultiresolutionObject::CMultiresolutionObject() { InitBase(); }

CMultiresolutionObject::~CMultiresolutionObject() {
    UnlinkExtObject();
    FreeChannelArrays();
}

void CMultiresolutionObject::InitBase() {
    m_pSrcNode = nullptr;
    UnlinkExtObject();
    m_pOptimizer = nullptr;
    FreeChannelArrays();
    m_bRatioUnset = true;
    m_lastKnownRatio = 1.0;
}

void CMultiresolutionObject::FreeChannelArrays() {
    m_channelIDs.RemoveAll();
    m_channelFaces.RemoveAll();
    m_channelPoints.RemoveAll();
}

void CMultiresolutionObject::RefreshChannelArrays() {
    // The host may have taken channels away, replaced their lists or the whole channel set since
    // the last look: the lists are found again by identifier, so that playback never writes into
    // lists that are gone.
    for (int c = 0, n = m_channelIDs.GetSize(); c < n; ++c) {
        CUVWFaceList* faces = nullptr;
        CUVWPointList* points = nullptr;
        if (m_pChannels && m_channelIDs[c]) m_pChannels->GetUVWChannelByID(m_channelIDs[c], faces, points);
        m_channelFaces[c] = faces;
        m_channelPoints[c] = points;
    }
}

void CMultiresolutionObject::SetExtObject(C3DExtObject* object) {
    if (!object || object == m_pExtObject) return;
    UnlinkExtObject();
    m_pExtObject = object;
    m_pNextOnExt = object->m_pFirstMultires;
    object->m_pFirstMultires = this;
}

void CMultiresolutionObject::UnlinkExtObject() {
    if (m_pExtObject) {
        for (CMultiresolutionObject** link = &m_pExtObject->m_pFirstMultires; *link;
             link = &(*link)->m_pNextOnExt)
            if (*link == this) {
                *link = m_pNextOnExt;
                break;
            }
    }
    m_pExtObject = nullptr;
    m_pNextOnExt = nullptr;
}

void CMultiresolutionObject::UnlinkAll(C3DExtObject& object) {
    for (CMultiresolutionObject* mr = object.m_pFirstMultires; mr;) {
        CMultiresolutionObject* next = mr->m_pNextOnExt;
        mr->m_pExtObject = nullptr;
        mr->m_pNextOnExt = nullptr;
        mr = next;
    }
    object.m_pFirstMultires = nullptr;
}

bool CMultiresolutionObject::Clean() { return C3DGeomObject::Clean(); }

void CMultiresolutionObject::ShowSelectedFaces(bool) {}

void CMultiresolutionObject::FreezeObject() { FreeChannelArrays(); }

bool CMultiresolutionObject::InternalCopy(C3DBaseObject*& dst, int copyFlags, C3DObjectCreator* creator) {
    const bool ok = C3DGeomObject::InternalCopy(dst, copyFlags, creator);
    // A plain copy has no record to play its dead faces and removed points back: drop them.
    if (ok && dst && dst != this && !dst->IsKindOf(KX_RUNTIME_CLASS(CMultiresolutionObject)) &&
        dst->IsKindOf(KX_RUNTIME_CLASS(C3DGeomObject)))
        static_cast<C3DGeomObject*>(dst)->Clean();
    return ok;
}

// ---------------------------------------------------------------------------------------------
// CMultiresolutionObject1

CMultiresolutionObject1::CMultiresolutionObject1() : m_pTrack(nullptr), m_pPlayTable(nullptr) { Init(); }

CMultiresolutionObject1::CMultiresolutionObject1(CSceneOptimizer* optimizer, C3DExtObject* object,
                                                 C3DSceneNode* node)
    : m_pTrack(nullptr), m_pPlayTable(nullptr) {
    Init();
    m_pOptimizer = optimizer;
    SetExtObject(object);
    m_pSrcNode = node;
}

CMultiresolutionObject1::~CMultiresolutionObject1() {
    FreePlayTable();
    XRelease(m_pTrack);
    FreeChannelArrays();
}

void CMultiresolutionObject1::Init() {
    InitBase();
    XRelease(m_pTrack);
    m_progressiveThreshold = 1.0;
    m_mrFlags = 0;
    m_maxFaces = m_minFaces = m_currentFaces = 0;
    m_maxPoints = m_minPoints = m_currentPoints = 0;
    m_bFirstPass = true;
    m_bChanging = false;
    m_bLastDirectionUp = true;
    FreePlayTable();
}

void CMultiresolutionObject1::FreePlayTable() {
    delete m_pPlayTable;
    m_pPlayTable = nullptr;
}

void CMultiresolutionObject1::SetTrackInfo(CTrackContractions* track) {
    if (track == m_pTrack) return;
    FreePlayTable();
    XRelease(m_pTrack);
    m_pTrack = track;
}

bool CMultiresolutionObject1::Clean() { return m_pTrack ? false : C3DGeomObject::Clean(); }

int CMultiresolutionObject1::GetTrackPosition() const { return m_pTrack ? m_pTrack->GetCurrentPosition() : 0; }

double CMultiresolutionObject1::GetCurrentRatio() const {
    if (m_maxFaces == m_minFaces) return 1.0;
    return double(m_currentFaces - m_minFaces) / double(m_maxFaces - m_minFaces);
}

void CMultiresolutionObject1::SetProgressiveThreshold(double threshold) {
    m_progressiveThreshold = threshold == 0.0 ? double(0.0001f) : (threshold < 1.0 ? threshold : 1.0);
}

int CMultiresolutionObject1::GetTargetCount(double ratio, unsigned int flags, bool& clamped) const {
    clamped = false;
    double r = ratio;
    if (m_pOptimizer && !(flags & MRRATIO_NO_PROGRESSIVE)) {
        r = m_pOptimizer->GetObjectRatioFromGlobalRatio(ratio, m_progressiveThreshold, 1, clamped);
        if (m_maxPoints == m_minPoints) clamped = false;
    }
    if (flags & MRRATIO_FACES) return int(double(m_maxFaces - m_minFaces) * r) + m_minFaces;
    return int(double(m_maxPoints - m_minPoints) * r) + m_minPoints;
}

void CMultiresolutionObject1::ShowSelectedFaces(bool show) {
    if (!m_pExtObject || !m_pFaceList) return;
    C3DFaceList& faces = *m_pFaceList;
    faces.SetFacesFlags(FACE_FROZEN, false);
    if (!show) return;
    const CMaterialIDMap& excluded = m_pExtObject->GetExcludedMaterials();
    for (int f = 0, n = faces.GetSize(); f < n; ++f) {
        if (!faces.IsFaceFlagSet(unsigned(f), FACE_ALL_SELECTED) ||
            excluded.IsFound(faces.GetStoredFaceMaterial(unsigned(f))))
            faces.SetFaceFlags(unsigned(f), FACE_FROZEN, true);
    }
}

void CMultiresolutionObject1::FreezeObject() {
    CMultiresolutionObject::FreezeObject();
    m_minFaces = m_maxFaces = m_currentFaces;
    m_minPoints = m_maxPoints = m_currentPoints;
    if (m_pPointList) m_pPointList->SetPointsFlags(POINT_SELECTED, false);
    XRelease(m_pTrack);
    FreePlayTable();
    m_bLastDirectionUp = true;
    Clean();
}

bool CMultiresolutionObject1::PrepareGeometry(bool fullDetail) {
    FreeChannelArrays();
    if (m_pChannels) {
        // Indexed as the records index texture channels: every texture channel, invalid or not.
        const int n = m_pChannels->GetChannelsNumber(CHANNEL_UVW, false);
        for (int c = 0; c < n; ++c) {
            const CUVWChannel* channel = m_pChannels->GetUVWChannelByIndex(c, false);
            m_channelIDs.Add(channel ? channel->GetID() : 0u);
            m_channelFaces.Add(nullptr);
            m_channelPoints.Add(nullptr);
        }
        RefreshChannelArrays();
    }
    m_bLastDirectionUp = true;
    if (fullDetail || !m_pTrack) {
        m_currentFaces = m_maxFaces;
        m_currentPoints = m_maxPoints;
        if (m_pTrack) m_pTrack->SetCurrentPosition(0);
    } else {
        m_currentFaces = m_minFaces;
        m_currentPoints = m_minPoints;
        m_pTrack->SetCurrentPosition(int(m_pTrack->GetContractionCount()));
        InvalidateChannels(48);
        // Every contraction, whatever it changed in the counts: position 0 is full detail.
        SetObjectRatio(0.0, 0, MRRATIO_INDEX | MRRATIO_FORCE);
        // The object now stands at full detail, as a relative ratio of 1 would have left it.
        m_bRatioUnset = false;
        m_lastKnownRatio = 1.0;
    }
    SetMultiResFlag(MROBJ_GEOMETRY_READY | MROBJ_COMPLETE, true);
    m_bFirstPass = false;
    return true;
}

int CMultiresolutionObject1::SetObjectRatio(double ratio, int count, unsigned int flags) {
    const bool lockedOut = !(flags & MRRATIO_FORCE) && IsRatioLocked();
    if (lockedOut) return (flags & MRRATIO_POINTS) ? m_currentPoints : m_currentFaces;
    // A ratio that is not a number moves nothing, as a locked ratio does.
    if (std::isnan(ratio)) return (flags & MRRATIO_POINTS) ? m_currentPoints : m_currentFaces;

    unsigned int mode = flags & 0xFFu;
    const bool indexMode = mode == MRRATIO_INDEX;
    // The index mode counts contractions; every other ratio is a fraction.
    if (!indexMode) ratio = ratio < 0.0 ? 0.0 : (ratio > 1.0 ? 1.0 : ratio);
    if (mode == MRRATIO_RELATIVE) mode = MRRATIO_RELATIVE | MRRATIO_POINTS;
    if (flags == MRRATIO_PREDICTIVE) {
        mode = MRRATIO_RELATIVE | MRRATIO_POINTS;
        ratio = CSceneOptimizer::DefaultPredictiveRatio(this);
    }
    if (mode & MRRATIO_RELATIVE) {
        m_bRatioUnset = false;
        m_lastKnownRatio = ratio;
    } else {
        m_bRatioUnset = true;
    }
    bool clamped = false;
    if (!m_bFirstPass && (mode & MRRATIO_RELATIVE) && !(flags & MRRATIO_NO_PROGRESSIVE)) {
        ratio = m_pOptimizer ? m_pOptimizer->GetObjectRatioFromGlobalRatio(ratio, m_progressiveThreshold, mode, clamped)
                             : CSceneOptimizer::GetObjectRatioFromGlobalRatio(IsMultiResFlagSet(MROBJ_PROGRESSIVE), ratio,
                                                                              m_progressiveThreshold, mode, clamped);
    }

    const bool byFaces = !indexMode && (mode & MRRATIO_FACES);
    int* counter = byFaces ? &m_currentFaces : &m_currentPoints;
    if (!m_pTrack || !m_pPointList || !m_pFaceList) return indexMode ? 0 : *counter;

    const int n = int(m_pTrack->GetContractionCount());
    int position = m_pTrack->GetCurrentPosition();
    int target;
    int current;
    if (indexMode) {
        // Levels are counted in contractions applied: 0 is full detail, n the coarsest level.
        // Clamped before the conversion, which no double beyond the int range survives.
        target = ratio <= 0.0 ? 0 : (ratio >= double(n) ? n : int(ratio));
        current = m_bLastDirectionUp ? position : position + 1;
    } else {
        if (mode == (MRRATIO_RELATIVE | MRRATIO_FACES))
            target = int(double(m_maxFaces - m_minFaces) * ratio) + m_minFaces;
        else if (mode == (MRRATIO_ABSOLUTE | MRRATIO_FACES) || mode == (MRRATIO_ABSOLUTE | MRRATIO_POINTS))
            target = count;
        else
            target = int(double(m_maxPoints - m_minPoints) * ratio) + m_minPoints;
        current = *counter;
    }
    if (current == target) return current;
    // Index mode: going up means fewer contractions applied.
    const bool up = indexMode ? target < current : target > current;

    int i = position;
    if (up && m_bLastDirectionUp) --i;
    else if (!up && !m_bLastDirectionUp) ++i;
    if (i < 0 || i >= n) return current;
    m_bLastDirectionUp = up;
    if (m_bFirstPass && up && (m_currentPoints == 0 || m_currentFaces == 0)) {
        if (m_minFaces == 0) m_minFaces = m_currentFaces;
        if (m_minPoints == 0) m_minPoints = m_currentPoints;
    }

    if (!m_pPlayTable) m_pPlayTable = new CTrackPlayTable;
    const bool table = m_pPlayTable->Update(*m_pTrack, *m_pFaceList);
    RefreshChannelArrays();
    CTrackPlayer player(*m_pTrack, *m_pPointList, *m_pFaceList, m_pChannels, m_channelFaces.GetData(),
                        m_channelPoints.GetData(), m_channelFaces.GetSize(), table ? m_pPlayTable : nullptr);
    // How many contractions ahead the player asks for the data it will touch (`ahead`), and for
    // the contraction records that say where that data is (`far`).
    const int ahead = 8, far = 24;
    if (table) {
        for (int k = 1; k <= far; ++k) {
            const int j = up ? i - k : i + k;
            if (j >= 0 && j < n) player.PrefetchRecord(unsigned(j));
        }
        for (int k = 1; k <= ahead; ++k) {
            const int j = up ? i - k : i + k;
            if (j >= 0 && j < n) player.Prefetch(unsigned(j));
        }
    }
    int before = *counter;
    for (;;) {
        before = *counter;
        if (table) {
            const int step = up ? -1 : 1;
            const int j = i + step * (ahead + 1), r = i + step * (far + 1);
            if (r >= 0 && r < n) player.PrefetchRecord(unsigned(r));
            if (j >= 0 && j < n) player.Prefetch(unsigned(j));
        }
        player.Play(unsigned(i), up, m_currentPoints, m_currentFaces);
        if (up) {
            if (indexMode ? i == target : *counter >= target) break;
            if (i == 0) break;
            --i;
        } else {
            if (indexMode ? i + 1 == target : *counter <= target) break;
            if (i == n - 1) break;
            ++i;
        }
    }
    m_pTrack->SetCurrentPosition(i);

    // An absolute target approached from below is never exceeded: step back one contraction.
    if (up && !m_bChanging && !indexMode && (mode & MRRATIO_ABSOLUTE) && !(flags & MRRATIO_ALLOW_OVERSHOOT) &&
        *counter > target) {
        m_bChanging = true;
        SetObjectRatio(ratio, before,
                       (byFaces ? (MRRATIO_ABSOLUTE | MRRATIO_FACES) : (MRRATIO_ABSOLUTE | MRRATIO_POINTS)) |
                           (flags & MRRATIO_FORCE));
        m_bChanging = false;
    }
    Invalidate(0x803, true);
    if (indexMode) return m_bLastDirectionUp ? m_pTrack->GetCurrentPosition() : m_pTrack->GetCurrentPosition() + 1;
    return *counter;
}

}  // namespace kestovar
