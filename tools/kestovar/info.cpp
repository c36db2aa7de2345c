// `kestovar info FILE...`: what each scene file holds.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "kestovar/kestovar.h"
#include "scene_util.h"

namespace kestovar_tool {
namespace {

const char kInfoHelp[] =
    "usage: kestovar info FILE... [--objects] [--json]\n"
    "\n"
    "Prints the nodes, polygonal objects, points, faces (triangles and larger polygons),\n"
    "materials, channels, bounding box, open-border and non-manifold edge counts of each FILE\n"
    "(a blank line between files; with --json, one object a line). A file that cannot be read\n"
    "is reported and the others are still printed.\n"
    "Shared objects are counted once. Points are those the faces use, and every point of an\n"
    "object without faces (a point cloud). Points with an infinite or NaN coordinate are\n"
    "counted apart and left out of the box.\n"
    "\n"
    "  --objects   also list each polygonal object: name, points, faces, open-border and\n"
    "              non-manifold edges (\"per_object\" in JSON)\n"
    "  --json      print each result as JSON on stdout\n"
    "  -h, --help  show this help\n"
    "\n"
    "Exit status: 0 success, 1 bad usage, 2 a file could not be read, 4 other failure.\n";

// Prints what the scene read from `path` holds, as text or as one line of JSON.
void PrintFigures(const std::string& path, const SceneFigures& f, bool json, bool objects) {
    if (json) {
        std::string channels, perObject;
        for (const auto& c : f.channels)
            channels += (channels.empty() ? "{" : ", {") + std::string("\"type\": ") + JsonString(c.type) +
                        ", \"count\": " + std::to_string(c.count) + ", \"values\": " + std::to_string(c.values) + "}";
        if (objects) {
            for (const auto& o : f.perObject)
                perObject += (perObject.empty() ? "{" : ", {") + std::string("\"name\": ") +
                             JsonString(o.name) + ", \"points\": " + std::to_string(o.points) +
                             ", \"faces\": " + std::to_string(o.faces) +
                             ", \"polygons\": " + std::to_string(o.polygons) +
                             ", \"border_edges\": " + std::to_string(o.borderEdges) +
                             ", \"non_manifold_edges\": " + std::to_string(o.nonManifoldEdges) + "}";
            perObject = ", \"per_object\": [" + perObject + "]";
        }
        // No finite point, no box: null, as the text form leaves its line out.
        char box[160] = "null";
        if (f.hasBox)
            std::snprintf(box, sizeof box, "[[%.9g, %.9g, %.9g], [%.9g, %.9g, %.9g]]", f.boxMin[0],
                          f.boxMin[1], f.boxMin[2], f.boxMax[0], f.boxMax[1], f.boxMax[2]);
        std::printf(
            "{\"file\": %s, \"nodes\": %d, \"objects\": %d, \"points\": %d, \"faces\": %d, "
            "\"triangles\": %d, \"polygons\": %d, \"materials\": %d, \"channels\": [%s], "
            "\"box\": %s, \"border_edges\": %d, \"non_manifold_edges\": %d, \"non_finite_points\": %d%s}\n",
            JsonString(path).c_str(), f.nodes, f.objects, f.points, f.faces, f.triangles, f.polygons,
            f.materials, channels.c_str(), box, f.borderEdges, f.nonManifoldEdges, f.nonFinitePoints,
            perObject.c_str());
        return;
    }
    std::printf("file:                %s\n", path.c_str());
    std::printf("nodes:               %d\n", f.nodes);
    std::printf("objects:             %d\n", f.objects);
    std::printf("points:              %d\n", f.points);
    std::printf("faces:               %d (%d triangles, %d polygons)\n", f.faces, f.triangles, f.polygons);
    std::printf("materials:           %d\n", f.materials);
    std::printf("channels:           ");
    if (f.channels.empty()) std::printf(" none");
    for (size_t i = 0; i < f.channels.size(); ++i)
        std::printf("%s %s (%d, %d values)", i ? "," : "", f.channels[i].type.c_str(), f.channels[i].count,
                    f.channels[i].values);
    std::printf("\n");
    if (f.hasBox)
        std::printf("bounding box:        (%g, %g, %g) - (%g, %g, %g)\n", f.boxMin[0], f.boxMin[1], f.boxMin[2],
                    f.boxMax[0], f.boxMax[1], f.boxMax[2]);
    std::printf("open-border edges:   %d\n", f.borderEdges);
    std::printf("non-manifold edges:  %d\n", f.nonManifoldEdges);
    // Only where there are some: points beyond the float range or not numbers (left out of the
    // box above).
    if (f.nonFinitePoints > 0) std::printf("non-finite points:   %d\n", f.nonFinitePoints);
    if (!objects) return;
    std::printf("%-24s %9s %9s %9s %9s %12s\n", "object", "points", "faces", "polygons", "border",
                "non-manifold");
    for (const auto& o : f.perObject)
        std::printf("%-24s %9d %9d %9d %9d %12d\n", o.name.empty() ? "(unnamed)" : o.name.c_str(), o.points,
                    o.faces, o.polygons, o.borderEdges, o.nonManifoldEdges);
}

}  // namespace

int RunInfo(int argc, char** argv) {
    std::vector<std::string> paths;
    bool json = false, objects = false;
    for (int i = 0; i < argc; ++i) {
        const char* a = argv[i];
        if (!std::strcmp(a, "-h") || !std::strcmp(a, "--help")) {
            std::fputs(kInfoHelp, stdout);
            return 0;
        } else if (!std::strcmp(a, "--json")) {
            json = true;
        } else if (!std::strcmp(a, "--objects")) {
            objects = true;
        } else if (a[0] == '-' && a[1]) {
            return UsageError("info", "unknown option", a), kExitUsage;
        } else {
            paths.push_back(a);
        }
    }
    if (paths.empty()) return UsageError("info", "missing FILE"), kExitUsage;

    LibrarySession session;
    int status = 0;
    bool printed = false;
    for (const std::string& path : paths) {
        // Each scene is released before the next is read, so that a list of large files needs
        // the memory of one.
        const kestovar::XHeld<kestovar::C3DScene> scene = ReadScene(path, false);
        if (!scene) {
            status = kExitIo;
            continue;
        }
        if (printed && !json) std::printf("\n");
        PrintFigures(path, MeasureScene(*scene), json, objects);
        printed = true;
        std::fflush(stdout);
    }
    return status;
}

}  // namespace kestovar_tool
