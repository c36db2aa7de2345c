// The whole road a host takes with a scene it read (objects converted, optimiser attached, one
// recorded reduction to nothing, levels of detail set and frozen), with the checks that hold for
// any input: each level is settable, a frozen level lists only faces whose corners (geometric and
// in every channel) are points of their lists, and the full level has every face back. Shared by
// the optimiser tests and the fuzz target that runs it on arbitrary OBJ text, so it reports faults
// as text instead of through a test framework.
#pragma once

#include <string>

#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/object.h"
#include "kestovar/multires/multires_object.h"
#include "kestovar/optimizer/object_creator.h"
#include "kestovar/optimizer/scene_optimizer.h"
#include "kestovar/scene/scene.h"
#include "kestovar/simplify/ext_object.h"

namespace kestovar::road {

// Mode sets that between them switch on every preservation group in each of its forms (keep,
// constrain, freeze), the symmetry, the quality tests and the working-copy triangulation.
constexpr unsigned long long kModeSets[4] = {
    0,
    OPT_KEEP_UVW | OPT_KEEP_MATERIAL | OPT_KEEP_NORMALS | OPT_KEEP_VC | OPT_KEEP_BORDER | OPT_CHECK_FLIP |
        OPT_CHECK_COMPACITY,
    OPT_CONSTRAIN_UVW | OPT_CONSTRAIN_MATERIAL | OPT_CONSTRAIN_NORMALS | OPT_CONSTRAIN_VC | OPT_CONSTRAIN_BORDER |
        OPT_CONSTRAIN_CORNERS | OPT_SYMMETRY_X | OPT_TRIANGULATE_ALL,
    OPT_FREEZE_UVW | OPT_FREEZE_MATERIAL | OPT_FREEZE_NORMALS | OPT_FREEZE_VC | OPT_FREEZE_BORDER |
        OPT_FREEZE_CORNERS | OPT_ENDPOINTS_ONLY | OPT_STOP_ON_BAD | OPT_SYMMETRY_Y | OPT_SYMMETRY_Z,
};

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

// Faults of every polygonal object of a frozen level, and their live faces counted into `faces`.
inline std::string CheckLevel(C3DScene& scene, long long& faces) {
    faces = 0;
    for (C3DNodePos pos = scene.GetFirstNode(OBJECT_POLYMESH, WALK_SHARED_ONCE); pos;) {
        C3DGeomObject* object = nullptr;
        scene.GetNextNode(pos, object);
        auto* mesh = dynamic_cast<C3DObject*>(object);
        if (!mesh || !mesh->GetFaceList() || !mesh->GetPointList()) continue;
        const CFaceList& list = *mesh->GetFaceList();
        faces += list.GetNumberOfFaces(unsigned(FACE_INVALID), false);
        std::string fault = CheckCorners(list, mesh->GetPointList()->GetSize(), "geometry");
        if (!fault.empty()) return fault;
        const CDependentChannels* channels = mesh->GetChannels();
        for (int c = 0; channels && c < channels->GetSize(); ++c) {
            const CChannel* channel = channels->GetChannel(c);
            if (!channel || !channel->GetFaceList() || !channel->GetPointList()) continue;
            fault = CheckCorners(*channel->GetFaceList(), channel->GetPointList()->GetSize(), "channel");
            if (!fault.empty()) return fault;
        }
    }
    return {};
}

// Takes `scene` (owned from here on) down the whole road under `modes`; empty when every check
// held, else what failed.
inline std::string Run(C3DScene* scene, unsigned long long modes) {
    // Plain objects become the optimiser's own kind, as a host converts a scene it read.
    C3DQuorvaneObjectCreator creator(CREATOR_COPY_POINTS);
    scene->ConvertToType(creator);
    CSceneOptimizer opt;
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
    for (double ratio : {1.0, 0.5, 0.1, 0.0, 1.0}) {
        if (!opt.SetMultiresolutionRatio(ratio, 0, MRRATIO_RELATIVE | MRRATIO_FACES, APPLY_TO_ALL))
            return "level " + std::to_string(ratio) + " cannot be set";
        C3DScene* frozen = opt.GetScene(GETSCENE_MULTIRES_FROZEN | GETSCENE_COPY);
        if (!frozen) return "level " + std::to_string(ratio) + " cannot be frozen";
        long long faces = 0;
        std::string fault = CheckLevel(*frozen, faces);
        frozen->Delete();
        if (!fault.empty()) return "level " + std::to_string(ratio) + ": " + fault;
        if (ratio == 1.0) {
            if (full >= 0 && faces != full) return "the full level lost faces on the way back up";
            full = faces;
        } else if (faces > full) {
            return "level " + std::to_string(ratio) + " has more faces than the full one";
        }
    }
    return {};
}

}  // namespace kestovar::road
