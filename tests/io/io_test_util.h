// Helpers of the I/O tests: a scratch directory, whole-file reads and writes, a cube scene, and a
// scripted parser registered as a plug-in format (".tst") so that the frame can be driven into
// every outcome.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "kestovar/core/exception.h"
#include "kestovar/io/file_ext.h"
#include "kestovar/io/file_io.h"
#include "kestovar/io/parser.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/scene/scene.h"

namespace kestovar::iotest {

namespace fs = std::filesystem;

// A fresh directory under the temporary directory, removed with the object.
class ScratchDir {
public:
    ScratchDir() {
        static int counter = 0;
        m_path = fs::temp_directory_path() /
                 ("kestovar_io_" + std::to_string(::getpid()) + "_" + std::to_string(++counter));
        fs::remove_all(m_path);
        fs::create_directories(m_path);
    }
    ~ScratchDir() { fs::remove_all(m_path); }
    fs::path operator/(const std::string& name) const { return m_path / name; }
    const fs::path& path() const { return m_path; }
    // Names of the entries of the directory, sorted.
    std::vector<std::string> List() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(m_path)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    fs::path m_path;
};

inline std::wstring W(const fs::path& p) { return p.wstring(); }
inline std::wstring W(const CXTString<wchar_t>& s) { return std::wstring(s.GetString()); }

inline std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteFile(const fs::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary);
    out << bytes;
}

// A unit cube of 8 points and 12 triangles, in one node named `name`.
//   3---2     7---6
//   |   |     |   |     bottom z = 0 (0..3), top z = 1 (4..7)
//   0---1     4---5
inline C3DScene* MakeCubeScene(const wchar_t* name = L"cube") {
    static const float points[] = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 0, 0, 1, 1, 0, 1, 1, 1, 1, 0, 1, 1};
    static const int triangles[] = {0, 2, 1, 0, 3, 2, 4, 5, 6, 4, 6, 7, 0, 1, 5, 0, 5, 4,
                                    1, 2, 6, 1, 6, 5, 2, 3, 7, 2, 7, 6, 3, 0, 4, 3, 4, 7};
    C3DScene* scene = new C3DScene;
    scene->CreateNode(nullptr, name, CreateObjectFromArrays(points, sizeof points, triangles, sizeof triangles, nullptr, 0));
    return scene;
}

// The polymeshes of a scene, in walk order.
inline std::vector<C3DGeomObject*> Meshes(const C3DScene& scene) {
    std::vector<C3DGeomObject*> out;
    for (C3DNodePos pos = scene.GetFirstNode(OBJECT_POLYMESH, 0); pos;) {
        C3DGeomObject* object;
        scene.GetNextNode(pos, object);
        if (object) out.push_back(object);
    }
    return out;
}

// Signed volume and summed face area of the polymeshes of a scene in world space (polygons fanned:
// for the area, only polygons the file made of triangles). Outward faces give a positive volume.
struct Surface {
    double volume = 0, area = 0;
};
inline Surface MeasureSurface(const C3DScene& scene) {
    Surface s;
    for (C3DNodePos pos = scene.GetFirstNode(OBJECT_POLYMESH, 0); pos;) {
        C3DGeomObject* object;
        C3DSceneNode* node = scene.GetNextNode(pos, object);
        C4x4TMatrix<float> tm;
        node->GetNodeTM(0, tm);
        const C3DFaceList* faces = object->GetFaceList();
        for (int f = 0; f < faces->GetSize(); ++f) {
            int n = 0;
            const int* idx = faces->GetIndexes(unsigned(f), n);
            if (!faces->IsFaceLive(unsigned(f))) continue;
            for (int k = 2; k < n; ++k) {
                C3DTPoint<float> p[3] = {tm.TransformPoint(object->GetPointList()->GetAt(idx[0])),
                                         tm.TransformPoint(object->GetPointList()->GetAt(idx[k - 1])),
                                         tm.TransformPoint(object->GetPointList()->GetAt(idx[k]))};
                const double e1[3] = {double(p[1].x) - p[0].x, double(p[1].y) - p[0].y,
                                      double(p[1].z) - p[0].z};
                const double e2[3] = {double(p[2].x) - p[0].x, double(p[2].y) - p[0].y,
                                      double(p[2].z) - p[0].z};
                const double c[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                                     e1[0] * e2[1] - e1[1] * e2[0]};
                s.area += 0.5 * std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
                s.volume += (double(p[0].x) * c[0] + double(p[0].y) * c[1] + double(p[0].z) * c[2]) / 6.0;
            }
        }
    }
    return s;
}

