// Wavefront MTL material libraries: reading into a scene's material table and writing it.
#include <cmath>
#include <cstring>

#include "io/line_source.h"
#include "io/wavefront_text.h"
#include "kestovar/core/runtime.h"
#include "kestovar/core/thread_registry.h"
#include "kestovar/core/xstring.h"
#include "kestovar/io/wavefront.h"
#include "kestovar/scene/material.h"
#include "kestovar/scene/scene.h"

namespace kestovar {

using namespace wavefront;

namespace {

// An MTL colour component in [0, 1] to a byte, rounded, so that a byte written as byte / 255 with
// six decimals reads back as the same byte.
int ColorByte(float value) {
    if (!(value > 0.0f)) return 0;
    if (value >= 1.0f) return 255;
    return int(std::lround(double(value) * 255.0));
}

// "Ka r g b": one value stands for grey. False when no number is there.
bool ParseColor(const char* p, const char* end, CRGBColor& color) {
    float c[3];
    const char* q = ParseFloat(p, end, c[0]);
    if (!q) return false;
    const char* q2 = ParseFloat(q, end, c[1]);
    const char* q3 = q2 ? ParseFloat(q2, end, c[2]) : nullptr;
    if (!q3) c[1] = c[2] = c[0];
    color = CRGBColor(ColorByte(c[0]), ColorByte(c[1]), ColorByte(c[2]), 255);
    return true;
}

// Code points of the bytes 0x80-0x9F in Windows-1252 (the five it leaves undefined keep their
// Latin-1 control code points); the bytes from 0xA0 on are Latin-1.
const char16_t kWindows1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                       0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                       0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                       0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// The placement options of a texture map statement: -o (offset, missing numbers 0) and -s (scale,
// missing numbers 1), each u, v, w.
struct MapPlacement {
    float offset[3] = {0.0f, 0.0f, 0.0f};
    float scale[3] = {1.0f, 1.0f, 1.0f};
    bool hasOffset = false, hasScale = false;
};

// The file name of a texture map statement, after the options the MTL format allows before it
// ("map_Kd -s 1 1 1 -bm 0.5 wood.png"): each known option with its argument(s) is skipped, -o and
// -s kept in `placement`; -o, -s and -t take one to three numbers. The rest of the line is the
// name, blanks included. Text that does not read as options (an unknown "-x", a missing argument)
// is kept as part of the name.
const char* SkipMapOptions(const char* p, const char* end, MapPlacement& placement) {
    struct Option {
        const char* name;
        int arguments;  // fixed count; -1: one to three numbers
    };
    static const Option kOptions[] = {{"-blendu", 1}, {"-blendv", 1},  {"-bm", 1},  {"-boost", 1}, {"-cc", 1},
                                      {"-clamp", 1},  {"-imfchan", 1}, {"-mm", 2},  {"-o", -1},    {"-s", -1},
                                      {"-t", -1},     {"-texres", 1},  {"-type", 1}};
    for (;;) {
        const char* q = SkipBlanks(p, end);
        if (q == end || *q != '-') return p;
        const char* e = SkipToken(q, end);
        const Option* option = nullptr;
        for (const Option& o : kOptions)
            if (size_t(e - q) == std::strlen(o.name) && std::memcmp(q, o.name, size_t(e - q)) == 0)
                option = &o;
        if (!option) return p;
        const char* r = e;
        const int wanted = option->arguments < 0 ? 3 : option->arguments;
        int taken = 0;
        float numbers[3] = {0.0f, 0.0f, 0.0f};
        for (; taken < wanted; ++taken) {
            const char* t = SkipBlanks(r, end);
            if (t == end) break;
            const char* te = SkipToken(t, end);
            // Numbers for -o, -s and -t stop at the first token that is not one.
            if (option->arguments < 0 && ParseFloat(t, te, numbers[taken]) != te) break;
            r = te;
        }
        // Fewer arguments than the option takes, or nothing left for the name: not options.
        if (taken == 0 || (option->arguments > 0 && taken < option->arguments) || SkipBlanks(r, end) == end)
            return p;
        const bool offset = !std::strcmp(option->name, "-o"), scale = !std::strcmp(option->name, "-s");
        if (offset || scale) {
            float* values = offset ? placement.offset : placement.scale;
            for (int k = 0; k < 3; ++k) values[k] = k < taken ? numbers[k] : (offset ? 0.0f : 1.0f);
            (offset ? placement.hasOffset : placement.hasScale) = true;
        }
        p = r;
    }
}

// Reads the library's materials into the scene; `byName` indexes the scene's materials and gets
// the ones created here.
int ReadMtl(CLineSource& source, C3DScene& scene, unsigned int uvwChannelID, CMaterialsByName& byName) {
    CSwitchLocale english;
    C3DMaterial* material = nullptr;
    int named = 0;
    const char* p;
    const char* end;
    while (source.Next(p, end)) {
        if (ShouldCancelThread()) break;
        p = SkipBlanks(p, end);
        const char* rest;
        if (MatchKeyword(p, end, "newmtl", rest)) {
            const char* b = rest;
            const char* e = end;
            Trim(b, e);
            const CXStringW name = DecodeName(b, int(e - b));
            C3DMaterial*& known = byName.GetOrInsert(name);
            if (!known) {
                known = scene.CreateNewMaterial();
                known->SetName(name);
            }
            material = known;
            ++named;
            continue;
        }
        if (!material) continue;
        CRGBColor color;
        float value;
        if (MatchKeyword(p, end, "ka", rest)) {
            if (ParseColor(rest, end, color)) material->SetAmbientColor(color);
        } else if (MatchKeyword(p, end, "kd", rest)) {
            if (ParseColor(rest, end, color)) material->SetDiffuseColor(color);
        } else if (MatchKeyword(p, end, "ks", rest)) {
            if (ParseColor(rest, end, color)) material->SetSpecularColor(color);
        } else if (MatchKeyword(p, end, "d", rest)) {
            if (ParseFloat(rest, end, value)) material->SetTransparency(1.0f - value);
        } else if (MatchKeyword(p, end, "tr", rest)) {
            if (ParseFloat(rest, end, value)) material->SetTransparency(value);
        } else if (MatchKeyword(p, end, "ns", rest)) {
            if (ParseFloat(rest, end, value)) material->GetCustomData().SetFloat(CWavefrontIo::kMtlShininessID, value);
        } else if (MatchKeyword(p, end, "map_kd", rest)) {
            MapPlacement placement;
            const char* b = SkipMapOptions(rest, end, placement);
            const char* e = end;
            Trim(b, e);
            if (b == e) continue;
            // One diffuse map per material: a later line replaces it.
            while (CMaterialMap* old = material->GetDiffuseMaps()) material->RemoveMaterialMap(old);
            CMaterialMap* map = material->AddMaterialMap(CXStringW(b, int(e - b)), uvwChannelID, MAP_DIFFUSE,
                                                         MAP_PROJECTION_UV);
            // The offset and scale of the texture become the map's translation and scale.
            if (map && placement.hasOffset)
                map->SetTranslation(
                    0, C3DTVector<float>(placement.offset[0], placement.offset[1], placement.offset[2]));
            if (map && placement.hasScale)
                map->SetScale(0,
                              C3DTVector<float>(placement.scale[0], placement.scale[1], placement.scale[2]));
        }
    }
    return named;
}

}  // namespace

CXStringW wavefront::DecodeName(const char* text, int length) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    int i = 0;
    while (i < length && bytes[i] < 0x80) ++i;
    if (i == length) return CXStringW(text, length);
    // UTF-8 exactly when decoding and encoding again gives the same bytes: every ill-formed
    // sequence decodes to U+FFFD, whose three bytes differ from it.
    const XCA2W wide(text, length);
    const XCW2A again(wide.GetString(), wide.GetLength());
    if (again.GetLength() == length && std::memcmp(again.GetString(), text, size_t(length)) == 0)
        return CXStringW(wide.GetString(), wide.GetLength());
    CXStringW name;
    wchar_t* out = name.GetBuffer(length);
    for (int k = 0; k < length; ++k)
        out[k] = bytes[k] >= 0x80 && bytes[k] < 0xA0 ? wchar_t(kWindows1252High[bytes[k] - 0x80])
                                                     : wchar_t(bytes[k]);
    name.ReleaseBuffer(length);
    return name;
}

