// Materials: C3DMaterial (a name, animated colours and factors, texture maps, flags and user
// data), CMaterialMap (one texture map with its animated placement) and CMaterials (a scene's
// material table, addressed by unsigned identifiers that faces refer to).
//
// Colours and factors are animation keys of the material (keyframe.h) evaluated at a time; every
// getter takes the time first and returns the default of the table below when the material has
// no key of the property:
//
//   ambient colour       0x434F4C4F4D544152  RGBA (30, 30, 30, 255)
//   diffuse colour       0x434F4C4F4D544452  RGBA (192, 192, 192, 255)
//   specular colour      0x434F4C4F4D545352  RGBA (192, 192, 192, 255)
//   ambient factor       0x464C4F414D544146  1.0
//   diffuse factor       0x464C4F414D544446  1.0
//   specular factor      0x464C4F414D545346  0.6
//   transparency factor  0x464C4F414D545459  0.0
//   bump factor          0x464C4F414D54424D  1.0
//   smoothing angle      0x464C4F414D54534D  -1.0 (not set), radians otherwise
#pragma once

#include <cstdint>
#include <memory>

#include "kestovar/core/array.h"
#include "kestovar/core/color.h"
#include "kestovar/core/custom_data.h"
#include "kestovar/core/export.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/matrix.h"
#include "kestovar/core/object.h"
#include "kestovar/core/quaternion.h"
#include "kestovar/core/xstring.h"
#include "kestovar/scene/keyframe.h"

namespace kestovar {

class CXArchive;
class C3DScene;
class C3DMaterial;
class CMaterials;

// ---- material key types -------------------------------------------------------------------------

constexpr uint64_t KEY_MATERIAL_AMBIENT = 0x434F4C4F4D544152ULL;       // COLO MTAR
constexpr uint64_t KEY_MATERIAL_DIFFUSE = 0x434F4C4F4D544452ULL;       // COLO MTDR
constexpr uint64_t KEY_MATERIAL_SPECULAR = 0x434F4C4F4D545352ULL;      // COLO MTSR
constexpr uint64_t KEY_MATERIAL_AMBIENT_FACTOR = 0x464C4F414D544146ULL;  // FLOA MTAF
constexpr uint64_t KEY_MATERIAL_DIFFUSE_FACTOR = 0x464C4F414D544446ULL;  // FLOA MTDF
constexpr uint64_t KEY_MATERIAL_SPECULAR_FACTOR = 0x464C4F414D545346ULL; // FLOA MTSF
constexpr uint64_t KEY_MATERIAL_TRANSPARENCY = 0x464C4F414D545459ULL;    // FLOA MTTY
constexpr uint64_t KEY_MATERIAL_BUMP_FACTOR = 0x464C4F414D54424DULL;     // FLOA MTBM
constexpr uint64_t KEY_MATERIAL_SMOOTH_ANGLE = 0x464C4F414D54534DULL;    // FLOA MTSM

// Key types of a map's placement.
constexpr uint64_t KEY_MAP_TRANSLATION = MakeKeyType(KEY_VALUE_VECTOR, 0x4D505452);  // VECT MPTR
constexpr uint64_t KEY_MAP_ROTATION = MakeKeyType(KEY_VALUE_ROTATE, 0x4D50524F);     // ROTA MPRO
constexpr uint64_t KEY_MAP_SCALE = MakeKeyType(KEY_VALUE_SCALE, 0x4D505343);         // SCAL MPSC
constexpr uint64_t KEY_MAP_TILING = MakeKeyType(KEY_VALUE_SCALE, 0x4D505449);        // SCAL MPTI

// Identifier of "no material" in the material table's look-ups.
constexpr unsigned int MATERIAL_NONE = 0xFFFFFFFFu;

// ---- enumerations -------------------------------------------------------------------------------

enum MapType : unsigned int {
    MAP_DIFFUSE = 1,
    MAP_AMBIENT = 2,
    MAP_SPECULAR = 3,
    MAP_BUMP = 4,
    MAP_TRANSPARENCY = 5,
    MAP_REFLECTION = 6,
    MAP_SHININESS = 7,
    MAP_SELF_ILLUMINATION = 8,
    MAP_NORMAL = 9,
};

enum MapProjection : unsigned int {
    MAP_PROJECTION_UV = 0,  // the texture coordinates of a channel
    MAP_PROJECTION_PLANAR = 1,
    MAP_PROJECTION_CYLINDRICAL = 2,
    MAP_PROJECTION_SPHERICAL = 3,
    MAP_PROJECTION_BOX = 4,
};

enum MapAxis : unsigned int {
    MAP_AXIS_X = 0,
    MAP_AXIS_Y = 1,
    MAP_AXIS_Z = 2,
};

enum MAP_PROPERTIES : unsigned int {
    MAP_DISABLED = 0x1,          // kept but not shown
    MAP_INVERT = 0x2,            // values inverted
    MAP_ALPHA_FROM_RGB = 0x4,    // transparency from the colour intensity instead of an alpha channel
    MAP_TILE_U = 0x10,
    MAP_TILE_V = 0x20,
    MAP_MIRROR_U = 0x40,
    MAP_MIRROR_V = 0x80,
};

enum _MATERIAL_FLAGS : unsigned int {
    MATERIAL_TWO_SIDED = 0x1,
    MATERIAL_WIREFRAME = 0x2,
    MATERIAL_FACETED = 0x4,    // flat shading
    MATERIAL_SELECTED = 0x8,
    MATERIAL_LOCKED = 0x10,    // its faces are left as they are by reduction
};

// ---- CMaterialMap -------------------------------------------------------------------------------

// One texture map. Its placement is animated: translation, rotation, scale and tiling keys
// (KEY_MAP_...). GetMatrix composes them as T * R * S, with S the product of scale and tiling.
class KESTOVAR_API CMaterialMap : public CXObject, public C3DKeyframable {
    KX_DECLARE_SERIAL(CMaterialMap)
public:
    CMaterialMap();
    CMaterialMap(const wchar_t* fileName, unsigned int channelID, MapType type, MapProjection projection);
    // Copies everything but the owning material and the chain link.
    CMaterialMap(const CMaterialMap& other);
    CMaterialMap& operator=(const CMaterialMap& other);
    ~CMaterialMap() override;

