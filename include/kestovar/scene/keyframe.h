// Animation keys: the key types, the key classes (typed values, transforms, rotations, vectors),
// the optional key curves, and C3DKeyframable, the owner of a time-ordered key list that
// evaluates a key type at any time.
//
// Key types. A key type is 64 bits: a value-type code in the high 32 bits and a property code in
// the low 32 bits, each four characters with the first character in the most significant byte.
// The value-type code decides the key class (C3DKeyframe::CreateKey):
//
//   COLO  C3DTypeKey<CRGBColor>     INTE  C3DTypeKey<int>        UINT  C3DTypeKey<unsigned int>
//   FLOA  C3DTypeKey<float>         DOUB  C3DTypeKey<double>     MATR  C3DMatrixKey
//   ROTA  C3DRotateKey              TRAN  C3DTranslateKey        SCAL  C3DScaleKey
//   VECT  C3DVectorKey
//
// Interpolation. Between a key at t0 and the next key of the same type at t1, a time t gets the
// parameter u = (t - t0) / (t1 - t0) in single precision (divisor 1 when t1 = t0), remapped by
// the previous key's curve when it has one (C3DKeyCurve::MapParameter). Then:
//  - typed keys: (1 - u) a + u b; integers and colour bytes are rounded to the nearest value
//    (colours component by component, alpha included);
//  - rotations: both axis-angle pairs become quaternions, slerp, back to axis and angle;
//  - vectors (and their translation and scale forms): each component (1 - u) a + u b with the
//    products in double and the sum narrowed to float;
//  - full transforms: both matrices are decomposed into translation, rotation and scale; the
//    translations and scales are interpolated linearly, the rotations by slerp, and the matrix is
//    recomposed (shear is lost; a mirror shows as a negative x scale on both sides).
// Before the first key the first key's value holds, after the last key the last key's value.
//
// Times are integers in the owner's time unit (frames or ticks; the library does not interpret
// them). Angles are in radians.
#pragma once

#include <cstdint>

#include "kestovar/core/array.h"
#include "kestovar/core/color.h"
#include "kestovar/core/export.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/matrix.h"
#include "kestovar/core/object.h"
#include "kestovar/core/point.h"
#include "kestovar/core/quaternion.h"

namespace kestovar {

class CXArchive;
class CCustomData;

// ---- key types ----------------------------------------------------------------------------------

constexpr uint32_t KEY_VALUE_COLOR = 0x434F4C4F;      // COLO
constexpr uint32_t KEY_VALUE_FLOAT = 0x464C4F41;      // FLOA
constexpr uint32_t KEY_VALUE_VECTOR = 0x56454354;     // VECT
constexpr uint32_t KEY_VALUE_INT = 0x494E5445;        // INTE
constexpr uint32_t KEY_VALUE_UINT = 0x55494E54;       // UINT
constexpr uint32_t KEY_VALUE_DOUBLE = 0x444F5542;     // DOUB
constexpr uint32_t KEY_VALUE_MATRIX = 0x4D415452;     // MATR
constexpr uint32_t KEY_VALUE_ROTATE = 0x524F5441;     // ROTA
constexpr uint32_t KEY_VALUE_TRANSLATE = 0x5452414E;  // TRAN
constexpr uint32_t KEY_VALUE_SCALE = 0x5343414C;      // SCAL

constexpr uint64_t MakeKeyType(uint32_t valueType, uint32_t property) {
    return (uint64_t(valueType) << 32) | uint64_t(property);
}
constexpr uint32_t GetKeyValueType(uint64_t keyType) { return uint32_t(keyType >> 32); }
constexpr uint32_t GetKeyProperty(uint64_t keyType) { return uint32_t(keyType); }

// Key types of scene nodes. A node's local transform is its matrix key when it has one, else
// the product translation * rotation * scale of its position, rotation and scale keys (each
// absent one is the identity). The pivot offsets the world transform (C3DSceneNode::GetNodeTM).
constexpr uint64_t KEY_NODE_PIVOT = 0x564543545049564FULL;                             // VECT PIVO
constexpr uint64_t KEY_NODE_MATRIX = MakeKeyType(KEY_VALUE_MATRIX, 0x4E44544D);      // MATR NDTM
constexpr uint64_t KEY_NODE_POSITION = MakeKeyType(KEY_VALUE_TRANSLATE, 0x4E44504F); // TRAN NDPO
constexpr uint64_t KEY_NODE_ROTATION = MakeKeyType(KEY_VALUE_ROTATE, 0x4E44524F);    // ROTA NDRO
constexpr uint64_t KEY_NODE_SCALE = MakeKeyType(KEY_VALUE_SCALE, 0x4E445343);        // SCAL NDSC

// Mode bits of C3DKeyframable::GetKey.
enum _KEY_FIND_MODE : int {
    KEY_FIND_BEFORE = 1,  // the last key strictly before the time
    KEY_FIND_AFTER = 2,   // the first key strictly after the time
    KEY_FIND_AT = 4,      // a key exactly at the time
};

// A closed interval of times; empty when start > end.
struct CTimeRange {
    int start = 0;
    int end = -1;
    CTimeRange() = default;
    CTimeRange(int s, int e) : start(s), end(e) {}
    bool IsEmpty() const { return start > end; }
    bool Contains(int t) const { return t >= start && t <= end; }
    bool operator==(const CTimeRange& o) const { return start == o.start && end == o.end; }
    bool operator!=(const CTimeRange& o) const { return !(*this == o); }
};

// ---- curves -------------------------------------------------------------------------------------

// How a key eases into the next one. The base curve is linear.
class KESTOVAR_API C3DKeyCurve : public CXAllocated {
public:
    // Curve type codes written in archives.
    static constexpr uint32_t kLinear = 0x4C494E45;  // LINE
    static constexpr uint32_t kTCB = 0x54434220;     // "TCB "