namespace wavefront {

void BuildMtlNames(const C3DScene& scene, CMtlNameMap& names) {
    names.RemoveAll();
    CXArray<unsigned int> ids;
    scene.GetMaterialTable().GetIDs(ids);
    CHashMap<CXStringA, const CXStringA&, unsigned int> taken;
    for (int i = 0; i < ids.GetSize(); ++i) {
        const unsigned id = ids[i];
        const CXStringA line = OneLineText(scene.GetMaterialByID(id)->GetName());
        const char* b = line.GetString();
        const char* e = b + line.GetLength();
        Trim(b, e);
        CXStringA name(b, int(e - b));
        char number[16];
        *FormatInt(number, int(id)) = 0;
        if (name.IsEmpty()) {
            name = "Material";
            name += number;
        }
        // A suffix can meet another material's name in turn: repeat until the name is free.
        while (taken.IsFound(name)) {
            name += '_';
            name += number;
        }
        taken.Insert(name, id);
        // Trimmed above: a final backslash needs its blank back.
        KeepLineEnd(name);
        names.Insert(id, name);
    }
}

void WriteMtl(CTextWriter& out, C3DScene& scene, const CMtlNameMap& names) {
    out.Put("# Wavefront MTL generated by Vistaplex\n");
    CXArray<unsigned int> ids;
    scene.GetMaterialTable().GetIDs(ids);
    for (int i = 0; i < ids.GetSize(); ++i) {
        C3DMaterial* m = scene.GetMaterialByID(ids[i]);
        const CXStringA* name = names.Find(ids[i]);
        out.Put("newmtl ");
        if (name) out.Put(name->GetString(), size_t(name->GetLength()));
        out.Put("\n");
        float rgba[4];
        auto colour = [&](const char* keyword) {
            char* p = out.Reserve(CTextWriter::kMaxItemBytes);
            for (const char* k = keyword; *k; ++k) *p++ = *k;
            for (int c = 0; c < 3; ++c) {
                *p++ = ' ';
                p = FormatFloat(p, rgba[c]);
            }
            *p++ = '\n';
            out.Commit(p);
        };
        auto number = [&](const char* keyword, float value) {
            char* p = out.Reserve(CTextWriter::kMaxItemBytes);
            for (const char* k = keyword; *k; ++k) *p++ = *k;
            p = FormatFloat(p, value);
            *p++ = '\n';
            out.Commit(p);
        };
        m->FloatGetAmbientColor(0, rgba);
        colour("Ka");
        m->FloatGetDiffuseColor(0, rgba);
        colour("Kd");
        m->FloatGetSpecularColor(0, rgba);
        colour("Ks");
        const float transparency = m->GetTransparency(0);
        number("Tr ", transparency);
        number("d ", 1.0f - transparency);
        float shininess = 0.0f;
        m->GetCustomData().GetFloat(CWavefrontIo::kMtlShininessID, shininess, 0.0f);
        number("Ns ", shininess);
        if (CMaterialMap* map = m->GetDiffuseMaps()) {
            const CXStringA file = OneLineText(map->GetFileName());
            out.Put("map_Kd ");
            // A translation or scale of the map goes before the name as the -o and -s options.
            auto option = [&](const char* name, const C3DTVector<float>& v) {
                char* p = out.Reserve(CTextWriter::kMaxItemBytes);
                for (const char* k = name; *k; ++k) *p++ = *k;
                for (const float c : {v.x, v.y, v.z}) {
                    *p++ = ' ';
                    p = FormatFloat(p, c);
                }
                *p++ = ' ';
                out.Commit(p);
            };
            C3DTVector<float> offset, scale;
            if (map->GetTranslation(0, offset) && !(offset.x == 0.0f && offset.y == 0.0f && offset.z == 0.0f))
                option("-o", offset);
            if (map->GetScale(0, scale) && !(scale.x == 1.0f && scale.y == 1.0f && scale.z == 1.0f))
                option("-s", scale);
            out.Put(file.GetString(), size_t(file.GetLength()));
            out.Put("\n");
        }
    }
}

}  // namespace wavefront

