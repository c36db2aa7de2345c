#include "stl_format.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "kestovar/core/array.h"
#include "kestovar/core/matrix.h"
#include "kestovar/core/thread_registry.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/mesh/triangulate.h"
#include "kestovar/scene/scene.h"

namespace kestovar::stl {

namespace {

constexpr int kOk = 1;
constexpr int kBadFormat = -3;
constexpr int kNoMemory = -4;
constexpr int kNothing = -8;
constexpr int kCanceled = -11;
// Cancellation is tested on the first triangle and then once per this many.
constexpr unsigned kCancelStride = 1u << 16;

// Welds corners with bit-identical coordinates: an open-addressing table of point indices keyed
// by the 12 bytes of the point, sized to twice the corner count up front so that adding never
// rehashes.
class PointWelder {
public:
    explicit PointWelder(size_t corners) {
        size_t capacity = 16;
        while (capacity < corners * 2) capacity <<= 1;
        m_mask = capacity - 1;
        m_slots.SetSize(int(capacity));
        for (size_t i = 0; i < capacity; ++i) m_slots[int(i)] = -1;
        m_coordinates.PreAllocate(int(corners < 3u * 1024 * 1024 ? corners * 3 : 3u * 1024 * 1024));
    }

    int Add(const float p[3]) {
        uint32_t bits[3];
        std::memcpy(bits, p, sizeof bits);
        uint64_t h = (uint64_t(bits[0]) * 0x9E3779B97F4A7C15ull) ^ (uint64_t(bits[1]) * 0xC2B2AE3D27D4EB4Full) ^
                     (uint64_t(bits[2]) * 0x165667B19E3779F9ull);
        h ^= h >> 29;
        for (size_t slot = size_t(h) & m_mask;; slot = (slot + 1) & m_mask) {
            int index = m_slots[int(slot)];
            if (index < 0) {
                index = m_coordinates.GetSize() / 3;
                m_slots[int(slot)] = index;
                for (int k = 0; k < 3; ++k) m_coordinates.Add(p[k]);
                return index;
            }
            if (std::memcmp(&m_coordinates[3 * index], p, 12) == 0) return index;
        }
    }

