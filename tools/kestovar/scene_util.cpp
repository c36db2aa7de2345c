// Helpers shared by the subcommands (see scene_util.h).
#include "scene_util.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <vector>

#include "commands.h"
#include "kestovar/kestovar.h"

namespace kestovar_tool {

using namespace kestovar;

namespace {

// The folder of the plug-in formats: the one KESTOVAR_PLUGINS names when it is set (even empty:
// then none), else the first that exists of the installed layout (<prefix>/<libdir>/kestovar/
// Plugins beside <prefix>/bin/kestovar) and the build tree's (<build>/plugins beside
// <build>/tools/kestovar/kestovar). Empty when there is none.
std::string PluginsFolder() {
    if (const char* named = std::getenv("KESTOVAR_PLUGINS")) return named;
    std::error_code error;
    const std::filesystem::path tool = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return std::string();
    const std::filesystem::path bin = tool.parent_path();
    for (const std::filesystem::path& folder :
         {bin / ".." / KESTOVAR_INSTALL_LIBDIR / "kestovar" / "Plugins", bin / ".." / ".." / "plugins"})
        if (std::filesystem::is_directory(folder, error)) return folder.lexically_normal().string();
    return std::string();
}

}  // namespace

namespace {

constexpr unsigned kCloseFlags = KESTOVAR_INIT_FORMATS | KESTOVAR_INIT_IO_PLUGINS | KESTOVAR_CLOSE_RELEASE_ALL;
bool g_closeDeferred = false;

}  // namespace

LibrarySession::LibrarySession(const wchar_t* logPath) : m_uncaught(std::uncaught_exceptions()) {
    InitKestovarApplication(nullptr, KESTOVAR_INIT_FORMATS, logPath);
    const std::string folder = PluginsFolder();
    if (!folder.empty()) {
        // The library keeps the directory part of the path it is given.
        SetPluginsDirectory(Widen(folder + "/").c_str(), false);
        RegisterIOPlugins(16384u, L"");
    }
}

LibrarySession::~LibrarySession() {
    if (std::uncaught_exceptions() > m_uncaught)
        g_closeDeferred = true;
    else
        CloseKestovarApplication(kCloseFlags);
}

void CloseDeferredSession() {
    if (!g_closeDeferred) return;
    g_closeDeferred = false;
    CloseKestovarApplication(kCloseFlags);
}

// The library's messages may span lines; the tool reports every error on one line.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

// File names and messages cross between the tool and the library as UTF-8 and UTF-32, the
// library's own conventions, whatever the process locale (the tool never sets one, and the C
// locale would refuse every byte above 127).
std::wstring Widen(const std::string& text) {
    const XCA2W wide(text.c_str(), int(text.size()));
    return std::wstring(wide.GetString(), size_t(wide.GetLength()));
}

std::string Narrow(const wchar_t* text) {
    const XCW2A narrow(text);
    return std::string(narrow.GetString(), size_t(narrow.GetLength()));
}

namespace {

// Whether `path` names a scene format registered for reading (or for writing). When it does
// not, says so with the library's "Unknown file type" and the extensions that are registered
// (the plug-ins' among them), so that a missing plug-in shows.
bool IsKnownSceneType(const std::string& path, bool reading) {
    const std::wstring wide = Widen(path);
    const uint32_t parser = reading ? fileGetLoader(wide.c_str()) : fileGetSaver(wide.c_str());
    if ((fileGetKindOf(wide.c_str()) & FILE_KIND_3D) && parser != FILE_PARSER_UNKNOWN) return true;
    CFileExtStringArray extensions;
    fileGetExtensionArrayByProperty(FILE_KIND_3D | (reading ? FILE_PROP_READ : FILE_PROP_WRITE), extensions,
                                    true);
    std::string known;
    for (int i = 0; i < extensions.GetSize(); ++i)
        known += (i ? ", " : "") + Narrow(extensions[i].GetString());
    std::fprintf(
        stderr, "kestovar: %s: %s (%s: %s)\n", path.c_str(),
        OneLine(Narrow(C3DIo::GetIoErrorTxtFromCode(reading, IO_FILE_UNKNOWN_TYPE, wide.c_str()))).c_str(),
        reading ? "scene files read" : "scene files written", known.empty() ? "none" : known.c_str());
    return false;
}

}  // namespace

namespace {

int g_lastIoFailureExit = kExitIo;

// Records the exit code of a failed read or save; says "out of memory" for that failure.
bool ReportIoFailure(const std::string& path, int ioError, const std::string& message) {
    g_lastIoFailureExit = ioError == IO_FILE_NO_MEMORY ? kExitFailed : kExitIo;
    if (ioError == IO_FILE_NO_MEMORY)
        std::fprintf(stderr, "kestovar: out of memory\n");
    else
        std::fprintf(stderr, "kestovar: %s: %s\n", path.c_str(), message.c_str());
    return false;
}

}  // namespace

int LastIoFailureExit() {
    return g_lastIoFailureExit;
}

bool IsUtf8Name(const std::string& path) {
    if (Narrow(Widen(path).c_str()) == path) return true;
    std::fprintf(stderr, "kestovar: %s: the name is not valid UTF-8\n", path.c_str());
    return false;
}

bool ReplacesFile(const std::string& output, const std::string& input) {
    std::error_code error;
    return std::filesystem::equivalent(output, input, error) && !error;
}

bool OutputFolder::Create(const std::string& path) {
    namespace fs = std::filesystem;
    if (!IsUtf8Name(path)) return false;
    std::error_code error;
    // The outermost missing folder of the path is what a failure removes again.
    fs::path outermost;
    for (fs::path p = fs::absolute(path, error); !error && !p.empty() && !fs::exists(p, error);
         p = p.parent_path()) {
        outermost = p;
        if (p == p.parent_path()) break;
    }
    fs::create_directories(path, error);
    if (error) {
        std::fprintf(stderr, "kestovar: %s: %s\n", path.c_str(), error.message().c_str());
        return false;
    }
    m_created = outermost.string();
    return true;
}

OutputFolder::~OutputFolder() {
    if (m_created.empty()) return;
    std::error_code error;
    std::filesystem::remove_all(m_created, error);
}

XHeld<C3DScene> ReadScene(const std::string& path, bool forOptimizer, bool join) {
    g_lastIoFailureExit = kExitIo;
    if (!IsUtf8Name(path)) return nullptr;
    // The library's message for a file it cannot open suspects another process holding it; the
    // usual causes (a mistyped name, a folder, a device, no permission) are said as such.
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    const char* problem = !std::filesystem::exists(status)            ? "no such file"
                          : std::filesystem::is_directory(status)     ? "is a folder, not a file"
                          : !std::filesystem::is_regular_file(status) ? "is not a regular file"
                          : ::access(path.c_str(), R_OK) != 0         ? "cannot be read (permission denied)"
                                                                      : nullptr;
    if (problem) {
        std::fprintf(stderr, "kestovar: %s: %s\n", path.c_str(), problem);
        return nullptr;
    }
    if (!IsKnownSceneType(path, true)) return nullptr;
    const std::wstring wide = Widen(path);
    C3DIo reader(wide.c_str(), FILE_IO_LOADING | FILE_IO_SILENT);
    CSceneImportOptions options;
    XHeld<C3DScene> scene;
    try {
        scene.reset(reader.Read(&options));
    } catch (CXException* e) {
        std::fprintf(stderr, "kestovar: %s: %s\n", path.c_str(), OneLine(e->GetMessage()).c_str());
        XDeleteThreadException();
        return nullptr;
    }
    // The reader's own notes are the log entries with a text of their own (code IO_FILE_OK): on
    // failure, where the text went wrong; either way, what was read with a loss.
    std::string detail;
    IoLogInfo info;
    for (int i = 0; i < options.GetLogInfoCount(); ++i) {
        if (!options.GetLogInfo(i, info) || info.code != IO_FILE_OK) continue;
        const std::string text = OneLine(Narrow(info.text.GetString()));
        if (info.level == IO_LOG_ERROR && !scene)
            detail = " (" + text + ")";
        else if (info.level == IO_LOG_WARNING)
            std::fprintf(stderr, "kestovar: %s: warning: %s\n", path.c_str(), text.c_str());
    }
    if (!scene) {
        // A read stopped by a cancel request (Ctrl-C) is no fault of the file.
        if (ShouldCancelThread())
            std::fprintf(stderr, "kestovar: %s: cancelled\n", path.c_str());
        else
            ReportIoFailure(path, reader.GetIoError(), OneLine(Narrow(reader.GetIoErrorTxt())) + detail);
        return nullptr;
    }
    if (join && !JoinObjects(*scene, path))
        std::fprintf(stderr,
                     "kestovar: %s: warning: the objects could not be joined; they are reduced apart\n",
                     path.c_str());
    if (forOptimizer) {
        C3DQuorvaneObjectCreator creator(CREATOR_COPY_POINTS);
        scene->ConvertToType(creator);
    }
    return scene;
}

bool SaveScene(C3DScene& scene, const std::string& path) {
    g_lastIoFailureExit = kExitIo;
    const std::wstring wide = Widen(path);
    C3DIo writer(wide.c_str(), FILE_IO_SILENT);
    // The scene is the tool's own frozen copy, dropped after the save: the writer may prepare it
    // in place instead of copying it first (a whole second copy of the scene at the peak).
    CSceneExportOptions options(SCENE_EXPORT_NO_COPY);
    bool ok = false;
    try {
        ok = writer.Save(&scene, &options);
    } catch (CXException* e) {
        std::fprintf(stderr, "kestovar: %s: %s\n", path.c_str(), OneLine(e->GetMessage()).c_str());
        XDeleteThreadException();
        return false;
    }
    if (!ok) ReportIoFailure(path, writer.GetIoError(), OneLine(Narrow(writer.GetIoErrorTxt())));
    return ok;
}

namespace {

// Calls visit(node, object) for every polygonal object of the scene that has a point and a face
// list, under every node that holds it (walkFlags WALK_SHARED_ONCE: under the first only).
template <class Visit>
void ForEachPolymesh(C3DScene& scene, unsigned walkFlags, Visit&& visit) {
    for (C3DNodePos pos = scene.GetFirstNode(OBJECT_POLYMESH, walkFlags); pos;) {
        C3DGeomObject* geom = nullptr;
        C3DSceneNode* node = scene.GetNextNode(pos, geom);
        auto* object = dynamic_cast<C3DObject*>(geom);
        if (object && object->GetPointList() && object->GetFaceList()) visit(*node, *object);
    }
}

// Calls visit(edge, number of faces) for every edge of the object as the reducer sees them:
// through the face list's edge-to-face graph, which lists a face once per edge even when a
// polygon runs along that edge twice. A graph the object did not have is built for the walk and
// dropped afterwards.
template <class Visit>
void ForEachEdge(C3DObject& object, Visit&& visit) {
    C3DFaceList& faces = *object.GetFaceList();
    const bool had = faces.HasEdgeToFaceGraph();
    CGeomInfo geom(&faces, object.GetPointList());
    if (had ? faces.UpdateEdgeToFaceGraph(&geom) : faces.InitEdgeToFaceGraph(&geom)) {
        int position = kHashStartPosition;
        C3DEdge edge;
        const int* edgeFaces;
        unsigned count;
        for (const CEdgeToFaceGraph& graph = *faces.GetEdgeToFaceGraph();
             graph.GetNext(position, edge, edgeFaces, count);)
            visit(edge, count);
    }
    if (!had) faces.DeleteEdgeToFaceGraph();
}

// Adds the object's open-border edges (one face) and non-manifold edges (three faces or more) to
// the totals.
void CountBorderAndNonManifoldEdges(C3DObject& object, SceneFigures& f) {
    ForEachEdge(object, [&](const C3DEdge&, unsigned count) {
        if (count == 1) ++f.borderEdges;
        if (count > 2) ++f.nonManifoldEdges;
    });
}

// Grows the box by a point with finite coordinates; counts the others apart.
void Extend(SceneFigures& f, const C3DTPoint<float>& p) {
    const float c[3] = {p.x, p.y, p.z};
    if (!std::isfinite(c[0]) || !std::isfinite(c[1]) || !std::isfinite(c[2])) {
        ++f.nonFinitePoints;
        return;
    }
    for (int k = 0; k < 3; ++k) {
        if (!f.hasBox || c[k] < f.boxMin[k]) f.boxMin[k] = c[k];
        if (!f.hasBox || c[k] > f.boxMax[k]) f.boxMax[k] = c[k];
    }
    f.hasBox = true;
}

}  // namespace

SceneFigures MeasureScene(C3DScene& scene) {
    SceneFigures f;
    for (C3DNodePos pos = scene.GetFirstNode(); pos;) {
        scene.GetNextNode(pos);
        ++f.nodes;
    }
    CMaterialCountMap used;
    f.materials = scene.GetMaterials(used);
    ForEachPolymesh(scene, WALK_SHARED_ONCE, [&](C3DSceneNode& node, C3DObject& object) {
        ++f.objects;
        C4x4TMatrix<float> tm;
        node.GetNodeTM(0, tm);
        const C3DPointList& points = *object.GetPointList();
        const C3DFaceList& faces = *object.GetFaceList();
        std::vector<char> used(size_t(points.GetSize()), 0);
        // The totals so far, for this object's own counts.
        const SceneFigures::Object before{std::string(), f.points,      f.faces,
                                          f.polygons,    f.borderEdges, f.nonManifoldEdges};
        for (int i = 0; i < faces.GetSize(); ++i) {
            if (!faces.IsFaceLive(unsigned(i))) continue;
            int n = 0;
            const int* idx = faces.GetIndexes(unsigned(i), n);
            ++f.faces;
            if (n == 3)
                ++f.triangles;
            else
                ++f.polygons;
            for (int k = 0; k < n; ++k) {
                if (idx[k] >= 0 && idx[k] < points.GetSize() && !used[size_t(idx[k])]) {
                    used[size_t(idx[k])] = 1;
                    ++f.points;
                    Extend(f, tm.TransformPoint(*points[idx[k]]));
                }
            }
        }
        // An object without faces is a point cloud: all its points count.
        if (f.faces == before.faces) {
            for (int i = 0; i < points.GetSize(); ++i) Extend(f, tm.TransformPoint(*points[i]));
            f.points += points.GetSize();
        }
        CountBorderAndNonManifoldEdges(object, f);
        f.perObject.push_back({Narrow(node.GetName()), f.points - before.points, f.faces - before.faces,
                               f.polygons - before.polygons, f.borderEdges - before.borderEdges,
                               f.nonManifoldEdges - before.nonManifoldEdges});
        if (CDependentChannels* channels = object.GetChannels()) {
            for (int c = 0; c < channels->GetSize(); ++c) {
                CChannel* channel = channels->GetChannel(c);
                const std::string type = Narrow(channel->GetTypeString());
                const int size = channel->GetPointList() ? channel->GetPointList()->GetSize() : 0;
                size_t k = 0;
                while (k < f.channels.size() && f.channels[k].type != type) ++k;
                if (k == f.channels.size()) f.channels.push_back({type, 0, 0});
                ++f.channels[k].count;
                f.channels[k].values += size;
            }
        }
    });
    return f;
}

bool CanSaveTo(const std::string& path) {
    if (!IsUtf8Name(path) || !IsKnownSceneType(path, false)) return false;
    // The library's own message for a file it cannot create suspects another process holding
    // it (or, for a folder in the file's place, reports access denied, after the whole
    // reduction); a folder, a read-only file, a missing or a read-only folder is said as such,
    // before any work. An OBJ file's material library beside it counts as well.
    std::error_code error;
    std::vector<std::string> targets{path};
    if (fileGetClass(Widen(path).c_str()) == FILE_CLASS_WAVEFRONT)
        targets.push_back(std::filesystem::path(path).replace_extension(".mtl").string());
    for (const std::string& target : targets) {
        const char* problem = std::filesystem::is_directory(target, error) ? "is a folder, not a file"
                              : std::filesystem::exists(target, error) && ::access(target.c_str(), W_OK) != 0
                                  ? "is read-only"
                                  : nullptr;
        if (problem) {
            std::fprintf(stderr, "kestovar: %s: %s\n", target.c_str(), problem);
            return false;
        }
    }
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    const std::string name = folder.empty() ? std::string(".") : folder.string();
    const char* problem = !std::filesystem::is_directory(name, error)   ? "does not exist"
                          : ::access(name.c_str(), W_OK | X_OK) != 0 ? "is not writable"
                                                                       : nullptr;
    if (problem) std::fprintf(stderr, "kestovar: %s: the folder %s %s\n", path.c_str(), name.c_str(), problem);
    return !problem;
}

// When most live faces of an object share no point with another face, the number of points they
// use that lie exactly on another used point; otherwise 0 (an ordinary mesh costs one pass).
int LooseCoincidentPoints(const C3DFaceList& faces, const C3DPointList& points) {
    const int size = points.GetSize();
    std::vector<uint8_t> uses(size_t(size), 0);  // faces per point, counted up to 2
    auto corners = [&](int f, int& n) -> const int* {
        n = 0;
        return faces.IsFaceLive(unsigned(f)) ? faces.GetIndexes(unsigned(f), n) : nullptr;
    };
    int live = 0, n = 0;
    for (int f = 0; f < faces.GetSize(); ++f) {
        const int* idx = corners(f, n);
        live += n > 0;
        for (int k = 0; k < n; ++k)
            if (idx[k] >= 0 && idx[k] < size && uses[size_t(idx[k])] < 2) ++uses[size_t(idx[k])];
    }
    int alone = 0;  // faces all of whose points no other face uses
    for (int f = 0; f < faces.GetSize(); ++f) {
        const int* idx = corners(f, n);
        bool shared = false;
        for (int k = 0; k < n && !shared; ++k)
            shared = idx[k] < 0 || idx[k] >= size || uses[size_t(idx[k])] > 1;
        alone += n > 0 && !shared;
    }
    if (live < 2 || alone * 2 < live) return 0;
    // Equal coordinates by value: -0 counts as +0, and a NaN equals nothing.
    std::vector<std::array<uint32_t, 3>> keys;
    for (int i = 0; i < size; ++i) {
        if (!uses[size_t(i)]) continue;
        const C3DTPoint<float>& p = *points[i];
        if (std::isnan(p.x) || std::isnan(p.y) || std::isnan(p.z)) continue;
        std::array<uint32_t, 3> key;
        const float c[3] = {p.x + 0.0f, p.y + 0.0f, p.z + 0.0f};
        std::memcpy(key.data(), c, sizeof c);
        keys.push_back(key);
    }
    std::sort(keys.begin(), keys.end());
    return int(keys.end() - std::unique(keys.begin(), keys.end()));
}

SceneExtent MeasureExtent(C3DScene& scene) {
    SceneExtent extent;
    double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    for (C3DNodePos pos = scene.GetFirstNode(OBJECT_POLYMESH, WALK_SHARED_ONCE); pos;) {
        C3DGeomObject* geom = nullptr;
        scene.GetNextNode(pos, geom);
        const C3DFaceList* faces = geom ? geom->GetFaceList() : nullptr;
        const C3DPointList* points = geom ? geom->GetPointList() : nullptr;
        if (faces) extent.faces += faces->GetNumberOfFaces(unsigned(FACE_NOT_LIVE), false);
        if (faces && points) extent.looseCoincident += LooseCoincidentPoints(*faces, *points);
        if (geom && geom->GetChannelByIndex(0, CHANNEL_VC, false)) extent.colored = true;
        if (points)
            for (int i = 0; i < points->GetSize(); ++i) {
                const C3DTPoint<float>& p = *(*points)[i];
                const double c[3] = {p.x, p.y, p.z};
                if (!std::isfinite(c[0]) || !std::isfinite(c[1]) || !std::isfinite(c[2])) {
                    ++extent.nonFinite;
                    continue;
                }
                for (int k = 0; k < 3; ++k) {
                    lo[k] = std::min(lo[k], c[k]), hi[k] = std::max(hi[k], c[k]);
                    extent.largest = std::max(extent.largest, std::fabs(c[k]));
                }
            }
    }
    if (lo[0] <= hi[0]) extent.diagonal = std::hypot(hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]);
    return extent;
}

