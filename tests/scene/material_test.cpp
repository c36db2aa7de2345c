// Materials: colour factors, the material table's identifier rules and default material,
// parameter comparison, maps and their placement, bitmap search and alpha detection, copies
// between tables and persistence.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>

#include "kestovar/scene/material.h"
#include "kestovar/scene/preferences.h"
#include "kestovar/scene/scene.h"
#include "scene_test_util.h"

namespace {

using namespace kestovar;
using scene_test::Catch;

// A scratch directory removed with the fixture.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/kx_scene_XXXXXX";
        m_path = mkdtemp(pattern);
    }
    ~TempDir() { std::filesystem::remove_all(m_path); }
    std::string Path(const std::string& name = "") const { return name.empty() ? m_path : m_path + "/" + name; }
    CXTString<wchar_t> WPath(const std::string& name = "") const { return CXTString<wchar_t>(Path(name).c_str()); }
    void Write(const std::string& name, const std::string& bytes) const {
        std::filesystem::create_directories(std::filesystem::path(Path(name)).parent_path());
        std::ofstream(Path(name), std::ios::binary) << bytes;
    }

private:
    std::string m_path;
};

// The first 26 bytes of a PNG file of the given colour type.
std::string PngHeader(uint8_t colourType) {
    std::string h("\x89PNG\r\n\x1A\n", 8);
    h += std::string("\0\0\0\x0DIHDR", 8);
    h += std::string("\0\0\0\x01\0\0\0\x01", 8);
    h += char(8);
    h += char(colourType);
    return h + std::string(7, '\0');
}

TEST(MaterialTest, FactorsScaleAndTruncateTheColourBytes) {
    C3DMaterial m;
    m.SetDiffuseColor(CRGBColor(100, 200, 255, 200));
    m.SetDiffuseFactor(0.5f);
    m.SetTransparency(0.25f);
    // 50, 100, 127 (127.5 truncated); alpha 200 * 0.75 = 150.
    EXPECT_EQ(m.GetDiffuseColor(0, true), CRGBColor(50, 100, 127, 150));
    EXPECT_EQ(m.GetDiffuseColor(0, false), CRGBColor(100, 200, 255, 200));
    m.SetAmbientColor(CRGBColor(200, 10, 0, 255));
    m.SetAmbientFactor(2.0f);
    EXPECT_EQ(m.GetAmbientColor(0, true), CRGBColor(255, 20, 0, 255));  // clamped, alpha untouched
    EXPECT_TRUE(m.IsTransparent(0));
    // Keys are animated: the factor at another time.
    m.SetDiffuseFactor(1.0f, 10);
    EXPECT_EQ(m.GetDiffuseColor(5, true).r, 75);
}

TEST(MaterialTest, TableIdentifiersAndTheDefaultMaterial) {
    CMaterials table;
    C3DMaterial* def = table.CreateNewMaterial(0);
    EXPECT_EQ(def->GetMaterialID(), 0u);
    EXPECT_EQ(def->GetName(), L"Default Material");
    EXPECT_EQ(def->GetOwner(), &table);
    C3DMaterial* five = table.CreateNewMaterial(5);
    EXPECT_EQ(five->GetMaterialID(), 5u);
    EXPECT_TRUE(five->GetName().IsEmpty());
    // A taken identifier gives the counter's value instead.
    C3DMaterial* again = table.CreateNewMaterial(5);
    EXPECT_NE(again->GetMaterialID(), 5u);
    EXPECT_NE(again->GetMaterialID(), 0u);
    C3DMaterial* any = table.CreateNewMaterial();
    EXPECT_NE(any->GetMaterialID(), again->GetMaterialID());
    EXPECT_EQ(table.GetCount(), 4);
    EXPECT_EQ(table.FindByID(5), five);
    EXPECT_EQ(table.FindByName(L"default material", true), def);
    EXPECT_EQ(table.FindByName(L"default material"), nullptr);
    EXPECT_TRUE(table.RemoveMaterial(5));
    EXPECT_FALSE(table.RemoveMaterial(5));
    EXPECT_EQ(table.GetCount(), 3);
    int pos;
    int seen = 0;
    for (C3DMaterial* m = table.GetFirst(pos); m; m = table.GetNext(pos)) ++seen;
    EXPECT_EQ(seen, 3);
}

