// C3DPreferences: the process-wide 3D preferences, their preferences file and the switch that
// allows preference files at all.
#include "kestovar/scene/preferences.h"

#include <atomic>
#include <numbers>

#include "kestovar/core/log.h"
#include "kestovar/core/runtime.h"
#include "kestovar/platform/path.h"

namespace kestovar {

namespace {

std::atomic<bool> g_preferencesSaving{false};

// The process-wide object and the Maya path; both guarded by the library lock.
C3DPreferences* g_preferences = nullptr;
CXTString<wchar_t>* g_mayaPath = nullptr;

// Priority of the exit callback: late, after the subsystems that may still read preferences.
constexpr unsigned kExitPriority = 900;

}  // namespace

void EnablePreferencesSaving(bool enable) { g_preferencesSaving.store(enable, std::memory_order_relaxed); }

bool IsPreferencesSavingEnabled() { return g_preferencesSaving.load(std::memory_order_relaxed); }

C3DPreferences::C3DPreferences() : m_loaded(false) {}

C3DPreferences::~C3DPreferences() = default;

C3DPreferences* C3DPreferences::Get3DPreferences() {
    C3DPreferences* prefs;
    {
        CXSingleLock lock(&XGetLibraryLock(), true);
        if (!g_preferences) {
            // The release first (registering it twice is harmless): the object never exists
            // without it.
            AddApplicationExitCallback(&C3DPreferences::OnLibraryExit, kExitPriority);
            g_preferences = new C3DPreferences;
        }
        prefs = g_preferences;
    }
    prefs->Init();
    return prefs;
}

void C3DPreferences::OnLibraryExit() {
    CXSingleLock lock(&XGetLibraryLock(), true);
    delete g_preferences;
    g_preferences = nullptr;
    if (g_mayaPath) {
        xdeleteObject(g_mayaPath);
        g_mayaPath = nullptr;
    }
}

void C3DPreferences::Init() {
    CXSingleLock lock(&m_section, true);
    if (m_loaded) return;
    m_loaded = true;
    if (IsPreferencesSavingEnabled()) m_values.LoadFromPrefs(kPrefsFileName, PREFS_FILE_SECTION, PREFS_FILE_ENTRY);
    // Each array read fails (leaving it empty) when its entry is absent or malformed.
    m_values.GetStringArray(PREFS_TEXTURE_PATHS, m_texturePaths);
    m_values.GetStringArray(PREFS_LW_PATHS, m_lwPaths);
}

bool C3DPreferences::Save() const {
    if (!IsPreferencesSavingEnabled()) return false;
    CXSingleLock lock(&m_section, true);
    return m_values.SaveToPrefs(kPrefsFileName, PREFS_FILE_SECTION, PREFS_FILE_ENTRY);
}

float C3DPreferences::GetSmoothAngle() const {
    CXSingleLock lock(&m_section, true);
    float angle = kPrefsDefaultSmoothAngle;
    m_values.GetFloat(PREFS_SMOOTH_ANGLE, angle, kPrefsDefaultSmoothAngle);
    return angle;
}

void C3DPreferences::SetSmoothAngle(float radians) {
    double degrees = double(radians) * 180.0 / std::numbers::pi;
    if (!(degrees >= 0.0 && degrees <= 180.005)) return;
    CXSingleLock lock(&m_section, true);
    m_values.SetFloat(PREFS_SMOOTH_ANGLE, radians);
}

_NormalSmoothMode C3DPreferences::GetSmoothMode() const {
    CXSingleLock lock(&m_section, true);
    uint32_t mode = kPrefsDefaultSmoothMode;
    m_values.GetUInt(PREFS_SMOOTH_MODE, mode, kPrefsDefaultSmoothMode);
    return _NormalSmoothMode(mode);
}

void C3DPreferences::SetSmoothMode(_NormalSmoothMode mode) {
    if (mode == 0) return;
    CXSingleLock lock(&m_section, true);
    m_values.SetUInt(PREFS_SMOOTH_MODE, uint32_t(mode));
}

float C3DPreferences::GetViewAngle() const {
    CXSingleLock lock(&m_section, true);
    float angle = kPrefsDefaultViewAngle;
    m_values.GetFloat(PREFS_VIEW_ANGLE, angle, kPrefsDefaultViewAngle);
    return angle;
}

void C3DPreferences::SetViewAngle(float radians) {
    CXSingleLock lock(&m_section, true);
    m_values.SetFloat(PREFS_VIEW_ANGLE, radians);
}

unsigned C3DPreferences::GetPatchLevel() const {
    CXSingleLock lock(&m_section, true);
    uint32_t level = kPrefsDefaultPatchLevel;
    m_values.GetUInt(PREFS_PATCH_LEVEL, level, kPrefsDefaultPatchLevel);
    return level;
}

void C3DPreferences::SetPatchLevel(unsigned level) {
    CXSingleLock lock(&m_section, true);
    m_values.SetUInt(PREFS_PATCH_LEVEL, level);
}

void C3DPreferences::SetTexturePaths(const CStringArray& paths) {
    CXSingleLock lock(&m_section, true);
    m_texturePaths.Copy(paths);
    m_values.SetStringArray(PREFS_TEXTURE_PATHS, paths);
}

C3DPreferences::CStringArray C3DPreferences::GetTexturePaths() const {
    CXSingleLock lock(&m_section, true);
    return m_texturePaths;
}

void C3DPreferences::SetLWPaths(const CStringArray& paths) {
    CXSingleLock lock(&m_section, true);
    m_lwPaths.Copy(paths);
    m_values.SetStringArray(PREFS_LW_PATHS, paths);
}

C3DPreferences::CStringArray C3DPreferences::GetLWPaths() const {
    CXSingleLock lock(&m_section, true);
    return m_lwPaths;
}

CXTString<wchar_t> C3DPreferences::GetSketchupPath() const {
    CXTString<wchar_t> path;
    {
        CXSingleLock lock(&m_section, true);
        m_values.GetString(PREFS_SKETCHUP_PATH, path);
    }
    if (!path.IsEmpty() && fileExists(path)) return path;
    return GetApplicationPath(false);
}

bool C3DPreferences::SetSketchupPath(const CXTString<wchar_t>& path) {
    if (!fileExists(path)) return false;
    CXSingleLock lock(&m_section, true);
    m_values.SetString(PREFS_SKETCHUP_PATH, path);
    return true;
}

CXTString<wchar_t> C3DPreferences::GetMayaPath(bool& exists, bool directoryOnly) const {
    CXTString<wchar_t> path;
    {
        CXSingleLock lock(&XGetLibraryLock(), true);
        if (g_mayaPath) path = *g_mayaPath;
    }
    exists = !path.IsEmpty() && fileExists(path);
    return directoryOnly ? fileGetDirectory(path) : path;
}

void C3DPreferences::SetMayaPath(const CXTString<wchar_t>& path, bool log, bool warnIfMissing) {
    {
        CXSingleLock lock(&XGetLibraryLock(), true);
        if (!g_mayaPath) g_mayaPath = xnewObject<CXTString<wchar_t>>();
        *g_mayaPath = path;
    }
    if (log) WriteToLogFile(L"Maya path: %ls\n", path.GetString());
    if (warnIfMissing && !fileExists(path)) WriteToLogFile(L"Maya path %ls does not exist\n", path.GetString());
}

bool C3DPreferences::GetBinaryData(uint32_t key, void* buffer, unsigned size) const {
    CXSingleLock lock(&m_section, true);
    return m_values.GetBinary(key, buffer, size);
}

void C3DPreferences::SetBinaryData(uint32_t key, const void* data, unsigned size) {
    CXSingleLock lock(&m_section, true);
    m_values.SetBinary(key, data, size);
}

CCustomData C3DPreferences::GetValues() const {
    CXSingleLock lock(&m_section, true);
    return m_values;
}

}  // namespace kestovar
