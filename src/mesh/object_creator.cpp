// C3DObjectCreator: the default factory of objects and lists.
#include "kestovar/mesh/object_creator.h"

#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"

namespace kestovar {

C3DObjectCreator::C3DObjectCreator() : m_objectMap(21) {}

C3DObjectCreator::C3DObjectCreator(const C3DObjectCreator& other)
    : CXAllocated(other), m_customData(other.m_customData), m_objectMap(other.m_objectMap) {}

C3DObjectCreator& C3DObjectCreator::operator=(const C3DObjectCreator& other) {
    if (this != &other) {
        m_customData = other.m_customData;
        m_objectMap = other.m_objectMap;
    }
    return *this;
}

C3DObjectCreator::~C3DObjectCreator() = default;

C3DBaseObject* C3DObjectCreator::ConvertToType(const C3DSceneNode*, const C3DBaseObject* object) {
    // The scene keeps the object it already holds; conversions only ever swap in new objects.
    return const_cast<C3DBaseObject*>(object);
}

C3DBaseObject* C3DObjectCreator::GetNewObjectFrom(const C3DBaseObject* source, bool& created) {
    created = true;
    if (!source) return nullptr;
    switch (source->GetKindOf()) {
        case OBJECT_POLYMESH: return GetNewPolygonalObject();
        case OBJECT_CURVE: return GetNewCurveObject();
        case OBJECT_PATCH: return GetNewPatchObject();
        case OBJECT_GROUP: return GetNewGroupObject();
        case OBJECT_DUMMY: return GetNewDummy();
        case OBJECT_CAMERA: return GetNewCamera();
        case OBJECT_LIGHT: return GetNewLight();
        default: return nullptr;
    }
}

bool C3DObjectCreator::CanProcess(const C3DSceneNode*, const C3DBaseObject*) { return true; }

C3DFaceList* C3DObjectCreator::GetNewFaceList() { return new C3DFaceList; }
C3DPointList* C3DObjectCreator::GetNewPointList() { return new C3DPointList; }
C3DObject* C3DObjectCreator::GetNewPolygonalObject() { return new C3DObject; }
C3DCurve* C3DObjectCreator::GetNewCurveObject() { return new C3DCurve; }
C3DPatch* C3DObjectCreator::GetNewPatchObject() { return new C3DPatch; }
C3DGroup* C3DObjectCreator::GetNewGroupObject() { return new C3DGroup; }
C3DDummy* C3DObjectCreator::GetNewDummy() { return new C3DDummy; }
C3DCamera* C3DObjectCreator::GetNewCamera() { return new C3DCamera; }
C3DLight* C3DObjectCreator::GetNewLight() { return new C3DLight; }

}  // namespace kestovar
