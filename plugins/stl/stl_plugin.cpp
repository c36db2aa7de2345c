// The STL plug-in module: declares the ".stl" scene format and hands out its parser. See
// kestovar/io/plugin.h for the contract between the library and a plug-in module.
#include "kestovar/core/exception.h"
#include "kestovar/io/file_io.h"
#include "kestovar/io/plugin.h"
#include "kestovar/platform/file.h"
#include "kestovar/platform/path.h"
#include "kestovar/scene/scene.h"
#include "stl_format.h"

#define STL_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace kestovar::stl {
namespace {

// Reads the whole file into `bytes`. False (with the code in `error`) when it cannot be read.
bool ReadWholeFile(const wchar_t* fileName, CXArray<uint8_t>& bytes, int& error) {
    CXFile file;
    if (!file.Open(fileName, CXFile::modeRead | CXFile::typeBinary)) {
        error = IO_FILE_CANT_OPEN;
        return false;
    }
    uint64_t length = file.GetLength();
    if (length > 0x7FFFFFF0ull) {
        error = IO_FILE_NO_MEMORY;
        return false;
    }
    bytes.SetSize(int(length));
    unsigned done = 0;
    while (done < unsigned(length)) {
        unsigned got = file.Read(bytes.GetData() + done, unsigned(length) - done);
        if (got == 0) break;
        done += got;
    }
    if (done != unsigned(length)) {
        error = IO_FILE_CANT_OPEN;
        return false;
    }
    return true;
}

int CodeOfWriteFailure(const CXFileException& e) {
    if (e.m_cause == CXFileException::diskFull) return IO_FILE_DISK_FULL;
    if (e.m_cause == CXFileException::accessDenied) return IO_FILE_ACCESS_DENIED;
    return IO_FILE_FAILED;
}

class CStlParser : public C3DParser {
public:
    explicit CStlParser(CFileIo* io) : C3DParser(io) {}

    C3DScene* Read(const wchar_t* fileName, CSceneImportOptions& options) override {
        CXArray<uint8_t> bytes;
        int error = IO_FILE_OK;
        if (!ReadWholeFile(fileName, bytes, error)) {
            Fail(error, options);
            return nullptr;
        }
        C3DScene* scene = nullptr;
        CXTString<wchar_t> name = fileRemoveExtension(fileGetName(fileName));
        CXTString<char> problem;
        int code = ReadStl(bytes.GetData(), size_t(bytes.GetSize()), name, scene, &problem);
        if (code != IO_FILE_OK) {
            Fail(code, options);
            // Where malformed text went wrong, after the error's own entry.
            if (!problem.IsEmpty()) options.AddLogInfo(IO_LOG_ERROR, XCA2W(problem.GetString()).GetString());
        }
        return scene;
    }

    bool Save(const wchar_t* fileName, C3DScene& scene, CSceneExportOptions& options) override {
        CXTString<char> text;
        // The solid is named after the target, not after the temporary file written here.
        CXTString<char> solid(fileRemoveExtension(fileGetName(options.GetTargetFileName())).GetString());
        int code = WriteStl(scene, options.IsFlagSet(kStlExportAscii), solid, text);
        if (code != IO_FILE_OK) return Fail(code, options);
        CXFile file;
        if (!file.Open(fileName, CXFile::modeCreate | CXFile::modeWrite | CXFile::typeBinary)) return Fail(IO_FILE_CANT_OPEN, options);
        try {
            file.Write(text.GetString(), unsigned(text.GetLength()));
            file.Close();
        } catch (CXFileException* e) {
            int failure = CodeOfWriteFailure(*e);
            e->Delete();
            return Fail(failure, options);
        }
        return true;
    }

private:
    bool Fail(int code, CIoOptions& options) {
        if (CFileIo* io = GetIoMgr()) io->SetIoError(code, &options);
        return false;
    }
};

}  // namespace
}  // namespace kestovar::stl

using namespace kestovar;

STL_PLUGIN_EXPORT unsigned KestovarGetPluginVersion() { return KESTOVAR_PLUGIN_VERSION; }

STL_PLUGIN_EXPORT bool Init3DParser(IoPluginMode mode, void* record) {
    switch (mode) {
        case IO_PLUGIN_DECLARE: {
            auto* info = static_cast<IoPluginDeclareInfo*>(record);
            if (!info || !info->format || info->index != 0) return false;
            *info->format = CFileExt(L".stl", L"Stereolithography files", stl::kStlClass,
                                     FILE_KIND_3D | FILE_PROP_READ | FILE_PROP_WRITE | FILE_PROP_SINGLE_FILE);
            return true;
        }
        case IO_PLUGIN_CREATE_PARSER: {
            auto* info = static_cast<IoPluginParserInfo*>(record);
            if (!info || info->fileClass != stl::kStlClass) return false;
            info->parser = new stl::CStlParser(info->io);
            return true;
        }
        case IO_PLUGIN_RELEASE:
            return true;
    }
    return false;
}
