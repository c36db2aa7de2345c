// The Wavefront OBJ writer: header, coordinates, merged normals and texture coordinates, faces
// with 1-based indices across all nodes, and the MTL library beside the file.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/prefetch.h"
#include "io/wavefront_text.h"
#include "kestovar/core/array.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/progress.h"
#include "kestovar/core/runtime.h"
#include "kestovar/core/thread_registry.h"
#include "kestovar/io/file_io.h"
#include "kestovar/io/wavefront.h"
#include "kestovar/mesh/channel_lists.h"
#include "kestovar/mesh/channels.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/normal_channel.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/scene/scene.h"

namespace kestovar {

namespace wavefront {

CTextWriter::CTextWriter(CXFile& file) : m_file(file), m_used(0) {
    m_buffer = static_cast<char*>(xmalloc(kBufferBytes));
    if (!m_buffer) XThrow<CXMemoryException>();
}

CTextWriter::~CTextWriter() { xfree(m_buffer); }

void CTextWriter::Put(const char* text, size_t length) {
    while (length > 0) {
        if (m_used == kBufferBytes) Flush();
        size_t n = kBufferBytes - m_used;
        if (n > length) n = length;
        std::memcpy(m_buffer + m_used, text, n);
        m_used += n;
        text += n;
        length -= n;
    }
}

void CTextWriter::Flush() {
    if (m_used) m_file.Write(m_buffer, unsigned(m_used));
    m_used = 0;
}

}  // namespace wavefront

using namespace wavefront;

namespace {

// Distinct written values (normals, texture coordinates) by the bits of their three components,
// so that values merge exactly when they would print the same from the same bits. Open addressing
// with linear probing in a power-of-two table sized once for the values to come (at most half
// full); a slot holds the key and its 1-based file index (0: empty).
//
// The table is the writer's hot spot on files with many distinct normals: each lookup is a cache
// miss in a table of tens of megabytes. Callers therefore hash a batch of values first and
// prefetch their slots (Prepare), then probe them in order (Find), so that the misses of a batch
// overlap instead of queueing.
class CValueTable {
public:
    struct Key {
        uint32_t bits[3];
        unsigned slot;  // home slot
    };

    explicit CValueTable(int values) {
        unsigned capacity = 64;
        while (capacity < unsigned(values) * 2u) capacity *= 2;
        m_slots.SetSize(int(capacity));
        std::memset(static_cast<void*>(m_slots.GetData()), 0, sizeof(Slot) * capacity);
        m_mask = capacity - 1;
    }
    void Prepare(float a, float b, float c, Key& key) const {
        std::memcpy(&key.bits[0], &a, 4);
        std::memcpy(&key.bits[1], &b, 4);
        std::memcpy(&key.bits[2], &c, 4);
        uint64_t h = (uint64_t(key.bits[0]) << 32 | key.bits[1]) * 0x9E3779B97F4A7C15ull;
        h ^= (uint64_t(key.bits[2]) + (h >> 29)) * 0xC2B2AE3D27D4EB4Full;
        h ^= h >> 32;
        key.slot = unsigned(h) & m_mask;
        detail::PrefetchLine(m_slots.GetData() + key.slot);
    }
    // The file index of `key`; `isNew` tells whether it was just given `next`.
    int Find(const Key& key, int next, bool& isNew) {
        Slot* slots = m_slots.GetData();
        for (unsigned i = key.slot;; i = (i + 1) & m_mask) {
            Slot& s = slots[i];
            if (s.index == 0) {
                s.bits[0] = key.bits[0];
                s.bits[1] = key.bits[1];
                s.bits[2] = key.bits[2];
                s.index = next;
                isNew = true;
                return next;
            }
            if (s.bits[0] == key.bits[0] && s.bits[1] == key.bits[1] && s.bits[2] == key.bits[2]) {
                isNew = false;
                return s.index;
            }
        }
    }

