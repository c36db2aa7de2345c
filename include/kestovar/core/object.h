// CXObject (the root of serialisable classes), its run-time class descriptors, and
// CInstanciatedObject (the reference count shared by objects, lists, channels and method tables).
#pragma once

#include <atomic>
#include <memory>

#include "kestovar/core/export.h"
#include "kestovar/core/memory.h"

namespace kestovar {

class CXObject;
class CXArchive;

// Class descriptor: a name, a schema number written into archives beside the name, and a creation
// function (null for abstract classes). Descriptors register themselves in a process-wide registry
// by name at load time (see KX_IMPLEMENT_SERIAL), which CXArchive::ReadClass consults.
struct KESTOVAR_API CXRuntimeClass {
    const char* m_lpszClassName;
    uint16_t m_wSchema;  // 0xFFFF: the class may not be serialised
    CXObject* (*m_pfnCreateObject)();
    const CXRuntimeClass* m_pBaseClass;
    mutable const CXRuntimeClass* m_pNextClass;  // registry link

    CXObject* CreateObject() const;
    bool IsDerivedFrom(const CXRuntimeClass* base) const;

    // Registry access. FromName returns null for an unknown name. Unregister takes a descriptor
    // out (nothing when it is not in).
    static void Register(const CXRuntimeClass* descriptor);
    static void Unregister(const CXRuntimeClass* descriptor);
    static const CXRuntimeClass* FromName(const char* name);
    static const CXRuntimeClass* FromName(const char* name, size_t length);
};

// Registers a descriptor when the library (or a host module) is loaded, and takes it out again
// when the module is closed (a plug-in freed), so that the registry never links through a
// descriptor whose memory is gone.
struct KESTOVAR_API CXClassRegistrar {
    explicit CXClassRegistrar(const CXRuntimeClass* descriptor) : m_descriptor(descriptor) {
        CXRuntimeClass::Register(descriptor);
    }
    ~CXClassRegistrar() { CXRuntimeClass::Unregister(m_descriptor); }
    CXClassRegistrar(const CXClassRegistrar&) = delete;
    CXClassRegistrar& operator=(const CXClassRegistrar&) = delete;

private:
    const CXRuntimeClass* m_descriptor;
};

// Class-level allocation through xnew/xdelete, shared by CXObject and CInstanciatedObject. A class
// deriving from both finds the same static operators through both bases, which is not ambiguous.
struct KESTOVAR_API CXAllocated {
    static void* operator new(size_t size);
    static void operator delete(void* p);
    static void* operator new(size_t, void* where) noexcept { return where; }
    static void operator delete(void*, void*) noexcept {}
};

// Root of the library's polymorphic classes. Instances are allocated through xnew/xdelete so that a
// host's memory hook sees them.
class KESTOVAR_API CXObject : public CXAllocated {
public:
    CXObject() = default;
    CXObject(const CXObject&) = default;
    CXObject& operator=(const CXObject&) = default;
    virtual ~CXObject();

    virtual const CXRuntimeClass* GetRuntimeClassDescriptor() const;
    virtual void Serialize(CXArchive& ar);

    bool IsKindOf(const CXRuntimeClass* descriptor) const;
    bool IsSerializable() const;

    static const CXRuntimeClass classCreatorCXObject;
    static const CXRuntimeClass* GetThisRuntimeClassDescriptor() { return &classCreatorCXObject; }

};

#define KX_RUNTIME_CLASS(name) (name::GetThisRuntimeClassDescriptor())

// Declares the run-time class members of a class: the static descriptor classCreator<Name>,
// GetThisRuntimeClassDescriptor and the virtual GetRuntimeClassDescriptor.
#define KX_DECLARE_DYNAMIC(name)                                                             \
public:                                                                                      \
    static const ::kestovar::CXRuntimeClass classCreator##name;                              \
    static const ::kestovar::CXRuntimeClass* GetThisRuntimeClassDescriptor() {               \
        return &classCreator##name;                                                          \
    }                                                                                        \
    const ::kestovar::CXRuntimeClass* GetRuntimeClassDescriptor() const override {           \
        return &classCreator##name;                                                          \
    }

// As KX_DECLARE_DYNAMIC, plus the static CreateObject used when an archive re-creates objects.
#define KX_DECLARE_SERIAL(name)                                                              \
    KX_DECLARE_DYNAMIC(name)                                                                 \
    static ::kestovar::CXObject* CreateObject();

// Defines the descriptor of a class that cannot be created from an archive (abstract or not
// default-constructible). The schema 0xFFFF marks it as not serialisable by class.
#define KX_IMPLEMENT_DYNAMIC(name, base)                                                     \
    const ::kestovar::CXRuntimeClass name::classCreator##name = {                            \
        #name, 0xFFFF, nullptr, base::GetThisRuntimeClassDescriptor(), nullptr};             \
    static const ::kestovar::CXClassRegistrar kxRegistrar##name(&name::classCreator##name);

// Defines the descriptor and CreateObject of a serialisable class with the given schema.
#define KX_IMPLEMENT_SERIAL(name, base, schema)                                              \
    ::kestovar::CXObject* name::CreateObject() { return new name; }                          \
    const ::kestovar::CXRuntimeClass name::classCreator##name = {                            \
        #name, uint16_t(schema), &name::CreateObject, base::GetThisRuntimeClassDescriptor(), \
        nullptr};                                                                            \
    static const ::kestovar::CXClassRegistrar kxRegistrar##name(&name::classCreator##name);

// Reference counting. An object starts with one reference (its creator's); AddRef takes another,
// Delete releases one and destroys the object when none is left. Counting is atomic so that
// shared method tables may be referenced from worker threads; the objects themselves are not
// otherwise thread-safe.
class KESTOVAR_API CInstanciatedObject : public CXAllocated {
public:
    CInstanciatedObject() : m_refCount(1) {}
    CInstanciatedObject(const CInstanciatedObject&) : m_refCount(1) {}
    CInstanciatedObject& operator=(const CInstanciatedObject&) { return *this; }
    virtual ~CInstanciatedObject();

    // Returns the new count.
    int AddRef() { return m_refCount.fetch_add(1, std::memory_order_relaxed) + 1; }
    // Releases one reference; destroys the object at zero. Returns the remaining count.
    virtual int Delete();
    int GetRefCount() const { return m_refCount.load(std::memory_order_relaxed); }


private:
    std::atomic<int> m_refCount;
};

// Takes a reference on `object` (may be null) and returns it.
template <class T>
T* XAddRef(T* object) {
    if (object) object->AddRef();
    return object;
}

// Releases the reference held in `object` (may be null) and clears the pointer.
template <class T>
void XRelease(T*& object) {
    if (object) {
        T* p = object;
        object = nullptr;
        p->Delete();
    }
}

// The deleter of XHeld: releases the one reference it is given.
struct XReleaseReference {
    template <class T>
    void operator()(T* object) const {
        object->Delete();
    }
};

// Holds one reference of a reference-counted object (a scene, an object, a list, a channel set)
// while it is being made or used: release() hands it over, and on every other way out, a raised
// exception included, the reference is released.
template <class T>
using XHeld = std::unique_ptr<T, XReleaseReference>;

}  // namespace kestovar
