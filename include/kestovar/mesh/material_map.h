// CFBMaterialHashMap: how many live faces of a face list use each (front material, back material)
// pair, and the folds of those counts into per-material counts.
#pragma once

#include "kestovar/core/export.h"
#include "kestovar/core/hashmap.h"

namespace kestovar {

// Material -> number of faces, the result of the folds below.
typedef CHashMap<unsigned, unsigned, unsigned> CMaterialCountMap;

// Material value of "no material": the material of a face that is not live, and the back material
// of a face whose back shows the front material.
constexpr unsigned MATERIAL_UNDEFINED = 0xFFFFFFFFu;

// Face count per (front, back) material pair. The back material is the face's back-face material
// value as stored (MATERIAL_UNDEFINED when the face list has none). Built and owned by
// C3DFaceList (CreateFBMaterialsHashMap), which records the list's change stamp at the build.
// Material writes do not move that stamp, so the stamp only tells that faces were added, removed
// or reordered since; C3DFaceList::GetMaterialsHashMap therefore always counts again.
class KESTOVAR_API CFBMaterialHashMap : public CHashMap<FBMaterialID, FBMaterialID, unsigned> {
public:
    explicit CFBMaterialHashMap(unsigned size = 21) : CHashMap(size) {}

    // Adds `faces` faces to the count of `pair`.
    void AddFaces(FBMaterialID pair, unsigned faces) {
        if (faces) GetOrInsert(pair) += faces;
    }

    // Folds the pair counts into `map`, adding to what it holds (emptying it first when `reset` is
    // set), and removes the key MATERIAL_UNDEFINED afterwards when `dropUndefined` is set. Each
    // returns the number of keys of `map`.
    //  - GetFrontHash: map[front] += count.
    //  - GetBackHash: map[back] += count, the back as stored (MATERIAL_UNDEFINED included).
    //  - GetFrontBackHash: every material a face shows, once per face: map[front] += count, and
    //    map[back] += count when the back is neither MATERIAL_UNDEFINED (the front shows on
    //    both sides) nor the front itself.
    int GetFrontHash(CMaterialCountMap& map, bool reset, bool dropUndefined) const;
    int GetBackHash(CMaterialCountMap& map, bool reset, bool dropUndefined) const;
    int GetFrontBackHash(CMaterialCountMap& map, bool reset, bool dropUndefined) const;

    // Renames material `from` to `to` in the front (back) half of every pair; pairs that become
    // equal are merged, adding their counts. Returns whether any pair was renamed.
    bool ReplaceFrontMaterial(unsigned from, unsigned to);
    bool ReplaceBackMaterial(unsigned from, unsigned to);

    // Change stamp of the face list when the counts were taken.
    unsigned GetStamp() const { return m_nStamp; }
    void SetStamp(unsigned stamp) { m_nStamp = stamp; }

private:
    bool Replace(unsigned from, unsigned to, bool front);

    unsigned m_nStamp = 0;
};

}  // namespace kestovar
