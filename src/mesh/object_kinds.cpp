// The concrete object kinds: the polymesh with its initialisation, the kinds whose content belongs
// to the scene code, and CreateObjectFromArrays.
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"

namespace kestovar {

KX_IMPLEMENT_SERIAL(C3DObject, C3DGeomObject, 1)
KX_IMPLEMENT_SERIAL(C3DCurve, C3DGeomObject, 1)
KX_IMPLEMENT_SERIAL(C3DPatch, C3DGeomObject, 1)
KX_IMPLEMENT_SERIAL(C3DGroup, C3DBaseObject, 1)
KX_IMPLEMENT_SERIAL(C3DDummy, C3DBaseObject, 1)
KX_IMPLEMENT_SERIAL(C3DCamera, C3DBaseObject, 1)
KX_IMPLEMENT_SERIAL(C3DLight, C3DBaseObject, 1)

// ---- polymesh ------------------------------------------------------------------------------

C3DObject::InitTextureChannelFunc C3DObject::InitTextureChannelHook = nullptr;

C3DObject::C3DObject() : C3DGeomObject(OBJECT_POLYMESH) {}

C3DObject::C3DObject(C3DPointList* points, C3DFaceList* faces, CDependentChannels* channels)
    : C3DGeomObject(OBJECT_POLYMESH, points, faces, channels) {}

C3DObject::~C3DObject() = default;

bool C3DObject::Init(int points, int faces, int pointsPerFace, int withTexture, int texturePoints,
                     unsigned int textureChannelID) {
    m_pFaceList = new C3DFaceList;
    m_pPointList = new C3DPointList;
    m_pFaceList->SetSize(faces, pointsPerFace, SETSIZE_COMPACT_SLACK, -1);
    m_pPointList->SetSize(points, false, -1);
    if (withTexture && texturePoints && InitTextureChannelHook)
        InitTextureChannelHook(this, texturePoints, textureChannelID);
    Invalidate(INVALIDATE_POINTS | INVALIDATE_FACES | INVALIDATE_ALL, true);
    return true;
}

// ---- other kinds ---------------------------------------------------------------------------

C3DCurve::C3DCurve() : C3DGeomObject(OBJECT_CURVE) {}
C3DCurve::~C3DCurve() = default;
C3DPatch::C3DPatch() : C3DGeomObject(OBJECT_PATCH) {}
C3DPatch::~C3DPatch() = default;
C3DGroup::C3DGroup() : C3DBaseObject(OBJECT_GROUP) {}
C3DGroup::~C3DGroup() = default;
C3DDummy::C3DDummy() : C3DBaseObject(OBJECT_DUMMY) {}
C3DDummy::~C3DDummy() = default;
C3DCamera::C3DCamera() : C3DBaseObject(OBJECT_CAMERA) {}
C3DCamera::~C3DCamera() = default;
C3DLight::C3DLight() : C3DBaseObject(OBJECT_LIGHT) {}
C3DLight::~C3DLight() = default;

// ---- CreateObjectFromArrays ----------------------------------------------------------------

C3DObject* CreateObjectFromArrays(const float* coordinates, unsigned int coordinateBytes, const int* triangles,
                                  unsigned int triangleBytes, const int* quadrangles, unsigned int quadrangleBytes) {
    const unsigned int points = coordinateBytes / 12;
    const unsigned int triangleCount = triangleBytes / 12;
    const unsigned int quadrangleCount = quadrangleBytes / 16;

    XHeld<C3DObject> held(new C3DObject);
    C3DObject* object = held.get();
    // Room for four indices per face: a quadrangle then fits its record without moving.
    object->Init(int(points), int(triangleCount + quadrangleCount), 4, 0, 0, 0);

    C3DTPoint<float>* p = object->GetPointList()->GetPoints();
    for (unsigned int i = 0; i < points; ++i, coordinates += 3) p[i].Init(coordinates[0], coordinates[1], coordinates[2]);

    C3DFaceList* faces = object->GetFaceList();
    C3DFace face;
    for (unsigned int t = 0; t < triangleCount; ++t, triangles += 3) {
        faces->GetFace(t, face);
        face.SetTriangle(triangles[0], triangles[1], triangles[2]);
    }
    for (unsigned int q = 0; q < quadrangleCount; ++q, quadrangles += 4) {
        faces->GetFace(triangleCount + q, face);
        face.SetQuadrangle(quadrangles[0], quadrangles[1], quadrangles[2], quadrangles[3]);
    }
    faces->FreeExtra();
    return held.release();
}

}  // namespace kestovar