    const CXTString<wchar_t>& GetFileName() const { return m_fileName; }
    void SetFileName(const wchar_t* fileName) { m_fileName = fileName; }
    const CXTString<wchar_t>& GetAlphaFileName() const { return m_alphaFileName; }
    void SetAlphaFileName(const wchar_t* fileName) { m_alphaFileName = fileName; }
    MapType GetMapType() const { return m_type; }
    MapProjection GetProjection() const { return m_projection; }
    void SetProjection(MapProjection projection) { m_projection = projection; }
    MapAxis GetAxis() const { return m_axis; }
    void SetAxis(MapAxis axis) { m_axis = axis; }
    unsigned int GetChannelID() const { return m_channelID; }
    void SetChannelID(unsigned int id) { m_channelID = id; }
    unsigned int GetFlags() const { return m_flags; }
    void SetFlag(unsigned int flags, bool set) { m_flags = set ? (m_flags | flags) : (m_flags & ~flags); }
    void SetFlags(unsigned int flags) { m_flags = flags; }
    bool IsFlagSet(unsigned int flags) const { return (m_flags & flags) == flags; }
    bool IsOneFlagSet(unsigned int flags) const { return (m_flags & flags) != 0; }
    CCustomData& GetCustomData() { return m_userData; }
    const CCustomData& GetCustomData() const { return m_userData; }

    // The material holding the map (null while detached) and the next map of the same type.
    C3DMaterial* GetMaterial() const { return m_pMaterial; }
    CMaterialMap* GetNext() const { return m_pNextOfType; }

    // ---- placement ----
    // T * R * S at `time` (identity without keys).
    void GetMatrix(int time, C4x4TMatrix<float>& matrix);
    // Decomposes `matrix` into translation, rotation and scale keys at `time` (tiling kept).
    void SetMatrix(int time, const C4x4TMatrix<float>& matrix);
    void SetTranslation(int time, const C3DTVector<float>& t);
    void SetRotation(int time, const CQuaternion& q);
    // Heading, pitch and bank in radians (CQuaternion::FromHPBAngles).
    void SetRotationHPB(int time, double heading, double pitch, double bank);
    void SetScale(int time, const C3DTVector<float>& s);
    // The translation and the scale at `time`: false, with (0, 0, 0) or (1, 1, 1), without a key
    // of the type (a key of a foreign class under the type counts as none).
    bool GetTranslation(int time, C3DTVector<float>& t);
    bool GetScale(int time, C3DTVector<float>& s);
    // Repetitions along u and v (x and y; z is 1).
    void SetTiling(int time, float u, float v);
    // Drops every placement key.
    void ResetTransformation();

