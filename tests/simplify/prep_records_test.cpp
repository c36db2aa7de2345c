// The candidate records' bytes do not depend on what the allocator hands out: the record array
// comes unfilled and each record is cleared before its fields are written, so the bytes no field
// reaches (the padding, the four position bytes past an edge position's parameter) are zero, and
// a preparation whose allocations come back full of stale bytes makes the same records byte for
// byte as one on a clean heap.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kestovar/core/memory.h"
#include "simplify/loop_test_util.h"
#include "test_util.h"

namespace kestovar::test {
namespace {

using namespace looptest;

// Every block the library asks for without zeroing arrives filled with this byte.
constexpr unsigned char kStale = 0xA5;

void* StaleAllocate(size_t size, int kind) {
    void* p = std::malloc(size ? size : 1);
    if (p && kind != XMEM_CALLOC) std::memset(p, kStale, size);
    return p;
}
void* PlainReallocate(void* p, size_t size) { return std::realloc(p, size); }
void PlainFree(void* p, int) { std::free(p); }

// The record bytes below the heap slot pointer, its last field (the pointer itself is an address
// of this run).
constexpr size_t kCompared = sizeof(CContractionCost) - sizeof(CContractionCost*);
static_assert(kCompared >= sizeof(CInitialCost), "the slot pointer follows the cost record");

struct Records {
    std::vector<unsigned char> bytes;  // kCompared bytes per record
    int edgePositions = 0;             // records whose position is a parameter on the edge
};

Records Prepare(const ObjMesh& mesh, bool stale) {
    const XMemoryCallback saved = memoryCallbackNotify;
    if (stale) memoryCallbackNotify = XMemoryCallback{StaleAllocate, PlainReallocate, PlainFree};
    Records out;
    {
        Engine e(mesh);
        EXPECT_TRUE(e.object->InitOptimization(false));
        const CXArray<CContractionCost>& recs = e.object->GetCostArray();
        for (int i = 0; i < recs.GetSize(); ++i) {
            const unsigned char* b = reinterpret_cast<const unsigned char*>(&recs[i]);
            out.bytes.insert(out.bytes.end(), b, b + kCompared);
            if (recs[i].GetKind() != (CONTRACTION_FLAGS_OPTIMAL >> 2)) ++out.edgePositions;
        }
    }
    memoryCallbackNotify = saved;
    return out;
}

double Flat(double, double) { return 0.0; }
double Wavy(double x, double y) { return 0.05 * (x * x - y * y); }

TEST(PrepRecords, UnwrittenBytesAreZeroAndIndependentOfTheAllocator) {
    // The flat grid's quadrics are singular, so its candidates take edge positions (eight bytes of
    // the twelve); the sphere's mostly take optimal points.
    for (const ObjMesh& mesh : {Grid(14, Flat), Grid(9, Wavy), BumpySphere(2)}) {
        const Records clean = Prepare(mesh, false);
        const Records stale = Prepare(mesh, true);
        ASSERT_FALSE(clean.bytes.empty());
        EXPECT_EQ(clean.bytes, stale.bytes);
        EXPECT_EQ(clean.edgePositions, stale.edgePositions);
        const size_t n = stale.bytes.size() / kCompared;
        for (size_t i = 0; i < n; ++i) {
            const unsigned char* b = &stale.bytes[i * kCompared];
            CInitialCost r;
            std::memcpy(&r, b, sizeof r);
            const size_t tail = r.GetKind() == (CONTRACTION_FLAGS_OPTIMAL >> 2) ? 0 : 4;
            const size_t positionEnd = offsetof(CInitialCost, position) + sizeof r.position;
            for (size_t k = positionEnd - tail; k < positionEnd; ++k) ASSERT_EQ(b[k], 0) << "record " << i;
            for (size_t k = offsetof(CInitialCost, flags) + 1; k < kCompared; ++k) ASSERT_EQ(b[k], 0) << "record " << i;
        }
    }
    EXPECT_GT(Prepare(Grid(14, Flat), true).edgePositions, 0);
}

}  // namespace
}  // namespace kestovar::test