    const CXArray<float>& Coordinates() const { return m_coordinates; }

private:
    CXArray<int> m_slots;
    size_t m_mask;
    CXArray<float> m_coordinates;
};

// Adds one polymesh node holding `triangles` over the welded points to `scene`.
int AddSolid(C3DScene& scene, const PointWelder& welder, const CXArray<int>& triangles, const wchar_t* name) {
    if (triangles.GetSize() == 0) return kOk;
    const CXArray<float>& coordinates = welder.Coordinates();
    uint64_t coordinateBytes = uint64_t(coordinates.GetSize()) * sizeof(float);
    uint64_t triangleBytes = uint64_t(triangles.GetSize()) * sizeof(int);
    if (coordinateBytes > 0xFFFFFFF0ull || triangleBytes > 0xFFFFFFF0ull) return kNoMemory;
    C3DObject* object = CreateObjectFromArrays(coordinates.GetData(), unsigned(coordinateBytes), triangles.GetData(),
                                               unsigned(triangleBytes), nullptr, 0);
    if (!object) return kNoMemory;
    scene.CreateNode(nullptr, name, object);
    return kOk;
}

uint32_t ReadU32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

float ReadF32(const uint8_t* p) {
    uint32_t bits = ReadU32(p);
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

int ReadBinary(const uint8_t* data, size_t size, const wchar_t* name, C3DScene& scene) {
    (void)size;
    uint32_t count = ReadU32(data + 80);
    // The corner indices and the welding table are indexed by int.
    if (count > 0x7FFFFFFFu / 6) return kNoMemory;
    PointWelder welder(size_t(count) * 3);
    CXArray<int> triangles;
    triangles.PreAllocate(int(count) * 3);
    const uint8_t* record = data + 84;
    for (uint32_t t = 0; t < count; ++t, record += 50) {
        if ((t % kCancelStride) == 0 && ShouldCancelThread(0)) return kCanceled;
        for (int corner = 0; corner < 3; ++corner) {
            float p[3];
            for (int k = 0; k < 3; ++k) p[k] = ReadF32(record + 12 + 12 * corner + 4 * k);
            triangles.Add(welder.Add(p));
        }
    }
    return AddSolid(scene, welder, triangles, name);
}

// ---- ASCII --------------------------------------------------------------------------------------

class TextCursor {
public:
    TextCursor(const uint8_t* data, size_t size)
        : m_start(reinterpret_cast<const char*>(data)), m_p(m_start), m_end(m_p + size) {}

    // 1-based number of the line the next word starts on (counted on demand: only a failure asks).
    int Line() {
        SkipBlanks();
        return 1 + int(std::count(m_start, m_p, '\n'));
    }

    void SkipBlanks() {
        while (m_p < m_end && (*m_p == ' ' || *m_p == '\t' || *m_p == '\r' || *m_p == '\n' || *m_p == '\f' || *m_p == '\v'))
            ++m_p;
    }
    bool AtEnd() {
        SkipBlanks();
        return m_p >= m_end;
    }
    // The next whitespace-delimited word, compared without case with `keyword`; consumed on match.
    bool Keyword(const char* keyword) {
        SkipBlanks();
        size_t n = std::strlen(keyword);
        if (size_t(m_end - m_p) < n) return false;
        for (size_t i = 0; i < n; ++i) {
            char c = m_p[i];
            if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
            if (c != keyword[i]) return false;
        }
        if (m_p + n < m_end && !IsBlank(m_p[n])) return false;
        m_p += n;
        return true;
    }
    bool Number(float& value) {
        SkipBlanks();
        const char* start = m_p;
        if (start < m_end && *start == '+') ++start;
        auto result = std::from_chars(start, m_end, value);
        if (result.ec != std::errc() || (result.ptr < m_end && !IsBlank(*result.ptr))) return false;
        m_p = result.ptr;
        return true;
    }
    // The rest of the current line, trimmed.
    CXTString<char> RestOfLine() {
        while (m_p < m_end && (*m_p == ' ' || *m_p == '\t')) ++m_p;
        const char* start = m_p;
        while (m_p < m_end && *m_p != '\n' && *m_p != '\r') ++m_p;
        const char* stop = m_p;
        while (stop > start && (stop[-1] == ' ' || stop[-1] == '\t')) --stop;
        return CXTString<char>(start, int(stop - start));
    }

private:
    static bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }
    const char* m_start;
    const char* m_p;
    const char* m_end;
};

int ReadAscii(const uint8_t* data, size_t size, const wchar_t* name, C3DScene& scene,
              CXTString<char>* problem) {
    TextCursor text(data, size);
    // Malformed text: notes where and what was expected.
    auto bad = [&](const char* what) {
        if (problem) problem->Format("line %d: %s", text.Line(), what);
        return kBadFormat;
    };
    if (!text.Keyword("solid"))
        return bad("neither binary STL (84 + 50 n bytes for n triangles) nor text starting with \"solid\"");
    // Each solid welds on its own, so that separate solids stay separate objects. The welder
    // grows from a small table: an ASCII file does not say how many corners follow.
    while (true) {
        CXTString<char> solidName = text.RestOfLine();
        CXArray<float> corners;
        CXArray<int> faces;  // corner counts of the facets
        unsigned facets = 0;
        bool ended = false;
        while (!text.AtEnd()) {
            if (text.Keyword("endsolid")) {
                text.RestOfLine();
                ended = true;
                break;
            }
            if ((facets++ % kCancelStride) == 0 && ShouldCancelThread(0)) return kCanceled;
            float normal[3];
            if (!text.Keyword("facet") || !text.Keyword("normal"))
                return bad("\"facet normal\" or \"endsolid\" expected");
            for (float& n : normal)
                if (!text.Number(n)) return bad("a facet normal without three numbers");
            if (!text.Keyword("outer") || !text.Keyword("loop")) return bad("\"outer loop\" expected");
            int count = 0;
            while (text.Keyword("vertex")) {
                for (int k = 0; k < 3; ++k) {
                    float v;
                    if (!text.Number(v)) return bad("a vertex without three numbers");
                    corners.Add(v);
                }
                ++count;
            }
            if (count < 3) return bad("a facet with fewer than three vertices");
            if (!text.Keyword("endloop") || !text.Keyword("endfacet"))
                return bad("\"endloop\" and \"endfacet\" expected");
            faces.Add(count);
        }
        // Fan every facet into triangles over welded points.
        PointWelder welder(size_t(corners.GetSize() / 3));
        CXArray<int> triangles;
        int first = 0;
        for (int f = 0; f < faces.GetSize(); ++f) {
            int n = faces[f];
            int base = welder.Add(&corners[3 * first]);
            int previous = welder.Add(&corners[3 * (first + 1)]);
            for (int k = 2; k < n; ++k) {
                int current = welder.Add(&corners[3 * (first + k)]);
                triangles.Add(base);
                triangles.Add(previous);
                triangles.Add(current);
                previous = current;
            }
            first += n;
        }
        CXTString<wchar_t> nodeName = solidName.IsEmpty() ? CXTString<wchar_t>(name) : CXTString<wchar_t>(solidName.GetString());
        int result = AddSolid(scene, welder, triangles, nodeName);
        if (result != kOk) return result;
        if (!ended || text.AtEnd()) return kOk;
        if (!text.Keyword("solid")) return bad("\"solid\" expected after \"endsolid\"");
    }
}

// ---- writing ------------------------------------------------------------------------------------

void AppendBytes(CXTString<char>& out, const void* bytes, int count) {
    out.Append(static_cast<const char*>(bytes), count);
}

void AppendU32(CXTString<char>& out, uint32_t v) {
    uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    AppendBytes(out, b, 4);
}

void AppendF32(CXTString<char>& out, float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    AppendU32(out, bits);
}

// Nine significant digits: enough for a float to read back bit-exact. std::to_chars does not
// depend on the locale.
void AppendNumber(CXTString<char>& out, float f) {
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, f, std::chars_format::scientific, 8);
    out.Append(buffer, int(result.ptr - buffer));
}

}  // namespace

