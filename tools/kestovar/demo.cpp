// `kestovar demo DATA_DIR OUT_DIR`: the sample job run by `make demo`.
//
// For every OBJ file of DATA_DIR it loads positions and polygons into the library's containers,
// measures the mesh (bounding box, edges, open-border and non-manifold edges through the library's
// hash map), keeps the figures in a CCustomData property set, saves that set beside the results in
// OUT_DIR, reads it back and checks that the round trip is exact. The library's log goes to
// OUT_DIR/kestovar.log.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "commands.h"
#include "kestovar/kestovar.h"

namespace kestovar_tool {
namespace {

using namespace kestovar;

// Identifiers of the figures kept for each mesh.
constexpr uint32_t kPointCount = FourCC('P', 'N', 'T', 'S');
constexpr uint32_t kFaceCount = FourCC('F', 'A', 'C', 'E');
constexpr uint32_t kTriangleCount = FourCC('T', 'R', 'I', 'S');
constexpr uint32_t kEdgeCount = FourCC('E', 'D', 'G', 'E');
constexpr uint32_t kBorderEdges = FourCC('B', 'O', 'R', 'D');
constexpr uint32_t kNonManifoldEdges = FourCC('N', 'M', 'A', 'N');
constexpr uint32_t kBoxMin = FourCC('B', 'M', 'I', 'N');
constexpr uint32_t kBoxMax = FourCC('B', 'M', 'A', 'X');
constexpr uint32_t kSource = FourCC('S', 'R', 'C', ' ');

struct LoadedMesh {
    CXArray<C3DTPoint<float>> points;
    CXArray<int> faceStarts;  // face i uses corners [faceStarts[i], faceStarts[i + 1])
    CXArray<int> corners;     // 0-based point indices
};

// Reads the positions and polygons of an OBJ file ("v" and "f" lines; texture and normal
// references of a corner are skipped, negative indices are relative to the end of the list).
// Returns false with a message for unreadable files and out-of-range indices.
bool LoadObj(const char* path, LoadedMesh& mesh, std::string& error) {
    FILE* file = std::fopen(path, "rb");
    if (!file) {
        error = std::strerror(errno);
        return false;
    }
    char line[4096];
    int lineNumber = 0;
    mesh.faceStarts.Add(0);
    while (std::fgets(line, sizeof line, file)) {
        ++lineNumber;
        if (line[0] == 'v' && line[1] == ' ') {
            float x = 0, y = 0, z = 0;
            if (std::sscanf(line + 2, "%f %f %f", &x, &y, &z) == 3) mesh.points.Add(C3DTPoint<float>(x, y, z));
        } else if (line[0] == 'f' && line[1] == ' ') {
            const char* p = line + 2;
            int count = 0;
            while (*p) {
                char* end = nullptr;
                long index = std::strtol(p, &end, 10);
                if (end == p) break;
                long n = mesh.points.GetSize();
                long resolved = index < 0 ? n + index : index - 1;
                if (resolved < 0 || resolved >= n) {
                    error = "line " + std::to_string(lineNumber) + ": point index out of range";
                    std::fclose(file);
                    return false;
                }
                mesh.corners.Add(int(resolved));
                ++count;
                p = end;
                while (*p && *p != ' ' && *p != '\t') ++p;  // skip "/vt/vn"
                while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
            }
            if (count >= 3)
                mesh.faceStarts.Add(mesh.corners.GetSize());
            else
                mesh.corners.SetSize(mesh.faceStarts[mesh.faceStarts.GetUpperBound()]);
        }
    }
    std::fclose(file);
    return true;
}

// Counts the distinct edges of the polygons and how many faces use each: an edge used once lies
// on an open border, one used by more than two faces is non-manifold.
void MeasureEdges(const LoadedMesh& mesh, CCustomData& figures) {
    CHashMap<uint64_t, uint64_t, unsigned> uses(NextPrime(unsigned(mesh.corners.GetSize()) * 2 + 2));
    int faces = mesh.faceStarts.GetSize() - 1;
    for (int f = 0; f < faces; ++f) {
        int begin = mesh.faceStarts[f], end = mesh.faceStarts[f + 1];
        for (int c = begin; c < end; ++c) {
            uint64_t a = uint32_t(mesh.corners[c]);
            uint64_t b = uint32_t(mesh.corners[c + 1 < end ? c + 1 : begin]);
            uint64_t key = a < b ? (a << 32) | b : (b << 32) | a;
            unsigned* count = uses.Find(key);
            if (count)
                ++*count;
            else
                uses.Insert(key, 1);
        }
    }
    unsigned border = 0, nonManifold = 0;
    int position = -1;
    uint64_t key;
    unsigned count;
    while (uses.GetNext(position, key, count)) {
        if (count == 1) ++border;
        if (count > 2) ++nonManifold;
    }
    figures.SetUInt(kEdgeCount, unsigned(uses.GetCount()));
    figures.SetUInt(kBorderEdges, border);
    figures.SetUInt(kNonManifoldEdges, nonManifold);
}

void MeasureMesh(const LoadedMesh& mesh, CCustomData& figures) {
    int faces = mesh.faceStarts.GetSize() - 1;
    unsigned triangles = 0;
    for (int f = 0; f < faces; ++f) triangles += mesh.faceStarts[f + 1] - mesh.faceStarts[f] == 3;
    figures.SetUInt(kPointCount, unsigned(mesh.points.GetSize()));
    figures.SetUInt(kFaceCount, unsigned(faces));
    figures.SetUInt(kTriangleCount, triangles);
    if (mesh.points.GetSize() > 0) {
        C3DTPoint<float> lo = mesh.points[0], hi = mesh.points[0];
        for (int i = 1; i < mesh.points.GetSize(); ++i) {
            const C3DTPoint<float>& p = mesh.points[i];
            for (int k = 0; k < 3; ++k) {
                if (p[k] < lo[k]) lo[k] = p[k];
                if (p[k] > hi[k]) hi[k] = p[k];
            }
        }
        float box[2][3] = {{lo.x, lo.y, lo.z}, {hi.x, hi.y, hi.z}};
        figures.SetArray(kBoxMin, box[0], 3, sizeof(float));
        figures.SetArray(kBoxMax, box[1], 3, sizeof(float));
    }
    MeasureEdges(mesh, figures);
}

// Writes `figures` to `path` and reads them back; true when the copy is identical.
bool SaveAndVerify(const CCustomData& figures, const std::string& path, std::string& error) {
    try {
        unsigned size = 0;
        uint8_t* bytes = figures.SerializeToData(size);
        {
            CXFile out(path.c_str(), CXFile::modeCreate | CXFile::modeWrite);
            out.Write(bytes, size);
            out.Close();
        }
        xfree(bytes);
        CXFile in(path.c_str(), CXFile::modeRead);
        std::vector<uint8_t> data(size_t(in.GetLength()));
        unsigned got = in.Read(data.data(), unsigned(data.size()));
        CCustomData copy;
        if (got != data.size() || !copy.SerializeFromData(data.data(), got)) {
            error = "short read";
            return false;
        }
        if (!copy.IsEqual(figures) || copy.GetChecksum() != figures.GetChecksum()) {
            error = "the saved figures differ from the originals";
            return false;
        }
        return true;
    } catch (CXException* e) {
        error = e->GetMessage();
        XDeleteThreadException();
        return false;
    }
}

unsigned GetUInt(const CCustomData& figures, uint32_t id) {
    unsigned value = 0;
    figures.GetUInt(id, value);
    return value;
}

}  // namespace

int RunDemo(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kestovar demo DATA_DIR OUT_DIR\n");
        return kExitUsage;
    }
    namespace fs = std::filesystem;
    const fs::path dataDir = argv[0], outDir = argv[1];
    std::error_code ec;
    fs::create_directories(outDir, ec);
    if (ec) {
        std::fprintf(stderr, "kestovar: %s: %s\n", outDir.c_str(), ec.message().c_str());
        return kExitIo;
    }
    std::vector<fs::path> inputs;
    for (const auto& entry : fs::directory_iterator(dataDir, ec))
        if (entry.path().extension() == ".obj") inputs.push_back(entry.path());
    if (ec || inputs.empty()) {
        std::fprintf(stderr, "kestovar: %s: no OBJ file found\n", dataDir.c_str());
        return kExitIo;
    }
    std::sort(inputs.begin(), inputs.end());

