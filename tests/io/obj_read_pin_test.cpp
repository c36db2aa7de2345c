// The OBJ reader's output, pinned bit for bit: a digest of every coordinate, index, face flag,
// material and name of the scenes read from the oddity files, the sample meshes and a generated
// height field (the benchmark's generator at a small size), so that a faster reader must produce
// exactly the same scenes. Also: the same scene from a file (read block by block) and from memory,
// and from texts that spell the same numbers and lines differently. Also how a read reacts to
// cancellation requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "io_test_util.h"
#include "kestovar/core/thread_registry.h"
#include "kestovar/io/wavefront.h"
#include "kestovar/mesh/channel_lists.h"
#include "kestovar/mesh/channels.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/normal_channel.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/platform/thread.h"
#include "kestovar/scene/material.h"
#include "kestovar/scene/scene.h"

namespace kestovar {
namespace {

const std::string kData = KESTOVAR_TEST_DATA;

// FNV-1a over 64 bits.
class Digest {
public:
    void Bytes(const void* data, size_t size) {
        const unsigned char* p = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < size; ++i) m_h = (m_h ^ p[i]) * 0x100000001b3ull;
    }
    void U32(uint32_t v) { Bytes(&v, 4); }
    void F32(float f) {
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        U32(bits);
    }
    void Text(const CXStringW& s) {
        XCW2A utf8(s);
        U32(uint32_t(utf8.GetLength()));
        Bytes(utf8.GetString(), size_t(utf8.GetLength()));
    }
    uint64_t Value() const { return m_h; }

private:
    uint64_t m_h = 0xcbf29ce484222325ull;
};

// Material identifiers come from a process-wide counter: faces are hashed with the material's
// place in the scene's table (`materials`, null for a channel's faces) instead.
void HashFaces(Digest& d, CFaceList* faces, const std::map<unsigned, uint32_t>* materials) {
    d.U32(uint32_t(faces->GetSize()));
    for (int f = 0; f < faces->GetSize(); ++f) {
        d.U32(faces->GetFaceFlags(unsigned(f)));
        if (materials) {
            auto it = materials->find(static_cast<C3DFaceList*>(faces)->GetFaceMaterial(unsigned(f)));
            d.U32(it == materials->end() ? 0xFFFFFFFFu : it->second);
        }
        int n;
        const int* idx = faces->GetIndexes(unsigned(f), n);
        d.U32(uint32_t(n));
        for (int i = 0; i < n; ++i) d.U32(uint32_t(idx[i]));
    }
}

// Everything a read puts into the scene, except channel and material identifiers (drawn from
// process-wide counters). Materials are taken in ascending identifier order, which is their
// order of creation whatever the counter's start; the table's slot order would depend on it.
uint64_t SceneDigest(C3DScene& scene) {
    Digest d;
    std::map<unsigned, uint32_t> materials;
    CXArray<unsigned> ids;
    scene.GetMaterialTable().GetIDs(ids);
    for (unsigned id : ids) {
        const uint32_t place = uint32_t(materials.size());
        materials.emplace(id, place);
        d.Text(scene.GetMaterialTable().FindByID(id)->GetName());
    }
    for (C3DNodePos pos = scene.GetFirstNode(); pos;) {
        C3DSceneNode* node = scene.GetNextNode(pos);
        d.Text(node->GetName());
        C3DGeomObject* o = node->GetGeomObject();
        if (!o) continue;
        const C3DPointList* points = o->GetPointList();
        d.U32(uint32_t(points->GetSize()));
        for (int i = 0; i < points->GetSize(); ++i) {
            d.F32(points->GetAt(i).x);
            d.F32(points->GetAt(i).y);
            d.F32(points->GetAt(i).z);
        }
        HashFaces(d, o->GetFaceList(), &materials);
        for (int c = 0;; ++c) {
            CChannel* channel = o->GetChannelByIndex(c, CHANNEL_ALL, false);
            if (!channel) break;
            d.U32(channel->GetType());
            if (channel->GetType() == CHANNEL_UVW) {
                const CUVWPointList* uv = static_cast<CUVWChannel*>(channel)->GetUVWPointList();
                d.U32(uint32_t(uv->GetSize()));
                for (int i = 0; i < uv->GetSize(); ++i) {
                    d.F32(uv->GetPoints()[i].u);
                    d.F32(uv->GetPoints()[i].v);
                    d.F32(uv->GetPoints()[i].w);
                }
            } else if (channel->GetType() == CHANNEL_VC) {
                const CVCPointList* vc = static_cast<CVCChannel*>(channel)->GetVCPointList();
                d.U32(uint32_t(vc->GetSize()));
                for (int i = 0; i < vc->GetSize(); ++i) d.U32(vc->GetPoints()[i].color.GetValue());
            } else if (channel->GetType() == CHANNEL_SPEC_NORMAL) {
                const C3DVectorList* n = static_cast<CSpecNormalChannel*>(channel)->GetNormalVectorList();
                d.U32(uint32_t(n->GetSize()));
                for (int i = 0; i < n->GetSize(); ++i) {
                    d.F32(n->GetAt(i).x);
                    d.F32(n->GetAt(i).y);
                    d.F32(n->GetAt(i).z);
                }
            }
            if (channel->GetFaceList()) HashFaces(d, channel->GetFaceList(), nullptr);
        }
    }
    return d.Value();
}

struct SceneDeleter {
    void operator()(C3DScene* s) const { delete s; }
};
using ScenePtr = std::unique_ptr<C3DScene, SceneDeleter>;

// The digest of reading `path` (0 when the read fails), with the result code.
uint64_t DigestOfFile(const std::string& path, int& result) {
    CXStringW name(path.c_str());
    ScenePtr scene(CWavefrontIo::ReadObjFile(name, result));
    return scene ? SceneDigest(*scene) : 0;
}

uint64_t DigestOfText(const std::string& text, int& result) {
    ScenePtr scene(CWavefrontIo::ReadObjMemory(text.data(), text.size(), nullptr, result));
    return scene ? SceneDigest(*scene) : 0;
}

// The benchmark's height field: `grid` x `grid` points, two triangles per cell, with texture
// coordinates and normals (faces v/vt/vn) when `full`.
std::string HeightField(int grid, bool full) {
    std::string text;
    char line[160];
    auto add = [&](int n) { text.append(line, size_t(n)); };
    add(std::snprintf(line, sizeof line, "# height field %d x %d\n", grid, grid));
    auto height = [](double x, double y) { return 0.05 * std::sin(9.0 * x) * std::cos(7.0 * y); };
    for (int j = 0; j < grid; ++j)
        for (int i = 0; i < grid; ++i) {
            const double x = double(i) / (grid - 1), y = double(j) / (grid - 1);
            add(std::snprintf(line, sizeof line, "v %f %f %f\n", x, y, height(x, y)));
        }
    if (full) {
        for (int j = 0; j < grid; ++j)
            for (int i = 0; i < grid; ++i)
                add(std::snprintf(line, sizeof line, "vt %f %f\n", double(i) / (grid - 1), double(j) / (grid - 1)));
        for (int j = 0; j < grid; ++j)
            for (int i = 0; i < grid; ++i) {
                const double x = double(i) / (grid - 1), y = double(j) / (grid - 1);
                const double dx = 0.45 * std::cos(9.0 * x) * std::cos(7.0 * y);
                const double dy = -0.35 * std::sin(9.0 * x) * std::sin(7.0 * y);
                const double l = std::sqrt(dx * dx + dy * dy + 1.0);
                add(std::snprintf(line, sizeof line, "vn %f %f %f\n", -dx / l, -dy / l, 1.0 / l));
            }
    }
    for (int j = 0; j + 1 < grid; ++j)
        for (int i = 0; i + 1 < grid; ++i) {
            const int a = j * grid + i + 1, b = a + 1, c = a + grid, d = c + 1;
            if (full) {
                add(std::snprintf(line, sizeof line, "f %d/%d/%d %d/%d/%d %d/%d/%d\n", a, a, a, b, b, b, d, d, d));
                add(std::snprintf(line, sizeof line, "f %d/%d/%d %d/%d/%d %d/%d/%d\n", a, a, a, d, d, d, c, c, c));
            } else {
                add(std::snprintf(line, sizeof line, "f %d %d %d\n", a, b, d));
                add(std::snprintf(line, sizeof line, "f %d %d %d\n", a, d, c));
            }
        }
    return text;
}

TEST(ObjReadPinned, OddityFilesAndSamplesGiveTheirPinnedScenes) {
    struct Pin {
        const char* file;
        int result;
        uint64_t digest;
    };
    // The UTF-16 box is the box without a last line end (its unterminated last face counts);
    // malformed.obj names index 12 of 8 vertices, then index 0; malformed2.obj has a bare "f"
    // line, which is skipped; colours after x y z become a colour channel; lines and points are not
    // faces.
    const Pin pins[] = {
        {"quirks/box_UTF16BE.obj", IO_FILE_OK, 0x2995bd6a55c23a83ull},
        {"quirks/box_longline.obj", IO_FILE_OK, 0xd3b171eeeddae437ull},
        {"quirks/box_without_lineending.obj", IO_FILE_OK, 0x2995bd6a55c23a83ull},
        {"quirks/concave_polygon.obj", IO_FILE_OK, 0xe216a2cedc4c3b15ull},
        {"quirks/cube_usemtl.obj", IO_FILE_OK, 0x8677320336d8512dull},
        {"quirks/cube_with_vertexcolors.obj", IO_FILE_OK, 0x5c7b4aeb07d1bfa7ull},
        {"quirks/empty_mat.obj", IO_FILE_OK, 0x18cff9b27a02cd20ull},
        {"quirks/malformed.obj", IO_FILE_BAD_FORMAT, 0},
        {"quirks/malformed2.obj", IO_FILE_OK, 0x2b99ae5b3196aec3ull},
        {"quirks/multiple_spaces.obj", IO_FILE_OK, 0xfca3503809f28566ull},
        {"quirks/number_formats.obj", IO_FILE_OK, 0x1f29d5bcf8f9ccc7ull},
        {"quirks/point_cloud.obj", IO_FILE_OK, 0x6281845d79395e7aull},
        {"quirks/space_in_material_name.obj", IO_FILE_OK, 0xe92a60986827a59cull},
        {"quirks/testline.obj", IO_FILE_OK, 0x5dc23bddbca25a27ull},
        {"quirks/testmixed.obj", IO_FILE_OK, 0xd5f72851ab906a2bull},
        {"quirks/testpoints.obj", IO_FILE_OK, 0x5dc23bddbca25a27ull},
        {"blade.obj", IO_FILE_OK, 0x4f0777c54e03a256ull},
        {"camel.obj", IO_FILE_OK, 0xed23a5f609217815ull},
    };
    for (const Pin& pin : pins) {
        SCOPED_TRACE(pin.file);
        int result = 1;
        const uint64_t digest = DigestOfFile(kData + "/" + pin.file, result);
        EXPECT_EQ(result, pin.result);
        EXPECT_EQ(digest, pin.digest) << std::hex << "0x" << digest;
        // From memory, the same scene (no material library: none is found without a directory,
        // so only files without "mtllib" compare).
        const std::string text = iotest::ReadFile(kData + "/" + pin.file);
        if (text.find("mtllib") == std::string::npos) {
            int memoryResult = 1;
            EXPECT_EQ(DigestOfText(text, memoryResult), digest);
            EXPECT_EQ(memoryResult, pin.result);
        }
    }
}

// The generated field is several block sizes long, so lines straddle the reader's block borders.
TEST(ObjReadPinned, HeightFieldFromFileAndMemoryGivesThePinnedScene) {
    iotest::ScratchDir dir;
    struct Case {
        int grid;
        bool full;
        uint64_t digest;
    };
    const Case cases[] = {{301, false, 0xc3977fcd28218f70ull}, {161, true, 0xe2c85bf695afe464ull}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.full ? "v/vt/vn" : "v");
        const std::string text = HeightField(c.grid, c.full);
        const std::string path = (dir / "field.obj").string();
        iotest::WriteFile(path, text);
        int result = 1;
        const uint64_t digest = DigestOfFile(path, result);
        EXPECT_EQ(result, IO_FILE_OK);
        EXPECT_EQ(digest, c.digest) << std::hex << "0x" << digest;
        int memoryResult = 1;
        EXPECT_EQ(DigestOfText(text, memoryResult), digest);
    }
}