SharedBorders MeasureSharedBorders(C3DScene& scene) {
    SharedBorders shared;
    // One record per open-border edge of every placed object: its end points' world coordinates
    // as bit patterns (the smaller end first) and the number of its object. Equal coordinates by
    // value: -0 counts as +0; an edge with an end that is not finite is left out.
    struct BorderEdge {
        std::array<uint32_t, 6> ends;
        int object;
        bool operator<(const BorderEdge& o) const {
            return ends != o.ends ? ends < o.ends : object < o.object;
        }
    };
    // A shared object has one number for all its nodes. A scene of one object has no seam, and
    // costs no edge walk.
    std::vector<const C3DObject*> objects;
    ForEachPolymesh(scene, WALK_SHARED_ONCE,
                    [&](C3DSceneNode&, C3DObject& object) { objects.push_back(&object); });
    if (objects.size() < 2) return shared;
    std::sort(objects.begin(), objects.end());  // numbered by address, for the lookup below
    std::vector<BorderEdge> edges;
    ForEachPolymesh(scene, 0, [&](C3DSceneNode& node, C3DObject& object) {
        const int number = int(std::lower_bound(objects.begin(), objects.end(), &object) - objects.begin());
        C4x4TMatrix<float> tm;
        node.GetNodeTM(0, tm);
        const C3DPointList& points = *object.GetPointList();
        auto key = [&](unsigned i, uint32_t* out) {
            const C3DTPoint<float> p = tm.TransformPoint(*points[int(i)]);
            const float c[3] = {p.x + 0.0f, p.y + 0.0f, p.z + 0.0f};
            std::memcpy(out, c, sizeof c);
            return std::isfinite(c[0]) && std::isfinite(c[1]) && std::isfinite(c[2]);
        };
        ForEachEdge(object, [&](const C3DEdge& edge, unsigned count) {
            if (count != 1 || edge.GetP2() >= unsigned(points.GetSize())) return;
            BorderEdge record;
            record.object = number;
            if (!key(edge.GetP1(), &record.ends[0]) || !key(edge.GetP2(), &record.ends[3])) return;
            if (std::lexicographical_compare(record.ends.begin() + 3, record.ends.end(), record.ends.begin(),
                                             record.ends.begin() + 3))
                std::rotate(record.ends.begin(), record.ends.begin() + 3, record.ends.end());
            edges.push_back(record);
        });
    });
    std::sort(edges.begin(), edges.end());
    std::vector<char> meets(objects.size(), 0);
    for (size_t i = 0, j; i < edges.size(); i = j) {
        for (j = i + 1; j < edges.size() && edges[j].ends == edges[i].ends;) ++j;
        if (edges[j - 1].object == edges[i].object) continue;  // sorted: one object alone
        ++shared.edges;
        for (size_t k = i; k < j; ++k) meets[size_t(edges[k].object)] = 1;
    }
    shared.objects = int(std::count(meets.begin(), meets.end(), 1));
    return shared;
}

