// Fuzz target: arbitrary bytes read through CXArchive. The first byte of each step picks what is
// read next (counts, strings of every encoding, objects and classes of a few registered classes,
// arrays, maps and data chunks), so that the fuzzer can reach every reader. Malformed data must
// raise a CXException and never crash, hang, read out of bounds or leak.
#include <cstddef>
#include <cstdint>
#include <set>

#include "kestovar/core/archive.h"
#include "kestovar/core/array.h"
#include "kestovar/core/data_chunk.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/xstring.h"
#include "kestovar/platform/file.h"

namespace fuzz_archive {

using namespace kestovar;

// Every node alive, so that the target can release what a read handed out (references to the
// same object come back as the same pointer, so nodes do not own each other).
std::set<CXObject*>& Live() {
    static std::set<CXObject*> live;
    return live;
}

// A node with a value, a name and links to other objects.
class CFuzzNode : public CXObject {
    KX_DECLARE_SERIAL(CFuzzNode)
public:
    CFuzzNode() { Live().insert(this); }
    ~CFuzzNode() override { Live().erase(this); }
    void Serialize(CXArchive& ar) override {
        if (ar.GetObjectSchema() >= 2) ar >> m_value;
        ar >> m_name;
        uint64_t links = ar.ReadCount();
        // Links are nodes: the archive refuses any other class before creating it, since this
        // target could not release a library object it did not create (the library's own
        // classes are read, with their real owners, by the scene target).
        for (uint64_t i = 0; i < links && i < 8; ++i) ar.ReadObject(KX_RUNTIME_CLASS(CFuzzNode));
    }
    int32_t m_value = 0;
    CXStringW m_name;
};
KX_IMPLEMENT_SERIAL(CFuzzNode, CXObject, 2)

// A derived node that also reads a class reference of its own.
class CFuzzLeaf : public CFuzzNode {
    KX_DECLARE_SERIAL(CFuzzLeaf)
public:
    void Serialize(CXArchive& ar) override {
        CFuzzNode::Serialize(ar);
        ar.SerializeClass(KX_RUNTIME_CLASS(CFuzzNode));
        C3DTPoint<float> p;
        ar >> p;
    }
};
KX_IMPLEMENT_SERIAL(CFuzzLeaf, CFuzzNode, 1)

void Step(CXArchive& ar, uint8_t op) {
    switch (op % 12) {
        case 0:
            ar.ReadCount();
            break;
        case 1: {
            CXStringA s;
            ar.ReadString(s);
            break;
        }
        case 2: {
            CXStringW s;
            ar.ReadString(s);
            break;
        }
        case 3: {
            int encoding;
            ar.ReadStringLength(encoding);
            break;
        }
        case 4:
            ar.ReadObject(KX_RUNTIME_CLASS(CFuzzNode));
            break;
        case 5:
            ar.ReadObject(KX_RUNTIME_CLASS(CFuzzLeaf));
            break;
        case 6: {
            unsigned schema;
            uint32_t tag;
            ar.ReadClass(KX_RUNTIME_CLASS(CFuzzNode), &schema, &tag);
            break;
        }
        case 7: {
            CXArray<int32_t> values;
            values.Serialize(ar);
            break;
        }
        case 8: {
            CXArray<CXStringW> strings;
            strings.Serialize(ar);
            break;
        }
        case 9: {
            CHashMap<uint32_t, uint32_t, double> map;
            map.Serialize(ar);
            break;
        }
        case 10: {
            CDataChunk chunk;
            chunk.Serialize(ar);
            break;
        }
        default: {
            uint8_t block[300];
            ar.Read(block, op);
            double d;
            wchar_t w;
            bool b;
            ar >> d >> w >> b;
            break;
        }
    }
}

}  // namespace fuzz_archive

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestovar;
    {
        CXMemFile file(data, size);
        CXArchive ar(&file, CXArchive::load, 64);  // a small buffer exercises the refills
        try {
            for (int steps = 0; steps < 64; ++steps) {
                uint8_t op;
                ar >> op;
                fuzz_archive::Step(ar, op);
            }
        } catch (CXException*) {
            XDeleteThreadException();
        }
    }
    std::set<CXObject*> left;
    left.swap(fuzz_archive::Live());
    for (CXObject* o : left) delete o;
    fuzz_archive::Live().clear();
    return 0;
}