// Each line of `text` through `change` (which gets the line without its '\n').
template <class F>
std::string EachLine(const std::string& text, F change) {
    std::string out;
    out.reserve(text.size() * 2);
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        out += change(text.substr(begin, end - begin));
        out += '\n';
        begin = end + 1;
    }
    return out;
}

// Tokens of a line split at single spaces.
std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> tokens;
    size_t begin = 0;
    for (;;) {
        size_t end = line.find(' ', begin);
        tokens.push_back(line.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
        if (end == std::string::npos) break;
        begin = end + 1;
    }
    return tokens;
}

// The same numbers and lines spelled differently give the same scene: line ends, blanks, case,
// signs, exponents, extra digits and trailing text. From a file, so that a "\r\n" may straddle a
// block border.
TEST(ObjReadPinned, RespelledTextGivesTheSameScene) {
    const std::string plain = HeightField(161, false);  // about 1.9 MB: several blocks
    int result = 1;
    const uint64_t expected = DigestOfText(plain, result);
    ASSERT_EQ(result, IO_FILE_OK);
    // "0.123456" as "123456e-6", "-0.5" as "-05e-1": the same decimal value.
    auto exponent = [](const std::string& number) {
        const size_t dot = number.find('.');
        if (dot == std::string::npos) return number;
        return number.substr(0, dot) + number.substr(dot + 1) + "e-" + std::to_string(number.size() - dot - 1);
    };
    const struct {
        const char* what;
        std::string (*change)(const std::string&);
    } variants[] = {
        {"crlf", [](const std::string& l) { return l + "\r"; }},
        {"blanks", [](const std::string& l) {
             std::string out = " \t";
             for (const std::string& t : Split(l)) out += t + " \t  ";
             return out;
         }},
        {"upper case and trailing text", [](const std::string& l) {
             if (l.empty() || l[0] == '#') return l;
             return std::string(1, char(l[0] - 'a' + 'A')) + l.substr(1) + " # " + l;
         }},
        {"plus signs and extra zeros", [](const std::string& l) {
             std::vector<std::string> t = Split(l);
             if (t[0] != "v") return l;
             std::string out = "v";
             for (size_t i = 1; i < t.size(); ++i) out += " " + (t[i][0] == '-' ? t[i] : "+" + t[i]) + "0000000000000000";
             return out;
         }},
    };
    iotest::ScratchDir dir;
    for (const auto& v : variants) {
        SCOPED_TRACE(v.what);
        const std::string text = EachLine(plain, v.change);
        iotest::WriteFile(dir / "respelled.obj", text);
        EXPECT_EQ(DigestOfFile((dir / "respelled.obj").string(), result), expected);
        EXPECT_EQ(result, IO_FILE_OK);
    }
    // Classic Mac OS line ends (a lone '\r'): the box without a last line end, as pinned.
    std::string mac = iotest::ReadFile(kData + "/quirks/box_without_lineending.obj");
    std::replace(mac.begin(), mac.end(), '\n', '\r');
    iotest::WriteFile(dir / "mac.obj", mac);
    EXPECT_EQ(DigestOfFile((dir / "mac.obj").string(), result), 0x2995bd6a55c23a83ull);
    const std::string exponents = EachLine(plain, [&](const std::string& l) {
        std::vector<std::string> t = Split(l);
        if (t[0] != "v") return l;
        return "v " + exponent(t[1]) + " " + exponent(t[2]) + " " + exponent(t[3]);
    });
    EXPECT_EQ(DigestOfText(exponents, result), expected);
}