    // Values hashed and prefetched ahead of their probe.
    static constexpr int kBatch = 16;

private:
    struct Slot {
        uint32_t bits[3];
        int index;
    };
    CXArray<Slot> m_slots;
    unsigned m_mask;
};

bool IsExactIdentity(const C4x4TMatrix<float>& m) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            if (m(r, c) != (r == c ? 1.0f : 0.0f)) return false;
    return true;
}

// One node to write, with what its faces need.
struct CWrittenNode {
    C3DSceneNode* node;
    C3DGeomObject* object;
    C4x4TMatrix<float> tm;          // world transform (points)
    C4x4TMatrix<float> normalTM;    // inverse transpose (normals)
    bool identity;
    bool mirrored;                  // tm turns faces inside out: corners are written reversed
    CUVWChannel* uvw;               // valid and face-mapped like the geometry, or null
    CSpecNormalChannel* normals;    // likewise
    int pointBase;                  // file index of the object's point 0 (0-based)
    int uvBase;                     // offset of its channel points in the remap array
    int normalBase;
};

// Appends "keyword x y z\n" (or "x y") to the output.
inline void PutNumbers(CTextWriter& out, const char* keyword, size_t keywordLength, const float* v, int count) {
    char* p = out.Reserve(CTextWriter::kMaxItemBytes);
    std::memcpy(p, keyword, keywordLength);
    p += keywordLength;
    for (int i = 0; i < count; ++i) {
        if (i) *p++ = ' ';
        p = FormatFloat(p, v[i]);
    }
    *p++ = '\n';
    out.Commit(p);
}

// The channel of `type` to write with `object`: valid, and with a face list as long as the
// geometric one.
CChannel* WritableChannel(C3DGeomObject* object, _Channel3DType type) {
    for (int i = 0;; ++i) {
        CChannel* c = object->GetChannelByIndex(i, type, true);
        if (!c) return nullptr;
        if (c->GetFaceList() && c->GetPointList() && c->GetFaceList()->GetSize() == object->GetFaceNbr()) return c;
    }
}

// Whether channel face `f` gives every corner of geometric face `f` (`corners` of them) a value
// of `points` values (and, for normals, one that is given).
bool ChannelFaceUsable(const CFaceList* faces, int f, int corners, int points, const CPointList* vectors) {
    if (!faces->IsFaceLive(unsigned(f))) return false;
    int n;
    const int* idx = faces->GetIndexes(unsigned(f), n);
    if (n != corners) return false;
    for (int i = 0; i < n; ++i) {
        if (idx[i] < 0 || idx[i] >= points) return false;
        if (vectors && (vectors->GetPointFlags(idx[i]) & SPEC_NORMAL_NONE)) return false;
    }
    return true;
}

class CObjWriter {
public:
    explicit CObjWriter(C3DScene& scene) : m_scene(scene), m_out(nullptr) {}
    // False when the scene has no geometric node to write.
    bool Collect();
    // IO_FILE_OK or IO_FILE_CANCELED.
    int Write(CTextWriter& out, const char* mtlName, const CMtlNameMap& materials);

private:
    void WriteHeader(const char* mtlName);
    bool WritePoints(CProgressScope& progress);
    void WriteNormals();
    void WriteUVs();
    int WriteFaces(const CMtlNameMap& materials, CProgressScope& progress);

    // Every 65536 points or faces: the host's progress callback hears how far the points and
    // faces written so far (`done`) have come, and it or the thread's cancel state may stop the
    // write. Also between objects.
    bool StopAt(CProgressScope& progress, int64_t done) const {
        const int64_t total = int64_t(m_points) + m_faces;
        const int position = total > 0 ? int(std::min<int64_t>(1000, done * 1000 / total)) : 0;
        return progress.Step(position) || ShouldCancelThread();
    }

