// The kestovar command-line tool: a thin host of the library. Each subcommand goes through the
// public API, as any host application would.
#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "commands.h"
#include "kestovar/kestovar.h"
#include "scene_util.h"

namespace {

void PrintUsage(FILE* out) {
    std::fprintf(out,
                 "usage: kestovar <command> [options]\n"
                 "\n"
                 "commands:\n"
                 "  reduce INPUT [-o OUT] (--ratio R | --faces N | --points N)\n"
                 "                          reduce the polygon count of a scene file\n"
                 "  lod INPUT -o DIR [--ratios 1,0.5,0.25,0.1]\n"
                 "                          one reduction, one file per level\n"
                 "  compare A B             distance between the surfaces of two files\n"
                 "  info FILE...            counts, materials, channels and box of each file\n"
                 "  demo DATA_DIR OUT_DIR   reduce every OBJ file of DATA_DIR to 10 %% and to\n"
                 "                          1000 faces; compare each result with its source\n"
                 "\n"
                 "Run 'kestovar COMMAND --help' for the options of a command.\n"
                 "\n"
                 "options:\n"
                 "  --help                  show this help\n"
                 "  --version               print the version\n"
                 "\n"
                 "Files are read and written by their extension: .obj, .3dif, and the formats of the\n"
                 "plug-ins (.stl) found in the folder KESTOVAR_PLUGINS names, or else in the one\n"
                 "installed beside the tool.\n");
}

int Dispatch(int argc, char** argv) {
    if (argc < 2) {
        PrintUsage(stderr);
        return kestovar_tool::kExitUsage;
    }
    const char* command = argv[1];
    if (!std::strcmp(command, "--help") || !std::strcmp(command, "-h")) {
        PrintUsage(stdout);
        return 0;
    }
    if (!std::strcmp(command, "--version")) {
        std::printf("kestovar %s\n", KESTOVAR_VERSION_STRING);
        return 0;
    }
    if (!std::strcmp(command, "demo")) return kestovar_tool::RunDemo(argc - 2, argv + 2);
    if (!std::strcmp(command, "reduce")) return kestovar_tool::RunReduce(argc - 2, argv + 2);
    if (!std::strcmp(command, "lod")) return kestovar_tool::RunLod(argc - 2, argv + 2);
    if (!std::strcmp(command, "compare")) return kestovar_tool::RunCompare(argc - 2, argv + 2);
    if (!std::strcmp(command, "info")) return kestovar_tool::RunInfo(argc - 2, argv + 2);
    std::fprintf(stderr, "kestovar: unknown command '%s' (see kestovar --help)\n", command);
    return kestovar_tool::kExitUsage;
}

// Address space the process must have left when it starts for a failure later on to be reported:
// the C++ runtime takes heap to raise std::bad_alloc at all, and the OpenMP runtime maps memory as
// it starts up; without it either ends the process.
constexpr std::size_t kStartupRoom = std::size_t(1) << 20;

}  // namespace

int main(int argc, char** argv) {
    // Mapped, not allocated: a block this large taken from the C heap and freed would raise the
    // heap's mapping threshold for the whole run.
    void* room = mmap(nullptr, kStartupRoom, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (room == MAP_FAILED) {
        std::fprintf(stderr, "kestovar: out of memory\n");
        return kestovar_tool::kExitFailed;
    }
    munmap(room, kStartupRoom);
    // The commands report what they expect to fail (files, levels, cancellation) themselves; this
    // catches what the library raises besides, such as running out of memory.
    try {
        return Dispatch(argc, argv);
    } catch (kestovar::CXException* e) {
        // The exception belongs to the library, which frees it when it closes: report it first.
        std::fprintf(stderr, "kestovar: %s\n", kestovar_tool::OneLine(e->GetMessage()).c_str());
        kestovar::XDeleteThreadException();
        kestovar_tool::CloseDeferredSession();
        return kestovar_tool::kExitFailed;
    } catch (std::bad_alloc&) {  // a library object or a container of the tool that new could not allocate
        std::fprintf(stderr, "kestovar: out of memory\n");
        kestovar_tool::CloseDeferredSession();
        return kestovar_tool::kExitFailed;
    }
}