    // ---- files ----
    // The bitmap's full path through `scene`'s search (C3DScene::FindBitmap; the file name as
    // given when `scene` is null). Empty when the file is not found.
    CXTString<wchar_t> GetBitmapPath(const C3DScene* scene) const;
    // Replaces the file names by what the search finds (names not found are left as they are).
    // Returns whether anything changed.
    bool AdjustFilename(const C3DScene* scene);
    // Whether transparency comes with the map: an alpha file is set, MAP_ALPHA_FROM_RGB is set,
    // or the bitmap (found through `scene`) is a PNG with an alpha channel (colour types 4 and 6)
    // or a TGA with alpha bits.
    bool HasAlpha(const C3DScene* scene) const;

    // Same file names, type, projection, axis, channel, flags, user data and keys.
    bool HasSameParameters(const CMaterialMap& other) const;

    // Type, projection, axis, channel (u32 each), flags, file names, user data, keys.
    void Serialize(CXArchive& ar) override;

private:
    friend class C3DMaterial;

    CXTString<wchar_t> m_fileName;
    CXTString<wchar_t> m_alphaFileName;
    MapType m_type;
    MapProjection m_projection;
    MapAxis m_axis;
    unsigned int m_channelID;
    unsigned int m_flags;  // MAP_PROPERTIES
    CCustomData m_userData;
    C3DMaterial* m_pMaterial;        // not owned
    CMaterialMap* m_pNextOfType;     // not owned: the material owns every map
};

// ---- C3DMaterial --------------------------------------------------------------------------------

class KESTOVAR_API C3DMaterial : public CXObject, public C3DKeyframable {
    KX_DECLARE_SERIAL(C3DMaterial)
public:
    // No keys, no maps; the identifier is the next value of the process-wide counter (the first
    // material constructed gets 1).
    C3DMaterial();
    // A copy of the name, parameters and user data of `other`, with a new identifier and no
    // table.
    C3DMaterial(const C3DMaterial& other);
    ~C3DMaterial() override;
    C3DMaterial& operator=(const C3DMaterial&) = delete;

    // Takes the parameters of `other` (keys, maps, flags, vertex colour) and its user data; the
    // name, identifiers and table stay.
    void CopyParameters(const C3DMaterial& other);
    // Same keys (time, type, value), flags, vertex colour and maps (in order, each with the same
    // parameters). Names, identifiers and user data are not parameters.
    bool HasSameParameters(const C3DMaterial& other) const;

    const CXTString<wchar_t>& GetName() const { return m_name; }
    void SetName(const wchar_t* name) { m_name = name; }
    CCustomData& GetCustomData() { return m_userData; }
    const CCustomData& GetCustomData() const { return m_userData; }
    unsigned int GetMaterialID() const { return m_id; }
    // The identifier the material had in its source (a file's own numbering); -1 when unset.
    int GetSourceID() const { return m_sourceID; }
    void SetSourceID(int id) { m_sourceID = id; }
    CMaterials* GetOwner() const { return m_pOwner; }

    unsigned int GetFlags() const { return m_flags; }
    void SetFlag(unsigned int flags, bool set) { m_flags = set ? (m_flags | flags) : (m_flags & ~flags); }
    void SetFlags(unsigned int flags) { m_flags = flags; }
    bool IsFlagSet(unsigned int flags) const { return (m_flags & flags) == flags; }
    bool IsOneFlagSet(unsigned int flags) const { return (m_flags & flags) != 0; }

    // ---- colours and factors at a time ----
    // With `applyFactor` the red, green and blue bytes are multiplied by the matching factor and
    // truncated (clamped to 255); for the diffuse colour the alpha byte is also multiplied by
    // (1 - transparency factor).
    CRGBColor GetAmbientColor(int time, bool applyFactor = false);
    CRGBColor GetDiffuseColor(int time, bool applyFactor = false);
    CRGBColor GetSpecularColor(int time);
    // The colours as r, g, b, a in [0, 1].
    void FloatGetAmbientColor(int time, float rgba[4]);
    void FloatGetDiffuseColor(int time, float rgba[4]);
    void FloatGetSpecularColor(int time, float rgba[4]);
    float GetAmbientFactor(int time);
    float GetDiffuseFactor(int time);
    float GetSpecularFactor(int time);
    float GetTransparency(int time);
    float GetBumpFactor(int time);
    // Radians, or -1 when not set.
    float GetSmoothAngle(int time);