    C3DScene& m_scene;
    CTextWriter* m_out;
    CXArray<CWrittenNode> m_nodes;
    CXArray<int> m_uvRemap;      // channel point -> file index, per node from uvBase
    CXArray<int> m_normalRemap;  // likewise from normalBase
    int m_points = 0;
    int m_faces = 0;
};

bool CObjWriter::Collect() {
    for (C3DNodePos pos = m_scene.GetFirstNode(OBJECT_GEOMETRIC_MASK, 0); pos;) {
        C3DGeomObject* object = nullptr;
        C3DSceneNode* node = m_scene.GetNextNode(pos, object);
        if (!object || !object->GetPointList()) continue;
        CWrittenNode w{};
        w.node = node;
        w.object = object;
        node->GetNodeTM(0, w.tm);
        w.identity = IsExactIdentity(w.tm);
        if (!w.identity) {
            w.normalTM = w.tm.GetInverse();
            w.normalTM.Transpose();
        }
        // As baking the transform into the object does (C3DGeomObject::MatrixTransform).
        w.mirrored = !w.identity && w.tm.Determinant3x3() < 0.0;
        if (object->GetFaceList()) {
            w.uvw = static_cast<CUVWChannel*>(WritableChannel(object, CHANNEL_UVW));
            w.normals = static_cast<CSpecNormalChannel*>(WritableChannel(object, CHANNEL_SPEC_NORMAL));
        }
        w.pointBase = m_points;
        m_points += object->GetPointNbr();
        m_faces += object->GetFaceNbr();
        m_nodes.Add(w);
    }
    return m_nodes.GetSize() > 0;
}

int CObjWriter::Write(CTextWriter& out, const char* mtlName, const CMtlNameMap& materials) {
    CProgressScope progress(L"Writing OBJ file", nullptr, 0, 1000);
    m_out = &out;
    WriteHeader(mtlName);
    if (!WritePoints(progress)) return IO_FILE_CANCELED;
    WriteNormals();
    WriteUVs();
    return WriteFaces(materials, progress);
}

void CObjWriter::WriteHeader(const char* mtlName) {
    m_out->Put("# \n# Wavefront OBJ generated by Vistaplex\n# \n");
    char* p = m_out->Reserve(CTextWriter::kMaxItemBytes);
    auto text = [&](const char* s) {
        while (*s) *p++ = *s++;
    };
    text("# Kestovar scene: ");
    p = FormatInt(p, m_nodes.GetSize());
    text(" objects, ");
    p = FormatInt(p, m_points);
    text(" points, ");
    p = FormatInt(p, m_faces);
    text(" faces\n# Points are in world space; indices count across objects\n# \n");
    m_out->Commit(p);
    m_out->Put("\nmtllib ");
    m_out->Put(mtlName);
    m_out->Put("\n");
}

// False when a cancel was asked: the points of a large scene take as long to write as its faces,
// and are polled as they are.
bool CObjWriter::WritePoints(CProgressScope& progress) {
    m_out->Put("\n# Coordinates\n");
    for (int i = 0; i < m_nodes.GetSize(); ++i) {
        const CWrittenNode& w = m_nodes[i];
        if (StopAt(progress, w.pointBase)) return false;
        const C3DPointList* list = w.object->GetPointList();
        const C3DTPoint<float>* points = list->GetPoints();
        const int n = list->GetSize();
        for (int k = 0; k < n; ++k) {
            if ((k & 0xFFFF) == 0xFFFF && StopAt(progress, w.pointBase + k)) return false;
            const C3DTPoint<float> q = w.identity ? points[k] : w.tm.TransformPoint(points[k]);
            const float v[3] = {q.x, q.y, q.z};
            PutNumbers(*m_out, "v ", 2, v, 3);
        }
    }
    return true;
}

void CObjWriter::WriteNormals() {
    m_out->Put("\n# Normals\n");
    int total = 0;
    for (int i = 0; i < m_nodes.GetSize(); ++i) {
        CWrittenNode& w = m_nodes[i];
        w.normalBase = total;
        if (w.normals) total += w.normals->GetNormalVectorList()->GetSize();
    }
    m_normalRemap.SetSize(total);
    CValueTable written(total);
    int count = 0;
    for (int i = 0; i < m_nodes.GetSize(); ++i) {
        const CWrittenNode& w = m_nodes[i];
        if (!w.normals) continue;
        const C3DVectorList* list = w.normals->GetNormalVectorList();
        const C3DTVector<float>* vectors = list->GetVectors();
        const int n = list->GetSize();
        C3DTVector<float> values[CValueTable::kBatch];
        CValueTable::Key keys[CValueTable::kBatch];
        for (int first = 0; first < n; first += CValueTable::kBatch) {
            const int batch = std::min(CValueTable::kBatch, n - first);
            for (int b = 0; b < batch; ++b) {
                C3DTVector<float> v = vectors[first + b];
                if (!w.identity) {
                    v = w.normalTM.TransformVector(v);
                    const double length = std::sqrt(double(v.x) * v.x + double(v.y) * v.y + double(v.z) * v.z);
                    if (length > 0.0) v.Init(float(v.x / length), float(v.y / length), float(v.z / length));
                }
                values[b] = v;
                written.Prepare(v.x, v.y, v.z, keys[b]);
            }
            for (int b = 0; b < batch; ++b) {
                bool isNew;
                m_normalRemap[w.normalBase + first + b] = written.Find(keys[b], count + 1, isNew);
                if (isNew) {
                    ++count;
                    const float f[3] = {values[b].x, values[b].y, values[b].z};
                    PutNumbers(*m_out, "vn ", 3, f, 3);
                }
            }
        }
    }
}

void CObjWriter::WriteUVs() {
    m_out->Put("\n# UV Coordinates\n");
    int total = 0;
    for (int i = 0; i < m_nodes.GetSize(); ++i) {
        CWrittenNode& w = m_nodes[i];
        w.uvBase = total;
        if (w.uvw) total += w.uvw->GetUVWPointList()->GetSize();
    }
    m_uvRemap.SetSize(total);
    CValueTable written(total);
    int count = 0;
    for (int i = 0; i < m_nodes.GetSize(); ++i) {
        const CWrittenNode& w = m_nodes[i];
        if (!w.uvw) continue;
        const CUVWPointList* list = w.uvw->GetUVWPointList();
        const CUVWPoint* points = list->GetPoints();
        const int n = list->GetSize();
        CValueTable::Key keys[CValueTable::kBatch];
        for (int first = 0; first < n; first += CValueTable::kBatch) {
            const int batch = std::min(CValueTable::kBatch, n - first);
            for (int b = 0; b < batch; ++b) written.Prepare(points[first + b].u, points[first + b].v, 0.0f, keys[b]);
            for (int b = 0; b < batch; ++b) {
                bool isNew;
                m_uvRemap[w.uvBase + first + b] = written.Find(keys[b], count + 1, isNew);
                if (isNew) {
                    ++count;
                    const float f[2] = {points[first + b].u, points[first + b].v};
                    PutNumbers(*m_out, "vt ", 3, f, 2);
                }
            }
        }
    }
}

int CObjWriter::WriteFaces(const CMtlNameMap& materials, CProgressScope& progress) {
    m_out->Put("\n# Faces\n");
    int64_t facesBefore = 0;  // faces of the objects written before this one
    for (int i = 0; i < m_nodes.GetSize(); ++i) {
        const CWrittenNode& w = m_nodes[i];
        if (StopAt(progress, m_points + facesBefore)) return IO_FILE_CANCELED;
        const CXStringA name = OneLineText(w.node->GetName());
        m_out->Put("g ");
        m_out->Put(name.GetString(), size_t(name.GetLength()));
        m_out->Put("\n");
        C3DFaceList* faces = w.object->GetFaceList();
        if (!faces) continue;
        const CFaceList* uvFaces = w.uvw ? w.uvw->GetFaceList() : nullptr;
        const int uvPoints = w.uvw ? w.uvw->GetPointList()->GetSize() : 0;
        const CFaceList* nFaces = w.normals ? w.normals->GetFaceList() : nullptr;
        const C3DVectorList* vectors = w.normals ? w.normals->GetNormalVectorList() : nullptr;
        const int nPoints = vectors ? vectors->GetSize() : 0;
        const int points = w.object->GetPointNbr();
        // The material of the node's first face is always named.
        unsigned current = MATERIAL_NONE;
        bool named = false;
        const int count = faces->GetSize();
        const int64_t first = m_points + facesBefore;
        facesBefore += w.object->GetFaceNbr();
        for (int f = 0; f < count; ++f) {
            if ((f & 0xFFFF) == 0xFFFF && StopAt(progress, first + f)) return IO_FILE_CANCELED;
            if (!faces->IsFaceLive(unsigned(f))) continue;
            int n;
            const int* idx = faces->GetIndexes(unsigned(f), n);
            if (n == 0) continue;
            const unsigned material = faces->GetFaceMaterial(unsigned(f));
            if (!named || material != current) {
                const CXStringA* mtl = materials.Find(material);
                m_out->Put("usemtl ");
                if (mtl)
                    m_out->Put(mtl->GetString(), size_t(mtl->GetLength()));
                else
                    m_out->Put("default");
                m_out->Put("\n");
                current = material;
                named = true;
            }
            const bool uv = uvFaces && ChannelFaceUsable(uvFaces, f, n, uvPoints, nullptr);
            const bool normal = nFaces && ChannelFaceUsable(nFaces, f, n, nPoints, vectors);
            int dummy;
            const int* uvIdx = uv ? uvFaces->GetIndexes(unsigned(f), dummy) : nullptr;
            const int* nIdx = normal ? nFaces->GetIndexes(unsigned(f), dummy) : nullptr;
            m_out->Put("f ", 2);
            for (int corner = 0; corner < n; ++corner) {
                const int k = w.mirrored ? n - 1 - corner : corner;
                // A corner beyond the points would name another object's point: written as the
                // object's last point instead (such a face is broken either way).
                const int local = idx[k] >= 0 && idx[k] < points ? idx[k] : points - 1;
                char* p = m_out->Reserve(64);
                p = FormatInt(p, w.pointBase + local + 1);
                if (uv || normal) {
                    *p++ = '/';
                    if (uv) p = FormatInt(p, m_uvRemap[w.uvBase + uvIdx[k]]);
                    if (normal) {
                        *p++ = '/';
                        p = FormatInt(p, m_normalRemap[w.normalBase + nIdx[k]]);
                    }
                }
                *p++ = ' ';
                m_out->Commit(p);
            }
            m_out->Put("\n", 1);
        }
    }
    return IO_FILE_OK;
}

// The name part of a path (after the last '/').
const wchar_t* BareName(const wchar_t* path) {
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p; ++p)
        if (*p == L'/') name = p + 1;
    return name;
}