    const std::wstring logPath = (outDir / "kestovar.log").wstring();
    InitKestovarApplication(nullptr, 0, logPath.c_str());
    int status = 0;
    for (const fs::path& input : inputs) {
        const unsigned start = timeGetTick();
        LoadedMesh mesh;
        std::string error;
        if (!LoadObj(input.c_str(), mesh, error)) {
            std::fprintf(stderr, "kestovar: %s: %s\n", input.c_str(), error.c_str());
            status = kExitIo;
            continue;
        }
        const unsigned loaded = timeGetTick();
        CCustomData figures;
        figures.SetStringA(kSource, input.filename().c_str());
        MeasureMesh(mesh, figures);
        const unsigned measured = timeGetTick();
        WriteToLogFile("demo: %s loaded in %u ms, measured in %u ms\n", input.filename().c_str(), loaded - start,
                       measured - loaded);

        const std::string saved = (outDir / input.stem()).string() + ".kvd";
        if (!SaveAndVerify(figures, saved, error)) {
            std::fprintf(stderr, "kestovar: %s: %s\n", saved.c_str(), error.c_str());
            status = kExitIo;
            continue;
        }
        std::printf("%-14s %7u points %7u faces (%u triangles), %7u edges, %5u on open borders, %3u non-manifold"
                    "  [%u ms]\n",
                    input.filename().c_str(), GetUInt(figures, kPointCount), GetUInt(figures, kFaceCount),
                    GetUInt(figures, kTriangleCount), GetUInt(figures, kEdgeCount), GetUInt(figures, kBorderEdges),
                    GetUInt(figures, kNonManifoldEdges), measured - start);
    }
    std::printf("figures saved and verified in %s; log in %s\n", outDir.c_str(), (outDir / "kestovar.log").c_str());
    CloseKestovarApplication(16);
    return status;
}

}  // namespace kestovar_tool