TEST(MaterialTest, SetDefaultMaterialAssignsOrInserts) {
    C3DMaterial model;
    model.SetName(L"Red");
    model.SetDiffuseColor(CRGBColor(255, 0, 0, 255));
    CMaterials empty;
    C3DMaterial* inserted = empty.SetDefaultMaterial(model);
    EXPECT_EQ(inserted->GetMaterialID(), 0u);
    EXPECT_EQ(inserted->GetName(), L"Default Material");
    EXPECT_EQ(inserted->GetDiffuseColor(0), CRGBColor(255, 0, 0, 255));

    CMaterials table;
    C3DMaterial* existing = table.CreateNewMaterial(0);
    existing->SetName(L"Kept");
    EXPECT_EQ(table.SetDefaultMaterial(model), existing);
    EXPECT_EQ(existing->GetName(), L"Kept");  // parameters only
    EXPECT_TRUE(existing->HasSameParameters(model));
    EXPECT_EQ(table.GetCount(), 1);
}

TEST(MaterialTest, HasSameParametersComparesKeysFlagsAndMapsNotNames) {
    C3DMaterial a, b;
    a.SetName(L"A");
    b.SetName(L"B");
    EXPECT_TRUE(a.HasSameParameters(b));
    a.SetSpecularFactor(0.3f);
    EXPECT_FALSE(a.HasSameParameters(b));
    b.SetSpecularFactor(0.3f);
    EXPECT_TRUE(a.HasSameParameters(b));
    a.SetFlag(MATERIAL_TWO_SIDED, true);
    EXPECT_FALSE(a.HasSameParameters(b));
    b.SetFlags(MATERIAL_TWO_SIDED);
    a.AddMaterialMap(L"wood.png", 3, MAP_DIFFUSE);
    EXPECT_FALSE(a.HasSameParameters(b));
    b.AddMaterialMap(L"wood.png", 4, MAP_DIFFUSE);
    EXPECT_FALSE(a.HasSameParameters(b));  // another channel
    b.GetMap(0)->SetChannelID(3);
    EXPECT_TRUE(a.HasSameParameters(b));

    CMaterials table;
    table.CreateNewMaterial(1)->CopyParameters(a);
    C3DMaterial* named = table.CreateNewMaterial(2);
    named->CopyParameters(a);
    named->SetName(L"A");
    EXPECT_EQ(table.Find(a, false)->GetMaterialID(), 1u);
    EXPECT_EQ(table.Find(a, true), named);
}

TEST(MaterialTest, MapsAreChainedByTypeInTheOrderAdded) {
    C3DMaterial m;
    CMaterialMap* d1 = m.AddMaterialMap(L"d1.png", 1, MAP_DIFFUSE);
    CMaterialMap* b1 = m.AddMaterialMap(L"b1.png", 1, MAP_BUMP);
    CMaterialMap* d2 = m.AddMaterialMap(L"d2.png", 2, MAP_DIFFUSE);
    EXPECT_EQ(m.GetDiffuseMaps(), d1);
    EXPECT_EQ(d1->GetNext(), d2);
    EXPECT_EQ(d2->GetNext(), nullptr);
    EXPECT_EQ(m.GetBumpMaps(), b1);
    EXPECT_EQ(m.GetSpecularMaps(), nullptr);
    int pos;
    EXPECT_EQ(m.GetFirstMap(pos), d1);
    EXPECT_EQ(m.GetNextMap(pos), b1);
    EXPECT_EQ(m.GetNextMap(pos), d2);
    EXPECT_EQ(m.GetNextMap(pos), nullptr);

    CHashMap<unsigned, unsigned, unsigned> remap;
    remap.Insert(1, 7);
    EXPECT_EQ(m.ChangeChannelID(remap), 2);
    EXPECT_EQ(b1->GetChannelID(), 7u);
    EXPECT_EQ(d2->GetChannelID(), 2u);

    EXPECT_TRUE(m.RemoveMaterialMap(d1));
    EXPECT_EQ(m.GetDiffuseMaps(), d2);
    EXPECT_FALSE(m.RemoveMaterialMap(d1));
    EXPECT_TRUE(Catch([&] { m.AddMaterialMap(b1); }).invalidArg);  // attached already
}

