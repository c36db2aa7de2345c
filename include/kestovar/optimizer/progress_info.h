// QuorvaneProgressInfo: the record the scene optimiser hands to its host's progress callback.
// The optimiser updates it under its progress lock and passes it by const reference; the host
// reads it only inside the callback.
#pragma once

#include <cstdint>

#include "kestovar/core/export.h"
#include "kestovar/core/xstring.h"

namespace kestovar {

class KESTOVAR_API QuorvaneProgressInfo {
public:
    // What the optimiser is doing when it reports.
    enum ProgressState : int {
        STATE_NONE = 0,
        STATE_SETTINGS = 1,          // modes, tolerances or materials being applied
        STATE_OPTIMIZING = 2,        // contraction run
        STATE_MULTIRESOLUTION = 3,   // building the multiresolution scene
        STATE_AUTOMATIC = 6,         // automatic optimisation
    };
    // Stored and returned only; the library gives the values no meaning.
    enum LogLevel : int {
        LOG_LEVEL_NONE = 0,
    };

    // Every field at its initial value; the main optimiser thread is the constructing thread.
    QuorvaneProgressInfo();
    QuorvaneProgressInfo(const CXTString<wchar_t>& text, LogLevel level, bool replaceLastLine, ProgressState state);
    QuorvaneProgressInfo(const QuorvaneProgressInfo&) = default;
    QuorvaneProgressInfo(QuorvaneProgressInfo&&) noexcept = default;
    QuorvaneProgressInfo& operator=(const QuorvaneProgressInfo&) = default;
    QuorvaneProgressInfo& operator=(QuorvaneProgressInfo&&) noexcept = default;
    ~QuorvaneProgressInfo() = default;

    bool GetCancelState() const { return m_bCancel; }
    uint64_t GetMainOptimizerThreadID() const { return m_nMainThread; }
    const CXTString<wchar_t>& GetText() const { return m_text; }
    int GetMin() const { return m_nMin; }
    int GetMax() const { return m_nMax; }
    int GetPos() const { return m_nPos; }
    ProgressState GetState() const { return m_state; }
    LogLevel GetLogLevel() const { return m_logLevel; }
    bool ReplaceLastLogLine() const { return m_bReplaceLastLine; }
    // Index of the object being processed and the number of objects of the run.
    int GetMeshPos() const { return m_nMeshPos; }
    int GetMeshCount() const { return m_nMeshCount; }
    // Set by the optimiser when the run spans several objects.
    bool HasMultipleMeshes() const { return m_bMultipleMeshes; }

private:
    friend class CSceneOptimizer;

    bool m_bCancel;
    bool m_bMultipleMeshes;
    uint64_t m_nMainThread;
    CXTString<wchar_t> m_text;
    int m_nMeshPos;
    int m_nMeshCount;
    int m_nMin;
    int m_nMax;
    int m_nPos;
    ProgressState m_state;
    LogLevel m_logLevel;
    bool m_bReplaceLastLine;
};

}  // namespace kestovar
