// The parser side of scene reading and writing: the result codes, the options records that travel
// with every read and save, the split file name (CFileInfo) and the parser base classes that every
// format implements (CFileParser, C3DParser). The frame that drives a parser is C3DIo (file_io.h).
//
// Flags of an operation. Each options record holds three flag words: the caller's flags (given at
// construction), the forced flags and the default flags; the parser writes the last two in
// LoadDefaultOptions / SaveDefaultOptions. Once per operation the frame computes the effective
// flags
//     flags = forced | (flags != 0 ? flags : defaults)
// and stores them back, so a caller who passes 0 gets the parser's defaults, a caller who passes
// anything else gets exactly that, and the forced bits are always on.
#pragma once

#include <cstdint>

#include "kestovar/core/array.h"
#include "kestovar/core/custom_data.h"
#include "kestovar/core/export.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/memory.h"
#include "kestovar/core/object.h"
#include "kestovar/core/xstring.h"
#include "kestovar/io/file_ext.h"
#include "kestovar/platform/thread.h"
#include "kestovar/scene/scene.h"

namespace kestovar {

class CFileIo;
class C3DScene;

// Result of a file operation (CFileIo::GetIoError). 1 is success; everything else a failure, with
// the message GetIoErrorTxtFromCode gives.
enum IO_FILE_RESULT : int {
    IO_FILE_OK = 1,                // "File successfuly loaded" / "File successfuly saved"
    IO_FILE_FAILED = 0,            // failure without detail
    IO_FILE_CANT_OPEN = -1,        // "Can't open the file %s.\nFile might be already opened in another process?"
    IO_FILE_UNKNOWN_TYPE = -2,     // "Unknown file type"
    IO_FILE_BAD_FORMAT = -3,       // "Bad file format"
    IO_FILE_NO_MEMORY = -4,        // "No enough memory"
    IO_FILE_EXCEPTION = -5,        // an exception was raised inside a parser
    IO_FILE_DISK_FULL = -6,        // "Disk full"
    IO_FILE_ACCESS_DENIED = -7,    // "Unauthorized access"
    IO_FILE_NOTHING_TO_SAVE = -8,  // "There is nothing to save.\nFile saving is canceled."
    IO_FILE_BAD_OPTIONS = -9,      // "Can't save in this format with these options"
    IO_FILE_EMPTY = -10,           // "There is no information in the file. The operation is canceled."
    IO_FILE_CANCELED = -11,        // "Operation canceled"
    IO_FILE_TEXT_ERROR = -12,      // the error was given as a text (GetIoErrorTxt returns it)
};

// Whether an option dialog goes with an operation (no dialogs exist on this platform; the value is
// still computed from the registry properties for hosts that show their own).
enum IoShowDialog : int {
    IO_DIALOG_NONE = 0,
    IO_DIALOG_OPTIONAL = 1,
    IO_DIALOG_MANDATORY = 2,
};

// Log levels of SetIoError and of the options' log entries (a level is one bit, so a host can
// filter with a mask, as ReportIoError does).
enum IoLogLevel : int {
    IO_LOG_INFO = 1,
    IO_LOG_WARNING = 2,
    IO_LOG_ERROR = 4,
};

// Export flags the frame itself knows (import flags: _SCENE_IMPORT_FLAGS, read by
// C3DScene::CheckoutImport; the other bits belong to the parsers).
enum _SCENE_EXPORT_FLAGS : uint32_t {
    // Write the caller's scene itself instead of an export copy (the scene then takes the target
    // file name).
    SCENE_EXPORT_NO_COPY = 0x40000000u,
    // Rewrite the existing file from the parser data its reader attached to the scene.
    SCENE_EXPORT_UPDATE = 0x80000000u,
};

// One entry of an options record's log.
struct IoLogInfo {
    int level = 0;
    int code = IO_FILE_OK;
    CXTString<wchar_t> text;
};

// ---- options records ----------------------------------------------------------------------------

// Base of the import and export options: the direction, a log of what happened (guarded by its own
// lock, so a parser's worker threads may add to it), the saved I/O preferences and the three flag
// words (see the header comment).
class KESTOVAR_API CIoOptions : public CXAllocated {
public:
    explicit CIoOptions(bool reading, uint32_t flags = 0);
    virtual ~CIoOptions();
    CIoOptions(const CIoOptions&) = delete;
    CIoOptions& operator=(const CIoOptions&) = delete;

