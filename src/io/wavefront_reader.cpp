// The Wavefront OBJ reader: number parsing and the two passes (see
// kestovar/io/wavefront.h for what a file becomes).
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <limits>

#include "core/hex_digit.h"
#include "io/line_source.h"
#include "io/obj_number.h"
#include "io/wavefront_text.h"
#include "kestovar/core/array.h"
#include "kestovar/core/exception.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/memory.h"
#include "kestovar/core/progress.h"
#include "kestovar/core/runtime.h"
#include "kestovar/core/thread_registry.h"
#include "kestovar/core/xstring.h"
#include "kestovar/io/file_io.h"
#include "kestovar/io/wavefront.h"
#include "kestovar/mesh/channel_lists.h"
#include "kestovar/mesh/channels.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/normal_channel.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/mesh/triangulate.h"
#include "kestovar/platform/module.h"
#include "kestovar/platform/path.h"
#include "kestovar/scene/scene.h"

namespace kestovar {
namespace wavefront {

}  // namespace wavefront

using namespace wavefront;

namespace {

// Formats of a face line, from its first token.
// Lost material libraries noted by name; the ones beyond are counted in one note.
constexpr int kNamedLostLibraries = 8;

// Limits of what one file may hold: vertex, texture coordinate and normal lines each (their
// coordinates are kept in int-indexed arrays, 3 per element), and faces per group. A file past
// them is refused before any count overflows.
constexpr int kMaxElements = 0x1FFFFFFF;
constexpr int kMaxGroupFaces = 0x3FFFFFFF;

// ASCII letters in lower case, other characters as they are.
inline wchar_t FoldCase(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? wchar_t(c - L'A' + L'a') : c;
}

enum FaceFormat : int {
    FACE_P = 0,    // v
    FACE_PT = 1,   // v/vt
    FACE_PTN = 2,  // v/vt/vn
    FACE_PN = 3,   // v//vn
};

// The format of the corner token [token, end). Empty fields at the token's end ("1//", "1/1/",
// "1/", as some exporters write for a value they do not have) are left out: "1//" is a point
// alone and "1/1/" a point with texture coordinates, as ParseCorner then reads them.
FaceFormat DetectFormat(const char* token, const char* end) {
    while (end - token > 1 && end[-1] == '/') --end;
    int slashes = 0;
    for (const char* p = token; p < end; ++p) {
        if (*p != '/') continue;
        if (p + 1 < end && p[1] == '/') return FACE_PN;
        ++slashes;
    }
    return slashes == 0 ? FACE_P : slashes == 1 ? FACE_PT : FACE_PTN;
}

inline bool HasTexture(FaceFormat f) { return f == FACE_PT || f == FACE_PTN; }
inline bool HasNormal(FaceFormat f) { return f == FACE_PTN || f == FACE_PN; }

// The end of a corner token of format `f` whose fields were read up to p: empty trailing fields
// are taken up to three fields in all (see DetectFormat), then the token must end. Null when it
// does not.
inline const char* EndCorner(const char* p, const char* end, FaceFormat f) {
    int empty = f == FACE_P ? 2 : f == FACE_PT ? 1 : 0;
    for (; empty > 0 && p < end && *p == '/'; --empty) ++p;
    return p < end && !IsBlank(*p) ? nullptr : p;
}

// Reads one corner token of format `f` at p. Null when the token does not have that format (the
// rest of the line is then ignored).
const char* ParseCorner(const char* p, const char* end, FaceFormat f, int corner[3]) {
    p = ParseIntFast(p, end, corner[0]);
    if (!p) return nullptr;
    if (f != FACE_P) {
        if (p >= end || *p != '/') return nullptr;
        ++p;
        if (f == FACE_PN) {
            if (p >= end || *p != '/') return nullptr;
            ++p;
            if (p >= end || IsBlank(*p)) return nullptr;
            p = ParseIntFast(p, end, corner[2]);
        } else {
            if (p >= end || IsBlank(*p)) return nullptr;
            p = ParseIntFast(p, end, corner[1]);
            if (p && f == FACE_PTN) {
                if (p >= end || *p != '/') return nullptr;
                ++p;
                if (p >= end || IsBlank(*p)) return nullptr;
                p = ParseIntFast(p, end, corner[2]);
            }
        }
        if (!p) return nullptr;
    }
    return EndCorner(p, end, f);
}

// Bit 7 of every byte of `x` that is blank (at most ' ', see IsBlank), the other bits clear. The
// low seven bits plus 0x5F carry into bit 7 exactly when they are at least 0x21, and no byte's sum
// reaches the next byte; a byte with bit 7 set is no blank either.
inline uint64_t BlankMask(uint64_t x) {
    const uint64_t t = (x & 0x7F7F7F7F7F7F7F7Full) + 0x5F5F5F5F5F5F5F5Full;
    return ~(t | x) & 0x8080808080808080ull;
}

// Tokens of [p, end) (starts of non-blank runs), p being preceded by a non-blank byte: eight
// bytes at a time, a token starting where a blank byte is followed by a non-blank one. Counting
// corners is most of the first pass over face lines.
unsigned CountTokens(const char* p, const char* end) {
    unsigned count = 0;
    uint64_t carry = 0;  // bit 7: the byte before the current word is blank
    for (; end - p >= 8; p += 8) {
        uint64_t x;
        std::memcpy(&x, p, 8);
        const uint64_t blank = BlankMask(x);
        const uint64_t before = (blank << 8) | carry;
        // One bit per byte at most: moved to bit 0 of each byte, the bytes summed by a multiply
        // (no population-count instruction is assumed).
        const uint64_t starts = (before & ~blank & 0x8080808080808080ull) >> 7;
        count += unsigned((starts * 0x0101010101010101ull) >> 56);
        carry = (blank >> 56) & 0x80;
    }
    if (p < end) {
        // The last 1 to 7 bytes in one word: the line source's guard makes the 8 bytes readable,
        // and the bytes past the end are taken as blanks.
        uint64_t x;
        std::memcpy(&x, p, 8);
        const uint64_t mine = ~uint64_t(0) >> (8 * (8 - (end - p)));
        const uint64_t blank = BlankMask(x) | (~mine & 0x8080808080808080ull);
        const uint64_t before = (blank << 8) | carry;
        const uint64_t starts = (before & ~blank & 0x8080808080808080ull) >> 7;
        count += unsigned((starts * 0x0101010101010101ull) >> 56);
    }
    return count;
}

// DetectFormat of the token at `token` (not blank), which ends at the next blank: with the line
// source's guard, a token shorter than 8 bytes is classified from one 8-byte word.
inline FaceFormat DetectFirstFormat(const char* token, const char* end) {
    uint64_t x;
    std::memcpy(&x, token, 8);
    const uint64_t blank = BlankMask(x);
    if (!blank) return DetectFormat(token, SkipToken(token, end));
    const unsigned length = unsigned(__builtin_ctzll(blank)) >> 3;  // at least 1
    // A token ending in a slash has empty fields, which DetectFormat leaves out.
    if (((x >> (8 * (length - 1))) & 0xFF) == '/') return DetectFormat(token, token + length);
    const uint64_t inToken = (~uint64_t(0) >> (8 * (8 - length))) & 0x8080808080808080ull;
    // Bit 7 of every '/' byte of the token (a byte of y is zero exactly for '/').
    const uint64_t y = x ^ 0x2F2F2F2F2F2F2F2Full;
    const uint64_t slash = ~(((y & 0x7F7F7F7F7F7F7F7Full) + 0x7F7F7F7F7F7F7F7Full) | y) & inToken;
    if (!slash) return FACE_P;
    if (slash & (slash >> 8)) return FACE_PN;  // two adjacent slashes
    const int slashes = __builtin_popcountll(slash);
    return slashes == 0 ? FACE_P : slashes == 1 ? FACE_PT : FACE_PTN;
}

// 1-based (or negative, relative to the `read` elements read so far) index to a 0-based index
// below `total`; -1 when out of range.
inline int ResolveIndex(int index, int read, int total) {
    int i = index > 0 ? index - 1 : read + index;
    if (index == 0 || i < 0 || i >= total) return -1;
    return i;
}

// Per group, from the first pass, and its object while the second runs.
struct CObjGroup {
    int nameBegin;   // in CObjReader::m_names
    int nameLength;
    int firstFace;   // its first face in the file's face order (faces of a group are contiguous)
    int faces;
    int uvFaces;     // faces whose format carries texture coordinates
    int normalFaces; // faces whose format carries normals
    C3DObject* object;
    C3DFaceList* faceList;
    CUVWChannel* uvw;
    CSpecNormalChannel* normals;
    int cursor;      // next face written in the second pass
    bool dropped;    // some faces had fewer than 3 corners
};

// A face line of more corners than a face record holds. Its group keeps `reserved` (its corner
// count less 2) consecutive triangles from face `first` on, filled with its ear clipping once
// every position is known (FinishLongFaces); the triangles the clipping does not make are dropped.
struct CObjLongFace {
    int group;
    int first;
    int reserved;
    int corners;      // corners read by the second pass (-1 before it)
    int cornerStart;  // their index triples in CObjReader::m_longCorners
    int format;       // FaceFormat of the line
};

class CObjReader {
public:
    explicit CObjReader(CLineSource& source) : m_source(source) {}
    ~CObjReader();

