// CMaterials: the material table of a scene, with the default material, look-ups, copies between
// tables and persistence.
#include <algorithm>
#include <memory>

#include "kestovar/core/archive.h"
#include "kestovar/core/resource_strings.h"
#include "kestovar/platform/path.h"
#include "kestovar/scene/material.h"
#include "scene_internal.h"

namespace kestovar {

namespace {

// String-table identifiers of the scene's texts; the English text stands in while the table has
// no entry for them.
constexpr unsigned int kIdsDefaultMaterial = 600;
constexpr unsigned int kIdsMaterial = 601;

// Smallest stored form of one material: name length (1), five 32-bit fields, an empty custom
// data block, a key count and a map count. Used only to reject forged counts early.
constexpr uint64_t kMinMaterialBytes = 24;

}  // namespace

CXTString<wchar_t> DefaultMaterialName() { return LoadResourceString(kIdsDefaultMaterial, L"Default Material"); }

CXTString<wchar_t> MaterialNameStem() { return LoadResourceString(kIdsMaterial, L"Material"); }

KX_IMPLEMENT_SERIAL(CMaterials, CXObject, 1)

CMaterials::CMaterials() = default;

CMaterials::CMaterials(const CMaterials& other) : CXObject(other) { *this = other; }

CMaterials& CMaterials::operator=(const CMaterials& other) {
    if (this == &other) return *this;
    RemoveAll();
    CopyMaterials(other, MATERIAL_NONE, nullptr);
    return *this;
}

CMaterials::~CMaterials() { RemoveAll(); }

C3DMaterial* CMaterials::Insert(std::unique_ptr<C3DMaterial>& material, unsigned int id) {
    m_materials.Insert(id, material.get());  // stores nothing when it raises
    material->m_id = id;
    material->m_pOwner = this;
    return material.release();
}

unsigned int CMaterials::FreeCounterID(C3DMaterial* material) const {
    unsigned int id = material->m_id;
    // Identifiers given explicitly may have taken counter values: draw until one is free. The
    // counter never hands out MATERIAL_NONE in practice (it would take 2^32 materials).
    while (m_materials.IsFound(id) || id == MATERIAL_NONE) id = NextMaterialCounterID();
    return id;
}

C3DMaterial* CMaterials::CreateNewMaterial(unsigned int id) {
    std::unique_ptr<C3DMaterial> material(new C3DMaterial);
    if (id == MATERIAL_NONE || m_materials.IsFound(id)) id = FreeCounterID(material.get());
    if (id == 0) material->SetName(DefaultMaterialName());
    return Insert(material, id);
}

unsigned int CMaterials::AddMaterial(C3DMaterial* material) {
    if (!material || material->m_pOwner) XThrow<CXInvalidArgException>("CMaterials::AddMaterial: null material or material already owned");
    // The table owns the material once stored; a material that cannot be stored is released, as
    // the caller handed it over.
    std::unique_ptr<C3DMaterial> held(material);
    unsigned int id = FreeCounterID(material);
    Insert(held, id);
    return id;
}

C3DMaterial* CMaterials::SetDefaultMaterial(const C3DMaterial& material) {
    if (C3DMaterial* existing = FindByID(0)) {
        existing->CopyParameters(material);
        return existing;
    }
    std::unique_ptr<C3DMaterial> copy(new C3DMaterial(material));
    copy->SetName(DefaultMaterialName());
    return Insert(copy, 0);
}

C3DMaterial* CMaterials::GetFirst(int& position) const {
    position = kHashStartPosition;
    return GetNext(position);
}

C3DMaterial* CMaterials::GetNext(int& position) const {
    const auto* slot = m_materials.GetNextSlot(position);
    return slot ? slot->value : nullptr;
}

C3DMaterial* CMaterials::FindByID(unsigned int id) const {
    C3DMaterial* const* m = m_materials.Find(id);
    return m ? *m : nullptr;
}

void CMaterials::GetIDs(CXArray<unsigned int>& ids) const {
    ids.SetSize(0);
    ids.PreAllocate(m_materials.GetCount());
    int pos = kHashStartPosition;
    unsigned int id;
    while (m_materials.GetNext(pos, id)) ids.Add(id);
    std::sort(ids.begin(), ids.end());
}

C3DMaterial* CMaterials::FindByName(const wchar_t* name, bool noCase) const {
    // The lowest identifier among the materials of that name, in one pass over the table.
    C3DMaterial* found = nullptr;
    int pos = kHashStartPosition;
    while (C3DMaterial* m = GetNext(pos)) {
        if (found && m->GetMaterialID() > found->GetMaterialID()) continue;
        if (noCase ? m->GetName().CompareNoCase(name) == 0 : m->GetName().Compare(name) == 0) found = m;
    }
    return found;
}

C3DMaterial* CMaterials::Find(const C3DMaterial& material, bool sameName) const {
    CXArray<unsigned int> ids;
    GetIDs(ids);
    for (unsigned int id : ids) {
        C3DMaterial* m = FindByID(id);
        if (m == &material) continue;
        if (sameName && m->GetName() != material.GetName()) continue;
        if (m->HasSameParameters(material)) return m;
    }
    return nullptr;
}

bool CMaterials::RemoveMaterial(unsigned int id) {
    C3DMaterial* m = FindByID(id);
    if (!m) return false;
    m_materials.Remove(id);
    delete m;
    return true;
}

void CMaterials::RemoveAll() {
    int pos = kHashStartPosition;
    while (auto* slot = m_materials.GetNextSlot(pos)) delete slot->value;
    m_materials.RemoveAll();
}

int CMaterials::CopyMaterials(const CMaterials& source, unsigned int id, CMaterialIDMap* remap) {
    if (&source == this) return 0;
    CXArray<unsigned int> ids;
    source.GetIDs(ids);
    int copied = 0;
    for (unsigned int sourceID : ids) {
        if (id != MATERIAL_NONE && sourceID != id) continue;
        std::unique_ptr<C3DMaterial> copy(new C3DMaterial(*source.FindByID(sourceID)));
        copy->m_id = sourceID;
        unsigned int newID = FreeCounterID(copy.get());
        Insert(copy, newID);
        if (remap) remap->Insert(sourceID, newID);
        ++copied;
    }
    return copied;
}

int CMaterials::MoveMaterials(CMaterials& source, CMaterialIDMap* remap) {
    if (&source == this) return 0;
    CXArray<unsigned int> ids;
    source.GetIDs(ids);
    for (unsigned int sourceID : ids) {
        // Stored here before it leaves the source, so that a failure leaves it where it was.
        std::unique_ptr<C3DMaterial> m(source.FindByID(sourceID));
        const unsigned int newID = FreeCounterID(m.get());
        try {
            Insert(m, newID);
        } catch (...) {
            m.release();
            throw;
        }
        source.m_materials.Remove(sourceID);
        if (remap) remap->Insert(sourceID, newID);
    }
    source.m_materials.RemoveAll();
    return ids.GetSize();
}

namespace {

// Renames the bitmap and alpha file names of every map of every material through `rename`
// (name -> new name, or the name itself to keep it; empty names are not offered). Returns the
// number of names changed.
template <class Materials, class Rename>
int RenameMapFiles(Materials& materials, Rename&& rename) {
    int changed = 0;
    int pos = kHashStartPosition;
    while (C3DMaterial* m = materials.GetNext(pos)) {
        for (int i = 0; i < m->GetMapCount(); ++i) {
            CMaterialMap* map = m->GetMap(i);
            for (int alpha = 0; alpha < 2; ++alpha) {
                const CXTString<wchar_t>& name = alpha ? map->GetAlphaFileName() : map->GetFileName();
                if (name.IsEmpty()) continue;
                const CXTString<wchar_t> renamed = rename(name);
                if (renamed == name) continue;
                if (alpha)
                    map->SetAlphaFileName(renamed);
                else
                    map->SetFileName(renamed);
                ++changed;
            }
        }
    }
    return changed;
}

// A texture name written on Windows that is not relative to the scene's folder: one with a
// drive ("C:\maps\a.png", "C:/maps", also "C:a.png", relative to that drive's own folder), one
// from the root of the current drive ("\maps\a.png") or on a network share ("\\server\maps").
bool IsWindowsAbsolute(const CXTString<wchar_t>& name) {
    const int n = name.GetLength();
    const wchar_t c = n > 0 ? name.GetAt(0) : L'\0';
    const bool drive =
        n >= 2 && ((c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z')) && name.GetAt(1) == L':';
    return drive || c == L'\\';
}

}  // namespace

int CMaterials::AdjustPaths(const wchar_t* directory, bool makeRelative) {
    return RenameMapFiles(*this, [&](const CXTString<wchar_t>& name) {
        if (fileIsURL(name)) return name;
        return makeRelative ? fileMakeRelativePath(fileMakeAbsolutePath(name, directory), directory)
                            : fileMakeAbsolutePath(name, directory);
    });
}

int CMaterials::RebasePaths(const wchar_t* from, const wchar_t* to) {
    const CXTString<wchar_t> fromDir = fileMakeAbsolutePath(from), toDir = fileMakeAbsolutePath(to);
    if (fromDir == toDir) return 0;
    return RenameMapFiles(*this, [&](const CXTString<wchar_t>& name) {
        if (fileIsAbsolutePath(name) || fileIsURL(name) || IsWindowsAbsolute(name)) return name;
        CXTString<wchar_t> slashed = name;
        slashed.Replace(L'\\', L'/');
        return fileMakeRelativePath(fileMakeAbsolutePath(slashed, fromDir), toDir);
    });
}

CXTString<wchar_t> CMaterials::GetUniqueName(const wchar_t* name) const {
    CXTString<wchar_t> candidate(name);
    for (unsigned int n = 0; FindByName(candidate); ++n) {
        candidate = name;
        candidate.AppendFormat(L"%u", n);
    }
    return candidate;
}

void CMaterials::Serialize(CXArchive& ar) {
    if (ar.IsStoring()) {
        CXArray<unsigned int> ids;
        GetIDs(ids);
        ar.WriteCount(uint64_t(ids.GetSize()));
        for (unsigned int id : ids) FindByID(id)->Serialize(ar);
        return;
    }
    RemoveAll();
    uint64_t count = ar.ReadCount();
    EnsureRecords(ar, count, kMinMaterialBytes);
    for (uint64_t i = 0; i < count; ++i) {
        std::unique_ptr<C3DMaterial> m(new C3DMaterial);
        m->Serialize(ar);
        if (m_materials.IsFound(m->m_id))
            XThrow<CXArchiveException>(CXArchiveException::badIndex, "material identifier repeated");
        Insert(m, m->m_id);
    }
}

}  // namespace kestovar