    C3DKeyCurve() = default;
    C3DKeyCurve(const C3DKeyCurve&) = default;
    C3DKeyCurve& operator=(const C3DKeyCurve&) = default;
    virtual ~C3DKeyCurve();
    virtual uint32_t GetCurveType() const { return kLinear; }
    // Remaps the interpolation parameter u in [0, 1]; the identity here.
    virtual double MapParameter(double u) const { return u; }
    virtual C3DKeyCurve* Clone() const;
    virtual bool IsEqual(const C3DKeyCurve& other) const { return other.GetCurveType() == GetCurveType(); }
    virtual void Serialize(CXArchive& ar);

    // A new curve of the given type code, or null for an unknown code.
    static C3DKeyCurve* Create(uint32_t curveType);
};

// Tension, continuity and bias (each in [-1, 1]) with ease to and ease from (each in [0, 1]).
// The ease values remap the parameter (a slow start over `easeFrom` and a slow end over `easeTo`,
// scaled down together when their sum exceeds 1); tension, continuity and bias are carried and
// persisted for hosts and formats that use spline tangents, and do not change the value between
// two keys here.
class KESTOVAR_API C3DTCBCurve : public C3DKeyCurve {
public:
    C3DTCBCurve() = default;
    C3DTCBCurve(float tension, float continuity, float bias, float easeTo, float easeFrom)
        : m_tension(tension), m_continuity(continuity), m_bias(bias), m_easeTo(easeTo), m_easeFrom(easeFrom) {}
    uint32_t GetCurveType() const override { return kTCB; }
    double MapParameter(double u) const override;
    C3DKeyCurve* Clone() const override { return new C3DTCBCurve(*this); }
    bool IsEqual(const C3DKeyCurve& other) const override;
    void Serialize(CXArchive& ar) override;

    float m_tension = 0.0f;
    float m_continuity = 0.0f;
    float m_bias = 0.0f;
    float m_easeTo = 0.0f;
    float m_easeFrom = 0.0f;
};

// ---- keys ---------------------------------------------------------------------------------------

// Polymorphic base of every key: its key type, optional user data and an optional curve.
class KESTOVAR_API C3DKeyframe : public CXAllocated {
public:
    explicit C3DKeyframe(uint64_t classID);
    C3DKeyframe(const C3DKeyframe& other);
    virtual ~C3DKeyframe();

