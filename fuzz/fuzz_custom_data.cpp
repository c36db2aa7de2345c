// Fuzz target: arbitrary bytes loaded as a serialised CCustomData, then every getter on every
// entry, the dump, the checksum, and a save/load round trip that must give an equal set.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "kestovar/core/archive.h"
#include "kestovar/core/custom_data.h"
#include "kestovar/core/memory.h"
#include "kestovar/platform/time.h"

namespace {

using namespace kestovar;

class CFuzzPayload : public CCustomDataClass {
public:
    void Serialize(CXArchive& ar) override {
        int32_t value;
        CXStringW text;
        ar >> value >> text;
    }
};

void ReadEverything(const CCustomData& data, uint32_t id) {
    bool b;
    int bi;
    char c;
    unsigned char uc;
    int32_t i;
    uint32_t u;
    int64_t ll;
    uint64_t ull;
    size_t sz;
    float f;
    double d;
    void* p;
    data.GetBool(id, b);
    data.GetBool(id, bi);
    data.GetChar(id, c);
    data.GetUChar(id, uc);
    data.GetInt(id, i);
    data.GetUInt(id, u);
    data.GetLong(id, i);
    data.GetULong(id, u);
    data.GetLongInt(id, ll);
    data.GetULongInt(id, ull);
    data.GetSizet(id, sz);
    data.GetFloat(id, f);
    data.GetDouble(id, d);
    data.GetPtr(id, p);
    uint8_t raw[16];
    data.GetBinary(id, raw, data.GetDataSize(id) <= sizeof raw ? data.GetDataSize(id) : 0);
    CXStringW w;
    CXStringA a;
    data.GetString(id, w, L"default");
    data.GetStringA(id, a, "default");
    CXTime t;
    data.GetTime(id, t, CXTime());
    for (unsigned elementSize : {0u, 1u, 2u, 4u, 8u, 12u}) {
        CXSingleLock lock;
        unsigned count;
        const uint8_t* elements = static_cast<const uint8_t*>(data.GetArray(id, count, elementSize, lock));
        // Touch the last element so that AddressSanitizer checks the bounds the getter claims.
        if (elements && count && elementSize) {
            volatile uint8_t last = elements[size_t(count) * elementSize - 1];
            (void)last;
        }
    }
    CXArray<CXStringW> strings;
    data.GetStringArray(id, strings);
    CCustomData nested;
    data.GetCustomData(id, nested);
    CFuzzPayload payload;
    data.GetCustomClass(id, payload);
    unsigned size;
    uint32_t kind;
    const uint8_t* bytes = static_cast<const uint8_t*>(data.GetCustomPtr(id, &size, &kind));
    if (bytes && size) {
        volatile uint8_t last = bytes[size - 1];
        (void)last;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CCustomData set;
    try {
        set.SerializeFromData(data, unsigned(size));
    } catch (CXException*) {
        XDeleteThreadException();
        if (set.HasData()) std::abort();  // a rejected blob must leave the set empty
        return 0;
    }

    unsigned count = set.GetIDCount();
    for (unsigned index = 0; index < count; ++index) {
        uint32_t kind;
        ReadEverything(set, set.GetIDByIndex(index, &kind));
    }
    ReadEverything(set, CUSTOM_KIND_ANY);  // most likely absent
    set.DumpCustomData(true, 0);
    uint32_t checksum = set.GetChecksum(0x1234);

    // Saved and loaded again, the set is the same.
    unsigned savedSize = 0;
    uint8_t* saved = set.SerializeToData(savedSize);
    CCustomData again;
    try {
        again.SerializeFromData(saved, savedSize);
    } catch (CXException*) {
        std::abort();  // what we write must read back
    }
    xfree(saved);
    if (!again.IsEqual(set) || again.GetChecksum(0x1234) != checksum) std::abort();

    // Editing the loaded set keeps it consistent.
    if (count) {
        uint32_t first = set.GetIDByIndex(0);
        again.RemoveCustom(first);
        again.SetInt(first, 1);
        again.ChangeID(first, first ^ 0x01010101u);
        if (again.GetIDCount() != count) std::abort();
        CCustomData copy(again);
        if (!copy.IsEqual(again)) std::abort();
    }
    return 0;
}
