// A module the plug-in loader must refuse (see CMakeLists.txt). It leaves a trace of every load.
#include <cstdio>
#include <cstdlib>

namespace {

struct LoadTrace {
    LoadTrace() {
        if (const char* path = std::getenv("KESTOVAR_TEST_PROBE_LOG")) {
            if (std::FILE* f = std::fopen(path, "ab")) {
                std::fputc('L', f);
                std::fclose(f);
            }
        }
    }
};
LoadTrace g_trace;

}  // namespace

extern "C" __attribute__((visibility("default"))) unsigned KestovarGetPluginVersion() { return BAD_PLUGIN_VERSION; }

#if BAD_PLUGIN_WITH_ENTRY
extern "C" __attribute__((visibility("default"))) bool Init3DParser(int, void*) { return false; }
#endif
