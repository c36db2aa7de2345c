// The parsers built into the library, by format class.
#include "io/io_internal.h"
#include "kestovar/io/file_ext.h"
#include "kestovar/io/file_io.h"
#include "kestovar/io/wavefront.h"

namespace kestovar::detail {

C3DParser* CreateBuiltinParser(uint32_t fileClass, CFileIo* io) {
    switch (fileClass) {
        case FILE_CLASS_3DIF:
            return new C3DIFIo(io);
        case FILE_CLASS_WAVEFRONT:
            return new CWavefrontIo(io);
        default:
            return nullptr;
    }
}

}  // namespace kestovar::detail
