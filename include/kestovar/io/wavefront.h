// CWavefrontIo: the built-in reader and writer of Wavefront OBJ geometry files (".obj", class
// WAVF) and their MTL material libraries (".mtl").
//
// Reading takes two passes over the text. The first counts vertices, texture coordinates,
// normals and, per group, faces and their corners, and collects the material libraries, which
// are read before the second pass; the second parses every number into arrays sized by the
// first, so nothing grows while parsing. Numbers are parsed with std::from_chars (the decimal
// separator is always '.'), and the calling thread's cancel state is tested on every line.
//
// What a file becomes:
//  - one scene node per group ("g" starts a group named by the rest of its line, "o" one named by
//    the token after the keyword; faces before any of them go to a group named "default"), each
//    holding a polymesh with the points its faces use; groups without faces are dropped, except
//    that a file with points and no face at all gives one node holding every point;
//  - face corners index the points (1-based; negative indices count back from the last element
//    read); texture coordinates go into a CUVWChannel and normals into a CSpecNormalChannel of the
//    object, whose faces match the geometric faces corner for corner; a face without texture
//    coordinates (or normals) has a non-live channel face. All objects of one file share the
//    texture channel identifier that the file's diffuse maps name;
//  - the format of a face line is the format of its first token (v, v/vt, v/vt/vn or v//vn);
//    reading stops at the first token of another format; a face left with fewer than 3 corners
//    is dropped; a face of more than 65535 corners (more than a face record holds) becomes the
//    triangles of its ear clipping (CTriangulateFaceHelper), in consecutive faces at its place,
//    their channel faces taking the texture coordinates and normals of the same corners;
//  - "usemtl" names the material of the faces that follow (initially "default"); materials are
//    looked up by name in the scene's table and created with default parameters when no library
//    defined them; vertex colours ("v x y z r g b", or ZBrush's "#MRGB" comment lines) go into a
//    CVCChannel of each object; "l" and "p" elements and free-form geometry are ignored.
//
// A "v", "vt" or "vn" line is read as "%f" reads it: the numbers up to the first that does not
// parse ("-1.#IND00", an exporter's NaN, reads as -1 and stops there), the missing ones 0, with
// a warning naming the first such line.
//
// Failures (IO_FILE_RESULT): a file that cannot be opened gives IO_FILE_CANT_OPEN; an index of 0
// or outside the elements of the file, or a line of 1025 characters or more before any vertex
// (the text is not taken for OBJ) give
// IO_FILE_BAD_FORMAT and no scene; a cancel gives
// IO_FILE_CANCELED. File errors after opening give IO_FILE_DISK_FULL or IO_FILE_ACCESS_DENIED
// when that is their cause (else IO_FILE_CANT_OPEN), exhausted memory IO_FILE_NO_MEMORY; none of
// these raises. UTF-16 text (with its byte-order mark) is read as its UTF-8 conversion.
//
// Writing produces an OBJ file and, beside it, the MTL library named after it, both with the
// decimal point whatever the process locale. Numbers are written as "%f" writes them. Points of
// every geometric node are written in world space (node transform applied; normals by its inverse
// transpose; the corners of each face reversed when the transform mirrors, so that faces keep
// facing out); identical normals and identical texture coordinates are written once; indices
// count across all nodes of the file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kestovar/core/array.h"
#include "kestovar/core/export.h"
#include "kestovar/core/xstring.h"
#include "kestovar/io/parser.h"

namespace kestovar {

class C3DScene;

class KESTOVAR_API CWavefrontIo : public C3DParser {
public:
    // Class code of the format ("WAVF").
    static constexpr uint32_t kClass = 0x57415646;
    // Forced and default export flags written by SaveDefaultOptions.
    static constexpr uint32_t kExportForcedFlags = 0x90003;
    static constexpr uint32_t kExportDefaultFlags = 0x20000;
    // A line at least this long met before any vertex rejects the file.
    static constexpr int kMaxFirstLineLength = 1025;

    explicit CWavefrontIo(CFileIo* io = nullptr);
    ~CWavefrontIo() override;

    C3DScene* Read(const wchar_t* fileName, CSceneImportOptions& options) override;
    void SaveDefaultOptions(CSceneExportOptions& options) override;
    // Writes `fileName` and the material library named after options.GetTargetFileName() (after
    // `fileName` when no target is set), the library through a temporary file of the options.
    bool Save(const wchar_t* fileName, C3DScene& scene, CSceneExportOptions& options) override;

    // What an OBJ read has to say beyond its result.
    struct CReadNotes {
        // Where malformed text went wrong ("line 12: a face corner with vertex index 9, but the
        // file has 8 \"v\" lines"); empty after any other outcome.
        CXStringA problem;
        // What was read with a loss ("material library \"a.mtl\" not found: ...").
        CXArray<CXStringA> warnings;
    };

    // ---- entry points without the frame (tools, tests, fuzzing) ----
    // Each sets `result` to IO_FILE_OK or the failure's IO_FILE_RESULT and, when `notes` is not
    // null, fills it anew. Read, the frame's entry, logs the notes in the import options: the
    // problem as an error entry after the error's own, each warning as a warning entry.
    // Reads an OBJ file; material libraries are looked for beside it. Returns a new scene (the
    // caller's) or null.
    static C3DScene* ReadObjFile(const wchar_t* fileName, int& result, CReadNotes* notes = nullptr);
    // Reads OBJ text from memory; material libraries are looked for in `directory` (none are
    // read when it is null).
    static C3DScene* ReadObjMemory(const void* data, size_t size, const wchar_t* directory, int& result,
                                   CReadNotes* notes = nullptr);
    // Reads MTL text into `scene`'s material table: "newmtl" starts (or, for a name already in
    // the table, resumes) a material; Ka, Kd and Ks set the ambient, diffuse and specular colours
    // (components in [0, 1], one value standing for grey); "d" sets the transparency to 1 - d and
    // "Tr" to its value; "Ns" is kept in the material's custom data (kMtlShininessID); map_Kd
    // (any case) names the diffuse map, read through `uvwChannelID`; its -o and -s options become
    // the map's translation and scale keys at time 0, its other options are skipped. Returns the
    // number of materials the text named; -1 when the file cannot be opened.
    static int ReadMtlFile(const wchar_t* fileName, C3DScene& scene, unsigned int uvwChannelID);
    static int ReadMtlMemory(const void* data, size_t size, C3DScene& scene, unsigned int uvwChannelID);
    // Writes `scene` to `fileName` and its materials to `mtlFileName` (whose bare name the OBJ
    // file's "mtllib" line gives as `mtlName`). A diffuse map's translation and scale at time 0,
    // when not the identity's, are written before its name as the -o and -s options.
    static bool WriteObjFile(const wchar_t* fileName, C3DScene& scene, const wchar_t* mtlFileName,
                             const wchar_t* mtlName, int& result);

    // Custom-data identifier of a material's MTL "Ns" value (float).
    static constexpr uint32_t kMtlShininessID = 0x4D544E53;  // MTNS
};

}  // namespace kestovar