TEST(MaterialTest, MapPlacementComposesTranslationRotationAndScale) {
    CMaterialMap map(L"a.png", 0, MAP_DIFFUSE, MAP_PROJECTION_UV);
    C4x4TMatrix<float> m;
    map.GetMatrix(0, m);
    EXPECT_EQ(m, C4x4TMatrix<float>());
    map.SetTranslation(0, C3DTVector<float>(1, 2, 0));
    map.SetRotation(0, CQuaternion(C3DTVector<float>(0, 0, 1), std::numbers::pi / 2));
    map.SetScale(0, C3DTVector<float>(2, 2, 1));
    map.SetTiling(0, 3, 1);
    map.GetMatrix(0, m);
    C4x4TMatrix<float> expected = C4x4TMatrix<float>::Translation(1, 2, 0) * C4x4TMatrix<float>::RotationZ(std::numbers::pi / 2) *
                                  C4x4TMatrix<float>::Scale(6, 2, 1);
    scene_test::ExpectMatrixNear(m, expected);
    // SetMatrix decomposes back into keys (tiling kept).
    map.SetMatrix(0, C4x4TMatrix<float>::Translation(5, 0, 0));
    map.GetMatrix(0, m);
    scene_test::ExpectMatrixNear(m, C4x4TMatrix<float>::Translation(5, 0, 0) * C4x4TMatrix<float>::Scale(3, 1, 1));
    map.ResetTransformation();
    EXPECT_FALSE(map.HasKeys());

    // Keys of another class under a placement type (foreign data) are ignored, not read as the
    // class the type usually holds.
    map.AddKey(0, C3DMatrixKey(KEY_MAP_SCALE, C4x4TMatrix<float>::Scale(2, 2, 2)));
    map.AddKey(0, C3DFloatKey(KEY_MAP_TILING, 4.0f));
    map.AddKey(0, C3DFloatKey(KEY_MAP_ROTATION, 1.0f));
    map.GetMatrix(0, m);
    EXPECT_EQ(m, C4x4TMatrix<float>());
}

TEST(MaterialTest, FindBitmapSearchOrder) {
    TempDir dir;
    dir.Write("scene/tex/a.png", "scene-relative");
    dir.Write("paths/a.png", "scene path");
    dir.Write("paths/b.png", "scene path");
    dir.Write("prefs/c.png", "preferences");
    C3DScene scene;
    scene.SetFileName(dir.WPath("scene/model.3dif"));
    scene.AddTexturePath(dir.WPath("paths"));
    scene.AddTexturePath(dir.WPath("paths"));  // added once
    EXPECT_EQ(scene.GetTexturePath(0), dir.WPath("paths"));
    EXPECT_TRUE(scene.GetTexturePath(1).IsEmpty());
    C3DPreferences::CStringArray prefPaths;
    prefPaths.Add(dir.WPath("prefs"));
    C3DPreferences::CStringArray savedPaths = Get3DPreferences()->GetTexturePaths();
    Get3DPreferences()->SetTexturePaths(prefPaths);

    CXTString<wchar_t> found;
    // Relative to the scene file first, even though a texture path also has the name.
    ASSERT_TRUE(scene.FindBitmap(L"tex/a.png", found));
    EXPECT_EQ(found, dir.WPath("scene/tex/a.png"));
    // A directory part that does not exist falls back to the bare name in the texture paths,
    // also for names written with backslashes.
    ASSERT_TRUE(scene.FindBitmap(L"C:\\textures\\b.png", found));
    EXPECT_EQ(found, dir.WPath("paths/b.png"));
    ASSERT_TRUE(scene.FindBitmap(L"c.png", found));
    EXPECT_EQ(found, dir.WPath("prefs/c.png"));
    EXPECT_FALSE(scene.FindBitmap(L"missing.png", found));
    EXPECT_FALSE(scene.FindBitmap(L"", found));
    ASSERT_TRUE(scene.FindBitmap(dir.WPath("paths/a.png"), found));  // absolute and present

    C3DMaterial* m = scene.CreateNewMaterial(1);
    CMaterialMap* map = m->AddMaterialMap(L"b.png", 0, MAP_DIFFUSE);
    EXPECT_EQ(map->GetBitmapPath(&scene), dir.WPath("paths/b.png"));
    EXPECT_TRUE(map->AdjustFilename(&scene));
    EXPECT_EQ(map->GetFileName(), dir.WPath("paths/b.png"));
    EXPECT_FALSE(map->AdjustFilename(&scene));
    // Relative to the scene file's directory and back.
    EXPECT_EQ(scene.AdjustPaths(), 1);
    EXPECT_EQ(map->GetFileName(), L"../paths/b.png");
    EXPECT_EQ(scene.AdjustPaths(nullptr, false), 1);
    EXPECT_EQ(map->GetFileName(), dir.WPath("paths/b.png"));

    C3DScene::CStringArray files;
    m->AddMaterialMap(L"missing.png", 0, MAP_BUMP);
    EXPECT_EQ(scene.GetLinkedFiles(files), 2);
    EXPECT_EQ(files[1], L"missing.png");  // not found: as written
    Get3DPreferences()->SetTexturePaths(savedPaths);
}