    // Setters add (or replace) the key at `time`.
    void SetAmbientColor(const CRGBColor& color, int time = 0);
    void SetDiffuseColor(const CRGBColor& color, int time = 0);
    void SetSpecularColor(const CRGBColor& color, int time = 0);
    void SetAmbientFactor(float factor, int time = 0);
    void SetDiffuseFactor(float factor, int time = 0);
    void SetSpecularFactor(float factor, int time = 0);
    void SetTransparency(float factor, int time = 0);
    void SetBumpFactor(float factor, int time = 0);
    void SetSmoothAngle(float radians, int time = 0);

    // A colour key of `keyType` at `time`, or `defaultColor` without such a key.
    CRGBColor GetColor(int time, uint64_t keyType, const CRGBColor& defaultColor);
    float GetFactor(int time, uint64_t keyType, float defaultValue);

    // Whether the material lets light through at `time`: a transparency factor above 0, a
    // diffuse alpha below 255, or a transparency map.
    bool IsTransparent(int time);

    // The vertex-colour channel that tints the material, with its weight in [0, 1]; 0xFFFFFFFF
    // when none.
    unsigned int GetVertexColor(float& weight) const {
        weight = m_vertexColorWeight;
        return m_vertexColorChannel;
    }
    void SetVertexColor(unsigned int channelID, float weight) {
        m_vertexColorChannel = channelID;
        m_vertexColorWeight = weight;
    }

    // ---- maps ----
    // Creates and attaches a map (the material owns it) and returns it.
    CMaterialMap* AddMaterialMap(const wchar_t* fileName, unsigned int channelID, MapType type,
                                 MapProjection projection = MAP_PROJECTION_UV);
    // Attaches `map` (must be detached), taking ownership; a map that cannot be recorded for want
    // of memory is deleted before the exception leaves.
    CMaterialMap* AddMaterialMap(CMaterialMap* map);
    // Deletes `map`; false when it is not one of this material's maps.
    bool RemoveMaterialMap(CMaterialMap* map);
    void RemoveAllMaps();
    // The first map of `type`, or null; the others follow through CMaterialMap::GetNext.
    CMaterialMap* GetMaterialMap(MapType type) const;
    CMaterialMap* GetDiffuseMaps() const { return GetMaterialMap(MAP_DIFFUSE); }
    CMaterialMap* GetAmbientMaps() const { return GetMaterialMap(MAP_AMBIENT); }
    CMaterialMap* GetSpecularMaps() const { return GetMaterialMap(MAP_SPECULAR); }
    CMaterialMap* GetBumpMaps() const { return GetMaterialMap(MAP_BUMP); }
    CMaterialMap* GetTransparencyMaps() const { return GetMaterialMap(MAP_TRANSPARENCY); }
    int GetMapCount() const { return m_maps.GetSize(); }
    CMaterialMap* GetMap(int index) const { return m_maps[index]; }
    // Every map in the order they were added: `position` starts at -1.
    CMaterialMap* GetFirstMap(int& position) const;
    CMaterialMap* GetNextMap(int& position) const;
    // Renumbers the channels the maps read: a map whose channel is a key of `remap` takes the
    // value. Returns the number of maps changed.
    int ChangeChannelID(const CHashMap<unsigned int, unsigned int, unsigned int>& remap);

    // Name, identifiers, flags, vertex colour, user data, keys, then the maps (count, each
    // map's content).
    void Serialize(CXArchive& ar) override;

private:
    friend class CMaterials;
    void LinkMap(CMaterialMap* map);
    void RebuildMapIndex();