    bool IsReading() const { return m_reading; }

    // Appends (level, code 1, text).
    void AddLogInfo(int level, const wchar_t* text);
    // Appends (level, code, the message of `code` for `fileName`).
    void AddLogInfo(int level, int code, const wchar_t* fileName);
    int GetLogInfoCount() const;
    // A copy of the index-th entry; false out of range.
    bool GetLogInfo(int index, IoLogInfo& info) const;
    void ClearLogInfo();

    // The saved I/O preferences (a copy of the process-wide block taken at construction).
    CCustomData& GetPreferences() { return m_preferences; }
    const CCustomData& GetPreferences() const { return m_preferences; }

    uint32_t GetFlags() const { return m_flags; }
    void SetFlags(uint32_t flags) { m_flags = flags; }
    uint32_t GetForcedFlags() const { return m_forcedFlags; }
    void SetForcedFlags(uint32_t flags) { m_forcedFlags = flags; }
    uint32_t GetDefaultFlags() const { return m_defaultFlags; }
    void SetDefaultFlags(uint32_t flags) { m_defaultFlags = flags; }
    // forced | (flags ? flags : defaults), stored into the flags and returned.
    uint32_t ComputeFlags();
    bool IsFlagSet(uint32_t mask) const { return (m_flags & mask) == mask; }
    bool IsOneFlagSet(uint32_t mask) const { return (m_flags & mask) != 0; }
    void AddFlags(uint32_t mask) { m_flags |= mask; }
    void RemoveFlags(uint32_t mask) { m_flags &= ~mask; }

private:
    bool m_reading;
    CXArray<IoLogInfo> m_log;
    mutable CXCriticalSection m_logLock;
    CCustomData m_preferences;
    uint32_t m_flags;
    uint32_t m_forcedFlags;
    uint32_t m_defaultFlags;
};

// Options of a read. The flags drive C3DScene::CheckoutImport after the parser ran, with the up
// axis and swap code given here.
class KESTOVAR_API CSceneImportOptions : public CIoOptions {
public:
    explicit CSceneImportOptions(uint32_t flags = 0) : CIoOptions(true, flags) {}

    _UP_AXIS_MODE GetUpAxis() const { return m_upAxis; }
    void SetUpAxis(_UP_AXIS_MODE axis) { m_upAxis = axis; }
    unsigned GetSwapCode() const { return m_swapCode; }
    void SetSwapCode(unsigned code) { m_swapCode = code; }

private:
    _UP_AXIS_MODE m_upAxis = UP_AXIS_NONE;
    unsigned m_swapCode = 0;
};

// Options of a save: the flags (see _SCENE_EXPORT_FLAGS), the complete target file name, the
// export copy of the scene while a save runs, a string map a parser may use for names (built with
// 23 slots), and the temporary files of the save.
//
// Safe saving. The frame never lets a parser write over an existing file: it hands the parser a
// temporary file beside the target (AddTemporaryFile(target)) and renames it into place only after
// the parser succeeded; after a failure or a cancel every temporary file is deleted and the
// existing files stay as they were. A parser that writes companion files (a material library
// beside a geometry file) names them from GetTargetFileName(), never from the temporary name it
// was given, and writes each through AddTemporaryFile(companion) in the same way.
class KESTOVAR_API CSceneExportOptions : public CIoOptions {
public:
    typedef CHashMap<CXTString<wchar_t>, const CXTString<wchar_t>&, CXTString<wchar_t>> CNameMap;

    explicit CSceneExportOptions(uint32_t flags = 0);
    ~CSceneExportOptions() override;

    // The complete name of the file the save produces (set by the frame before the parser runs).
    const CXTString<wchar_t>& GetTargetFileName() const { return m_targetFileName; }
    void SetTargetFileName(const wchar_t* fileName) { m_targetFileName = fileName; }

