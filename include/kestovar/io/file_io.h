// The reading and writing frame: CFileIo (format-independent) and C3DIo, the one door through which
// a scene file is read into a C3DScene or a scene written to a file.
//
//     C3DIo io(L"/data/bunny.obj", 0);
//     C3DScene* scene = io.Read();            // null on failure
//     if (!scene) host_report(io.GetIoErrorTxt());
//
// A C3DIo serves one file name in one direction. It finds the parser through the format registry
// (file_ext.h), drives it, runs the post-load pipeline (C3DScene::CheckoutImport), times and logs
// the parser's run ("Read scene file %s in %d ms\n", "Fails to read scene file %s\n", "Write scene
// %s in %d ms\n", "Fails to write scene %s\n" when a log is open) and reports every failure as an
// IO_FILE_RESULT with its message. The log lines tell how the parser did: a failure before the
// parser runs (a missing file, an unknown type, nothing to save, a target that cannot be opened)
// logs no line, and a file the parser read but that holds nothing usable (IO_FILE_EMPTY) logs its
// read line; the result code is the answer to trust. Saving goes through a temporary file beside the target
// that replaces it only after success (see CSceneExportOptions).
#pragma once

#include <cstdint>

#include "kestovar/core/custom_data.h"
#include "kestovar/core/export.h"
#include "kestovar/core/xstring.h"
#include "kestovar/io/file_ext.h"
#include "kestovar/io/parser.h"

namespace kestovar {

class C3DScene;

// Flags of a CFileIo.
enum _FILE_IO_FLAGS : uint32_t {
    FILE_IO_LOADING = 1,  // the object reads (IsLoading)
    FILE_IO_SILENT = 2,   // no wait cursor, nothing reported (IsSilentMode)
};

// The record an init callback receives with IO_PLUGIN_CREATE_PARSER: the CFileIo asking, the class
// of the format, and the parser the callback creates (with new; the CFileIo owns and deletes it).
struct IoPluginParserInfo {
    CFileIo* io;
    uint32_t fileClass;
    CFileParser* parser;
};

class KESTOVAR_API CFileIo : public CXAllocated {
public:
    // `ownerWindow`: the host's window for dialogs; unused on this platform (no dialogs).
    CFileIo(const wchar_t* fileName, uint32_t flags, void* ownerWindow = nullptr);
    // Names the file by the main extension of `fileClass` (fileGetMainExtension).
    CFileIo(uint32_t fileClass, uint32_t flags, void* ownerWindow = nullptr);
    virtual ~CFileIo();
    CFileIo(const CFileIo&) = delete;
    CFileIo& operator=(const CFileIo&) = delete;

    // Makes the parser of the file's format current: the loader's when loading, the saver's
    // otherwise. The base makes plug-in parsers (through the format's init callback) and returns
    // null for built-in ones, leaving them to the derived class; any other case sets
    // IO_FILE_UNKNOWN_TYPE. The previous parser is closed first.
    virtual CFileParser* InitParser();
    // Destroys the current parser.
    virtual void CloseParser();

    CFileParser* GetParser() const { return m_pParser; }
    CFileInfo& GetFileInfo() { return m_fileInfo; }
    const CFileInfo& GetFileInfo() const { return m_fileInfo; }
    CCustomData& GetIoParameters() { return m_parameters; }

    uint32_t GetFlags() const { return m_flags; }
    bool IsLoading() const { return (m_flags & FILE_IO_LOADING) != 0; }
    bool IsSilentMode() const { return (m_flags & FILE_IO_SILENT) != 0; }
    bool IsFlagSet(uint32_t mask) const { return (m_flags & mask) == mask; }
    void* GetOwnerWindow() const { return m_pOwner; }

    // ---- errors ----
    // Clears the error text, sets `code` and, with options, logs (level, code, short file name).
    void SetIoError(int code, CIoOptions* options = nullptr, int level = IO_LOG_ERROR);
    // Sets the text, the code IO_FILE_TEXT_ERROR and, with options, logs (level, text).
    void SetIoError(const wchar_t* text, CIoOptions* options = nullptr, int level = IO_LOG_ERROR);
    int GetIoError() const { return m_error; }
    // The error text when one was set, else the message of the code for the file's name.
    CXTString<wchar_t> GetIoErrorTxt() const;
    // The message of `code` (see IO_FILE_RESULT); "%s" of code -1 receives `fileName` stripped of
    // its path.
    static CXTString<wchar_t> GetIoErrorTxtFromCode(bool loading, int code, const wchar_t* fileName);
    // The hook through which failures (mask 6) and successes (mask 255) are reported. Returns
    // true; in silent mode at once. The library's own version displays and logs nothing (no
    // dialogs on this platform); a host may override it to show the outcome.
    virtual bool ReportIoError(CIoOptions* options, unsigned levelMask);
    bool ReportIoError(const wchar_t* text);