int WeldCoincidentPoints(C3DScene& scene, bool selectedOnly) {
    int merged = 0;
    for (C3DNodePos pos = scene.GetFirstNode(OBJECT_POLYMESH, WALK_SHARED_ONCE); pos;) {
        C3DGeomObject* geom = nullptr;
        const C3DSceneNode* node = scene.GetNextNode(pos, geom);
        if (!geom || !geom->GetPointList() || !geom->GetFaceList()) continue;
        if (selectedOnly && !node->IsNodeSelected()) continue;
        const int before = geom->GetPointList()->GetSize();
        // Tolerance 0: only points with equal coordinates; equal texture coordinates and
        // normals are merged as well (nothing is lost either way).
        if (geom->Weld3DPoints(0.0, false, 0xFFFFFFFFu, 0))
            merged += before - geom->GetPointList()->GetSize();
    }
    return merged;
}

bool JoinObjects(C3DScene& scene, const std::string& path) {
    int objects = 0;
    for (C3DNodePos pos = scene.GetFirstNode(OBJECT_POLYMESH); pos && objects < 2; ++objects)
        scene.GetNextNode(pos);
    if (objects < 2) return true;
    const std::string name = std::filesystem::path(path).stem().string();
    return scene.Concatenate(nullptr, 0, nullptr, Widen(name).c_str()) != nullptr;
}

