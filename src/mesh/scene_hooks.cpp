// The object-level operations the scene drives, installed into the scene's extension points when
// the library loads: normal generation and the append step of concatenation.
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/normal_channel.h"
#include "kestovar/mesh/object.h"
#include "kestovar/scene/scene.h"

namespace kestovar {

namespace {

// Completes the object's specified normals with its smoothing angle: `value` holds the
// _GENERATE_NORMALS_FLAGS. An object without a specified-normal channel gets one, and all its
// corners are filled. Called on several objects at once, never on one object twice.
bool GenerateObjectNormals(C3DGeomObject* object, unsigned value, _NormalSmoothMode mode) {
    if (!object || !object->GetPointList() || object->GetFaceNbr() == 0) return false;
    if (mode == NORMAL_SMOOTH_SCENE) mode = object->GetSmoothMode();
    CDependentChannels* channels = object->GetChannels();
    CChannel* found = channels ? channels->GetSpecNormalChannel() : nullptr;
    if (found && found->IsFlagSet(CHANNEL_INVALID)) found = nullptr;
    CSpecNormalChannel* specified = static_cast<CSpecNormalChannel*>(found);
    if (!specified) {
        specified = new CSpecNormalChannel;
        object->AddChannel(specified);
        // Every channel face is empty: fill them all (asking only for missing vectors would find
        // none to fill).
        value = (value & ~unsigned(GENERATE_NORMALS_MISSING)) | GENERATE_NORMALS_FILL_FACES;
    }
    CGeomInfo geom(object);
    return specified->GenerateNormals(&geom, value, double(object->GetSmoothAngle()), mode);
}

bool AppendObject(C3DGeomObject* destination, const C3DGeomObject* source, const C4x4TMatrix<float>& toDestination,
                  unsigned material) {
    return destination && source && destination->Concatenate(*source, &toDestination, material);
}

// Texture generation and patch tessellation stay with the code that owns them: their pointers
// are left as they are.
struct CSceneHookInstaller {
    CSceneHookInstaller() {
        C3DSceneObjectHooks hooks = GetSceneObjectHooks();
        hooks.generateNormals = &GenerateObjectNormals;
        hooks.appendObject = &AppendObject;
        SetSceneObjectHooks(hooks);
    }
};
const CSceneHookInstaller g_sceneHookInstaller;

}  // namespace

}  // namespace kestovar