// ---- the scripted parser ------------------------------------------------------------------------

constexpr uint32_t kTestClass = FourCC('T', 'E', 'S', 'T');

struct Script {
    enum Outcome { kCube, kEmptyScene, kThrow, kFail };
    Outcome outcome = kCube;
    uint32_t failingClass = 0;  // Read fails for this format class whatever the outcome
    uint32_t forced = 0;
    uint32_t defaults = 0;
    std::string payload = "new content";  // what Save writes before its outcome
    // Observed.
    uint32_t seenFlags = 0;
    std::wstring seenFile;
    std::wstring seenTarget;
    C3DScene* seenScene = nullptr;
    int parsersMade = 0;
    void* seenUpdateData = nullptr;  // the data Update received (null: Save ran)
};

inline Script& TheScript() {
    static Script script;
    return script;
}

class ScriptedParser : public C3DParser {
public:
    explicit ScriptedParser(CFileIo* io) : C3DParser(io) {}
    void LoadDefaultOptions(CSceneImportOptions& o) override {
        o.SetForcedFlags(TheScript().forced);
        o.SetDefaultFlags(TheScript().defaults);
    }
    void SaveDefaultOptions(CSceneExportOptions& o) override {
        o.SetForcedFlags(TheScript().forced);
        o.SetDefaultFlags(TheScript().defaults);
    }
    C3DScene* Read(const wchar_t* fileName, CSceneImportOptions& o) override {
        Script& s = TheScript();
        s.seenFlags = o.GetFlags();
        s.seenFile = fileName;
        if (GetIoMgr()->GetFileInfo().GetClass() == s.failingClass) {
            GetIoMgr()->SetIoError(IO_FILE_BAD_FORMAT, &o);
            return nullptr;
        }
        switch (s.outcome) {
            case Script::kCube:
                return MakeCubeScene();
            case Script::kEmptyScene:
                return new C3DScene;
            case Script::kThrow:
                XThrow<CXUserException>("scripted failure");
            case Script::kFail:
                GetIoMgr()->SetIoError(IO_FILE_BAD_FORMAT, &o);
                return nullptr;
        }
        return nullptr;
    }
    bool CanUpdate(void* data) override { return data == nullptr || data == &TheScript(); }
    bool Update(const wchar_t* fileName, C3DScene& scene, void* data, CSceneExportOptions& o) override {
        bool ok = Save(fileName, scene, o);
        TheScript().seenUpdateData = data;
        return ok;
    }
    bool Save(const wchar_t* fileName, C3DScene& scene, CSceneExportOptions& o) override {
        Script& s = TheScript();
        s.seenUpdateData = nullptr;
        s.seenFlags = o.GetFlags();
        s.seenFile = fileName;
        s.seenTarget = W(o.GetTargetFileName());
        s.seenScene = &scene;
        WriteFile(fs::path(fileName), s.payload);
        switch (s.outcome) {
            case Script::kThrow:
                XThrow<CXUserException>("scripted failure");
            case Script::kFail:
                GetIoMgr()->SetIoError(IO_FILE_DISK_FULL, &o);
                return false;
            default:
                return true;
        }
    }
};

inline bool ScriptedInit(IoPluginMode mode, void* record) {
    if (mode != IO_PLUGIN_CREATE_PARSER) return mode == IO_PLUGIN_RELEASE;
    auto* info = static_cast<IoPluginParserInfo*>(record);
    ++TheScript().parsersMade;
    info->parser = new ScriptedParser(info->io);
    return true;
}

// Registers ".tst" and resets the script.
inline void RegisterScriptedFormat() {
    TheScript() = Script();
    CFileExt ext(L".tst", L"Scripted test files", kTestClass, 0x4013, FILE_PARSER_PLUGIN);
    ext.initCallback = &ScriptedInit;
    fileRegisterFile(ext);
}

}  // namespace kestovar::iotest