    // Copies the other key's user data and curve, and its value when it is of the same class
    // (GetKeyKind). The key type is kept.
    virtual C3DKeyframe& operator=(const C3DKeyframe& other);
    // Makes this key the interpolation of `prev` and `next` at `time`, `range` being [t0, t1]
    // (see the header comment). False, leaving the key unchanged, when the keys are not of this
    // key's class or (for transforms, rotations and vectors) when the time is outside the range.
    virtual bool Evaluate(const C3DKeyframe* prev, const C3DKeyframe* next, int time, const CTimeRange& range);
    // Same class, key type, value, user data and curve.
    virtual bool operator==(const C3DKeyframe& other) const;
    bool operator!=(const C3DKeyframe& other) const { return !(*this == other); }
    // A presence byte (bit 0 user data, bit 1 curve), the user data, the curve's type code and
    // content, then the value of the derived class.
    virtual void Serialize(CXArchive& ar);
    // A new key of the same class, type and value.
    virtual C3DKeyframe* Clone() const = 0;
    // The value-type code of the key's class (KEY_VALUE_...); keys interpolate only with keys of
    // the same class.
    virtual uint32_t GetKeyKind() const = 0;

    uint64_t GetClassID() const { return m_classID; }
    uint32_t GetTypeID() const { return GetKeyValueType(m_classID); }
    uint32_t GetContentID() const { return GetKeyProperty(m_classID); }

    // The user data, created on first use when `create` is set (else null when absent).
    CCustomData* GetUserData(bool create = false);
    const CCustomData* GetUserData() const { return m_pUserData; }
    C3DKeyCurve* GetCurve() const { return m_pCurve; }
    // Adopts `curve` (may be null), deleting the previous one.
    void SetCurve(C3DKeyCurve* curve);

    // A new key of the class matching the value-type code of `classID` (see the header comment),
    // holding that class's default value; null for an unknown code.
    static C3DKeyframe* CreateKey(uint64_t classID);

protected:
    // The interpolation parameter for `time` in `range`, remapped by this key's curve.
    float GetParameter(int time, const CTimeRange& range) const;

    uint64_t m_classID;
    CCustomData* m_pUserData;  // owned, may be null
    C3DKeyCurve* m_pCurve;     // owned, may be null
};

// The value-type code of each typed key.
template <class T>
struct CKeyValueKind;
template <> struct CKeyValueKind<int> { static constexpr uint32_t value = KEY_VALUE_INT; };
template <> struct CKeyValueKind<unsigned int> { static constexpr uint32_t value = KEY_VALUE_UINT; };
template <> struct CKeyValueKind<float> { static constexpr uint32_t value = KEY_VALUE_FLOAT; };
template <> struct CKeyValueKind<double> { static constexpr uint32_t value = KEY_VALUE_DOUBLE; };
template <> struct CKeyValueKind<CRGBColor> { static constexpr uint32_t value = KEY_VALUE_COLOR; };

// One value of type T: int, unsigned int, float, double or CRGBColor (instantiated for those
// five in the library).
template <class T>
class C3DTypeKey : public C3DKeyframe {
public:
    explicit C3DTypeKey(uint64_t classID, const T& value = T()) : C3DKeyframe(classID), m_value(value) {}
    C3DTypeKey(const C3DTypeKey& other) = default;
    C3DTypeKey& operator=(const C3DTypeKey& other) = default;

    C3DKeyframe& operator=(const C3DKeyframe& other) override;
    bool Evaluate(const C3DKeyframe* prev, const C3DKeyframe* next, int time, const CTimeRange& range) override;
    bool operator==(const C3DKeyframe& other) const override;
    void Serialize(CXArchive& ar) override;
    C3DKeyframe* Clone() const override;
    uint32_t GetKeyKind() const override { return CKeyValueKind<T>::value; }

