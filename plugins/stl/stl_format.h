// STL (stereolithography) reading and writing, shared by the STL plug-in module and its fuzz
// target.
//
// Binary layout (little-endian): an 80-byte header, a u32 triangle count n, then n records of 50
// bytes: the facet normal (3 floats), three corners (3 x 3 floats), a u16 attribute. A file is
// binary when its size is exactly 84 + 50 n; otherwise it must be ASCII text starting with
// "solid":
//
//   solid name
//     facet normal nx ny nz
//       outer loop
//         vertex x y z          (three or more; more than three are fanned into triangles)
//       endloop
//     endfacet
//   endsolid name
//
// Reading makes one polymesh node per solid (one for a binary file), named after the solid (the
// file name when it has none); corners with bit-identical coordinates become one point. Stored
// normals are not read: they are recomputed from the corners whenever needed. Writing walks every
// polymesh node (instances included) in world coordinates, fans polygons into triangles and writes
// each triangle with its unit normal (0 for a degenerate triangle). ASCII numbers are written with
// nine significant digits, so that reading gives back the same floats.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kestovar/core/xstring.h"

namespace kestovar {

class C3DScene;

namespace stl {

// Class of the STL format in the registry ("STL ").
constexpr uint32_t kStlClass = 0x53544C20;
// Export flag of the STL writer: write ASCII text instead of the binary layout.
constexpr uint32_t kStlExportAscii = 0x1;

// Reads STL bytes into a new scene (owned by the caller). Returns an IO_FILE_RESULT: 1 with the
// scene (which has no node when the file holds no triangle), -3 for malformed data, -11 when the
// calling thread was asked to cancel; `scene` is null on failure. `name` names the node of a
// binary file or of an unnamed solid. For malformed text, `problem` (when not null) receives the
// line and what was expected there ("line 7: a vertex without three numbers"); it is empty after
// any other outcome.
int ReadStl(const uint8_t* data, size_t size, const wchar_t* name, C3DScene*& scene,
            CXTString<char>* problem = nullptr);

// Appends the STL form of `scene` to `out`. Returns 1, or -11 when cancelled, -8 when the scene has
// no triangle.
int WriteStl(const C3DScene& scene, bool ascii, const char* solidName, CXTString<char>& out);

}  // namespace stl
}  // namespace kestovar