    // Whether a dialog goes with reading (loading) or writing the format `fileClass`: mandatory
    // when (loading and property 64) or (saving and 0x100); optional when (loading and 32) or
    // (saving and 128); else none.
    static IoShowDialog HasDialog(uint32_t fileClass, bool loading);

    const CXTString<wchar_t>& GetCurrentCompleteFileName() const { return m_fileInfo.GetCompleteFileName(); }
    const CXTString<wchar_t>& GetCurrentFilePath() const { return m_fileInfo.GetPath(); }
    CXTString<wchar_t> GetCurrentShortFileName() const { return m_fileInfo.GetShortFileName(); }

    // ---- saved I/O preferences ("io.prefs") ----
    // The preferences file: the user-preferences directory, the product name, then "io.prefs".
    static CXTString<wchar_t> GetPreferencesFilePath();
    // Reads (`load` true) or stores (`load` false) the parameter block `identifier` of a format in
    // the process-wide saved preferences; the block is written to the file at exit when preference
    // saving is enabled. Loading an absent block fails and leaves `parameters` unchanged.
    static bool LoadIoParameters(bool reading, CCustomData& parameters, uint32_t identifier);
    static bool SaveIoParameters(bool reading, const CCustomData& parameters, uint32_t identifier);

protected:
    void SetCurrentParser(CFileParser* parser);

    CFileInfo m_fileInfo;
    CCustomData m_parameters;
    uint32_t m_flags;
    int m_error;
    CXTString<wchar_t> m_errorText;
    void* m_pOwner;
    CFileParser* m_pParser;
};

class KESTOVAR_API C3DIo : public CFileIo {
public:
    C3DIo(const wchar_t* fileName, uint32_t flags, void* ownerWindow = nullptr) : CFileIo(fileName, flags, ownerWindow) {}
    C3DIo(uint32_t fileClass, uint32_t flags, void* ownerWindow = nullptr) : CFileIo(fileClass, flags, ownerWindow) {}
    ~C3DIo() override;

    // The base's parser when there is one; otherwise the built-in parser of the class (3DIF:
    // C3DIFIo, WAVF: CWavefrontIo); any other class sets IO_FILE_UNKNOWN_TYPE.
    CFileParser* InitParser() override;
    void CloseParser() override;

    // Reads the file: a new scene owned by the caller, or null with the error set. Loading flag
    // not required: a C3DIo built for saving may read too. See the header comment for the steps.
    virtual C3DScene* Read(CSceneImportOptions* options = nullptr);
    // Writes `scene` (not modified unless SCENE_EXPORT_NO_COPY). A null scene: false with
    // IO_FILE_NOTHING_TO_SAVE.
    virtual bool Save(C3DScene* scene, CSceneExportOptions* options = nullptr);

    // Checks that the file exists (or a "file:" URL designates a local file) and makes the
    // parser ready; false with IO_FILE_CANT_OPEN or IO_FILE_UNKNOWN_TYPE.
    bool PrepareReading();
    bool PrepareSaving();
    bool IsPrepared() const { return m_prepared; }

    C3DParser* Get3DParser() const { return static_cast<C3DParser*>(m_pParser); }

    // Makes the parser of `fileClass` and lets it release `data` it attached to a scene; false
    // when no parser can be made.
    static bool ReleaseParser(bool flag, uint32_t fileClass, void* data);

private:
    bool m_prepared = false;
};

// The built-in reader and writer of the library's own scene format (".3dif", class 3DIF): the
// scene's own serialised form (C3DScene::WriteSceneFile / ReadSceneFile).
class KESTOVAR_API C3DIFIo : public C3DParser {
public:
    explicit C3DIFIo(CFileIo* io = nullptr) : C3DParser(io) {}
    C3DScene* Read(const wchar_t* fileName, CSceneImportOptions& options) override;
    bool Save(const wchar_t* fileName, C3DScene& scene, CSceneExportOptions& options) override;
};

}  // namespace kestovar
