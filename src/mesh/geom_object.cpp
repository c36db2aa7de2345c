// C3DGeomObject: the lists and channels of a polygonal object, their invalidation, the cached
// bounding boxes, smoothing settings, transformation, clean-up, materials, copy and persistence.
#include <cmath>
#include <numbers>

#include "kestovar/core/archive.h"
#include "kestovar/core/exception.h"
#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/object_creator.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/scene/preferences.h"
#include "kestovar/scene/scene.h"
#include "object_archive.h"

namespace kestovar {

namespace {

constexpr unsigned int kNoChannel = 0xFFFFFFFFu;
// Channel types whose content depends on the smoothing settings: point and specified normals.
constexpr unsigned int kSmoothedChannels = CHANNEL_POINT_NORMAL | CHANNEL_SPEC_NORMAL;

// The smoothing settings of an object that follows its scene: the scene's (which fall back to
// the preferences' when the scene has none), or the preferences' for an object in no scene.
float SceneSmoothAngle(const C3DScene* scene) {
    return scene ? scene->GetSmoothAngle() : Get3DPreferences()->GetSmoothAngle();
}
_NormalSmoothMode SceneSmoothMode(const C3DScene* scene) {
    return scene ? scene->GetSmoothMode() : Get3DPreferences()->GetSmoothMode();
}

// Refuses loaded faces that reach past their point list: every later operation would read out
// of bounds or stop on them, so such data counts as malformed like any other. Only live faces are
// checked; a face that is not live is never read as geometry.
void CheckLoadedCorners(const CFaceList* faces, int points, const char* what) {
    if (faces && faces->FindFaceOutside(points) >= 0)
        XThrow<CXArchiveException>(CXArchiveException::badIndex, what);
}

}  // namespace

KX_IMPLEMENT_SERIAL(C3DGeomObject, C3DBaseObject, 1)

C3DGeomObject::C3DGeomObject() : C3DGeomObject(OBJECT_NONE) {}

C3DGeomObject::C3DGeomObject(_OBJECT_KINDOF kind)
    : C3DBaseObject(kind),
      m_smoothAngle(kSceneSmoothAngle),
      m_smoothMode(NORMAL_SMOOTH_SCENE),
      m_faceMode(FACE_MODE_DEFAULT),
      m_pFaceList(nullptr),
      m_pPointList(nullptr),
      m_pChannels(CDependentChannels::Create()),
      m_globalUVWChannel(kNoChannel),
      m_globalVCChannel(kNoChannel),
      m_globalVCParameter(1.0f) {}

C3DGeomObject::C3DGeomObject(C3DPointList* points, C3DFaceList* faces, CDependentChannels* channels)
    : C3DGeomObject(OBJECT_NONE, points, faces, channels) {}

C3DGeomObject::C3DGeomObject(_OBJECT_KINDOF kind, C3DPointList* points, C3DFaceList* faces,
                             CDependentChannels* channels) try
    : C3DGeomObject(kind) {
    m_pPointList = points;
    m_pFaceList = faces;
    if (channels) {
        XRelease(m_pChannels);
        m_pChannels = channels;
    }
} catch (...) {
    // The lists were handed over: a construction that fails releases them.
    XRelease(points);
    XRelease(faces);
    XRelease(channels);
}

C3DGeomObject::~C3DGeomObject() { ReleaseGeometry(); }

void C3DGeomObject::ReleaseGeometry() {
    XRelease(m_pFaceList);
    XRelease(m_pPointList);
    XRelease(m_pChannels);
}

void C3DGeomObject::EmptyBoxes() {
    m_pointBox.Empty();
    m_faceBox.Empty();
}

// ---- persistence ---------------------------------------------------------------------------

void C3DGeomObject::Serialize(CXArchive& ar) {
    C3DBaseObject::Serialize(ar);
    if (ar.IsStoring()) {
        detail::StoreOwnedMember(ar, m_pFaceList);
        detail::StoreOwnedMember(ar, m_pPointList ? m_pPointList->AsObject() : nullptr);
        detail::StoreOwnedMember(ar, m_pChannels);
        ar << m_smoothAngle << int32_t(m_faceMode) << int32_t(m_smoothMode) << uint32_t(m_globalUVWChannel)
           << uint32_t(m_globalVCChannel) << m_globalVCParameter;
        return;
    }
    ReleaseGeometry();
    EmptyBoxes();
    m_pFaceList = C3DFaceList::FromObject(detail::LoadOwnedMember(ar, KX_RUNTIME_CLASS(C3DFaceList)));
    m_pPointList = C3DPointList::FromObject(detail::LoadOwnedMember(ar, KX_RUNTIME_CLASS(C3DPointList)));
    m_pChannels = static_cast<CDependentChannels*>(detail::LoadOwnedMember(ar, KX_RUNTIME_CLASS(CDependentChannels)));
    // Every geometric object holds a channel set, possibly empty.
    if (!m_pChannels) m_pChannels = CDependentChannels::Create();
    int32_t faceMode = 0, smoothMode = 0;
    uint32_t uvw = 0, vc = 0;
    ar >> m_smoothAngle >> faceMode >> smoothMode >> uvw >> vc >> m_globalVCParameter;
    m_faceMode = _faceModeEnum(faceMode);
    m_smoothMode = _NormalSmoothMode(smoothMode);
    m_globalUVWChannel = uvw;
    m_globalVCChannel = vc;
    CheckLoadedCorners(m_pFaceList, m_pPointList ? m_pPointList->GetSize() : 0, "face corner outside the point list");
    for (int i = 0; i < m_pChannels->GetSize(); ++i) {
        const CChannel* channel = m_pChannels->GetChannel(i);
        if (!channel) continue;
        const CPointList* values = channel->GetPointList();
        CheckLoadedCorners(channel->GetFaceList(), values ? values->GetSize() : 0,
                           "channel face corner outside the channel's values");
    }
}

unsigned int C3DGeomObject::GetChecksum(unsigned int mask) {
    unsigned int sum = 0;
    if (m_pPointList) sum += m_pPointList->GetChecksum(mask);
    if (m_pFaceList) sum += m_pFaceList->GetChecksum(mask);
    if ((mask & 0x10) && m_pChannels) sum += m_pChannels->GetChecksum(mask);
    return sum;
}

// ---- update and invalidation ---------------------------------------------------------------

bool C3DGeomObject::Update(C3DScene* scene, unsigned int flags) {
    // Serving OBJECT_UPDATE_CHANNELS on a final object regenerates the texture coordinates once
    // texture generation is part of the object; until then there is nothing to regenerate.
    bool changed = false;
    C3DBaseObject::Update(scene, flags);
    return changed;
}

void C3DGeomObject::Invalidate(unsigned int flags, bool set) {
    if ((flags & (INVALIDATE_POINTS | INVALIDATE_MATERIALS)) && m_pPointList)
        m_pPointList->SetFlag(POINTLIST_CHANGED, true);
    if ((flags & INVALIDATE_FACES) && m_pFaceList) m_pFaceList->SetFlag(FACELIST_CHANGED, true);
    if (flags & (INVALIDATE_POINTS | INVALIDATE_FACES)) EmptyBoxes();
    if ((flags & (INVALIDATE_POINTS | INVALIDATE_FACES | INVALIDATE_ALL)) && m_pChannels) {
        m_updateFlags |= OBJECT_UPDATE_CHANNELS;
        InvalidateChannels(CHANNEL_ALL);
    }
    C3DBaseObject::Invalidate(flags, set);
}

bool C3DGeomObject::InvalidateChannels(unsigned int typeMask) {
    if (!m_pChannels || !m_pChannels->InvalidateChannels(typeMask)) return false;
    Invalidate(INVALIDATE_CHANNELS, true);
    return true;
}

void C3DGeomObject::InheritFlags(const C3DBaseObject& other, int copyFlags) {
    C3DBaseObject::InheritFlags(other, copyFlags);
    if (&other == this || !other.IsKindOf(KX_RUNTIME_CLASS(C3DGeomObject))) return;
    const C3DGeomObject& g = static_cast<const C3DGeomObject&>(other);
    m_updateFlags = g.m_updateFlags;
    m_pointBox = g.m_pointBox;
    m_faceBox = g.m_faceBox;
    m_smoothAngle = g.m_smoothAngle;
    m_smoothMode = g.m_smoothMode;
    m_faceMode = g.m_faceMode;
    m_globalUVWChannel = g.m_globalUVWChannel;
    m_globalVCChannel = g.m_globalVCChannel;
    m_globalVCParameter = g.m_globalVCParameter;
}

// ---- lists and channels --------------------------------------------------------------------

void C3DGeomObject::SetFaceList(C3DFaceList* faces, bool deleteOld) {
    if (faces == m_pFaceList) return;
    if (deleteOld) XRelease(m_pFaceList);
    m_pFaceList = faces;
    Invalidate(INVALIDATE_FACES, true);
}

void C3DGeomObject::SetPointList(C3DPointList* points, bool deleteOld) {
    if (points == m_pPointList) return;
    if (deleteOld) XRelease(m_pPointList);
    m_pPointList = points;
    Invalidate(INVALIDATE_POINTS, true);
}

void C3DGeomObject::SetChannels(CDependentChannels* channels, bool deleteOld) {
    if (channels == m_pChannels) return;
    if (deleteOld) XRelease(m_pChannels);
    m_pChannels = channels;
    Invalidate(INVALIDATE_CHANNELS, true);
}

int C3DGeomObject::GetPointNbr() const { return m_pPointList ? m_pPointList->GetSize() : 0; }

int C3DGeomObject::GetFaceNbr() const { return m_pFaceList ? m_pFaceList->GetSize() : 0; }

int C3DGeomObject::AddChannel(CChannel* channel) {
    if (!channel) return -1;
    if (!m_pChannels) {
        try {
            m_pChannels = CDependentChannels::Create();
        } catch (...) {
            channel->Delete();  // handed over: released on failure, as the set does
            throw;
        }
    }
    return m_pChannels->AddChannel(channel);
}

CChannel* C3DGeomObject::GetChannelByID(unsigned int id, _Channel3DType typeMask) const {
    return m_pChannels ? m_pChannels->GetChannelByID(id, typeMask) : nullptr;
}

CChannel* C3DGeomObject::GetChannelByIndex(int index, _Channel3DType typeMask, bool skipInvalid) const {
    return m_pChannels ? m_pChannels->GetChannelByIndex(index, typeMask, skipInvalid) : nullptr;
}

int C3DGeomObject::CleanChannels(unsigned int typeMask, bool invalidate) {
    if (!m_pChannels) return 0;
    CGeomInfo geom(this);
    int changed = m_pChannels->CleanChannels(&geom, nullptr, nullptr, typeMask);
    if (changed && invalidate) Invalidate(INVALIDATE_CHANNELS, true);
    return changed;
}

void C3DGeomObject::SetGlobalUVWChannel(unsigned int id) {
    m_globalUVWChannel = id;
    Invalidate(INVALIDATE_CHANNELS, true);
}

void C3DGeomObject::SetGlobalVCChannel(unsigned int id, float parameter) {
    m_globalVCChannel = id;
    m_globalVCParameter = parameter;
    Invalidate(INVALIDATE_CHANNELS, true);
}

// ---- smoothing -----------------------------------------------------------------------------

float C3DGeomObject::GetSmoothAngle(bool* fromScene) const {
    bool scene = m_smoothAngle == kSceneSmoothAngle;
    if (fromScene) *fromScene = scene;
    return scene ? SceneSmoothAngle(m_pScene) : m_smoothAngle;
}

void C3DGeomObject::SetSmoothAngle(float radians) {
    float value = radians;
    if (value != kSceneSmoothAngle) {
        // The range test runs in degrees so that exactly 180 degrees is kept as given.
        double degrees = double(value) * 180.0 / std::numbers::pi;
        if (!(degrees >= 0.0))
            value = 0.0f;  // negative (or not a number)
        else if (degrees > 180.0)
            value = float(std::numbers::pi);
    }
    if (value == m_smoothAngle) return;
    m_smoothAngle = value;
    InvalidateChannels(kSmoothedChannels);
}

_NormalSmoothMode C3DGeomObject::GetSmoothMode(bool* fromScene) const {
    bool scene = m_smoothMode == NORMAL_SMOOTH_SCENE;
    if (fromScene) *fromScene = scene;
    return scene ? SceneSmoothMode(m_pScene) : m_smoothMode;
}

void C3DGeomObject::SetSmoothMode(_NormalSmoothMode mode) {
    if (mode == m_smoothMode) return;
    m_smoothMode = mode;
    InvalidateChannels(kSmoothedChannels);
}

void C3DGeomObject::SetFaceMode(_faceModeEnum mode) {
    m_faceMode = mode;
    Invalidate(INVALIDATE_CHANNELS, true);
}

// ---- geometry ------------------------------------------------------------------------------

bool C3DGeomObject::GetBoundingBox(C3DTBBox<float>& box, unsigned int mask, unsigned int, bool,
                                   const C3DSceneNode* node) {
    box.Empty();
    if (IsFlagSet(OBJECT_EMPTY) || !(mask & (BBOX_FACES | BBOX_POINTS))) return false;
    bool ofFaces = (mask & BBOX_FACES) != 0;
    // World space: each point through the node's transform at its scene's current time; such a
    // box depends on the node, so it is not cached.
    const bool world = (mask & BBOX_WORLD) != 0;
    C4x4TMatrix<float> tm;
    C3DTBBox<float>& cache = ofFaces ? m_faceBox : m_pointBox;
    if (world) {
        if (!node) return false;
        const C3DScene* scene = node->GetScene();
        const_cast<C3DSceneNode*>(node)->GetNodeTM(scene ? scene->GetTime() : 0, tm);
    } else if (cache.IsValid()) {
        box = cache;
        return true;
    }
    const C4x4TMatrix<float>* transform = world ? &tm : nullptr;
    if (ofFaces && m_pFaceList) {
        if (m_pPointList) m_pFaceList->GetBoundingBox(*m_pPointList, box, transform);
    } else if (m_pPointList) {
        m_pPointList->GetBoundingBox(box, 0, false, transform);
    }
    if (!world) cache = box;
    return !box.IsEmpty();
}

bool C3DGeomObject::GetBoundingBox(C3DTPoint<float>& min, C3DTPoint<float>& max, unsigned int mask,
                                   unsigned int tmFlags, bool selectedOnly, const C3DSceneNode* node) {
    C3DTBBox<float> box;
    bool found = GetBoundingBox(box, mask, tmFlags, selectedOnly, node);
    min.Init(box.GetMin().x, box.GetMin().y, box.GetMin().z);
    max.Init(box.GetMax().x, box.GetMax().y, box.GetMax().z);
    return found;
}

bool C3DGeomObject::GetCG(C3DTPoint<float>& centre) {
    if (!m_pPointList) return false;
    C3DTBBox<float> box;
    GetBoundingBox(box, BBOX_POINTS);
    C3DTPoint<float> c = box.GetCenter();
    centre.Init(c.x, c.y, c.z);
    return true;
}

bool C3DGeomObject::MatrixTransform(const C4x4TMatrix<float>& m) {
    if (m.IsIdentity() || !m_pPointList) return false;
    m_pPointList->MatrixTransform(m);
    if (m_pChannels) m_pChannels->MatrixTransform(m, CHANNEL_ALL, _POINT_PROPERTIES(0), true);
    // Determinant of the linear part, the three positive and the three negative products summed
    // apart: a negative value means the transform mirrors, which turns every face inside out.
    const float(&a)[4][4] = m.m;
    float positive = a[0][0] * a[1][1] * a[2][2] + a[0][1] * a[1][2] * a[2][0] + a[0][2] * a[1][0] * a[2][1];
    float negative = -(a[0][2] * a[1][1] * a[2][0]) - a[0][0] * a[1][2] * a[2][1] - a[0][1] * a[1][0] * a[2][2];
    if (positive + negative < 0.0f) FlipNormals(_FACE_PROPERTIES(0), true);
    Invalidate(INVALIDATE_POINTS, true);
    return true;
}

bool C3DGeomObject::FlipNormals(_FACE_PROPERTIES mask, bool value) {
    if (!m_pFaceList || m_pFaceList->GetSize() == 0 || IsFlagSet(OBJECT_EMPTY)) return false;
    if (mask == 0) {
        m_pFaceList->FlipNormals(mask, value);
        if (m_pChannels) m_pChannels->FlipNormals(0, value);
    } else {
        // A selective flip: the channel faces follow the geometric faces one by one, so that their
        // corners stay matched whatever flags the channel faces carry.
        for (int i = 0, n = m_pFaceList->GetSize(); i < n; ++i) {
            unsigned int flags = m_pFaceList->GetFaceFlags(unsigned(i));
            if (!IsLiveFaceFlags(flags) || ((flags & mask) == mask) != value) continue;
            m_pFaceList->Flip(unsigned(i));
            if (m_pChannels) m_pChannels->FlipFace(unsigned(i));
        }
    }
    Invalidate(INVALIDATE_FACES, true);
    return true;
}

bool C3DGeomObject::IsTriangular(_FACE_PROPERTIES mask, bool value) const {
    return m_pFaceList ? m_pFaceList->IsTriangular(mask, value) : false;
}

bool C3DGeomObject::SortFaces(unsigned int mode) {
    if (!m_pFaceList || IsFlagSet(OBJECT_EMPTY)) return false;
    CGeomInfo geom(this);
    if (!m_pFaceList->Sort(&geom, mode)) return false;
    Invalidate(INVALIDATE_FACES, true);
    return true;
}

bool C3DGeomObject::Clean() {
    if (!m_pPointList || IsFlagSet(OBJECT_EMPTY)) return false;
    bool changed;
    if (m_pFaceList && m_pFaceList->GetSize() > 0) {
        CGeomInfo geom(this);
        changed = m_pFaceList->Clean(&geom);
        if (changed) {
            if (m_pFaceList->GetSize() == 0 && m_pPointList->GetSize() == 0) SetFlag(OBJECT_EMPTY, true);
            Invalidate(INVALIDATE_POINTS | INVALIDATE_FACES, true);
        }
    } else {
        // Points alone: only those already marked removed can go, and no face needs renumbering.
        changed = m_pPointList->Clean(nullptr, nullptr);
        if (changed) Invalidate(INVALIDATE_POINTS, true);
    }
    FreeExtra();
    return changed;
}

void C3DGeomObject::FreeExtra() {
    if (m_pPointList) m_pPointList->FreeExtra();
    if (m_pFaceList) m_pFaceList->FreeExtra();
    if (m_pChannels) m_pChannels->FreeExtra();
}

void C3DGeomObject::Inherit(const C3DGeomObject& other, unsigned int typeMask, unsigned int copyFlags) {
    if (m_pFaceList && other.m_pFaceList) m_pFaceList->InheritSettings(*other.m_pFaceList);
    if (m_pPointList && other.m_pPointList) m_pPointList->SetGrowFactor(other.m_pPointList->GetGrowFactor());
    if (!m_pChannels) m_pChannels = CDependentChannels::Create();
    if (other.m_pChannels) m_pChannels->CopyChannels(*other.m_pChannels, typeMask, copyFlags, nullptr);
}

// ---- materials -----------------------------------------------------------------------------

int C3DGeomObject::GetMaterialsHashMap(CHashMap<unsigned int, unsigned int, unsigned int>& map, bool withBack,
                                       bool reset) {
    if (!m_pFaceList) {
        if (reset) map.RemoveAll();
        return 0;
    }
    CGeomInfo geom(this);
    return m_pFaceList->GetMaterialsHashMap(&geom, map, withBack, reset);
}

CFBMaterialHashMap* C3DGeomObject::GetFBMaterialsHashMap() {
    if (!m_pFaceList) return nullptr;
    CGeomInfo geom(this);
    return m_pFaceList->GetFBMaterialsHashMap(&geom);
}

bool C3DGeomObject::HasBackFaceMaterials() const { return m_pFaceList && m_pFaceList->HasBackFaceMaterials(); }

bool C3DGeomObject::ReplaceMaterial(unsigned int from, unsigned int to) {
    if (!m_pFaceList || !m_pFaceList->ReplaceMaterial(from, to)) return false;
    Invalidate(INVALIDATE_MATERIALS, true);
    return true;
}

bool C3DGeomObject::ReplaceMaterials(const CHashMap<unsigned int, unsigned int, unsigned int>& map) {
    CHashMap<unsigned int, unsigned int, unsigned int> used;
    GetMaterialsHashMap(used, true, true);
    bool changed = false;
    int position = kHashStartPosition;
    unsigned int material = 0, faces = 0;
    while (used.GetNext(position, material, faces)) {
        unsigned int replacement = 0;
        if (map.Find(material, replacement) && ReplaceMaterial(material, replacement)) changed = true;
    }
    if (changed) Invalidate(INVALIDATE_CHANNELS, true);
    return changed;
}

// ---- copy ----------------------------------------------------------------------------------

bool C3DGeomObject::InternalCopy(C3DBaseObject*& dst, int copyFlags, C3DObjectCreator* creator) {
    if (!dst) {
        if (copyFlags & OBJECT_COPY_INSTANCE) return C3DBaseObject::InternalCopy(dst, copyFlags, creator);
        bool created = true;
        dst = creator ? creator->GetNewObjectFrom(this, created) : Create(m_kind);
        if (!dst) return false;
        // An existing object handed back by the creator stands for the copy as it is.
        if (!created) {
            dst->AddRef();
            return true;
        }
    }
    if (!IsCopyCompatible(m_kind, dst->GetKindOf())) return false;
    if (dst != this && dst->IsKindOf(KX_RUNTIME_CLASS(C3DGeomObject))) {
        C3DGeomObject* g = static_cast<C3DGeomObject*>(dst);
        if (m_pPointList) {
            if (!g->m_pPointList) g->m_pPointList = creator ? creator->GetNewPointList() : new C3DPointList;
            *g->m_pPointList = *m_pPointList;
        } else {
            XRelease(g->m_pPointList);
        }
        if (m_pFaceList) {
            if (!g->m_pFaceList) g->m_pFaceList = creator ? creator->GetNewFaceList() : new C3DFaceList;
            *g->m_pFaceList = *m_pFaceList;
        } else {
            XRelease(g->m_pFaceList);
        }
        if (!g->m_pChannels) g->m_pChannels = CDependentChannels::Create();
        if (m_pChannels)
            g->m_pChannels->CopyChannels(*m_pChannels, CHANNEL_ALL, CHANNEL_COPY_KEEP_ID | CHANNEL_COPY_SKIP_DERIVED,
                                         nullptr);
        else
            g->m_pChannels->RemoveAll();
        g->Invalidate(INVALIDATE_ALL, true);
    }
    return C3DBaseObject::InternalCopy(dst, copyFlags, creator);
}

}  // namespace kestovar