// The index keeps the lowest identifier of a name, as GetMaterialByName finds it, so that a
// library of many materials is not searched from the start for each.
void wavefront::IndexMaterialsByName(C3DScene& scene, CMaterialsByName& byName) {
    byName.RemoveAll();
    int position = kHashStartPosition;
    while (C3DMaterial* m = scene.GetMaterialTable().GetNext(position)) {
        C3DMaterial*& slot = byName.GetOrInsert(m->GetName());
        if (!slot || m->GetMaterialID() < slot->GetMaterialID()) slot = m;
    }
}

int wavefront::ReadMtlFileIndexed(const wchar_t* fileName, C3DScene& scene, unsigned int uvwChannelID,
                                  CMaterialsByName& byName) {
    CLineSource source;
    XCW2A path(fileName);
    if (!source.OpenFile(path)) return -1;
    return ReadMtl(source, scene, uvwChannelID, byName);
}

int CWavefrontIo::ReadMtlFile(const wchar_t* fileName, C3DScene& scene, unsigned int uvwChannelID) {
    CMaterialsByName byName;
    IndexMaterialsByName(scene, byName);
    return ReadMtlFileIndexed(fileName, scene, uvwChannelID, byName);
}

int CWavefrontIo::ReadMtlMemory(const void* data, size_t size, C3DScene& scene, unsigned int uvwChannelID) {
    CLineSource source;
    source.OpenMemory(data, size);
    CMaterialsByName byName;
    IndexMaterialsByName(scene, byName);
    return ReadMtl(source, scene, uvwChannelID, byName);
}

}  // namespace kestovar
