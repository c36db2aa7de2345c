// 3D preferences: the setters' acceptance rules, the Sketchup and Maya paths, and the
// preferences file, which is touched only while preference saving is enabled.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <limits>
#include <string>

#include "kestovar/core/runtime.h"
#include "kestovar/scene/preferences.h"

namespace {

using namespace kestovar;

// Points the user-preferences directory at a fresh scratch directory and restores the
// preferences' values and the saving switch afterwards.
class PreferencesTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kx_prefs_XXXXXX";
        m_dir = mkdtemp(pattern);
        SetUserPreferencesPath(CXTString<wchar_t>((m_dir + "/").c_str()));
        m_prefs = Get3DPreferences();
        m_saved = m_prefs->GetValues();
    }
    void TearDown() override {
        EnablePreferencesSaving(false);
        m_prefs->SetSmoothAngle(kPrefsDefaultSmoothAngle);
        m_prefs->SetSmoothMode(_NormalSmoothMode(kPrefsDefaultSmoothMode));
        std::filesystem::remove_all(m_dir);
    }
    std::string PrefsFile() const { return m_dir + "/3dprefs.prefs"; }

    std::string m_dir;
    C3DPreferences* m_prefs = nullptr;
    CCustomData m_saved;
};

TEST_F(PreferencesTest, SmoothAngleIsStoredOnlyFromZeroTo180Point005Degrees) {
    m_prefs->SetSmoothAngle(3.1416f);  // 180.0004 degrees
    EXPECT_FLOAT_EQ(m_prefs->GetSmoothAngle(), 3.1416f);
    m_prefs->SetSmoothAngle(3.1420f);  // 180.02 degrees
    EXPECT_FLOAT_EQ(m_prefs->GetSmoothAngle(), 3.1416f);
    m_prefs->SetSmoothAngle(-0.01f);
    EXPECT_FLOAT_EQ(m_prefs->GetSmoothAngle(), 3.1416f);
    m_prefs->SetSmoothAngle(0.0f);
    EXPECT_FLOAT_EQ(m_prefs->GetSmoothAngle(), 0.0f);
    m_prefs->SetSmoothAngle(std::numeric_limits<float>::quiet_NaN());
    EXPECT_FLOAT_EQ(m_prefs->GetSmoothAngle(), 0.0f);
}

TEST_F(PreferencesTest, ModeZeroIsIgnoredOtherValuesAreStored) {
    m_prefs->SetSmoothMode(NORMAL_SMOOTH_ANGLE);
    EXPECT_EQ(m_prefs->GetSmoothMode(), NORMAL_SMOOTH_ANGLE);
    m_prefs->SetSmoothMode(_NormalSmoothMode(0));
    EXPECT_EQ(m_prefs->GetSmoothMode(), NORMAL_SMOOTH_ANGLE);
}

TEST_F(PreferencesTest, SketchupPathMustNameAnExistingFile) {
    EXPECT_FALSE(m_prefs->SetSketchupPath(L"/nonexistent/sketchup"));
    EXPECT_EQ(m_prefs->GetSketchupPath(), GetApplicationPath(false));
    std::string file = m_dir + "/sketchup";
    FILE* f = fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_TRUE(m_prefs->SetSketchupPath(CXTString<wchar_t>(file.c_str())));
    EXPECT_EQ(m_prefs->GetSketchupPath(), CXTString<wchar_t>(file.c_str()));
    // A stored path whose file went away falls back to the application path.
    std::filesystem::remove(file);
    EXPECT_EQ(m_prefs->GetSketchupPath(), GetApplicationPath(false));
}

TEST_F(PreferencesTest, MayaPathIsProcessWideAndKeptWhateverTheFlags) {
    m_prefs->SetMayaPath(CXTString<wchar_t>((m_dir + "/maya/bin").c_str()), true, true);
    bool exists = true;
    EXPECT_EQ(m_prefs->GetMayaPath(exists, false), CXTString<wchar_t>((m_dir + "/maya/bin").c_str()));
    EXPECT_FALSE(exists);
    EXPECT_EQ(m_prefs->GetMayaPath(exists, true), CXTString<wchar_t>((m_dir + "/maya/").c_str()));
    m_prefs->SetMayaPath(CXTString<wchar_t>(m_dir.c_str()), false, false);
    m_prefs->GetMayaPath(exists, false);
    EXPECT_TRUE(exists);
    // The Maya path is never part of the block that goes to the file.
    CCustomData values = m_prefs->GetValues();
    for (unsigned i = 0; i < values.GetIDCount(); ++i) {
        CXTString<wchar_t> text;
        if (values.GetString(values.GetIDByIndex(i), text)) {
            EXPECT_EQ(text.Find(L"maya"), -1);
        }
    }
}

TEST_F(PreferencesTest, PathsAndBinaryValues) {
    C3DPreferences::CStringArray paths;
    paths.Add(CXTString<wchar_t>(L"/textures"));
    paths.Add(CXTString<wchar_t>(L"/more textures"));
    C3DPreferences::CStringArray before = m_prefs->GetTexturePaths();
    m_prefs->SetTexturePaths(paths);
    C3DPreferences::CStringArray stored;
    EXPECT_TRUE(m_prefs->GetValues().GetStringArray(PREFS_TEXTURE_PATHS, stored));
    EXPECT_EQ(stored[1], L"/more textures");
    m_prefs->SetTexturePaths(before);

    const uint8_t blob[5] = {1, 2, 3, 4, 5};
    m_prefs->SetBinaryData(0x424C4F42, blob, sizeof(blob));
    uint8_t out[5] = {};
    EXPECT_TRUE(m_prefs->GetBinaryData(0x424C4F42, out, sizeof(out)));
    EXPECT_EQ(out[4], 5);
    EXPECT_FALSE(m_prefs->GetBinaryData(0x424C4F42, out, 4));  // size must match
}

TEST_F(PreferencesTest, FileIsWrittenAndReadOnlyWhileSavingIsEnabled) {
    m_prefs->SetSmoothAngle(1.0f);
    EXPECT_FALSE(m_prefs->Save());
    EXPECT_FALSE(std::filesystem::exists(PrefsFile()));

    EnablePreferencesSaving(true);
    ASSERT_TRUE(m_prefs->Save());
    ASSERT_TRUE(std::filesystem::exists(PrefsFile()));
    CCustomData onDisk;
    ASSERT_TRUE(onDisk.LoadFromPrefs(L"3dprefs.prefs", PREFS_FILE_SECTION, PREFS_FILE_ENTRY));
    float angle = 0;
    EXPECT_TRUE(onDisk.GetFloat(PREFS_SMOOTH_ANGLE, angle));
    EXPECT_FLOAT_EQ(angle, 1.0f);

    // Closing the library destroys the object; the next one loads the file once, and only while
    // saving is enabled.
    ASSERT_TRUE(InitKestovarApplication());
    CloseKestovarApplication();
    m_prefs = Get3DPreferences();
    EXPECT_FLOAT_EQ(m_prefs->GetSmoothAngle(), 1.0f);

    EnablePreferencesSaving(false);
    ASSERT_TRUE(InitKestovarApplication());
    CloseKestovarApplication();
    m_prefs = Get3DPreferences();
    EXPECT_FLOAT_EQ(m_prefs->GetSmoothAngle(), kPrefsDefaultSmoothAngle);
}

}  // namespace
