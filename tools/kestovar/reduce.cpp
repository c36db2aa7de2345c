// `kestovar reduce`: one optimisation of every object to its coarsest level, then the requested
// level (a ratio, or a face or point total over the scene) saved as a frozen copy.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "kestovar/kestovar.h"
#include "scene_util.h"

namespace kestovar_tool {

// The flip test is on by default: a contraction that folds a triangle over is left for last. On
// the bunny at 10 % it takes the distance to the input from 0.0021 to 0.0012 of the diagonal,
// on the nearly flat blade from 0.0040 to 0.0000, for 5-15 % more time.
const unsigned long long kDefaultModes = kestovar::OPT_CONSTRAIN_BORDER | kestovar::OPT_KEEP_MATERIAL |
                                        kestovar::OPT_KEEP_UVW | kestovar::OPT_KEEP_VC | kestovar::OPT_KEEP_NORMALS |
                                        kestovar::OPT_CHECK_FLIP;

namespace {

using namespace kestovar;

const char kReduceHelp[] =
    "usage: kestovar reduce INPUT [-o OUTPUT] (--ratio R | --faces N | --points N) [options]\n"
    "\n"
    "Reduces every object of INPUT once to its coarsest level, then saves the scene at the\n"
    "requested level. --faces and --points are totals over the whole scene.\n"
    "\n"
    "  -o, --output FILE    output file (default: INPUT with \"-reduced\" before the extension)\n"
    "  --ratio R            keep the fraction R (0..1) of the faces of every object\n"
    "  --faces N            keep about N faces in total\n"
    "  --points N           keep about N points in total\n" KESTOVAR_FEATURE_OPTIONS_HELP
    "  --symmetry x|y|z     mirror the contractions across the box's mid-plane\n"
    "  --endpoints-only     merged points are always one of the two end points\n"
    "  --stop-on-bad        stop an object when only rejected contractions remain\n"
    "  --selection-only     reduce only the selected nodes (.3dif files keep a "
    "selection)\n" KESTOVAR_WELD_JOIN_OPTIONS_HELP
    "  --measure            also measure the result's distance to the input, as compare does\n"
    "                       (relative Hausdorff distance)\n"
    "  --progressive        objects smaller than the largest keep more of their faces: the\n"
    "                       ratio applies in full to the largest object, a smaller one is\n"
    "                       reduced only once the ratio falls below a threshold set by its\n"
    "                       size, and all reach their coarsest level together (--faces and\n"
    "                       --points still give the scene's totals)\n"
    "  --threads N          worker threads (default: all cores)\n"
    "  --json               print the result as JSON on stdout\n"
    "  -q, --quiet          no progress bar and no summary (warnings still go to stderr)\n"
    "  -h, --help           show this help\n"
    "\n"
    "Exit status: 0 success, 1 bad usage, 2 input/output error, 3 cancelled, 4 other failure.\n";

// Bits of one feature group: keep, constrain, freeze. The border and corner bits stand alone;
// for the attributes (`refines` true) constrain and freeze refine the keep bit and need it set.
struct Feature {
    const char* name;
    unsigned long long keep, constrain, freeze;
    bool refines;
};
const Feature kFeatures[] = {
    {"borders", OPT_KEEP_BORDER, OPT_CONSTRAIN_BORDER, OPT_FREEZE_BORDER, false},
    {"corners", OPT_KEEP_CORNERS, OPT_CONSTRAIN_CORNERS, OPT_FREEZE_CORNERS, false},
    {"materials", OPT_KEEP_MATERIAL, OPT_CONSTRAIN_MATERIAL, OPT_FREEZE_MATERIAL, true},
    {"uv", OPT_KEEP_UVW, OPT_CONSTRAIN_UVW, OPT_FREEZE_UVW, true},
    {"colors", OPT_KEEP_VC, OPT_CONSTRAIN_VC, OPT_FREEZE_VC, true},
    {"normals", OPT_KEEP_NORMALS, OPT_CONSTRAIN_NORMALS, OPT_FREEZE_NORMALS, true},
};

// Sets in `modes` how each listed feature is preserved: `which` 0 keep, 1 constrain, 2 freeze, or
// 3 drop (none). The choice replaces the feature's default or an earlier option's: where more
// than one of a group's choices is set the library takes the first (keep before constrain before
// freeze), so a freeze added to the default constraint of borders would otherwise be ignored.
bool ParseFeatures(const char* command, const char* option, const char* list, int which,
                   unsigned long long& modes) {
    return ForEachListItem(command, option, list, [&](const std::string& name) {
        for (const Feature& f : kFeatures) {
            if (name == f.name) {
                modes &= ~(f.keep | f.constrain | f.freeze);
                if (which == 0 || (which != 3 && f.refines)) modes |= f.keep;
                if (which == 1) modes |= f.constrain;
                if (which == 2) modes |= f.freeze;
                return true;
            }
        }
        UsageError(command, (std::string("unknown feature for ") + option).c_str(), name.c_str());
        return false;
    });
}

// The listed tests replace the default ones; "none" asks for none.
bool ParseChecks(const char* command, const char* list, unsigned long long& modes) {
    unsigned long long checks = 0;
    bool none = false;
    if (!ForEachListItem(command, "--check", list, [&](const std::string& name) {
            if (name == "flips")
                checks |= OPT_CHECK_FLIP;
            else if (name == "compactness")
                checks |= OPT_CHECK_COMPACITY;
            else if (name == "none")
                none = true;
            else
                return UsageError(command, "unknown check", name.c_str()), false;
            return true;
        }))
        return false;
    if (none && checks) return UsageError(command, "--check: none cannot go with a test, got", list), false;
    modes = (modes & ~(OPT_CHECK_FLIP | OPT_CHECK_COMPACITY)) | checks;
    return true;
}

std::string DefaultOutput(const std::string& input) {
    const size_t slash = input.find_last_of('/');
    const size_t dot = input.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return input + "-reduced";
    return input.substr(0, dot) + "-reduced" + input.substr(dot);
}

std::atomic<bool> g_interrupted{false};

}  // namespace

bool Interrupted() {
    return g_interrupted.load();
}

namespace {

// Non-zero while a second interrupt must not end the process at once: during a save, which would
// leave its temporary file behind, and during the read, which the first interrupt stops promptly
// anyway (through a watcher thread that should end before the process does).
std::atomic<int> g_holdForcedExit{0};

// Holds the forced exit of a second interrupt for its lifetime.
class ForcedExitHold {
public:
    ForcedExitHold() { g_holdForcedExit.fetch_add(1); }
    ~ForcedExitHold() { g_holdForcedExit.fetch_sub(1); }
    ForcedExitHold(const ForcedExitHold&) = delete;
    ForcedExitHold& operator=(const ForcedExitHold&) = delete;
};

void OnInterrupt(int) {
    // The first interrupt cancels, which a long preparation step notices only at its end; a
    // second one ends the process at once (nothing has been written unless a save is under way).
    if (g_interrupted.load() && g_holdForcedExit.load() == 0) {
        static const char message[] = "kestovar: interrupted\n";
        [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, message, sizeof message - 1);
        ::_exit(kExitCancelled);
    }
    g_interrupted.store(true);
}

// The progress bar on stderr and the cancellation by Ctrl-C, both through the optimiser's callback.
constexpr int kPreparing = -2;  // ProgressState::lastPercent while no range is set
struct ProgressState {
    bool bar = false;
    double start = 0;
    int lastPercent = -1, lastMesh = -1;
};

bool OnProgress(unsigned int event, const QuorvaneProgressInfo& info, void* user) {
    auto* state = static_cast<ProgressState*>(user);
    if (event & OPTPROGRESS_CANCEL_QUERY) return g_interrupted.load();
    if (!state->bar || info.GetState() != QuorvaneProgressInfo::STATE_OPTIMIZING) return false;
    const int range = info.GetMax() - info.GetMin();
    // Until the first mesh sets its range the run is preparing it (quadrics, candidates, their
    // heap): most of a second per million triangles, which a bar at 0 % would not explain.
    const int percent = range > 0 ? int(100.0 * (info.GetPos() - info.GetMin()) / range) : kPreparing;
    if (percent == state->lastPercent && info.GetMeshPos() == state->lastMesh) return false;
    state->lastPercent = percent;
    state->lastMesh = info.GetMeshPos();
    const int meshes = info.GetMeshCount() > 0 ? info.GetMeshCount() : 1;
    const double elapsed = NowSeconds() - state->start;
    if (percent == kPreparing) {
        // As wide as the bar's line, which overwrites it.
        std::fprintf(stderr, "\rmesh %d of %d [%-30s]      %6.1f s", info.GetMeshPos() + 1, meshes, "preparing",
                     elapsed);
        return false;
    }
    const int width = 30, filled = percent * width / 100;
    std::fprintf(stderr, "\rmesh %d of %d [%.*s%*s] %3d%% %6.1f s", info.GetMeshPos() + 1, meshes, filled,
                 "##############################", width - filled, "", percent, elapsed);
    return false;
}

// Ctrl-C while the input is read or welded. The reader tests the calling thread's cancel state on
// every line and the weld at every progress step; the signal handler cannot set it (that takes
// the library lock), so for the lifetime of this object a watcher thread sets it once an
// interrupt has arrived, and takes it back at the end.
class InterruptCanceller {
public:
    InterruptCanceller() : m_reader(threadGetCurrentId()) {
        // Without a thread to spare (memory or thread limits) the read simply runs to its end
        // before an interrupt is seen, as it would without this object.
        try {
            m_watcher = std::thread([this] { Watch(); });
        } catch (const std::exception&) {
        }
    }
    ~InterruptCanceller() {
        if (!m_watcher.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_wake.notify_one();
        m_watcher.join();
        if (m_cancelled) SetCancel(false);
    }
    InterruptCanceller(const InterruptCanceller&) = delete;
    InterruptCanceller& operator=(const InterruptCanceller&) = delete;

private:
    // Whether the reader's cancel state could be set (the library raises when out of memory).
    bool SetCancel(bool cancel) {
        try {
            SetCancelThread(cancel, m_reader);
            return true;
        } catch (CXException*) {
            XDeleteThreadException();
            return false;
        }
    }
    void Watch() {
        std::unique_lock<std::mutex> lock(m_mutex);
        // Polled: the handler only stores a flag (waking a condition variable is not safe there).
        while (!m_wake.wait_for(lock, std::chrono::milliseconds(20), [this] { return m_done; })) {
            if (g_interrupted.load()) {
                m_cancelled = SetCancel(true);
                return;
            }
        }
    }

    const uint64_t m_reader;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_done = false, m_cancelled = false;
    std::thread m_watcher;
};

}  // namespace

ReduceSettings SettingsOf(const SharedOptions& shared) {
    ReduceSettings settings;
    settings.modes = shared.modes;
    settings.threads = shared.threads;
    settings.progressive = shared.progressive;
    settings.weld = shared.weld;
    settings.join = shared.join;
    return settings;
}

bool TakeSharedOption(const char* command, const char* outputKind, int argc, char** argv, int& i,
                      SharedOptions& options) {
    const char* a = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    if (!std::strcmp(a, "-o") || !std::strcmp(a, "--output")) {
        if (!next || !*next)
            return UsageError(command, (std::string("-o needs a ") + outputKind).c_str()), false;
        options.output = next, ++i;
    } else if (!std::strcmp(a, "--keep") || !std::strcmp(a, "--constrain") || !std::strcmp(a, "--freeze") ||
               !std::strcmp(a, "--drop")) {
        const int which = a[2] == 'k' ? 0 : a[2] == 'c' ? 1 : a[2] == 'f' ? 2 : 3;
        if (!ParseFeatures(command, a, next, which, options.modes)) return false;
        ++i;
    } else if (!std::strcmp(a, "--check")) {
        if (!ParseChecks(command, next, options.modes)) return false;
        ++i;
    } else if (!std::strcmp(a, "--threads")) {
        if (!ParseInt(command, a, next, options.threads, 1)) return false;
        ++i;
    } else if (!std::strcmp(a, "-q") || !std::strcmp(a, "--quiet")) {
        options.quiet = true;
    } else if (!std::strcmp(a, "--progressive")) {
        options.progressive = true;
    } else if (!std::strcmp(a, "--weld")) {
        options.weld = true;
    } else if (!std::strcmp(a, "--join")) {
        options.join = options.weld = true;  // the joined object is welded
    } else if (!std::strcmp(a, "--measure")) {
        options.measure = true;
    } else if (a[0] == '-' && a[1]) {
        return UsageError(command, "unknown option", a), false;
    } else if (options.input.empty()) {
        options.input = a;
    } else {
        return UsageError(command, "unexpected argument", a), false;
    }
    return true;
}

InterruptGuard::InterruptGuard() {
    g_interrupted.store(false);
    for (int i = 0; i < kSignalCount; ++i) {
        m_previous[i] = std::signal(kSignals[i], OnInterrupt);
        // A signal the caller ignores (nohup, a background job of a script) stays ignored.
        if (m_previous[i] == SIG_IGN) std::signal(kSignals[i], SIG_IGN);
    }
}

InterruptGuard::~InterruptGuard() {
    // After an interrupt the command ends cancelled; the handlers stay, so that another signal
    // while the process winds down ends it with the cancelled code too rather than by the signal.
    if (g_interrupted.load()) return;
    for (int i = 0; i < kSignalCount; ++i) std::signal(kSignals[i], m_previous[i]);
}

int ReduceFileLevels(const std::string& input, const ReduceSettings& base, const std::vector<ReduceLevel>& levels,
                     std::vector<ReduceReport>& reports) {
    const ReduceSettings& settings = base;
    if (settings.threads > 0) OMPSetMaxThreadCount(settings.threads);
    // Ctrl-C (under the caller's InterruptGuard) until the save starts cancels the run; nothing
    // is written then.
    const double t0 = NowSeconds();
    XHeld<C3DScene> scene;
    {
        const ForcedExitHold hold;
        InterruptCanceller canceller;
        scene = ReadScene(input, true, settings.join);
    }
    if (!scene) return g_interrupted.load() ? kExitCancelled : LastIoFailureExit();
    // Outputs that cannot be written are refused before the optimisation, not after it.
    for (const ReduceLevel& level : levels)
        if (!CanSaveTo(level.output)) return kExitIo;
    const SceneExtent extent = MeasureExtent(*scene);
    const int facesRead = extent.faces;
    int pointsWelded = 0;
    if (settings.weld) {
        // The weld of a large scene takes a while too, and answers the same cancel state as the
        // read; a cancelled weld leaves its object as it was.
        InterruptCanceller canceller;
        pointsWelded = WeldCoincidentPoints(*scene, settings.selectionOnly);
    }
    if (g_interrupted.load()) {
        std::fprintf(stderr, "kestovar: %s: cancelled\n", input.c_str());
        return kExitCancelled;
    }
    // A file of points only (or of nothing) has nothing to reduce, and its result would lose the
    // points: refuse it, as compare does, rather than write an empty file.
    if (facesRead == 0) {
        std::fprintf(stderr, "kestovar: %s: the file holds no face to reduce\n", input.c_str());
        return kExitIo;
    }
    // Points beyond the float range (or not numbers) make the costs around them infinite or not
    // numbers: those faces reduce in no useful order and may pass such coordinates on.
    if (settings.inputWarnings && extent.nonFinite > 0)
        std::fprintf(
            stderr,
            "kestovar: %s: warning: %d point%s a coordinate that is infinite or not a number; the faces "
            "around such points are reduced in no useful order and may spread such coordinates\n",
            input.c_str(), extent.nonFinite, extent.nonFinite == 1 ? " has" : "s have");
    // A file that repeats each point for every face using it (as STL-like exports do) holds faces
    // that share no point: each reduces on its own and the surface falls apart into holes.
    if (settings.inputWarnings && !settings.weld && extent.looseCoincident > 0)
        std::fprintf(
            stderr,
            "kestovar: %s: warning: most faces share no point with another face, though %d points lie "
            "exactly on another point; such faces reduce apart (--weld merges the points that lie "
            "together first)\n",
            input.c_str(), extent.looseCoincident);
    // OBJ text keeps six decimals ("v %f %f %f"): a scene under a hundredth of a unit across
    // loses detail there (a step of 1e-6 is then over 1e-4 of its size).
    if (extent.diagonal > 0 && extent.diagonal < 0.01) {
        for (const ReduceLevel& level : levels) {
            if (fileGetClass(Widen(level.output).c_str()) != FILE_CLASS_WAVEFRONT) continue;
            std::fprintf(stderr,
                         "kestovar: %s: warning: OBJ files keep six decimals, coarse for a scene %g units across; "
                         ".3dif keeps every digit\n",
                         level.output.c_str(), extent.diagonal);
            break;
        }
    }
    // Vertex colours travel through the reduction, but only the library's own format writes
    // them.
    if (extent.colored && (settings.modes & OPT_KEEP_VC)) {
        for (const ReduceLevel& level : levels) {
            if (fileGetClass(Widen(level.output).c_str()) == FILE_CLASS_3DIF) continue;
            std::fprintf(stderr,
                         "kestovar: %s: warning: the scene has vertex colours, which only .3dif files keep; "
                         "they are not written here (--drop colors reduces without them)\n",
                         level.output.c_str());
            break;
        }
    }
    // Points are held in single precision, whose steps grow with the magnitude: a scene far from
    // the origin for its size (survey coordinates: millions of units for a site a few hundred
    // across) was already coarsened when it was read, and reduces in coarse steps.
    const float largest = float(extent.largest);
    const double step = double(std::nextafter(largest, HUGE_VALF)) - double(largest);
    if (settings.inputWarnings && extent.diagonal > 0 && step > 1e-4 * extent.diagonal)
        std::fprintf(
            stderr,
            "kestovar: %s: warning: coordinates reach %g for a scene %g units across; single precision, "
            "in which points are held, keeps steps of %g there (%.2g of its size): move the scene towards "
            "the origin first\n",
            input.c_str(), extent.largest, extent.diagonal, step, step / extent.diagonal);
    const double t1 = NowSeconds();

    if (settings.selectionOnly) {
        bool any = false;
        for (C3DNodePos pos = scene->GetFirstNode(OBJECT_POLYMESH); pos && !any;) {
            C3DGeomObject* object = nullptr;
            any = scene->GetNextNode(pos, object)->IsNodeSelected();
        }
        if (!any) {
            std::fprintf(stderr, "kestovar: %s: --selection-only: the file has no selected node\n", input.c_str());
            return kExitUsage;
        }
    }
    // The groups of one OBJ mesh (or objects placed edge to edge) meet along open borders: each
    // reduces on its own, so its border points merge apart from those of its neighbour and the
    // seam opens. Frozen borders stay together; a joined scene reduces as one surface.
    if (settings.inputWarnings && !settings.join && !(settings.modes & OPT_FREEZE_BORDER)) {
        const SharedBorders shared = MeasureSharedBorders(*scene);
        if (shared.edges > 0)
            std::fprintf(stderr,
                         "kestovar: %s: warning: %d objects meet along %d open-border edge%s; each object "
                         "reduces on its own, so these seams can open (--join reduces them as one "
                         "surface)\n",
                         input.c_str(), shared.objects, shared.edges, shared.edges == 1 ? "" : "s");
    }
    // The multiresolution scene starts with no node selected, so the file's selection is noted
    // here, by position in the pre-order walk, and given to that scene's copy of each node.
    std::vector<bool> selected;
    if (settings.selectionOnly)
        for (C3DNodePos pos = scene->GetFirstNode(); pos;)
            selected.push_back(scene->GetNextNode(pos)->IsNodeSelected());
    CSceneOptimizer opt;
    ProgressState progress;
    progress.bar = settings.progressBar;
    progress.start = t1;
    opt.SetProgressCallback(OnProgress, &progress);
    opt.SetFlags(SCENEOPTIMIZER_RECORD_CONTRACTIONS, true);
    if (settings.progressive) opt.SetFlags(SCENEOPTIMIZER_PROGRESSIVE_RATIO, true);
    opt.SetScene(*scene.release(), true);  // the optimiser owns and deletes the scene
    opt.LockInitialization();
    if (settings.modes) opt.SetOptimizeMode(settings.modes, true);
    opt.UnlockInitialization();

    bool cancelled = g_interrupted.load();
    if (!cancelled) opt.Optimize(0.0, cancelled, 0x21);
    if (progress.bar) std::fputc('\n', stderr);
    if (cancelled || g_interrupted.load()) {
        std::fprintf(stderr, "kestovar: %s: cancelled\n", input.c_str());
        return kExitCancelled;
    }
    const double t2 = NowSeconds();

    // The steps after Optimize (the multiresolution scene, the levels, the frozen copies) poll the
    // same cancel query, so an interrupt there makes them fail: report that as the cancellation.
    auto failure = [&](const char* message) {
        if (g_interrupted.load()) {
            std::fprintf(stderr, "kestovar: %s: cancelled\n", input.c_str());
            return kExitCancelled;
        }
        std::fprintf(stderr, "kestovar: %s: %s\n", input.c_str(), message);
        return kExitIo;
    };
    C3DScene* mr = opt.GetScene(GETSCENE_MULTIRES);
    if (!mr) return failure("no polygonal object to reduce");
    size_t walked = 0;
    for (C3DNodePos pos = mr->GetFirstNode(); pos; ++walked) {
        C3DSceneNode* node = mr->GetNextNode(pos);
        if (walked < selected.size() && selected[walked]) mr->Select(node, true);
    }
    const ApplyTo applyTo = settings.selectionOnly ? APPLY_TO_SELECTION : APPLY_TO_ALL;
    const int maxFaces = opt.GetMultiresolutionInfo(MRINFO_MAX_FACES, APPLY_TO_ALL);
    const int maxPoints = opt.GetMultiresolutionInfo(MRINFO_MAX_POINTS, APPLY_TO_ALL);
    // Totals count the whole scene, while the optimiser counts only the nodes a level applies
    // to: with a selection, the faces and points of the nodes left whole come off the target.
    const int fixedFaces =
        applyTo == APPLY_TO_ALL ? 0 : maxFaces - opt.GetMultiresolutionInfo(MRINFO_MAX_FACES, applyTo);
    const int fixedPoints =
        applyTo == APPLY_TO_ALL ? 0 : maxPoints - opt.GetMultiresolutionInfo(MRINFO_MAX_POINTS, applyTo);
    // The preparation drops degenerate faces: repeated corners, or a cross product of two edges
    // shorter than 1e-15 (an area below about 5e-16 in the file's units, so a mesh drawn at a
    // tiny scale loses them all). Say so rather than write an empty file without a word.
    if (facesRead > 0 && maxFaces == 0)
        std::fprintf(
            stderr,
            "kestovar: %s: warning: %s dropped as degenerate (repeated corners, or an area below about "
            "5e-16 in the file's units); the result is empty\n",
            input.c_str(),
            facesRead == 1 ? "its only face was"
                           : ("all " + std::to_string(facesRead) + " faces were").c_str());
    reports.clear();
    for (const ReduceLevel& level : levels) {
        const double s0 = NowSeconds();
        // A total at or above the full scene is the full scene: the ratio search for a count
        // approaches ratio 1 from below and stops short of it.
        const bool whole = (level.faces >= 0 && level.faces >= maxFaces) || (level.points >= 0 && level.points >= maxPoints);
        // Every level is approached from full detail. Played back from another level, a count
        // the contractions step over (most remove two faces) is settled from the side the play
        // came from: the same ratio then gave two meshes, one after a coarser level and one
        // after a finer one, and repeating it flipped between them.
        auto setRatio = [&](double ratio) {
            return opt.SetMultiresolutionRatio(ratio, 0, MRRATIO_RELATIVE | MRRATIO_FACES, applyTo);
        };
        bool set = (&level != &levels.front() || whole) ? setRatio(1.0) : true;
        if (set && !whole) {
            if (level.ratio >= 0)
                set = setRatio(level.ratio);
            else {
                const bool faces = level.faces >= 0;
                const int total = faces ? level.faces : level.points,
                          fixed = faces ? fixedFaces : fixedPoints;
                if (total < fixed)
                    std::fprintf(
                        stderr,
                        "kestovar: %s: warning: the nodes outside the selection keep their %d %s, more than "
                        "the %d asked for\n",
                        level.output.c_str(), fixed, faces ? "faces" : "points", total);
                set = opt.SetMultiresolutionRatio(0, std::max(total - fixed, 0),
                                                  MRRATIO_ABSOLUTE | (faces ? MRRATIO_FACES : MRRATIO_POINTS),
                                                  applyTo);
            }
        }
        if (!set) return failure("the requested level cannot be set");
        ReduceReport report;
        report.facesRead = facesRead;
        report.pointsWelded = pointsWelded;
        report.facesBefore = maxFaces;
        report.pointsBefore = maxPoints;
        report.facesAfter = opt.GetMultiresolutionInfo(MRINFO_CURRENT_FACES, APPLY_TO_ALL);
        report.pointsAfter = opt.GetMultiresolutionInfo(MRINFO_CURRENT_POINTS, APPLY_TO_ALL);
        // A contraction removes the two faces of its edge, so a small closed mesh asked for a
        // few faces (a cube at 10 %: 1.2 of 12) can step past the target to none at all. An
        // explicit request for nothing gets no word.
        const bool askedForSome = level.ratio > 0 || level.faces > 0 || level.points > 0;
        // A total is searched as one ratio common to all objects, so a scene of many small
        // objects empties them all at once below some total: say so, since asking for a number
        // of faces is what the user did.
        if (maxFaces > 0 && report.facesAfter == 0 && askedForSome) {
            if (level.ratio > 0) {
                std::fprintf(
                    stderr,
                    "kestovar: %s: warning: the reduced scene keeps no face of %d; ask for a larger ratio "
                    "or a number of faces\n",
                    level.output.c_str(), maxFaces);
            } else {
                const bool faces = level.faces > 0;
                const int total = faces ? level.faces : level.points;
                std::fprintf(
                    stderr,
                    "kestovar: %s: warning: the reduced scene keeps no face of %d: every level with faces "
                    "has more than %d %s%s (one ratio applies to all objects, so small objects lose their "
                    "last faces together); ask for more %s\n",
                    level.output.c_str(), maxFaces, total, faces ? "face" : "point", total == 1 ? "" : "s",
                    faces ? "faces" : "points");
            }
        }
        const XHeld<C3DScene> frozen(opt.GetScene(GETSCENE_MULTIRES_FROZEN | GETSCENE_COPY));
        if (!frozen || g_interrupted.load()) return failure("cannot freeze the reduced scene");
        bool saved = false;
        {
            const ForcedExitHold hold;
            saved = SaveScene(*frozen, level.output);
        }
        if (!saved) return LastIoFailureExit();
        report.readSeconds = t1 - t0;
        report.optimizeSeconds = t2 - t1;
        report.saveSeconds = NowSeconds() - s0;
        reports.push_back(report);
    }
    return 0;
}

int ReduceFile(const std::string& input, const std::string& output, const ReduceSettings& settings,
               ReduceReport& report) {
    std::vector<ReduceReport> reports;
    const int status =
        ReduceFileLevels(input, settings, {ReduceLevel{settings.ratio, settings.faces, settings.points, output}}, reports);
    if (!status) report = reports[0];
    return status;
}

int RunReduce(int argc, char** argv) {
    SharedOptions shared;
    double ratio = -1;
    int faces = -1, points = -1;
    unsigned long long modes = 0;
    bool json = false, selectionOnly = false;
    for (int i = 0; i < argc; ++i) {
        const char* a = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!std::strcmp(a, "-h") || !std::strcmp(a, "--help")) {
            std::fputs(kReduceHelp, stdout);
            return 0;
        } else if (!std::strcmp(a, "--ratio")) {
            if (!ParseDouble("reduce", a, next, ratio)) return kExitUsage;
            if (!(ratio >= 0 && ratio <= 1)) return UsageError("reduce", "--ratio must lie in [0, 1], got", next), kExitUsage;
            ++i;
        } else if (!std::strcmp(a, "--faces")) {
            if (!ParseInt("reduce", a, next, faces)) return kExitUsage;
            ++i;
        } else if (!std::strcmp(a, "--points")) {
            if (!ParseInt("reduce", a, next, points)) return kExitUsage;
            ++i;
        } else if (!std::strcmp(a, "--symmetry")) {
            // One axis: a later --symmetry replaces an earlier one (the optimiser would keep z
            // before y before x of several).
            modes &= ~OPT_SYMMETRY_MASK;
            if (next && !std::strcmp(next, "x"))
                modes |= OPT_SYMMETRY_X;
            else if (next && !std::strcmp(next, "y"))
                modes |= OPT_SYMMETRY_Y;
            else if (next && !std::strcmp(next, "z"))
                modes |= OPT_SYMMETRY_Z;
            else
                return UsageError("reduce", "--symmetry expects x, y or z, got", next ? next : ""), kExitUsage;
            ++i;
        } else if (!std::strcmp(a, "--endpoints-only")) {
            modes |= OPT_ENDPOINTS_ONLY;
        } else if (!std::strcmp(a, "--stop-on-bad")) {
            modes |= OPT_STOP_ON_BAD;
        } else if (!std::strcmp(a, "--selection-only")) {
            selectionOnly = true;
        } else if (!std::strcmp(a, "--json")) {
            json = true;
        } else if (!TakeSharedOption("reduce", "file name", argc, argv, i, shared)) {
            return kExitUsage;
        }
    }
    const std::string& input = shared.input;
    const bool quiet = shared.quiet;
    if (input.empty()) return UsageError("reduce", "missing INPUT"), kExitUsage;
    if ((ratio >= 0) + (faces >= 0) + (points >= 0) != 1)
        return UsageError("reduce", "give exactly one of --ratio, --faces and --points"), kExitUsage;
    // The joined object is a new node, outside any selection.
    if (selectionOnly && shared.join)
        return UsageError("reduce",
                          "--join merges the selected and the other nodes into one; it cannot go with",
                          "--selection-only"),
               kExitUsage;
    const std::string output = shared.output.empty() ? DefaultOutput(input) : shared.output;
    // The distance is measured against the input file, which must still be there afterwards.
    if (shared.measure && ReplacesFile(output, input))
        return UsageError("reduce", "--measure compares the result with INPUT, which -o would replace:",
                          output.c_str()),
               kExitUsage;