// `path` with its extension replaced by ".mtl".
CXStringW MtlPathFor(const wchar_t* path) {
    CXStringW result(path);
    const int nameStart = int(BareName(path) - path);
    int dot = -1;
    for (int i = nameStart; i < result.GetLength(); ++i)
        if (result[i] == L'.') dot = i;
    if (dot >= 0) result = CXStringW(result.GetString(), dot);
    result += L".mtl";
    return result;
}

}  // namespace

bool CWavefrontIo::WriteObjFile(const wchar_t* fileName, C3DScene& scene, const wchar_t* mtlFileName,
                                const wchar_t* mtlName, int& result) {
    return GuardedIo(result, false, [&] {
        CObjWriter writer(scene);
        if (!writer.Collect()) {
            result = IO_FILE_NOTHING_TO_SAVE;
            return false;
        }
        CMtlNameMap materials;
        BuildMtlNames(scene, materials);

        CXFile mtlFile;
        if (!mtlFile.Open(mtlFileName, CXFile::modeCreate | CXFile::modeWrite)) {
            result = IO_FILE_CANT_OPEN;
            return false;
        }
        {
            CTextWriter out(mtlFile);
            WriteMtl(out, scene, materials);
            out.Flush();
        }
        mtlFile.Close();

        CXFile file;
        if (!file.Open(fileName, CXFile::modeCreate | CXFile::modeWrite)) {
            result = IO_FILE_CANT_OPEN;
            return false;
        }
        CTextWriter out(file);
        XCW2A name(mtlName);
        result = writer.Write(out, name, materials);
        if (result != IO_FILE_OK) return false;
        out.Flush();
        file.Close();
        return true;
    });
}

