// The Wavefront OBJ/MTL reader and writer: real-world oddities, face token formats, index checks,
// groups and materials, the exact bytes written, and round trips.
#include "kestovar/io/wavefront.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "../../src/io/line_source.h"
#include "../../src/io/wavefront_text.h"
#include "io_test_util.h"
#include "kestovar/core/progress.h"
#include "kestovar/core/thread_registry.h"
#include "kestovar/io/file_io.h"
#include "kestovar/mesh/channel_lists.h"
#include "kestovar/mesh/channels.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/normal_channel.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/scene/scene.h"

namespace kestovar {
namespace {

const std::string kData = KESTOVAR_TEST_DATA;

struct SceneDeleter {
    void operator()(C3DScene* s) const { delete s; }
};
using ScenePtr = std::unique_ptr<C3DScene, SceneDeleter>;

ScenePtr ReadText(const std::string& text, int& result) {
    return ScenePtr(CWavefrontIo::ReadObjMemory(text.data(), text.size(), nullptr, result));
}

ScenePtr ReadPath(const std::string& path, int& result) {
    CXStringW name(path.c_str());
    return ScenePtr(CWavefrontIo::ReadObjFile(name, result));
}

int LineCount(const std::string& text) {
    return int(std::count(text.begin(), text.end(), '\n'));
}

std::string Slurp(const std::string& path) { return iotest::ReadFile(path); }

std::vector<C3DSceneNode*> Nodes(C3DScene& scene) {
    std::vector<C3DSceneNode*> nodes;
    for (C3DNodePos pos = scene.GetFirstNode(); pos;) nodes.push_back(scene.GetNextNode(pos));
    return nodes;
}

C3DGeomObject* Object(C3DSceneNode* node) { return node->GetGeomObject(); }

std::string Name(const CXStringW& text) {
    XCW2A utf8(text);
    return std::string(utf8.GetString(), size_t(utf8.GetLength()));
}

std::vector<int> Face(C3DGeomObject* o, int f) {
    int n;
    const int* idx = o->GetFaceList()->GetIndexes(unsigned(f), n);
    return std::vector<int>(idx, idx + n);
}

std::vector<int> ChannelFace(CChannel* c, int f) {
    int n;
    const int* idx = c->GetFaceList()->GetIndexes(unsigned(f), n);
    return std::vector<int>(idx, idx + n);
}

const char* kQuad =
    "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n"
    "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n"
    "vn 0 0 1\nvn 0 0 -1\n";

// ---- the shared oddity files ---------------------------------------------------------------------

// A fresh directory, removed with the object.
struct TempDir {
    iotest::ScratchDir scratch;
    const std::string path = scratch.path().string();
};

TEST(WavefrontQuirks, MaterialsComeFromTheLibraryOrAreCreatedByName) {
    int result = 0;
    ScenePtr scene = ReadPath(kData + "/quirks/cube_usemtl.obj", result);
    ASSERT_TRUE(scene);
    // mtl and mtl2 are defined by the library, mtl3 only named by usemtl.
    C3DMaterial* mtl2 = scene->GetMaterialByName(L"mtl2");
    C3DMaterial* mtl3 = scene->GetMaterialByName(L"mtl3");
    ASSERT_TRUE(mtl2 && mtl3 && scene->GetMaterialByName(L"mtl"));
    EXPECT_EQ(scene->GetMaterialTable().GetCount(), 3);
    EXPECT_EQ(mtl2->GetSpecularColor(0).r, 96);  // Ks 0.375 -> 95.6 rounded
    float ns = 0;
    EXPECT_TRUE(mtl2->GetCustomData().GetFloat(CWavefrontIo::kMtlShininessID, ns));
    EXPECT_EQ(ns, 16.0f);
    C3DFaceList* faces = Object(Nodes(*scene)[0])->GetFaceList();
    EXPECT_EQ(faces->GetFaceMaterial(0), mtl3->GetMaterialID());
    EXPECT_EQ(faces->GetFaceMaterial(6), mtl2->GetMaterialID());

    ScenePtr spaced = ReadPath(kData + "/quirks/space_in_material_name.obj", result);
    ASSERT_TRUE(spaced);
    C3DMaterial* plastic = spaced->GetMaterialByName(L"Hard Shiny Plastic White");
    ASSERT_TRUE(plastic);
    EXPECT_EQ(plastic->GetDiffuseColor(0).b, 105);  // Kd 0.411765
    EXPECT_EQ(Object(Nodes(*spaced)[0])->GetFaceList()->GetFaceMaterial(0), plastic->GetMaterialID());
}

// A material named in Windows-1252 ("Terraind\xE6k", as the shared regr01.obj has it) is the
// library's material in the OBJ file too, though its name is no UTF-8: one material, with the
// library's colours, named in readable wide text; names that differ only in such bytes stay
// apart, as do groups. A name that no library read defines is noted; "default" and names in a
// file without a library are not.
TEST(WavefrontQuirks, MaterialNamesMatchTheLibraryAndUndefinedOnesAreNoted) {
    iotest::ScratchDir dir;
    const std::string base = dir.path().string();
    std::ofstream(base + "/l.mtl")
        << "newmtl Terraind\xE6k\nKd 0 1 0\nnewmtl T\xFCr\nnewmtl T\xE4r\nnewmtl \x80\n";
    const std::string faces =
        "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\nusemtl Terraind\xE6k\nf 1 2 3\n"
        "usemtl x\nf 3 2 1\nusemtl y\nf 1 3 2\nusemtl x\nf 1 2 3\n"
        "g T\xFCr\nusemtl T\xFCr\nf 1 2 3\ng T\xE4r\nusemtl T\xE4r\nf 1 2 3\n";
    std::ofstream(base + "/a.obj") << "mtllib l.mtl\n" << faces;
    std::ofstream(base + "/b.obj") << faces;
    int result = 0;
    CWavefrontIo::CReadNotes notes;
    ScenePtr scene(CWavefrontIo::ReadObjFile(CXStringW((base + "/a.obj").c_str()), result, &notes));
    ASSERT_TRUE(scene);
    // The library's four, default, x and y.
    EXPECT_EQ(scene->GetMaterialTable().GetCount(), 7);
    const std::vector<C3DSceneNode*> nodes = Nodes(*scene);
    ASSERT_EQ(nodes.size(), 3u);
    C3DMaterial* terrain = scene->GetMaterialByID(Object(nodes[0])->GetFaceList()->GetFaceMaterial(1));
    ASSERT_TRUE(terrain);
    EXPECT_EQ(terrain->GetDiffuseColor(0).g, 255);
    EXPECT_EQ(std::wstring(terrain->GetName()), L"Terraind\u00E6k");
    EXPECT_TRUE(scene->GetMaterialByName(L"\u20AC"));  // Windows-1252's 0x80
    EXPECT_EQ(std::wstring(nodes[1]->GetName()), L"T\u00FCr");
    EXPECT_EQ(std::wstring(nodes[2]->GetName()), L"T\u00E4r");
    EXPECT_EQ(Object(nodes[1])->GetFaceList()->GetFaceMaterial(0), scene->FindMaterialID(L"T\u00FCr"));
    EXPECT_EQ(Object(nodes[2])->GetFaceList()->GetFaceMaterial(0), scene->FindMaterialID(L"T\u00E4r"));
    ASSERT_EQ(notes.warnings.GetSize(), 1);
    EXPECT_EQ(
        std::string(notes.warnings[0].GetString()),
        "2 materials are used that no material library defines (\"x\", \"y\"): they keep default colours");

    scene.reset(CWavefrontIo::ReadObjFile(CXStringW((base + "/b.obj").c_str()), result, &notes));
    ASSERT_TRUE(scene);
    EXPECT_EQ(notes.warnings.GetSize(), 0);
}

// ---- face tokens and indices -----------------------------------------------------------------------

TEST(WavefrontFaces, EachTokenFormatFillsTheMatchingChannels) {
    int result = 0;
    ScenePtr scene = ReadText(std::string(kQuad) +
                                  "f 1//1 2//2 3//1\n"      // normals only
                                  "f 1/1/2 3/3/2 4/4/2\n"   // both
                                  "f 1/4 2/3 3/2 4/1\n"     // texture only
                                  "f 4 3 2\n",              // neither
                              result);
    ASSERT_EQ(result, IO_FILE_OK);
    C3DGeomObject* o = Object(Nodes(*scene)[0]);
    ASSERT_EQ(o->GetFaceNbr(), 4);
    EXPECT_EQ(Face(o, 2), (std::vector<int>{0, 1, 2, 3}));
    CChannel* uv = o->GetChannelByIndex(0, CHANNEL_UVW, false);
    CChannel* nrm = o->GetChannelByIndex(0, CHANNEL_SPEC_NORMAL, false);
    ASSERT_TRUE(uv && nrm);
    CFaceList* uvFaces = uv->GetFaceList();
    CFaceList* nFaces = nrm->GetFaceList();
    // Channel faces are live exactly where the line carried the values, corner for corner.
    EXPECT_FALSE(uvFaces->IsFaceLive(0));
    EXPECT_TRUE(uvFaces->IsFaceLive(1));
    EXPECT_TRUE(uvFaces->IsFaceLive(2));
    EXPECT_FALSE(uvFaces->IsFaceLive(3));
    EXPECT_TRUE(nFaces->IsFaceLive(0));
    EXPECT_TRUE(nFaces->IsFaceLive(1));
    EXPECT_FALSE(nFaces->IsFaceLive(2));
    // Values follow the indices: texture corner 0 of face 2 is vt 4 = (0, 1).
    const CUVWPointList* uvPoints = static_cast<CUVWChannel*>(uv)->GetUVWPointList();
    const CUVWPoint& t = uvPoints->GetAt(ChannelFace(uv, 2)[0]);
    EXPECT_EQ(t.u, 0.0f);
    EXPECT_EQ(t.v, 1.0f);
    const C3DVectorList* normals = static_cast<CSpecNormalChannel*>(nrm)->GetNormalVectorList();
    EXPECT_EQ(normals->GetSize(), 2);
    EXPECT_EQ(normals->GetAt(ChannelFace(nrm, 1)[0]).z, -1.0f);
    EXPECT_EQ(normals->GetAt(ChannelFace(nrm, 0)[2]).z, 1.0f);
}

// The colours of one object's points, in point order, as 0xRRGGBB.
std::vector<unsigned> PointColors(C3DGeomObject* o) {
    std::vector<unsigned> out;
    auto* vc = static_cast<CVCChannel*>(o->GetChannelByIndex(0, CHANNEL_VC, false));
    if (!vc) return out;
    const CVCPointList* colors = vc->GetVCPointList();
    EXPECT_EQ(colors->GetSize(), o->GetPointList()->GetSize());
    // Per-vertex colours: the channel's faces are the object's, corner for corner.
    EXPECT_EQ(vc->GetFaceList()->GetSize(), o->GetFaceNbr());
    for (int f = 0; f < o->GetFaceNbr(); ++f) EXPECT_EQ(ChannelFace(vc, f), Face(o, f));
    for (int i = 0; i < colors->GetSize(); ++i) {
        const CRGBColor& c = colors->GetPoints()[i].color;
        out.push_back(unsigned(c.r) << 16 | unsigned(c.g) << 8 | c.b);
    }
    return out;
}

// "v x y z r g b" (MeshLab, scanners) gives a colour channel. Components are fractions, rounded
// to the nearest byte (above 1: full), unless all are whole numbers and some exceed 1: then the
// file writes bytes. A vertex without a
// colour is white, a fourth number alone (a weight) is no colour, and groups keep the colours of
// the points they use, through the renumbering and the faces dropped.
TEST(WavefrontFaces, VertexColorsBecomeAColorChannel) {
    int result = 0;
    ScenePtr scene = ReadText(
        "v 0 0 0 0.48627 0 1\nv 1 0 0 1 0.5 0.001\nv 1 1 0\nv 0 1 0 0.2 0.4 0.6 1\nv 2 2 2 0.5\n"
        "g a\nf 4 2 3\nf 1 2\ng b\nf 1 2 5\n",
        result);
    ASSERT_EQ(result, IO_FILE_OK);
    ASSERT_EQ(Nodes(*scene).size(), 2u);
    C3DGeomObject* a = Object(Nodes(*scene)[0]);
    ASSERT_EQ(a->GetFaceNbr(), 1);
    EXPECT_EQ(PointColors(a), (std::vector<unsigned>{0x336699, 0xFF8000, 0xFFFFFF}));
    EXPECT_EQ(PointColors(Object(Nodes(*scene)[1])), (std::vector<unsigned>{0x7C00FF, 0xFF8000, 0xFFFFFF}));

    scene = ReadText("v 0 0 0 255 0 12\nv 1 0 0 1 1 1\nv 0 1 0 0 0 300\nf 1 2 3\n", result);
    ASSERT_EQ(result, IO_FILE_OK);
    EXPECT_EQ(PointColors(Object(Nodes(*scene)[0])), (std::vector<unsigned>{0xFF000C, 0x010101, 0x0000FF}));
    // Fractions a little past 1 (a high dynamic range, or rounding) are fractions still.
    scene = ReadText("v 0 0 0 1.2 0 0.5\nv 1 0 0 1 1 1\nv 0 1 0 0 0 2\nf 1 2 3\n", result);
    ASSERT_EQ(result, IO_FILE_OK);
    EXPECT_EQ(PointColors(Object(Nodes(*scene)[0])), (std::vector<unsigned>{0xFF0080, 0xFFFFFF, 0x0000FF}));

    // ZBrush writes its colours (polypaint) in comment lines, "#MRGB" and one MMRRGGBB group of
    // hex digits (mask, red, green, blue) per vertex in file order; a line may end anywhere.
    scene = ReadText(
        "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\n#MRGB ff336699FFFF8000\n#mrgb  00102030 xx\nf 1 2 3\nf 2 4 3\n",
        result);
    ASSERT_EQ(result, IO_FILE_OK);
    EXPECT_EQ(PointColors(Object(Nodes(*scene)[0])),
              (std::vector<unsigned>{0x336699, 0xFF8000, 0x102030, 0xFFFFFF}));

    // Without colours there is no channel.
    scene = ReadText("v 0 0 0 1\nv 1 0 0\nv 0 1 0\nf 1 2 3\n", result);
    ASSERT_EQ(result, IO_FILE_OK);
    EXPECT_EQ(Object(Nodes(*scene)[0])->GetChannelByIndex(0, CHANNEL_VC, false), nullptr);
}

// Some exporters leave a value out by writing its field empty at the end of a token ("1//",
// "1/1/", "1/"). Such tokens read as the fields they have, in short tokens (the reader's
// one-word format test) and in long ones alike; more fields than three still stop the line.
TEST(WavefrontFaces, EmptyTrailingFieldsAreValuesLeftOut) {
    int result = 0;
    ScenePtr scene = ReadText(std::string(kQuad) +
                                  "f 1// 2// 3//\n"                 // point alone
                                  "f 1/1/ 2/2/ 3/3/ 4/4/\n"         // texture coordinates
                                  "f 1/ 2/ 3\n"                     // point alone, mixed
                                  "f 0000001/0000004/ 2/3/ 3/2/\n"  // long first token
                                  "f 1/1// 2/2/ 3/3/\n"             // four fields: nothing read
                                  "f 1/1/ 2/2/1 3/3/\n",            // a normal: the line stops
                              result);
    ASSERT_EQ(result, IO_FILE_OK);
    C3DGeomObject* o = Object(Nodes(*scene)[0]);
    ASSERT_EQ(o->GetFaceNbr(), 4);
    EXPECT_EQ(Face(o, 0), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(Face(o, 1), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(Face(o, 2), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(Face(o, 3), (std::vector<int>{0, 1, 2}));
    CChannel* uv = o->GetChannelByIndex(0, CHANNEL_UVW, false);
    ASSERT_TRUE(uv);
    EXPECT_EQ(o->GetChannelByIndex(0, CHANNEL_SPEC_NORMAL, false), nullptr);
    EXPECT_FALSE(uv->GetFaceList()->IsFaceLive(0));
    EXPECT_TRUE(uv->GetFaceList()->IsFaceLive(1));
    EXPECT_FALSE(uv->GetFaceList()->IsFaceLive(2));
    EXPECT_TRUE(uv->GetFaceList()->IsFaceLive(3));
    const CUVWPointList* uvPoints = static_cast<CUVWChannel*>(uv)->GetUVWPointList();
    EXPECT_EQ(uvPoints->GetAt(ChannelFace(uv, 3)[0]).v, 1.0f);  // vt 4 = (0, 1)
}

TEST(WavefrontFaces, ReadingStopsAtTheFirstTokenOfAnotherFormat) {
    int result = 0;
    // The second line changes format at its fourth token and keeps a triangle; the first at its
    // second token and is left with one corner, which is no face.
    ScenePtr scene = ReadText(std::string(kQuad) + "f 1/1/1 2/2 3/3/1\nf 1/1/1 2/2/1 3/3/1 4/4\n", result);
    ASSERT_EQ(result, IO_FILE_OK);
    C3DGeomObject* o = Object(Nodes(*scene)[0]);
    ASSERT_EQ(o->GetFaceNbr(), 1);
    EXPECT_EQ(Face(o, 0).size(), 3u);
    // The channels followed the dropped face.
    EXPECT_EQ(o->GetChannelByIndex(0, CHANNEL_UVW, false)->GetFaceList()->GetSize(), 1);
    EXPECT_EQ(ChannelFace(o->GetChannelByIndex(0, CHANNEL_UVW, false), 0).size(), 3u);

    // Both losses are noted, each with its line; a trailing comment loses nothing and is not.
    CWavefrontIo::CReadNotes notes;
    const std::string text = std::string(kQuad) + "f 1 2 3 # a comment\nf 1/1/1 2/2 3/3/1\nf 1 2 3 |\n";
    scene.reset(CWavefrontIo::ReadObjMemory(text.data(), text.size(), nullptr, result, &notes));
    ASSERT_EQ(result, IO_FILE_OK);
    ASSERT_EQ(notes.warnings.GetSize(), 2);
    EXPECT_EQ(
        std::string(notes.warnings[0].GetString()),
        "2 face lines stop at text that is not a corner in the format of their first corner (first at line " +
            std::to_string(LineCount(kQuad) + 2) + ": \"2/2\"); their faces keep the corners before it");
    EXPECT_EQ(std::string(notes.warnings[1].GetString()),
              "line " + std::to_string(LineCount(kQuad) + 2) + ": a face of fewer than 3 corners left out");
    // An "f" line without corners, bare or with blanks, is a face left out too.
    const std::string bare = std::string(kQuad) + "f\nf  \t\n";
    scene.reset(CWavefrontIo::ReadObjMemory(bare.data(), bare.size(), nullptr, result, &notes));
    ASSERT_EQ(notes.warnings.GetSize(), 1);
    EXPECT_EQ(std::string(notes.warnings[0].GetString()),
              "2 faces of fewer than 3 corners left out (first at line " +
                  std::to_string(LineCount(kQuad) + 1) + ")");
    // One of each reads in the singular.
    const std::string one = std::string(kQuad) + "f 1 2 x\n";
    scene.reset(CWavefrontIo::ReadObjMemory(one.data(), one.size(), nullptr, result, &notes));
    ASSERT_EQ(notes.warnings.GetSize(), 2);
    EXPECT_EQ(
        std::string(notes.warnings[0].GetString()),
        "line " + std::to_string(LineCount(kQuad) + 1) +
            ": a face line stops at \"x\", text that is not a corner in the format of its first corner; the "
            "face keeps the corners before it");
}

// A face left out for having fewer than 3 corners changes nothing else: faces with a repeated
// corner stay as written, with their texture corners, as in the same file without that face.
TEST(WavefrontFaces, AFaceLeftOutLeavesTheOtherFacesAsWritten) {
    const std::string kept =
        std::string(kQuad) + "f 1/1/1 2/2/1 3/3/1\nf 1/1/1 1/1/1 2/2/1\nf 1/1/1 2/2/1 2/2/1 3/3/1\n";
    int result = 0;
    ScenePtr plain = ReadText(kept, result);
    ScenePtr shortened = ReadText(kept + "f 1/1/1 2/2/1\n", result);
    ASSERT_EQ(result, IO_FILE_OK);
    C3DGeomObject* a = Object(Nodes(*plain)[0]);
    C3DGeomObject* b = Object(Nodes(*shortened)[0]);
    ASSERT_EQ(a->GetFaceNbr(), 3);
    ASSERT_EQ(b->GetFaceNbr(), 3);
    for (int f = 0; f < 3; ++f) {
        EXPECT_EQ(Face(b, f), Face(a, f)) << f;
        EXPECT_EQ(ChannelFace(b->GetChannelByIndex(0, CHANNEL_UVW, false), f),
                  ChannelFace(a->GetChannelByIndex(0, CHANNEL_UVW, false), f))
            << f;
    }
}

// A backslash ending a line joins the next line to it, with CR LF or LF line ends, several lines
// in a row and at the end of the text; a comment ending in one does not swallow the next line.
// Warnings name the first line of a joined statement, and the lines after it keep their numbers.
TEST(WavefrontFaces, ABackslashAtTheEndOfALineContinuesIt) {
    const std::string text =
        "v 0 0 0\nv 1 0 0\r\nv 1 1 0\n# exported from C:\\models\\\nv 0 1 0\n"
        "f 1 2 \\\r\n3 \\\n\\\n 4\nf 1 \\\n2 x\nf 1 2 3 \\";
    int result = 0;
    CWavefrontIo::CReadNotes notes;
    ScenePtr scene(CWavefrontIo::ReadObjMemory(text.data(), text.size(), nullptr, result, &notes));
    ASSERT_EQ(result, IO_FILE_OK);
    C3DGeomObject* o = Object(Nodes(*scene)[0]);
    EXPECT_EQ(o->GetPointNbr(), 4);
    ASSERT_EQ(o->GetFaceNbr(), 2);
    EXPECT_EQ(Face(o, 0), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(Face(o, 1), (std::vector<int>{0, 1, 2}));
    ASSERT_EQ(notes.warnings.GetSize(), 2);
    EXPECT_EQ(std::string(notes.warnings[0].GetString()),
              "line 10: a face line stops at \"x\", text that is not a corner in the format of its first "
              "corner; the "
              "face keeps the corners before it");
    EXPECT_EQ(std::string(notes.warnings[1].GetString()), "line 10: a face of fewer than 3 corners left out");
}

// The text is read in blocks of CLineSource::kBlockBytes: a continuation whose backslash, line end
// or next line falls on either side of a block's end, and a statement continued over more lines
// than a block holds (the buffer grows) and into the end of the text, read as the same face.
TEST(WavefrontFaces, ContinuedLinesAcrossBlocks) {
    const std::string points = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
    for (int shift = -6; shift <= 6; ++shift) {
        // The comment line ends so that "f 1 \\\n2 \\\r\n3" starts `shift` bytes before the
        // block's end.
        const size_t before = wavefront::CLineSource::kBlockBytes - size_t(6 + shift);
        std::string text = points + "#" + std::string(before - points.size() - 2, 'x') + "\n";
        text += "f 1 \\\n2 \\\r\n3\nf 1 3 2\n";
        int result = 0;
        ScenePtr scene = ReadText(text, result);
        ASSERT_EQ(result, IO_FILE_OK) << shift;
        C3DGeomObject* o = Object(Nodes(*scene)[0]);
        ASSERT_EQ(o->GetFaceNbr(), 2) << shift;
        EXPECT_EQ(Face(o, 0), (std::vector<int>{0, 1, 2})) << shift;
    }
    std::string text = points + "f 1";
    for (int i = 0; i < 100000; ++i) text += " \\\n";
    text += "2 3 \\\n";  // and a last line continued into the end of the text
    int result = 0;
    ScenePtr scene = ReadText(text, result);
    ASSERT_EQ(result, IO_FILE_OK);
    C3DGeomObject* o = Object(Nodes(*scene)[0]);
    ASSERT_EQ(o->GetFaceNbr(), 1);
    EXPECT_EQ(Face(o, 0), (std::vector<int>{0, 1, 2}));
}

TEST(WavefrontFaces, RelativeIndicesCountBackFromTheLastElementRead) {
    int result = 0;
    ScenePtr scene = ReadText(std::string(kQuad) + "f -4/-4/-2 -3/-3/-2 -1/-1/-1\nv 5 5 5\nf -1 -4 -3\n", result);
    ASSERT_EQ(result, IO_FILE_OK);
    C3DGeomObject* o = Object(Nodes(*scene)[0]);
    ASSERT_EQ(o->GetFaceNbr(), 2);
    const C3DPointList* p = o->GetPointList();
    // Face 0 is 1 2 4; face 1 is 5 2 3 (relative to five vertices).
    EXPECT_EQ(p->GetAt(Face(o, 0)[2]).y, 1.0f);
    EXPECT_EQ(p->GetAt(Face(o, 0)[2]).x, 0.0f);
    EXPECT_EQ(p->GetAt(Face(o, 1)[0]).x, 5.0f);
    EXPECT_EQ(p->GetAt(Face(o, 1)[2]).x, 1.0f);
    EXPECT_EQ(p->GetAt(Face(o, 1)[2]).y, 1.0f);
    CChannel* nrm = o->GetChannelByIndex(0, CHANNEL_SPEC_NORMAL, false);
    const C3DVectorList* normals = static_cast<CSpecNormalChannel*>(nrm)->GetNormalVectorList();
    EXPECT_EQ(normals->GetAt(ChannelFace(nrm, 0)[0]).z, 1.0f);
    EXPECT_EQ(normals->GetAt(ChannelFace(nrm, 0)[2]).z, -1.0f);
}

// Each refusal says on which line and why (the bad face is line 12, after the ten lines of the
// quadrangle's data and one good face).
TEST(WavefrontFaces, IndicesOutsideTheFileAreRejectedAndNothingIsKept) {
    const struct {
        const char* line;
        const char* problem;
    } bad[] = {
        {"f 1 2 5\n", "a face corner with vertex index 5, but the file has 4 \"v\" lines"},
        {"f 0 1 2\n", "a face corner with vertex index 0; indices start at 1"},
        {"f -5 1 2\n", "a face corner with vertex index -5, but only 4 \"v\" lines come before it"},
        {"f 1/5 2/1 3/1\n", "a face corner with texture coordinate index 5, but the file has 4 \"vt\" lines"},
        {"f 1//3 2//1 3//1\n", "a face corner with normal index 3, but the file has 2 \"vn\" lines"},
        {"f 1 2 99999999999\n",
         "a face corner with vertex index 2147483647 or more, but the file has 4 \"v\" lines"},
        {"f 1 -99999999999 2\n",
         "a face corner with vertex index -2147483648 or less, but only 4 \"v\" lines come before it"},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.line);
        const std::string text = std::string(kQuad) + "f 1 2 3\n" + b.line;
        int result = 0;
        CWavefrontIo::CReadNotes notes;
        notes.problem = "stale";
        ScenePtr scene(CWavefrontIo::ReadObjMemory(text.data(), text.size(), nullptr, result, &notes));
        EXPECT_EQ(result, IO_FILE_BAD_FORMAT);
        EXPECT_FALSE(scene);
        EXPECT_EQ(std::string(notes.problem.GetString()), std::string("line 12: ") + b.problem);
    }
    // An index naming a vertex defined further down is within the file; a read that succeeds
    // leaves no account behind.
    int result = 0;
    CWavefrontIo::CReadNotes notes;
    notes.problem = "stale";
    const std::string text = "v 0 0 0\nv 1 0 0\nf 1 2 3\nv 0 1 0\n";
    ScenePtr forward(CWavefrontIo::ReadObjMemory(text.data(), text.size(), nullptr, result, &notes));
    EXPECT_EQ(result, IO_FILE_OK);
    ASSERT_TRUE(forward);
    EXPECT_EQ(Object(Nodes(*forward)[0])->GetFaceNbr(), 1);
    EXPECT_TRUE(notes.problem.IsEmpty());
}

TEST(WavefrontFaces, MalformedNumbersAndLines) {
    int result = 0;
    // Numbers missing or not parsing read as "%f" leaves them: those before are kept, the rest
    // are 0, and the file loads with a warning naming the first such line.
    for (const auto& [text, warning] :
         {std::pair{"v 1 x 3\nv 1 0 0\nv 0 1 0\nf 1 2 3\n",
                    "line 1: a \"v\" line without all its numbers; the missing ones read as 0"},
          {"v 1 2 3\nv 1 0 0\nv 0 1 0\n\nvt\nf 1/1 2/1 3/1\n",
           "line 5: a \"vt\" line without all its numbers; the missing ones read as 0"},
          {"v 1 2 3\r\nv 1 0 0\r\nv 0 1 0\r\nvn -1.#IND00 -1.#IND00 -1.#IND00\r\nvn 0 0\r\nf 1//1 2//2 "
           "3//1\r\n",
           "2 \"v\", \"vt\" or \"vn\" lines without all their numbers (first at line 4, a \"vn\" line); the "
           "missing ones read as 0"}}) {
        CWavefrontIo::CReadNotes notes;
        ScenePtr scene(CWavefrontIo::ReadObjMemory(text, std::strlen(text), nullptr, result, &notes));
        ASSERT_TRUE(scene) << text;
        EXPECT_EQ(result, IO_FILE_OK);
        ASSERT_EQ(notes.warnings.GetSize(), 1) << text;
        EXPECT_EQ(std::string(notes.warnings[0].GetString()), warning);
        const C3DPointList* p = Object(Nodes(*scene)[0])->GetPointList();
        EXPECT_EQ(p->GetAt(0).x, 1.0f);
        EXPECT_EQ(p->GetAt(0).y, std::strncmp(text, "v 1 x", 5) == 0 ? 0.0f : 2.0f) << "the first vertex";
    }
    // Signs, exponents and trailing junk as "%f" reads them.
    ScenePtr scene = ReadText("v +1e+2 +2.e+1 +3.1+e2\nv -1e-2 2. 1E2\nv 1e60 -1e60 1e-60\nf 1 2 3\n", result);
    ASSERT_TRUE(scene);
    const C3DPointList* p = Object(Nodes(*scene)[0])->GetPointList();
    EXPECT_EQ(p->GetAt(0).x, 100.0f);
    EXPECT_EQ(p->GetAt(0).y, 20.0f);
    EXPECT_EQ(p->GetAt(0).z, 3.1f);
    EXPECT_EQ(p->GetAt(1).x, -0.01f);
    EXPECT_EQ(p->GetAt(1).z, 100.0f);
    EXPECT_TRUE(std::isinf(p->GetAt(2).x) && p->GetAt(2).x > 0);
    EXPECT_TRUE(std::isinf(p->GetAt(2).y) && p->GetAt(2).y < 0);
    EXPECT_EQ(p->GetAt(2).z, 0.0f);
}

TEST(WavefrontFaces, AnOverlongLineBeforeAnyVertexRejectsTheFile) {
    const std::string longLine = "# " + std::string(1998, 'x') + "\n";
    int result = 0;
    CWavefrontIo::CReadNotes notes;
    EXPECT_FALSE(CWavefrontIo::ReadObjMemory((longLine + kQuad).data(), longLine.size() + std::strlen(kQuad),
                                             nullptr, result, &notes));
    EXPECT_EQ(result, IO_FILE_BAD_FORMAT);
    EXPECT_EQ(std::string(notes.problem.GetString()),
              "line 1: 2000 characters long before any vertex line: not OBJ text");
    // 1024 characters pass, and after a vertex any length does.
    ScenePtr shorter = ReadText("# " + std::string(1022, 'x') + "\n" + kQuad + "f 1 2 3\n", result);
    EXPECT_TRUE(shorter);
    ScenePtr after = ReadText(std::string(kQuad) + longLine + "f 1 2 3\n", result);
    EXPECT_TRUE(after);
}

TEST(WavefrontFaces, ACancelRequestEndsTheRead) {
    SetCancelThread(true);
    int result = 0;
    ScenePtr scene = ReadText(std::string(kQuad) + "f 1 2 3\n", result);
    SetCancelThread(false);
    EXPECT_FALSE(scene);
    EXPECT_EQ(result, IO_FILE_CANCELED);
}

// ---- groups ----------------------------------------------------------------------------------------

TEST(WavefrontGroups, EachGroupIsANodeWithThePointsItsFacesUse) {
    int result = 0;
    ScenePtr scene = ReadText(std::string(kQuad) +
                                  "f 1 2 3\n"              // the default group
                                  "g empty\n"              // no face: dropped
                                  "o first part\n"         // named by its first token
                                  "usemtl red\n"
                                  "f 3 4 1\n"
                                  "g  second  group \n"    // named by the trimmed rest
                                  "f 4 3 2 1\n",
                              result);
    ASSERT_EQ(result, IO_FILE_OK);
    std::vector<C3DSceneNode*> nodes = Nodes(*scene);
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_EQ(Name(nodes[0]->GetName()), "default");
    EXPECT_EQ(Name(nodes[1]->GetName()), "first");
    EXPECT_EQ(Name(nodes[2]->GetName()), "second  group");
    EXPECT_EQ(Object(nodes[0])->GetPointNbr(), 3);
    EXPECT_EQ(Object(nodes[2])->GetPointNbr(), 4);
    // Points are numbered in the order the faces first use them.
    C3DGeomObject* first = Object(nodes[1]);
    EXPECT_EQ(Face(first, 0), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(first->GetPointList()->GetAt(0).x, 1.0f);
    EXPECT_EQ(first->GetPointList()->GetAt(0).y, 1.0f);
    // Materials: "default" before any usemtl, and usemtl carries over into the next group.
    const unsigned red = scene->FindMaterialID(L"red");
    EXPECT_EQ(Object(nodes[0])->GetFaceList()->GetFaceMaterial(0), scene->FindMaterialID(L"default"));
    EXPECT_EQ(first->GetFaceList()->GetFaceMaterial(0), red);
    EXPECT_EQ(Object(nodes[2])->GetFaceList()->GetFaceMaterial(0), red);
}

TEST(WavefrontMtl, LibraryLinesSetTheMaterialParameters) {
    C3DScene scene;
    const std::string text =
        "# comment\nKd 1 0 0\n"          // before any material: ignored
        "newmtl glass\nKa 0.5\nKd 1 0.5 0\nd 0.25\nMAP_KD  textures/glass file.png \n"
        "newmtl stone\nTr 0.75\nNs 12.5\n"
        "newmtl glass\nmap_Kd other.png\n";  // resumes glass, replacing its map
    EXPECT_EQ(CWavefrontIo::ReadMtlMemory(text.data(), text.size(), scene, 77), 3);
    EXPECT_EQ(scene.GetMaterialTable().GetCount(), 2);
    C3DMaterial* glass = scene.GetMaterialByName(L"glass");
    C3DMaterial* stone = scene.GetMaterialByName(L"stone");
    ASSERT_TRUE(glass && stone);
    EXPECT_EQ(glass->GetAmbientColor(0).g, 128);  // one value stands for grey
    EXPECT_EQ(glass->GetDiffuseColor(0).g, 128);
    EXPECT_EQ(glass->GetDiffuseColor(0).b, 0);
    EXPECT_FLOAT_EQ(glass->GetTransparency(0), 0.75f);
    EXPECT_FLOAT_EQ(stone->GetTransparency(0), 0.75f);
    ASSERT_EQ(glass->GetMapCount(), 1);
    EXPECT_EQ(Name(glass->GetDiffuseMaps()->GetFileName()), "other.png");
    EXPECT_EQ(glass->GetDiffuseMaps()->GetChannelID(), 77u);
    C3DScene other;
    const std::string spaced = "newmtl a\nmap_kd  textures/glass file.png \n";
    CWavefrontIo::ReadMtlMemory(spaced.data(), spaced.size(), other, 1);
    EXPECT_EQ(Name(other.GetMaterialByName(L"a")->GetDiffuseMaps()->GetFileName()), "textures/glass file.png");
    // Options before the name are skipped with their arguments; what does not read as options
    // stays part of the name.
    const std::pair<const char*, const char*> kMaps[] = {
        {"map_Kd -s 1 1 1 -o 0.5 -bm 0.2 -clamp on wood grain.png", "wood grain.png"},
        {"map_Kd -s 2 -mm 0 1 -imfchan r 12.png", "12.png"},
        {"map_Kd -t 0.1 0.2 0.3 0.4.png", "0.4.png"},
        {"map_Kd -x 1 a.png", "-x 1 a.png"},
        {"map_Kd -bm", "-bm"},
        {"map_Kd -s a.png", "-s a.png"},
        {"map_Kd -clamp on", "-clamp on"},
    };
    for (const auto& [line, name] : kMaps) {
        C3DScene scene;
        const std::string text = std::string("newmtl a\n") + line + "\n";
        CWavefrontIo::ReadMtlMemory(text.data(), text.size(), scene, 1);
        EXPECT_EQ(Name(scene.GetMaterialByName(L"a")->GetDiffuseMaps()->GetFileName()), name) << line;
    }
}

// ---- writing ---------------------------------------------------------------------------------------

bool Write(C3DScene& scene, const std::string& dir, int& result) {
    CXStringW obj((dir + "/out.obj").c_str());
    CXStringW mtl((dir + "/out.mtl").c_str());
    return CWavefrontIo::WriteObjFile(obj, scene, mtl, L"out.mtl", result);
}

// A text of many lines (a strip of quads), enough for the reader to report on its progress.
std::string LongStrip(int quads) {
    std::ostringstream text;
    for (int i = 0; i <= quads; ++i) text << "v " << i << " 0 0\nv " << i << " 1 0\n";
    for (int i = 0; i < quads; ++i)
        text << "f " << 2 * i + 1 << ' ' << 2 * i + 3 << ' ' << 2 * i + 4 << ' ' << 2 * i + 2 << "\n";
    return text.str();
}

struct ReadProgress {
    std::vector<unsigned> kinds;
    std::vector<int> positions;
    bool cancel = false;
};

bool RecordReadProgress(unsigned kind, const ProcessProgressInfo& info, void* user) {
    ReadProgress& seen = *static_cast<ReadProgress*>(user);
    seen.kinds.push_back(kind);
    seen.positions.push_back(info.position);
    return seen.cancel && (kind & PROGRESS_CANCEL_QUERY);
}

// A long read and a long write each open a task, report how far they have come in order, and
// stop with IO_FILE_CANCELED when the callback asks them to (the read then gives no scene).
TEST(WavefrontProgress, LongReadsAndWritesReportAndTheCallbackMayCancelThem) {
    const std::string text = LongStrip(70000);
    auto check = [](const ReadProgress& seen, bool cancel) {
        ASSERT_GE(seen.kinds.size(), cancel ? 3u : 4u);
        EXPECT_EQ(seen.kinds.front(), unsigned(PROGRESS_START | PROGRESS_TEXT));
        EXPECT_EQ(seen.kinds.back(), unsigned(PROGRESS_END));
        EXPECT_TRUE(std::is_sorted(seen.positions.begin(), seen.positions.end()));
    };
    ScenePtr kept;
    for (const bool cancel : {false, true}) {
        ReadProgress seen;
        seen.cancel = cancel;
        progressPushCallback(&RecordReadProgress, &seen);
        int result = 0;
        ScenePtr scene = ReadText(text, result);
        progressPopCallback();
        EXPECT_EQ(bool(scene), !cancel);
        EXPECT_EQ(result, cancel ? IO_FILE_CANCELED : IO_FILE_OK);
        check(seen, cancel);
        // Both passes report: the parse pass is the second half of the range.
        if (!cancel) {
            EXPECT_GT(seen.positions[seen.positions.size() - 2], 500);
            kept = std::move(scene);
        }
    }
    ASSERT_TRUE(kept);
    for (const bool cancel : {false, true}) {
        TempDir dir;
        ReadProgress seen;
        seen.cancel = cancel;
        progressPushCallback(&RecordReadProgress, &seen);
        int result = 0;
        EXPECT_EQ(Write(*kept, dir.path, result), !cancel);
        progressPopCallback();
        EXPECT_EQ(result, cancel ? IO_FILE_CANCELED : IO_FILE_OK);
        check(seen, cancel);
    }
}

// The offset and scale options of a texture map become the map's translation and scale (missing
// numbers 0 and 1), and a saved library writes them back before the name.
TEST(WavefrontMtl, MapOffsetAndScaleRoundTrip) {
    const std::string text =
        "newmtl tiled\nmap_Kd -s 4 2 -clamp on -o 0.25 floor tiles.png\nnewmtl plain\nmap_Kd p.png\n";
    ScenePtr scene(new C3DScene);
    CWavefrontIo::ReadMtlMemory(text.data(), text.size(), *scene, 1);
    CMaterialMap* tiled = scene->GetMaterialByName(L"tiled")->GetDiffuseMaps();
    C3DTVector<float> v;
    ASSERT_TRUE(tiled->GetScale(0, v));
    EXPECT_EQ(v, C3DTVector<float>(4, 2, 1));
    ASSERT_TRUE(tiled->GetTranslation(0, v));
    EXPECT_EQ(v, C3DTVector<float>(0.25f, 0, 0));
    EXPECT_FALSE(scene->GetMaterialByName(L"plain")->GetDiffuseMaps()->GetScale(0, v));

    // Written with a triangle that uses both materials, read back from the files.
    static const float points[] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    static const int triangle[] = {0, 1, 2};
    C3DObject* object = CreateObjectFromArrays(points, sizeof points, triangle, sizeof triangle, nullptr, 0);
    object->GetFaceList()->SetFaceMaterial(0, scene->GetMaterialByName(L"tiled")->GetMaterialID());
    scene->CreateNode(nullptr, L"t", object);
    TempDir dir;
    int result = 0;
    ASSERT_TRUE(Write(*scene, dir.path, result));
    const std::string mtl = Slurp(dir.path + "/out.mtl");
    EXPECT_NE(
        mtl.find("map_Kd -o 0.250000 0.000000 0.000000 -s 4.000000 2.000000 1.000000 floor tiles.png\n"),
        std::string::npos)
        << mtl;
    EXPECT_NE(mtl.find("map_Kd p.png\n"), std::string::npos) << mtl;
    C3DScene again;
    CWavefrontIo::ReadMtlMemory(mtl.data(), mtl.size(), again, 1);
    tiled = again.GetMaterialByName(L"tiled")->GetDiffuseMaps();
    EXPECT_EQ(Name(tiled->GetFileName()), "floor tiles.png");
    ASSERT_TRUE(tiled->GetScale(0, v));
    EXPECT_EQ(v, C3DTVector<float>(4, 2, 1));
}

// A triangle with texture coordinates and normals, and a second node whose quadrangle has the
// same normal and no texture coordinates, placed by a translation.
//   node "tri": 0 (0,0,0)  1 (1,0,0)  2 (0,1,0)
//   node "quad": 0 1 2 3 at z = 0, moved by (0, 0, 2)
ScenePtr SmallScene() {
    ScenePtr scene(new C3DScene);
    C3DMaterial* red = scene->CreateNewMaterial();
    red->SetName(L"red");
    red->SetDiffuseColor(CRGBColor(255, 0, 0, 255));
    red->AddMaterialMap(L"red.png", 5, MAP_DIFFUSE);

    const float tri[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    const int triIdx[3] = {0, 1, 2};
    C3DObject* t = CreateObjectFromArrays(tri, sizeof tri, triIdx, sizeof triIdx, nullptr, 0);
    t->GetFaceList()->SetFaceMaterial(0, red->GetMaterialID());
    CUVWChannel* uv = new CUVWChannel(5);
    uv->GetUVWPointList()->Add(0.0f, 0.0f);
    uv->GetUVWPointList()->Add(0.5f, 0.25f);
    uv->GetFaceList()->SetSize(1, 3, SETSIZE_COMPACT_EXACT);
    CFace view;
    uv->GetFaceList()->GetFace(0, view);
    view.SetTriangle(0, 1, 0);
    t->AddChannel(uv);
    CSpecNormalChannel* n = new CSpecNormalChannel;
    n->GetNormalVectorList()->Add(0.0f, 0.0f, 1.0f);
    n->GetFaceList()->SetSize(1, 3, SETSIZE_COMPACT_EXACT);
    n->GetFaceList()->GetFace(0, view);
    view.SetTriangle(0, 0, 0);
    t->AddChannel(n);
    scene->CreateNode(nullptr, L"tri", t);

    const float quad[12] = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0};
    const int quadIdx[4] = {0, 1, 2, 3};
    C3DObject* q = CreateObjectFromArrays(quad, sizeof quad, nullptr, 0, quadIdx, sizeof quadIdx);
    q->GetFaceList()->SetFaceMaterial(0, red->GetMaterialID());
    CSpecNormalChannel* qn = new CSpecNormalChannel;
    qn->GetNormalVectorList()->Add(0.0f, 0.0f, 1.0f);
    qn->GetFaceList()->SetSize(1, 4, SETSIZE_COMPACT_EXACT);
    qn->GetFaceList()->GetFace(0, view);
    view.SetQuadrangle(0, 0, 0, 0);
    q->AddChannel(qn);
    C3DSceneNode* node = scene->CreateNode(nullptr, L"quad", q);
    node->SetPosition(C3DTVector<float>(0, 0, 2));
    return scene;
}

TEST(WavefrontWriter, SmallSceneBytesAreExact) {
    TempDir dir;
    ScenePtr scene = SmallScene();
    int result = 0;
    ASSERT_TRUE(Write(*scene, dir.path, result));
    EXPECT_EQ(result, IO_FILE_OK);
    const std::string expected =
        "# \n# Wavefront OBJ generated by Vistaplex\n# \n"
        "# Kestovar scene: 2 objects, 7 points, 2 faces\n"
        "# Points are in world space; indices count across objects\n# \n"
        "\nmtllib out.mtl\n"
        "\n# Coordinates\n"
        "v 0.000000 0.000000 0.000000\nv 1.000000 0.000000 0.000000\nv 0.000000 1.000000 0.000000\n"
        "v 0.000000 0.000000 2.000000\nv 1.000000 0.000000 2.000000\nv 1.000000 1.000000 2.000000\n"
        "v 0.000000 1.000000 2.000000\n"
        "\n# Normals\nvn 0.000000 0.000000 1.000000\n"
        "\n# UV Coordinates\nvt 0.000000 0.000000\nvt 0.500000 0.250000\n"
        "\n# Faces\n"
        "g tri\nusemtl red\nf 1/1/1 2/2/1 3/1/1 \n"
        "g quad\nusemtl red\nf 4//1 5//1 6//1 7//1 \n";
    EXPECT_EQ(Slurp(dir.path + "/out.obj"), expected);
    const std::string mtl =
        "# Wavefront MTL generated by Vistaplex\n"
        "newmtl red\nKa 0.117647 0.117647 0.117647\nKd 1.000000 0.000000 0.000000\n"
        "Ks 0.752941 0.752941 0.752941\nTr 0.000000\nd 1.000000\nNs 0.000000\nmap_Kd red.png\n";
    EXPECT_EQ(Slurp(dir.path + "/out.mtl"), mtl);
}

TEST(WavefrontWriter, NumbersAreWrittenExactlyAsPrintfWritesThem) {
    std::mt19937 random(7);
    std::uniform_int_distribution<uint32_t> bits;
    std::vector<float> values = {0.0f, -0.0f, 0.5f, 1e-7f, -1e-7f, 0.0000005f, 0.0000015f, 123456.789f, 3.4e38f,
                                 -3.4e38f, 1e-45f, INFINITY, -INFINITY, NAN, 2.5e-6f, 1.0f / 3.0f};
    for (int i = 0; i < 20000; ++i) {
        uint32_t b = bits(random);
        float f;
        std::memcpy(&f, &b, 4);
        values.push_back(f);
        values.push_back(float(int(bits(random) % 2000000) - 1000000) / 1000.0f);
    }
    char mine[400], theirs[400];
    for (float f : values) {
        *wavefront::FormatFloat(mine, f) = 0;
        std::snprintf(theirs, sizeof theirs, "%f", double(f));
        ASSERT_STREQ(mine, theirs) << "bits of the value: " << std::hexfloat << f;
    }
}

// A node that mirrors its object turns the faces inside out in world space; the file holds world
// coordinates, so its corners come reversed, as baking the transform into the object gives them.
TEST(WavefrontWriter, MirroringNodesKeepTheirFacesFacingOut) {
    iotest::ScratchDir dir;
    std::unique_ptr<C3DScene> scene(iotest::MakeCubeScene());
    scene->GetRoot()->GetFirstChildNode()->SetScale(C3DTVector<float>(-1, 2, 1));
    // The transform applied to the corners as they stand: inside out.
    ASSERT_NEAR(iotest::MeasureSurface(*scene).volume, -2.0, 1e-6);
    const std::wstring name = iotest::W(dir / "mirrored.obj");
    ASSERT_TRUE(C3DIo(name.c_str(), 0).Save(scene.get()));
    std::unique_ptr<C3DScene> loaded(C3DIo(name.c_str(), FILE_IO_LOADING).Read());
    ASSERT_NE(loaded, nullptr);
    EXPECT_NEAR(iotest::MeasureSurface(*loaded).volume, 2.0, 1e-6);
}

TEST(WavefrontWriter, NothingToWriteAndUnwritableFilesFail) {
    TempDir dir;
    C3DScene empty;
    int result = 0;
    EXPECT_FALSE(Write(empty, dir.path, result));
    EXPECT_EQ(result, IO_FILE_NOTHING_TO_SAVE);
    ScenePtr scene = SmallScene();
    EXPECT_FALSE(Write(*scene, dir.path + "/missing/dir", result));
    EXPECT_EQ(result, IO_FILE_CANT_OPEN);
}

TEST(WavefrontWriter, MaterialNamesAreMadeUniqueAndSurviveAReadBack) {
    TempDir dir;
    ScenePtr scene = SmallScene();
    // Names that would merge on reading: a duplicate, one that only differs by a line break or
    // blanks, and an empty one.
    const wchar_t* names[] = {L"red", L"r\ned", L"  red ", L""};
    for (const wchar_t* name : names) scene->CreateNewMaterial()->SetName(name);
    int result = 0;
    ASSERT_TRUE(Write(*scene, dir.path, result));
    ScenePtr back = ReadPath(dir.path + "/out.obj", result);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->GetMaterialTable().GetCount(), scene->GetMaterialTable().GetCount());
    EXPECT_TRUE(back->GetMaterialByName(L"r_ed"));

    // Line breaks in a node's name or a texture file's name (possible in other formats) would
    // start lines of their own, here faces with an index past the points, which make the file
    // unreadable: they become '_'. A name ending in a backslash must not join the next line to
    // its own, which would take the next node's faces or material.
    ScenePtr odd = SmallScene();
    C3DNodePos pos = odd->GetFirstNode();
    odd->GetNextNode(pos)->SetName(L"tri\nf 1 2 99");
    odd->GetNextNode(pos)->SetName(L"C:\\parts\\");
    odd->CreateNewMaterial()->SetName(L"edge\\");
    odd->GetMaterialByName(L"red")->GetDiffuseMaps()->SetFileName(L"red\r\nnewmtl x.png");
    ASSERT_TRUE(Write(*odd, dir.path, result));
    back = ReadPath(dir.path + "/out.obj", result);
    ASSERT_TRUE(back) << result;
    EXPECT_EQ(Nodes(*back).size(), 2u);
    EXPECT_EQ(Name(Nodes(*back)[0]->GetName()), "tri_f 1 2 99");
    EXPECT_EQ(Name(Nodes(*back)[1]->GetName()), "C:\\parts\\");
    EXPECT_EQ(Object(Nodes(*back)[1])->GetFaceNbr(), Object(Nodes(*odd)[1])->GetFaceNbr());
    EXPECT_TRUE(back->GetMaterialByName(L"edge\\"));
    EXPECT_EQ(back->GetMaterialTable().GetCount(), odd->GetMaterialTable().GetCount());
    EXPECT_EQ(Name(back->GetMaterialByName(L"red")->GetDiffuseMaps()->GetFileName()), "red__newmtl x.png");
}

// ---- round trips -----------------------------------------------------------------------------------

void ExpectNear(float a, float b) { EXPECT_NEAR(a, b, 5e-7 * std::max(1.0f, std::fabs(a))); }

TEST(WavefrontRoundTrip, SpiderKeepsCountsAndValuesAndWritesTheSameBytesTwice) {
    TempDir dir;
    int result = 0;
    ScenePtr first = ReadPath(kData + "/../../data/spider.obj", result);
    ASSERT_EQ(result, IO_FILE_OK);
    ASSERT_TRUE(Write(*first, dir.path, result));
    ScenePtr second = ReadPath(dir.path + "/out.obj", result);
    ASSERT_EQ(result, IO_FILE_OK);

    std::vector<C3DSceneNode*> a = Nodes(*first), b = Nodes(*second);
    ASSERT_EQ(a.size(), b.size());
    ASSERT_EQ(a.size(), 19u);
    int faces = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        SCOPED_TRACE(Name(a[i]->GetName()));
        EXPECT_EQ(Name(a[i]->GetName()), Name(b[i]->GetName()));
        C3DGeomObject* oa = Object(a[i]);
        C3DGeomObject* ob = Object(b[i]);
        ASSERT_EQ(oa->GetPointNbr(), ob->GetPointNbr());
        ASSERT_EQ(oa->GetFaceNbr(), ob->GetFaceNbr());
        faces += oa->GetFaceNbr();
        for (int p = 0; p < oa->GetPointNbr(); ++p) {
            ExpectNear(oa->GetPointList()->GetAt(p).x, ob->GetPointList()->GetAt(p).x);
            ExpectNear(oa->GetPointList()->GetAt(p).y, ob->GetPointList()->GetAt(p).y);
            ExpectNear(oa->GetPointList()->GetAt(p).z, ob->GetPointList()->GetAt(p).z);
        }
        auto* uva = static_cast<CUVWChannel*>(oa->GetChannelByIndex(0, CHANNEL_UVW, false));
        auto* uvb = static_cast<CUVWChannel*>(ob->GetChannelByIndex(0, CHANNEL_UVW, false));
        auto* na = static_cast<CSpecNormalChannel*>(oa->GetChannelByIndex(0, CHANNEL_SPEC_NORMAL, false));
        auto* nb = static_cast<CSpecNormalChannel*>(ob->GetChannelByIndex(0, CHANNEL_SPEC_NORMAL, false));
        ASSERT_TRUE(uva && uvb && na && nb);
        ASSERT_EQ(uva->GetPointList()->GetSize(), uvb->GetPointList()->GetSize());
        ASSERT_EQ(na->GetPointList()->GetSize(), nb->GetPointList()->GetSize());
        for (int f = 0; f < oa->GetFaceNbr(); ++f) {
            ASSERT_EQ(Face(oa, f), Face(ob, f));
            ASSERT_EQ(ChannelFace(uva, f), ChannelFace(uvb, f));
            ASSERT_EQ(ChannelFace(na, f), ChannelFace(nb, f));
            EXPECT_EQ(Name(first->GetMaterialByID(oa->GetFaceList()->GetFaceMaterial(f))->GetName()),
                      Name(second->GetMaterialByID(ob->GetFaceList()->GetFaceMaterial(f))->GetName()));
        }
        for (int k = 0; k < uva->GetPointList()->GetSize(); ++k) {
            ExpectNear(uva->GetUVWPointList()->GetAt(k).u, uvb->GetUVWPointList()->GetAt(k).u);
            ExpectNear(uva->GetUVWPointList()->GetAt(k).v, uvb->GetUVWPointList()->GetAt(k).v);
        }
        for (int k = 0; k < na->GetPointList()->GetSize(); ++k)
            ExpectNear(na->GetNormalVectorList()->GetAt(k).y, nb->GetNormalVectorList()->GetAt(k).y);
    }
    EXPECT_EQ(faces, 1368);
    // Materials: the same names, colours and maps.
    ASSERT_EQ(first->GetMaterialTable().GetCount(), second->GetMaterialTable().GetCount());
    int position = -1;
    for (C3DMaterial* m = first->GetFirstMaterial(position); m; m = first->GetNextMaterial(position)) {
        C3DMaterial* o = second->GetMaterialByName(m->GetName());
        ASSERT_TRUE(o != nullptr);
        EXPECT_EQ(m->GetDiffuseColor(0).GetValue(), o->GetDiffuseColor(0).GetValue());
        EXPECT_EQ(m->GetAmbientColor(0).GetValue(), o->GetAmbientColor(0).GetValue());
        ASSERT_EQ(m->GetMapCount(), o->GetMapCount());
        if (m->GetMapCount()) {
            EXPECT_EQ(Name(m->GetMap(0)->GetFileName()), Name(o->GetMap(0)->GetFileName()));
        }
    }
    // What was read back writes the same bytes: nothing drifts on a second trip.
    const std::string once = Slurp(dir.path + "/out.obj");
    const std::string mtlOnce = Slurp(dir.path + "/out.mtl");
    ASSERT_TRUE(Write(*second, dir.path, result));
    EXPECT_EQ(Slurp(dir.path + "/out.obj"), once);
    EXPECT_EQ(Slurp(dir.path + "/out.mtl"), mtlOnce);
}

// ---- through the reading and writing frame -------------------------------------------------------

std::string Text(const CXStringW& s) { return Name(s); }

// The scene of the file at `path`, read through the frame.
ScenePtr ReadFramed(const std::string& path) {
    return ScenePtr(C3DIo(CXStringW(path.c_str()), FILE_IO_LOADING | FILE_IO_SILENT).Read());
}

TEST(WavefrontFrame, ReadAndSaveByFileNameWithTheLibraryBesideTheTarget) {
    TempDir dir;
    ScenePtr scene = ReadFramed(kData + "/../../data/spider.obj");
    ASSERT_TRUE(scene);
    EXPECT_EQ(Nodes(*scene).size(), 19u);

    CSceneExportOptions options;
    C3DIo writer(CXStringW((dir.path + "/my copy.obj").c_str()), FILE_IO_SILENT);
    ASSERT_TRUE(writer.Save(scene.get(), &options));
    EXPECT_EQ(Text(writer.GetIoErrorTxt()), "File successfuly saved");
    // The format's forced and default flags, with the caller's flags 0.
    EXPECT_EQ(options.GetFlags(), CWavefrontIo::kExportForcedFlags | CWavefrontIo::kExportDefaultFlags);
    // Exactly the two files, under their final names, the library named after the target, blanks
    // included ("mtllib" lists blank-separated names, but a line whose whole text names an existing
    // file is that one library).
    EXPECT_NE(Slurp(dir.path + "/my copy.obj").find("\nmtllib my copy.mtl\n"), std::string::npos);
    EXPECT_EQ(Slurp(dir.path + "/my copy.mtl").rfind("# Wavefront MTL generated by Vistaplex\n", 0), 0u);
    EXPECT_EQ(std::system(("test $(ls '" + dir.path + "' | wc -l) -eq 2").c_str()), 0);

    ScenePtr copy = ReadFramed(dir.path + "/my copy.obj");
    ASSERT_TRUE(copy);
    EXPECT_EQ(Nodes(*copy).size(), 19u);
    ASSERT_TRUE(copy->GetMaterialByName(L"Skin"));
    const CRGBColor a = copy->GetMaterialByName(L"Skin")->GetDiffuseColor(0);
    const CRGBColor b = scene->GetMaterialByName(L"Skin")->GetDiffuseColor(0);
    EXPECT_EQ(std::tuple(a.r, a.g, a.b), std::tuple(b.r, b.g, b.b));

    // A malformed file: the code's message, and in the options' log the error's entry followed by
    // the reader's account of the line.
    C3DIo bad(CXStringW((kData + "/quirks/malformed.obj").c_str()), FILE_IO_LOADING | FILE_IO_SILENT);
    CSceneImportOptions readOptions;
    EXPECT_FALSE(bad.Read(&readOptions));
    EXPECT_EQ(bad.GetIoError(), IO_FILE_BAD_FORMAT);
    EXPECT_EQ(Text(bad.GetIoErrorTxt()), "Bad file format");
    IoLogInfo first, second;
    ASSERT_TRUE(readOptions.GetLogInfo(readOptions.GetLogInfoCount() - 2, first));
    ASSERT_TRUE(readOptions.GetLogInfo(readOptions.GetLogInfoCount() - 1, second));
    EXPECT_EQ(first.code, IO_FILE_BAD_FORMAT);
    EXPECT_EQ(second.level, IO_LOG_ERROR);
    EXPECT_EQ(Text(second.text).rfind("line ", 0), 0u) << Text(second.text);
}

// Files named inside a file are read only when they are regular files: a library naming a device
// without end is skipped (its materials are made by name) instead of hanging the reader, and an
// OBJ name that leads to a device is refused like a file that cannot be opened.
TEST(WavefrontFrame, DevicesAreNotReadAsFiles) {
    TempDir dir;
    for (const char* device : {"/dev/zero", "/dev/urandom"}) {
        std::ofstream(dir.path + "/device.obj") << "mtllib " << device << "\nv 0 0 0\nv 1 0 0\nv 0 1 0\n"
                                                  "usemtl red\nf 1 2 3\n";
        ScenePtr scene = ReadFramed(dir.path + "/device.obj");
        ASSERT_TRUE(scene) << device;
        EXPECT_TRUE(scene->GetMaterialByName(L"red"));
    }
    ASSERT_EQ(::symlink("/dev/zero", (dir.path + "/zero.obj").c_str()), 0);
    C3DIo zero(CXStringW((dir.path + "/zero.obj").c_str()), FILE_IO_LOADING | FILE_IO_SILENT);
    EXPECT_FALSE(zero.Read());
    EXPECT_EQ(zero.GetIoError(), IO_FILE_CANT_OPEN);
}

// A "mtllib" line that names no existing file as a whole is a list of blank-separated names; every
// material is read back, and so is one of a name with Windows separators.
TEST(WavefrontFrame, LibraryListsAndWindowsSeparators) {
    TempDir dir;
    std::ofstream(dir.path + "/one.mtl") << "newmtl a\nKd 0 1 0\n";
    // A name defined again by a later library is the same material.
    std::ofstream(dir.path + "/two.mtl") << "newmtl b\nKd 0 0 1\nnewmtl a\nKs 1 1 0\n";
    std::ofstream(dir.path + "/list.obj") << "mtllib one.mtl  two.mtl\t\nv 0 0 0\nv 1 0 0\nv 0 1 0\n"
                                            "usemtl a\nf 1 2 3\nusemtl b\nf 3 2 1\n";
    ScenePtr listed = ReadFramed(dir.path + "/list.obj");
    ASSERT_TRUE(listed);
    ASSERT_TRUE(listed->GetMaterialByName(L"a") && listed->GetMaterialByName(L"b"));
    EXPECT_EQ(listed->GetMaterialTable().GetCount(), 2);
    EXPECT_EQ(listed->GetMaterialByName(L"a")->GetDiffuseColor(0).g, 255);
    EXPECT_EQ(listed->GetMaterialByName(L"a")->GetSpecularColor(0).g, 255);
    EXPECT_EQ(listed->GetMaterialByName(L"b")->GetDiffuseColor(0).b, 255);

    // A name written with Windows separators is found with slashes.
    ASSERT_EQ(std::system(("mkdir -p '" + dir.path + "/sub/deeper'").c_str()), 0);
    std::ofstream(dir.path + "/sub/deeper/wood.mtl") << "newmtl wood\nKd 1 0 0\n";
    std::ofstream(dir.path + "/windows.obj") << "mtllib sub\\deeper\\wood.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\n"
                                               "usemtl wood\nf 1 2 3\n";
    ScenePtr fromWindows = ReadFramed(dir.path + "/windows.obj");
    ASSERT_TRUE(fromWindows && fromWindows->GetMaterialByName(L"wood"));
    EXPECT_EQ(fromWindows->GetMaterialByName(L"wood")->GetDiffuseColor(0).r, 255);

    // A library named with folders the file no longer sits in (the exporter's own, on another
    // machine) is the one of that name beside it, in any letter case (written on Windows); a name
    // found where it points still wins, and wildcards in a name are its letters.
    std::ofstream(dir.path + "/wood.mtl") << "newmtl wood\nKd 0 1 0\n";
    for (const char* line : {"mtllib C:\\Users\\me\\Desktop\\wood.mtl", "mtllib /home/me/models/wood.mtl",
                             "mtllib gone/wood.mtl", "mtllib WOOD.Mtl", "mtllib C:\\Models\\Wood.MTL"}) {
        std::ofstream(dir.path + "/moved.obj")
            << line << "\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl wood\nf 1 2 3\n";
        ScenePtr moved = ReadFramed(dir.path + "/moved.obj");
        ASSERT_TRUE(moved && moved->GetMaterialByName(L"wood")) << line;
        EXPECT_EQ(moved->GetMaterialByName(L"wood")->GetDiffuseColor(0).g, 255) << line;
    }
    fromWindows = ReadFramed(dir.path + "/windows.obj");
    EXPECT_EQ(fromWindows->GetMaterialByName(L"wood")->GetDiffuseColor(0).r, 255);
    std::ofstream(dir.path + "/star.obj")
        << "mtllib w*.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl wood\nf 1 2 3\n";
    ScenePtr star = ReadFramed(dir.path + "/star.obj");
    ASSERT_TRUE(star && star->GetMaterialByName(L"wood"));
    EXPECT_EQ(star->GetMaterialByName(L"wood")->GetDiffuseColor(0).g, 192);  // the default colour
}

// A library that is missing or cannot be read is a warning, not a failure: the file is read, its
// materials are made by name with default colours, and the notes say which library and why; the
// frame logs each note as a warning entry.
TEST(WavefrontFrame, MissingOrUnreadableLibrariesAreNoted) {
    TempDir dir;
    std::ofstream(dir.path + "/one.mtl") << "newmtl a\nKd 0 1 0\n";
    // Names met again are read and noted once.
    std::ofstream(dir.path + "/notes.obj")
        << "mtllib one.mtl gone.mtl\nmtllib /dev/zero\nmtllib gone.mtl one.mtl "
           "gone.mtl\nv 0 0 0\nv 1 0 0\n"
           "v 0 1 0\nusemtl a\nf 1 2 3\nusemtl b\nf 3 2 1\n";
    int result = 0;
    CWavefrontIo::CReadNotes notes;
    ScenePtr scene(CWavefrontIo::ReadObjFile(CXStringW((dir.path + "/notes.obj").c_str()), result, &notes));
    ASSERT_TRUE(scene);
    EXPECT_EQ(scene->GetMaterialByName(L"a")->GetDiffuseColor(0).g, 255);
    EXPECT_TRUE(scene->GetMaterialByName(L"b"));
    ASSERT_EQ(notes.warnings.GetSize(), 2);
    EXPECT_EQ(std::string(notes.warnings[0].GetString()),
              "material library \"gone.mtl\" not found: its materials keep default colours");
    EXPECT_EQ(std::string(notes.warnings[1].GetString()),
              "material library \"/dev/zero\" cannot be read: its materials keep default colours");
    EXPECT_TRUE(notes.problem.IsEmpty());

    C3DIo io(CXStringW((dir.path + "/notes.obj").c_str()), FILE_IO_LOADING | FILE_IO_SILENT);
    CSceneImportOptions options;
    ScenePtr framed(io.Read(&options));
    ASSERT_TRUE(framed);
    std::vector<std::string> warnings;
    IoLogInfo info;
    for (int i = 0; i < options.GetLogInfoCount(); ++i)
        if (options.GetLogInfo(i, info) && info.level == IO_LOG_WARNING) warnings.push_back(Text(info.text));
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_EQ(warnings[0], std::string(notes.warnings[0].GetString()));

    // Past the first eight, lost libraries are counted rather than named.
    std::ofstream many(dir.path + "/many.obj");
    for (int i = 0; i < 20; ++i) many << "mtllib lost" << i << ".mtl\n";
    many << "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n";
    many.close();
    scene.reset(CWavefrontIo::ReadObjFile(CXStringW((dir.path + "/many.obj").c_str()), result, &notes));
    ASSERT_TRUE(scene);
    ASSERT_EQ(notes.warnings.GetSize(), 9);
    EXPECT_EQ(std::string(notes.warnings[7].GetString()),
              "material library \"lost7.mtl\" not found: its materials keep default colours");
    EXPECT_EQ(std::string(notes.warnings[8].GetString()),
              "12 more material libraries not found or unreadable: their materials keep default colours");
}

}  // namespace
}  // namespace kestovar
