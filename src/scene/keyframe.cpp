// The key classes: typed values, full transforms, rotations, vectors with their translation and
// scale forms, and the key curves.
#include "kestovar/scene/keyframe.h"

#include <climits>
#include <cmath>

#include "kestovar/core/archive.h"
#include "kestovar/core/custom_data.h"

namespace kestovar {

namespace {

// Presence bits of C3DKeyframe::Serialize.
constexpr uint8_t kHasUserData = 0x1;
constexpr uint8_t kHasCurve = 0x2;

// (1 - u) a + u b for each value type; integers and colour bytes round to the nearest value and
// saturate at their range.
float Lerp(float a, float b, float u) { return (1.0f - u) * a + u * b; }
double Lerp(double a, double b, float u) { return (1.0 - double(u)) * a + double(u) * b; }

template <class I>
I LerpInteger(I a, I b, float u, double lo, double hi) {
    double v = std::nearbyint((1.0 - double(u)) * double(a) + double(u) * double(b));
    if (!(v >= lo)) v = lo;  // NaN saturates low
    if (v > hi) v = hi;
    return I(v);
}
int Lerp(int a, int b, float u) { return LerpInteger<int>(a, b, u, double(INT_MIN), double(INT_MAX)); }
unsigned int Lerp(unsigned int a, unsigned int b, float u) {
    return LerpInteger<unsigned int>(a, b, u, 0.0, double(UINT_MAX));
}
CRGBColor Lerp(const CRGBColor& a, const CRGBColor& b, float u) {
    return CRGBColor(LerpInteger<uint8_t>(a.r, b.r, u, 0.0, 255.0), LerpInteger<uint8_t>(a.g, b.g, u, 0.0, 255.0),
                     LerpInteger<uint8_t>(a.b, b.b, u, 0.0, 255.0), LerpInteger<uint8_t>(a.a, b.a, u, 0.0, 255.0));
}

C3DTVector<float> LerpVector(const C3DTVector<float>& a, const C3DTVector<float>& b, float u) {
    double w0 = 1.0 - double(u), w1 = double(u);
    return C3DTVector<float>(float(w0 * a.x + w1 * b.x), float(w0 * a.y + w1 * b.y), float(w0 * a.z + w1 * b.z));
}

void WriteMatrix(CXArchive& ar, const C4x4TMatrix<float>& m) {
    for (int i = 0; i < 16; ++i) ar << m.ValPtr()[i];
}
void ReadMatrix(CXArchive& ar, C4x4TMatrix<float>& m) {
    for (int i = 0; i < 16; ++i) ar >> m.ValPtr()[i];
}

// Whether the curves of two keys are equal (both absent counts as equal).
bool SameCurve(const C3DKeyCurve* a, const C3DKeyCurve* b) {
    if (!a || !b) return a == b;
    return a->IsEqual(*b);
}

bool SameUserData(const CCustomData* a, const CCustomData* b) {
    bool emptyA = !a || !a->HasData(), emptyB = !b || !b->HasData();
    if (emptyA || emptyB) return emptyA == emptyB;
    return a->IsEqual(*b);
}

}  // namespace

// ---- curves -------------------------------------------------------------------------------------

C3DKeyCurve::~C3DKeyCurve() = default;

C3DKeyCurve* C3DKeyCurve::Clone() const { return new C3DKeyCurve(*this); }

void C3DKeyCurve::Serialize(CXArchive&) {}

C3DKeyCurve* C3DKeyCurve::Create(uint32_t curveType) {
    switch (curveType) {
        case kLinear: return new C3DKeyCurve;
        case kTCB: return new C3DTCBCurve;
        default: return nullptr;
    }
}

// The classic ease curve: a parabola over [0, easeFrom), a line in the middle and a parabola over
// (1 - easeTo, 1], joined with matching slopes so that the mapping stays monotonic and ends at 1.
double C3DTCBCurve::MapParameter(double u) const {
    double a = std::fabs(double(m_easeFrom)), b = std::fabs(double(m_easeTo));
    double s = a + b;
    if (!(s > 0.0) || !std::isfinite(s)) return u;
    if (s > 1.0) {
        a /= s;
        b /= s;
    }
    double k = 1.0 / (2.0 - a - b);
    // An ease of 0 at either end has no parabola there (the guards keep 0 / 0 out at u = 0 and 1).
    if (u < a && a > 0.0) return k / a * u * u;
    if (u < 1.0 - b || !(b > 0.0)) return k * (2.0 * u - a);
    double v = 1.0 - u;
    return 1.0 - k / b * v * v;
}

bool C3DTCBCurve::IsEqual(const C3DKeyCurve& other) const {
    if (other.GetCurveType() != kTCB) return false;
    const C3DTCBCurve& o = static_cast<const C3DTCBCurve&>(other);
    return m_tension == o.m_tension && m_continuity == o.m_continuity && m_bias == o.m_bias &&
           m_easeTo == o.m_easeTo && m_easeFrom == o.m_easeFrom;
}

void C3DTCBCurve::Serialize(CXArchive& ar) {
    if (ar.IsStoring())
        ar << m_tension << m_continuity << m_bias << m_easeTo << m_easeFrom;
    else
        ar >> m_tension >> m_continuity >> m_bias >> m_easeTo >> m_easeFrom;
}

// ---- C3DKeyframe --------------------------------------------------------------------------------

C3DKeyframe::C3DKeyframe(uint64_t classID) : m_classID(classID), m_pUserData(nullptr), m_pCurve(nullptr) {}

C3DKeyframe::C3DKeyframe(const C3DKeyframe& other)
    : m_classID(other.m_classID),
      m_pUserData(other.m_pUserData ? new CCustomData(*other.m_pUserData) : nullptr),
      m_pCurve(other.m_pCurve ? other.m_pCurve->Clone() : nullptr) {}

C3DKeyframe::~C3DKeyframe() {
    delete m_pUserData;
    delete m_pCurve;
}

C3DKeyframe& C3DKeyframe::operator=(const C3DKeyframe& other) {
    if (this == &other) return *this;
    if (other.m_pUserData)
        GetUserData(true)->Copy(*other.m_pUserData);
    else if (m_pUserData)
        m_pUserData->RemoveAll();
    SetCurve(other.m_pCurve ? other.m_pCurve->Clone() : nullptr);
    return *this;
}

bool C3DKeyframe::Evaluate(const C3DKeyframe*, const C3DKeyframe*, int, const CTimeRange&) { return false; }

bool C3DKeyframe::operator==(const C3DKeyframe& other) const {
    return GetKeyKind() == other.GetKeyKind() && m_classID == other.m_classID &&
           SameUserData(m_pUserData, other.m_pUserData) && SameCurve(m_pCurve, other.m_pCurve);
}

void C3DKeyframe::Serialize(CXArchive& ar) {
    if (ar.IsStoring()) {
        uint8_t presence = uint8_t((m_pUserData && m_pUserData->HasData() ? kHasUserData : 0) | (m_pCurve ? kHasCurve : 0));
        ar << presence;
        if (presence & kHasUserData) m_pUserData->Serialize(ar);
        if (m_pCurve) {
            ar << m_pCurve->GetCurveType();
            m_pCurve->Serialize(ar);
        }
        return;
    }
    uint8_t presence = 0;
    ar >> presence;
    if (presence & kHasUserData)
        GetUserData(true)->Serialize(ar);
    else if (m_pUserData)
        m_pUserData->RemoveAll();
    SetCurve(nullptr);
    if (presence & kHasCurve) {
        uint32_t type = 0;
        ar >> type;
        C3DKeyCurve* curve = C3DKeyCurve::Create(type);
        if (!curve) XThrow<CXArchiveException>(CXArchiveException::badClass, "unknown key curve type");
        SetCurve(curve);
        curve->Serialize(ar);
    }
}

CCustomData* C3DKeyframe::GetUserData(bool create) {
    if (!m_pUserData && create) m_pUserData = new CCustomData;
    return m_pUserData;
}

void C3DKeyframe::SetCurve(C3DKeyCurve* curve) {
    if (curve == m_pCurve) return;
    delete m_pCurve;
    m_pCurve = curve;
}

float C3DKeyframe::GetParameter(int time, const CTimeRange& range) const {
    // In 64 bits: keys read from a file may lie at any two times of the int range.
    const int64_t span = int64_t(range.end) - range.start;
    float u = float(int64_t(time) - range.start) / float(span == 0 ? 1 : span);
    if (m_pCurve) u = float(m_pCurve->MapParameter(double(u)));
    return u;
}

C3DKeyframe* C3DKeyframe::CreateKey(uint64_t classID) {
    switch (GetKeyValueType(classID)) {
        case KEY_VALUE_INT: return new C3DTypeKey<int>(classID);
        case KEY_VALUE_UINT: return new C3DTypeKey<unsigned int>(classID);
        case KEY_VALUE_FLOAT: return new C3DTypeKey<float>(classID);
        case KEY_VALUE_DOUBLE: return new C3DTypeKey<double>(classID);
        case KEY_VALUE_COLOR: return new C3DTypeKey<CRGBColor>(classID);
        case KEY_VALUE_MATRIX: return new C3DMatrixKey(classID);
        case KEY_VALUE_ROTATE: return new C3DRotateKey(classID);
        case KEY_VALUE_TRANSLATE: return new C3DTranslateKey(classID);
        case KEY_VALUE_SCALE: return new C3DScaleKey(classID);
        case KEY_VALUE_VECTOR: return new C3DVectorKey(classID);
        default: return nullptr;
    }
}

// ---- C3DTypeKey ---------------------------------------------------------------------------------

template <class T>
C3DKeyframe& C3DTypeKey<T>::operator=(const C3DKeyframe& other) {
    C3DKeyframe::operator=(other);
    if (other.GetKeyKind() == GetKeyKind()) m_value = static_cast<const C3DTypeKey&>(other).m_value;
    return *this;
}

template <class T>
bool C3DTypeKey<T>::Evaluate(const C3DKeyframe* prev, const C3DKeyframe* next, int time, const CTimeRange& range) {
    if (!prev || !next || prev->GetKeyKind() != GetKeyKind() || next->GetKeyKind() != GetKeyKind()) return false;
    float u = GetParameter(time, range);
    m_value = Lerp(static_cast<const C3DTypeKey*>(prev)->m_value, static_cast<const C3DTypeKey*>(next)->m_value, u);
    return true;
}

template <class T>
bool C3DTypeKey<T>::operator==(const C3DKeyframe& other) const {
    return C3DKeyframe::operator==(other) && m_value == static_cast<const C3DTypeKey&>(other).m_value;
}

template <class T>
void C3DTypeKey<T>::Serialize(CXArchive& ar) {
    C3DKeyframe::Serialize(ar);
    if (ar.IsStoring())
        ar << m_value;
    else
        ar >> m_value;
}

template <class T>
C3DKeyframe* C3DTypeKey<T>::Clone() const {
    return new C3DTypeKey(*this);
}

template class C3DTypeKey<int>;
template class C3DTypeKey<unsigned int>;
template class C3DTypeKey<float>;
template class C3DTypeKey<double>;
template class C3DTypeKey<CRGBColor>;

// ---- C3DMatrixKey -------------------------------------------------------------------------------

C3DKeyframe& C3DMatrixKey::operator=(const C3DKeyframe& other) {
    C3DKeyframe::operator=(other);
    if (other.GetKeyKind() == GetKeyKind()) m_matrix = static_cast<const C3DMatrixKey&>(other).m_matrix;
    return *this;
}

bool C3DMatrixKey::Evaluate(const C3DKeyframe* prev, const C3DKeyframe* next, int time, const CTimeRange& range) {
    if (!prev || !next || prev->GetKeyKind() != GetKeyKind() || next->GetKeyKind() != GetKeyKind()) return false;
    if (time < range.start || time > range.end) return false;
    float u = GetParameter(time, range);
    const C4x4TMatrix<float>& from = static_cast<const C3DMatrixKey*>(prev)->m_matrix;
    const C4x4TMatrix<float>& to = static_cast<const C3DMatrixKey*>(next)->m_matrix;
    // At a key, or between two equal keys, the key itself: the decomposition below keeps only
    // translation, rotation and scale along the axes, and would lose a shear the key holds.
    if (u <= 0.0f || from == to) {
        m_matrix = from;
        return true;
    }
    if (u >= 1.0f) {
        m_matrix = to;
        return true;
    }
    _MatrixDecomposition a, b, r;
    Decompose(from, a);
    Decompose(to, b);
    r.translation = LerpVector(a.translation, b.translation, u);
    r.scale = LerpVector(a.scale, b.scale, u);
    r.rotation = CQuaternion::Slerp(a.rotation, b.rotation, double(u));
    m_matrix = Recompose(r);
    return true;
}

bool C3DMatrixKey::operator==(const C3DKeyframe& other) const {
    return C3DKeyframe::operator==(other) && m_matrix == static_cast<const C3DMatrixKey&>(other).m_matrix;
}

void C3DMatrixKey::Serialize(CXArchive& ar) {
    C3DKeyframe::Serialize(ar);
    if (ar.IsStoring())
        WriteMatrix(ar, m_matrix);
    else
        ReadMatrix(ar, m_matrix);
}

void C3DMatrixKey::SetMatrix(const C4x4TMatrix<float>& matrix) { m_matrix = matrix; }

void C3DMatrixKey::Conjugate(const C4x4TMatrix<float>& s, const C4x4TMatrix<float>& sInverse) {
    m_matrix = s * m_matrix * sInverse;
}

// ---- C3DRotateKey -------------------------------------------------------------------------------

C3DRotateKey::C3DRotateKey(uint64_t classID) : C3DMatrixKey(classID), m_axis(1.0f, 0.0f, 0.0f), m_angle(0.0f) {}

C3DRotateKey::C3DRotateKey(uint64_t classID, const C3DTVector<float>& axis, float radians) : C3DMatrixKey(classID) {
    SetAxisAngle(axis, radians);
}

C3DKeyframe& C3DRotateKey::operator=(const C3DKeyframe& other) {
    C3DMatrixKey::operator=(other);
    if (other.GetKeyKind() == GetKeyKind()) {
        const C3DRotateKey& o = static_cast<const C3DRotateKey&>(other);
        m_axis = o.m_axis;
        m_angle = o.m_angle;
    }
    return *this;
}

bool C3DRotateKey::Evaluate(const C3DKeyframe* prev, const C3DKeyframe* next, int time, const CTimeRange& range) {
    if (!prev || !next || prev->GetKeyKind() != GetKeyKind() || next->GetKeyKind() != GetKeyKind()) return false;
    if (time < range.start || time > range.end) return false;
    float u = GetParameter(time, range);
    CQuaternion q0, q1;
    const C3DRotateKey* a = static_cast<const C3DRotateKey*>(prev);
    const C3DRotateKey* b = static_cast<const C3DRotateKey*>(next);
    q0.SetAxisAngle(a->m_axis, double(a->m_angle));
    q1.SetAxisAngle(b->m_axis, double(b->m_angle));
    SetQuaternion(CQuaternion::Slerp(q0, q1, double(u)));
    return true;
}

bool C3DRotateKey::operator==(const C3DKeyframe& other) const {
    if (!C3DKeyframe::operator==(other)) return false;
    const C3DRotateKey& o = static_cast<const C3DRotateKey&>(other);
    return m_axis == o.m_axis && m_angle == o.m_angle;
}

void C3DRotateKey::Serialize(CXArchive& ar) {
    C3DKeyframe::Serialize(ar);
    if (ar.IsStoring()) {
        ar << m_axis << m_angle;
        return;
    }
    C3DTVector<float> axis;
    float angle = 0.0f;
    ar >> axis >> angle;
    SetAxisAngle(axis, angle);
}

void C3DRotateKey::SetMatrix(const C4x4TMatrix<float>& matrix) {
    _MatrixDecomposition parts;
    Decompose(matrix, parts);
    SetQuaternion(parts.rotation);
}

void C3DRotateKey::Conjugate(const C4x4TMatrix<float>& s, const C4x4TMatrix<float>&) {
    // For an orthogonal S (axis swaps, rotations) S R S^-1 is the rotation about S axis by the
    // angle, turned the other way when S mirrors. A uniform scale keeps the rotation.
    C3DTVector<float> axis = s.TransformVector(m_axis);
    float angle = s.Determinant3x3() < 0.0 ? -m_angle : m_angle;
    SetAxisAngle(axis, angle);
}

void C3DRotateKey::SetAxisAngle(const C3DTVector<float>& axis, float radians) {
    m_axis = axis;
    double len = m_axis.Length();
    if (len > 0.0 && std::isfinite(len)) {
        m_axis /= len;
    } else {
        // No direction: no rotation.
        m_axis = C3DTVector<float>(1.0f, 0.0f, 0.0f);
        radians = 0.0f;
    }
    m_angle = radians;
    UpdateMatrix();
}

CQuaternion C3DRotateKey::GetQuaternion() const {
    CQuaternion q;
    q.SetAxisAngle(m_axis, double(m_angle));
    return q;
}

void C3DRotateKey::SetQuaternion(const CQuaternion& q) {
    CQuaternion n(q);
    n.Normalize();
    C3DTVector<float> axis;
    double angle = 0.0;
    n.GetAxisAngle(axis, angle);
    SetAxisAngle(axis, float(angle));
}

void C3DRotateKey::UpdateMatrix() { m_matrix = C4x4TMatrix<float>::Rotation(m_axis, double(m_angle)); }

// ---- C3DVectorKey and its forms ---------------------------------------------------------------

C3DVectorKey::C3DVectorKey(uint64_t classID, const C3DTVector<float>& v) : C3DMatrixKey(classID) { SetVector(v); }

C3DKeyframe& C3DVectorKey::operator=(const C3DKeyframe& other) {
    C3DMatrixKey::operator=(other);
    if (other.GetKeyKind() == GetKeyKind()) m_vector = static_cast<const C3DVectorKey&>(other).m_vector;
    return *this;
}

bool C3DVectorKey::Evaluate(const C3DKeyframe* prev, const C3DKeyframe* next, int time, const CTimeRange& range) {
    if (!prev || !next || prev->GetKeyKind() != GetKeyKind() || next->GetKeyKind() != GetKeyKind()) return false;
    if (time < range.start || time > range.end) return false;
    float u = GetParameter(time, range);
    SetVector(LerpVector(static_cast<const C3DVectorKey*>(prev)->m_vector, static_cast<const C3DVectorKey*>(next)->m_vector, u));
    return true;
}

bool C3DVectorKey::operator==(const C3DKeyframe& other) const {
    return C3DKeyframe::operator==(other) && m_vector == static_cast<const C3DVectorKey&>(other).m_vector;
}

void C3DVectorKey::Serialize(CXArchive& ar) {
    C3DKeyframe::Serialize(ar);
    if (ar.IsStoring()) {
        ar << m_vector;
        return;
    }
    C3DTVector<float> v;
    ar >> v;
    SetVector(v);
}

void C3DVectorKey::SetMatrix(const C4x4TMatrix<float>& matrix) { SetVector(matrix.GetTranslation()); }

void C3DVectorKey::Conjugate(const C4x4TMatrix<float>& s, const C4x4TMatrix<float>&) { SetVector(s.TransformVector(m_vector)); }

void C3DVectorKey::SetVector(const C3DTVector<float>& v) {
    m_vector = v;
    UpdateMatrix();
}

void C3DVectorKey::UpdateMatrix() { m_matrix = C4x4TMatrix<float>::Translation(m_vector.x, m_vector.y, m_vector.z); }

C3DScaleKey::C3DScaleKey(uint64_t classID) : C3DVectorKey(classID) { SetVector(C3DTVector<float>(1.0f, 1.0f, 1.0f)); }

C3DScaleKey::C3DScaleKey(uint64_t classID, const C3DTVector<float>& factors) : C3DVectorKey(classID) {
    SetVector(factors);
}

void C3DScaleKey::SetMatrix(const C4x4TMatrix<float>& matrix) {
    _MatrixDecomposition parts;
    Decompose(matrix, parts);
    SetVector(parts.scale);
}

void C3DScaleKey::Conjugate(const C4x4TMatrix<float>& s, const C4x4TMatrix<float>&) {
    // Each factor follows its axis: the factor of axis i goes to the axis that S maps i onto
    // (the largest entry of column i). A pure scaling maps every axis onto itself.
    float in[3] = {m_vector.x, m_vector.y, m_vector.z};
    float out[3] = {in[0], in[1], in[2]};
    for (int c = 0; c < 3; ++c) {
        int best = c;
        for (int r = 0; r < 3; ++r)
            if (std::fabs(s.m[r][c]) > std::fabs(s.m[best][c])) best = r;
        out[best] = in[c];
    }
    SetVector(C3DTVector<float>(out[0], out[1], out[2]));
}

void C3DScaleKey::UpdateMatrix() { m_matrix = C4x4TMatrix<float>::Scale(m_vector.x, m_vector.y, m_vector.z); }

}  // namespace kestovar
