// A complete host of the library: reads a scene file, reduces every polygonal object to a tenth
// of its faces while keeping texture coordinates, normals and material borders, and saves the
// result.
//
//   reduce_file INPUT OUTPUT      (formats by extension: .obj, .3dif)
#include <kestovar/kestovar.h>

#include <cstdio>

using namespace kestovar;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: reduce_file INPUT OUTPUT\n");
        return 1;
    }
    InitKestovarApplication(nullptr, KESTOVAR_INIT_FORMATS, nullptr);
    int status = 1;
    try {
        // File names are UTF-8 on disk and wide strings in the interface.
        C3DIo reader(XCA2W(argv[1]), FILE_IO_LOADING | FILE_IO_SILENT);
        C3DScene* scene = reader.Read();
        if (!scene) {
            std::fprintf(stderr, "%s: %s\n", argv[1], XCW2A(reader.GetIoErrorTxt()).GetString());
        } else {
            // The polygonal objects become contraction-ready; the optimiser owns the scene then.
            C3DQuorvaneObjectCreator creator(CREATOR_COPY_POINTS);
            scene->ConvertToType(creator);
            // One recorded reduction of every object as far as it goes; then any level is a
            // playback of the record.
            CSceneOptimizer optimizer;
            optimizer.SetFlags(SCENEOPTIMIZER_RECORD_CONTRACTIONS, true);
            optimizer.SetScene(*scene, true);
            optimizer.LockInitialization();
            // Contractions that would fold a triangle over are put off until no other is left.
            optimizer.SetOptimizeMode(OPT_KEEP_UVW | OPT_KEEP_NORMALS | OPT_KEEP_MATERIAL | OPT_CHECK_FLIP, true);
            optimizer.UnlockInitialization();
            bool cancelled = false;
            optimizer.Optimize(0.0, cancelled, 0x21);
            if (!cancelled && optimizer.GetScene(GETSCENE_MULTIRES) &&
                optimizer.SetMultiresolutionRatio(0.1, 0, MRRATIO_RELATIVE | MRRATIO_FACES, APPLY_TO_ALL)) {
                // A frozen copy of the scene at that level, owned by the caller.
                C3DScene* reduced = optimizer.GetScene(GETSCENE_MULTIRES_FROZEN | GETSCENE_COPY);
                C3DIo writer(XCA2W(argv[2]), FILE_IO_SILENT);
                if (reduced && writer.Save(reduced))
                    status = 0;
                else
                    std::fprintf(stderr, "%s: %s\n", argv[2], XCW2A(writer.GetIoErrorTxt()).GetString());
                delete reduced;
            }
        }
    } catch (CXException* e) {
        // Library exceptions are thrown by pointer and released once handled.
        std::fprintf(stderr, "%s\n", e->GetMessage());
        XDeleteThreadException();
    }
    CloseKestovarApplication(KESTOVAR_INIT_FORMATS | KESTOVAR_CLOSE_RELEASE_ALL);
    return status;
}
