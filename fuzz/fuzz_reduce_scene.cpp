// Fuzz target: arbitrary bytes read as a ".3dif" scene file and, when they load, taken down the
// whole reduction road (see tests/reduce_road.h). A scene file can hold objects in states the
// building calls never produce (point and face flags, materials, channels whose lists disagree with
// the geometry); the road must treat them as it treats any object: no crash, hang, out-of-bounds
// access or leak, and every level a valid mesh. The mode set and the clean-up follow the size of the input;
// the last (up to) eight bytes are the index levels the reduced objects walk afterwards, each checked
// against the same level reached from full detail.
#include <cstddef>
#include <cstdint>

#include "kestovar/core/thread_registry.h"
#include "kestovar/scene/scene.h"
#include "scene_bytes.h"
#include "reduce_road.h"

using namespace kestovar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    static const bool oneThread = (OMPSetMaxThreadCount(1), true);
    (void)oneThread;
    C3DScene* scene = fuzz_scene_bytes::Read(data, size);
    if (!scene) return 0;
    const size_t steps = size < 8 ? size : 8;
    if (!road::RunAcceptingErrors(scene, road::kModeSets[size & 3], (size & 4) != 0, data + size - steps, steps)
             .empty())
        __builtin_trap();
    return 0;
}