    CXTString<wchar_t> m_name;
    CCustomData m_userData;
    // Type -> first map of that type; the maps of a type are chained in the order added.
    CHashMap<unsigned int, unsigned int, CMaterialMap*> m_mapIndex;
    CXArray<CMaterialMap*> m_maps;  // owned, in the order added
    CMaterials* m_pOwner;           // not owned
    unsigned int m_flags;           // _MATERIAL_FLAGS
    unsigned int m_id;
    int m_sourceID;
    unsigned int m_vertexColorChannel;
    float m_vertexColorWeight;
};

// ---- CMaterials ---------------------------------------------------------------------------------

// Material identifier remapping (old -> new) filled by the copies.
typedef CHashMap<unsigned int, unsigned int, unsigned int> CMaterialIDMap;

// A scene's material table. Owns its materials. Iteration (GetFirst/GetNext) follows the hash
// map's slot order; persistence writes the materials by ascending identifier.
class KESTOVAR_API CMaterials : public CXObject {
    KX_DECLARE_SERIAL(CMaterials)
public:
    CMaterials();
    // Deep copies: every material is copied with its identifier.
    CMaterials(const CMaterials& other);
    CMaterials& operator=(const CMaterials& other);
    ~CMaterials() override;

    // A new material owned by the table. With `id` other than MATERIAL_NONE that no material of
    // the table has, the material takes `id`; otherwise it keeps its counter identifier (drawing
    // again while that one is taken). Identifier 0 is the default material, named "Default
    // Material".
    C3DMaterial* CreateNewMaterial(unsigned int id = MATERIAL_NONE);
    // Inserts `material` (detached, from new) under its own identifier, or a fresh counter
    // identifier when that one is taken. Returns the identifier. A material that cannot be stored
    // for want of memory is deleted before the exception leaves.
    unsigned int AddMaterial(C3DMaterial* material);
    // When the table holds identifier 0, that material takes the parameters of `material`;
    // otherwise a copy is inserted under 0 and named "Default Material". Returns the default
    // material.
    C3DMaterial* SetDefaultMaterial(const C3DMaterial& material);

    int GetCount() const { return m_materials.GetCount(); }
    bool IsEmpty() const { return m_materials.IsEmpty(); }
    // Slot-order iteration: `position` starts at -1 (kHashStartPosition); null at the end.
    C3DMaterial* GetFirst(int& position) const;
    C3DMaterial* GetNext(int& position) const;
    C3DMaterial* FindByID(unsigned int id) const;
    // The first material (by ascending identifier) named `name`, case-sensitively or not.
    C3DMaterial* FindByName(const wchar_t* name, bool noCase = false) const;
    // The first material (by ascending identifier) with the same parameters as `material`, and
    // with `sameName` also the same name; `material` itself is skipped.
    C3DMaterial* Find(const C3DMaterial& material, bool sameName) const;
    // The identifiers in ascending order.
    void GetIDs(CXArray<unsigned int>& ids) const;
    // Deletes the material; false when absent.
    bool RemoveMaterial(unsigned int id);
    void RemoveAll();

    // Copies the material `id` of `source` (every material for MATERIAL_NONE) into this table:
    // a copy keeps its identifier when free here, else takes a new one. `remap` (may be null)
    // receives old -> new for every material copied. Returns the number copied.
    int CopyMaterials(const CMaterials& source, unsigned int id, CMaterialIDMap* remap);
    // Moves every material of `source` into this table (source left empty), with the same
    // identifier rule and remap as CopyMaterials. Returns the number moved.
    int MoveMaterials(CMaterials& source, CMaterialIDMap* remap);
    // Rewrites the map file names of every material: with `makeRelative`, relative to
    // `directory`; otherwise absolute against it. Returns the number of names changed.
    int AdjustPaths(const wchar_t* directory, bool makeRelative);
    // Renames the map file names written relative to the directory `from` so that they name the
    // same files relative to the directory `to` (both made absolute first). Absolute names
    // (Windows drive and share names too) and URLs stay as they are; in a relative name a
    // backslash is a Windows folder separator, and the new name uses '/'. Returns the number of
    // names changed.
    int RebasePaths(const wchar_t* from, const wchar_t* to);
    // `name` when no material has it, else the first of name + "0", name + "1", ... that is
    // free.
    CXTString<wchar_t> GetUniqueName(const wchar_t* name) const;

    // The count, then per material (ascending identifier) its content; loading replaces the
    // table (a repeated identifier raises CXArchiveException badIndex).
    void Serialize(CXArchive& ar) override;

private:
    // Stores `material` under `id` and takes it from the holder; when it cannot be stored the
    // holder keeps it (and the table is unchanged).
    C3DMaterial* Insert(std::unique_ptr<C3DMaterial>& material, unsigned int id);
    unsigned int FreeCounterID(C3DMaterial* material) const;

    CHashMap<unsigned int, unsigned int, C3DMaterial*> m_materials;
};

}  // namespace kestovar