TEST(MaterialTest, MoveTexturesCopiesEachFileOnceAndRepointsTheMaps) {
    TempDir dir;
    dir.Write("src/a.png", "pixels");
    std::filesystem::create_directories(dir.Path("dst"));
    C3DScene scene;
    scene.AddTexturePath(dir.WPath("src"));
    scene.CreateNewMaterial(1)->AddMaterialMap(L"a.png", 0, MAP_DIFFUSE);
    scene.CreateNewMaterial(2)->AddMaterialMap(L"a.png", 0, MAP_BUMP);
    EXPECT_EQ(scene.MoveTextures(dir.WPath("dst")), 1);
    EXPECT_EQ(scene.GetMaterialByID(2)->GetBumpMaps()->GetFileName(), dir.WPath("dst/a.png"));
    std::ifstream in(dir.Path("dst/a.png"));
    std::string content;
    in >> content;
    EXPECT_EQ(content, "pixels");
    EXPECT_EQ(scene.MoveTextures(dir.WPath("nowhere")), 0);

    // Files of one bare name from different folders, one of them already in the target folder:
    // every map still shows its own pixels afterwards.
    TempDir two;
    C3DScene shared;
    const std::pair<const char*, const char*> maps[] = {
        {"one/t.png", "ONE"}, {"two/t.png", "TWO"}, {"three/u.png", "THREE"}, {"dst/u.png", "KEPT"}};
    unsigned id = 1;
    for (const auto& [file, pixels] : maps) {
        two.Write(file, pixels);
        shared.CreateNewMaterial(id++)->AddMaterialMap(two.WPath(file), 0, MAP_DIFFUSE);
    }
    EXPECT_EQ(shared.MoveTextures(two.WPath("dst")), 4);
    id = 1;
    for (const auto& [file, pixels] : maps) {
        const std::wstring moved = shared.GetMaterialByID(id++)->GetDiffuseMaps()->GetFileName().GetString();
        EXPECT_EQ(moved.rfind(two.WPath("dst/").GetString(), 0), 0u) << file;
        std::ifstream copy{std::filesystem::path(moved)};
        std::string read;
        copy >> read;
        EXPECT_EQ(read, pixels) << file;
    }
}

TEST(MaterialTest, HasAlphaReadsPngAndTgaHeaders) {
    TempDir dir;
    dir.Write("rgba.png", PngHeader(6));
    dir.Write("grey_alpha.png", PngHeader(4));
    dir.Write("rgb.png", PngHeader(2));
    std::string tga(18, '\0');
    tga[2] = 2;
    tga[16] = 24;
    dir.Write("rgb.tga", tga);
    tga[17] = 8;  // eight alpha bits
    dir.Write("rgba.tga", tga);
    dir.Write("short.png", "\x89PN");
    C3DScene scene;
    scene.AddTexturePath(dir.WPath());
    auto alpha = [&](const wchar_t* name) { return CMaterialMap(name, 0, MAP_DIFFUSE, MAP_PROJECTION_UV).HasAlpha(&scene); };
    EXPECT_TRUE(alpha(L"rgba.png"));
    EXPECT_TRUE(alpha(L"grey_alpha.png"));
    EXPECT_FALSE(alpha(L"rgb.png"));
    EXPECT_FALSE(alpha(L"rgb.tga"));
    EXPECT_TRUE(alpha(L"rgba.tga"));
    EXPECT_FALSE(alpha(L"short.png"));
    EXPECT_FALSE(alpha(L"missing.png"));
    CMaterialMap withAlphaFile(L"rgb.png", 0, MAP_DIFFUSE, MAP_PROJECTION_UV);
    withAlphaFile.SetAlphaFileName(L"mask.png");
    EXPECT_TRUE(withAlphaFile.HasAlpha(&scene));
}

