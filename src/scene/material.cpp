// C3DMaterial and CMaterialMap: animated colours and factors with their defaults, texture maps
// with their placement, file look-up and alpha detection, comparison and persistence.
#include "kestovar/scene/material.h"

#include <atomic>
#include <cmath>
#include <cstring>

#include "kestovar/core/archive.h"
#include "kestovar/platform/file.h"
#include "kestovar/platform/path.h"
#include "kestovar/scene/scene.h"
#include "scene_internal.h"

namespace kestovar {

namespace {

std::atomic<unsigned int> g_lastMaterialID{0};

// Default colours and factors of a material without keys.
const CRGBColor kDefaultAmbient(uint8_t(30), uint8_t(30), uint8_t(30), uint8_t(255));
const CRGBColor kDefaultDiffuse(uint8_t(192), uint8_t(192), uint8_t(192), uint8_t(255));
const CRGBColor kDefaultSpecular(uint8_t(192), uint8_t(192), uint8_t(192), uint8_t(255));
constexpr float kDefaultAmbientFactor = 1.0f;
constexpr float kDefaultDiffuseFactor = 1.0f;
constexpr float kDefaultSpecularFactor = 0.6f;
constexpr float kDefaultTransparency = 0.0f;
constexpr float kDefaultBumpFactor = 1.0f;
constexpr float kUnsetSmoothAngle = -1.0f;

// A colour byte scaled by a factor, truncated and clamped to [0, 255].
uint8_t ScaleByte(uint8_t value, float factor) {
    double v = double(value) * double(factor);
    if (!(v > 0.0)) return 0;
    return v >= 255.0 ? uint8_t(255) : uint8_t(v);
}

void ToFloats(const CRGBColor& c, float rgba[4]) {
    rgba[0] = float(c.r) / 255.0f;
    rgba[1] = float(c.g) / 255.0f;
    rgba[2] = float(c.b) / 255.0f;
    rgba[3] = float(c.a) / 255.0f;
}

// Whether the image file at `path` carries alpha: a PNG whose colour type has alpha (4 or 6), or
// a TGA with alpha bits in its descriptor or 32 bits per pixel. Only the first bytes are read;
// anything else (unreadable, too short, another format) has no alpha.
bool ImageHasAlpha(const CXTString<wchar_t>& path) {
    if (path.IsEmpty()) return false;
    CXFile file;
    if (!file.Open(path, CXFile::modeRead)) return false;
    uint8_t head[26] = {};
    unsigned n = 0;
    try {
        n = file.Read(head, sizeof(head));
    } catch (CXException*) {
        XDeleteThreadException();
        return false;
    }
    static const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (n >= 26 && std::memcmp(head, kPngSignature, 8) == 0 && std::memcmp(head + 12, "IHDR", 4) == 0) {
        uint8_t colourType = head[25];
        return colourType == 4 || colourType == 6;
    }
    // TGA has no signature: accept the uncompressed and RLE true-colour types (2 and 10).
    if (n >= 18 && (head[2] == 2 || head[2] == 10)) return (head[17] & 0x0F) != 0 || head[16] == 32;
    return false;
}

}  // namespace

unsigned int NextMaterialCounterID() { return g_lastMaterialID.fetch_add(1, std::memory_order_relaxed) + 1; }

KX_IMPLEMENT_SERIAL(CMaterialMap, CXObject, 1)
KX_IMPLEMENT_SERIAL(C3DMaterial, CXObject, 1)

// ---- CMaterialMap -------------------------------------------------------------------------------

CMaterialMap::CMaterialMap()
    : m_type(MAP_DIFFUSE),
      m_projection(MAP_PROJECTION_UV),
      m_axis(MAP_AXIS_Z),
      m_channelID(0xFFFFFFFFu),
      m_flags(0),
      m_pMaterial(nullptr),
      m_pNextOfType(nullptr) {}

CMaterialMap::CMaterialMap(const wchar_t* fileName, unsigned int channelID, MapType type, MapProjection projection)
    : CMaterialMap() {
    m_fileName = fileName;
    m_channelID = channelID;
    m_type = type;
    m_projection = projection;
}

CMaterialMap::CMaterialMap(const CMaterialMap& other)
    : CXObject(other),
      C3DKeyframable(other),
      m_fileName(other.m_fileName),
      m_alphaFileName(other.m_alphaFileName),
      m_type(other.m_type),
      m_projection(other.m_projection),
      m_axis(other.m_axis),
      m_channelID(other.m_channelID),
      m_flags(other.m_flags),
      m_userData(other.m_userData),
      m_pMaterial(nullptr),
      m_pNextOfType(nullptr) {}

CMaterialMap& CMaterialMap::operator=(const CMaterialMap& other) {
    if (this == &other) return *this;
    C3DKeyframable::operator=(other);
    m_fileName = other.m_fileName;
    m_alphaFileName = other.m_alphaFileName;
    m_projection = other.m_projection;
    m_axis = other.m_axis;
    m_channelID = other.m_channelID;
    m_flags = other.m_flags;
    m_userData = other.m_userData;
    // The type decides the chain the map sits in: a map in a material keeps its own.
    if (!m_pMaterial) m_type = other.m_type;
    return *this;
}

CMaterialMap::~CMaterialMap() = default;

namespace {

// The classes a map key type may hold in foreign data: vectors (C3DVectorKey and its translate
// and scale kinds) for scale and tiling, any matrix key for rotation and translation. A key of
// another class is ignored, as a node ignores one.
bool IsVectorKey(const C3DKeyframe* k) {
    const uint32_t kind = k->GetKeyKind();
    return kind == KEY_VALUE_VECTOR || kind == KEY_VALUE_TRANSLATE || kind == KEY_VALUE_SCALE;
}
bool IsMatrixKey(const C3DKeyframe* k) {
    return IsVectorKey(k) || k->GetKeyKind() == KEY_VALUE_MATRIX || k->GetKeyKind() == KEY_VALUE_ROTATE;
}

// The vector of a vector key of `type` at `time` in `v`; `none` and false without one.
bool VectorAt(C3DKeyframable& owner, int time, uint64_t type, float none, C3DTVector<float>& v) {
    v = C3DTVector<float>(none, none, none);
    C3DKeyframe* k = owner.Evaluate(time, type);
    if (!k || !IsVectorKey(k)) return false;
    v = static_cast<C3DVectorKey*>(k)->GetVector();
    return true;
}

}  // namespace

bool CMaterialMap::GetTranslation(int time, C3DTVector<float>& t) {
    return VectorAt(*this, time, KEY_MAP_TRANSLATION, 0.0f, t);
}

bool CMaterialMap::GetScale(int time, C3DTVector<float>& s) {
    return VectorAt(*this, time, KEY_MAP_SCALE, 1.0f, s);
}

void CMaterialMap::GetMatrix(int time, C4x4TMatrix<float>& matrix) {
    matrix.SetIdentity();
    C3DTVector<float> scale;
    GetScale(time, scale);
    C3DTVector<float> t;
    if (VectorAt(*this, time, KEY_MAP_TILING, 1.0f, t))
        scale = C3DTVector<float>(scale.x * t.x, scale.y * t.y, scale.z * t.z);
    matrix = C4x4TMatrix<float>::Scale(scale.x, scale.y, scale.z);
    if (C3DKeyframe* k = Evaluate(time, KEY_MAP_ROTATION); k && IsMatrixKey(k))
        matrix = static_cast<C3DMatrixKey*>(k)->GetMatrix() * matrix;
    if (C3DKeyframe* k = Evaluate(time, KEY_MAP_TRANSLATION); k && IsMatrixKey(k))
        matrix = static_cast<C3DMatrixKey*>(k)->GetMatrix() * matrix;
}

void CMaterialMap::SetMatrix(int time, const C4x4TMatrix<float>& matrix) {
    _MatrixDecomposition parts;
    Decompose(matrix, parts);
    SetTranslation(time, parts.translation);
    SetRotation(time, parts.rotation);
    SetScale(time, parts.scale);
}

void CMaterialMap::SetTranslation(int time, const C3DTVector<float>& t) {
    AddKey(time, new C3DVectorKey(KEY_MAP_TRANSLATION, t));
}

void CMaterialMap::SetRotation(int time, const CQuaternion& q) {
    C3DRotateKey* key = new C3DRotateKey(KEY_MAP_ROTATION);
    key->SetQuaternion(q);
    AddKey(time, key);
}

void CMaterialMap::SetRotationHPB(int time, double heading, double pitch, double bank) {
    SetRotation(time, CQuaternion::FromHPBAngles(heading, pitch, bank));
}

void CMaterialMap::SetScale(int time, const C3DTVector<float>& s) { AddKey(time, new C3DScaleKey(KEY_MAP_SCALE, s)); }

void CMaterialMap::SetTiling(int time, float u, float v) {
    AddKey(time, new C3DScaleKey(KEY_MAP_TILING, C3DTVector<float>(u, v, 1.0f)));
}

void CMaterialMap::ResetTransformation() {
    DeleteAllKeys(KEY_MAP_TRANSLATION);
    DeleteAllKeys(KEY_MAP_ROTATION);
    DeleteAllKeys(KEY_MAP_SCALE);
    DeleteAllKeys(KEY_MAP_TILING);
}

CXTString<wchar_t> CMaterialMap::GetBitmapPath(const C3DScene* scene) const {
    CXTString<wchar_t> path;
    if (scene) {
        scene->FindBitmap(m_fileName, path);
    } else if (fileExists(m_fileName)) {
        path = m_fileName;
    }
    return path;
}

bool CMaterialMap::AdjustFilename(const C3DScene* scene) {
    bool changed = false;
    CXTString<wchar_t> found;
    if (scene && !m_fileName.IsEmpty() && scene->FindBitmap(m_fileName, found) && found != m_fileName) {
        m_fileName = found;
        changed = true;
    }
    if (scene && !m_alphaFileName.IsEmpty() && scene->FindBitmap(m_alphaFileName, found) && found != m_alphaFileName) {
        m_alphaFileName = found;
        changed = true;
    }
    return changed;
}

bool CMaterialMap::HasAlpha(const C3DScene* scene) const {
    if (!m_alphaFileName.IsEmpty() || IsFlagSet(MAP_ALPHA_FROM_RGB)) return true;
    return ImageHasAlpha(GetBitmapPath(scene));
}

bool CMaterialMap::HasSameParameters(const CMaterialMap& other) const {
    return m_fileName == other.m_fileName && m_alphaFileName == other.m_alphaFileName && m_type == other.m_type &&
           m_projection == other.m_projection && m_axis == other.m_axis && m_channelID == other.m_channelID &&
           m_flags == other.m_flags && m_userData.IsEqual(other.m_userData) && IsKeysEqual(other);
}

void CMaterialMap::Serialize(CXArchive& ar) {
    if (ar.IsStoring()) {
        ar << uint32_t(m_type) << uint32_t(m_projection) << uint32_t(m_axis) << m_channelID << m_flags;
        ar << m_fileName << m_alphaFileName;
    } else {
        uint32_t type = 0, projection = 0, axis = 0;
        ar >> type >> projection >> axis >> m_channelID >> m_flags;
        m_type = MapType(type);
        m_projection = MapProjection(projection);
        m_axis = MapAxis(axis);
        ar >> m_fileName >> m_alphaFileName;
    }
    m_userData.Serialize(ar);
    SerializeKeys(ar);
}

// ---- C3DMaterial --------------------------------------------------------------------------------

C3DMaterial::C3DMaterial()
    : m_pOwner(nullptr),
      m_flags(0),
      m_id(NextMaterialCounterID()),
      m_sourceID(-1),
      m_vertexColorChannel(0xFFFFFFFFu),
      m_vertexColorWeight(1.0f) {}

C3DMaterial::C3DMaterial(const C3DMaterial& other) : C3DMaterial() {
    m_name = other.m_name;
    m_sourceID = other.m_sourceID;
    CopyParameters(other);
}

C3DMaterial::~C3DMaterial() { RemoveAllMaps(); }

void C3DMaterial::CopyParameters(const C3DMaterial& other) {
    if (this == &other) return;
    C3DKeyframable::operator=(other);
    m_flags = other.m_flags;
    m_vertexColorChannel = other.m_vertexColorChannel;
    m_vertexColorWeight = other.m_vertexColorWeight;
    m_userData = other.m_userData;
    RemoveAllMaps();
    for (CMaterialMap* map : other.m_maps) AddMaterialMap(new CMaterialMap(*map));
}

bool C3DMaterial::HasSameParameters(const C3DMaterial& other) const {
    if (m_flags != other.m_flags || m_vertexColorChannel != other.m_vertexColorChannel ||
        m_vertexColorWeight != other.m_vertexColorWeight || m_maps.GetSize() != other.m_maps.GetSize() ||
        !IsKeysEqual(other))
        return false;
    for (int i = 0; i < m_maps.GetSize(); ++i)
        if (!m_maps[i]->HasSameParameters(*other.m_maps[i])) return false;
    return true;
}

CRGBColor C3DMaterial::GetColor(int time, uint64_t keyType, const CRGBColor& defaultColor) {
    C3DKeyframe* key = Evaluate(time, keyType);
    if (!key || key->GetKeyKind() != KEY_VALUE_COLOR) return defaultColor;
    return static_cast<C3DColorKey*>(key)->GetValue();
}

float C3DMaterial::GetFactor(int time, uint64_t keyType, float defaultValue) {
    C3DKeyframe* key = Evaluate(time, keyType);
    if (!key || key->GetKeyKind() != KEY_VALUE_FLOAT) return defaultValue;
    return static_cast<C3DFloatKey*>(key)->GetValue();
}

CRGBColor C3DMaterial::GetAmbientColor(int time, bool applyFactor) {
    CRGBColor c = GetColor(time, KEY_MATERIAL_AMBIENT, kDefaultAmbient);
    if (applyFactor) {
        float f = GetAmbientFactor(time);
        c.r = ScaleByte(c.r, f);
        c.g = ScaleByte(c.g, f);
        c.b = ScaleByte(c.b, f);
    }
    return c;
}

CRGBColor C3DMaterial::GetDiffuseColor(int time, bool applyFactor) {
    CRGBColor c = GetColor(time, KEY_MATERIAL_DIFFUSE, kDefaultDiffuse);
    if (applyFactor) {
        float f = GetDiffuseFactor(time);
        c.r = ScaleByte(c.r, f);
        c.g = ScaleByte(c.g, f);
        c.b = ScaleByte(c.b, f);
        c.a = ScaleByte(c.a, 1.0f - GetTransparency(time));
    }
    return c;
}

CRGBColor C3DMaterial::GetSpecularColor(int time) { return GetColor(time, KEY_MATERIAL_SPECULAR, kDefaultSpecular); }

void C3DMaterial::FloatGetAmbientColor(int time, float rgba[4]) { ToFloats(GetAmbientColor(time), rgba); }
void C3DMaterial::FloatGetDiffuseColor(int time, float rgba[4]) { ToFloats(GetDiffuseColor(time), rgba); }
void C3DMaterial::FloatGetSpecularColor(int time, float rgba[4]) { ToFloats(GetSpecularColor(time), rgba); }

float C3DMaterial::GetAmbientFactor(int time) { return GetFactor(time, KEY_MATERIAL_AMBIENT_FACTOR, kDefaultAmbientFactor); }
float C3DMaterial::GetDiffuseFactor(int time) { return GetFactor(time, KEY_MATERIAL_DIFFUSE_FACTOR, kDefaultDiffuseFactor); }
float C3DMaterial::GetSpecularFactor(int time) {
    return GetFactor(time, KEY_MATERIAL_SPECULAR_FACTOR, kDefaultSpecularFactor);
}
float C3DMaterial::GetTransparency(int time) { return GetFactor(time, KEY_MATERIAL_TRANSPARENCY, kDefaultTransparency); }
float C3DMaterial::GetBumpFactor(int time) { return GetFactor(time, KEY_MATERIAL_BUMP_FACTOR, kDefaultBumpFactor); }
float C3DMaterial::GetSmoothAngle(int time) { return GetFactor(time, KEY_MATERIAL_SMOOTH_ANGLE, kUnsetSmoothAngle); }

void C3DMaterial::SetAmbientColor(const CRGBColor& color, int time) { AddKey(time, new C3DColorKey(KEY_MATERIAL_AMBIENT, color)); }
void C3DMaterial::SetDiffuseColor(const CRGBColor& color, int time) { AddKey(time, new C3DColorKey(KEY_MATERIAL_DIFFUSE, color)); }
void C3DMaterial::SetSpecularColor(const CRGBColor& color, int time) {
    AddKey(time, new C3DColorKey(KEY_MATERIAL_SPECULAR, color));
}
void C3DMaterial::SetAmbientFactor(float factor, int time) {
    AddKey(time, new C3DFloatKey(KEY_MATERIAL_AMBIENT_FACTOR, factor));
}
void C3DMaterial::SetDiffuseFactor(float factor, int time) {
    AddKey(time, new C3DFloatKey(KEY_MATERIAL_DIFFUSE_FACTOR, factor));
}
void C3DMaterial::SetSpecularFactor(float factor, int time) {
    AddKey(time, new C3DFloatKey(KEY_MATERIAL_SPECULAR_FACTOR, factor));
}
void C3DMaterial::SetTransparency(float factor, int time) { AddKey(time, new C3DFloatKey(KEY_MATERIAL_TRANSPARENCY, factor)); }
void C3DMaterial::SetBumpFactor(float factor, int time) { AddKey(time, new C3DFloatKey(KEY_MATERIAL_BUMP_FACTOR, factor)); }
void C3DMaterial::SetSmoothAngle(float radians, int time) {
    AddKey(time, new C3DFloatKey(KEY_MATERIAL_SMOOTH_ANGLE, radians));
}

bool C3DMaterial::IsTransparent(int time) {
    return GetTransparency(time) > 0.0f || GetDiffuseColor(time).a < 255 || GetTransparencyMaps() != nullptr;
}

CMaterialMap* C3DMaterial::AddMaterialMap(const wchar_t* fileName, unsigned int channelID, MapType type,
                                          MapProjection projection) {
    return AddMaterialMap(new CMaterialMap(fileName, channelID, type, projection));
}

CMaterialMap* C3DMaterial::AddMaterialMap(CMaterialMap* map) {
    if (!map || map->m_pMaterial) XThrow<CXInvalidArgException>("C3DMaterial::AddMaterialMap: null map or map already attached");
    // The map is the material's from here; when it cannot be recorded it is released, as the
    // caller handed it over.
    try {
        m_maps.Add(map);
    } catch (...) {
        delete map;
        throw;
    }
    try {
        LinkMap(map);  // fails only where the index has no map of the type yet: nothing to undo there
    } catch (...) {
        m_maps.RemoveAt(m_maps.GetSize() - 1);
        delete map;
        throw;
    }
    return map;
}

void C3DMaterial::LinkMap(CMaterialMap* map) {
    map->m_pMaterial = this;
    map->m_pNextOfType = nullptr;
    CMaterialMap** first = m_mapIndex.Find(unsigned(map->m_type));
    if (!first) {
        m_mapIndex.Insert(unsigned(map->m_type), map);
        return;
    }
    CMaterialMap* last = *first;
    while (last->m_pNextOfType) last = last->m_pNextOfType;
    last->m_pNextOfType = map;
}

void C3DMaterial::RebuildMapIndex() {
    m_mapIndex.RemoveAll();
    for (CMaterialMap* map : m_maps) LinkMap(map);
}

bool C3DMaterial::RemoveMaterialMap(CMaterialMap* map) {
    for (int i = 0; i < m_maps.GetSize(); ++i) {
        if (m_maps[i] != map) continue;
        m_maps.RemoveAt(i);
        delete map;
        RebuildMapIndex();
        return true;
    }
    return false;
}

void C3DMaterial::RemoveAllMaps() {
    for (CMaterialMap* map : m_maps) delete map;
    m_maps.RemoveAll();
    m_mapIndex.RemoveAll();
}

CMaterialMap* C3DMaterial::GetMaterialMap(MapType type) const {
    CMaterialMap* const* first = m_mapIndex.Find(unsigned(type));
    return first ? *first : nullptr;
}

CMaterialMap* C3DMaterial::GetFirstMap(int& position) const {
    position = -1;
    return GetNextMap(position);
}

CMaterialMap* C3DMaterial::GetNextMap(int& position) const {
    if (position < -1 || position + 1 >= m_maps.GetSize()) return nullptr;
    return m_maps[++position];
}

int C3DMaterial::ChangeChannelID(const CHashMap<unsigned int, unsigned int, unsigned int>& remap) {
    int changed = 0;
    for (CMaterialMap* map : m_maps) {
        unsigned int id;
        if (remap.Find(map->m_channelID, id) && id != map->m_channelID) {
            map->m_channelID = id;
            ++changed;
        }
    }
    return changed;
}

void C3DMaterial::Serialize(CXArchive& ar) {
    if (ar.IsStoring()) {
        ar << m_name << m_id << int32_t(m_sourceID) << m_flags << m_vertexColorChannel << m_vertexColorWeight;
    } else {
        int32_t source = -1;
        ar >> m_name >> m_id >> source >> m_flags >> m_vertexColorChannel >> m_vertexColorWeight;
        m_sourceID = source;
    }
    m_userData.Serialize(ar);
    SerializeKeys(ar);
    if (ar.IsStoring()) {
        ar.WriteCount(uint64_t(m_maps.GetSize()));
        for (CMaterialMap* map : m_maps) map->Serialize(ar);
        return;
    }
    RemoveAllMaps();
    uint64_t count = ar.ReadCount();
    try {
        for (uint64_t i = 0; i < count; ++i) {
            // Attached before it reads itself, so that a failure leaves nothing to leak.
            CMaterialMap* map = AddMaterialMap(new CMaterialMap);
            map->Serialize(ar);
        }
    } catch (...) {
        RebuildMapIndex();
        throw;
    }
    // The maps were linked before their types were read.
    RebuildMapIndex();
}

}  // namespace kestovar
