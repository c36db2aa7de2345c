// Archive helpers of the object model: an owned member (a list or a channel set) persisted as a
// 32-bit presence marker, then, when present, its class and its content. Unlike CXArchive's
// object references, every load creates a fresh member that the caller owns, so two objects never
// end up sharing a member by way of an archive.
#pragma once

#include <cstdint>

#include "kestovar/core/archive.h"
#include "kestovar/core/exception.h"
#include "kestovar/core/object.h"

namespace kestovar::detail {

// Marker 0 for null; else marker 1, the class of `member` and its content.
inline void StoreOwnedMember(CXArchive& ar, CXObject* member) {
    ar << uint32_t(member ? 1 : 0);
    if (!member) return;
    ar.WriteClass(member->GetRuntimeClassDescriptor());
    member->Serialize(ar);
}

// Reads what StoreOwnedMember wrote: null for marker 0, else a new object of the stored class
// (which must derive from `expected`) holding the stored content. A marker other than 0 and 1
// raises CXArchiveException (badIndex); a class that cannot be created raises badClass. A member
// whose content fails to load is destroyed before the exception leaves.
inline CXObject* LoadOwnedMember(CXArchive& ar, const CXRuntimeClass* expected) {
    uint32_t marker = 0;
    ar >> marker;
    if (marker == 0) return nullptr;
    if (marker != 1) XThrow<CXArchiveException>(CXArchiveException::badIndex, "bad member marker");
    unsigned schema = CXArchive::kNoSchema;
    const CXRuntimeClass* descriptor = ar.ReadClass(expected, &schema);
    CXObject* member = descriptor ? descriptor->CreateObject() : nullptr;
    if (!member) XThrow<CXArchiveException>(CXArchiveException::badClass, "member class cannot be created");
    unsigned outerSchema = ar.GetObjectSchema();
    ar.SetObjectSchema(schema);
    try {
        member->Serialize(ar);
    } catch (...) {
        ar.SetObjectSchema(outerSchema);
        delete member;
        throw;
    }
    ar.SetObjectSchema(outerSchema);
    return member;
}

}  // namespace kestovar::detail
