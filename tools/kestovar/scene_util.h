// Helpers shared by the subcommands: library start-up, reading and saving scenes with the
// library's messages, scene figures, and the small pieces of option parsing.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "kestovar/core/object.h"

namespace kestovar {
class C3DScene;
class C3DObject;
}  // namespace kestovar

namespace kestovar_tool {

// Initialises the library with its built-in formats (and a log when a path is given); closes it
// on destruction. Closing releases the exceptions the library raised, so while a library
// exception leaves the command the close waits for CloseDeferredSession, which main calls once
// it has reported the exception.
struct LibrarySession {
    explicit LibrarySession(const wchar_t* logPath = nullptr);
    ~LibrarySession();
    LibrarySession(const LibrarySession&) = delete;
    LibrarySession& operator=(const LibrarySession&) = delete;

private:
    int m_uncaught;  // exceptions in flight at the start
};
// Closes the library when a session left it open for an exception in flight.
void CloseDeferredSession();

std::string OneLine(std::string text);
std::wstring Widen(const std::string& text);
std::string Narrow(const wchar_t* text);

// Reads `path`; on failure prints "kestovar: PATH: MESSAGE" (the library's message) and returns
// null. With `forOptimizer` the polygonal objects are created contraction-ready; with `join`
// they are first merged into one (JoinObjects).
kestovar::XHeld<kestovar::C3DScene> ReadScene(const std::string& path, bool forOptimizer, bool join = false);
// Saves `scene` to `path` (through the library's temporary file); prints the error on failure.
bool SaveScene(kestovar::C3DScene& scene, const std::string& path);
// The exit code of the last failed ReadScene or SaveScene: kExitFailed when the library ran out
// of memory (said as "kestovar: out of memory", as the tool says it elsewhere), else kExitIo.
int LastIoFailureExit();

// Whether `path` is a name the library can be given: file names cross into it as UTF-8, so a name
// whose bytes are not UTF-8 would name another file. Otherwise prints why and returns false.
bool IsUtf8Name(const std::string& path);
// Whether `output`, when saved, would replace the file `input` (the same file under any name).
bool ReplacesFile(const std::string& output, const std::string& input);

// Creates a folder (and its missing parents) for the outputs of a command, and removes what it
// created unless Keep() is called: a command that fails leaves no empty folder behind.
class OutputFolder {
public:
    OutputFolder() = default;
    ~OutputFolder();
    // Creates `path`; prints the system's message and returns false on failure.
    bool Create(const std::string& path);
    void Keep() { m_created.clear(); }
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;

private:
    std::string m_created;  // the outermost folder this object created
};

// Whether a scene can be saved to `path`: a format the library writes, in a folder that exists and
// is writable. Otherwise prints the library's message for the failure, as SaveScene would after
// the work, and returns false.
bool CanSaveTo(const std::string& path);

// Totals over the polygonal objects of a scene (each shared object once).
struct SceneFigures {
    int nodes = 0, objects = 0, points = 0, faces = 0, triangles = 0, polygons = 0;
    int materials = 0, borderEdges = 0, nonManifoldEdges = 0;
    int nonFinitePoints = 0;  // points with an infinite or NaN coordinate, left out of the box
    bool hasBox = false;
    float boxMin[3] = {0, 0, 0}, boxMax[3] = {0, 0, 0};
    struct Channels {
        std::string type;
        int count, values;  // channels of this type, and their data records summed
    };
    std::vector<Channels> channels;  // per type, in order of first appearance
    // The same counts per polygonal object, in scene order (a shared object once, under the
    // first node that holds it).
    struct Object {
        std::string name;
        int points, faces, polygons, borderEdges, nonManifoldEdges;
    };
    std::vector<Object> perObject;
};
SceneFigures MeasureScene(kestovar::C3DScene& scene);

// The live faces of the polygonal objects of a scene (each shared object once), the diagonal
// of the box of their finite points (object coordinates; 0 without points) and the number of
// points with a coordinate that is infinite or not a number.
struct SceneExtent {
    int faces = 0;
    double diagonal = 0;
    int nonFinite = 0;
    double largest = 0;  // the largest magnitude of a finite coordinate
    // In the objects where most faces share no point with another face (a file that repeats each
    // point for every face using it, as STL-like exports do), the points that lie exactly on
    // another point of their object: what welding would merge.
    int looseCoincident = 0;
    bool colored = false;  // some object has a vertex-colour channel
};
SceneExtent MeasureExtent(kestovar::C3DScene& scene);

// The open-border edges that different polygonal objects of the scene have in common (both end
// points at equal world coordinates), as where the groups of one OBJ mesh meet, and how many
// objects have such an edge. Each object reduces on its own, so its border moves apart from the
// border it meets.
struct SharedBorders {
    int edges = 0;
    int objects = 0;
};
SharedBorders MeasureSharedBorders(kestovar::C3DScene& scene);

// Merges the points of every polymesh (each shared object once; only those of selected nodes
// when `selectedOnly`) that lie exactly together, with their channel values; returns how many
// points were merged away.
int WeldCoincidentPoints(kestovar::C3DScene& scene, bool selectedOnly);
// Merges every polymesh of the scene into one object, named after the file, so that the groups
// of one mesh reduce as one surface; false when there were two or more and they could not be.
bool JoinObjects(kestovar::C3DScene& scene, const std::string& path);

// One triangulated polymesh with every face of the scene in world coordinates, or null when the
// scene has no face.
kestovar::XHeld<kestovar::C3DObject> MergeToTriangles(kestovar::C3DScene& scene);

// Parsing helpers: print "kestovar SUBCOMMAND: MESSAGE" on stderr and return false on error.
bool ParseDouble(const char* command, const char* option, const char* text, double& value);
bool ParseInt(const char* command, const char* option, const char* text, int& value, int minimum = 0);
void UsageError(const char* command, const char* message, const char* detail = nullptr);

// Splits the comma-separated `list` of `option` and hands each item to `take`, which returns false
// after printing its own error. False, with a usage error, when the list is missing or empty.
template <class Take>
bool ForEachListItem(const char* command, const char* option, const char* list, Take&& take) {
    if (!list || !*list) {
        UsageError(command, (std::string(option) + " needs a list").c_str());
        return false;
    }
    const std::string text = list;
    for (size_t start = 0; start <= text.size();) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        if (!take(text.substr(start, comma - start))) return false;
        start = comma + 1;
    }
    return true;
}

// JSON string literal of `text` (quotes and backslashes escaped).
std::string JsonString(const std::string& text);
// `value` with nine significant digits, or null when it is negative (not measured).
std::string JsonNumberOrNull(double value);

// Seconds since an arbitrary origin, for the timings printed by the tool.
double NowSeconds();

}  // namespace kestovar_tool
