// Fuzz target: arbitrary OBJ text taken down the whole road of a host (optionally cleaned up,
// objects converted, reduced to nothing with recording, levels set and frozen; see
// tests/reduce_road.h). The first byte picks one of the road's mode sets (bits 0-1) and the
// clean-up (bit 2), the rest is the file. Whatever geometry the reader lets through
// (non-finite or extreme coordinates, repeated corners, long polygons, faces piled on one edge)
// must never crash, hang, read out of bounds or leak, and every level must stay a valid mesh.
#include <cstddef>
#include <cstdint>

#include "kestovar/core/thread_registry.h"
#include "kestovar/io/wavefront.h"
#include "reduce_road.h"

using namespace kestovar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Small files reach every branch of the road; large ones would only slow the search down.
    if (size < 1 || size > 16384) return 0;
    static const bool oneThread = (OMPSetMaxThreadCount(1), true);
    (void)oneThread;
    int result = 0;
    C3DScene* scene = CWavefrontIo::ReadObjMemory(data + 1, size - 1, nullptr, result);
    if (!scene) return 0;
    // The file's last (up to) eight bytes are also the index levels walked after the road's own.
    const size_t steps = size < 8 ? size : 8;
    if (!road::RunAcceptingErrors(scene, road::kModeSets[data[0] & 3], (data[0] & 4) != 0, data + size - steps, steps)
             .empty())
        __builtin_trap();
    return 0;
}
