// C3DKeyframable: the time-ordered key list, key look-up, evaluation with its cache, and the
// persistence of keys.
#include <climits>
#include <memory>

#include "kestovar/core/archive.h"
#include "kestovar/core/exception.h"
#include "kestovar/scene/keyframe.h"
#include "scene_internal.h"

namespace kestovar {

namespace {

// Smallest stored form of one key: time (4), type (8) and the presence byte (1).
constexpr uint64_t kMinKeyBytes = 13;

}  // namespace

C3DKeyframable::C3DKeyframable() : m_pCache(nullptr) {}

C3DKeyframable::C3DKeyframable(const C3DKeyframable& other) : m_pCache(nullptr) { CopyKeys(other); }

C3DKeyframable& C3DKeyframable::operator=(const C3DKeyframable& other) {
    if (this == &other) return *this;
    DeleteKeys();
    CopyKeys(other);
    OnKeyframesChanged(0);
    return *this;
}

C3DKeyframable::~C3DKeyframable() {
    DeleteKeys();
    delete m_pCache;
}

void C3DKeyframable::CopyKeys(const C3DKeyframable& other) {
    m_keys.PreAllocate(other.m_keys.GetSize());
    for (const C3DKeyEntry& e : other.m_keys) {
        C3DKeyframe* key = e.key->Clone();
        m_keys.Add(C3DKeyEntry{e.time, key});
    }
}

void C3DKeyframable::DeleteKeys() {
    ClearCache(0);
    for (C3DKeyEntry& e : m_keys) delete e.key;
    m_keys.RemoveAll();
}

int C3DKeyframable::AddKey(int time, C3DKeyframe* key) {
    if (!key) XThrow<CXInvalidArgException>("C3DKeyframable::AddKey: null key");
    const uint64_t type = key->GetClassID();
    // Upper bound of `time`: keys arrive mostly in time order, so look from the end first.
    int n = m_keys.GetSize();
    int pos = n;
    if (n > 0 && m_keys[n - 1].time > time) {
        int lo = 0, hi = n;
        while (lo < hi) {
            int mid = lo + (hi - lo) / 2;
            if (m_keys[mid].time <= time)
                lo = mid + 1;
            else
                hi = mid;
        }
        pos = lo;
    }
    // One key per type and time: a key of the type already at this time is replaced in place.
    int index = -1;
    for (int i = pos - 1; i >= 0 && m_keys[i].time == time; --i)
        if (m_keys[i].key->GetClassID() == type) {
            index = i;
            break;
        }
    if (index >= 0) {
        if (m_keys[index].key != key) delete m_keys[index].key;
        m_keys[index].key = key;
    } else {
        // The key is the list's from here; when the list cannot grow it is released, as the
        // caller handed it over.
        try {
            m_keys.InsertAt(pos, C3DKeyEntry{time, key});
        } catch (...) {
            delete key;
            throw;
        }
        index = pos;
    }
    ClearCache(type);
    OnKeyframesChanged(type);
    return index;
}

C3DKeyframe* C3DKeyframable::CreateKey(int time, uint64_t keyType) {
    C3DKeyframe* key = C3DKeyframe::CreateKey(keyType);
    if (key) AddKey(time, key);
    return key;
}

void C3DKeyframable::DeleteKey(int index) {
    if (index < 0 || index >= m_keys.GetSize()) XThrow<CXInvalidArgException>("C3DKeyframable::DeleteKey: index out of range");
    uint64_t type = m_keys[index].key->GetClassID();
    delete m_keys[index].key;
    m_keys.RemoveAt(index);
    ClearCache(type);
    OnKeyframesChanged(type);
}

void C3DKeyframable::DeleteAllKeys(uint64_t keyType) {
    if (keyType == 0) {
        if (m_keys.IsEmpty() && !m_pCache) return;
        DeleteKeys();
        OnKeyframesChanged(0);
        return;
    }
    int kept = 0;
    bool removed = false;
    for (int i = 0; i < m_keys.GetSize(); ++i) {
        if (m_keys[i].key->GetClassID() == keyType) {
            delete m_keys[i].key;
            removed = true;
        } else {
            m_keys[kept++] = m_keys[i];
        }
    }
    m_keys.SetSize(kept);
    ClearCache(keyType);
    if (removed) OnKeyframesChanged(keyType);
}

int C3DKeyframable::GetKeyNbr(uint64_t keyType) const {
    if (keyType == 0) return m_keys.GetSize();
    int n = 0;
    for (const C3DKeyEntry& e : m_keys)
        if (e.key->GetClassID() == keyType) ++n;
    return n;
}

C3DKeyframe* C3DKeyframable::GetKeyByIndex(int index, int& time, uint64_t keyType) const {
    if (index >= 0) {
        for (const C3DKeyEntry& e : m_keys) {
            if (keyType != 0 && e.key->GetClassID() != keyType) continue;
            if (index-- == 0) {
                time = e.time;
                return e.key;
            }
        }
    }
    XThrow<CXInvalidArgException>("C3DKeyframable::GetKeyByIndex: index out of range");
}

C3DKeyframe* C3DKeyframable::GetKey(int time, int mode, uint64_t keyType, int& keyTime) const {
    keyTime = -1;
    // The list is in time order: the keys at `time` and after start at its lower bound, found by
    // halving, so that evaluating a node with many keys at many times stays O(log n) a look-up.
    const C3DKeyEntry* keys = m_keys.GetData();
    const int n = m_keys.GetSize();
    int lo = 0, hi = n;
    while (lo < hi) {
        const int mid = lo + (hi - lo) / 2;
        if (keys[mid].time < time)
            lo = mid + 1;
        else
            hi = mid;
    }
    const auto wanted = [keyType](const C3DKeyEntry& e) {
        return keyType == 0 || e.key->GetClassID() == keyType;
    };
    // The first key of the type at or after the time; keys of the type at the time come first.
    for (int i = lo; i < n; ++i) {
        const C3DKeyEntry& e = keys[i];
        if (!wanted(e)) continue;
        if (e.time == time) {
            if (mode & KEY_FIND_AT) {
                keyTime = e.time;
                return e.key;
            }
            continue;
        }
        if (mode & KEY_FIND_AFTER) {
            keyTime = e.time;
            return e.key;
        }
        break;
    }
    if (mode & KEY_FIND_BEFORE)
        for (int i = lo - 1; i >= 0; --i)
            if (wanted(keys[i])) {
                keyTime = keys[i].time;
                return keys[i].key;
            }
    return nullptr;
}

CTimeRange C3DKeyframable::GetTimeRange(uint64_t keyType) const {
    CTimeRange range;
    bool found = false;
    for (const C3DKeyEntry& e : m_keys) {
        if (keyType != 0 && e.key->GetClassID() != keyType) continue;
        if (!found) range.start = e.time;
        range.end = e.time;
        found = true;
    }
    return found ? range : CTimeRange();
}

namespace {

// A type without any key is noted in the evaluation cache at this time with no value, so that
// asking for it again does not walk the whole list: a node's transform asks for every transform
// type at every time it is evaluated. A real value is never null, so the note cannot be taken
// for one, even for an evaluation at this very time.
constexpr int kTypeWithoutKeys = INT_MIN;

}  // namespace

C3DKeyframe* C3DKeyframable::Evaluate(int time, uint64_t keyType) {
    if (m_keys.IsEmpty()) return nullptr;
    const C3DKeyCacheID id{time, keyType};
    const C3DKeyCacheID noKeys{kTypeWithoutKeys, keyType};
    if (m_pCache) {
        if (C3DKeyframe** cached = m_pCache->Find(id)) return *cached;
        if (C3DKeyframe** cached = m_pCache->Find(noKeys); cached && !*cached) return nullptr;
    }
    int t0 = -1, t1 = -1;
    C3DKeyframe* prev = GetKey(time, KEY_FIND_AT | KEY_FIND_BEFORE, keyType, t0);
    C3DKeyframe* next = GetKey(time, KEY_FIND_AFTER, keyType, t1);
    C3DKeyframe* value = nullptr;
    if (prev && next) {
        value = prev->Clone();
        if (!value->Evaluate(prev, next, time, CTimeRange(t0, t1))) {
            delete value;
            ClearCache(keyType);
            OnKeyframesChanged(keyType);
            return nullptr;
        }
    } else if (prev) {
        value = prev->Clone();  // the last key's value holds after it
    } else if (next) {
        value = next->Clone();  // the first key's value holds before it
    } else {
        // No key of the type at all: noted, unless memory is short, for the next look-up.
        try {
            if (!m_pCache) m_pCache = new CKeyCache;
            m_pCache->Insert(noKeys, nullptr);
        } catch (CXMemoryException*) {
            XDeleteThreadException();
        }
        return nullptr;
    }
    // The value belongs to the cache once stored; until then it is held here, so that a cache
    // that cannot be made or grown releases it (an insertion that raises stores nothing).
    std::unique_ptr<C3DKeyframe> held(value);
    if (!m_pCache) m_pCache = new CKeyCache;
    m_pCache->Insert(id, value);
    return held.release();
}

bool C3DKeyframable::Evaluate(int time, C3DKeyframe& key) {
    C3DKeyframe* value = Evaluate(time, key.GetClassID());
    if (!value) return false;
    key = *value;
    return true;
}

void C3DKeyframable::ClearCache(uint64_t keyType) {
    if (!m_pCache) return;
    int pos = kHashStartPosition;
    while (CKeyCache::Slot* s = m_pCache->GetNextSlot(pos)) {
        if (keyType != 0 && s->key.type != keyType) continue;
        delete s->value;
        // Removal keeps positions valid, so the walk goes on from here.
        C3DKeyCacheID id = s->key;
        m_pCache->Remove(id);
    }
    if (keyType == 0 || m_pCache->IsEmpty()) {
        delete m_pCache;
        m_pCache = nullptr;
    }
}

bool C3DKeyframable::IsKeysEqual(const C3DKeyframable& other) const {
    if (m_keys.GetSize() != other.m_keys.GetSize()) return false;
    for (int i = 0; i < m_keys.GetSize(); ++i)
        if (m_keys[i].time != other.m_keys[i].time || *m_keys[i].key != *other.m_keys[i].key) return false;
    return true;
}

void C3DKeyframable::SerializeKeys(CXArchive& ar) {
    if (ar.IsStoring()) {
        ar.WriteCount(uint64_t(m_keys.GetSize()));
        for (const C3DKeyEntry& e : m_keys) {
            ar << int32_t(e.time) << uint64_t(e.key->GetClassID());
            e.key->Serialize(ar);
        }
        return;
    }
    DeleteAllKeys(0);
    uint64_t count = ar.ReadCount();
    // A forged count fails here instead of looping over data that is not there.
    if (count > uint64_t(INT_MAX)) XThrow<CXArchiveException>(CXArchiveException::badIndex, "key count out of range");
    EnsureRecords(ar, count, kMinKeyBytes);
    for (uint64_t i = 0; i < count; ++i) {
        int32_t time = 0;
        uint64_t type = 0;
        ar >> time >> type;
        C3DKeyframe* key = C3DKeyframe::CreateKey(type);
        if (!key) XThrow<CXArchiveException>(CXArchiveException::badClass, "unknown key type");
        try {
            key->Serialize(ar);
        } catch (...) {
            delete key;
            throw;
        }
        // AddKey restores the order and the one-key-per-type-and-time rule for data that broke
        // them.
        AddKey(time, key);
    }
}

void C3DKeyframable::OnKeyframesChanged(uint64_t) {}

}  // namespace kestovar
