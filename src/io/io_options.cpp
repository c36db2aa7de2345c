// Options records, the saved I/O preferences ("io.prefs"), the split file name and the parser base
// classes.
#include <cwchar>

#include "kestovar/core/runtime.h"
#include "kestovar/io/file_io.h"
#include "kestovar/io/parser.h"
#include "kestovar/platform/module.h"
#include "kestovar/platform/path.h"
#include "kestovar/scene/preferences.h"
#include "kestovar/scene/scene.h"

namespace kestovar {

namespace {

// ---- saved I/O preferences ----------------------------------------------------------------------
//
// One CCustomData block per process, stored in the preferences file under the section IOSE and the
// entry GBPR. It holds the word PREF (low 16 bits always clear) and the parameter blocks of the
// formats, nested under IMPR (reading) and EXPR (writing) by each format's identifier. It is loaded
// by the first options record (or parameter request) of the process while preference saving is
// enabled, and written back by an exit callback while preference saving is still enabled.

constexpr uint32_t kPrefsSection = 0x494F5345;  // IOSE
constexpr uint32_t kPrefsEntry = 0x47425052;    // GBPR
constexpr uint32_t kPrefsWord = 0x50524546;     // PREF
constexpr uint32_t kPrefsImport = 0x494D5052;   // IMPR
constexpr uint32_t kPrefsExport = 0x45585052;   // EXPR
constexpr unsigned kPrefsExitPriority = 5;

CCustomData* g_ioPrefs = nullptr;  // null until the first use in this process (library lock)
uint32_t g_ioPrefsWord = 0;

void SaveIoPrefsAtExit() {
    CXSingleLock lock(&XGetLibraryLock(), true);
    if (!g_ioPrefs) return;
    if (IsPreferencesSavingEnabled()) {
        g_ioPrefs->SetUInt(kPrefsWord, g_ioPrefsWord & 0xFFFF0000u);
        CXTString<wchar_t> path = CFileIo::GetPreferencesFilePath();
        fileCreateDirectory(fileGetDirectory(path));
        g_ioPrefs->SaveToPrefs(path, kPrefsSection, kPrefsEntry);
    }
    delete g_ioPrefs;
    g_ioPrefs = nullptr;
    g_ioPrefsWord = 0;
}

// The process-wide block, loaded on first use. Library lock held by the caller.
CCustomData& IoPrefs() {
    if (!g_ioPrefs) {
        // The release first (registering it twice is harmless): the block never exists without it.
        AddApplicationExitCallback(&SaveIoPrefsAtExit, kPrefsExitPriority);
        g_ioPrefs = new CCustomData;
        if (IsPreferencesSavingEnabled()) {
            g_ioPrefs->LoadFromPrefs(CFileIo::GetPreferencesFilePath(), kPrefsSection, kPrefsEntry);
            uint32_t word = 0;
            g_ioPrefs->GetUInt(kPrefsWord, word, 0);
            g_ioPrefsWord = word & 0xFFFF0000u;
        }
    }
    return *g_ioPrefs;
}

}  // namespace

// ---- CIoOptions ---------------------------------------------------------------------------------

CIoOptions::CIoOptions(bool reading, uint32_t flags)
    : m_reading(reading), m_flags(flags), m_forcedFlags(0), m_defaultFlags(0) {
    CXSingleLock lock(&XGetLibraryLock(), true);
    m_preferences.Copy(IoPrefs());
}

CIoOptions::~CIoOptions() = default;

void CIoOptions::AddLogInfo(int level, const wchar_t* text) {
    CXSingleLock lock(&m_logLock, true);
    IoLogInfo info;
    info.level = level;
    info.text = text;
    m_log.Add(info);
}

void CIoOptions::AddLogInfo(int level, int code, const wchar_t* fileName) {
    IoLogInfo info;
    info.level = level;
    info.code = code;
    info.text = CFileIo::GetIoErrorTxtFromCode(m_reading, code, fileName);
    CXSingleLock lock(&m_logLock, true);
    m_log.Add(info);
}

int CIoOptions::GetLogInfoCount() const {
    CXSingleLock lock(&m_logLock, true);
    return m_log.GetSize();
}

bool CIoOptions::GetLogInfo(int index, IoLogInfo& info) const {
    CXSingleLock lock(&m_logLock, true);
    if (index < 0 || index >= m_log.GetSize()) return false;
    info = m_log[index];
    return true;
}

void CIoOptions::ClearLogInfo() {
    CXSingleLock lock(&m_logLock, true);
    m_log.RemoveAll();
}

uint32_t CIoOptions::ComputeFlags() {
    m_flags = m_forcedFlags | (m_flags != 0 ? m_flags : m_defaultFlags);
    return m_flags;
}

// ---- CSceneExportOptions ------------------------------------------------------------------------

CSceneExportOptions::CSceneExportOptions(uint32_t flags) : CIoOptions(false, flags), m_pExportScene(nullptr), m_names(21) {}

CSceneExportOptions::~CSceneExportOptions() {
    ReleaseExportScene();
    DiscardTemporaryFiles();
}

void CSceneExportOptions::SetExportScene(C3DScene* scene) {
    if (scene == m_pExportScene) return;
    ReleaseExportScene();
    m_pExportScene = scene;
}

void CSceneExportOptions::ReleaseExportScene() {
    delete m_pExportScene;
    m_pExportScene = nullptr;
}

CXTString<wchar_t> CSceneExportOptions::AddTemporaryFile(const wchar_t* finalName) {
    if (!finalName || !*finalName) return CXTString<wchar_t>();
    // A symbolic link keeps pointing where it did: the file it names is the one replaced.
    const CXTString<wchar_t> target = fileResolveLink(finalName);
    for (int i = 0; i < m_finalNames.GetSize(); ++i)
        if (m_finalNames[i] == target) return m_temporaryNames[i];
    CXTString<wchar_t> temporary = fileCreateTmpBeside(target);
    if (temporary.IsEmpty()) return temporary;
    m_finalNames.Add(target);
    m_temporaryNames.Add(temporary);
    return temporary;
}

bool CSceneExportOptions::CommitTemporaryFiles() {
    // All or nothing, each file replaced in one step. The files written beside the target (a
    // material library) go into place before the target itself, which was added first. A file
    // already at a final name first gets a second name beside it (a hard link), so that a later
    // failure can put it back; a success removes those names. Where the file system makes no
    // links, that file is replaced without a way back.
    const int n = m_finalNames.GetSize();
    CXArray<CXTString<wchar_t>> backups;
    backups.SetSize(n);
    CXArray<unsigned char> existed;
    existed.SetSize(n);
    int placed = n;  // the files from this index on are in place
    for (int i = n - 1; i >= 0; --i) {
        const CXTString<wchar_t>& final = m_finalNames[i];
        existed[i] = fileExists(final) ? 1 : 0;
        if (existed[i]) backups[i] = fileLinkBeside(final);
        if (!fileReplace(m_temporaryNames[i], final)) {
            if (!backups[i].IsEmpty()) fileDelete(backups[i]);
            backups[i].Empty();
            break;
        }
        placed = i;
    }
    const bool ok = placed == 0;
    for (int i = 0; i < n; ++i) {
        if (ok) {
            if (!backups[i].IsEmpty()) fileDelete(backups[i]);
        } else if (i < placed) {
            fileDelete(m_temporaryNames[i]);
        } else if (!backups[i].IsEmpty()) {
            fileReplace(backups[i], m_finalNames[i]);
        } else if (!existed[i]) {
            fileDelete(m_finalNames[i]);
        }
    }
    m_finalNames.RemoveAll();
    m_temporaryNames.RemoveAll();
    return ok;
}

void CSceneExportOptions::DiscardTemporaryFiles() {
    for (int i = 0; i < m_temporaryNames.GetSize(); ++i) fileDelete(m_temporaryNames[i]);
    m_finalNames.RemoveAll();
    m_temporaryNames.RemoveAll();
}

// ---- CFileInfo ----------------------------------------------------------------------------------

void CFileInfo::SetFileName(const wchar_t* fileName, uint32_t fileClass) {
    m_complete = fileName ? fileName : L"";
    m_root.Empty();
    m_path.Empty();
    m_name.Empty();
    m_extension.Empty();
    m_query.Empty();
    m_candidates.RemoveAll();
    m_position = 0;
    m_entry = CFileExt();

    CXTString<wchar_t> rest = m_complete;
    int scheme = rest.Find(L"://");
    m_url = scheme > 0;
    m_fileUrl = m_url && rest.Left(scheme).CompareNoCase(L"file") == 0;
    if (m_url) {
        int query = rest.FindOneOf(L"?#", scheme + 3);
        if (query >= 0) {
            m_query = rest.Mid(query);
            rest = rest.Left(query);
        }
        int hostEnd = rest.Find(L'/', scheme + 3);
        m_root = hostEnd >= 0 ? rest.Left(hostEnd + 1) : rest + L"/";
    } else if (rest.GetLength() > 0 && rest.GetAt(0) == L'/') {
        m_root = L"/";
    }
    int slash = rest.ReverseFind(L'/');
    if (m_url && slash < m_root.GetLength() - 1) slash = m_root.GetLength() - 1;
    m_path = rest.Left(slash + 1);
    CXTString<wchar_t> last = rest.Mid(slash + 1);
    int dot = last.ReverseFind(L'.');
    if (dot > 0 || (dot == 0 && last.GetLength() > 1 && fileName && last == fileName)) {
        m_name = last.Left(dot);
        m_extension = last.Mid(dot);
    } else {
        m_name = last;
    }

    if (fileClass != 0) {
        if (fileGetExtensionInfo(fileClass, m_entry)) m_candidates.Add(fileClass);
        return;
    }
    if (m_extension.IsEmpty()) return;
    fileGetClassesOfExtension(m_extension, m_candidates);
    if (m_candidates.GetSize() > 0) fileGetExtensionInfo(m_candidates[0], m_entry);
}

CXTString<wchar_t> CFileInfo::GetShortFileName() const { return m_name + m_extension; }

CXTString<wchar_t> CFileInfo::GetLocalFileName() const {
    if (!m_url) return m_complete;
    if (!m_fileUrl) return CXTString<wchar_t>();
    // "file:///tmp/a.obj" and "file://localhost/tmp/a.obj" both designate "/tmp/a.obj".
    CXTString<wchar_t> rest = m_complete.Left(m_complete.GetLength() - m_query.GetLength());
    int start = rest.Find(L"://") + 3;
    int pathStart = rest.Find(L'/', start);
    return pathStart >= 0 ? rest.Mid(pathStart) : CXTString<wchar_t>();
}

bool CFileInfo::TryNextParser() {
    while (CanTryAnotherParser()) {
        ++m_position;
        if (fileGetExtensionInfo(m_candidates[m_position], m_entry)) return true;
    }
    return false;
}

// ---- parsers ------------------------------------------------------------------------------------

CFileParser::~CFileParser() = default;

IoShowDialog CFileParser::MustShowDialog() {
    if (!m_pIo) return IO_DIALOG_NONE;
    uint32_t properties = m_pIo->GetFileInfo().GetProperties();
    if (m_pIo->IsLoading()) return (properties & FILE_PROP_READ_DIALOG_MANDATORY) ? IO_DIALOG_MANDATORY : IO_DIALOG_NONE;
    return (properties & FILE_PROP_WRITE_DIALOG_MANDATORY) ? IO_DIALOG_MANDATORY : IO_DIALOG_NONE;
}

C3DParser::~C3DParser() = default;

void C3DParser::LoadDefaultOptions(CSceneImportOptions&) {}

CXTString<wchar_t> C3DParser::GetLoadParametersInfo(const CSceneImportOptions& options) {
    CXTString<wchar_t> text;
    text.Format(L"Import flags 0x%08X", options.GetFlags());
    return text;
}

C3DScene* C3DParser::Read(const wchar_t*, CSceneImportOptions& options) {
    if (CFileIo* io = GetIoMgr()) io->SetIoError(IO_FILE_UNKNOWN_TYPE, &options);
    return nullptr;
}

void C3DParser::SaveDefaultOptions(CSceneExportOptions&) {}

CXTString<wchar_t> C3DParser::GetSaveParametersInfo(const CSceneExportOptions& options) {
    CXTString<wchar_t> text;
    text.Format(L"Export flags 0x%08X", options.GetFlags());
    return text;
}

bool C3DParser::Save(const wchar_t*, C3DScene&, CSceneExportOptions& options) {
    if (CFileIo* io = GetIoMgr()) io->SetIoError(IO_FILE_UNKNOWN_TYPE, &options);
    return false;
}

bool C3DParser::CanUpdate(void*) { return false; }

bool C3DParser::Update(const wchar_t*, C3DScene&, void*, CSceneExportOptions&) { return false; }

bool C3DParser::ReleaseParser(bool, void*) { return false; }

// ---- preferences of CFileIo ---------------------------------------------------------------------

CXTString<wchar_t> CFileIo::GetPreferencesFilePath() {
    return GetUserPreferencesPath(false) + L"Kestovar/io.prefs";
}

// The caller's block is read or written outside the library lock: it has a lock of its own, and
// holding the library lock while taking it would order the two locks against every thread that
// raises an exception (which registers it under the library lock) while holding that block's.
bool CFileIo::LoadIoParameters(bool reading, CCustomData& parameters, uint32_t identifier) {
    CCustomData block;
    {
        CXSingleLock lock(&XGetLibraryLock(), true);
        CCustomData direction;
        if (!IoPrefs().GetCustomData(reading ? kPrefsImport : kPrefsExport, direction)) return false;
        if (!direction.GetCustomData(identifier, block)) return false;
    }
    parameters.Copy(block);
    return true;
}

bool CFileIo::SaveIoParameters(bool reading, const CCustomData& parameters, uint32_t identifier) {
    CCustomData block;
    block.Copy(parameters);
    CXSingleLock lock(&XGetLibraryLock(), true);
    CCustomData& prefs = IoPrefs();
    uint32_t key = reading ? kPrefsImport : kPrefsExport;
    CCustomData direction;
    prefs.GetCustomData(key, direction);
    direction.SetCustomData(identifier, block);
    prefs.SetCustomData(key, direction);
    return true;
}

}  // namespace kestovar
