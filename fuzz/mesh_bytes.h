// Small meshes from a fuzz target's bytes, written as OBJ text so that the reader's own handling
// applies as for a file: coordinates of one byte each and faces of a header byte and one byte
// per corner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz_mesh_bytes {

// A coordinate from one byte. With `awkward`, 0xF8-0xFF are the values geometry code gets
// wrong (NaN, infinities, huge, negative zero, tiny). Otherwise, with the top bit, one of the
// five grid values -2 .. 2 (so that coincident, collinear and coplanar points are common), else
// one of 128 values 1/16 apart in [-4, 4).
inline std::string Coordinate(uint8_t b, bool awkward = false) {
    static const char* const kAwkward[8] = {"nan", "inf", "-inf", "1e30", "-1e30", "-0", "1e-30", "3e38"};
    if (awkward && b >= 0xF8) return kAwkward[b - 0xF8];
    if (b & 0x80) return std::to_string(int(b % 5) - 2);
    return std::to_string((int(b) - 64) / 16.0);
}

// Appends face lines read from data[at, size) until the bytes run out: a header byte (corner
// count 3 + bits 0-2, plus 45 with bit 4, long enough for the ear clipping's corner index; with
// bit 3 a switch to the material of bits 5-7), then one byte per corner, which `corner` turns
// into the corner's text (without the leading space).
template <class Corner>
void AppendFaces(std::string& text, const uint8_t* data, size_t at, size_t size, Corner&& corner) {
    while (at < size) {
        const uint8_t header = data[at++];
        const unsigned corners = 3 + header % 8 + (header & 0x10 ? 45 : 0);
        if (size - at < corners) break;
        if (header & 0x08) text += "usemtl m" + std::to_string(header >> 5) + '\n';
        text += 'f';
        for (unsigned j = 0; j < corners; ++j, ++at) text += ' ' + corner(data[at]);
        text += '\n';
    }
}

}  // namespace fuzz_mesh_bytes
