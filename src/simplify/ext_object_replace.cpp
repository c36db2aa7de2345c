// Contracting the faces of one edge (C3DExtObject::ReplacePointInFaceList): the faces holding
// both points disappear, every corner of the removed point moves to the kept point, and the
// texture and normal corners follow.
//
// Attribute bookkeeping. Before the faces disappear, each disappearing face notes, per texture
// channel, the pair (texture index at its removed corner, texture index at its kept corner), and
// the same pair of corner normals in the specified-normal channel. A surviving corner that held
// the removed point looks for the note of its side (same texture index first, else a noted value
// within 0.005) and then takes the note's kept-side index: the removed point's texture vertex
// merges into the kept point's, so the corners of a face always name channel points of the
// geometric points they stand for. Corners that already held the kept point never change index
// (a contraction record can only re-point corners that held the removed point); they only mark
// their note used, so that an interpolated value reaches the kept texture vertex. When the merged
// point lies on the edge, every used note writes the value interpolated with the edge parameter
// into the kept-side texture vertex or normal; a pair of normals further apart than the normal
// threshold is sharp and keeps its normals as they are.
//
// The notes live in a per-thread scratch that grows to the largest neighbourhood met and is then
// reused, so a contraction allocates nothing.
#include <cmath>

#include "core/parallel_failure.h"
#include "kestovar/mesh/channel_lists.h"
#include "kestovar/mesh/channels.h"
#include "kestovar/mesh/face_graph_edit.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/normal_channel.h"
#include "kestovar/optimizer/scene_optimizer.h"
#include "kestovar/optimizer/track_contractions.h"
#include "kestovar/simplify/ext_object.h"

