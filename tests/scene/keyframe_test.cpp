// Animation keys: insertion order and replacement, look-up modes, evaluation with its cache, the
// interpolation of every key class, curves, and the persistence of key lists.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <numbers>

#include "kestovar/core/custom_data.h"
#include "kestovar/scene/keyframe.h"
#include "scene_test_util.h"

namespace {

using namespace kestovar;
using scene_test::Catch;

constexpr uint64_t kFloatType = MakeKeyType(KEY_VALUE_FLOAT, 0x54455354);  // FLOA TEST
constexpr uint64_t kOtherFloat = MakeKeyType(KEY_VALUE_FLOAT, 0x4F544852);  // FLOA OTHR

// Counts OnKeyframesChanged calls per type.
class CCountingOwner : public C3DKeyframable {
public:
    int changes = 0;
    uint64_t lastType = ~0ULL;

protected:
    void OnKeyframesChanged(uint64_t type) override {
        ++changes;
        lastType = type;
    }
};

float FloatAt(C3DKeyframable& owner, int time, uint64_t type = kFloatType) {
    C3DKeyframe* k = owner.Evaluate(time, type);
    EXPECT_NE(k, nullptr);
    return k ? static_cast<C3DFloatKey*>(k)->GetValue() : NAN;
}

TEST(KeyframeTest, FloatKeysInterpolateAndHoldOutsideTheirRange) {
    C3DKeyframable owner;
    owner.AddKey(0, C3DFloatKey(kFloatType, 2.0f));
    owner.AddKey(10, C3DFloatKey(kFloatType, 4.0f));
    EXPECT_EQ(FloatAt(owner, 5), 3.0f);
    EXPECT_EQ(FloatAt(owner, -5), 2.0f);  // before the first key: the first key's value
    EXPECT_EQ(FloatAt(owner, 20), 4.0f);  // after the last key: the last key's value
    EXPECT_EQ(FloatAt(owner, 0), 2.0f);
    EXPECT_EQ(FloatAt(owner, 10), 4.0f);
    EXPECT_FLOAT_EQ(FloatAt(owner, 1), 2.2f);
    // Keys at the ends of the time range (as a file may carry them): the span is wider than an
    // int holds, and the value still lies between the keys' values.
    C3DKeyframable wide;
    wide.AddKey(INT_MIN + 1, C3DFloatKey(kFloatType, 2.0f));
    wide.AddKey(INT_MAX, C3DFloatKey(kFloatType, 4.0f));
    EXPECT_FLOAT_EQ(FloatAt(wide, 0), 3.0f);
    EXPECT_EQ(FloatAt(wide, INT_MAX), 4.0f);
}

TEST(KeyframeTest, NoKeyOfTheTypeEvaluatesToNull) {
    C3DKeyframable owner;
    EXPECT_EQ(owner.Evaluate(0, kFloatType), nullptr);  // no keys at all
    owner.AddKey(0, C3DFloatKey(kFloatType, 1.0f));
    EXPECT_EQ(owner.Evaluate(0, kOtherFloat), nullptr);
    C3DFloatKey probe(kOtherFloat, 7.0f);
    EXPECT_FALSE(owner.Evaluate(0, probe));
    EXPECT_EQ(probe.GetValue(), 7.0f);  // untouched
}

TEST(KeyframeTest, AddKeyKeepsTimeOrderAndReplacesSameTypeAtSameTime) {
    CCountingOwner owner;
    owner.AddKey(10, C3DFloatKey(kFloatType, 1.0f));
    owner.AddKey(0, C3DFloatKey(kFloatType, 2.0f));
    owner.AddKey(5, C3DFloatKey(kOtherFloat, 3.0f));
    // Same time, other type: both stay, the new one after the existing one.
    EXPECT_EQ(owner.AddKey(5, C3DFloatKey(kFloatType, 4.0f)), 2);
    ASSERT_EQ(owner.GetKeyNbr(), 4);
    const int times[] = {0, 5, 5, 10};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(owner.GetKeys()[i].time, times[i]);
    EXPECT_EQ(owner.GetKeys()[1].key->GetClassID(), kOtherFloat);

    // Same type at the same time replaces: still four keys, the new value in place.
    int changesBefore = owner.changes;
    EXPECT_EQ(owner.AddKey(5, C3DFloatKey(kFloatType, 9.0f)), 2);
    EXPECT_EQ(owner.GetKeyNbr(), 4);
    EXPECT_EQ(owner.GetKeyNbr(kFloatType), 3);
    EXPECT_EQ(FloatAt(owner, 5), 9.0f);
    EXPECT_EQ(owner.changes, changesBefore + 1);
    EXPECT_EQ(owner.lastType, kFloatType);
}

TEST(KeyframeTest, GetKeyModes) {
    C3DKeyframable owner;
    owner.AddKey(0, C3DFloatKey(kFloatType, 0.0f));
    owner.AddKey(10, C3DFloatKey(kFloatType, 10.0f));
    owner.AddKey(20, C3DFloatKey(kFloatType, 20.0f));
    owner.AddKey(15, C3DFloatKey(kOtherFloat, 15.0f));
    auto value = [](C3DKeyframe* k) { return k ? static_cast<C3DFloatKey*>(k)->GetValue() : -1.0f; };
    int t = 0;
    EXPECT_EQ(value(owner.GetKey(10, KEY_FIND_AT, kFloatType, t)), 10.0f);
    EXPECT_EQ(t, 10);
    EXPECT_EQ(owner.GetKey(12, KEY_FIND_AT, kFloatType, t), nullptr);
    EXPECT_EQ(t, -1);
    EXPECT_EQ(value(owner.GetKey(10, KEY_FIND_AFTER, kFloatType, t)), 20.0f);  // strictly after, other type skipped
    EXPECT_EQ(value(owner.GetKey(10, KEY_FIND_BEFORE, kFloatType, t)), 0.0f);  // strictly before
    EXPECT_EQ(value(owner.GetKey(10, 5, kFloatType, t)), 10.0f);               // at, else before
    EXPECT_EQ(value(owner.GetKey(12, 5, kFloatType, t)), 10.0f);
    EXPECT_EQ(t, 10);
    EXPECT_EQ(owner.GetKey(-1, 5, kFloatType, t), nullptr);
    EXPECT_EQ(owner.GetKey(20, KEY_FIND_AFTER, kFloatType, t), nullptr);
    EXPECT_EQ(value(owner.GetKey(12, KEY_FIND_AFTER, 0, t)), 15.0f);  // type 0: any type
    EXPECT_EQ(value(owner.GetKey(17, KEY_FIND_BEFORE, kFloatType, t)), 10.0f);  // other type skipped
    owner.AddKey(10, C3DFloatKey(kOtherFloat, 11.0f));                          // two types at one time
    EXPECT_EQ(value(owner.GetKey(10, KEY_FIND_AT, kOtherFloat, t)), 11.0f);
    EXPECT_EQ(value(owner.GetKey(10, KEY_FIND_AT, kFloatType, t)), 10.0f);
    EXPECT_EQ(value(owner.GetKey(10, KEY_FIND_AFTER, kOtherFloat, t)), 15.0f);
    EXPECT_EQ(owner.GetKey(10, KEY_FIND_BEFORE, kOtherFloat, t), nullptr);
    EXPECT_EQ(owner.GetTimeRange(kFloatType), CTimeRange(0, 20));
    EXPECT_EQ(owner.GetTimeRange(kOtherFloat), CTimeRange(10, 15));
    EXPECT_TRUE(owner.GetTimeRange(MakeKeyType(KEY_VALUE_FLOAT, 1)).IsEmpty());

    // The counts per type follow copies and deletions.
    const C3DKeyframable copy(owner);
    owner.DeleteAllKeys(kOtherFloat);
    owner.DeleteKey(0);
    EXPECT_EQ(owner.GetKeyNbr(kOtherFloat), 0);
    EXPECT_EQ(owner.GetKey(12, KEY_FIND_AFTER, kOtherFloat, t), nullptr);
    EXPECT_EQ(owner.GetKeyNbr(kFloatType), 2);
    EXPECT_EQ(copy.GetKeyNbr(kOtherFloat), 2);
    EXPECT_EQ(copy.GetKeyNbr(kFloatType), 3);
    owner.AddKey(12, C3DFloatKey(kOtherFloat, 12.0f));
    owner.AddKey(12, C3DFloatKey(kOtherFloat, 13.0f));  // replaced in place
    EXPECT_EQ(owner.GetKeyNbr(kOtherFloat), 1);
    EXPECT_EQ(value(owner.GetKey(30, KEY_FIND_BEFORE, kOtherFloat, t)), 13.0f);
}

TEST(KeyframeTest, IndexOutOfRangeRaisesInvalidArgument) {
    C3DKeyframable owner;
    owner.AddKey(3, C3DFloatKey(kFloatType, 1.0f));
    int t = 0;
    EXPECT_EQ(owner.GetKeyByIndex(0, t, kFloatType)->GetClassID(), kFloatType);
    EXPECT_EQ(t, 3);
    EXPECT_TRUE(Catch([&] { owner.GetKeyByIndex(1, t); }).invalidArg);
    EXPECT_TRUE(Catch([&] { owner.GetKeyByIndex(0, t, kOtherFloat); }).invalidArg);
    EXPECT_TRUE(Catch([&] { owner.DeleteKey(-1); }).invalidArg);
    EXPECT_TRUE(Catch([&] { owner.DeleteKey(1); }).invalidArg);
    owner.DeleteKey(0);
    EXPECT_FALSE(owner.HasKeys());
}

TEST(KeyframeTest, EvaluationIsCachedUntilKeysOfItsTypeChange) {
    CCountingOwner owner;
    owner.AddKey(0, C3DFloatKey(kFloatType, 2.0f));
    owner.AddKey(10, C3DFloatKey(kFloatType, 4.0f));
    owner.AddKey(0, C3DFloatKey(kOtherFloat, 1.0f));
    C3DKeyframe* first = owner.Evaluate(5, kFloatType);
    EXPECT_EQ(owner.Evaluate(5, kFloatType), first);  // the cached key itself
    C3DKeyframe* other = owner.Evaluate(5, kOtherFloat);
    EXPECT_EQ(owner.GetCacheCount(), 2);

    // A key of another type leaves this type's entry alone.
    owner.AddKey(7, C3DFloatKey(kOtherFloat, 5.0f));
    EXPECT_EQ(owner.GetCacheCount(), 1);
    EXPECT_EQ(owner.Evaluate(5, kFloatType), first);
    EXPECT_NE(owner.Evaluate(5, kOtherFloat), nullptr);
    (void)other;

    // A key of this type drops its entries, and the value follows the new key.
    owner.AddKey(5, C3DFloatKey(kFloatType, 8.0f));
    EXPECT_EQ(FloatAt(owner, 5), 8.0f);
    owner.DeleteAllKeys(kFloatType);
    EXPECT_EQ(owner.Evaluate(5, kFloatType), nullptr);
    EXPECT_EQ(owner.GetKeyNbr(), 2);
    // A type left without keys answers at once at any time, until a key of it comes again.
    EXPECT_EQ(owner.Evaluate(6, kFloatType), nullptr);
    EXPECT_EQ(owner.Evaluate(INT_MIN, kFloatType), nullptr);
    owner.AddKey(3, C3DFloatKey(kFloatType, 6.0f));
    EXPECT_EQ(FloatAt(owner, 6), 6.0f);
    EXPECT_EQ(FloatAt(owner, INT_MIN), 6.0f);
}

TEST(KeyframeTest, IntegerAndColourKeysRoundToNearest) {
    const uint64_t intType = MakeKeyType(KEY_VALUE_INT, 1), uintType = MakeKeyType(KEY_VALUE_UINT, 1);
    const uint64_t colType = MakeKeyType(KEY_VALUE_COLOR, 1), dblType = MakeKeyType(KEY_VALUE_DOUBLE, 1);
    C3DKeyframable owner;
    owner.AddKey(0, C3DIntKey(intType, -10));
    owner.AddKey(4, C3DIntKey(intType, 10));
    owner.AddKey(0, C3DUIntKey(uintType, 0));
    owner.AddKey(3, C3DUIntKey(uintType, 1));
    owner.AddKey(0, C3DColorKey(colType, CRGBColor(0, 100, 255, 255)));
    owner.AddKey(4, C3DColorKey(colType, CRGBColor(255, 101, 0, 0)));
    owner.AddKey(0, C3DDoubleKey(dblType, 1.0));
    owner.AddKey(4, C3DDoubleKey(dblType, 2.0));
    EXPECT_EQ(static_cast<C3DIntKey*>(owner.Evaluate(1, intType))->GetValue(), -5);
    EXPECT_EQ(static_cast<C3DUIntKey*>(owner.Evaluate(2, uintType))->GetValue(), 1u);  // 0.667 rounds up
    EXPECT_EQ(static_cast<C3DUIntKey*>(owner.Evaluate(1, uintType))->GetValue(), 0u);
    // u = 0.25: 63.75 -> 64, 100.25 -> 100, 191.25 -> 191, alpha as well.
    EXPECT_EQ(static_cast<C3DColorKey*>(owner.Evaluate(1, colType))->GetValue(), CRGBColor(64, 100, 191, 191));
    EXPECT_DOUBLE_EQ(static_cast<C3DDoubleKey*>(owner.Evaluate(2, dblType))->GetValue(), 1.5);
}

TEST(KeyframeTest, KeysOfDifferentClassesUnderOneTypeDoNotInterpolate) {
    // Foreign data may put a colour key under a float type; the interpolation fails and the
    // owner hears of it, instead of reading one key's value as another's.
    CCountingOwner owner;
    owner.AddKey(0, C3DFloatKey(kFloatType, 1.0f));
    owner.AddKey(10, C3DColorKey(kFloatType, CRGBColor(1, 2, 3, 4)));
    int before = owner.changes;
    EXPECT_EQ(owner.Evaluate(5, kFloatType), nullptr);
    EXPECT_EQ(owner.changes, before + 1);
    EXPECT_EQ(owner.GetCacheCount(), 0);
    // After the last key there is nothing to blend: its value holds, whatever its class.
    EXPECT_NE(owner.Evaluate(20, kFloatType), nullptr);
}

TEST(KeyframeTest, RotationKeysSlerpAboutTheirAxis) {
    const uint64_t type = MakeKeyType(KEY_VALUE_ROTATE, 1);
    C3DKeyframable owner;
    const C3DTVector<float> z(0, 0, 1);
    owner.AddKey(0, C3DRotateKey(type, z, 0.0f));
    owner.AddKey(10, C3DRotateKey(type, z, float(std::numbers::pi / 2)));
    auto* key = static_cast<C3DRotateKey*>(owner.Evaluate(5, type));
    ASSERT_NE(key, nullptr);
    EXPECT_NEAR(key->GetAngle(), std::numbers::pi / 4, 1e-5);
    EXPECT_NEAR(key->GetAxis().z, 1.0, 1e-5);
    // The matrix follows the parameters: x turns towards y by 45 degrees.
    C3DTVector<float> x = key->GetMatrix().TransformVector(C3DTVector<float>(1, 0, 0));
    EXPECT_NEAR(x.x, std::sqrt(0.5), 1e-5);
    EXPECT_NEAR(x.y, std::sqrt(0.5), 1e-5);
}

TEST(KeyframeTest, TransformKeysRejectTimesOutsideTheirRange) {
    const uint64_t type = MakeKeyType(KEY_VALUE_VECTOR, 1);
    C3DVectorKey a(type, C3DTVector<float>(0, 0, 0)), b(type, C3DTVector<float>(10, 20, -30));
    C3DVectorKey r(type);
    EXPECT_FALSE(r.Evaluate(&a, &b, 11, CTimeRange(0, 10)));
    EXPECT_FALSE(r.Evaluate(&a, &b, -1, CTimeRange(0, 10)));
    C3DRotateKey rot(MakeKeyType(KEY_VALUE_ROTATE, 1));
    EXPECT_FALSE(r.Evaluate(&a, &rot, 5, CTimeRange(0, 10)));  // another class
    ASSERT_TRUE(r.Evaluate(&a, &b, 3, CTimeRange(0, 10)));
    EXPECT_FLOAT_EQ(r.GetVector().y, 6.0f);
    EXPECT_FLOAT_EQ(r.GetVector().z, -9.0f);
    // The vector key's matrix is the translation by the vector.
    EXPECT_FLOAT_EQ(r.GetMatrix().m[1][3], 6.0f);
}

TEST(KeyframeTest, MatrixKeysBlendTranslationRotationAndScale) {
    const uint64_t type = MakeKeyType(KEY_VALUE_MATRIX, 1);
    C4x4TMatrix<float> m0 = C4x4TMatrix<float>::Translation(0, 0, 0);
    C4x4TMatrix<float> m1 = C4x4TMatrix<float>::Translation(4, 0, 0) * C4x4TMatrix<float>::RotationZ(std::numbers::pi / 2) *
                            C4x4TMatrix<float>::Scale(3, 3, 3);
    C3DKeyframable owner;
    owner.AddKey(0, C3DMatrixKey(type, m0));
    owner.AddKey(2, C3DMatrixKey(type, m1));
    auto* key = static_cast<C3DMatrixKey*>(owner.Evaluate(1, type));
    ASSERT_NE(key, nullptr);
    C4x4TMatrix<float> expected = C4x4TMatrix<float>::Translation(2, 0, 0) *
                                  C4x4TMatrix<float>::RotationZ(std::numbers::pi / 4) * C4x4TMatrix<float>::Scale(2, 2, 2);
    scene_test::ExpectMatrixNear(key->GetMatrix(), expected);

    // A key with a shear (a scale along axes the rotation turned) is itself at its own time and
    // between two equal keys, though the blend of translation, rotation and scale cannot hold it.
    const C4x4TMatrix<float> sheared =
        C4x4TMatrix<float>::Scale(1, 3, 1) * C4x4TMatrix<float>::RotationZ(0.5);
    C3DKeyframable held;
    held.AddKey(0, C3DMatrixKey(type, sheared));
    held.AddKey(10, C3DMatrixKey(type, sheared));
    held.AddKey(20, C3DMatrixKey(type, m1));
    for (const int time : {0, 5, 10}) {
        key = static_cast<C3DMatrixKey*>(held.Evaluate(time, type));
        ASSERT_NE(key, nullptr);
        EXPECT_TRUE(key->GetMatrix() == sheared) << time;
    }
}

TEST(KeyframeTest, ScaleKeysDefaultToOneAndFollowAxisSwaps) {
    C3DScaleKey s(MakeKeyType(KEY_VALUE_SCALE, 1));
    EXPECT_EQ(s.GetVector(), C3DTVector<float>(1, 1, 1));
    s.SetVector(C3DTVector<float>(2, 3, 4));
    // Exchanging y and z moves the factors with their axes; the sign of a mirror is not a factor.
    C4x4TMatrix<float> swap = GetSwapMatrix(0x44);
    s.Conjugate(swap, swap.GetInverse());
    EXPECT_EQ(s.GetVector(), C3DTVector<float>(2, 4, 3));
}

TEST(KeyframeTest, EaseCurveRemapsTheParameterMonotonically) {
    C3DTCBCurve curve(0, 0, 0, 0.5f, 0.5f);
    EXPECT_DOUBLE_EQ(curve.MapParameter(0.0), 0.0);
    EXPECT_DOUBLE_EQ(curve.MapParameter(1.0), 1.0);
    EXPECT_NEAR(curve.MapParameter(0.5), 0.5, 1e-12);  // symmetric ease
    EXPECT_LT(curve.MapParameter(0.1), 0.1);          // slow start
    double previous = -1.0;
    for (int i = 0; i <= 100; ++i) {
        double v = curve.MapParameter(i / 100.0);
        EXPECT_GE(v, previous);
        previous = v;
    }
    // An ease of 0 at one end leaves that end a straight line, reaching 0 and 1 exactly.
    for (const C3DTCBCurve& oneSided : {C3DTCBCurve(0, 0, 0, 0.0f, 0.5f), C3DTCBCurve(0, 0, 0, 0.5f, 0.0f)}) {
        EXPECT_DOUBLE_EQ(oneSided.MapParameter(0.0), 0.0);
        EXPECT_DOUBLE_EQ(oneSided.MapParameter(1.0), 1.0);
    }
    // A key with the curve eases its interpolation.
    C3DKeyframable owner;
    C3DFloatKey* k0 = new C3DFloatKey(kFloatType, 0.0f);
    k0->SetCurve(new C3DTCBCurve(0, 0, 0, 0.0f, 1.0f));
    owner.AddKey(0, k0);
    owner.AddKey(10, C3DFloatKey(kFloatType, 10.0f));
    EXPECT_LT(FloatAt(owner, 2), 2.0f);
}

TEST(KeyframeTest, KeyListsRoundTripThroughTheArchive) {
    C3DKeyframable source;
    C3DFloatKey* f = new C3DFloatKey(kFloatType, 1.5f);
    f->GetUserData(true)->SetInt(0x41424344, 42);
    f->SetCurve(new C3DTCBCurve(0.1f, 0.2f, 0.3f, 0.4f, 0.5f));
    source.AddKey(-3, f);
    source.AddKey(7, C3DRotateKey(MakeKeyType(KEY_VALUE_ROTATE, 2), C3DTVector<float>(0, 1, 0), 1.0f));
    source.AddKey(7, C3DColorKey(MakeKeyType(KEY_VALUE_COLOR, 3), CRGBColor(1, 2, 3, 4)));
    source.AddKey(9, C3DMatrixKey(MakeKeyType(KEY_VALUE_MATRIX, 4), C4x4TMatrix<float>::Translation(1, 2, 3)));
    source.AddKey(9, C3DScaleKey(MakeKeyType(KEY_VALUE_SCALE, 5), C3DTVector<float>(1, 2, 3)));
    source.AddKey(9, C3DTranslateKey(MakeKeyType(KEY_VALUE_TRANSLATE, 6), C3DTVector<float>(4, 5, 6)));
    scene_test::Bytes bytes = scene_test::Store([&](CXArchive& ar) { source.SerializeKeys(ar); });

    C3DKeyframable copy;
    copy.AddKey(0, C3DFloatKey(kOtherFloat, 1.0f));  // replaced by the loaded list
    scene_test::Load(bytes, [&](CXArchive& ar) { copy.SerializeKeys(ar); });
    EXPECT_TRUE(copy.IsKeysEqual(source));
    EXPECT_EQ(copy.GetKeys()[5].key->GetKeyKind(), KEY_VALUE_TRANSLATE);

    // A value change is seen by the comparison.
    static_cast<C3DFloatKey*>(copy.GetKeys()[0].key)->SetValue(2.0f);
    EXPECT_FALSE(copy.IsKeysEqual(source));
}

TEST(KeyframeTest, MalformedKeyListsRaiseAndLeakNothing) {
    C3DKeyframable source;
    source.AddKey(1, C3DFloatKey(kFloatType, 1.0f));
    scene_test::Bytes bytes = scene_test::Store([&](CXArchive& ar) { source.SerializeKeys(ar); });
    // Every prefix is cut short somewhere.
    for (size_t n = 0; n < bytes.size(); ++n) {
        scene_test::Bytes cut(bytes.begin(), bytes.begin() + long(n));
        C3DKeyframable target;
        EXPECT_TRUE(Catch([&] { scene_test::Load(cut, [&](CXArchive& ar) { target.SerializeKeys(ar); }); }).any) << n;
    }
    // An unknown value-type code is refused by class.
    scene_test::Bytes bad = bytes;
    bad[2 + 4 + 7] = 'X';  // count (2), time (4), then the high byte of the type
    C3DKeyframable target;
    scene_test::Raised r = Catch([&] { scene_test::Load(bad, [&](CXArchive& ar) { target.SerializeKeys(ar); }); });
    EXPECT_TRUE(r.archive);
    EXPECT_EQ(r.cause, CXArchiveException::badClass);
    // A forged count larger than the data fails before looping.
    scene_test::Bytes forged = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
    EXPECT_TRUE(Catch([&] { scene_test::Load(forged, [&](CXArchive& ar) { target.SerializeKeys(ar); }); }).archive);
}

TEST(KeyframeTest, CreateKeyMatchesTheValueTypeCode) {
    for (uint32_t code : {KEY_VALUE_INT, KEY_VALUE_UINT, KEY_VALUE_FLOAT, KEY_VALUE_DOUBLE, KEY_VALUE_COLOR,
                          KEY_VALUE_MATRIX, KEY_VALUE_ROTATE, KEY_VALUE_TRANSLATE, KEY_VALUE_SCALE, KEY_VALUE_VECTOR}) {
        C3DKeyframe* k = C3DKeyframe::CreateKey(MakeKeyType(code, 7));
        ASSERT_NE(k, nullptr);
        EXPECT_EQ(k->GetKeyKind(), code);
        EXPECT_EQ(k->GetTypeID(), code);
        EXPECT_EQ(k->GetContentID(), 7u);
        delete k;
    }
    EXPECT_EQ(C3DKeyframe::CreateKey(MakeKeyType(0x12345678, 1)), nullptr);
    C3DKeyframable owner;
    EXPECT_EQ(owner.CreateKey(0, MakeKeyType(0x12345678, 1)), nullptr);
    EXPECT_FALSE(owner.HasKeys());
}

}  // namespace