XHeld<C3DObject> MergeToTriangles(C3DScene& scene) {
    std::vector<float> xyz;
    std::vector<int> triangles;
    ForEachPolymesh(scene, 0, [&](C3DSceneNode& node, C3DObject& object) {
        C4x4TMatrix<float> tm;
        node.GetNodeTM(0, tm);
        const C3DPointList& points = *object.GetPointList();
        const C3DFaceList& faces = *object.GetFaceList();
        const int base = int(xyz.size() / 3);
        for (int i = 0; i < points.GetSize(); ++i) {
            const C3DTPoint<float> p = tm.TransformPoint(*points[i]);
            xyz.insert(xyz.end(), {p.x, p.y, p.z});
        }
        // Polygons are split as fans: exact for the convex faces scene files carry in practice,
        // and the comparison samples only the surface.
        for (int i = 0; i < faces.GetSize(); ++i) {
            if (!faces.IsFaceLive(unsigned(i))) continue;
            int n = 0;
            const int* idx = faces.GetIndexes(unsigned(i), n);
            for (int k = 1; k + 1 < n; ++k)
                triangles.insert(triangles.end(), {base + idx[0], base + idx[k], base + idx[k + 1]});
        }
    });
    if (triangles.empty()) return nullptr;
    return XHeld<C3DObject>(CreateObjectFromArrays(xyz.data(), unsigned(xyz.size() * sizeof(float)), triangles.data(),
                                                  unsigned(triangles.size() * sizeof(int)), nullptr, 0));
}

