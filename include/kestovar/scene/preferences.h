// The user's 3D preferences: the defaults for 3D work that persist from one run of the host to
// the next (normal smoothing angle and mode, view angle, patch subdivision level, texture search
// paths, paths of other applications), and the process-wide switch for preference files.
//
// One process-wide object (Get3DPreferences). Scenes fall back to it for their smoothing angle and
// mode, patches for their subdivision level, and material maps search its texture paths.
//
// Persistence. The values live in one CCustomData block, stored in "3dprefs.prefs" in the user
// preferences directory (GetUserPreferencesPath) under the section 3DVW and the entry PREF. While
// preference saving is off (the default), no preferences file is read or written anywhere in the
// library; the host turns it on with EnablePreferencesSaving and decides when to Save.
//
// Every access takes the object's lock, so the preferences may be read from any thread.
#pragma once

#include <cstdint>

#include "kestovar/core/array.h"
#include "kestovar/core/custom_data.h"
#include "kestovar/core/export.h"
#include "kestovar/core/object.h"
#include "kestovar/core/xstring.h"
#include "kestovar/mesh/object.h"
#include "kestovar/platform/thread.h"

namespace kestovar {

// Keys of the preferences block.
constexpr uint32_t PREFS_SMOOTH_ANGLE = 0x534D4147;  // SMAG: float, radians
constexpr uint32_t PREFS_SMOOTH_MODE = 0x534D4D44;   // SMMD: unsigned, _NormalSmoothMode
constexpr uint32_t PREFS_VIEW_ANGLE = 0x56574147;    // VWAG: float, radians
constexpr uint32_t PREFS_PATCH_LEVEL = 0x50484C56;   // PHLV: unsigned
constexpr uint32_t PREFS_TEXTURE_PATHS = 0x54585450; // TXTP: string array
constexpr uint32_t PREFS_LW_PATHS = 0x4C575650;      // LWVP: string array
constexpr uint32_t PREFS_SKETCHUP_PATH = 0x534B5050; // SKPP: string
// Section and entry of the block in the preferences file.
constexpr uint32_t PREFS_FILE_SECTION = 0x33445657;  // 3DVW
constexpr uint32_t PREFS_FILE_ENTRY = 0x50524546;    // PREF

// Values used when the block has no entry.
constexpr float kPrefsDefaultSmoothAngle = 0.54105204f;  // 31 degrees
constexpr unsigned kPrefsDefaultSmoothMode = 2;
constexpr float kPrefsDefaultViewAngle = 0.5235988f;     // 30 degrees
constexpr unsigned kPrefsDefaultPatchLevel = 1;

// The preferences file name, in the user preferences directory.
constexpr const wchar_t* kPrefsFileName = L"3dprefs.prefs";

// Turns preference files on or off for the whole process (off when the library starts).
KESTOVAR_API void EnablePreferencesSaving(bool enable);
KESTOVAR_API bool IsPreferencesSavingEnabled();

class KESTOVAR_API C3DPreferences : public CXAllocated {
public:
    typedef CXArray<CXTString<wchar_t>> CStringArray;

    // The process-wide object, created on the first call together with an exit callback that
    // destroys it (and the Maya path) when the library closes. Every call runs Init, which loads
    // the file once.
    static C3DPreferences* Get3DPreferences();

    virtual ~C3DPreferences();
    C3DPreferences(const C3DPreferences&) = delete;
    C3DPreferences& operator=(const C3DPreferences&) = delete;

    // Writes the block to the preferences file when preference saving is enabled. Returns
    // whether the file was written. The library never calls it: the host decides.
    bool Save() const;

    // Radians. A value is stored only when its conversion to degrees (in double) lies in
    // [0, 180.005]; others are ignored.
    float GetSmoothAngle() const;
    void SetSmoothAngle(float radians);
    // A mode of 0 is ignored.
    _NormalSmoothMode GetSmoothMode() const;
    void SetSmoothMode(_NormalSmoothMode mode);
    // Radians, stored unchanged.
    float GetViewAngle() const;
    void SetViewAngle(float radians);
    unsigned GetPatchLevel() const;
    void SetPatchLevel(unsigned level);

    // Texture search paths and LW paths: the field and the block entry are replaced together.
    void SetTexturePaths(const CStringArray& paths);
    CStringArray GetTexturePaths() const;
    void SetLWPaths(const CStringArray& paths);
    CStringArray GetLWPaths() const;

    // The stored Sketchup path when present and naming an existing file, otherwise the
    // application path (GetApplicationPath(false)).
    CXTString<wchar_t> GetSketchupPath() const;
    // Stored only when the file exists; returns whether it was stored.
    bool SetSketchupPath(const CXTString<wchar_t>& path);

    // The process-wide Maya path (never written to the file), empty when none was set.
    // `exists` receives whether the path names something on disk; with `directoryOnly` the
    // directory part is returned.
    CXTString<wchar_t> GetMayaPath(bool& exists, bool directoryOnly) const;
    // Stores the path whatever the flags: with `log` the change is written to the log; with
    // `warnIfMissing` a path that names nothing on disk is reported in the log.
    void SetMayaPath(const CXTString<wchar_t>& path, bool log, bool warnIfMissing);

    // Any other key as raw bytes. GetBinaryData succeeds only for an entry of exactly `size`
    // bytes.
    bool GetBinaryData(uint32_t key, void* buffer, unsigned size) const;
    void SetBinaryData(uint32_t key, const void* data, unsigned size);

    // A copy of the whole block (for diagnostics and tests).
    CCustomData GetValues() const;
    // Whether Init has run.
    bool IsLoaded() const { return m_loaded; }

protected:
    C3DPreferences();
    // Runs once: loads the block from the preferences file when saving is enabled, then copies
    // the texture and LW paths into their fields.
    void Init();

private:
    static void OnLibraryExit();

    mutable CXCriticalSection m_section;
    bool m_loaded;
    CCustomData m_values;
    CStringArray m_texturePaths;
    CStringArray m_lwPaths;
};

// Shorthand for C3DPreferences::Get3DPreferences().
inline C3DPreferences* Get3DPreferences() { return C3DPreferences::Get3DPreferences(); }

}  // namespace kestovar
