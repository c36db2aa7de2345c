// C3DExtObject: optimisation modes, tolerances, material exclusion, the attribute queries and the
// point-flag initialisers that classify the initial points before selection.
//
// Every setter returns whether anything changed. An effective change clears the ready flag of
// each preparation stage whose result it affects and drops the computed optimisation, so that the
// next InitOptimization redoes only those stages:
//   - selection bits, border, material and corner groups, excluded materials: the selection;
//   - the texture, colour and normal groups: the selection, the matching attribute flags and the
//     two state bits reserved for attribute work (0x200, 0x1000000);
//   - the symmetry axes: the symmetry map (whose rebuild in turn re-runs the selection);
//   - tolerances: the attribute flags they parameterise, and only while their group is on.
#include <cmath>
#include <initializer_list>

#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/channels.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/normal_channel.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/mesh/symmetry_map.h"
#include "kestovar/optimizer/scene_optimizer.h"
#include "kestovar/simplify/ext_object.h"

namespace kestovar {

namespace {

// Defaults of the tolerances that were never set (stored as -1).
constexpr float kDefaultUVWTolerance = 0.0f;
constexpr int kDefaultVCTolerance = 30;
constexpr double kDefaultNormalThreshold = 0.17453292519943295;  // 10 degrees
constexpr float kDefaultSymetryTolerance = 0.0f;
constexpr double kMaxNormalThreshold = 1.5707963267948966;  // pi / 2

// Mode groups: their bits and the state flags a change of the group clears.
constexpr unsigned long long kSelectionBits = OPT_SELECTION_MASK;
constexpr unsigned long long kBorderBits = OPT_BORDER_MASK;
constexpr unsigned long long kMaterialBits = OPT_KEEP_MATERIAL | OPT_MATERIAL_SUB_MASK;
constexpr unsigned long long kUVWBits = OPT_KEEP_UVW | OPT_UVW_SUB_MASK;
constexpr unsigned long long kVCBits = OPT_KEEP_VC | OPT_VC_SUB_MASK;
constexpr unsigned long long kNormalBits = OPT_KEEP_NORMALS | OPT_NORMALS_SUB_MASK;
constexpr unsigned long long kSymmetryBits = OPT_SYMMETRY_MASK;
constexpr unsigned long long kCornerBits = OPT_CORNERS_MASK;

constexpr unsigned int kAttributeWork = EXT_SELECTION_READY | EXT_RESERVED_200 | EXT_RESERVED_1000000;

// The state flags made stale by a change of the mode bits `changed`.
unsigned int StaleFlags(unsigned long long changed) {
    unsigned int stale = 0;
    if (changed & (kSelectionBits | kBorderBits | kMaterialBits | kCornerBits)) stale |= EXT_SELECTION_READY;
    // The attribute flags are recomputed too: switching a keep bit on must find the seams that
    // the initialiser cleared while the bit was off.
    if (changed & kUVWBits) stale |= kAttributeWork | EXT_UVW_FLAGS_READY;
    if (changed & kVCBits) stale |= kAttributeWork | EXT_VC_FLAGS_READY;
    if (changed & kNormalBits) stale |= kAttributeWork | EXT_NORMAL_FLAGS_READY;
    if (changed & kSymmetryBits) stale |= EXT_SYMMETRY_READY;
    return stale;
}

// Replaces the bits `mask` of `word` by `value` when `on`, else clears them.
inline unsigned long long ReplaceBits(unsigned long long word, unsigned long long mask,
                                      unsigned long long value, bool on) {
    word &= ~mask;
    return on ? word | value : word;
}

// The first of `candidates` (in order) present in `mode`, or 0.
inline unsigned long long FirstPresent(unsigned long long mode,
                                       std::initializer_list<unsigned long long> candidates) {
    for (unsigned long long c : candidates)
        if (mode & c) return c;
    return 0;
}

}  // namespace

// ---- channel queries -----------------------------------------------------------------------------

bool C3DExtObject::ContainUVWInfo() const {
    if (!m_pInitialChannels) return false;
    for (int i = 0;; ++i) {
        const CChannel* c = m_pInitialChannels->GetChannelByIndex(i, CHANNEL_UVW, false);
        if (!c) return false;
        if (!c->IsFlagSet(CHANNEL_DERIVED)) return true;
    }
}

bool C3DExtObject::ContainVCInfo() const {
    return m_pInitialChannels && m_pInitialChannels->GetChannelsNumber(CHANNEL_VC, false) > 0;
}

bool C3DExtObject::ContainNormalInfo() const {
    return m_pInitialChannels && m_pInitialChannels->GetSpecNormalChannel() != nullptr;
}

// ---- modes ---------------------------------------------------------------------------------------

namespace {

// Whether the initial channels hold a channel of `type` (what an attribute group needs).
bool HasChannel(const CDependentChannels* channels, unsigned int type) {
    return channels && channels->GetChannelsNumber(type, false) > 0;
}

}  // namespace

bool C3DExtObject::SetOptimizeMode(OPTIMIZE_MODE value, bool on) {
    const unsigned long long old = m_optimizeMode;
    unsigned long long m = old;
    // An attribute group asked for without its channel: the keep bit goes, nothing else happens.
    auto refuse = [this](unsigned long long keep) {
        m_optimizeMode &= ~keep;
        return false;
    };
    switch (static_cast<unsigned long long>(value)) {
        case OPT_PROTECT_SELECTION:
        case OPT_SELECTION_ONLY:
        case OPT_SELECTION_MASK:
            m = ReplaceBits(m, kSelectionBits, value, on);
            break;
        case OPT_KEEP_BORDER:
        case OPT_CONSTRAIN_BORDER:
        case OPT_FREEZE_BORDER:
            // A border option is replaced, never switched off, through this call.
            m = ReplaceBits(m, kBorderBits, value, true);
            break;
        case OPT_KEEP_MATERIAL:
            m = ReplaceBits(m, OPT_KEEP_MATERIAL, value, on);
            break;
        case OPT_CONSTRAIN_MATERIAL:
        case OPT_FREEZE_MATERIAL:
        case OPT_MATERIAL_SUB_MASK:
            m = ReplaceBits(m, OPT_MATERIAL_SUB_MASK, value, on);
            break;
        case OPT_KEEP_UVW:
            if (!HasChannel(m_pInitialChannels, CHANNEL_UVW)) return refuse(OPT_KEEP_UVW);
            m = ReplaceBits(m, OPT_KEEP_UVW, value, on);
            break;
        case OPT_CONSTRAIN_UVW:
        case OPT_FREEZE_UVW:
        case OPT_UVW_SUB_MASK:
            if (!HasChannel(m_pInitialChannels, CHANNEL_UVW)) return refuse(OPT_KEEP_UVW);
            m = ReplaceBits(m, OPT_UVW_SUB_MASK, value, on);
            break;
        case OPT_KEEP_VC:
            if (!HasChannel(m_pInitialChannels, CHANNEL_VC)) return refuse(OPT_KEEP_VC);
            m = ReplaceBits(m, OPT_KEEP_VC, value, on);
            break;
        case OPT_CONSTRAIN_VC:
        case OPT_FREEZE_VC:
        case OPT_VC_SUB_MASK:
            if (!HasChannel(m_pInitialChannels, CHANNEL_VC)) return refuse(OPT_KEEP_VC);
            m = ReplaceBits(m, OPT_VC_SUB_MASK, value, on);
            break;
        case OPT_KEEP_NORMALS:
            if (!HasChannel(m_pInitialChannels, CHANNEL_SPEC_NORMAL)) return refuse(OPT_KEEP_NORMALS);
            m = ReplaceBits(m, OPT_KEEP_NORMALS, value, on);
            break;
        case OPT_CONSTRAIN_NORMALS:
        case OPT_FREEZE_NORMALS:
        case OPT_NORMALS_SUB_MASK:
            if (!HasChannel(m_pInitialChannels, CHANNEL_SPEC_NORMAL)) return refuse(OPT_KEEP_NORMALS);
            m = ReplaceBits(m, OPT_NORMALS_SUB_MASK, value, on);
            break;
        case OPT_SYMMETRY_Z:
        case OPT_SYMMETRY_Y:
        case OPT_SYMMETRY_X:
        case OPT_SYMMETRY_MASK:
            if ((m & kSymmetryBits) == value) return false;
            m = ReplaceBits(m, kSymmetryBits, value, on);
            break;
        case OPT_CHECK_COMPACITY:
        case OPT_CHECK_FLIP:
        case OPT_STOP_ON_BAD:
        case OPT_ENDPOINTS_ONLY:
        case OPT_TRIANGULATE_ALL:
            m = ReplaceBits(m, value, value, on);
            break;
        case OPT_KEEP_CORNERS:
        case OPT_CONSTRAIN_CORNERS:
        case OPT_FREEZE_CORNERS:
        case OPT_CORNERS_MASK:
            m = ReplaceBits(m, kCornerBits, value, on);
            break;
        default:
            return false;
    }
    if (m == old) return false;
    m_optimizeMode = m;
    SetExtFlags(StaleFlags(m ^ old), false);
    InvalidateOptimization();
    if (m_lockCount == 0) InitOptimization(true);
    return true;
}

bool C3DExtObject::SetOptimizeMode(unsigned long long mode, bool /*set*/) {
    const unsigned long long old = m_optimizeMode;
    unsigned long long m = old;

    const unsigned long long border =
        FirstPresent(mode, {OPT_KEEP_BORDER, OPT_CONSTRAIN_BORDER, OPT_FREEZE_BORDER});
    if (border) m = ReplaceBits(m, kBorderBits, border, true);
    m = ReplaceBits(m, kSelectionBits, FirstPresent(mode, {OPT_PROTECT_SELECTION, OPT_SELECTION_ONLY}), true);
    m = ReplaceBits(m, OPT_KEEP_MATERIAL, mode & OPT_KEEP_MATERIAL, true);
    m = ReplaceBits(m, OPT_MATERIAL_SUB_MASK,
                    FirstPresent(mode, {OPT_CONSTRAIN_MATERIAL, OPT_FREEZE_MATERIAL}), true);

    // Attribute groups: the keep bit only with its channel; the sub-bits as asked.
    struct AttributeGroup {
        unsigned long long keep, constrain, freeze;
        unsigned int channel;
    };
    const AttributeGroup groups[] = {
        {OPT_KEEP_UVW, OPT_CONSTRAIN_UVW, OPT_FREEZE_UVW, CHANNEL_UVW},
        {OPT_KEEP_VC, OPT_CONSTRAIN_VC, OPT_FREEZE_VC, CHANNEL_VC},
        {OPT_KEEP_NORMALS, OPT_CONSTRAIN_NORMALS, OPT_FREEZE_NORMALS, CHANNEL_SPEC_NORMAL},
    };
    for (const AttributeGroup& g : groups) {
        const bool keep = (mode & g.keep) && HasChannel(m_pInitialChannels, g.channel);
        m = ReplaceBits(m, g.keep, g.keep, keep);
        m = ReplaceBits(m, g.constrain | g.freeze, FirstPresent(mode, {g.constrain, g.freeze}), true);
    }

    m = ReplaceBits(m, kSymmetryBits, FirstPresent(mode, {OPT_SYMMETRY_Z, OPT_SYMMETRY_Y, OPT_SYMMETRY_X}),
                    true);
    const unsigned long long copied =
        OPT_CHECK_COMPACITY | OPT_CHECK_FLIP | OPT_STOP_ON_BAD | OPT_ENDPOINTS_ONLY;
    m = ReplaceBits(m, copied, mode & copied, true);
    m = ReplaceBits(m, kCornerBits,
                    FirstPresent(mode, {OPT_KEEP_CORNERS, OPT_CONSTRAIN_CORNERS, OPT_FREEZE_CORNERS}), true);
    // OPT_TRIANGULATE_ALL is set only through the single-value form.

    // One re-preparation for the whole word, at the final unlock.
    LockInitialization();
    const bool changed = m != old;
    if (changed) {
        m_optimizeMode = m;
        SetExtFlags(StaleFlags(m ^ old), false);
        InvalidateOptimization();
    }
    UnlockInitialization();
    return changed;
}

bool C3DExtObject::SetOptimizeExtMode(unsigned long long bits, bool /*set*/) {
    const unsigned long long old = m_optimizeExtMode;
    m_optimizeExtMode |= bits;
    return m_optimizeExtMode != old;
}

// ---- tolerances ----------------------------------------------------------------------------------

bool C3DExtObject::SetUVWTolerance(float tolerance) {
    if (!(tolerance >= 0.0f)) tolerance = 0.0f;  // NaN too
    if (tolerance > 1.0f) tolerance = 1.0f;
    if (tolerance == m_uvwTolerance) return false;
    m_uvwTolerance = tolerance;
    if (!(m_optimizeMode & OPT_KEEP_UVW)) return false;
    SetExtFlag(EXT_UVW_FLAGS_READY, false);
    InvalidateOptimization();
    return true;
}

float C3DExtObject::GetUVWTolerance() const {
    return (m_optimizeMode & OPT_KEEP_UVW) ? m_uvwTolerance : -1.0f;
}

bool C3DExtObject::SetVCTolerance(int tolerance) {
    if (tolerance < 0) tolerance = 0;
    if (tolerance > 255) tolerance = 255;
    if (tolerance == m_vcTolerance) return false;
    m_vcTolerance = tolerance;
    if (!(m_optimizeMode & OPT_KEEP_VC)) return false;
    SetExtFlag(EXT_VC_FLAGS_READY, false);
    InvalidateOptimization();
    return true;
}

int C3DExtObject::GetVCTolerance() const {
    return (m_optimizeMode & OPT_KEEP_VC) ? m_vcTolerance : -1;
}

bool C3DExtObject::SetNormalThreshold(double radians) {
    if (!(radians >= 0.0)) radians = 0.0;
    if (radians > kMaxNormalThreshold) radians = kMaxNormalThreshold;
    if (radians == m_normalThreshold) return false;
    m_normalThreshold = radians;
    if (!(m_optimizeMode & OPT_KEEP_NORMALS)) return false;
    SetExtFlag(EXT_NORMAL_FLAGS_READY, false);
    InvalidateOptimization();
    return true;
}

double C3DExtObject::GetNormalThreshold() const {
    return (m_optimizeMode & OPT_KEEP_NORMALS) ? m_normalThreshold : -1.0;
}

bool C3DExtObject::SetSymetryTolerance(float tolerance) {
    if (!(tolerance >= 0.0f)) tolerance = 0.0f;
    if (tolerance > 1.0f) tolerance = 1.0f;
    if (tolerance == m_symetryTolerance) return false;
    m_symetryTolerance = tolerance;
    if (!(m_optimizeMode & kSymmetryBits)) return false;
    SetExtFlag(EXT_SYMMETRY_READY, false);
    InvalidateOptimization();
    return true;
}

bool C3DExtObject::SetConstraintRatio(float ratio) {
    if (ratio == m_constraintRatio) return false;
    m_constraintRatio = ratio;
    InvalidateOptimization();
    return true;
}

bool C3DExtObject::SetProgressiveThreshold(double threshold) {
    const double stored = threshold == 0.0 ? double(1e-4f) : (threshold < 1.0 ? threshold : 1.0);
    if (stored == m_progressiveThreshold) return false;
    m_progressiveThreshold = stored;
    return true;
}

// ---- material exclusion --------------------------------------------------------------------------

bool C3DExtObject::SelectMaterial(unsigned int materialID, bool select) {
    if (select) {
        if (!m_excludedMaterials.Remove(materialID)) return false;
    } else {
        if (m_excludedMaterials.IsFound(materialID)) return false;
        m_excludedMaterials.Insert(materialID, materialID);
    }
    SetExtFlag(EXT_SELECTION_READY, false);
    InvalidateOptimization();
    return true;
}

bool C3DExtObject::SelectAllMaterials() {
    if (m_excludedMaterials.IsEmpty()) return false;
    m_excludedMaterials.InitHashTable(23);
    // The points of the formerly excluded faces become selectable again.
    SetExtFlag(EXT_SELECTION_READY, false);
    InvalidateOptimization();
    return true;
}

// ---- point-flag initialisers ---------------------------------------------------------------------

namespace {

// While alive, an object working on a separate copy shows its initial lists, so that a geometry
// view of the object reads the initial mesh; the working lists come back afterwards.
class CShowInitialScope {
public:
    CShowInitialScope(C3DExtObject& object, bool separateCopy) : m_object(object), m_restore(false) {
        if (separateCopy) m_restore = object.PrepareDisplayedObject(false);
    }
    ~CShowInitialScope() {
        if (m_restore) m_object.PrepareDisplayedObject(true);
    }
    CShowInitialScope(const CShowInitialScope&) = delete;
    CShowInitialScope& operator=(const CShowInitialScope&) = delete;

private:
    C3DExtObject& m_object;
    bool m_restore;
};

}  // namespace

bool C3DExtObject::InitUVWFlags() {
    if (IsExtFlagSet(EXT_UVW_FLAGS_READY)) return false;
    SetExtFlag(EXT_SELECTION_READY, false);
    SetExtFlag(EXT_UVW_FLAGS_READY, true);
    if (!m_pInitialPoints) return true;
    if (!(m_optimizeMode & OPT_KEEP_UVW) || !m_pInitialChannels) {
        m_pInitialPoints->SetPointsFlags(POINT_UV_SEAM | POINT_UV_JUNCTION, false);
        return true;
    }
    CShowInitialScope show(*this, IsOptimizerFlagSet(SCENEOPTIMIZER_WORKING_COPY));
    CGeomInfo geom(this);
    const float tolerance = m_uvwTolerance < 0.0f ? kDefaultUVWTolerance : m_uvwTolerance;
    for (int i = 0;; ++i) {
        CUVWChannel* uv = m_pInitialChannels->GetUVWChannelByIndex(i);
        if (!uv) break;
        uv->InitShareUVFlag(&geom, tolerance, i == 0);
    }
    return true;
}

bool C3DExtObject::InitVCFlags() {
    if (IsExtFlagSet(EXT_VC_FLAGS_READY)) return false;
    SetExtFlag(EXT_SELECTION_READY, false);
    SetExtFlag(EXT_VC_FLAGS_READY, true);
    if (!m_pInitialPoints) return true;
    if (!(m_optimizeMode & OPT_KEEP_VC) || !m_pInitialChannels) {
        m_pInitialPoints->SetPointsFlags(POINT_VC_FRONTIER, false);
        return true;
    }
    CShowInitialScope show(*this, IsOptimizerFlagSet(SCENEOPTIMIZER_WORKING_COPY));
    CGeomInfo geom(this);
    const int tolerance = m_vcTolerance < 0 ? kDefaultVCTolerance : m_vcTolerance;
    for (int i = 0;; ++i) {
        CVCChannel* vc = m_pInitialChannels->GetVCChannelByIndex(i);
        if (!vc) break;
        vc->InitVCFrontierFlag(&geom, tolerance, i == 0);
    }
    return true;
}

bool C3DExtObject::InitNormalFlags() {
    if (IsExtFlagSet(EXT_NORMAL_FLAGS_READY)) return false;
    SetExtFlag(EXT_SELECTION_READY, false);
    SetExtFlag(EXT_NORMAL_FLAGS_READY, true);
    if (!m_pInitialPoints) return true;
    CChannel* channel = m_pInitialChannels ? m_pInitialChannels->GetSpecNormalChannel() : nullptr;
    if (!(m_optimizeMode & OPT_KEEP_NORMALS) || !channel) {
        m_pInitialPoints->SetPointsFlags(POINT_NORMAL_FRONTIER, false);
        return true;
    }
    CShowInitialScope show(*this, IsOptimizerFlagSet(SCENEOPTIMIZER_WORKING_COPY));
    CGeomInfo geom(this);
    const double threshold = m_normalThreshold < 0.0 ? kDefaultNormalThreshold : m_normalThreshold;
    static_cast<CSpecNormalChannel*>(channel)->InitNormalBreakFlag(&geom, threshold, true,
                                                                   NORMAL_SMOOTH_SCENE);
    return true;
}

bool C3DExtObject::InitSymetryMap() {
    if (IsExtFlagSet(EXT_SYMMETRY_READY)) return false;
    SetExtFlag(EXT_SELECTION_READY, false);
    XRelease(m_pInitialSymetryMap);
    const unsigned long long axisBit = m_optimizeMode & kSymmetryBits;
    if (axisBit && m_pInitialPoints) {
        const _AXIS_INFO axis = (axisBit & OPT_SYMMETRY_Z)   ? AXIS_Z
                                : (axisBit & OPT_SYMMETRY_Y) ? AXIS_Y
                                                             : AXIS_X;
        const float tolerance = m_symetryTolerance < 0.0f ? kDefaultSymetryTolerance : m_symetryTolerance;
        m_pInitialSymetryMap = m_pInitialPoints->InitSymetryMap(axis, double(tolerance));
    }
    // Ready only once built: a failure (memory) leaves it to be built again.
    SetExtFlag(EXT_SYMMETRY_READY, true);
    return true;
}

}  // namespace kestovar
