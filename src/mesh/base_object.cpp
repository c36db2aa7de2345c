// C3DBaseObject: identity, update tracking, the copy protocol and the kind dispatch shared by every
// object of a scene.
#include <atomic>

#include "kestovar/core/archive.h"
#include "kestovar/core/exception.h"
#include "kestovar/core/resource_strings.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/object_creator.h"
#include "kestovar/platform/time.h"

namespace kestovar {

namespace {

// Library-wide object identifiers: the first object constructed gets 1.
std::atomic<unsigned int> g_lastObjectID{0};

// The update bits that carry a time stamp when they are served.
constexpr unsigned int kStampedUpdates[] = {OBJECT_UPDATE_INIT, OBJECT_UPDATE_SCENE, OBJECT_UPDATE_CHANNELS};

// Stamp slot of update bit `flag`: (flag >> 16) - 1, or -1 outside the array.
int StampIndex(unsigned int flag) {
    unsigned int slot = flag >> 16;
    if (slot == 0 || slot > 32) return -1;
    return int(slot) - 1;
}

}  // namespace

KX_IMPLEMENT_SERIAL(C3DBaseObject, CXObject, 1)

C3DBaseObject::C3DBaseObject() : C3DBaseObject(OBJECT_NONE) {}

C3DBaseObject::C3DBaseObject(_OBJECT_KINDOF kind)
    : m_kind(kind),
      m_flags(0),
      m_updateFlags(OBJECT_UPDATE_INIT),
      m_updateStamps{},
      m_objectID(g_lastObjectID.fetch_add(1, std::memory_order_relaxed) + 1),
      m_instanceCount(1),
      m_pScene(nullptr) {}

C3DBaseObject::~C3DBaseObject() = default;

unsigned int C3DBaseObject::GetLastObjectID() { return g_lastObjectID.load(std::memory_order_relaxed); }

void C3DBaseObject::Serialize(CXArchive& ar) {
    if (ar.IsStoring()) {
        ar << uint32_t(m_kind) << uint32_t(m_flags);
        m_customData.Serialize(ar);
        return;
    }
    uint32_t kind = 0, flags = 0;
    ar >> kind >> flags;
    // The class decides the kind: a stored kind of another class means the data is not what its
    // class name says.
    if (kind != uint32_t(m_kind)) XThrow<CXArchiveException>(CXArchiveException::badClass, "object kind does not match its class");
    m_flags = flags;
    m_customData.Serialize(ar);
}

void C3DBaseObject::DeleteFromNode() {
    if (m_instanceCount > 1) --m_instanceCount;
    Delete();
}

void C3DBaseObject::OnLeaveNode(const C3DSceneNode*) {}

void C3DBaseObject::PreSerialize(CXArchive&, bool) {}

void C3DBaseObject::PostSerialize(CXArchive&, bool) {}

bool C3DBaseObject::NeedUpdate() { return (m_updateFlags & OBJECT_NEED_UPDATE_MASK) != 0; }

unsigned int C3DBaseObject::GetChecksum(unsigned int) { return unsigned(m_kind) * 16u; }

void C3DBaseObject::StampUpdates(unsigned int flags) {
    for (unsigned int bit : kStampedUpdates)
        if (flags & bit) m_updateStamps[StampIndex(bit)] = timeGetTick();
}

bool C3DBaseObject::Update(C3DScene*, unsigned int flags) {
    StampUpdates(flags);
    m_updateFlags &= ~(flags & OBJECT_UPDATE_MASK);
    return false;
}

void C3DBaseObject::Invalidate(unsigned int flags, bool set) {
    if (set && (flags & 0xFFFFu))
        m_updateFlags |= OBJECT_INVALIDATED;
    else
        m_updateFlags &= ~flags;
}

bool C3DBaseObject::InvalidateChannels(unsigned int) { return false; }

bool C3DBaseObject::IsFinalObject() { return true; }

C3DBaseObject* C3DBaseObject::GetFinalObject(bool) { return this; }

void C3DBaseObject::InheritFlags(const C3DBaseObject& other, int copyFlags) {
    m_flags = other.m_flags;
    if (&other != this) m_customData.Copy(other.m_customData);
    if (copyFlags & OBJECT_COPY_IDENTITY) m_objectID = other.m_objectID;
}

bool C3DBaseObject::MatrixTransform(const C4x4TMatrix<float>&) { return false; }

uint64_t C3DBaseObject::GetUpdateStamp(_OBJECT_UPDATE_PROPERTIES flag) const {
    if (flag & 0xFFFFu) return 0;
    int i = StampIndex(flag);
    return i < 0 ? 0 : m_updateStamps[i];
}

void C3DBaseObject::SetUpdateFlags(unsigned int flags, bool set) {
    if (set) {
        m_updateFlags |= flags & OBJECT_UPDATE_MASK;
        return;
    }
    StampUpdates(flags);
    m_updateFlags &= ~(flags & OBJECT_UPDATE_MASK);
}

CXTString<wchar_t> C3DBaseObject::GetTypeString() const { return GetTypeString(m_kind); }

CXTString<wchar_t> C3DBaseObject::GetTypeString(_OBJECT_KINDOF kind) {
    switch (kind) {
        case OBJECT_POLYMESH: return LoadResourceString(IDS_OBJECT_POLYMESH, L"Polymesh");
        case OBJECT_CURVE: return LoadResourceString(IDS_OBJECT_CURVE, L"Curve");
        case OBJECT_PATCH: return LoadResourceString(IDS_OBJECT_PATCH, L"Patch");
        case OBJECT_GROUP: return LoadResourceString(IDS_OBJECT_GROUP, L"Group");
        case OBJECT_DUMMY: return LoadResourceString(IDS_OBJECT_DUMMY, L"Dummy");
        case OBJECT_CAMERA: return LoadResourceString(IDS_OBJECT_CAMERA, L"Camera");
        case OBJECT_LIGHT: return LoadResourceString(IDS_OBJECT_LIGHT, L"Light");
        default: return CXTString<wchar_t>();
    }
}

// ---- copy ----------------------------------------------------------------------------------

bool C3DBaseObject::IsCopyCompatible(unsigned int src, unsigned int dst) {
    if (src & (OBJECT_POLYMESH | OBJECT_PATCH)) return (dst & (OBJECT_POLYMESH | OBJECT_PATCH)) != 0;
    if (src == OBJECT_CURVE) return dst == OBJECT_CURVE;
    if (src == OBJECT_GROUP) return dst == OBJECT_GROUP;
    return true;
}

C3DBaseObject* C3DBaseObject::Copy(int copyFlags, C3DObjectCreator* creator) {
    C3DObjectCreator defaultCreator;
    if (!creator) creator = &defaultCreator;
    C3DBaseObject* dst = nullptr;
    bool copied;
    try {
        copied = InternalCopy(dst, copyFlags, creator);
    } catch (...) {
        XRelease(dst);  // the partial copy goes with the failure
        throw;
    }
    if (!copied) {
        XRelease(dst);
        return nullptr;
    }
    return dst;
}

bool C3DBaseObject::InternalCopy(C3DBaseObject*& dst, int copyFlags, C3DObjectCreator* creator) {
    if (!dst) {
        if (copyFlags & OBJECT_COPY_INSTANCE) {
            AddRef();
            ++m_instanceCount;
            dst = this;
            return true;
        }
        bool created = true;
        dst = creator ? creator->GetNewObjectFrom(this, created) : Create(m_kind);
        if (!dst) return false;
        // An existing object handed back by the creator stands for the copy as it is; the caller
        // gets a reference of its own.
        if (!created) {
            dst->AddRef();
            return true;
        }
    }
    if (!IsCopyCompatible(m_kind, dst->m_kind)) return false;
    if (dst == this) return true;
    if (!(copyFlags & OBJECT_COPY_IDENTITY)) dst->m_pScene = m_pScene;
    dst->InheritFlags(*this, copyFlags);
    return true;
}

// ---- kinds ---------------------------------------------------------------------------------

C3DBaseObject* C3DBaseObject::Create(_OBJECT_KINDOF kind) {
    switch (kind) {
        case OBJECT_POLYMESH: return new C3DObject;
        case OBJECT_CURVE: return new C3DCurve;
        case OBJECT_PATCH: return new C3DPatch;
        case OBJECT_GROUP: return new C3DGroup;
        case OBJECT_DUMMY: return new C3DDummy;
        case OBJECT_CAMERA: return new C3DCamera;
        case OBJECT_LIGHT: return new C3DLight;
        default: return nullptr;
    }
}

// A kind is only ever set by the constructor of its class (and checked when loading), so a
// matching kind proves the dynamic type.
C3DBaseObject::operator C3DGeomObject*() { return IsGeomObject() ? static_cast<C3DGeomObject*>(this) : nullptr; }
C3DBaseObject::operator C3DObject*() { return m_kind == OBJECT_POLYMESH ? static_cast<C3DObject*>(this) : nullptr; }
C3DBaseObject::operator C3DCurve*() { return m_kind == OBJECT_CURVE ? static_cast<C3DCurve*>(this) : nullptr; }
C3DBaseObject::operator C3DPatch*() { return m_kind == OBJECT_PATCH ? static_cast<C3DPatch*>(this) : nullptr; }
C3DBaseObject::operator C3DGroup*() { return m_kind == OBJECT_GROUP ? static_cast<C3DGroup*>(this) : nullptr; }
C3DBaseObject::operator C3DDummy*() { return m_kind == OBJECT_DUMMY ? static_cast<C3DDummy*>(this) : nullptr; }
C3DBaseObject::operator C3DCamera*() { return m_kind == OBJECT_CAMERA ? static_cast<C3DCamera*>(this) : nullptr; }
C3DBaseObject::operator C3DLight*() { return m_kind == OBJECT_LIGHT ? static_cast<C3DLight*>(this) : nullptr; }

}  // namespace kestovar
