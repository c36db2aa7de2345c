// Fuzz target: small meshes built from the bytes, taken down the whole reduction road (see
// tests/reduce_road.h). Where fuzz_reduce mutates OBJ text, most of whose mutations the reader
// refuses, this target spends every byte on geometry: points on a coarse grid (so that coincident,
// collinear and coplanar points are common) or at finer positions, texture coordinates, and faces
// of 3 to 10 corners, or 48 to 55 (long enough for the ear clipping's corner index), with
// repeated corners, material switches and shared or reversed edges as the bytes fall. The mesh goes in as OBJ text, so the reader's own handling applies as for a file.
//
// Layout: mode set (bits 0-1) and clean-up (bit 2), point count, texture coordinate count, then 3 bytes per point, 2 per texture
// coordinate, and faces (a header byte: corner count in bits 0-2 plus 45 with bit 4, a material
// switch with bit 3 to the material of bits 5-7; then one byte per corner) until the bytes run
// out. The last (up to) eight bytes are also the index levels the reduced
// objects walk afterwards, each checked against the same level reached from full detail.
#include <cstddef>
#include <cstdint>
#include <string>

#include "kestovar/core/thread_registry.h"
#include "mesh_bytes.h"
#include "reduce_road.h"

using namespace kestovar;

using fuzz_mesh_bytes::Coordinate;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3 || size > 4096) return 0;
    static const bool oneThread = (OMPSetMaxThreadCount(1), true);
    (void)oneThread;
    const unsigned long long modes = road::kModeSets[data[0] & 3];
    const unsigned points = 3 + data[1] % 61, uvs = data[2] % 9;
    size_t at = 3;
    if (size < at + 3 * points + 2 * uvs) return 0;
    std::string text;
    for (unsigned i = 0; i < points; ++i, at += 3)
        text += "v " + Coordinate(data[at]) + ' ' + Coordinate(data[at + 1]) + ' ' + Coordinate(data[at + 2]) + '\n';
    for (unsigned i = 0; i < uvs; ++i, at += 2)
        text += "vt " + std::to_string(data[at] / 255.0) + ' ' + std::to_string(data[at + 1] / 255.0) + '\n';
    fuzz_mesh_bytes::AppendFaces(text, data, at, size, [&](uint8_t c) {
        return std::to_string(1 + c % points) + (uvs ? '/' + std::to_string(1 + (c >> 2) % uvs) : std::string());
    });
    C3DScene* scene = road::ReadObjText(text);
    if (!scene) return 0;
    const size_t steps = size < 8 ? size : 8;
    if (!road::RunAcceptingErrors(scene, modes, (data[0] & 4) != 0, data + size - steps, steps).empty())
        __builtin_trap();
    return 0;
}