TEST(MaterialTest, CopyMaterialsKeepsFreeIdentifiersAndRemapsTakenOnes) {
    CMaterials source;
    source.CreateNewMaterial(1)->SetName(L"one");
    source.CreateNewMaterial(2)->SetName(L"two");
    CMaterials target;
    target.CreateNewMaterial(2)->SetName(L"mine");
    CMaterialIDMap remap;
    EXPECT_EQ(target.CopyMaterials(source, MATERIAL_NONE, &remap), 2);
    unsigned to = 0;
    ASSERT_TRUE(remap.Find(1, to));
    EXPECT_EQ(to, 1u);
    ASSERT_TRUE(remap.Find(2, to));
    EXPECT_NE(to, 2u);
    EXPECT_EQ(target.FindByID(to)->GetName(), L"two");
    EXPECT_EQ(target.FindByID(2)->GetName(), L"mine");
    EXPECT_EQ(source.GetCount(), 2);  // the source is untouched
    EXPECT_EQ(target.GetUniqueName(L"two"), L"two0");
    EXPECT_EQ(target.GetUniqueName(L"three"), L"three");

    CMaterials moved;
    EXPECT_EQ(moved.MoveMaterials(source, nullptr), 2);
    EXPECT_TRUE(source.IsEmpty());
    EXPECT_EQ(moved.FindByID(1)->GetOwner(), &moved);
}

TEST(MaterialTest, TableRoundTripsThroughTheArchive) {
    CMaterials table;
    C3DMaterial* m = table.CreateNewMaterial(3);
    m->SetName(L"Brick ✓");
    m->SetSourceID(17);
    m->SetDiffuseColor(CRGBColor(10, 20, 30, 40), 5);
    m->SetFlags(MATERIAL_FACETED);
    m->SetVertexColor(12, 0.5f);
    m->GetCustomData().SetString(0x55534552, L"user");
    CMaterialMap* map = m->AddMaterialMap(L"brick.png", 9, MAP_BUMP, MAP_PROJECTION_BOX);
    map->SetAlphaFileName(L"mask.png");
    map->SetTiling(0, 2, 2);
    map->SetFlags(MAP_TILE_U | MAP_MIRROR_V);
    table.CreateNewMaterial(0);
    scene_test::Bytes bytes = scene_test::Store([&](CXArchive& ar) { table.Serialize(ar); });

    CMaterials copy;
    copy.CreateNewMaterial(99);  // replaced
    scene_test::Load(bytes, [&](CXArchive& ar) { copy.Serialize(ar); });
    ASSERT_EQ(copy.GetCount(), 2);
    C3DMaterial* c = copy.FindByID(3);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->GetName(), m->GetName());
    EXPECT_EQ(c->GetSourceID(), 17);
    EXPECT_TRUE(c->HasSameParameters(*m));
    EXPECT_TRUE(c->GetCustomData().IsEqual(m->GetCustomData()));
    EXPECT_EQ(c->GetBumpMaps()->GetAlphaFileName(), L"mask.png");
    EXPECT_EQ(c->GetBumpMaps()->GetProjection(), MAP_PROJECTION_BOX);
    EXPECT_EQ(c->GetOwner(), &copy);
    EXPECT_EQ(copy.FindByID(0)->GetName(), L"Default Material");

    // Every prefix fails cleanly.
    for (size_t n = 0; n < bytes.size(); n += 3) {
        scene_test::Bytes cut(bytes.begin(), bytes.begin() + long(n));
        CMaterials target;
        EXPECT_TRUE(Catch([&] { scene_test::Load(cut, [&](CXArchive& ar) { target.Serialize(ar); }); }).any) << n;
    }
    // Two materials under one identifier are refused.
    CMaterials twice;
    scene_test::Bytes doubled = scene_test::Store([&](CXArchive& ar) {
        ar.WriteCount(2);
        m->Serialize(ar);
        m->Serialize(ar);
    });
    scene_test::Raised r = Catch([&] { scene_test::Load(doubled, [&](CXArchive& ar) { twice.Serialize(ar); }); });
    EXPECT_TRUE(r.archive);
    EXPECT_EQ(r.cause, CXArchiveException::badIndex);
}

}  // namespace