    InterruptGuard interrupt;
    LibrarySession session;
    ReduceSettings settings = SettingsOf(shared);
    settings.ratio = ratio;
    settings.faces = faces;
    settings.points = points;
    settings.modes |= modes;
    settings.selectionOnly = selectionOnly;
    settings.progressBar = !quiet && !json && isatty(STDERR_FILENO);
    ReduceReport report;
    const int status = ReduceFile(input, output, settings, report);
    if (status) return status;
    const ReduceReport& r = report;
    // The distance to the input, as compare measures it (none for a result without faces).
    double distance = -1;
    // Nothing shows a distance under --quiet without --json: it is not measured then.
    if (shared.measure && (json || !quiet) && r.facesAfter > 0) {
        CompareReport compared;
        const int result = CompareFiles(input, output, compared);
        // An interrupt here comes after the save: the result stays, only its distance is missing.
        if (result == kExitCancelled)
            std::fprintf(stderr, "kestovar: %s: the result is written; only its measure was cancelled\n",
                         output.c_str());
        if (result) return result;
        distance = compared.hausdorff;
    }
    if (json) {
        std::string hausdorff;
        if (shared.measure) hausdorff = ", \"hausdorff\": " + JsonNumberOrNull(distance);
        std::printf(
            "{\"input\": %s, \"output\": %s, \"faces\": [%d, %d], \"points\": [%d, %d], "
            "\"welded_points\": %d%s, \"read_s\": %.3f, \"optimize_s\": %.3f, \"save_s\": %.3f}\n",
            JsonString(input).c_str(), JsonString(output).c_str(), r.facesBefore, r.facesAfter,
            r.pointsBefore, r.pointsAfter, r.pointsWelded, hausdorff.c_str(), r.readSeconds,
            r.optimizeSeconds, r.saveSeconds);
    } else if (!quiet) {
        std::printf("%s -> %s\n  faces  %8d -> %8d\n", input.c_str(), output.c_str(), r.facesBefore, r.facesAfter);
        if (r.facesRead != r.facesBefore)
            std::printf("         (%d in the file: polygons count as their triangles, degenerate faces are dropped)\n",
                        r.facesRead);
        std::printf("  points %8d -> %8d\n", r.pointsBefore, r.pointsAfter);
        if (r.pointsWelded > 0)
            std::printf("         (after welding %d points onto others)\n", r.pointsWelded);
        std::printf("  read %.3f s, optimize %.3f s, save %.3f s\n", r.readSeconds, r.optimizeSeconds,
                    r.saveSeconds);
        if (distance >= 0)
            std::printf("  Hausdorff distance to the input: %.6f (of the diagonal)\n", distance);
    }
    return 0;
}

}  // namespace kestovar_tool