namespace kestovar {

namespace {

// Default normal threshold (10 degrees) while the setting is unset.
constexpr double kDefaultNormalThreshold = 0.17453292519943295;
// Distance under which two noted attribute values count as the same vertex.
constexpr double kAttributeMatch = 0.005;

struct UVNote {
    int channel;       // position among the texture channels
    int removedIndex;  // texture index at the removed corner of the disappearing face
    int keptIndex;     // texture index at its kept corner
    bool used;
    float value[3];    // interpolated (u, v, w)
};

struct NormalNote {
    int removedIndex;
    int keptIndex;
    bool used;
    bool sharp;        // the two normals differ by more than the threshold
    float value[3];    // interpolated normal
};

struct ReplaceScratch {
    detail::ThreadExitRoom room;  // first: the thread's first use may find no memory
    CXArray<int> dying;
    CXArray<UVNote> uv;
    CXArray<NormalNote> normals;
};

thread_local ReplaceScratch t_scratch;

template <class T>
void Push(CXArray<T>& array, int& count, const T& value) {
    if (count >= array.GetSize()) array.SetSize(count + 1);
    array[count++] = value;
}

int CornerOf(const int* idx, int n, int p) {
    for (int k = 0; k < n; ++k)
        if (idx[k] == p) return k;
    return -1;
}

double UVDistance2(const CUVWPoint& a, const CUVWPoint& b) { return a.SquaredDistance(b); }

double VectorDistance2(const C3DTVector<float>& a, const C3DTVector<float>& b) {
    const double dx = double(a.x) - b.x, dy = double(a.y) - b.y, dz = double(a.z) - b.z;
    return dx * dx + dy * dy + dz * dz;
}

// The note a corner of `side` (true: the corner held the removed point) with channel index
// `index` answers to: the note whose index of that side is `index`, else the first whose value of
// that side lies within kAttributeMatch of the corner's value.
UVNote* FindUVNote(ReplaceScratch& s, int noteCount, int channel, bool removedSide, int index,
                   const CUVWPointList& cp) {
    for (int i = 0; i < noteCount; ++i) {
        UVNote& n = s.uv[i];
        if (n.channel == channel && (removedSide ? n.removedIndex : n.keptIndex) == index) return &n;
    }
    if (index < 0 || index >= cp.GetSize()) return nullptr;
    const CUVWPoint& value = *cp.GetPoint(index);
    for (int i = 0; i < noteCount; ++i) {
        UVNote& n = s.uv[i];
        if (n.channel != channel) continue;
        const CUVWPoint& noted = *cp.GetPoint(removedSide ? n.removedIndex : n.keptIndex);
        if (UVDistance2(noted, value) <= kAttributeMatch * kAttributeMatch) return &n;
    }
    return nullptr;
}

NormalNote* FindNormalNote(ReplaceScratch& s, int noteCount, bool removedSide, int index, const C3DVectorList& nv) {
    for (int i = 0; i < noteCount; ++i) {
        NormalNote& n = s.normals[i];
        if ((removedSide ? n.removedIndex : n.keptIndex) == index) return &n;
    }
    if (index < 0 || index >= nv.GetSize()) return nullptr;
    const C3DTVector<float>& value = *nv.GetVector(index);
    for (int i = 0; i < noteCount; ++i) {
        NormalNote& n = s.normals[i];
        const C3DTVector<float>& noted = *nv.GetVector(removedSide ? n.removedIndex : n.keptIndex);
        if (VectorDistance2(noted, value) < kAttributeMatch * kAttributeMatch) return &n;
    }
    return nullptr;
}

}  // namespace

unsigned int C3DExtObject::ReplacePointInFaceList(unsigned int removed, unsigned int kept, CContractionCost* const rec) {
    C3DFaceList& faces = *m_pWorkingFaces;
    C3DTPoint<float>* pts = m_pWorkingPoints->GetPoints();
    CDependentChannels* channels = m_pWorkingChannels;
    CTrackContractions* tracker =
        (m_pOptimizer && m_pOptimizer->IsFlagSet(SCENEOPTIMIZER_RECORD_CONTRACTIONS)) ? m_pTrackInfo : nullptr;
    ReplaceScratch& s = t_scratch;

    // 1. The faces holding both points.
    int dyingCount = 0;
    {
        int n = 0;
        const int* around = faces.GetFacesConnectedToPoint(removed, n);
        for (int i = 0; i < n; ++i) {
            int k;
            const int* idx = faces.GetIndexes(unsigned(around[i]), k);
            if (CornerOf(idx, k, int(kept)) >= 0) Push(s.dying, dyingCount, around[i]);
        }
    }

    // 2. Notes of the attribute corners of the disappearing faces.
    const bool keepUV = (m_optimizeMode & OPT_KEEP_UVW) != 0 && channels;
    const bool keepNormals = (m_optimizeMode & OPT_KEEP_NORMALS) != 0 && channels;
    const int uvChannels = keepUV ? channels->GetChannelsNumber(CHANNEL_UVW, false) : 0;
    int uvCount = 0, normalCount = 0;
    for (int c = 0; c < uvChannels; ++c) {
        CUVWFaceList* cf = nullptr;
        CUVWPointList* cp = nullptr;
        if (!channels->GetUVWChannelByIndex(c, cf, cp) || !cf || !cp) continue;
        for (int i = 0; i < dyingCount; ++i) {
            const int f = s.dying[i];
            if (f >= cf->GetSize() || !cf->IsFaceLive(unsigned(f))) continue;
            int k, cn;
            const int* idx = faces.GetIndexes(unsigned(f), k);
            const int* cidx = cf->GetIndexes(unsigned(f), cn);
            const int jr = CornerOf(idx, k, int(removed)), jk = CornerOf(idx, k, int(kept));
            if (jr < 0 || jk < 0 || jr >= cn || jk >= cn) continue;
            const int r = cidx[jr], q = cidx[jk];
            if (r < 0 || q < 0 || r >= cp->GetSize() || q >= cp->GetSize()) continue;
            bool known = false;
            for (int j = 0; j < uvCount && !known; ++j)
                known = s.uv[j].channel == c && s.uv[j].removedIndex == r && s.uv[j].keptIndex == q;
            if (!known) Push(s.uv, uvCount, UVNote{c, r, q, false, {0.0f, 0.0f, 0.0f}});
        }
    }
    CNormalFaceList* nf = nullptr;
    C3DVectorList* nv = nullptr;
    if (keepNormals && (!channels->GetSpecNormalChannel(nf, nv) || !nf || !nv)) nf = nullptr;
    if (nf) {
        const double threshold = m_normalThreshold < 0.0 ? kDefaultNormalThreshold : m_normalThreshold;
        const double cosThreshold = std::cos(threshold);
        for (int i = 0; i < dyingCount; ++i) {
            const int f = s.dying[i];
            if (f >= nf->GetSize() || !nf->IsFaceLive(unsigned(f))) continue;
            int k, cn;
            const int* idx = faces.GetIndexes(unsigned(f), k);
            const int* cidx = nf->GetIndexes(unsigned(f), cn);
            const int jr = CornerOf(idx, k, int(removed)), jk = CornerOf(idx, k, int(kept));
            if (jr < 0 || jk < 0 || jr >= cn || jk >= cn) continue;
            const int r = cidx[jr], q = cidx[jk];
            if (r < 0 || q < 0 || r >= nv->GetSize() || q >= nv->GetSize()) continue;
            bool known = false;
            for (int j = 0; j < normalCount && !known; ++j)
                known = s.normals[j].removedIndex == r && s.normals[j].keptIndex == q;
            if (known) continue;
            const C3DTVector<float>& a = *nv->GetVector(r);
            const C3DTVector<float>& b = *nv->GetVector(q);
            const double dot = double(a.x) * b.x + double(a.y) * b.y + double(a.z) * b.z;
            Push(s.normals, normalCount, NormalNote{r, q, false, dot <= cosThreshold, {0.0f, 0.0f, 0.0f}});
        }
    }

    // 3. The faces disappear, with their channel faces.
    if (dyingCount > 0) {
        CGeomInfo geom(&faces, m_pWorkingPoints);
        const int channelCount = channels ? channels->GetSize() : 0;
        for (int i = 0; i < dyingCount; ++i) {
            const int f = s.dying[i];
            faces.SetFaceFlags(unsigned(f), FACE_INVALID, true);
            for (int c = 0; c < channelCount; ++c) {
                CChannel* channel = channels->GetChannel(c);
                if (!(channel->GetType() & (CHANNEL_UVW | CHANNEL_VC | CHANNEL_SPEC_NORMAL))) continue;
                CFaceList* cf = channel->GetFaceList();
                if (cf && f < cf->GetSize()) cf->SetFaceFlags(unsigned(f), FACE_INVALID, true);
            }
            ++m_removedFaces;
            const int emptied = faces.GraphRemoveFaceReference(&geom, unsigned(f), true);
            if (emptied > 1) m_removedPoints += emptied - 1;
            if (tracker) {
                CTrackInvalidFace* entry = tracker->AddInvalidFace();
                entry->SetCurrentFace(f);
                entry->SetIsolatedFacePointNumber(emptied);
            }
        }
    }

    // 4. Interpolated attribute values, for a merged point on the edge (the kept point is then
    // the record's first point, so t runs from the removed value to the kept one).
    const bool interpolate = rec->GetKind() == POSITION_ON_EDGE && (keepUV || keepNormals);
    if (interpolate) {
        const float t = float(rec->GetT());
        for (int i = 0; i < uvCount; ++i) {
            UVNote& n = s.uv[i];
            CUVWFaceList* cf = nullptr;
            CUVWPointList* cp = nullptr;
            channels->GetUVWChannelByIndex(n.channel, cf, cp);
            const CUVWPoint& a = *cp->GetPoint(n.removedIndex);
            const CUVWPoint& b = *cp->GetPoint(n.keptIndex);
            n.value[0] = a.u + (b.u - a.u) * t;
            n.value[1] = a.v + (b.v - a.v) * t;
            n.value[2] = a.w + (b.w - a.w) * t;
        }
        for (int i = 0; nf && i < normalCount; ++i) {
            NormalNote& n = s.normals[i];
            if (n.sharp) continue;
            const C3DTVector<float>& a = *nv->GetVector(n.removedIndex);
            const C3DTVector<float>& b = *nv->GetVector(n.keptIndex);
            float v[3] = {a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t, a.z + (b.z - a.z) * t};
            const double l = std::sqrt(double(v[0]) * v[0] + double(v[1]) * v[1] + double(v[2]) * v[2]);
            if (l > 1e-15)
                for (float& x : v) x = float(x / l);
            n.value[0] = v[0];
            n.value[1] = v[1];
            n.value[2] = v[2];
        }
    }

    // 5. Corners: the removed point's become the kept point's, channel corners reconciled.
    const bool removedNormalFrontier = pts[removed].IsFlagSet(POINT_NORMAL_FRONTIER);
    for (int side = 0; side < (interpolate ? 2 : 1); ++side) {
        const bool removedSide = side == 0;
        const unsigned int centre = removedSide ? removed : kept;
        int n = 0;
        const int* around = faces.GetFacesConnectedToPoint(centre, n);
        for (int i = 0; i < n; ++i) {
            const int f = around[i];
            int k;
            int* idx = faces.GetIndexes(unsigned(f), k);
            for (int j = 0; j < k; ++j) {
                if (idx[j] != int(centre)) continue;
                if (removedSide) {
                    idx[j] = int(kept);
                    if (tracker) {
                        CTrackFace* entry = tracker->AddFace();
                        entry->SetCurrentFace(f);
                        entry->SetCorner(j);
                    }
                }
                for (int c = 0; c < uvChannels && uvCount > 0; ++c) {
                    CUVWFaceList* cf = nullptr;
                    CUVWPointList* cp = nullptr;
                    if (!channels->GetUVWChannelByIndex(c, cf, cp) || !cf || !cp) continue;
                    if (f >= cf->GetSize() || !cf->IsFaceLive(unsigned(f))) continue;
                    int cn;
                    int* cidx = cf->GetIndexes(unsigned(f), cn);
                    if (j >= cn) continue;
                    UVNote* note = FindUVNote(s, uvCount, c, removedSide, cidx[j], *cp);
                    if (!note) continue;
                    note->used = true;
                    if (!removedSide || cidx[j] == note->keptIndex) continue;
                    if (tracker) {
                        CTrackChannelFace* entry = tracker->AddChannelFace((unsigned char)(0x60 | j));
                        entry->SetChannel((unsigned char)c);
                        entry->SetIndexChange(cidx[j]);
                    }
                    cidx[j] = note->keptIndex;
                }
                if (nf && normalCount > 0 && f < nf->GetSize() && nf->IsFaceLive(unsigned(f))) {
                    int cn;
                    int* cidx = nf->GetIndexes(unsigned(f), cn);
                    if (j >= cn) continue;
                    NormalNote* note = FindNormalNote(s, normalCount, removedSide, cidx[j], *nv);
                    if (!note) continue;
                    note->used = true;
                    if (!removedSide || note->sharp) continue;
                    if (cidx[j] != note->keptIndex) {
                        if (tracker) {
                            CTrackNormalFace* entry = tracker->AddNormalFace();
                            entry->SetCorner(j);
                            entry->SetIndexChange(cidx[j]);
                        }
                        cidx[j] = note->keptIndex;
                    }
                    if (removedNormalFrontier) pts[kept].SetFlag(POINT_NORMAL_FRONTIER, true);
                }
            }
        }
    }
    if (interpolate) {
        for (int i = 0; i < uvCount; ++i) {
            const UVNote& n = s.uv[i];
            if (!n.used) continue;
            bool first = true;  // one write per kept texture vertex
            for (int j = 0; j < i && first; ++j)
                first = !(s.uv[j].used && s.uv[j].channel == n.channel && s.uv[j].keptIndex == n.keptIndex);
            if (!first) continue;
            CUVWFaceList* cf = nullptr;
            CUVWPointList* cp = nullptr;
            channels->GetUVWChannelByIndex(n.channel, cf, cp);
            CUVWPoint& target = *cp->GetPoint(n.keptIndex);
            if (target.u == n.value[0] && target.v == n.value[1] && target.w == n.value[2]) continue;
            if (tracker) {
                CTrackUVContraction* entry = tracker->AddUVContraction();
                entry->SetUVWIndex(n.keptIndex);
                entry->SetUVWPoint(target);
                entry->SetChannel((unsigned char)n.channel);
            }
            target.u = n.value[0];
            target.v = n.value[1];
            target.w = n.value[2];
        }
        for (int i = 0; nf && i < normalCount; ++i) {
            const NormalNote& n = s.normals[i];
            if (!n.used || n.sharp) continue;
            bool first = true;
            for (int j = 0; j < i && first; ++j)
                first = !(s.normals[j].used && !s.normals[j].sharp && s.normals[j].keptIndex == n.keptIndex);
            if (!first) continue;
            C3DTVector<float>& target = *nv->GetVector(n.keptIndex);
            if (target.x == n.value[0] && target.y == n.value[1] && target.z == n.value[2]) continue;
            if (tracker) {
                CTrackNormalContraction* entry = tracker->AddNormalContraction();
                entry->SetNormalIndex(n.keptIndex);
                entry->SetNormal(target);
            }
            target.x = n.value[0];
            target.y = n.value[1];
            target.z = n.value[2];
        }
    }

    // 6. The kept point takes over the removed point's faces.
    if (MergePointFaces(removed, kept) > 0) pts[kept].SetFlag(POINT_REMOVED, false);
    return unsigned(dyingCount);
}

// The removed point's faces move onto the kept point in the working point-to-face graph, recycling
// the room of emptied records through the object's pool. Without the pool the kept record would
// grow by being written anew at the end of the graph's buffer, leaving both its old room and the
// emptied removed record as dead bytes; over a long run the buffer would then grow by about half
// and finally be compacted into a second buffer of the same size.
int C3DExtObject::MergePointFaces(unsigned int removed, unsigned int kept) {
    CPointToFaceGraph* graph = m_pWorkingFaces ? m_pWorkingFaces->GetPointToFaceGraph() : nullptr;
    return graph ? MergePointToFaceRecords(*graph, removed, kept, &m_graphRoom) : 0;
}

// Rewrites the working point-to-face graph with kGraphRoomMargin values of room in every used
// record, in point order, before the candidates are built (while little else is held, so that the
// old and the new buffer may briefly coexist). A contraction appends the removed point's faces to
// the kept point's record: at valence 6 the kept record grows from 4 to 8 faces (its two dying
// faces gone), which now fits where it stands; records that outgrow even that take the room of
// emptied ones (MergePointFaces). Without the margin nearly every early contraction writes the
// kept record anew at the end of the buffer, growing it by half before emptied records of the
// right size exist. The contents are unchanged.
void C3DExtObject::WidenPointToFaceGraph() {
    m_graphRoom.Clear();
    C3DFaceList& faces = *m_pWorkingFaces;
    if (!faces.HasPointToFaceGraph()) {
        CGeomInfo geom(&faces, m_pWorkingPoints);
        faces.UpdatePointToFaceGraph(&geom);
    }
    CPointToFaceGraph* graph = faces.GetPointToFaceGraph();
    if (!graph) return;
    const unsigned n = graph->GetSize();
    const uint64_t bytes = graph->GetPackedBytes() + uint64_t(n) * kGraphRoomMargin * sizeof(int);
    CPointToFaceGraph wide(graph->GetTypicalLength());
    wide.Reserve(bytes, n);
    for (unsigned p = 0; p < n; ++p) {
        unsigned count;
        const int* values = graph->Get(p, count);
        wide.Add(values, count, count ? count + kGraphRoomMargin : 0);
    }
    *graph = wide;
    // A little room at the end for the rare record that neither fits nor finds an emptied one, so
    // that the first such record does not grow the whole buffer by a quarter.
    graph->Reserve(bytes / 64, 0);
}

}  // namespace kestovar
