// Fuzz target: the calls a host makes on a scene optimiser, in any order and with any arguments.
// A fixed two-object scene (a closed, textured sphere with two materials and an open grid) is
// attached to an optimiser, then the bytes choose the calls: reductions to relative and absolute
// targets (continuations, restarts, targets beyond the mesh), recording switched on and off between
// them, mode and tolerance changes, multiresolution scenes built, moved to levels, frozen and deleted, and
// the source scene shown. Every scene handed out must hold only faces whose corners (geometric and in every
// channel) are points of their lists; nothing may crash, leak or read out of bounds. An error the library
// raises ends the input as an answer, not as a fault. Two rules of the results hold too: a multiresolution
// scene, when first built, has at its full level at least the faces the source objects showed just before,
// and at least those spanning an area they showed when the last recorded reduction began (the record covers
// that reduction whole; its preparation drops faces without area); and while every reduction so far kept at
// least a tenth of the faces (relative face targets of 0.1 or more, no mode change in between, no
// multiresolution scene yet), every object keeps a face. (Not in place under a symmetry mode: there every
// call prepares the object again, and its reduced mesh becomes the one later ratios count from.)
//
// A multiresolution build may also be stopped by the host's callback, which answers a cancel query
// with yes or raises: then no object is handed over, and the source objects show the faces they
// showed before. And the host may keep the multiresolution scene while the optimiser lets go of
// it, and set its levels afterwards.
//
// The host may also give an object a new face list between calls (a copy of part of the one it
// shows), or take the texture channels away from a multiresolution object and then set its level.
//
// Layout: one set-up byte (bit 0 the working-copy flag, bit 1 recording from the start, bits 2-3
// the first mode set), then calls, each one byte (the call) and one byte (its argument).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "kestovar/core/thread_registry.h"
#include "kestovar/multires/multires_object.h"
#include "reduce_road.h"

using namespace kestovar;

namespace {

// A sphere of 8 rings of 12 points between two poles (texture coordinates per point, the upper
// half in material "a", the lower in "b") and, as a second group, an open 5 x 5 grid of quads.
std::string SceneText() {
    std::string t = "mtllib none.mtl\ng sphere\n";
    const int rings = 8, sectors = 12;
    t += "v 0 0 1\nvt 0.5 1\n";
    for (int r = 1; r <= rings; ++r) {
        const double theta = M_PI * r / (rings + 1);
        for (int s = 0; s < sectors; ++s) {
            const double phi = 2 * M_PI * s / sectors;
            const double radius = 1.0 + 0.1 * std::cos(3 * phi) * std::sin(2 * theta);
            t += "v " + std::to_string(radius * std::sin(theta) * std::cos(phi)) + ' ' +
                 std::to_string(radius * std::sin(theta) * std::sin(phi)) + ' ' +
                 std::to_string(radius * std::cos(theta)) + '\n';
            t += "vt " + std::to_string(double(s) / sectors) + ' ' +
                 std::to_string(1.0 - double(r) / (rings + 1)) + '\n';
        }
    }
    t += "v 0 0 -1\nvt 0.5 0\n";
    const int south = 2 + rings * sectors;
    auto at = [&](int r, int s) { return std::to_string(2 + (r - 1) * sectors + (s % sectors)); };
    auto corner = [](const std::string& i) { return i + '/' + i; };
    t += "usemtl a\n";
    for (int s = 0; s < sectors; ++s) t += "f 1/1 " + corner(at(1, s)) + ' ' + corner(at(1, s + 1)) + '\n';
    for (int r = 1; r < rings; ++r) {
        if (r == rings / 2) t += "usemtl b\n";
        for (int s = 0; s < sectors; ++s)
            t += "f " + corner(at(r, s)) + ' ' + corner(at(r + 1, s)) + ' ' + corner(at(r + 1, s + 1)) + ' ' +
                 corner(at(r, s + 1)) + '\n';
    }
    const std::string sp = std::to_string(south);
    for (int s = 0; s < sectors; ++s)
        t += "f " + corner(at(rings, s + 1)) + ' ' + corner(at(rings, s)) + ' ' + sp + '/' + sp + '\n';
    t += "g grid\nusemtl a\n";
    const int n = 5, first = south + 1;
    for (int i = 0; i <= n; ++i)
        for (int j = 0; j <= n; ++j)
            t += "v " + std::to_string(3.0 + i * 0.4) + ' ' + std::to_string(j * 0.4) + ' ' +
                 std::to_string(0.05 * ((i * 7 + j * 3) % 5)) + '\n';
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const int a = first + i * (n + 1) + j;
            t += "f " + std::to_string(a) + ' ' + std::to_string(a + n + 1) + ' ' +
                 std::to_string(a + n + 2) + ' ' + std::to_string(a + 1) + '\n';
        }
    return t;
}

