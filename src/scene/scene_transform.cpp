// C3DScene: scene-wide geometry changes (baking transforms, axis conventions, scaling, up axis,
// pivots) and units.
#include <algorithm>
#include <cmath>

#include "kestovar/scene/keyframe.h"
#include "kestovar/scene/scene.h"

namespace kestovar {

namespace {

C3DSceneNode* AsNode(CTreeNode* node) { return static_cast<C3DSceneNode*>(node); }

// Swap codes (see C3DTPoint::Swap) of the quarter turns about x between the up axes: y and z
// exchanged, then the new z (Z up to Y up) or the new y (Y up to Z up) negated. Both are
// rotations, so no face is flipped.
constexpr unsigned int kZUpToYUp = 0x44;
constexpr unsigned int kYUpToZUp = 0x24;

// One object placement decided while baking: the object the node ends with and the matrix it
// receives.
struct BakeEntry {
    C3DBaseObject* target;
    C4x4TMatrix<float> matrix;
    int next;  // the next entry of the same source object, -1 at the end
};

}  // namespace

void C3DScene::GetRelativeTM(C3DSceneNode* node, C3DSceneNode* start, int time, C4x4TMatrix<float>& matrix) {
    node->GetNodeTM(time, matrix, true);
    C3DSceneNode* above = start ? start->GetParentNode() : nullptr;
    if (!above) return;
    // The product of the local transforms left above the branch, which stay as they are.
    C4x4TMatrix<float> outside, local;
    for (C3DSceneNode* p = above; p; p = p->GetParentNode()) {
        p->GetNodeLocalTM(time, local);
        outside = local * outside;
    }
    matrix = outside.GetInverse() * matrix;
}

bool C3DScene::ConvertToGlobalCoordinates(int time, C3DSceneNode* start) {
    if (!start) start = GetRoot();
    if (start->m_pScene != this) return false;

    // Placements of each object inside the branch: an object also placed outside it must not
    // change for those other nodes, so the branch then works on a copy.
    CHashMap<unsigned int, unsigned int, int> placements;
    for (CTreeNode* n = start; n; n = start->NextInSubtree(n))
        if (C3DBaseObject* object = AsNode(n)->GetBaseObject()) ++placements.GetOrInsert(object->GetObjectID());

    // Every matrix is computed before any transform is reset.
    CXArray<C3DSceneNode*> nodes;
    CXArray<C4x4TMatrix<float>> matrices;
    for (CTreeNode* n = start; n; n = start->NextInSubtree(n)) {
        C4x4TMatrix<float> m;
        GetRelativeTM(AsNode(n), start, time, m);
        nodes.Add(AsNode(n));
        matrices.Add(m);
    }

    // Decide which object each node ends with: nodes of one object with the same matrix keep
    // sharing it; a different matrix gets a copy of its own.
    // The entries of each source object are chained from `firstEntry`, so that a scene of many
    // objects is not searched entry by entry for each node.
    CXArray<BakeEntry> entries;
    CHashMap<unsigned int, unsigned int, int> firstEntry;
    for (int i = 0; i < nodes.GetSize(); ++i) {
        C3DSceneNode* node = nodes[i];
        C3DBaseObject* object = node->GetBaseObject();
        if (!object) continue;
        const unsigned int id = object->GetObjectID();
        const int* first = firstEntry.Find(id);
        int same = -1;
        for (int e = first ? *first : -1; e >= 0 && same < 0; e = entries[e].next)
            if (entries[e].matrix == matrices[i]) same = e;
        if (same >= 0) {
            if (entries[same].target != object) node->SetObject(entries[same].target->Copy(OBJECT_COPY_INSTANCE), true);
            continue;
        }
        C3DBaseObject* target = object;
        if (first || object->GetInstanceCount() > *placements.Find(id)) {
            target = object->Copy(0);
            if (!target) continue;
            node->SetObject(target, true);
        }
        entries.Add(BakeEntry{target, matrices[i], first ? *first : -1});
        firstEntry.GetOrInsert(id) = entries.GetSize() - 1;
    }

    bool changed = false;
    for (const BakeEntry& e : entries) changed = e.target->MatrixTransform(e.matrix) || changed;
    const C4x4TMatrix<float> identity;
    for (C3DSceneNode* node : nodes) {
        node->DeleteLocalTMKeys();
        node->DeleteAllKeys(KEY_NODE_PIVOT);
        node->m_objectOffset = identity;
    }
    start->InvalidateTMCache();
    return changed;
}

namespace {

// Whether the linear part of `s` keeps angles (a rotation or mirror times one scale): then
// s R s^-1 is a rotation for every rotation R. Otherwise (a non-uniform scale) it is in general
// a rotation with shear, which a rotation key cannot hold.
bool IsSimilarity(const C4x4TMatrix<float>& s) {
    double column[3][3];
    for (int c = 0; c < 3; ++c)
        for (int r = 0; r < 3; ++r) column[c][r] = s.m[r][c];
    auto dot = [&](int a, int b) {
        return column[a][0] * column[b][0] + column[a][1] * column[b][1] + column[a][2] * column[b][2];
    };
    const double scale = dot(0, 0);
    const double tolerance = 1e-6 * scale;
    return std::fabs(dot(1, 1) - scale) <= tolerance && std::fabs(dot(2, 2) - scale) <= tolerance &&
           std::fabs(dot(0, 1)) <= tolerance && std::fabs(dot(0, 2)) <= tolerance &&
           std::fabs(dot(1, 2)) <= tolerance;
}

// Replaces the position, rotation and scale keys of a node that turns by matrix keys of its
// local transform at each of their times, so that conjugating by a non-uniform scale stays exact
// at every key. Each matrix key takes the interpolation curve of a key at its time (the
// rotation's first, then the position's, then the scale's); between keys the matrices
// interpolate (through their translation, rotation and scale, so a shear shows only at the keys).
void TurningKeysToMatrices(C3DSceneNode& node) {
    struct Source {
        int time;
        int rank;  // 0 rotation, 1 position, 2 scale: whose curve the time's matrix key takes
        const C3DKeyCurve* curve;
    };
    bool turns = false;
    CXArray<Source> sources;
    for (const C3DKeyEntry& e : node.GetKeys()) {
        const uint64_t type = e.key->GetClassID();
        if (type == KEY_NODE_MATRIX) return;  // already a matrix: conjugated as it is
        int rank;
        if (type == KEY_NODE_ROTATION) {
            // A rotation held by another kind of key counts as turning.
            const bool rotateKey = e.key->GetKeyKind() == KEY_VALUE_ROTATE;
            if (!rotateKey || static_cast<const C3DRotateKey*>(e.key)->GetAngle() != 0.0f) turns = true;
            rank = 0;
        } else if (type == KEY_NODE_POSITION) {
            rank = 1;
        } else if (type == KEY_NODE_SCALE) {
            rank = 2;
        } else {
            continue;
        }
        sources.Add(Source{e.time, rank, e.key->GetCurve()});
    }
    if (!turns) return;
    std::sort(sources.GetData(), sources.GetData() + sources.GetSize(), [](const Source& a, const Source& b) {
        return a.time != b.time ? a.time < b.time : a.rank < b.rank;
    });
    // One matrix key per time, made before the keys (and their curves) go.
    CXArray<C3DKeyframe*> made;
    CXArray<int> times;
    try {
        for (int i = 0; i < sources.GetSize();) {
            const int time = sources[i].time;
            const C3DKeyCurve* curve = nullptr;
            for (; i < sources.GetSize() && sources[i].time == time; ++i)
                if (!curve) curve = sources[i].curve;
            C4x4TMatrix<float> local;
            node.GetNodeLocalTM(time, local);
            times.Add(time);
            const int slot = made.Add(nullptr);  // the slot first: a key made is never unowned
            made[slot] = new C3DMatrixKey(KEY_NODE_MATRIX, local);
            if (curve) made[slot]->SetCurve(curve->Clone());
        }
    } catch (...) {
        for (C3DKeyframe* key : made) delete key;
        throw;
    }
    for (uint64_t type : {KEY_NODE_POSITION, KEY_NODE_ROTATION, KEY_NODE_SCALE}) node.DeleteAllKeys(type);
    for (int i = 0; i < made.GetSize(); ++i) node.AddKey(times[i], made[i]);
}

}  // namespace

void C3DScene::TransformConvention(const C4x4TMatrix<float>& s) {
    C4x4TMatrix<float> inverse = s.GetInverse();
    const bool similarity = IsSimilarity(s);
    CHashTable<unsigned int> done;
    C3DSceneNode* root = GetRoot();
    for (CTreeNode* n = root; n; n = root->NextInSubtree(n)) {
        C3DSceneNode* node = AsNode(n);
        if (!similarity) TurningKeysToMatrices(*node);
        node->ConjugateKeys(s, inverse);
        C3DBaseObject* object = node->GetBaseObject();
        if (object && done.Insert(object->GetObjectID())) object->MatrixTransform(s);
    }
    root->InvalidateTMCache();
}

void C3DScene::SwapCoordinates(unsigned int code) {
    if ((code & 0x7u) == 0 && (code & 0x70u) == 0) return;
    TransformConvention(GetSwapMatrix(code));
}

void C3DScene::Scale(const C3DTVector<float>& factors) {
    TransformConvention(C4x4TMatrix<float>::Scale(factors.x, factors.y, factors.z));
}

_UP_AXIS_MODE C3DScene::GetUpAxis() const {
    uint32_t axis = UP_AXIS_NONE;
    m_properties.GetUInt(SCENE_PROP_UP_AXIS, axis, UP_AXIS_NONE);
    return _UP_AXIS_MODE(axis);
}

void C3DScene::SetUpAxis(_UP_AXIS_MODE upAxis) {
    if (upAxis == UP_AXIS_NONE)
        m_properties.RemoveCustom(SCENE_PROP_UP_AXIS);
    else
        m_properties.SetUInt(SCENE_PROP_UP_AXIS, uint32_t(upAxis));
}

bool C3DScene::OrientScene(_UP_AXIS_MODE upAxis, bool rootOnly) {
    _UP_AXIS_MODE current = GetUpAxis();
    if (current == UP_AXIS_NONE || upAxis == UP_AXIS_NONE || current == upAxis) return false;
    if (current != UP_AXIS_Y && current != UP_AXIS_Z) return false;
    if (upAxis != UP_AXIS_Y && upAxis != UP_AXIS_Z) return false;
    unsigned int code = upAxis == UP_AXIS_Y ? kZUpToYUp : kYUpToZUp;
    if (rootOnly) {
        // The turn goes in front of the root's own transform (its animation reduced to time 0).
        GetRoot()->BakeLocalTM(GetSwapMatrix(code), 0);
    } else {
        SwapCoordinates(code);
    }
    SetUpAxis(upAxis);
    return true;
}

bool C3DScene::CenterPivotOnCG(C3DSceneNode* node) {
    if (!node || node->m_pScene != this) return false;
    C3DTPoint<float> cg;
    if (!node->GetCG(cg, false)) return false;
    C3DBaseObject* object = node->GetBaseObject();
    object->MatrixTransform(C4x4TMatrix<float>::Translation(-cg.x, -cg.y, -cg.z));
    const C4x4TMatrix<float> back = C4x4TMatrix<float>::Translation(cg.x, cg.y, cg.z);
    CXArray<C3DSceneNode*> holders;
    GetInstancesByID(holders, object->GetObjectID());
    for (C3DSceneNode* holder : holders) holder->SetObjectOffset(holder->GetObjectOffset() * back);
    return true;
}

// ---- units ------------------------------------------------------------------------------------------

void C3DScene::SetUnit(_UNIT_MODE unit, double scaleFactor) {
    m_properties.SetUInt(SCENE_PROP_UNIT, uint32_t(unit));
    m_properties.SetDouble(SCENE_PROP_SCALE, scaleFactor);
}

_UNIT_MODE C3DScene::GetUnit() const {
    uint32_t unit = UNIT_NONE;
    m_properties.GetUInt(SCENE_PROP_UNIT, unit, UNIT_NONE);
    return _UNIT_MODE(unit);
}

double C3DScene::GetScaleFactor() const {
    double factor = 1.0;
    m_properties.GetDouble(SCENE_PROP_SCALE, factor, 1.0);
    return factor;
}

bool C3DScene::IsUnitDefined() const { return m_properties.HasData(SCENE_PROP_SCALE); }

double C3DScene::GetUnitFactor(_UNIT_MODE unit) {
    switch (unit) {
        case UNIT_MILLIMETER: return 0.001;
        case UNIT_CENTIMETER: return 0.01;
        case UNIT_METER: return 1.0;
        case UNIT_KILOMETER: return 1000.0;
        case UNIT_INCH: return 0.0254;
        case UNIT_FOOT: return 0.3048;
        case UNIT_YARD: return 0.9144;
        case UNIT_MILE: return 1609.344;
        default: return 1.0;
    }
}

CXTString<wchar_t> C3DScene::GetUnitText(_UNIT_MODE unit) {
    switch (unit) {
        case UNIT_MILLIMETER: return L"mm";
        case UNIT_CENTIMETER: return L"cm";
        case UNIT_METER: return L"m";
        case UNIT_KILOMETER: return L"km";
        case UNIT_INCH: return L"in";
        case UNIT_FOOT: return L"ft";
        case UNIT_YARD: return L"yd";
        case UNIT_MILE: return L"mi";
        default: return CXTString<wchar_t>();
    }
}

bool C3DScene::ConvertToUnit(_UNIT_MODE unit) {
    _UNIT_MODE current = GetUnit();
    if (!IsUnitDefined() || current == UNIT_NONE || unit == UNIT_NONE) return false;
    double f = GetUnitFactor(current) * GetScaleFactor() / GetUnitFactor(unit);
    if (f != 1.0) Scale(C3DTVector<float>(float(f), float(f), float(f)));
    SetUnit(unit, 1.0);
    return true;
}

}  // namespace kestovar
