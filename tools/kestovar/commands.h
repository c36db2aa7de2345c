// Subcommands of the kestovar tool and its exit codes.
#pragma once

#include <csignal>
#include <string>
#include <vector>

namespace kestovar_tool {

// Exit codes: 0 success, 1 bad usage, 2 input/output error, 3 cancelled, 4 an error the library
// raised (out of memory, for one).
constexpr int kExitUsage = 1;
constexpr int kExitIo = 2;
constexpr int kExitCancelled = 3;
constexpr int kExitFailed = 4;

// kestovar demo DATA_DIR OUT_DIR
int RunDemo(int argc, char** argv);
// kestovar reduce INPUT [-o OUTPUT] (--ratio R | --faces N | --points N) [options]
int RunReduce(int argc, char** argv);
// The optimisation modes the tool uses unless told otherwise: open borders held to their lines
// (so that objects that meet along a border, such as the groups of one OBJ mesh, stay together;
// each keeps its own points along the line, so only frozen borders keep such a seam closed),
// and the attributes a file carries kept (texture coordinates, vertex colours, normals; a channel
// that is not kept is left out of the result) with the borders between materials.
extern const unsigned long long kDefaultModes;
// The options `reduce` and `lod` share: the output (a file for reduce, a folder for lod), the
// feature groups, the thread count, --quiet, --progressive, --weld, --measure and the single
// INPUT. Each command tries its own options first and hands every other argument to
// TakeSharedOption, which also rejects unknown options and extra arguments.
struct SharedOptions {
    std::string input, output;
    unsigned long long modes = kDefaultModes;
    int threads = 0;
    bool quiet = false, progressive = false, weld = false, join = false;
    bool measure = false;  // the result's relative Hausdorff distance to the input, as compare gives it
};

// Help lines of shared options, as string literals that each command's help joins in.
#define KESTOVAR_FEATURE_OPTIONS_HELP                                                               \
    "  --keep LIST          preserve these features: borders,corners,materials,uv,colors,normals\n" \
    "                       (unless dropped, borders are constrained and materials, uv,\n"          \
    "                       colors and normals kept)\n"                                             \
    "  --drop LIST          stop preserving these features; dropped uv, colors and normals\n"       \
    "                       are left out of the output\n"                                           \
    "  --constrain LIST     as --keep, and hold them to their lines with constraint planes\n"       \
    "  --freeze LIST        never move the points of these features (the last of --keep,\n"         \
    "                       --constrain, --freeze and --drop that names a feature decides)\n"       \
    "  --check LIST         put off contractions that fail these tests: flips,compactness,\n"       \
    "                       or none (default: flips)\n"
#define KESTOVAR_WELD_JOIN_OPTIONS_HELP                                                         \
    "  --weld               first merge the points of each object that lie exactly together\n"  \
    "                       (a file that repeats each point for every face using it would\n"    \
    "                       reduce apart into holes)\n"                                         \
    "  --join               first merge the polygonal objects into one (named after the file\n" \
    "                       when there are several) and weld it: objects that meet along a\n"   \
    "                       border (the groups of one OBJ mesh) then reduce as one surface,\n"  \
    "                       without gaps along their seams\n"

// Consumes argv[i] (and its value, advancing i) when it is one of the shared options, the
// output or INPUT. Returns false after printing the usage error (unknown option, extra argument).
bool TakeSharedOption(const char* command, const char* outputKind, int argc, char** argv, int& i,
                      SharedOptions& options);

// One reduction: exactly one of ratio (0..1), faces and points is non-negative; `modes` are
// optimisation mode bits; threads 0 keeps the library's worker count.
struct ReduceSettings {
    double ratio = -1;
    int faces = -1, points = -1, threads = 0;
    unsigned long long modes = kDefaultModes;
    bool selectionOnly = false, progressBar = false;
    // Progressive ratios: an object smaller than the largest keeps all its faces until the
    // ratio falls below a threshold set by its size, and reaches the coarsest level with the others.
    bool progressive = false;
    // Points of an object lying exactly together are merged before the reduction.
    bool weld = false;
    // Every polygonal object is merged into one before the reduction (and then welded).
    bool join = false;
    // The warnings about the input itself (points out of range, a triangle soup, seams between
    // objects); off for a further run on the same file, which would only repeat them.
    bool inputWarnings = true;
};
// The settings the shared options give (modes, threads, --progressive, --weld, --join).
ReduceSettings SettingsOf(const SharedOptions& shared);
struct ReduceReport {
    // Before: the reducible scene (polygons split into triangles, degenerate faces dropped);
    // facesRead: the faces of the file as read.
    int facesRead = 0, facesBefore = 0, facesAfter = 0, pointsBefore = 0, pointsAfter = 0;
    int pointsWelded = 0;  // points merged into another by --weld
    double readSeconds = 0, optimizeSeconds = 0, saveSeconds = 0;
};
// One level to save: exactly one of ratio, faces and points non-negative.
struct ReduceLevel {
    double ratio = -1;
    int faces = -1, points = -1;
    std::string output;
};
// Routes SIGINT (Ctrl-C), SIGTERM (kill, timeout) and SIGHUP (a closed terminal) to the
// cancellation of the reductions for its lifetime, then restores the previous handlers unless an
// interrupt came (the process then ends cancelled, and a further signal while it winds down still
// ends it with the cancelled code). A command that reduces holds one from before the library
// starts, so that an interrupt at any moment of the run cancels it (instead of killing the
// process and leaving a half-written temporary file beside the output).
// Whether one of those signals came under the current InterruptGuard.
bool Interrupted();
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    static constexpr int kSignalCount = 3;
    static constexpr int kSignals[kSignalCount] = {SIGINT, SIGTERM, SIGHUP};
    void (*m_previous[kSignalCount])(int);
};
// Reads `input`, optimises it once and saves every level in order by playback (library
// initialised by the caller); messages on stderr. Returns 0 or the tool's exit code.
int ReduceFileLevels(const std::string& input, const ReduceSettings& settings, const std::vector<ReduceLevel>& levels,
                     std::vector<ReduceReport>& reports);
// Reads `input`, reduces it and saves the result to `output` (library initialised by the
// caller); messages on stderr. Returns 0 or the tool's exit code.
int ReduceFile(const std::string& input, const std::string& output, const ReduceSettings& settings,
               ReduceReport& report);

// The sampled distances between two files, both ways (absolute), and the relative Hausdorff
// distance, with a progress bar per direction on stderr when `progressBar`. Returns 0 or the
// tool's exit code (library initialised by the caller).
struct CompareReport {
    double diagonal = 0, hausdorff = 0;
    double max[2] = {0, 0}, mean[2] = {0, 0}, rms[2] = {0, 0};  // [0] A to B, [1] B to A
};
int CompareFiles(const std::string& a, const std::string& b, CompareReport& report, bool progressBar = false);

// kestovar compare A B [--json] [-q]
int RunCompare(int argc, char** argv);
// kestovar lod INPUT -o DIR --ratios R1,R2,...
int RunLod(int argc, char** argv);
// kestovar info FILE... [--objects] [--json]
int RunInfo(int argc, char** argv);

}  // namespace kestovar_tool