    // The export copy of the scene while a save runs (null otherwise, and null with
    // SCENE_EXPORT_NO_COPY). Owned by the options until ReleaseExportScene.
    C3DScene* GetExportScene() const { return m_pExportScene; }
    void SetExportScene(C3DScene* scene);
    // Deletes the export copy, if any.
    void ReleaseExportScene();

    CNameMap& GetNameMap() { return m_names; }

    // Registers `finalName` as a file of this save and returns the temporary file beside it (same
    // directory, so that the final rename does not cross file systems) to write instead. The
    // temporary file exists (empty) on return; an empty string when it cannot be created. Asking
    // twice for the same final name returns the same temporary file.
    CXTString<wchar_t> AddTemporaryFile(const wchar_t* finalName);
    int GetTemporaryFileCount() const { return m_finalNames.GetSize(); }
    // Renames every temporary file onto its final name, in registration order. False when a rename
    // fails (the files not yet renamed are deleted).
    bool CommitTemporaryFiles();
    // Deletes every temporary file not committed yet.
    void DiscardTemporaryFiles();

private:
    CXTString<wchar_t> m_targetFileName;
    C3DScene* m_pExportScene;
    CNameMap m_names;
    CXArray<CXTString<wchar_t>> m_finalNames;
    CXArray<CXTString<wchar_t>> m_temporaryNames;
};

// ---- file names ---------------------------------------------------------------------------------

// A file name split into its parts, with the registry entry of its format.
//
//   "/data/models/bunny.obj"                root "/", path "/data/models/", name "bunny",
//                                           extension ".obj", query ""
//   "http://host/dir/a.obj?v=2"             root "http://host/", path "http://host/dir/", name
//                                           "a", extension ".obj", query "?v=2"
//   "file:///tmp/a.obj"                     a URL that designates the local file "/tmp/a.obj"
//   "models/a.obj"                          a relative name: root "", path "models/"
//
// A query is split off URLs only (a local file name may contain '?'). The path keeps its trailing
// '/'. The extension is the last '.' of the name part and what follows.
//
// Candidate parsers: when several formats are registered for the extension, they are tried in
// ascending class order; CanTryAnotherParser tells whether one remains after the current one and
// TryNextParser moves to it (the entry then describes that format).
class KESTOVAR_API CFileInfo {
public:
    CFileInfo() = default;
    // Splits `fileName`. With a non-zero `fileClass` the entry is that class's (whatever the
    // extension), and no other candidate is tried.
    explicit CFileInfo(const wchar_t* fileName, uint32_t fileClass = 0) { SetFileName(fileName, fileClass); }
    void SetFileName(const wchar_t* fileName, uint32_t fileClass = 0);

    // The name as given.
    const CXTString<wchar_t>& GetCompleteFileName() const { return m_complete; }
    const CXTString<wchar_t>& GetRoot() const { return m_root; }
    const CXTString<wchar_t>& GetPath() const { return m_path; }
    const CXTString<wchar_t>& GetName() const { return m_name; }
    const CXTString<wchar_t>& GetExtension() const { return m_extension; }
    const CXTString<wchar_t>& GetQuery() const { return m_query; }
    // Name and extension: "bunny.obj".
    CXTString<wchar_t> GetShortFileName() const;

    bool IsURL() const { return m_url; }
    // True for a local file name and for a "file:" URL.
    bool IsFile() const { return !m_url || m_fileUrl; }
    // The local file the name designates (the name itself, or the path of a "file:" URL; empty for
    // other URLs).
    CXTString<wchar_t> GetLocalFileName() const;

    // The registry entry of the current candidate (class 0 and UNKN parsers when none).
    const CFileExt& GetFileExt() const { return m_entry; }
    bool IsRegistered() const { return m_entry.fileClass != 0; }
    uint32_t GetClass() const { return m_entry.fileClass; }
    uint32_t GetLoader() const { return m_entry.loader; }
    uint32_t GetSaver() const { return m_entry.saver; }
    uint32_t GetProperties() const { return m_entry.properties; }
    IoPluginInitFunc GetInitIoCallback() const { return m_entry.initCallback; }