int ReadStl(const uint8_t* data, size_t size, const wchar_t* name, C3DScene*& scene,
            CXTString<char>* problem) {
    scene = nullptr;
    if (problem) problem->Empty();
    if (!data || size == 0) {
        if (problem) *problem = "the file is empty";
        return kBadFormat;
    }
    bool binary = size >= 84 && uint64_t(size) == 84 + 50 * uint64_t(ReadU32(data + 80));
    C3DScene* result = new C3DScene;
    int code;
    try {
        code = binary ? ReadBinary(data, size, name, *result) : ReadAscii(data, size, name, *result, problem);
    } catch (...) {
        delete result;
        throw;
    }
    if (code != kOk) {
        delete result;
        return code;
    }
    scene = result;
    return kOk;
}

int WriteStl(const C3DScene& scene, bool ascii, const char* solidName, CXTString<char>& out) {
    const char* name = solidName && *solidName ? solidName : "kestovar";
    // Count the triangles first: the binary header holds the count.
    uint64_t count = 0;
    for (C3DNodePos pos = scene.GetFirstNode(OBJECT_POLYMESH, 0); pos;) {
        C3DGeomObject* object;
        scene.GetNextNode(pos, object);
        const C3DFaceList* faces = object ? object->GetFaceList() : nullptr;
        if (!faces) continue;
        for (int f = 0; f < faces->GetSize(); ++f) {
            int n = 0;
            faces->GetIndexes(unsigned(f), n);
            if (faces->IsFaceLive(unsigned(f)) && n >= 3) count += uint64_t(n - 2);
        }
    }
    if (count == 0) return kNothing;
    if (count > 0xFFFFFFFFull) return kNoMemory;

    if (ascii) {
        out.Append("solid ");
        out.Append(name);
        out.Append("\n");
    } else {
        char header[80];
        std::memset(header, ' ', sizeof header);
        const char banner[] = "Binary STL written by Kestovar";
        std::memcpy(header, banner, sizeof banner - 1);
        AppendBytes(out, header, 80);
        AppendU32(out, uint32_t(count));
    }

    unsigned written = 0;
    // Polygons are split by ear clipping in their own plane (a fan would cover the notches of a
    // concave one); a polygon the clipping cannot split into all its n - 2 triangles (repeated
    // or collinear corners) is fanned, so that the count above holds.
    CTriangulateFaceHelper clipper;
    for (C3DNodePos pos = scene.GetFirstNode(OBJECT_POLYMESH, 0); pos;) {
        C3DGeomObject* object;
        C3DSceneNode* node = scene.GetNextNode(pos, object);
        const C3DFaceList* faces = object ? object->GetFaceList() : nullptr;
        const C3DPointList* points = object ? object->GetPointList() : nullptr;
        if (!faces || !points) continue;
        C4x4TMatrix<float> tm;
        node->GetNodeTM(0, tm);
        // An identity transform is skipped, not applied: 1 * x + 0 * y would turn -0 into +0 and
        // an infinite neighbour coordinate into NaN.
        const bool identity = tm.IsIdentity();
        // A mirroring transform turns faces inside out; their corners are taken reversed, as
        // baking the transform into the object does.
        const bool mirrored = !identity && tm.Determinant3x3() < 0.0;
        const int pointCount = points->GetSize();
        for (int f = 0; f < faces->GetSize(); ++f) {
            int n = 0;
            const int* idx = faces->GetIndexes(unsigned(f), n);
            if (!faces->IsFaceLive(unsigned(f)) || n < 3) continue;
            const int* clipped = nullptr;
            if (n > 3 && clipper.Clip(points->GetPoints(), pointCount, idx, n) == n - 2)
                clipped = clipper.GetTriangles();
            for (int k = 2; k < n; ++k) {
                if ((written++ % kCancelStride) == 0 && ShouldCancelThread(0)) return kCanceled;
                const int* t = clipped ? clipped + 3 * (k - 2) : nullptr;
                int corner[3] = {t ? idx[t[0]] : idx[0], t ? idx[t[1]] : idx[k - 1], t ? idx[t[2]] : idx[k]};
                if (mirrored) std::swap(corner[1], corner[2]);
                float p[3][3];
                for (int c = 0; c < 3; ++c) {
                    C3DTPoint<float> q(0.0f, 0.0f, 0.0f);
                    if (corner[c] >= 0 && corner[c] < pointCount)
                        q = identity ? points->GetAt(corner[c]) : tm.TransformPoint(points->GetAt(corner[c]));
                    p[c][0] = q.x;
                    p[c][1] = q.y;
                    p[c][2] = q.z;
                }
                double e1[3], e2[3];
                for (int a = 0; a < 3; ++a) {
                    e1[a] = double(p[1][a]) - double(p[0][a]);
                    e2[a] = double(p[2][a]) - double(p[0][a]);
                }
                double nx = e1[1] * e2[2] - e1[2] * e2[1];
                double ny = e1[2] * e2[0] - e1[0] * e2[2];
                double nz = e1[0] * e2[1] - e1[1] * e2[0];
                double length = std::sqrt(nx * nx + ny * ny + nz * nz);
                float normal[3] = {0.0f, 0.0f, 0.0f};
                if (length > 0.0 && std::isfinite(length)) {
                    normal[0] = float(nx / length);
                    normal[1] = float(ny / length);
                    normal[2] = float(nz / length);
                }
                if (ascii) {
                    out.Append("  facet normal ");
                    for (int a = 0; a < 3; ++a) {
                        AppendNumber(out, normal[a]);
                        out.Append(a < 2 ? " " : "\n");
                    }
                    out.Append("    outer loop\n");
                    for (int c = 0; c < 3; ++c) {
                        out.Append("      vertex ");
                        for (int a = 0; a < 3; ++a) {
                            AppendNumber(out, p[c][a]);
                            out.Append(a < 2 ? " " : "\n");
                        }
                    }
                    out.Append("    endloop\n  endfacet\n");
                } else {
                    for (float v : normal) AppendF32(out, v);
                    for (int c = 0; c < 3; ++c)
                        for (int a = 0; a < 3; ++a) AppendF32(out, p[c][a]);
                    const uint8_t attribute[2] = {0, 0};
                    AppendBytes(out, attribute, 2);
                }
            }
        }
    }
    if (ascii) {
        out.Append("endsolid ");
        out.Append(name);
        out.Append("\n");
    }
    return kOk;
}

}  // namespace kestovar::stl
