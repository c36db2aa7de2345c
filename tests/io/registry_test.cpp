// The format registry: built-in entries, the loader/saver and bit-128 rules, look-ups by name and
// class, formats sharing an extension, and the extension lists.
#include <algorithm>

#include "io_test_util.h"
#include "kestovar/core/runtime.h"

namespace kestovar {
namespace {

using namespace iotest;

std::vector<std::wstring> Strings(const CFileExtStringArray& a) {
    std::vector<std::wstring> out;
    for (int i = 0; i < a.GetSize(); ++i) out.push_back(W(a[i]));
    return out;
}

TEST(RegistryTest, BuiltInFormatsAfterInitialisation) {
    InitKestovarApplication(nullptr, KESTOVAR_INIT_FORMATS);
    EXPECT_EQ(fileGetClass(L"/x/y/model.obj"), FILE_CLASS_WAVEFRONT);
    EXPECT_EQ(fileGetLoader(L"model.obj"), FILE_PARSER_BUILTIN);
    EXPECT_EQ(fileGetSaver(L"model.OBJ"), FILE_PARSER_BUILTIN);
    EXPECT_EQ(fileGetClass(L"scene.3dif"), FILE_CLASS_3DIF);
    EXPECT_EQ(fileGetKindOf(L"scene.3dif"), uint32_t(FILE_KIND_3D));
    // Both are writable scene formats: 0x4013 plus bit 128.
    EXPECT_EQ(fileGetProperties(L"a.obj"), 0x4093u);
    CFileExt ext;
    ASSERT_TRUE(fileGetExtensionInfo(FILE_CLASS_3DIF, ext));
    EXPECT_EQ(W(ext.description), L"Kestovar 3D Format files");
    EXPECT_EQ(W(fileGetMainExtension(FILE_CLASS_WAVEFRONT)), L".obj");
    EXPECT_EQ(fileGetClass(L"noextension"), 0u);
    EXPECT_EQ(fileGetLoader(L"a.zzz"), FILE_PARSER_UNKNOWN);
    CloseKestovarApplication(KESTOVAR_INIT_FORMATS);
    // Released, and rebuilt with the built-ins on the next use.
    EXPECT_EQ(fileGetClass(L"a.obj"), FILE_CLASS_WAVEFRONT);
}

TEST(RegistryTest, LoaderSaverAndBit128FollowTheProperties) {
    struct Case {
        uint32_t properties, stored, loader, saver;
    };
    const Case cases[] = {
        {0x4002, 0x4082, FILE_PARSER_UNKNOWN, FILE_PARSER_BUILTIN},  // writable scene: +128
        {0x4001, 0x4001, FILE_PARSER_BUILTIN, FILE_PARSER_UNKNOWN},  // read-only: unchanged
        {0x0002, 0x0002, FILE_PARSER_UNKNOWN, FILE_PARSER_BUILTIN},  // writable, not a scene
        {0x4004, 0x4004, FILE_PARSER_BUILTIN, FILE_PARSER_UNKNOWN},  // bit 4 also reads
        {0x4008, 0x4008, FILE_PARSER_UNKNOWN, FILE_PARSER_BUILTIN},  // bit 8 also writes, no +128
    };
    const uint32_t cls = FourCC('R', 'U', 'L', 'E');
    for (const Case& c : cases) {
        ASSERT_TRUE(fileRegisterFile(CFileExt(L".rule", L"Rule", cls, c.properties)));
        CFileExt ext;
        ASSERT_TRUE(fileGetExtensionInfo(cls, ext));
        EXPECT_EQ(ext.properties, c.stored) << std::hex << c.properties;
        EXPECT_EQ(ext.loader, c.loader) << std::hex << c.properties;
        EXPECT_EQ(ext.saver, c.saver) << std::hex << c.properties;
    }
    EXPECT_TRUE(fileUnregisterFile(cls));
    EXPECT_FALSE(fileUnregisterFile(cls));
    EXPECT_FALSE(fileRegisterFile(CFileExt(L".zero", L"Zero", 0, 0x4013)));
    EXPECT_EQ(fileGetClass(L"a.rule"), 0u);
    // An extension given without its point is stored with it.
    ASSERT_TRUE(fileRegisterFile(CFileExt(L"rule", L"Rule", cls, 0x4001)));
    EXPECT_EQ(W(fileGetMainExtension(cls)), L".rule");
    EXPECT_EQ(fileGetClass(L"a.rule"), cls);
    EXPECT_TRUE(fileUnregisterFile(cls));
}

// The registry's look-ups and CFileInfo (which the reading frame uses) split a name alike.
TEST(RegistryTest, LookUpsAndFileInfoAgreeOnTheExtension) {
    const struct {
        const wchar_t* name;
        uint32_t fileClass;
    } cases[] = {
        {L"/d/model.obj", FILE_CLASS_WAVEFRONT},
        {L"/d/a.b.OBJ", FILE_CLASS_WAVEFRONT},
        {L"/d/.obj", 0},
        {L"d/.hidden.obj", FILE_CLASS_WAVEFRONT},
        {L".obj", FILE_CLASS_WAVEFRONT},
        {L"/d/model.", 0},
        {L"/d.obj/model", 0},
        {L"http://h/a.3dif?x=.obj", FILE_CLASS_3DIF},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fileGetClass(c.name), c.fileClass) << testing::PrintToString(std::wstring(c.name));
        EXPECT_EQ(CFileInfo(c.name).GetClass(), c.fileClass) << testing::PrintToString(std::wstring(c.name));
    }
}

TEST(RegistryTest, SharedExtensionsAreTriedInClassOrder) {
    const uint32_t low = FourCC('S', 'H', 'A', '1'), high = FourCC('S', 'H', 'A', '2');
    fileRegisterFile(CFileExt(L".shr", L"Second", high, 0x4001));
    fileRegisterFile(CFileExt(L".SHR", L"First", low, 0x4003));
    EXPECT_EQ(fileGetClass(L"x.shr"), low);
    EXPECT_EQ(fileFindParser(L"x.shr", FILE_KIND_3D), low);
    EXPECT_EQ(fileFindParser(L"x.shr", 0x8000), 0u);

    CFileInfo info(L"/d/x.shr");
    EXPECT_EQ(info.GetClass(), low);
    ASSERT_TRUE(info.CanTryAnotherParser());
    EXPECT_TRUE(info.TryNextParser());
    EXPECT_EQ(info.GetClass(), high);
    EXPECT_EQ(info.GetParserPosition(), 1);
    EXPECT_FALSE(info.CanTryAnotherParser());
    EXPECT_FALSE(info.TryNextParser());

    CFileInfo byClass(L"/d/x.shr", high);
    EXPECT_EQ(byClass.GetClass(), high);
    EXPECT_FALSE(byClass.CanTryAnotherParser());
    fileUnregisterFile(low);
    fileUnregisterFile(high);
}

TEST(RegistryTest, ListsAreSortedByClassAndFilteredByKind) {
    // Other tests of this suite may have registered formats of their own in this process; the
    // checks only rely on the built-ins and the image format added here.
    fileRegisterFile(CFileExt(L".img", L"Image", FourCC('A', 'I', 'M', 'G'), 0x8001));
    CFileExtStringArray scene, all;
    fileGetExtensionArray(FILE_KIND_3D, scene, true);
    std::vector<std::wstring> s = Strings(scene);
    auto at = [&](const std::vector<std::wstring>& v, const wchar_t* e) { return std::find(v.begin(), v.end(), e) - v.begin(); };
    EXPECT_LT(at(s, L".3dif"), at(s, L".obj"));  // 3DIF < WAVF
    EXPECT_LT(at(s, L".obj"), long(s.size()));
    EXPECT_EQ(at(s, L".img"), long(s.size()));
    fileGetExtensionArray(0xFFFFFFFF, all, false);
    std::vector<std::wstring> a = Strings(all);
    EXPECT_LT(at(a, L"img"), at(a, L"obj"));  // AIMG < WAVF, without points

    int count = 0;
    CFileExt* files = fileGetRegisteredFiles(count, FILE_KIND_3D);
    ASSERT_GE(count, 2);
    for (int i = 1; i < count; ++i) EXPECT_LT(files[i - 1].fileClass, files[i].fileClass);
    for (int i = 0; i < count; ++i) EXPECT_NE(files[i].properties & FILE_KIND_3D, 0u);
    fileFreeRegisteredFiles(files, count);
    EXPECT_EQ(fileGetRegisteredFiles(count, 0x10000000), nullptr);
    EXPECT_EQ(count, 0);
    fileUnregisterFile(FourCC('A', 'I', 'M', 'G'));
}

TEST(RegistryTest, ExtensionListsAreCleaned) {
    CFileExtStringArray list;
    for (const wchar_t* s : {L" OBJ", L"*.3dif", L"", L".obj", L"*", L"stl "}) list.Add(CXTString<wchar_t>(s));
    EXPECT_EQ(fileCleanExtensionList(list), 3);
    EXPECT_EQ(Strings(list), (std::vector<std::wstring>{L".obj", L".3dif", L".stl"}));

    CFileExtHashSet set;
    EXPECT_EQ(fileGetHashFromExtensionList(L"*.obj;*.3DIF, .stl|obj;;", set), 3);
    EXPECT_TRUE(set.IsFound(CXTString<wchar_t>(L".3dif")));
    EXPECT_FALSE(set.IsFound(CXTString<wchar_t>(L"obj")));
}

}  // namespace
}  // namespace kestovar