// Faults of a scene handed out by the optimiser (null is not one).
std::string Check(C3DScene* scene) {
    if (!scene) return {};
    long long faces = 0;
    return road::CheckLevel(*scene, faces);
}

// Whether the preparation of a reduction keeps face `f`: its first three corners span an area
// (the cross product of two edges, in double, 1e-15 long or more).
bool SpansAnArea(const CFaceList& faces, const C3DPointList& points, int f) {
    int k = 0;
    const int* idx = faces.GetIndexes(unsigned(f), k);
    if (k < 3) return false;
    for (int c = 0; c < 3; ++c)
        if (idx[c] < 0 || idx[c] >= points.GetSize()) return false;
    const C3DTPoint<float>&p0 = points.GetAt(idx[0]), &p1 = points.GetAt(idx[1]), &p2 = points.GetAt(idx[2]);
    const double u[3] = {double(p1.x) - p0.x, double(p1.y) - p0.y, double(p1.z) - p0.z};
    const double v[3] = {double(p2.x) - p0.x, double(p2.y) - p0.y, double(p2.z) - p0.z};
    const double n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
    return std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]) >= 1e-15;
}

// The live faces of the source scene's objects as the optimiser shows them, each counted as the
// triangles it splits into (as the reduction and the multiresolution scene count them), and the
// fewest any one object has; with `spanning`, only the faces that span an area; with `whole`, each
// face once (a polygon whose corners are all frozen, as on the open border a new face list may
// leave, is not split).
struct SourceFaces {
    long long total = 0, fewest = -1;
};
SourceFaces CountSourceFaces(CSceneOptimizer& opt, bool spanning = false, bool whole = false) {
    SourceFaces count;
    C3DScene* scene = opt.GetScene(0);
    if (!scene) return count;
    for (C3DNodePos pos = scene->GetFirstNode(OBJECT_POLYMESH, WALK_SHARED_ONCE); pos;) {
        C3DGeomObject* object = nullptr;
        scene->GetNextNode(pos, object);
        const CFaceList* faces = object ? object->GetFaceList() : nullptr;
        const auto* points = object ? dynamic_cast<const C3DPointList*>(object->GetPointList()) : nullptr;
        if (!faces || !points) continue;
        long long live = 0;
        for (int f = 0; f < faces->GetSize(); ++f) {
            int k = 0;
            faces->GetIndexes(unsigned(f), k);
            if (k >= 3 && faces->IsFaceLive(unsigned(f)) && (!spanning || SpansAnArea(*faces, *points, f)))
                live += whole ? 1 : k - 2;
        }
        count.total += live;
        if (count.fewest < 0 || live < count.fewest) count.fewest = live;
    }
    return count;
}

// The host's callback for a stopped build: it answers the given cancel query with yes, or raises.
struct StopBuild {
    int queriesLeft = 0;
    bool raise = false;
    static bool OnEvent(unsigned event, const QuorvaneProgressInfo&, void* user) {
        auto* self = static_cast<StopBuild*>(user);
        if (!(event & OPTPROGRESS_CANCEL_QUERY) || self->queriesLeft-- > 0) return false;
        if (self->raise) throw 1;
        return true;
    }
};