// Lines longer than the line source's block (a comment and a face of 60,000 corners) make it grow
// its buffer in both passes; a UTF-8 byte-order mark is skipped and a last line without its end
// still counts. File and memory give the same scene.
TEST(ObjReadPinned, LinesLongerThanABlock) {
    std::string text = "\xEF\xBB\xBFv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n# " + std::string(700000, 'x') + "\nf";
    for (int i = 0; i < 60000; ++i) text += i % 2 ? " 2" : " 1";
    text += "\r\nf 1 2 3";
    iotest::ScratchDir dir;
    iotest::WriteFile(dir / "long.obj", text);
    CXStringW name((dir / "long.obj").string().c_str());
    int result = 0;
    ScenePtr scene(CWavefrontIo::ReadObjFile(name, result));
    ASSERT_TRUE(scene);
    C3DNodePos pos = scene->GetFirstNode();
    C3DSceneNode* node = scene->GetNextNode(pos);
    C3DGeomObject* o = node->GetGeomObject();
    ASSERT_EQ(o->GetFaceNbr(), 2);
    int n = 0;
    const int* corners = o->GetFaceList()->GetIndexes(0, n);
    EXPECT_EQ(n, 60000);
    EXPECT_EQ(corners[59999], 1);  // the second point used, "2"
    o->GetFaceList()->GetIndexes(1, n);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(o->GetPointList()->GetAt(2).y, 1.0f);
    int memoryResult = 0;
    EXPECT_EQ(DigestOfText(text, memoryResult), SceneDigest(*scene));
    EXPECT_EQ(memoryResult, IO_FILE_OK);
}

// The read polls the cancel set's count on every line and asks the full question only when the
// count is not zero: another thread's request must not stop it, a request for the reading thread's
// parent must.
TEST(ObjReadCancel, OnlyARequestForTheReaderOrItsParentStopsTheRead) {
    const std::string text = HeightField(21, false);
    const std::atomic<int>* count = GetCancelSetCount();
    ASSERT_EQ(count->load(), 0);
    const uint64_t stranger = threadGetCurrentId() + 1000003;
    SetCancelThread(true, stranger);
    EXPECT_EQ(count->load(), 1);
    int result = 0;
    EXPECT_NE(DigestOfText(text, result), 0u);
    EXPECT_EQ(result, IO_FILE_OK);
    SetCancelThread(false, stranger);
    EXPECT_EQ(count->load(), 0);

    const uint64_t parent = threadGetCurrentId();
    SetCancelThread(true);
    int workerResult = 0;
    std::thread worker([&] {
        AttachThread(0, parent);
        DigestOfText(text, workerResult);
        DetachThread(0);
    });
    worker.join();
    SetCancelThread(false);
    EXPECT_EQ(workerResult, IO_FILE_CANCELED);
    EXPECT_EQ(count->load(), 0);
}

}  // namespace
}  // namespace kestovar