    const T& GetValue() const { return m_value; }
    void SetValue(const T& value) { m_value = value; }

private:
    T m_value;
};

extern template class KESTOVAR_API C3DTypeKey<int>;
extern template class KESTOVAR_API C3DTypeKey<unsigned int>;
extern template class KESTOVAR_API C3DTypeKey<float>;
extern template class KESTOVAR_API C3DTypeKey<double>;
extern template class KESTOVAR_API C3DTypeKey<CRGBColor>;

typedef C3DTypeKey<int> C3DIntKey;
typedef C3DTypeKey<unsigned int> C3DUIntKey;
typedef C3DTypeKey<float> C3DFloatKey;
typedef C3DTypeKey<double> C3DDoubleKey;
typedef C3DTypeKey<CRGBColor> C3DColorKey;

// A full transform. Derived keys hold parameters (an axis and angle, a vector) and keep the
// matrix in step with them.
class KESTOVAR_API C3DMatrixKey : public C3DKeyframe {
public:
    explicit C3DMatrixKey(uint64_t classID) : C3DKeyframe(classID) {}
    C3DMatrixKey(uint64_t classID, const C4x4TMatrix<float>& matrix) : C3DKeyframe(classID), m_matrix(matrix) {}
    C3DMatrixKey(const C3DMatrixKey& other) = default;
    C3DMatrixKey& operator=(const C3DMatrixKey& other) = default;

    C3DKeyframe& operator=(const C3DKeyframe& other) override;
    bool Evaluate(const C3DKeyframe* prev, const C3DKeyframe* next, int time, const CTimeRange& range) override;
    bool operator==(const C3DKeyframe& other) const override;
    void Serialize(CXArchive& ar) override;
    C3DKeyframe* Clone() const override { return new C3DMatrixKey(*this); }
    uint32_t GetKeyKind() const override { return KEY_VALUE_MATRIX; }

    const C4x4TMatrix<float>& GetMatrix() const { return m_matrix; }
    // Sets the matrix and derives the parameters of the derived classes from it.
    virtual void SetMatrix(const C4x4TMatrix<float>& matrix);
    // Expresses the key in another axis convention or scale: matrix M becomes S M S^-1, and the
    // parameters of the derived classes follow. `s` must be invertible; `sInverse` is its inverse.
    virtual void Conjugate(const C4x4TMatrix<float>& s, const C4x4TMatrix<float>& sInverse);

protected:
    // Rebuilds the matrix from the parameters (nothing for a plain matrix key).
    virtual void UpdateMatrix() {}

    C4x4TMatrix<float> m_matrix;
};

// A rotation by an angle (radians) about an axis (unit length, or zero for no rotation).
class KESTOVAR_API C3DRotateKey : public C3DMatrixKey {
public:
    explicit C3DRotateKey(uint64_t classID);
    C3DRotateKey(uint64_t classID, const C3DTVector<float>& axis, float radians);
    C3DRotateKey(const C3DRotateKey& other) = default;
    C3DRotateKey& operator=(const C3DRotateKey& other) = default;

    C3DKeyframe& operator=(const C3DKeyframe& other) override;
    bool Evaluate(const C3DKeyframe* prev, const C3DKeyframe* next, int time, const CTimeRange& range) override;
    bool operator==(const C3DKeyframe& other) const override;
    void Serialize(CXArchive& ar) override;
    C3DKeyframe* Clone() const override { return new C3DRotateKey(*this); }
    uint32_t GetKeyKind() const override { return KEY_VALUE_ROTATE; }
    // Takes the rotation of the matrix's linear part (scale removed).
    void SetMatrix(const C4x4TMatrix<float>& matrix) override;
    void Conjugate(const C4x4TMatrix<float>& s, const C4x4TMatrix<float>& sInverse) override;

    const C3DTVector<float>& GetAxis() const { return m_axis; }
    float GetAngle() const { return m_angle; }
    void SetAxisAngle(const C3DTVector<float>& axis, float radians);
    CQuaternion GetQuaternion() const;
    void SetQuaternion(const CQuaternion& q);

protected:
    void UpdateMatrix() override;

