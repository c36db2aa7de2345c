#include "kestovar/core/object.h"

#include <cstring>
#include <mutex>

namespace kestovar {

namespace {
// The registry is a singly linked list threaded through the descriptors themselves: registration
// runs during static initialisation, before any container of the library may be used, and a
// look-up happens once per class per archive.
const CXRuntimeClass*& RegistryHead() {
    static const CXRuntimeClass* head = nullptr;
    return head;
}
std::mutex& RegistryMutex() {
    static std::mutex m;
    return m;
}
}  // namespace

void* CXAllocated::operator new(size_t size) {
    void* p = xnew(size);
    if (!p) throw std::bad_alloc();
    return p;
}

void CXAllocated::operator delete(void* p) { xdelete(p); }

CXObject* CXRuntimeClass::CreateObject() const { return m_pfnCreateObject ? m_pfnCreateObject() : nullptr; }

bool CXRuntimeClass::IsDerivedFrom(const CXRuntimeClass* base) const {
    for (const CXRuntimeClass* c = this; c; c = c->m_pBaseClass)
        if (c == base) return true;
    return false;
}

void CXRuntimeClass::Register(const CXRuntimeClass* descriptor) {
    if (!descriptor) return;
    std::lock_guard<std::mutex> lock(RegistryMutex());
    for (const CXRuntimeClass* c = RegistryHead(); c; c = c->m_pNextClass)
        if (c == descriptor) return;
    descriptor->m_pNextClass = RegistryHead();
    RegistryHead() = descriptor;
}

void CXRuntimeClass::Unregister(const CXRuntimeClass* descriptor) {
    if (!descriptor) return;
    std::lock_guard<std::mutex> lock(RegistryMutex());
    for (const CXRuntimeClass** link = &RegistryHead(); *link; link = &(*link)->m_pNextClass) {
        if (*link != descriptor) continue;
        *link = descriptor->m_pNextClass;
        descriptor->m_pNextClass = nullptr;
        return;
    }
}

const CXRuntimeClass* CXRuntimeClass::FromName(const char* name) {
    return name ? FromName(name, std::strlen(name)) : nullptr;
}

const CXRuntimeClass* CXRuntimeClass::FromName(const char* name, size_t length) {
    if (!name) return nullptr;
    std::lock_guard<std::mutex> lock(RegistryMutex());
    for (const CXRuntimeClass* c = RegistryHead(); c; c = c->m_pNextClass)
        if (std::strlen(c->m_lpszClassName) == length && std::memcmp(c->m_lpszClassName, name, length) == 0)
            return c;
    return nullptr;
}

const CXRuntimeClass CXObject::classCreatorCXObject = {"CXObject", 0xFFFF, nullptr, nullptr, nullptr};
static const CXClassRegistrar kxRegistrarCXObject(&CXObject::classCreatorCXObject);

CXObject::~CXObject() = default;

const CXRuntimeClass* CXObject::GetRuntimeClassDescriptor() const { return &classCreatorCXObject; }

void CXObject::Serialize(CXArchive&) {}

bool CXObject::IsKindOf(const CXRuntimeClass* descriptor) const {
    return GetRuntimeClassDescriptor()->IsDerivedFrom(descriptor);
}

bool CXObject::IsSerializable() const { return GetRuntimeClassDescriptor()->m_wSchema != 0xFFFF; }

CInstanciatedObject::~CInstanciatedObject() = default;

int CInstanciatedObject::Delete() {
    int left = m_refCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
}

}  // namespace kestovar