void UsageError(const char* command, const char* message, const char* detail) {
    if (detail)
        std::fprintf(stderr, "kestovar %s: %s '%s' (see kestovar %s --help)\n", command, message, detail, command);
    else
        std::fprintf(stderr, "kestovar %s: %s (see kestovar %s --help)\n", command, message, command);
}

bool ParseDouble(const char* command, const char* option, const char* text, double& value) {
    char* end = nullptr;
    errno = 0;
    value = text ? std::strtod(text, &end) : 0.0;
    if (!text || end == text || *end) {
        UsageError(command, (std::string(option) + " expects a number, got").c_str(), text ? text : "");
        return false;
    }
    // Beyond the doubles, or so small that it reads as 0 or a denormal and would silently stand
    // for nothing.
    if (errno == ERANGE) {
        UsageError(command, (std::string(option) + " is out of range, got").c_str(), text);
        return false;
    }
    return true;
}

bool ParseInt(const char* command, const char* option, const char* text, int& value, int minimum) {
    char* end = nullptr;
    const long v = text ? std::strtol(text, &end, 10) : 0;
    if (!text || end == text || *end || v < minimum || v > 0x7FFFFFFF) {
        UsageError(command,
                   (std::string(option) + " expects an integer from " + std::to_string(minimum) +
                    " to 2147483647, got")
                       .c_str(),
                   text ? text : "");
        return false;
    }
    value = int(v);
    return true;
}

std::string JsonNumberOrNull(double value) {
    if (value < 0) return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", unsigned(c));
            out += buf;
            continue;
        }
        out += c;
    }
    return out + "\"";
}

double NowSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace kestovar_tool
