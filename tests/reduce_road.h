// The whole road a host takes with a scene it read (optionally cleaned up, objects converted,
// optimiser attached, one recorded reduction to nothing, levels of detail set and frozen), with
// the checks that hold for any input: each level is settable, a frozen level lists only faces
// whose corners (geometric and in every channel) are points of their lists, no level has more
// faces than the full one, the full level has every face back, and the distance of level 0.1 to
// the full level is a number. Shared by the optimiser tests and the fuzz targets that run it on
// arbitrary input, so it reports faults as text instead of through a test framework.
#pragma once

#include <cmath>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "kestovar/compare/geom_compare.h"
#include "kestovar/core/exception.h"
#include "kestovar/io/wavefront.h"
#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/object.h"
#include "kestovar/multires/multires_object.h"
#include "kestovar/optimizer/object_creator.h"
#include "kestovar/optimizer/scene_optimizer.h"
#include "kestovar/optimizer/track_contractions.h"
#include "kestovar/scene/scene.h"
#include "kestovar/simplify/ext_object.h"

namespace kestovar::road {

// Mode sets that between them switch on every preservation group in each of its forms (keep,
// constrain, freeze), the symmetry, the quality tests (both, and the flip test alone, as the
// command-line tool runs it) and the working-copy triangulation.
constexpr unsigned long long kModeSets[4] = {
    0,
    OPT_KEEP_UVW | OPT_KEEP_MATERIAL | OPT_KEEP_NORMALS | OPT_KEEP_VC | OPT_KEEP_BORDER | OPT_CHECK_FLIP |
        OPT_CHECK_COMPACITY,
    OPT_CONSTRAIN_UVW | OPT_CONSTRAIN_MATERIAL | OPT_CONSTRAIN_NORMALS | OPT_CONSTRAIN_VC | OPT_CONSTRAIN_BORDER |
        OPT_CONSTRAIN_CORNERS | OPT_SYMMETRY_X | OPT_TRIANGULATE_ALL | OPT_CHECK_FLIP,
    OPT_FREEZE_UVW | OPT_FREEZE_MATERIAL | OPT_FREEZE_NORMALS | OPT_FREEZE_VC | OPT_FREEZE_BORDER |
        OPT_FREEZE_CORNERS | OPT_ENDPOINTS_ONLY | OPT_STOP_ON_BAD | OPT_SYMMETRY_Y | OPT_SYMMETRY_Z,
};

// The whole content of the file at `path` (empty when it cannot be read).
inline std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The scene of OBJ text, as a host reads it from memory; null when the reader refuses it.
inline C3DScene* ReadObjText(const std::string& text) {
    int result = 0;
    return CWavefrontIo::ReadObjMemory(text.data(), text.size(), nullptr, result);
}

// A fault of the faces of `faces`: a live face with a corner outside [0, points).
inline std::string CheckCorners(const CFaceList& faces, int points, const char* what) {
    for (int f = 0; f < faces.GetSize(); ++f) {
        if (!faces.IsFaceLive(unsigned(f))) continue;
        int k = 0;
        const int* idx = faces.GetIndexes(unsigned(f), k);
        for (int j = 0; j < k; ++j)
            if (idx[j] < 0 || idx[j] >= points)
                return std::string(what) + ": face " + std::to_string(f) + " corner " + std::to_string(idx[j]) +
                       " outside " + std::to_string(points) + " points";
    }
    return {};
}

// A fault of an object's faces, geometric or in a channel (each must name points of its own
// list); empty when there is none, or when the object has no lists.
inline std::string CheckObject(const C3DGeomObject* object) {
    if (!object || !object->GetFaceList() || !object->GetPointList()) return {};
    std::string fault = CheckCorners(*object->GetFaceList(), object->GetPointList()->GetSize(), "geometry");
    const CDependentChannels* channels = object->GetChannels();
    for (int c = 0; fault.empty() && channels && c < channels->GetSize(); ++c) {
        const CChannel* channel = channels->GetChannel(c);
        if (channel && channel->GetFaceList() && channel->GetPointList())
            fault = CheckCorners(*channel->GetFaceList(), channel->GetPointList()->GetSize(), "channel");
    }
    return fault;
}

// Faults of every polygonal object of a frozen level, and their live faces counted into `faces`.
inline std::string CheckLevel(C3DScene& scene, long long& faces) {
    faces = 0;
    for (C3DNodePos pos = scene.GetFirstNode(OBJECT_POLYMESH, WALK_SHARED_ONCE); pos;) {
        C3DGeomObject* object = nullptr;
        scene.GetNextNode(pos, object);
        auto* mesh = dynamic_cast<C3DObject*>(object);
        if (!mesh || !mesh->GetFaceList() || !mesh->GetPointList()) continue;
        faces += mesh->GetFaceList()->GetNumberOfFaces(unsigned(FACE_INVALID), false);
        std::string fault = CheckObject(mesh);
        if (!fault.empty()) return fault;
    }
    return {};
}

// Faults of the distances between the objects of two frozen levels, taken in walk order: each
// must be a number, 0 or above (+infinity allowed: an object left without faces).
inline std::string CheckDistances(C3DScene& a, C3DScene& b) {
    C3DNodePos pa = a.GetFirstNode(OBJECT_POLYMESH, WALK_SHARED_ONCE);
    C3DNodePos pb = b.GetFirstNode(OBJECT_POLYMESH, WALK_SHARED_ONCE);
    while (pa && pb) {
        C3DGeomObject* oa = nullptr;
        C3DGeomObject* ob = nullptr;
        a.GetNextNode(pa, oa);
        b.GetNextNode(pb, ob);
        if (!oa || !ob) continue;
        const double d = GeomCompare(oa, ob, MESH_COMPARE_HAUSDORFF, INFINITY, GEOMCOMPARE_DEFAULT);
        if (!(d >= 0.0)) return "distance between levels " + std::to_string(d);
    }
    return {};
}

// The clean-up a host may run on what it read before reducing it: welding at a tolerance
// relative to the object, consistent orientation, separating faces that meet at a point only,
// merging coplanar faces.
inline void CleanUp(C3DScene& scene) {
    for (C3DNodePos pos = scene.GetFirstNode(OBJECT_POLYMESH, WALK_SHARED_ONCE); pos;) {
        C3DGeomObject* object = nullptr;
        scene.GetNextNode(pos, object);
        auto* mesh = dynamic_cast<C3DObject*>(object);
        if (!mesh) continue;
        mesh->Weld3DPoints(0.001, false, CHANNEL_ALL, 0);
        mesh->UnifyNormals();
        mesh->DisconnectBorderFaces();
        mesh->MergeCoplanarFaces(0.02, CHANNEL_ALL);
    }
}

// Moves every multiresolution object of `opt` to the level at which `step` / 255 of its recorded
// contractions are applied (index mode, so that the level does not depend on the way there).
inline void SetIndexLevel(CSceneOptimizer& opt, unsigned char step) {
    C3DScene* scene = opt.GetScene(GETSCENE_MULTIRES);
    if (!scene) return;
    for (C3DNodePos pos = scene->GetFirstNode(KIND_ALL, WALK_SHARED_ONCE); pos;) {
        C3DBaseObject* object = nullptr;
        scene->GetNextNode(pos, object);
        auto* mr = dynamic_cast<CMultiresolutionObject1*>(object);
        if (!mr || !mr->GetTrackInfo()) continue;
        const double count = double(mr->GetTrackInfo()->GetContractionCount());
        mr->SetObjectRatio(std::floor(count * step / 255.0), 0, MRRATIO_INDEX | MRRATIO_FORCE);
    }
}

// Checksum of the levels the objects of `opt` are at (frozen copy: points, faces and channels of
// every polygonal object, in walk order); `fault` is set when they cannot be frozen.
inline unsigned LevelChecksum(CSceneOptimizer& opt, std::string& fault) {
    XHeld<C3DScene> frozen(opt.GetScene(GETSCENE_MULTIRES_FROZEN | GETSCENE_COPY));
    if (!frozen) {
        fault = "the level cannot be frozen";
        return 0;
    }
    unsigned sum = 0;
    for (C3DNodePos pos = frozen->GetFirstNode(OBJECT_POLYMESH, WALK_SHARED_ONCE); pos;) {
        C3DGeomObject* object = nullptr;
        frozen->GetNextNode(pos, object);
        if (object) sum = sum * 31u + object->GetChecksum(0x1F);
    }
    return sum;
}

// Walks the index levels of `steps` (see SetIndexLevel) in turn, up and down as they come, and
// checks each against the same level reached straight from full detail: playback must give one
// state per level whatever the way there. Empty when every level matched, else what failed.
inline std::string CheckLevelPath(CSceneOptimizer& opt, const unsigned char* steps, size_t count) {
    std::string fault;
    unsigned reference[256];
    bool known[256] = {};
    for (size_t i = 0; i < count && fault.empty(); ++i) {
        const unsigned char step = steps[i];
        if (!known[step]) {
            SetIndexLevel(opt, 0);
            SetIndexLevel(opt, step);
            reference[step] = LevelChecksum(opt, fault);
            known[step] = true;
            // Back to where the path was, so that the next step moves from there.
            if (i > 0) SetIndexLevel(opt, steps[i - 1]);
        }
        SetIndexLevel(opt, step);
        const unsigned sum = LevelChecksum(opt, fault);
        if (fault.empty() && sum != reference[step])
            fault = "index level " + std::to_string(step) + "/255 reached as step " + std::to_string(i) +
                    " differs from the same level reached from full detail";
    }
    return fault;
}

// Takes `scene` (owned from here on) down the whole road under `modes`, cleaned up first when
// `cleanFirst`; empty when every check held, else what failed. With `steps`, the recorded levels
// are then walked along them (CheckLevelPath).
inline std::string Run(C3DScene* scene, unsigned long long modes, bool cleanFirst = false,
                       const unsigned char* steps = nullptr, size_t stepCount = 0) {
    // Until the optimiser owns the scene, a failure (an allocation refused, for one) releases it.
    std::unique_ptr<CSceneOptimizer> optimizer;
    try {
        if (cleanFirst) CleanUp(*scene);
        // Plain objects become the optimiser's own kind, as a host converts a scene it read.
        C3DQuorvaneObjectCreator creator(CREATOR_COPY_POINTS);
        scene->ConvertToType(creator);
        optimizer = std::make_unique<CSceneOptimizer>();
    } catch (...) {
        scene->Delete();
        throw;
    }
    CSceneOptimizer& opt = *optimizer;
    opt.SetFlags(SCENEOPTIMIZER_RECORD_CONTRACTIONS, true);
    opt.SetScene(*scene, true);  // the optimiser owns and deletes the scene
    opt.LockInitialization();
    if (modes) opt.SetOptimizeMode(modes, true);
    opt.UnlockInitialization();
    bool cancelled = false;
    opt.Optimize(0.0, cancelled, OPTIMIZE_RELATIVE | OPTIMIZE_POINTS);
    if (cancelled) return "cancelled without being asked to";
    if (!opt.GetScene(GETSCENE_MULTIRES)) return {};  // nothing polygonal to reduce
    long long full = -1;
    // Frozen levels are released whatever happens (an error the library raises, for one).
    XHeld<C3DScene> first;  // the full level, frozen, for the distances of level 0.1
    std::string fault;
    for (double ratio : {1.0, 0.5, 0.1, 0.0, 1.0}) {
        const std::string level = "level " + std::to_string(ratio);
        if (!opt.SetMultiresolutionRatio(ratio, 0, MRRATIO_RELATIVE | MRRATIO_FACES, APPLY_TO_ALL)) {
            fault = level + " cannot be set";
            break;
        }
        XHeld<C3DScene> frozen(opt.GetScene(GETSCENE_MULTIRES_FROZEN | GETSCENE_COPY));
        if (!frozen) {
            fault = level + " cannot be frozen";
            break;
        }
        long long faces = 0;
        fault = CheckLevel(*frozen, faces);
        if (fault.empty() && ratio == 0.1) fault = CheckDistances(*frozen, *first);
        if (fault.empty() && ratio == 1.0 && full >= 0 && faces != full)
            fault = "the full level lost faces on the way back up";
        if (fault.empty() && full >= 0 && faces > full) fault = "more faces than the full level";
        if (!first) first = std::move(frozen);
        if (!fault.empty()) {
            fault = level + ": " + fault;
            break;
        }
        if (full < 0) full = faces;
    }
    first.reset();
    if (fault.empty() && stepCount) fault = CheckLevelPath(opt, steps, stepCount);
    return fault;
}

// Run for arbitrary input, where an error the library raises is an answer too: the engine, for
// one, raises an invalid-argument error when its rules leave it without a candidate record to
// reuse (a frozen point whose costs overflow to infinity can then be removed). Only a fault of
// the road counts; the optimiser must still have been torn down cleanly.
inline std::string RunAcceptingErrors(C3DScene* scene, unsigned long long modes, bool cleanFirst,
                                      const unsigned char* steps = nullptr, size_t stepCount = 0) {
    try {
        return Run(scene, modes, cleanFirst, steps, stepCount);
    } catch (CXException*) {
        XDeleteThreadException();
        return {};
    }
}

}  // namespace kestovar::road