    // The scene, or null with `result` set.
    C3DScene* Read(const wchar_t* directory, int& result);
    // After a read refused as malformed: the line and what was wrong with it (empty otherwise).
    const CXStringA& GetProblem() const { return m_problem; }
    // What was read with a loss (material libraries not found or not readable).
    const CXArray<CXStringA>& GetWarnings() const { return m_warnings; }

private:
    int CountPass(CProgressScope& progress);
    void ReadLibraries(const wchar_t* directory);
    // Reads the library at `path` (empty: not found), named [begin, end) in the file, noting a
    // warning when it is missing or unreadable.
    void ReadLibrary(const CXStringW& path, const char* begin, const char* end);
    // FindLibrary and ReadLibrary of the library named [begin, end), unless that name was met.
    void ReadNamedLibrary(const wchar_t* directory, const char* begin, const char* end);
    CXStringW FindLibrary(const wchar_t* directory, const char* begin, const char* end);
    void CreateObjects();
    int ParsePass(CProgressScope& progress);
    int ParseFace(const char* p, const char* end);
    // Reads `count` numbers of a "v", "vt" or "vn" line into `out` ("%f" each); returns the
    // position after them. A line without all of them keeps the ones read, gets 0 for the rest
    // and is counted for a warning (null returned).
    const char* ReadNumbers(const char* p, const char* end, float* out, int count, const char* keyword);
    // Turns the counts of lines, face lines and materials read with a loss into warnings.
    void NoteLosses();
    // Notes what is wrong with the current line (printf-style) and returns IO_FILE_BAD_FORMAT.
    int Malformed(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Malformed for a face corner's `index` of a `what` (given by `keyword` lines) that
    // ResolveIndex refused (`read` of them read so far, `total` in the file).
    int BadIndex(const char* what, const char* keyword, int index, int read, int total);
    // The colour after a vertex line's coordinates (text from `p`), when it has one.
    void ReadVertexColor(const char* p, const char* end);
    // The colours of a ZBrush "#MRGB" comment line (text from `p`): one MMRRGGBB group of hex
    // digits (mask, red, green, blue) per vertex, taken by the vertices in file order.
    void ReadMrgb(const char* p, const char* end);
    // The colour slots of the vertices (3 per vertex of the file), made when the first colour
    // is met.
    float* ColorSlots();
    // The vertex colours as a colour channel of `g`'s object, whose points are the file's
    // vertices `order[0..count)`; its faces are the object's (already renumbered).
    void AddColorChannel(CObjGroup& g, const int* order, int count);
    bool CancelRequested() const {
        return m_cancelPending->load(std::memory_order_acquire) && ShouldCancelThread();
    }
    // Read on every line of pass `pass` (0 counting, 1 parsing): the thread's cancel state each
    // time, and every kLinesPerReport lines the host's progress callback, told how far the read
    // has come (each pass is half of the range) and asked whether to cancel.
    bool StopAtLine(CProgressScope& progress, int pass) {
        if (++m_linesSinceReport >= kLinesPerReport) {
            m_linesSinceReport = 0;
            const uint64_t total = m_source.GetTextBytes();
            const double done =
                total ? std::min(1.0, double(m_source.GetLoadedBytes()) / double(total)) : 0.0;
            if (progress.Step(pass * kProgressPerPass + int(done * kProgressPerPass))) return true;
        }
        return CancelRequested();
    }
    // False when the callback or the thread's cancel state asks to stop (between long faces).
    bool FinishLongFaces(CProgressScope& progress);
    bool FinishGroups(CProgressScope& progress);
    void FinishPointCloud();
    unsigned CurrentMaterial();
    void ReleaseObjects();

    // The current group's index, opening the default group when none is open.
    int OpenGroup(bool counting) {
        if (m_group < 0) {
            if (counting) StartGroup("default", 7);
            m_group = m_nextGroup++;
        }
        return m_group;
    }
    void StartGroup(const char* name, int length) {
        CObjGroup g{};
        g.nameBegin = m_names.GetSize();
        g.nameLength = length;
        for (int i = 0; i < length; ++i) m_names.Add(name[i]);
        g.firstFace = m_cornerCounts.GetSize();
        m_groups.Add(g);
    }

    CLineSource& m_source;
    int m_line = 0;       // 1-based number of the line the current pass is at
    CXStringA m_problem;  // see GetProblem
    CXArray<CXStringA> m_warnings;  // see GetWarnings
    // Read on every line: a cancellation request reaches the read at the next line.
    const std::atomic<int>* m_cancelPending = GetCancelSetCount();
    static constexpr int kLinesPerReport = 4096;
    static constexpr int kProgressPerPass = 500;
    int m_linesSinceReport = 0;
    C3DScene* m_pScene = nullptr;
    unsigned m_uvwChannelID = 0;

    // First pass.
    int m_vertexCount = 0, m_uvCount = 0, m_normalCount = 0;
    CXArray<CObjGroup> m_groups;
    CXArray<char> m_names;
    CXArray<unsigned> m_cornerCounts;  // per face, freed once the face lists are sized
    CXArray<CXStringA> m_libraries;  // the text of each "mtllib" line, trimmed
    CHashMap<CXStringA, const CXStringA&, int> m_librariesNamed;  // names read or noted as lost
    CXArray<CXStringW> m_folderFiles;  // the OBJ file's folder, listed when a name is not found
    bool m_folderListed = false;
    unsigned m_maxCorners = 0;
    CXArray<CObjLongFace> m_longFaces;  // in the file's order

    // Second pass.
    int m_group = -1;
    int m_nextGroup = 0;
    int m_vertexRead = 0, m_uvRead = 0, m_normalRead = 0;
    CXArray<float> m_positions;  // 3 per vertex of the file
    CXArray<float> m_uvs;        // 2 per texture coordinate
    CXArray<float> m_normals;    // 3 per normal
    // 3 per vertex once a vertex line had a colour (kNoColor for those without), else empty;
    // m_colorMax is the largest component read and m_colorWhole whether all were whole numbers
    // (together they give the scale, see AddColorChannel).
    CXArray<float> m_colors;
    float m_colorMax = 0.0f;
    bool m_colorWhole = true;
    unsigned m_colorChannelID = 0;
    int m_mrgbRead = 0;          // vertices given a colour by "#MRGB" lines so far
    CXArray<int> m_corner;       // one face line: 3 indices per corner (-1 absent)
    int m_nextLong = 0;          // the next of m_longFaces the second pass meets
    // Face lines read with a loss, for the warnings: lines whose corners stop before the line's
    // end (a token not in the format of the line's first corner), with the first such line and
    // the start of its token, and faces left out for having fewer than 3 corners.
    int m_cutLines = 0, m_firstCutLine = 0;
    CXStringA m_firstCutToken;
    int m_shortFaces = 0, m_firstShortLine = 0;
    // "v", "vt" and "vn" lines read without all their numbers, and the first of them.
    int m_shortNumberLines = 0, m_firstShortNumberLine = 0;
    const char* m_firstShortNumberKeyword = "";
    // Libraries read and not found or not readable, and the materials used that none of them
    // defines (the first names kept; counted only when every library named was read, since the
    // warning of a lost library covers its materials).
    int m_librariesRead = 0, m_librariesLost = 0, m_undefinedMaterials = 0;
    CXArray<CXStringA> m_undefinedNames;
    CXArray<int> m_longCorners;  // the index triples of the long faces read
    CXStringA m_materialName;
    unsigned m_material = MATERIAL_NONE;
    bool m_materialResolved = false;
    CHashMap<CXStringA, const CXStringA&, unsigned> m_materialIDs;
    // The scene's materials by name while the libraries are read (only they add materials then).
    CMaterialsByName m_materialsByName;
};

CObjReader::~CObjReader() {
    ReleaseObjects();
    if (m_pScene) delete m_pScene;
}

void CObjReader::ReleaseObjects() {
    for (int i = 0; i < m_groups.GetSize(); ++i) {
        CObjGroup& g = m_groups[i];
        if (g.object) g.object->Delete();
        g.object = nullptr;
    }
}

C3DScene* CObjReader::Read(const wchar_t* directory, int& result) {
    CProgressScope progress(L"Reading OBJ file", nullptr, 0, 2 * kProgressPerPass);
    result = CountPass(progress);
    if (result != IO_FILE_OK) return nullptr;
    m_pScene = new C3DScene;
    m_uvwChannelID = CChannel::NewChannelID();
    ReadLibraries(directory);
    CreateObjects();
    result = ParsePass(progress);
    if (result != IO_FILE_OK) return nullptr;
    // Clipping long faces takes a while for polygons of many corners: a cancel asked meanwhile
    // ends the read as one asked during the passes does.
    if (!FinishGroups(progress) || progress.ShouldCancel()) {
        result = IO_FILE_CANCELED;
        return nullptr;
    }
    C3DScene* scene = m_pScene;
    m_pScene = nullptr;
    return scene;
}

int CObjReader::Malformed(const char* format, ...) {
    char text[160];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    m_problem.Format("line %d: %s", m_line, text);
    return IO_FILE_BAD_FORMAT;
}

int CObjReader::BadIndex(const char* what, const char* keyword, int index, int read, int total) {
    if (index == 0) return Malformed("a face corner with %s index 0; indices start at 1", what);
    // A number beyond the int range was read as its limit: the message says so rather than
    // quote a number the file does not hold.
    const char* beyond = index == std::numeric_limits<int>::max()   ? " or more"
                         : index == std::numeric_limits<int>::min() ? " or less"
                                                                    : "";
    if (index < 0)
        return Malformed("a face corner with %s index %d%s, but only %d \"%s\" lines come before it", what,
                         index, beyond, read, keyword);
    return Malformed("a face corner with %s index %d%s, but the file has %d \"%s\" lines", what, index,
                     beyond, total, keyword);
}

// ---- first pass: counting -------------------------------------------------------------------------

int CObjReader::CountPass(CProgressScope& progress) {
    const char* p;
    const char* end;
    bool vertexSeen = false;
    m_line = 0;
    while (m_source.Next(p, end)) {
        m_line = m_source.LineNumber();
        if (StopAtLine(progress, 0)) return IO_FILE_CANCELED;
        // Not OBJ text: an enormous line before any vertex.
        if (!vertexSeen && end - p >= CWavefrontIo::kMaxFirstLineLength)
            return Malformed("%ld characters long before any vertex line: not OBJ text", long(end - p));
        p = SkipBlanks(p, end);
        if (end - p < 2) continue;
        const char c0 = ToLower(p[0]), c1 = ToLower(p[1]);
        const char* rest;
        if (c0 == 'v') {
            // The file-wide arrays hold up to 3 floats per element in int-indexed arrays.
            if (IsBlank(c1)) {
                if (++m_vertexCount > kMaxElements)
                    return Malformed("more than %d vertex lines", kMaxElements);
                vertexSeen = true;
            } else if (c1 == 't' && (end - p == 2 || IsBlank(p[2]))) {
                if (++m_uvCount > kMaxElements)
                    return Malformed("more than %d texture coordinate lines", kMaxElements);
            } else if (c1 == 'n' && (end - p == 2 || IsBlank(p[2]))) {
                if (++m_normalCount > kMaxElements)
                    return Malformed("more than %d normal lines", kMaxElements);
            }
        } else if (c0 == 'f' && IsBlank(c1)) {
            const char* t = SkipBlanks(p + 1, end);
            if (t == end) continue;
            const FaceFormat format = DetectFirstFormat(t, end);
            const unsigned corners = CountTokens(p + 1, end);
            const int group = OpenGroup(true);
            CObjGroup& g = m_groups[group];
            if (corners > CFaceCollection::kMaxRecordLength) {
                // Too long for a face record: it becomes the triangles of its ear clipping.
                const int reserved = int(corners) - 2;
                if (reserved > kMaxGroupFaces - g.faces) return Malformed("too many faces in one group");
                const CObjLongFace face = {group, g.faces, reserved, -1, 0, int(format)};
                m_longFaces.Add(face);
                g.faces += reserved;
                if (HasTexture(format)) g.uvFaces += reserved;
                if (HasNormal(format)) g.normalFaces += reserved;
                for (int k = 0; k < reserved; ++k) m_cornerCounts.Add(3);
            } else {
                if (g.faces >= kMaxGroupFaces) return Malformed("too many faces in one group");
                ++g.faces;
                if (HasTexture(format)) ++g.uvFaces;
                if (HasNormal(format)) ++g.normalFaces;
                m_cornerCounts.Add(corners);
            }
            if (corners > m_maxCorners) m_maxCorners = corners;
        } else if ((c0 == 'g' || c0 == 'o') && IsBlank(c1)) {
            const char* b = p + 1;
            const char* e = end;
            Trim(b, e);
            if (c0 == 'o') e = SkipToken(b, e);
            StartGroup(b, int(e - b));
            m_group = m_nextGroup++;
        } else if (MatchKeyword(p, end, "mtllib", rest)) {
            // The names as written; ReadLibraries decides how they split.
            const char* b = rest;
            const char* e = end;
            Trim(b, e);
            if (b < e) m_libraries.Add(CXStringA(b, int(e - b)));
        }
    }
    return IO_FILE_OK;
}

// The path of the material library named by [begin, end) (UTF-8 text of the OBJ file), or an empty
// string when no file has that name: relative names are taken in the OBJ file's folder, and a name
// written with Windows separators ("mtllib ..\materials\wood.mtl", from files made there) is also
// tried with slashes. Then a name with folders is tried without them, beside the OBJ file: files
// are often moved without their exporter's folders ("mtllib C:\Users\me\wood.mtl" shipped with
// wood.mtl next to it); last, that file name in any letter case, as on Windows ("House.MTL" for
// house.mtl), the first in name order when several match. The folder is listed once per read.
CXStringW CObjReader::FindLibrary(const wchar_t* directory, const char* begin, const char* end) {
    auto existing = [directory](const CXStringW& name) {
        const CXStringW path = fileIsAbsolutePath(name) ? name : fileJoinPath(directory, name);
        return fileExists(path) ? path : CXStringW();
    };
    CXStringW name(begin, int(end - begin));
    CXStringW path = existing(name);
    if (path.IsEmpty() && name.Find(L'\\') >= 0) {
        for (int i = 0; i < name.GetLength(); ++i)
            if (name[i] == L'\\') name.SetAt(i, L'/');
        path = existing(name);
    }
    const int slash = name.ReverseFind(L'/');
    if (!path.IsEmpty() || slash + 1 == name.GetLength()) return path;
    const CXStringW file = name.Mid(slash + 1);
    if (slash >= 0 && !(path = existing(file)).IsEmpty()) return path;
    if (!m_folderListed) {
        fileFindFiles(directory, L"*", m_folderFiles);
        m_folderListed = true;
    }
    for (int i = 0; i < m_folderFiles.GetSize(); ++i) {
        const CXStringW& candidate = m_folderFiles[i];
        const int start = candidate.GetLength() - file.GetLength();
        if (start < 1 || candidate[start - 1] != L'/') continue;
        int k = 0;
        while (k < file.GetLength() && FoldCase(candidate[start + k]) == FoldCase(file[k])) ++k;
        if (k == file.GetLength()) return candidate;
    }
    return CXStringW();
}

void CObjReader::ReadNamedLibrary(const wchar_t* directory, const char* begin, const char* end) {
    // A name repeated (on one line or many) is read and noted once.
    const CXStringA name(begin, int(end - begin));
    if (m_librariesNamed.IsFound(name)) return;
    m_librariesNamed.Insert(name, 1);
    ReadLibrary(FindLibrary(directory, begin, end), begin, end);
}

void CObjReader::ReadLibrary(const CXStringW& path, const char* begin, const char* end) {
    // Without its library a material keeps the table's default colours and no texture map.
    const char* why = path.IsEmpty() ? "not found"
                      : ReadMtlFileIndexed(path, *m_pScene, m_uvwChannelID, m_materialsByName) < 0
                          ? "cannot be read"
                          : nullptr;
    if (!why) {
        ++m_librariesRead;
        return;
    }
    // The first few by name, the others in one count (ReadLibraries).
    if (++m_librariesLost > kNamedLostLibraries) return;
    // A name of a sane length in full; a runaway one (binary junk on the line) cut short.
    const int length = int(end - begin), shown = length > 200 ? 200 : length;
    CXStringA note;
    note.Format("material library \"%.*s%s\" %s: its materials keep default colours", shown, begin,
                shown < length ? "..." : "", why);
    m_warnings.Add(note);
}

void CObjReader::ReadLibraries(const wchar_t* directory) {
    IndexMaterialsByName(*m_pScene, m_materialsByName);
    if (directory) {
        for (int i = 0; i < m_libraries.GetSize(); ++i) {
            // An "mtllib" line lists blank-separated names. Writers that name the library after
            // an OBJ file with blanks in its name (this one included) write that name whole, so
            // a line whose whole text names an existing file is that one library.
            const char* b = m_libraries[i].GetString();
            const char* e = b + m_libraries[i].GetLength();
            if (SkipToken(b, e) < e) {
                const CXStringA whole(b, int(e - b));
                if (m_librariesNamed.IsFound(whole)) continue;
                const CXStringW path = FindLibrary(directory, b, e);
                if (!path.IsEmpty()) {
                    m_librariesNamed.Insert(whole, 1);
                    ReadLibrary(path, b, e);
                    continue;
                }
            }
            for (const char* t = SkipBlanks(b, e); t < e;) {
                const char* x = SkipToken(t, e);
                ReadNamedLibrary(directory, t, x);
                t = SkipBlanks(x, e);
            }
        }
    }
    if (m_librariesLost > kNamedLostLibraries) {
        CXStringA note;
        note.Format(
            "%d more material libraries not found or unreadable: their materials keep default colours",
            m_librariesLost - kNamedLostLibraries);
        m_warnings.Add(note);
    }
    m_materialsByName.RemoveAll();  // later materials come from "usemtl" lines, not libraries
    // Names of the materials the libraries defined (the first of a name wins, as in the table).
    int position = -1;
    for (C3DMaterial* m = m_pScene->GetFirstMaterial(position); m; m = m_pScene->GetNextMaterial(position)) {
        XCW2A name(m->GetName());
        CXStringA key(name.GetString(), name.GetLength());
        unsigned* known = m_materialIDs.Find(key);
        if (!known || *known > m->GetMaterialID()) m_materialIDs.Insert(key, m->GetMaterialID());
    }
}

// Sizes every group's lists from the first pass: each face gets its exact corner count, so the
// second pass writes in place.
void CObjReader::CreateObjects() {
    for (int i = 0; i < m_groups.GetSize(); ++i) {
        CObjGroup& g = m_groups[i];
        if (g.faces == 0) continue;
        const unsigned* counts = m_cornerCounts.GetData() + g.firstFace;
        // Each new piece is handed to its owner before anything else can fail, so that a failed
        // allocation leaves nothing behind (the groups' objects are released with the reader).
        g.object = new C3DObject;
        g.object->SetPointList(new C3DPointList, false);
        g.object->SetFaceList(new C3DFaceList, false);
        g.faceList = g.object->GetFaceList();
        g.faceList->SetSize(g.faces, counts, SETSIZE_COMPACT_EXACT);
        if (g.uvFaces > 0) {
            g.uvw = new CUVWChannel(m_uvwChannelID);
            g.object->AddChannel(g.uvw);
            g.uvw->GetFaceList()->SetSize(g.faces, counts, SETSIZE_COMPACT_EXACT);
        }
        if (g.normalFaces > 0) {
            g.normals = new CSpecNormalChannel;
            g.object->AddChannel(g.normals);
            g.normals->GetFaceList()->SetSize(g.faces, counts, SETSIZE_COMPACT_EXACT);
        }
    }
    m_cornerCounts.RemoveAll();
}

// ---- second pass: parsing -------------------------------------------------------------------------

unsigned CObjReader::CurrentMaterial() {
    if (m_materialResolved) return m_material;
    // Material names are held as wide text (DecodeName), and the table's keys are those names in
    // UTF-8: a name with bytes that are not UTF-8 ("Terraind\xE6k" from a Windows file) is looked
    // up the way the library's own "newmtl" line was stored, not byte for byte.
    for (int i = 0; i < m_materialName.GetLength(); ++i) {
        if (static_cast<unsigned char>(m_materialName[i]) < 0x80) continue;
        const CXStringW wide = DecodeName(m_materialName.GetString(), m_materialName.GetLength());
        const XCW2A utf8(wide.GetString(), wide.GetLength());
        m_materialName = CXStringA(utf8.GetString(), utf8.GetLength());
        break;
    }
    unsigned* known = m_materialIDs.Find(m_materialName);
    if (known) {
        m_material = *known;
    } else {
        // A name no library defines; "default" names the material of faces before any "usemtl",
        // which no library is expected to define.
        if (m_librariesRead > 0 && m_librariesLost == 0 && m_materialName != "default" &&
            m_undefinedMaterials++ < 3)
            m_undefinedNames.Add(m_materialName);
        C3DMaterial* created = m_pScene->CreateNewMaterial();
        created->SetName(CXStringW(m_materialName.GetString(), m_materialName.GetLength()));
        m_material = created->GetMaterialID();
        m_materialIDs.Insert(m_materialName, m_material);
    }
    m_materialResolved = true;
    return m_material;
}

int CObjReader::ParsePass(CProgressScope& progress) {
    m_positions.SetSize(m_vertexCount * 3);
    m_uvs.SetSize(m_uvCount * 2);
    m_normals.SetSize(m_normalCount * 3);
    m_corner.SetSize(int(m_maxCorners) * 3);
    m_materialName = "default";
    m_group = -1;
    m_nextGroup = 0;
    m_source.Rewind();
    m_line = 0;

    const char* p;
    const char* end;
    while (m_source.Next(p, end)) {
        m_line = m_source.LineNumber();
        if (StopAtLine(progress, 1)) return IO_FILE_CANCELED;
        p = SkipBlanks(p, end);
        if (end - p < 2) {
            if (end - p == 1 && ToLower(p[0]) == 'f') ParseFace(end, end);  // "f" alone
            continue;
        }
        const char c0 = ToLower(p[0]), c1 = ToLower(p[1]);
        const char* rest;
        if (c0 == 'v') {
            if (IsBlank(c1)) {
                // The text changed since the first pass.
                if (m_vertexRead >= m_vertexCount) return Malformed("the file changed while it was read");
                float* v = m_positions.GetData() + 3 * m_vertexRead++;
                const char* q = ReadNumbers(p + 1, end, v, 3, "v");
                // Three more numbers are the point's colour ("v x y z r g b", as MeshLab and
                // scanning software write it); a fourth number alone is a weight, not read.
                if (q && q < end) ReadVertexColor(q, end);
            } else if (c1 == 't' && (end - p == 2 || IsBlank(p[2]))) {
                if (m_uvRead >= m_uvCount) return Malformed("the file changed while it was read");
                float* t = m_uvs.GetData() + 2 * m_uvRead++;
                // A one-dimensional texture coordinate has v = 0.
                const char* q = ReadNumbers(p + 2, end, t, 1, "vt");
                if (!q || !ParseFloatFast(q, end, t[1])) t[1] = 0.0f;
            } else if (c1 == 'n' && (end - p == 2 || IsBlank(p[2]))) {
                if (m_normalRead >= m_normalCount) return Malformed("the file changed while it was read");
                ReadNumbers(p + 2, end, m_normals.GetData() + 3 * m_normalRead++, 3, "vn");
            }
        } else if (c0 == 'f' && IsBlank(c1)) {
            const int r = ParseFace(p + 1, end);
            if (r != IO_FILE_OK) return r;
        } else if ((c0 == 'g' || c0 == 'o') && IsBlank(c1)) {
            m_group = m_nextGroup++;
        } else if (c0 == '#') {
            if (MatchKeyword(p, end, "#mrgb", rest)) ReadMrgb(rest, end);
        } else if (MatchKeyword(p, end, "usemtl", rest)) {
            const char* b = rest;
            const char* e = end;
            Trim(b, e);
            const int length = int(e - b);
            if (length != m_materialName.GetLength() || std::memcmp(b, m_materialName.GetString(), size_t(length)) != 0) {
                m_materialName = CXStringA(b, length);
                m_materialResolved = false;
            }
        }
    }
    // The text changed since the first pass.
    if (m_nextGroup != m_groups.GetSize()) return Malformed("the file changed while it was read");
    NoteLosses();
    return IO_FILE_OK;
}

const char* CObjReader::ReadNumbers(const char* p, const char* end, float* out, int count,
                                    const char* keyword) {
    int read = 0;
    while (read < count && p && (p = ParseFloatFast(p, end, out[read]))) ++read;
    if (read == count) return p;
    // As "%f" leaves them: the numbers after the first that does not read stay unread, here 0
    // (an exporter's "-1.#IND00" for a NaN normal reads as -1, then nothing).
    for (int i = read; i < count; ++i) out[i] = 0.0f;
    if (m_shortNumberLines++ == 0) {
        m_firstShortNumberLine = m_line;
        m_firstShortNumberKeyword = keyword;
    }
    return nullptr;
}

void CObjReader::NoteLosses() {
    CXStringA note;
    if (m_shortNumberLines == 1)
        note.Format("line %d: a \"%s\" line without all its numbers; the missing ones read as 0",
                    m_firstShortNumberLine, m_firstShortNumberKeyword);
    else if (m_shortNumberLines > 1)
        note.Format(
            "%d \"v\", \"vt\" or \"vn\" lines without all their numbers (first at line %d, a \"%s\" "
            "line); the missing ones read as 0",
            m_shortNumberLines, m_firstShortNumberLine, m_firstShortNumberKeyword);
    if (m_shortNumberLines > 0) m_warnings.Add(note);
    // Each corner of a face line is read in the format of its first one (v, v/vt, v/vt/vn or
    // v//vn); a token in another format, or any other text, ends the line's corners.
    if (m_cutLines == 1)
        note.Format(
            "line %d: a face line stops at \"%s\", text that is not a corner in the format of its first "
            "corner; the face keeps the corners before it",
            m_firstCutLine, m_firstCutToken.GetString());
    else if (m_cutLines > 1)
        note.Format(
            "%d face lines stop at text that is not a corner in the format of their first corner (first "
            "at line %d: \"%s\"); their faces keep the corners before it",
            m_cutLines, m_firstCutLine, m_firstCutToken.GetString());
    if (m_cutLines > 0) m_warnings.Add(note);
    if (m_shortFaces == 1)
        note.Format("line %d: a face of fewer than 3 corners left out", m_firstShortLine);
    else if (m_shortFaces > 1)
        note.Format("%d faces of fewer than 3 corners left out (first at line %d)", m_shortFaces,
                    m_firstShortLine);
    if (m_shortFaces > 0) m_warnings.Add(note);
    if (m_undefinedMaterials > 0) {
        CXStringA names;
        for (int i = 0; i < m_undefinedNames.GetSize(); ++i) {
            // A runaway name (binary junk on the line) cut short.
            const CXStringA& name = m_undefinedNames[i];
            const int shown = name.GetLength() > 60 ? 60 : name.GetLength();
            CXStringA quoted;
            quoted.Format("%s\"%.*s%s\"", i ? ", " : "", shown, name.GetString(),
                          shown < name.GetLength() ? "..." : "");
            names += quoted;
        }
        if (m_undefinedMaterials == 1)
            note.Format("material %s is used but no material library defines it: it keeps default colours",
                        names.GetString());
        else
            note.Format(
                "%d materials are used that no material library defines (%s%s): they keep default colours",
                m_undefinedMaterials, names.GetString(), m_undefinedMaterials > 3 ? ", ..." : "");
        m_warnings.Add(note);
    }
}

int CObjReader::ParseFace(const char* p, const char* end) {
    p = SkipBlanks(p, end);
    if (p == end) {
        // An "f" without corners: no face to leave out in the counts, but a loss to report.
        if (m_shortFaces++ == 0) m_firstShortLine = m_line;
        return IO_FILE_OK;
    }
    if (m_group < 0) m_group = m_nextGroup++;
    if (m_group >= m_groups.GetSize()) return Malformed("the file changed while it was read");
    CObjGroup& g = m_groups[m_group];
    if (g.cursor >= g.faces) return Malformed("the file changed while it was read");
    const unsigned face = unsigned(g.cursor++);

    const FaceFormat format = DetectFirstFormat(p, end);
    const int capacity = m_corner.GetSize() / 3;
    int* corners = m_corner.GetData();
    int n = 0;
    while (p < end && n < capacity) {
        int c[3] = {0, 0, 0};
        const char* q = ParseCorner(p, end, format, c);
        if (!q) break;
        int* out = corners + 3 * n;
        out[0] = ResolveIndex(c[0], m_vertexRead, m_vertexCount);
        if (out[0] < 0) return BadIndex("vertex", "v", c[0], m_vertexRead, m_vertexCount);
        out[1] = out[2] = -1;
        if (HasTexture(format) && (out[1] = ResolveIndex(c[1], m_uvRead, m_uvCount)) < 0)
            return BadIndex("texture coordinate", "vt", c[1], m_uvRead, m_uvCount);
        if (HasNormal(format) && (out[2] = ResolveIndex(c[2], m_normalRead, m_normalCount)) < 0)
            return BadIndex("normal", "vn", c[2], m_normalRead, m_normalCount);
        ++n;
        p = SkipBlanks(q, end);
    }
    // A trailing comment ends the corners without a loss.
    if (p < end && *p != '#' && m_cutLines++ == 0) {
        m_firstCutLine = m_line;
        const char* e = SkipToken(p, end);
        m_firstCutToken = CXStringA(p, int(e - p > 40 ? 40 : e - p));
    }
    if (n < 3 && m_shortFaces++ == 0) m_firstShortLine = m_line;

    C3DFaceList* faces = g.faceList;
    if (m_nextLong < m_longFaces.GetSize() && m_longFaces[m_nextLong].group == m_group &&
        m_longFaces[m_nextLong].first == int(face)) {
        // A long face: its corners wait for FinishLongFaces; its triangles take the material now.
        CObjLongFace& longFace = m_longFaces[m_nextLong++];
        g.cursor = longFace.first + longFace.reserved;
        longFace.corners = n;
        longFace.cornerStart = m_longCorners.GetSize();
        longFace.format = int(format);
        for (int i = 0; i < 3 * n; ++i) m_longCorners.Add(corners[i]);
        const unsigned material = CurrentMaterial();
        for (int k = 0; k < longFace.reserved; ++k)
            static_cast<unsigned*>(faces->GetMainData(unsigned(longFace.first + k)))[1] = material;
        return IO_FILE_OK;
    }
    // The main data of a 3D face is its flag word, then its material.
    static_cast<unsigned*>(faces->GetMainData(face))[1] = CurrentMaterial();
    if (n < 3) {
        // Dropped when the group is finished.
        faces->SetFaceFlags(face, FACE_INVALID, true);
        g.dropped = true;
    }
    // Writes column `k` of the corners into face `face` of `list` (in place when the count is the
    // one the first pass gave the face).
    auto store = [&](CFaceList* list, int k) {
        int count;
        int* indices = list->GetIndexes(face, count);
        if (count != n) {
            CFace view;
            list->GetFace(face, view);
            view.SetSize(unsigned(n));
            indices = list->GetIndexes(face, count);
        }
        for (int i = 0; i < n; ++i) indices[i] = corners[3 * i + k];
    };
    store(faces, 0);
    if (g.uvw) {
        if (HasTexture(format))
            store(g.uvw->GetFaceList(), 1);
        else
            g.uvw->GetFaceList()->SetFaceFlags(face, FACE_INVALID, true);
    }
    if (g.normals) {
        if (HasNormal(format))
            store(g.normals->GetFaceList(), 2);
        else
            g.normals->GetFaceList()->SetFaceFlags(face, FACE_INVALID, true);
    }
    if (n < 3) {
        if (g.uvw) g.uvw->GetFaceList()->SetFaceFlags(face, FACE_INVALID, true);
        if (g.normals) g.normals->GetFaceList()->SetFaceFlags(face, FACE_INVALID, true);
    }
    return IO_FILE_OK;
}

// A vertex without a colour, in a file whose other vertices have one.
constexpr float kNoColor = -1.0f;

float* CObjReader::ColorSlots() {
    if (m_colors.IsEmpty()) {
        m_colors.SetSize(m_vertexCount * 3);
        for (int i = 0; i < m_colors.GetSize(); ++i) m_colors[i] = kNoColor;
        m_colorChannelID = CChannel::NewChannelID();
    }
    return m_colors.GetData();
}

void CObjReader::ReadMrgb(const char* p, const char* end) {
    p = SkipBlanks(p, end);
    for (; end - p >= 8 && m_mrgbRead < m_vertexCount; p += 8) {
        int digits[8];
        for (int i = 0; i < 8; ++i)
            if ((digits[i] = detail::HexDigit(p[i])) < 0) return;
        // Stored as fractions of 255, which AddColorChannel turns back into the same bytes.
        float* c = ColorSlots() + 3 * m_mrgbRead++;
        for (int k = 0; k < 3; ++k) c[k] = float(digits[2 + 2 * k] * 16 + digits[3 + 2 * k]) / 255.0f;
        m_colorWhole = false;
    }
}

void CObjReader::ReadVertexColor(const char* p, const char* end) {
    float rgb[3];
    p = ParseFloatFast(p, end, rgb[0]);
    if (p) p = ParseFloatFast(p, end, rgb[1]);
    if (p) p = ParseFloatFast(p, end, rgb[2]);
    if (!p) return;
    float* c = ColorSlots() + 3 * (m_vertexRead - 1);
    for (int k = 0; k < 3; ++k) {
        // Negative and NaN components are black, as no colour has them.
        c[k] = rgb[k] > 0.0f ? rgb[k] : 0.0f;
        if (c[k] > m_colorMax) m_colorMax = c[k];
        if (c[k] != std::floor(c[k])) m_colorWhole = false;
    }
}

void CObjReader::AddColorChannel(CObjGroup& g, const int* order, int count) {
    CVCChannel* channel = new CVCChannel(m_colorChannelID);
    g.object->AddChannel(channel);
    // Components are fractions of full intensity (1 and above: full), unless the file writes
    // bytes: whole numbers only, some above 1.
    const float scale = m_colorWhole && m_colorMax > 1.0f ? 1.0f : 255.0f;
    CVCPointList* colors = channel->GetVCPointList();
    colors->SetSize(count);
    CVCPoint* out = colors->GetPoints();
    for (int k = 0; k < count; ++k) {
        const float* c = m_colors.GetData() + 3 * order[k];
        CRGBColor& color = out[k].color;
        if (c[0] == kNoColor) {
            color = CRGBColor(255, 255, 255);  // white: the colour that leaves a texture or material as it is
            continue;
        }
        // Rounded to the nearest byte, so that a byte written as a fraction with a few decimals
        // (124 as 0.48627) reads back as itself.
        uint8_t* component[3] = {&color.r, &color.g, &color.b};
        for (int i = 0; i < 3; ++i) {
            const float v = c[i] * scale + 0.5f;
            *component[i] = v >= 255.0f ? uint8_t(255) : uint8_t(v);
        }
    }
    // The channel's faces are the object's records, corner for corner; faces left out (fewer
    // than 3 corners) are left out of the channel too.
    CFaceList* faces = channel->GetFaceList();
    faces->SetSize(*g.faceList, SETSIZE_COMPACT_EXACT);
    if (g.dropped)
        for (int f = 0; f < faces->GetSize(); ++f)
            if (!g.faceList->IsFaceLive(unsigned(f))) faces->SetFaceFlags(unsigned(f), FACE_INVALID, true);
}

// ---- finishing: file indices to object indices ----------------------------------------------------

// Renumbers the indices of the live faces of `list` (file-wide indices of elements) to the order
// in which the faces first use them, and returns that order in `order` (its first `count`
// entries). `stamp` and `local` have one entry per element of the file; a stamp equal to `tag`
// marks an element already numbered for this list.
int Renumber(CFaceList* list, int tag, CXArray<int>& stamp, CXArray<int>& local, CXArray<int>& order) {
    int count = 0;
    int* stamps = stamp.GetData();
    int* locals = local.GetData();
    int* orders = order.GetData();
    const int faces = list->GetSize();
    for (int f = 0; f < faces; ++f) {
        if (!list->IsFaceLive(unsigned(f))) continue;
        int n;
        int* indices = list->GetIndexes(unsigned(f), n);
        for (int i = 0; i < n; ++i) {
            const int e = indices[i];
            if (stamps[e] != tag) {
                stamps[e] = tag;
                locals[e] = count;
                orders[count++] = e;
            }
            indices[i] = locals[e];
        }
    }
    return count;
}

// Sets out[k] to the x, y, z triple number order[k] of `triples`, for k below `count` (positions
// and normals are both kept as triples in the file-wide arrays).
template <class T>
void CopyTriples(T* out, const float* triples, const int* order, int count) {
    for (int k = 0; k < count; ++k) {
        const float* v = triples + 3 * order[k];
        out[k].Init(v[0], v[1], v[2]);
    }
}

// Fills the triangles kept for each long face with its ear clipping in its own plane (see
// CTriangulateFaceHelper), while the faces still hold the file's indices; the channel triangles
// take the texture coordinates and normals of the same corners. Triangles the clipping does not
// make (a polygon with repeated or collinear corners, or one the second pass read shorter) are
// dropped with the group's other degenerate faces. False when a cancel was asked between faces.
bool CObjReader::FinishLongFaces(CProgressScope& progress) {
    if (m_longFaces.IsEmpty()) return true;
    CTriangulateFaceHelper helper;
    // The polygon's points, each once, and its corners as indices into them: a point the polygon
    // passes twice is one index, so that ears on it are dropped as for any face.
    C3DPointList points;
    CXArray<int> polygon;
    CXArray<int> localOf;  // per point of the file: its index in `points`, -1 when not met
    localOf.SetSize(m_vertexCount);
    for (int v = 0; v < m_vertexCount; ++v) localOf[v] = -1;
    for (int i = 0; i < m_longFaces.GetSize(); ++i) {
        const CObjLongFace& longFace = m_longFaces[i];
        CObjGroup& g = m_groups[longFace.group];
        if (!g.faceList) continue;
        if (progress.ShouldCancel()) return false;
        const int n = longFace.corners > 0 ? longFace.corners : 0;
        const int* triples = m_longCorners.GetData() + longFace.cornerStart;
        // Room for every corner at once: the list's automatic step is bounded, and growing by it
        // corner by corner copies a polygon of a million corners a thousand times.
        if (points.GetAllocatedSize() < n)
            points.PreAllocate(n);
        else
            points.SetSize(0, true);
        polygon.SetSize(n);
        for (int k = 0; k < n; ++k) {
            int& local = localOf[triples[3 * k]];
            if (local < 0) {
                const float* v = m_positions.GetData() + 3 * triples[3 * k];
                local = points.Add(v[0], v[1], v[2]);
            }
            polygon[k] = local;
        }
        for (int k = 0; k < n; ++k) localOf[triples[3 * k]] = -1;
        int made = n >= 3 ? helper.Clip(points.GetPoints(), points.GetSize(), polygon.GetData(), n) : 0;
        if (made > longFace.reserved) made = longFace.reserved;
        const int* cut = helper.GetTriangles();
        const FaceFormat format = FaceFormat(longFace.format);
        // Column `column` of the corners of triangle t into face `face` of `list`, or the face
        // dropped when the line has no such column or the triangle was not made.
        auto write = [&](CFaceList* list, int column, bool present, int t, unsigned face) {
            if (!list) return;
            if (!present || t >= made) {
                list->SetFaceFlags(face, FACE_INVALID, true);
                return;
            }
            int count;
            int* indices = list->GetIndexes(face, count);
            if (count != 3) {  // the slot was sized for a triangle; only text changed under us alters it
                list->SetFaceFlags(face, FACE_INVALID, true);
                g.dropped = true;
                return;
            }
            for (int k = 0; k < 3; ++k) indices[k] = triples[3 * cut[3 * t + k] + column];
        };
        for (int t = 0; t < longFace.reserved; ++t) {
            const unsigned face = unsigned(longFace.first + t);
            write(g.faceList, 0, true, t, face);
            write(g.uvw ? g.uvw->GetFaceList() : nullptr, 1, HasTexture(format), t, face);
            write(g.normals ? g.normals->GetFaceList() : nullptr, 2, HasNormal(format), t, face);
        }
        if (made < longFace.reserved) g.dropped = true;
    }
    m_longCorners.RemoveAll();
    return true;
}

bool CObjReader::FinishGroups(CProgressScope& progress) {
    if (!FinishLongFaces(progress)) return false;
    CXArray<int> stamp, local, order;
    auto prepare = [&](int elements) {
        stamp.SetSize(elements);
        local.SetSize(elements);
        order.SetSize(elements);
        for (int i = 0; i < elements; ++i) stamp[i] = -1;
    };
    bool anyFace = false;
    for (int i = 0; i < m_groups.GetSize(); ++i) anyFace |= m_groups[i].object != nullptr;
    if (!anyFace) {
        FinishPointCloud();
        return true;
    }

    // Each kind of element (positions, texture coordinates, normals) is renumbered per group to
    // the elements that group uses, in first-use order; `fill` then copies those elements from the
    // file-wide array into the group's own list.
    auto renumberKind = [&](int elements, auto faceListOf, auto fill) {
        prepare(elements);
        for (int i = 0; i < m_groups.GetSize(); ++i) {
            CObjGroup& g = m_groups[i];
            CFaceList* faces = faceListOf(g);
            if (!faces) continue;
            const int count = Renumber(faces, i, stamp, local, order);
            fill(g, count, order.GetData());
        }
    };
    renumberKind(
        m_vertexCount, [](CObjGroup& g) { return g.object ? g.faceList : nullptr; },
        [&](CObjGroup& g, int count, const int* order) {
            C3DPointList* points = g.object->GetPointList();
            points->SetSize(count);
            CopyTriples(points->GetPoints(), m_positions.GetData(), order, count);
            // Colours are per vertex: their channel's points follow the object's points one
            // for one.
            if (!m_colors.IsEmpty()) AddColorChannel(g, order, count);
        });
    m_positions.RemoveAll();
    m_colors.RemoveAll();
    renumberKind(
        m_uvCount, [](CObjGroup& g) { return g.uvw ? g.uvw->GetFaceList() : nullptr; },
        [&](CObjGroup& g, int count, const int* order) {
            CUVWPointList* points = g.uvw->GetUVWPointList();
            points->SetSize(count);
            CUVWPoint* out = points->GetPoints();
            for (int k = 0; k < count; ++k) {
                const float* t = m_uvs.GetData() + 2 * order[k];
                out[k].u = t[0];
                out[k].v = t[1];
                out[k].w = 0.0f;
            }
        });
    m_uvs.RemoveAll();
    renumberKind(
        m_normalCount, [](CObjGroup& g) { return g.normals ? g.normals->GetFaceList() : nullptr; },
        [&](CObjGroup& g, int count, const int* order) {
            C3DVectorList* vectors = g.normals->GetNormalVectorList();
            vectors->SetSize(count);
            CopyTriples(vectors->GetVectors(), m_normals.GetData(), order, count);
        });
    m_normals.RemoveAll();

    for (int i = 0; i < m_groups.GetSize(); ++i) {
        CObjGroup& g = m_groups[i];
        if (!g.object) continue;
        if (g.dropped) {
            // Only the faces left with fewer than 3 corners go (and points only they used); the
            // other faces stay as written, repeated corners included, as in a group that lost none.
            CGeomInfo geom(g.object);
            g.object->GetFaceList()->CleanInvalid(&geom);
            g.object->FreeExtra();
        }
        g.object->Invalidate(INVALIDATE_POINTS | INVALIDATE_FACES | INVALIDATE_ALL, true);
        if (g.object->GetFaceNbr() == 0) {
            XRelease(g.object);
            continue;
        }
        CXStringW name = DecodeName(m_names.GetData() + g.nameBegin, g.nameLength);
        C3DObject* object = g.object;
        g.object = nullptr;
        m_pScene->CreateNode(nullptr, name, object);  // takes the reference, even when it fails
    }
    return true;
}

// A file with points and no face: one node holding every point.
void CObjReader::FinishPointCloud() {
    if (m_vertexCount == 0) return;
    // Held until the scene takes it, so that a failure on the way releases it.
    XHeld<C3DObject> object(new C3DObject);
    object->SetPointList(new C3DPointList, false);
    object->SetFaceList(new C3DFaceList, false);
    C3DPointList* points = object->GetPointList();
    points->SetSize(m_vertexCount);
    C3DTPoint<float>* out = points->GetPoints();
    for (int k = 0; k < m_vertexCount; ++k) {
        const float* v = m_positions.GetData() + 3 * k;
        out[k].Init(v[0], v[1], v[2]);
    }
    object->Invalidate(INVALIDATE_POINTS | INVALIDATE_ALL, true);
    const CObjGroup* named = m_groups.GetSize() > 0 ? &m_groups[0] : nullptr;
    CXStringW name = named && named->nameLength > 0
                         ? DecodeName(m_names.GetData() + named->nameBegin, named->nameLength)
                         : CXStringW(L"default");
    m_pScene->CreateNode(nullptr, name, object.release());  // takes the reference, even when it fails
}

// The directory of `fileName` (with its trailing '/'), or "" for a bare name.
CXStringW DirectoryOf(const wchar_t* fileName) {
    CXStringW name(fileName);
    int slash = -1;
    for (int i = 0; i < name.GetLength(); ++i)
        if (name[i] == L'/') slash = i;
    return slash < 0 ? CXStringW(L"") : CXStringW(name.GetString(), slash + 1);
}

}  // namespace

// ---- entry points -----------------------------------------------------------------------------------

// GuardedIo (io/wavefront_text.h) reports exhausted memory by this value.
static_assert(IO_FILE_NO_MEMORY == -4);

CWavefrontIo::CWavefrontIo(CFileIo* io) : C3DParser(io) {}
CWavefrontIo::~CWavefrontIo() = default;

namespace {

// Reads through `reader`, handing what it noted to `notes` when asked.
C3DScene* ReadWith(CObjReader& reader, const wchar_t* directory, int& result, CWavefrontIo::CReadNotes* notes) {
    C3DScene* scene = reader.Read(directory, result);
    if (notes) {
        notes->problem = reader.GetProblem();
        notes->warnings.Copy(reader.GetWarnings());
    }
    return scene;
}

}  // namespace

C3DScene* CWavefrontIo::ReadObjFile(const wchar_t* fileName, int& result, CReadNotes* notes) {
    if (notes) *notes = CReadNotes();
    return GuardedIo<C3DScene*>(result, nullptr, [&]() -> C3DScene* {
        CLineSource source;
        XCW2A path(fileName);
        if (!source.OpenFile(path)) {
            result = IO_FILE_CANT_OPEN;
            return nullptr;
        }
        CObjReader reader(source);
        CXStringW directory = DirectoryOf(fileName);
        return ReadWith(reader, directory.IsEmpty() ? L"." : directory.GetString(), result, notes);
    });
}

C3DScene* CWavefrontIo::ReadObjMemory(const void* data, size_t size, const wchar_t* directory, int& result,
                                      CReadNotes* notes) {
    if (notes) *notes = CReadNotes();
    return GuardedIo<C3DScene*>(result, nullptr, [&] {
        CLineSource source;
        source.OpenMemory(data, size);
        CObjReader reader(source);
        return ReadWith(reader, directory, result, notes);
    });
}

C3DScene* CWavefrontIo::Read(const wchar_t* fileName, CSceneImportOptions& options) {
    int result = IO_FILE_OK;
    CReadNotes notes;
    C3DScene* scene = ReadObjFile(fileName, result, &notes);
    for (int i = 0; i < notes.warnings.GetSize(); ++i)
        options.AddLogInfo(IO_LOG_WARNING, XCA2W(notes.warnings[i].GetString()));
    if (!scene && GetIoMgr()) {
        GetIoMgr()->SetIoError(result, &options);
        // Where a malformed file went wrong, as a log entry after the code's own.
        if (!notes.problem.IsEmpty()) options.AddLogInfo(IO_LOG_ERROR, XCA2W(notes.problem.GetString()));
    }
    return scene;
}

}  // namespace kestovar