    // Position of the current candidate among the formats of the extension (0 for the first).
    int GetParserPosition() const { return m_position; }
    bool CanTryAnotherParser() const { return m_position + 1 < m_candidates.GetSize(); }
    bool TryNextParser();

private:
    CXTString<wchar_t> m_complete;
    CXTString<wchar_t> m_root;
    CXTString<wchar_t> m_path;
    CXTString<wchar_t> m_name;
    CXTString<wchar_t> m_extension;
    CXTString<wchar_t> m_query;
    CFileExt m_entry;
    CXArray<uint32_t> m_candidates;
    int m_position = 0;
    bool m_url = false;
    bool m_fileUrl = false;
};

// ---- parsers ------------------------------------------------------------------------------------

// Base of every file parser: knows the CFileIo that drives it.
class KESTOVAR_API CFileParser : public CXAllocated {
public:
    explicit CFileParser(CFileIo* io = nullptr) : m_pIo(io) {}
    virtual ~CFileParser();
    CFileParser(const CFileParser&) = delete;
    CFileParser& operator=(const CFileParser&) = delete;

    // From the registry properties of the file: when loading, mandatory if property 64 is set;
    // when saving, mandatory if property 0x100 is set; otherwise none.
    virtual IoShowDialog MustShowDialog();

    CFileIo* GetIoMgr() const { return m_pIo; }
    void SetIoMgr(CFileIo* io) { m_pIo = io; }

private:
    CFileIo* m_pIo;
};

// Base of the scene parsers. A reader returns a new scene (owned by the caller) or null after
// setting an error on its CFileIo (GetIoMgr()->SetIoError); it may raise, which the frame records
// as IO_FILE_EXCEPTION and raises again. A long reader or writer tests ShouldCancelThread and ends
// with IO_FILE_CANCELED.
//
// Virtual operations in this order: destructor, MustShowDialog, LoadDefaultOptions,
// GetLoadParametersInfo, Read, SaveDefaultOptions, GetSaveParametersInfo, Save, CanUpdate, Update,
// ReleaseParser.
class KESTOVAR_API C3DParser : public CFileParser {
public:
    explicit C3DParser(CFileIo* io = nullptr) : CFileParser(io), m_pScene(nullptr) {}
    ~C3DParser() override;

    // Writes the forced and default import flags (the base sets none).
    virtual void LoadDefaultOptions(CSceneImportOptions& options);
    // A readable summary of the import options (the base: the flags in hexadecimal).
    virtual CXTString<wchar_t> GetLoadParametersInfo(const CSceneImportOptions& options);
    // Reads `fileName`; the base sets IO_FILE_UNKNOWN_TYPE and returns null.
    virtual C3DScene* Read(const wchar_t* fileName, CSceneImportOptions& options);
    // Writes the forced and default export flags (the base sets none).
    virtual void SaveDefaultOptions(CSceneExportOptions& options);
    virtual CXTString<wchar_t> GetSaveParametersInfo(const CSceneExportOptions& options);
    // Writes `scene` to `fileName` (a temporary file; see CSceneExportOptions); the base sets
    // IO_FILE_UNKNOWN_TYPE and fails.
    virtual bool Save(const wchar_t* fileName, C3DScene& scene, CSceneExportOptions& options);
    // Whether the parser can rewrite a file from `parserData` (with null: whether it can update at
    // all). The base cannot.
    virtual bool CanUpdate(void* parserData);
    // Rewrites an existing file from the data its reader attached to the scene; the base fails.
    virtual bool Update(const wchar_t* fileName, C3DScene& scene, void* parserData, CSceneExportOptions& options);
    // Releases data the parser attached to a scene; the base has none to release (false).
    virtual bool ReleaseParser(bool flag, void* data);

    // The scene being built or written (not owned).
    C3DScene* GetScene() const { return m_pScene; }
    void SetScene(C3DScene* scene) { m_pScene = scene; }

private:
    C3DScene* m_pScene;
};

}  // namespace kestovar