void CWavefrontIo::SaveDefaultOptions(CSceneExportOptions& options) {
    options.SetForcedFlags(kExportForcedFlags);
    options.SetDefaultFlags(kExportDefaultFlags);
}

bool CWavefrontIo::Save(const wchar_t* fileName, C3DScene& scene, CSceneExportOptions& options) {
    // The library is named after the file the user asked for, not after the temporary file the
    // frame may have handed over, and is written through a temporary file of its own.
    CXStringW target =
        options.GetTargetFileName().IsEmpty() ? CXStringW(fileName) : options.GetTargetFileName();
    // A "file:" address names a local file, beside which the library goes.
    const CFileInfo targetInfo(target.GetString());
    if (targetInfo.IsURL() && targetInfo.IsFile()) target = targetInfo.GetLocalFileName();
    const CXStringW mtlPath = MtlPathFor(target);
    const CXStringW mtlWritten = options.AddTemporaryFile(mtlPath);
    int result = IO_FILE_CANT_OPEN;
    const bool ok = !mtlWritten.IsEmpty() && WriteObjFile(fileName, scene, mtlWritten, BareName(mtlPath), result);
    if (!ok && GetIoMgr()) GetIoMgr()->SetIoError(result, &options);
    return ok;
}

}  // namespace kestovar
