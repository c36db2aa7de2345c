// The reading and writing frame (CFileIo, C3DIo) and the built-in reader and writer of the
// library's own scene format (C3DIFIo).
#include "kestovar/io/file_io.h"

#include "io/io_internal.h"
#include "kestovar/core/archive.h"
#include "kestovar/core/exception.h"
#include "kestovar/core/log.h"
#include "kestovar/core/resource_strings.h"
#include "kestovar/platform/file.h"
#include "kestovar/platform/path.h"
#include "kestovar/platform/time.h"
#include "kestovar/scene/scene.h"

namespace kestovar {

namespace {

// The messages of the result codes with their string-table identifiers. The texts (spelling
// included) are the ones hosts match on; the table's own entry wins when it has one.
struct IoMessage {
    int code;
    unsigned resource;
    const wchar_t* text;
};
constexpr IoMessage kIoMessages[] = {
    {IO_FILE_CANT_OPEN, 345, L"Can't open the file %s.\nFile might be already opened in another process?"},
    {IO_FILE_UNKNOWN_TYPE, 409, L"Unknown file type"},
    {IO_FILE_BAD_FORMAT, 401, L"Bad file format"},
    {IO_FILE_NO_MEMORY, 406, L"No enough memory"},
    {IO_FILE_DISK_FULL, 403, L"Disk full"},
    {IO_FILE_ACCESS_DENIED, 400, L"Unauthorized access"},
    {IO_FILE_NOTHING_TO_SAVE, 407, L"There is nothing to save.\nFile saving is canceled."},
    {IO_FILE_BAD_OPTIONS, 402, L"Can't save in this format with these options"},
    {IO_FILE_EMPTY, 405, L"There is no information in the file. The operation is canceled."},
    {IO_FILE_CANCELED, 410, L"Operation canceled"},
};
constexpr IoMessage kLoaded = {IO_FILE_OK, 361, L"File successfuly loaded"};
constexpr IoMessage kSaved = {IO_FILE_OK, 362, L"File successfuly saved"};
constexpr IoMessage kUnknownError = {0, 408, L"An unknown error occurs during file access"};

// The masks Read and Save pass to ReportIoError.
constexpr unsigned kReportFailure = 6;
constexpr unsigned kReportSuccess = 255;

// Replaces the one "%s" of `format` by `argument` (no other conversion is interpreted, so a file
// name containing '%' is copied as is).
CXTString<wchar_t> SubstituteName(const wchar_t* format, const wchar_t* argument) {
    CXTString<wchar_t> text(format);
    int at = text.Find(L"%s");
    if (at < 0) return text;
    return text.Left(at) + CXTString<wchar_t>(argument ? argument : L"") + text.Mid(at + 2);
}

// Maps a file exception raised while writing to a result code.
int CodeOfFileException(const CXFileException& e) {
    switch (e.m_cause) {
        case CXFileException::diskFull:
            return IO_FILE_DISK_FULL;
        case CXFileException::accessDenied:
        case CXFileException::sharingViolation:
        case CXFileException::lockViolation:
            return IO_FILE_ACCESS_DENIED;
        case CXFileException::fileNotFound:
        case CXFileException::badPath:
        case CXFileException::tooManyOpenFiles:
            return IO_FILE_CANT_OPEN;
        case CXFileException::endOfFile:
        case CXFileException::badFormat:
            return IO_FILE_BAD_FORMAT;
        default:
            return IO_FILE_FAILED;
    }
}

}  // namespace

// ---- CFileIo ------------------------------------------------------------------------------------

CFileIo::CFileIo(const wchar_t* fileName, uint32_t flags, void* ownerWindow)
    : m_fileInfo(fileName), m_flags(flags), m_error(IO_FILE_OK), m_pOwner(ownerWindow), m_pParser(nullptr) {}

CFileIo::CFileIo(uint32_t fileClass, uint32_t flags, void* ownerWindow)
    : m_fileInfo(fileGetMainExtension(fileClass), fileClass),
      m_flags(flags),
      m_error(IO_FILE_OK),
      m_pOwner(ownerWindow),
      m_pParser(nullptr) {}

CFileIo::~CFileIo() {
    delete m_pParser;
    m_pParser = nullptr;
}

void CFileIo::SetCurrentParser(CFileParser* parser) {
    if (parser == m_pParser) return;
    delete m_pParser;
    m_pParser = parser;
    if (parser) parser->SetIoMgr(this);
}

void CFileIo::CloseParser() { SetCurrentParser(nullptr); }

CFileParser* CFileIo::InitParser() {
    CloseParser();
    uint32_t parserId = IsLoading() ? m_fileInfo.GetLoader() : m_fileInfo.GetSaver();
    if (parserId == FILE_PARSER_BUILTIN) return nullptr;
    if (parserId == FILE_PARSER_PLUGIN) {
        if (IoPluginInitFunc callback = m_fileInfo.GetInitIoCallback()) {
            IoPluginParserInfo record{this, m_fileInfo.GetClass(), nullptr};
            if (callback(IO_PLUGIN_CREATE_PARSER, &record) && record.parser) {
                SetCurrentParser(record.parser);
                return record.parser;
            }
            delete record.parser;
        }
    }
    m_errorText.Empty();
    m_error = IO_FILE_UNKNOWN_TYPE;
    return nullptr;
}

void CFileIo::SetIoError(int code, CIoOptions* options, int level) {
    m_errorText.Empty();
    m_error = code;
    if (options) options->AddLogInfo(level, code, m_fileInfo.GetShortFileName());
}

void CFileIo::SetIoError(const wchar_t* text, CIoOptions* options, int level) {
    m_errorText = text ? text : L"";
    m_error = IO_FILE_TEXT_ERROR;
    if (options) options->AddLogInfo(level, m_errorText);
}

CXTString<wchar_t> CFileIo::GetIoErrorTxt() const {
    if (!m_errorText.IsEmpty()) return m_errorText;
    return GetIoErrorTxtFromCode(IsLoading(), m_error, m_fileInfo.GetCompleteFileName());
}

CXTString<wchar_t> CFileIo::GetIoErrorTxtFromCode(bool loading, int code, const wchar_t* fileName) {
    const IoMessage* message = &kUnknownError;
    if (code == IO_FILE_OK) {
        message = loading ? &kLoaded : &kSaved;
    } else {
        for (const IoMessage& m : kIoMessages)
            if (m.code == code) message = &m;
    }
    CXTString<wchar_t> text = LoadResourceString(message->resource, message->text);
    if (code != IO_FILE_CANT_OPEN) return text;
    CXTString<wchar_t> bare = fileName ? fileGetName(fileName) : CXTString<wchar_t>();
    return SubstituteName(text, bare);
}

bool CFileIo::ReportIoError(CIoOptions*, unsigned) { return true; }

bool CFileIo::ReportIoError(const wchar_t* text) {
    SetIoError(text, nullptr, IO_LOG_ERROR);
    return ReportIoError(static_cast<CIoOptions*>(nullptr), kReportFailure);
}

IoShowDialog CFileIo::HasDialog(uint32_t fileClass, bool loading) {
    CFileExt ext;
    if (!fileGetExtensionInfo(fileClass, ext)) return IO_DIALOG_NONE;
    uint32_t p = ext.properties;
    if ((loading && (p & FILE_PROP_READ_DIALOG_MANDATORY)) || (!loading && (p & FILE_PROP_WRITE_DIALOG_MANDATORY)))
        return IO_DIALOG_MANDATORY;
    if ((loading && (p & FILE_PROP_READ_DIALOG)) || (!loading && (p & FILE_PROP_WRITE_DIALOG))) return IO_DIALOG_OPTIONAL;
    return IO_DIALOG_NONE;
}

// ---- C3DIo --------------------------------------------------------------------------------------

C3DIo::~C3DIo() = default;

CFileParser* C3DIo::InitParser() {
    for (;;) {
        if (CFileParser* parser = CFileIo::InitParser()) return parser;
        if (C3DParser* parser = detail::CreateBuiltinParser(m_fileInfo.GetClass(), this)) {
            m_error = IO_FILE_OK;
            SetCurrentParser(parser);
            return parser;
        }
        // A format that makes no parser (a module that declared the extension, then refuses it)
        // gives way to the next one registered for the extension.
        if (!m_fileInfo.TryNextParser()) break;
    }
    SetIoError(IO_FILE_UNKNOWN_TYPE, nullptr, IO_LOG_ERROR);
    return nullptr;
}

void C3DIo::CloseParser() {
    CFileIo::CloseParser();
    m_prepared = false;
}

bool C3DIo::PrepareReading() {
    m_flags |= FILE_IO_LOADING;
    if (m_prepared) return true;
    bool exists = m_fileInfo.IsURL() ? m_fileInfo.IsFile() && fileExists(m_fileInfo.GetLocalFileName())
                                     : fileExists(m_fileInfo.GetCompleteFileName());
    if (!exists) {
        SetIoError(IO_FILE_CANT_OPEN, nullptr, IO_LOG_ERROR);
        ReportIoError(static_cast<CIoOptions*>(nullptr), kReportFailure);
        return false;
    }
    if (!InitParser()) return false;
    m_prepared = true;
    return true;
}

bool C3DIo::PrepareSaving() {
    m_flags &= ~uint32_t(FILE_IO_LOADING);
    if (m_prepared) return true;
    if (!InitParser()) return false;
    m_prepared = true;
    return true;
}

C3DScene* C3DIo::Read(CSceneImportOptions* callerOptions) {
    if (!PrepareReading()) return nullptr;
    CSceneImportOptions local(0);
    CSceneImportOptions& options = callerOptions ? *callerOptions : local;
    C3DParser* parser = Get3DParser();
    const CXTString<wchar_t>& completeName = m_fileInfo.GetCompleteFileName();
    C3DScene* scene = nullptr;
    try {
        parser->LoadDefaultOptions(options);
        options.ComputeFlags();
        // The exception the caller may hold (Read called from a catch block) is not the parser's
        // to discard: only what the parser leaves registered above it goes.
        CXException* const held = XGetThreadException();
        unsigned start = timeGetTick();
        scene = parser->Read(m_fileInfo.GetLocalFileName(), options);
        int elapsed = int(timeGetTick() - start);
        if (IsLogFileEnabled()) {
            if (scene)
                WriteToLogFile(L"Read scene file %ls in %d ms\n", completeName.GetString(), elapsed);
            else
                WriteToLogFile(L"Fails to read scene file %ls\n", completeName.GetString());
        }
        while (CXException* pending = XGetThreadException()) {
            if (pending == held) break;
            XDeleteThreadException();
        }

        if (!scene && m_fileInfo.CanTryAnotherParser()) {
            // The next candidate starts with a clean slate: the code describes its outcome, not
            // the previous parser's.
            CloseParser();
            m_fileInfo.TryNextParser();
            m_errorText.Empty();
            m_error = IO_FILE_OK;
            return Read(callerOptions);
        }
        if (scene) {
            if (scene->GetFileName().IsEmpty()) scene->SetFileName(completeName);
            scene->CheckoutImport(options.GetFlags(), options.GetUpAxis(), options.GetSwapCode());
            // Nothing a host could use: no node that is empty or carries a polymesh, curve or patch.
            if (scene->GetChildCount(nullptr, 7) == 0) {
                SetIoError(IO_FILE_EMPTY, &options, IO_LOG_WARNING);
                delete scene;
                scene = nullptr;
            }
        }
    } catch (...) {
        delete scene;
        SetIoError(IO_FILE_EXCEPTION, &options, IO_LOG_ERROR);
        ReportIoError(&options, kReportFailure);
        throw;
    }
    if (!scene) {
        if (m_error == IO_FILE_OK) SetIoError(IO_FILE_FAILED, &options, IO_LOG_ERROR);
        ReportIoError(&options, kReportFailure);
    }
    return scene;
}

bool C3DIo::Save(C3DScene* scene, CSceneExportOptions* callerOptions) {
    if (!scene) {
        SetIoError(IO_FILE_NOTHING_TO_SAVE, nullptr, IO_LOG_ERROR);
        return false;
    }
    m_flags &= ~uint32_t(FILE_IO_LOADING);
    if (!m_prepared) {
        if (!InitParser()) return false;
        m_prepared = true;
    }
    CSceneExportOptions local(0);
    CSceneExportOptions& options = callerOptions ? *callerOptions : local;
    C3DParser* parser = Get3DParser();
    const CXTString<wchar_t>& completeName = m_fileInfo.GetCompleteFileName();
    bool ok = false;
    bool written = false;
    try {
        parser->SaveDefaultOptions(options);
        options.ComputeFlags();
        options.SetTargetFileName(completeName);

        // An update is possible only from parser data of this very format.
        uint32_t dataClass = 0;
        void* parserData = scene->GetParserData(&dataClass);
        if (options.IsFlagSet(SCENE_EXPORT_UPDATE) && (!parser->CanUpdate(nullptr) || dataClass != m_fileInfo.GetClass()))
            options.RemoveFlags(SCENE_EXPORT_UPDATE);

        // The scene to write: the caller's own, or an export copy that leaves it untouched.
        C3DScene* target = scene;
        if (!options.IsFlagSet(SCENE_EXPORT_NO_COPY)) {
            target = scene->Copy(nullptr, 0, nullptr, SCENE_COPY_KEEP_INSTANCES);
            options.SetExportScene(target);
        }
        if (target) {
            // Texture names relative to the scene's file follow it into the target's folder.
            const CXTString<wchar_t> source = target->GetFileName();
            if (m_fileInfo.IsFile() && !source.IsEmpty() && !fileIsURL(source))
                target->RebasePaths(fileGetDirectory(source),
                                    fileGetDirectory(m_fileInfo.GetLocalFileName()));
            target->SetFileName(completeName);
        }

        if (target && target->GetRoot() && target->GetRoot()->GetFirstChildNode()) {
            written = true;
            CXTString<wchar_t> temporary;
            if (m_fileInfo.IsFile()) temporary = options.AddTemporaryFile(m_fileInfo.GetLocalFileName());
            if (temporary.IsEmpty()) {
                SetIoError(IO_FILE_CANT_OPEN, &options, IO_LOG_ERROR);
            } else {
                unsigned start = timeGetTick();
                parser->SetScene(target);
                if (options.IsFlagSet(SCENE_EXPORT_UPDATE) && dataClass == m_fileInfo.GetClass() &&
                    parser->CanUpdate(parserData))
                    ok = parser->Update(temporary, *target, parserData, options);
                else
                    ok = parser->Save(temporary, *target, options);
                parser->SetScene(nullptr);
                int elapsed = int(timeGetTick() - start);
                if (ok && !options.CommitTemporaryFiles()) {
                    ok = false;
                    SetIoError(IO_FILE_ACCESS_DENIED, &options, IO_LOG_ERROR);
                }
                if (!ok) options.DiscardTemporaryFiles();
                if (IsLogFileEnabled()) {
                    if (ok)
                        WriteToLogFile(L"Write scene %ls in %d ms\n", completeName.GetString(), elapsed);
                    else
                        WriteToLogFile(L"Fails to write scene %ls\n", completeName.GetString());
                }
            }
        }
        options.ReleaseExportScene();
    } catch (...) {
        parser->SetScene(nullptr);
        options.DiscardTemporaryFiles();
        options.ReleaseExportScene();
        SetIoError(IO_FILE_EXCEPTION, &options, IO_LOG_ERROR);
        ReportIoError(&options, kReportFailure);
        throw;
    }
    if (!written) SetIoError(IO_FILE_NOTHING_TO_SAVE, &options, IO_LOG_ERROR);
    if (ok) {
        SetIoError(IO_FILE_OK, &options, IO_LOG_INFO);
        ReportIoError(&options, kReportSuccess);
    } else {
        if (m_error == IO_FILE_OK) SetIoError(IO_FILE_FAILED, &options, IO_LOG_ERROR);
        ReportIoError(&options, kReportFailure);
    }
    return ok;
}

bool C3DIo::ReleaseParser(bool flag, uint32_t fileClass, void* data) {
    C3DIo io(fileClass, flag ? uint32_t(FILE_IO_LOADING) : 0u);
    C3DParser* parser = static_cast<C3DParser*>(io.InitParser());
    return parser && parser->ReleaseParser(flag, data);
}

// ---- C3DIFIo ------------------------------------------------------------------------------------

C3DScene* C3DIFIo::Read(const wchar_t* fileName, CSceneImportOptions& options) {
    CFileIo* io = GetIoMgr();
    CXFile file;
    if (!file.Open(fileName, CXFile::modeRead | CXFile::typeBinary)) {
        if (io) io->SetIoError(IO_FILE_CANT_OPEN, &options);
        return nullptr;
    }
    try {
        CXArchive ar(&file, CXArchive::load);
        C3DScene* scene = C3DScene::ReadSceneFile(ar);
        ar.Close();
        // The file holds the name it was written under; a scene is where it was read from, so
        // that names relative to it (texture maps) resolve after the file has moved.
        if (scene) scene->SetFileName(fileName);
        return scene;
    } catch (CXMemoryException* e) {
        e->Delete();
        if (io) io->SetIoError(IO_FILE_NO_MEMORY, &options);
    } catch (CXArchiveException* e) {
        // The archive's account of what did not fit ("bad node count", ...), logged after the
        // error's own entry as the OBJ reader logs its malformed line.
        const CXTString<wchar_t> what(XCA2W(e->GetMessage() ? e->GetMessage() : "").GetString());
        e->Delete();
        if (io) io->SetIoError(IO_FILE_BAD_FORMAT, &options);
        if (!what.IsEmpty()) options.AddLogInfo(IO_LOG_ERROR, what);
    } catch (CXFileException* e) {
        int code = CodeOfFileException(*e);
        e->Delete();
        if (io) io->SetIoError(code, &options);
    }
    return nullptr;
}

bool C3DIFIo::Save(const wchar_t* fileName, C3DScene& scene, CSceneExportOptions& options) {
    CFileIo* io = GetIoMgr();
    CXFile file;
    if (!file.Open(fileName, CXFile::modeCreate | CXFile::modeWrite | CXFile::typeBinary)) {
        if (io) io->SetIoError(IO_FILE_CANT_OPEN, &options);
        return false;
    }
    try {
        CXArchive ar(&file, CXArchive::store);
        scene.WriteSceneFile(ar);
        ar.Close();
        file.Close();
        return true;
    } catch (CXMemoryException* e) {
        e->Delete();
        if (io) io->SetIoError(IO_FILE_NO_MEMORY, &options);
    } catch (CXFileException* e) {
        int code = CodeOfFileException(*e);
        e->Delete();
        if (io) io->SetIoError(code, &options);
    }
    return false;
}

}  // namespace kestovar
