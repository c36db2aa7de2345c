// C3DObjectCreator: the factory that copy, load and conversion operations ask for every new
// object and list they need. Deriving from it changes the classes a whole scene is built from
// (for example contraction-ready objects instead of plain polymeshes).
//
// A creator is cheap and is usually built on the stack for one operation. Every object or list it
// returns carries one reference, the caller's.
#pragma once

#include "kestovar/core/custom_data.h"
#include "kestovar/core/export.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/object.h"

namespace kestovar {

class C3DSceneNode;
class C3DBaseObject;
class C3DObject;
class C3DCurve;
class C3DPatch;
class C3DGroup;
class C3DDummy;
class C3DCamera;
class C3DLight;
class C3DFaceList;
class C3DPointList;

class KESTOVAR_API C3DObjectCreator : public CXAllocated {
public:
    // Bookkeeping map of the copy operations: source object -> object made for it.
    typedef CHashMap<const void*, const void*, void*> CObjectMap;

    C3DObjectCreator();
    // Copy the custom data and the map.
    C3DObjectCreator(const C3DObjectCreator& other);
    C3DObjectCreator& operator=(const C3DObjectCreator& other);
    virtual ~C3DObjectCreator();

    // The object a scene conversion puts in place of `object` (held by `node`, may be null):
    // `object` itself in the base.
    virtual C3DBaseObject* ConvertToType(const C3DSceneNode* node, const C3DBaseObject* object);
    // A new empty object of `source`'s kind (created = true): GetNewPolygonalObject for kind 1,
    // GetNewCurveObject for 2, ... GetNewLight for 64; null for any other kind. A derived creator
    // may hand back an existing object instead, with created = false: the caller then shares it.
    virtual C3DBaseObject* GetNewObjectFrom(const C3DBaseObject* source, bool& created);
    // Whether the operation should process `object` of `node`: true in the base.
    virtual bool CanProcess(const C3DSceneNode* node, const C3DBaseObject* object);
    // New empty lists.
    virtual C3DFaceList* GetNewFaceList();
    virtual C3DPointList* GetNewPointList();
    // New empty objects of each kind. The polymesh comes without lists: copies give it lists
    // through GetNewFaceList and GetNewPointList.
    virtual C3DObject* GetNewPolygonalObject();
    virtual C3DCurve* GetNewCurveObject();
    virtual C3DPatch* GetNewPatchObject();
    virtual C3DGroup* GetNewGroupObject();
    virtual C3DDummy* GetNewDummy();
    virtual C3DCamera* GetNewCamera();
    virtual C3DLight* GetNewLight();

    CCustomData& GetCustomData() { return m_customData; }
    const CCustomData& GetCustomData() const { return m_customData; }
    CObjectMap& GetObjectMap() { return m_objectMap; }

protected:
    CCustomData m_customData;  // caller-defined settings
    CObjectMap m_objectMap;    // 21 buckets at construction
};

}  // namespace kestovar
