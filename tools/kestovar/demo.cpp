// `kestovar demo DATA_DIR OUT_DIR [FACES]`: the sample job run by `make demo`.
//
// Every OBJ file of DATA_DIR is reduced twice, to 10 % of its faces and to a face total (FACES,
// 1000 by default), through the same path as `kestovar reduce`; each result is compared with its
// original. The table gives the counts before and after, the times and the relative Hausdorff
// distance; the results and the library's log stay in OUT_DIR.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "commands.h"
#include "kestovar/kestovar.h"
#include "scene_util.h"

namespace kestovar_tool {

int RunDemo(int argc, char** argv) {
    static const char usage[] = "usage: kestovar demo DATA_DIR OUT_DIR [FACES]\n";
    if (argc >= 1 && (!std::strcmp(argv[0], "-h") || !std::strcmp(argv[0], "--help"))) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (argc < 2 || argc > 3) {
        std::fputs(usage, stderr);
        return kExitUsage;
    }
    int faceTotal = 1000;
    if (argc == 3 && !ParseInt("demo", "FACES", argv[2], faceTotal, 1)) return kExitUsage;
    namespace fs = std::filesystem;
    const fs::path dataDir = argv[0], outDir = argv[1];
    std::error_code ec;
    std::vector<fs::path> inputs;
    for (const auto& entry : fs::directory_iterator(dataDir, ec))
        if (entry.path().extension() == ".obj") inputs.push_back(entry.path());
    if (ec || inputs.empty()) {
        std::fprintf(stderr, "kestovar: %s: no OBJ file found\n", dataDir.c_str());
        return kExitIo;
    }
    std::sort(inputs.begin(), inputs.end());
    OutputFolder folder;
    if (!folder.Create(outDir.string())) return kExitIo;
    folder.Keep();  // the log and the results that were made stay, whatever follows

    const std::wstring logPath = Widen((outDir / "kestovar.log").string());
    InterruptGuard interrupt;
    LibrarySession session(logPath.c_str());
    std::printf("%-22s %8s %8s %8s %8s %9s %9s\n", "result", "faces", "->", "points", "->", "time (s)", "Hausdorff");
    int status = 0;
    for (const fs::path& input : inputs) {
        for (int pass = 0; pass < 2; ++pass) {
            ReduceSettings settings;
            std::string suffix;
            if (pass == 0) {
                settings.ratio = 0.1;
                suffix = "-10pct";
            } else {
                settings.faces = faceTotal;
                settings.inputWarnings = false;  // the first pass said them
                suffix = "-" + std::to_string(faceTotal) + "f";
            }
            const fs::path output = outDir / (input.stem().string() + suffix + ".obj");
            ReduceReport reduced;
            int result = ReduceFile(input.string(), output.string(), settings, reduced);
            CompareReport compared;
            if (!result) result = CompareFiles(input.string(), output.string(), compared);
            if (result == kExitCancelled) return result;  // Ctrl-C stops the whole demo
            if (result) {
                status = result;
                continue;
            }
            std::printf("%-22s %8d %8d %8d %8d %9.3f %9.6f\n", output.filename().c_str(), reduced.facesBefore,
                        reduced.facesAfter, reduced.pointsBefore, reduced.pointsAfter,
                        reduced.readSeconds + reduced.optimizeSeconds + reduced.saveSeconds, compared.hausdorff);
        }
    }
    std::printf("time: read + optimise + save; Hausdorff: relative to the bounding-box diagonal.\n"
                "results and log in %s\n",
                outDir.c_str());
    return status;
}

}  // namespace kestovar_tool
