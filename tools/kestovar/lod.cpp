// `kestovar lod`: one optimisation of every object, then one file per level of a list (ratios or
// totals), each played back from the recorded reduction, optionally measured against the input.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "commands.h"
#include "kestovar/kestovar.h"
#include "scene_util.h"

namespace kestovar_tool {
namespace {

const char kLodHelp[] =
    "usage: kestovar lod INPUT -o DIR [--ratios R1,R2,... | --faces N1,N2,... | --points N1,N2,...]\n"
    "                     [options]\n"
    "\n"
    "Reduces every object of INPUT once, then saves one file per level of the list, in that order,\n"
    "by playing the recorded reduction back: DIR/NAME-lod0.EXT for the first level, and so on.\n"
    "\n"
    "  -o, --output DIR     folder of the levels (created when missing, and removed again\n"
    "                       with what it holds when the run fails)\n"
    "  --format EXT         file type of the levels: obj, 3dif (which also keeps vertex\n"
    "                       colours) or a plug-in's (default: the type of INPUT)\n"
    "  --ratios LIST        fractions of the faces of every object to keep\n"
    "                       (default 1,0.5,0.25,0.1)\n"
    "  --faces LIST         about this many faces in total, one level per number\n"
    "  --points LIST        about this many points in total, one level per number\n"
    "  --measure            also measure each level's distance to the input, as compare does\n"
    "                       (relative Hausdorff distance)\n" KESTOVAR_FEATURE_OPTIONS_HELP
        KESTOVAR_WELD_JOIN_OPTIONS_HELP
    "  --progressive        objects smaller than the largest keep more of their faces: each\n"
    "                       ratio applies in full to the largest object, a smaller one is\n"
    "                       reduced only once the ratio falls below a threshold set by its\n"
    "                       size, and all reach their coarsest level together\n"
    "  --threads N          worker threads (default: all cores)\n"
    "  --json               print the result as JSON on stdout\n"
    "  -q, --quiet          no progress bar and no table\n"
    "  -h, --help           show this help\n"
    "\n"
    "Exit status: 0 success, 1 bad usage, 2 input/output error, 3 cancelled, 4 other failure.\n";

// The levels of --ratios, --faces or --points (`option`): each item becomes one level with that
// target, its output named later.
bool ParseLevels(const char* option, const char* list, std::vector<ReduceLevel>& levels) {
    levels.clear();
    return ForEachListItem("lod", option, list, [&](const std::string& item) {
        ReduceLevel level;
        if (!std::strcmp(option, "--ratios")) {
            if (!ParseDouble("lod", option, item.c_str(), level.ratio)) return false;
            if (!(level.ratio >= 0 && level.ratio <= 1))
                return UsageError("lod", "ratios must lie in [0, 1], got", item.c_str()), false;
        } else if (!ParseInt("lod", option, item.c_str(),
                             !std::strcmp(option, "--faces") ? level.faces : level.points)) {
            return false;
        }
        levels.push_back(level);
        return true;
    });
}

// What a level asked for, for the table ("ratio 0.5", "faces 1000") and the JSON ("\"ratio\": 0.5").
std::string LevelTarget(const ReduceLevel& level, bool json) {
    char text[48];
    if (level.ratio >= 0)
        std::snprintf(text, sizeof text, json ? "\"ratio\": %.9g" : "ratio %-6g", level.ratio);
    else if (level.faces >= 0)
        std::snprintf(text, sizeof text, json ? "\"target_faces\": %d" : "faces %-6d", level.faces);
    else
        std::snprintf(text, sizeof text, json ? "\"target_points\": %d" : "points %-5d", level.points);
    return text;
}

}  // namespace

int RunLod(int argc, char** argv) {
    namespace fs = std::filesystem;
    SharedOptions shared;
    std::vector<ReduceLevel> levels;
    for (double ratio : {1.0, 0.5, 0.25, 0.1}) levels.push_back(ReduceLevel{ratio, -1, -1, std::string()});
    const char* levelOption = nullptr;
    bool json = false;
    std::string format;  // the levels' extension with its point; empty: the input's
    for (int i = 0; i < argc; ++i) {
        const char* a = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!std::strcmp(a, "-h") || !std::strcmp(a, "--help")) {
            std::fputs(kLodHelp, stdout);
            return 0;
        } else if (!std::strcmp(a, "--ratios") || !std::strcmp(a, "--faces") || !std::strcmp(a, "--points")) {
            if (levelOption && std::strcmp(levelOption, a))
                return UsageError("lod", "give only one of --ratios, --faces and --points"), kExitUsage;
            levelOption = a;
            if (!ParseLevels(a, next, levels)) return kExitUsage;
            ++i;
        } else if (!std::strcmp(a, "--json")) {
            json = true;
        } else if (!std::strcmp(a, "--format")) {
            if (!next || !*next || std::strchr(next, '/'))
                return UsageError("lod", "--format expects a file extension such as obj or 3dif"), kExitUsage;
            format = next[0] == '.' ? "" : ".";
            format += next;
            ++i;
        } else if (!TakeSharedOption("lod", "folder", argc, argv, i, shared)) {
            return kExitUsage;
        }
    }
    const std::string& input = shared.input;
    const std::string& dir = shared.output;
    const bool quiet = shared.quiet;
    if (input.empty()) return UsageError("lod", "missing INPUT"), kExitUsage;
    if (dir.empty()) return UsageError("lod", "missing -o DIR"), kExitUsage;
    ReduceSettings settings = SettingsOf(shared);
    const fs::path source(input);
    for (size_t i = 0; i < levels.size(); ++i) {
        levels[i].output = (fs::path(dir) / (source.stem().string() + "-lod" + std::to_string(i) +
                                             (format.empty() ? source.extension().string() : format)))
                               .string();
        // The distances are measured against the input file, which must still be there.
        if (shared.measure && ReplacesFile(levels[i].output, input))
            return UsageError("lod", "--measure compares the levels with INPUT, which a level would replace:",
                              levels[i].output.c_str()),
                   kExitUsage;
    }
    // A folder this run creates goes again when the run fails, with the levels saved into it.
    OutputFolder folder;
    if (!folder.Create(dir)) return kExitIo;
    settings.progressBar = !quiet && !json && isatty(STDERR_FILENO);