    C3DTVector<float> m_axis;
    float m_angle;
};

// A vector; its matrix is the translation by the vector. The node pivot is a vector key.
class KESTOVAR_API C3DVectorKey : public C3DMatrixKey {
public:
    explicit C3DVectorKey(uint64_t classID) : C3DMatrixKey(classID) {}
    C3DVectorKey(uint64_t classID, const C3DTVector<float>& v);
    C3DVectorKey(const C3DVectorKey& other) = default;
    C3DVectorKey& operator=(const C3DVectorKey& other) = default;

    C3DKeyframe& operator=(const C3DKeyframe& other) override;
    bool Evaluate(const C3DKeyframe* prev, const C3DKeyframe* next, int time, const CTimeRange& range) override;
    bool operator==(const C3DKeyframe& other) const override;
    void Serialize(CXArchive& ar) override;
    C3DKeyframe* Clone() const override { return new C3DVectorKey(*this); }
    uint32_t GetKeyKind() const override { return KEY_VALUE_VECTOR; }
    // Takes the translation column.
    void SetMatrix(const C4x4TMatrix<float>& matrix) override;
    // The vector becomes S v (the translation of S ignored).
    void Conjugate(const C4x4TMatrix<float>& s, const C4x4TMatrix<float>& sInverse) override;

    const C3DTVector<float>& GetVector() const { return m_vector; }
    void SetVector(const C3DTVector<float>& v);

protected:
    void UpdateMatrix() override;

    C3DTVector<float> m_vector;
};

// A translation: a vector key of its own class.
class KESTOVAR_API C3DTranslateKey : public C3DVectorKey {
public:
    explicit C3DTranslateKey(uint64_t classID) : C3DVectorKey(classID) {}
    C3DTranslateKey(uint64_t classID, const C3DTVector<float>& v) : C3DVectorKey(classID, v) {}
    C3DKeyframe* Clone() const override { return new C3DTranslateKey(*this); }
    uint32_t GetKeyKind() const override { return KEY_VALUE_TRANSLATE; }
};

// Scale factors per axis (1, 1, 1 by default); the matrix is the scale matrix. Interpolated
// linearly per axis.
class KESTOVAR_API C3DScaleKey : public C3DVectorKey {
public:
    explicit C3DScaleKey(uint64_t classID);
    C3DScaleKey(uint64_t classID, const C3DTVector<float>& factors);
    C3DKeyframe* Clone() const override { return new C3DScaleKey(*this); }
    uint32_t GetKeyKind() const override { return KEY_VALUE_SCALE; }
    // Takes the lengths of the matrix's three columns.
    void SetMatrix(const C4x4TMatrix<float>& matrix) override;
    // Factors are permuted (absolute values) by an axis swap; a scaling S leaves them unchanged.
    void Conjugate(const C4x4TMatrix<float>& s, const C4x4TMatrix<float>& sInverse) override;

protected:
    void UpdateMatrix() override;
};

// ---- key owners ---------------------------------------------------------------------------------

// One entry of a key list.
struct C3DKeyEntry {
    int time;
    C3DKeyframe* key;  // owned by the list
};

// Identity of an evaluation cache entry.
struct C3DKeyCacheID {
    int time;
    uint64_t type;
    bool operator==(const C3DKeyCacheID& o) const { return time == o.time && type == o.type; }
};

template <>
struct CHashMethods<C3DKeyCacheID> {
    static unsigned Hash(const C3DKeyCacheID& k) { return HashMix64(k.type ^ (uint64_t(uint32_t(k.time)) * 0x9E3779B97F4A7C15ULL)); }
    static bool Equal(const C3DKeyCacheID& a, const C3DKeyCacheID& b) { return a == b; }
};

// The owner of a key list kept in ascending time (keys of one time keep their insertion order),
// with an evaluation cache. Not thread-safe: Evaluate fills the cache.
class KESTOVAR_API C3DKeyframable {
public:
    C3DKeyframable();
    // Deep copy of the keys; the cache is not copied.
    C3DKeyframable(const C3DKeyframable& other);
    C3DKeyframable& operator=(const C3DKeyframable& other);
    virtual ~C3DKeyframable();