std::string Calls(CSceneOptimizer& opt, const uint8_t* data, size_t size, bool ratiosFromTheStart) {
    bool multires = false;                 // a multiresolution scene exists
    bool everBuilt = false;                // one was built during this input
    bool keptATenth = ratiosFromTheStart;  // every reduction so far kept a tenth of the faces or more
    long long recordedFrom = 0;            // faces shown when the last recorded reduction began
    bool newFaceList = false;              // an object was given a new face list (see CountSourceFaces)
    for (size_t i = 0; i + 1 < size; i += 2) {
        const uint8_t arg = data[i + 1];
        const unsigned call = data[i] % 17;
        bool cancelled = false;
        std::string fault;
        // A reduction without recording ends the record (the next recorded one starts anew).
        if (call <= 2)
            recordedFrom = opt.IsFlagSet(SCENEOPTIMIZER_RECORD_CONTRACTIONS)
                               ? CountSourceFaces(opt, true, newFaceList).total
                               : 0;
        // The calls that may build the multiresolution scene: what the source showed before.
        const bool mayBuild = !multires && (call == 5 || call == 8 || call == 11 || call == 13);
        const long long sourceBefore = mayBuild ? CountSourceFaces(opt, false, newFaceList).total : 0;
        switch (call) {
            case 0: {  // a relative target, at times beyond [0, 1]
                const double ratio = arg / 200.0 - 0.1;
                const bool points = (arg & 1) != 0;
                opt.Optimize(ratio, cancelled, OPTIMIZE_RELATIVE | (points ? OPTIMIZE_POINTS : 0));
                keptATenth = keptATenth && !points && ratio >= 0.1 && !everBuilt;
                if (keptATenth && !cancelled && CountSourceFaces(opt).fewest == 0)
                    fault = "a reduction to " + std::to_string(ratio) +
                            " of the faces left an object without faces";
                break;
            }
            case 1:  // an absolute target
                opt.Optimize(arg * 2.0, cancelled, arg & 1 ? OPTIMIZE_POINTS : 0);
                keptATenth = false;
                break;
            case 2:
                opt.Optimize(0.0, cancelled, OPTIMIZE_RELATIVE | OPTIMIZE_POINTS);
                keptATenth = false;
                break;
            case 3:
                opt.SetFlags(SCENEOPTIMIZER_RECORD_CONTRACTIONS,
                             !opt.IsFlagSet(SCENEOPTIMIZER_RECORD_CONTRACTIONS));
                break;
            case 4:
            case 12: {
                // A settings change drops the optimisation with its record; the objects show
                // their initial mesh again (a separate working copy) or their mesh as prepared
                // anew (in place, where faces without area go), never fewer faces than that.
                const long long before = CountSourceFaces(opt, true).total;
                if (call == 4) {
                    opt.LockInitialization();
                    opt.SetOptimizeMode(road::kModeSets[arg & 3], true);
                    opt.UnlockInitialization();
                } else if ((arg & 3) == 0) {
                    opt.SetConstraintRatio(arg / 255.0f);
                } else if ((arg & 3) == 1) {
                    opt.SetUVWTolerance(arg / 255.0f);
                } else if ((arg & 3) == 2) {
                    opt.SetNormalThreshold(arg / 100.0);
                } else {
                    opt.SetSymetryTolerance(arg / 255.0f);
                }
                keptATenth = false;
                recordedFrom = 0;
                const long long after = CountSourceFaces(opt).total;
                if (after < before)
                    fault = "a settings change left " + std::to_string(after) + " faces of " +
                            std::to_string(before);
                break;
            }
            case 5:
                fault = Check(opt.GetScene(GETSCENE_MULTIRES));
                break;
            case 6:
                opt.SetMultiresolutionRatio(arg / 255.0, 0,
                                            MRRATIO_RELATIVE | (arg & 1 ? MRRATIO_POINTS : MRRATIO_FACES),
                                            APPLY_TO_ALL);
                break;
            case 7:
                opt.SetMultiresolutionRatio(
                    0, arg * 2, MRRATIO_ABSOLUTE | (arg & 1 ? MRRATIO_POINTS : MRRATIO_FACES), APPLY_TO_ALL);
                break;
            case 8: {
                XHeld<C3DScene> frozen(opt.GetScene(GETSCENE_MULTIRES_FROZEN | GETSCENE_COPY));
                fault = Check(frozen.get());
                break;
            }
            case 9:
                opt.CleanMultiresolutionScene();
                multires = false;
                recordedFrom = 0;
                break;
            case 10:
                fault = Check(opt.GetScene(arg & 1 ? GETSCENE_ORIGINAL_MESH : 0));
                break;
            case 11:
                fault = Check(opt.GetScene(GETSCENE_MULTIRES_FROZEN));
                break;
            case 13: {  // a build the callback stops at one of its first cancel queries
                if (multires) break;
                const long long before = CountSourceFaces(opt, true).total;
                StopBuild stop;
                stop.queriesLeft = arg & 7;
                stop.raise = (arg & 8) != 0;
                opt.SetProgressCallback(StopBuild::OnEvent, &stop);
                C3DScene* built = nullptr;
                try {
                    built = opt.GetScene(GETSCENE_MULTIRES);
                } catch (int) {
                }
                opt.SetProgressCallback(nullptr, nullptr);
                const long long after = CountSourceFaces(opt, true).total;
                if (!built && after != before)
                    fault = "a stopped multiresolution build left " + std::to_string(after) + " faces of " +
                            std::to_string(before);
                break;
            }
            case 15: {  // a new face list for the first contraction-ready object: part of the shown one
                C3DScene* source = opt.GetSourceScene();
                if (!source) break;
                C3DExtObject* ext = nullptr;
                for (C3DNodePos pos = source->GetFirstNode(OBJECT_POLYMESH, WALK_SHARED_ONCE); pos && !ext;) {
                    C3DBaseObject* object = nullptr;
                    source->GetNextNode(pos, object);
                    ext = dynamic_cast<C3DExtObject*>(object);
                }
                if (!ext || !ext->GetFaceList()) break;
                C3DFaceList* part = C3DFaceList::Create();
                *part = *ext->GetFaceList();
                part->SetSize(unsigned(part->GetSize() * (arg % 101) / 100));
                ext->SetFaceList(part, true);
                newFaceList = true;
                keptATenth = false;
                recordedFrom = 0;
                fault = Check(opt.GetScene(0));
                break;
            }
            case 16: {  // a multiresolution object loses its texture channels, then moves
                C3DScene* scene = multires ? opt.GetScene(GETSCENE_MULTIRES) : nullptr;
                if (!scene) break;
                for (C3DNodePos pos = scene->GetFirstNode(OBJECT_POLYMESH, WALK_SHARED_ONCE); pos;) {
                    C3DBaseObject* object = nullptr;
                    scene->GetNextNode(pos, object);
                    auto* mr = dynamic_cast<CMultiresolutionObject*>(object);
                    if (!mr || !mr->GetChannels()) continue;
                    mr->GetChannels()->RemoveChannelsByType(CHANNEL_UVW);
                    mr->SetObjectRatio(arg / 255.0, 0, MRRATIO_RELATIVE | MRRATIO_FACES);
                    break;
                }
                fault = Check(scene);
                break;
            }
            case 14: {  // the host keeps the multiresolution scene; the optimiser lets go of it
                C3DScene* kept = multires ? opt.GetScene(GETSCENE_MULTIRES) : nullptr;
                if (!kept) break;
                kept->AddRef();
                opt.CleanMultiresolutionScene();
                multires = false;
                recordedFrom = 0;
                for (C3DNodePos pos = kept->GetFirstNode(OBJECT_POLYMESH, WALK_SHARED_ONCE); pos;) {
                    C3DBaseObject* object = nullptr;
                    kept->GetNextNode(pos, object);
                    if (auto* mr = dynamic_cast<CMultiresolutionObject*>(object))
                        mr->SetObjectRatio(arg / 255.0, 0, MRRATIO_RELATIVE | MRRATIO_FACES);
                }
                fault = Check(kept);
                kept->Delete();
                break;
            }
        }
        if (mayBuild && opt.GetScene(GETSCENE_MULTIRES)) {
            multires = everBuilt = true;
            const long long full = opt.GetMultiresolutionInfo(MRINFO_MAX_FACES, APPLY_TO_ALL);
            if (fault.empty() && (full < sourceBefore || full < recordedFrom))
                fault = "the new multiresolution scene has " + std::to_string(full) +
                        " faces at full detail, the " + "source showed " + std::to_string(sourceBefore) +
                        " and " + std::to_string(recordedFrom) + " when the last recorded reduction began";
            recordedFrom = 0;
        }
        if (cancelled) return "call " + std::to_string(i / 2) + ": cancelled without being asked to";
        if (!fault.empty()) return "call " + std::to_string(i / 2) + ": " + fault;
    }
    return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 257) return 0;
    static const bool oneThread = (OMPSetMaxThreadCount(1), true);
    (void)oneThread;
    static const std::string text = SceneText();
    C3DScene* scene = road::ReadObjText(text);
    if (!scene) __builtin_trap();
    try {
        C3DQuorvaneObjectCreator creator(CREATOR_COPY_POINTS);
        scene->ConvertToType(creator);
    } catch (CXException*) {
        XDeleteThreadException();
        scene->Delete();
        return 0;
    }
    std::string fault;
    try {
        CSceneOptimizer opt;
        opt.SetFlags(SCENEOPTIMIZER_WORKING_COPY, (data[0] & 1) != 0);
        opt.SetFlags(SCENEOPTIMIZER_RECORD_CONTRACTIONS, (data[0] & 2) != 0);
        opt.SetScene(*scene, true);
        opt.LockInitialization();
        const unsigned long long modes = road::kModeSets[(data[0] >> 2) & 3];
        opt.SetOptimizeMode(modes, true);
        opt.UnlockInitialization();
        fault = Calls(opt, data + 1, size - 1, (data[0] & 1) || !(modes & OPT_SYMMETRY_MASK));
    } catch (CXException*) {
        XDeleteThreadException();
    }
    if (!fault.empty()) {
        std::fprintf(stderr, "%s\n", fault.c_str());
        __builtin_trap();
    }
    return 0;
}