    InterruptGuard interrupt;
    LibrarySession session;
    std::vector<ReduceReport> reports;
    const int status = ReduceFileLevels(input, settings, levels, reports);
    if (status) return status;
    // Nothing shows a distance under --quiet without --json: it is not measured then.
    const bool measure = shared.measure && (json || !quiet);
    // Each level's relative Hausdorff distance to the input, as `compare` measures it (negative
    // when not measured: a level without faces has no surface to measure).
    std::vector<double> distance(levels.size(), -1.0);
    if (measure)
        for (size_t i = 0; i < levels.size(); ++i) {
            if (reports[i].facesAfter == 0) continue;
            CompareReport compared;
            const int result = CompareFiles(input, levels[i].output, compared);
            if (result) return result;
            distance[i] = compared.hausdorff;
        }
    folder.Keep();
    if (json) {
        std::string list;
        for (size_t i = 0; i < levels.size(); ++i) {
            const std::string hausdorff = measure ? ", \"hausdorff\": " + JsonNumberOrNull(distance[i]) : "";
            list += std::string(i ? ", " : "") + "{" + LevelTarget(levels[i], true) +
                    ", \"faces\": " + std::to_string(reports[i].facesAfter) +
                    ", \"points\": " + std::to_string(reports[i].pointsAfter) + hausdorff +
                    ", \"output\": " + JsonString(levels[i].output) + "}";
        }
        std::printf(
            "{\"input\": %s, \"faces\": %d, \"points\": %d, \"welded_points\": %d, \"read_s\": %.3f, "
            "\"optimize_s\": %.3f, \"levels\": [%s]}\n",
            JsonString(input).c_str(), reports[0].facesBefore, reports[0].pointsBefore,
            reports[0].pointsWelded, reports[0].readSeconds, reports[0].optimizeSeconds, list.c_str());
    } else if (!quiet) {
        std::printf("%s: optimised once in %.3f s", input.c_str(), reports[0].optimizeSeconds);
        if (reports[0].pointsWelded > 0)
            std::printf(", after welding %d points onto others", reports[0].pointsWelded);
        std::printf("\n");
        for (size_t i = 0; i < levels.size(); ++i) {
            std::printf("  %s %8d faces %8d points  ", LevelTarget(levels[i], false).c_str(),
                        reports[i].facesAfter, reports[i].pointsAfter);
            if (measure) {
                if (distance[i] >= 0)
                    std::printf("Hausdorff %.6f  ", distance[i]);
                else
                    std::printf("Hausdorff -         ");
            }
            std::printf("%s\n", levels[i].output.c_str());
        }
        if (measure)
            std::printf("Hausdorff: the distance to the input, relative to its bounding-box diagonal\n");
    }
    return 0;
}

}  // namespace kestovar_tool