    // Adopts `key` (must not be null) at `time` and returns its index. The key goes before the
    // first key whose time is greater; a key of the same type already at that time is deleted
    // and replaced, so one type never has two keys at one time. Then the cache entries of the
    // key's type are dropped and OnKeyframesChanged(type) is called. When the list cannot grow
    // (CXMemoryException), the key is deleted before the exception leaves.
    int AddKey(int time, C3DKeyframe* key);
    // The same with a copy of `key`.
    int AddKey(int time, const C3DKeyframe& key) { return AddKey(time, key.Clone()); }
    // Creates a key of `keyType` with its class's default value and adds it; null (nothing
    // added) for an unknown value-type code.
    C3DKeyframe* CreateKey(int time, uint64_t keyType);
    // Deletes the key at `index` of the whole list. An index out of range raises
    // CXInvalidArgException.
    void DeleteKey(int index);
    // Deletes every key of `keyType` (0: every key) and the matching cache entries.
    void DeleteAllKeys(uint64_t keyType = 0);
    // Number of keys of `keyType` (0: all).
    int GetKeyNbr(uint64_t keyType = 0) const;
    bool HasKeys() const { return m_keys.GetSize() > 0; }
    // The index-th key (from 0) among the keys of `keyType` (0: all) and its time. An index out
    // of range raises CXInvalidArgException.
    C3DKeyframe* GetKeyByIndex(int index, int& time, uint64_t keyType = 0) const;
    // The key of `keyType` (0: any) found by `mode` (_KEY_FIND_MODE bits; 5 = at the time or
    // else the last one before) and its time through `keyTime` (-1 when none is found).
    C3DKeyframe* GetKey(int time, int mode, uint64_t keyType, int& keyTime) const;
    const C3DKeyframe* GetConstKey(int time, int mode, uint64_t keyType, int& keyTime) const {
        return GetKey(time, mode, keyType, keyTime);
    }
    // The times of the first and last key of `keyType` (0: all); empty without such keys.
    CTimeRange GetTimeRange(uint64_t keyType = 0) const;

    // The key holding the value of `keyType` at `time` (owned by the cache: valid until the keys
    // of that type change), or null when there is no key of that type or the interpolation fails.
    C3DKeyframe* Evaluate(int time, uint64_t keyType);
    // Fills `key` with the value of its own key type at `time`. False (key unchanged) when
    // Evaluate finds nothing.
    bool Evaluate(int time, C3DKeyframe& key);
    // Drops the cache entries of `keyType` (0: all).
    void ClearCache(uint64_t keyType = 0);
    // Number of cached evaluations (for diagnostics and tests).
    int GetCacheCount() const { return m_pCache ? m_pCache->GetCount() : 0; }

    // Same keys (time, type, value) in the same order.
    bool IsKeysEqual(const C3DKeyframable& other) const;
    // The key count (archive count encoding), then per key its time (i32), its type (u64) and
    // the key's own Serialize. Loading replaces the keys; a type of unknown value-type code
    // raises CXArchiveException (badClass).
    void SerializeKeys(CXArchive& ar);

    // Read-only view of the list (ascending time).
    const CXArray<C3DKeyEntry>& GetKeys() const { return m_keys; }

protected:
    // Called after the keys of `keyType` changed (0: keys of several types). Nothing here.
    virtual void OnKeyframesChanged(uint64_t keyType);

private:
    typedef CHashMap<C3DKeyCacheID, const C3DKeyCacheID&, C3DKeyframe*> CKeyCache;
    void CopyKeys(const C3DKeyframable& other);
    void DeleteKeys();

    CXArray<C3DKeyEntry> m_keys;
    CKeyCache* m_pCache;  // created on the first evaluation
};

// A key owner with a current time and an animation range (the scene).
class KESTOVAR_API C3DAnimatable : public C3DKeyframable {
public:
    C3DAnimatable() = default;
    int GetTime() const { return m_time; }
    void SetTime(int time) { m_time = time; }
    const CTimeRange& GetAnimationRange() const { return m_range; }
    void SetAnimationRange(const CTimeRange& range) { m_range = range; }

protected:
    int m_time = 0;
    CTimeRange m_range = CTimeRange(0, 0);
};

}  // namespace kestovar
