// The contraction-ready object creator and the batch settings (see
// kestovar/optimizer/object_creator.h).
#include "kestovar/optimizer/object_creator.h"

#include "kestovar/core/resource_strings.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/platform/path.h"
#include "kestovar/simplify/ext_object.h"
#include "kestovar/simplify/ext_point.h"

namespace kestovar {

// ---- C3DQuorvaneObjectCreator -----------------------------------------------------------------

C3DQuorvaneObjectCreator::C3DQuorvaneObjectCreator(_QuorvaneObjectCreatorFlags mode) : m_mode(mode) {}

C3DQuorvaneObjectCreator::C3DQuorvaneObjectCreator(const C3DQuorvaneObjectCreator& other)
    : C3DObjectCreator(other), m_mode(other.m_mode) {}

C3DQuorvaneObjectCreator& C3DQuorvaneObjectCreator::operator=(const C3DQuorvaneObjectCreator& other) {
    if (this != &other) {
        C3DObjectCreator::operator=(other);
        m_mode = other.m_mode;
    }
    return *this;
}

C3DQuorvaneObjectCreator::~C3DQuorvaneObjectCreator() = default;

C3DBaseObject* C3DQuorvaneObjectCreator::ConvertToType(const C3DSceneNode*, const C3DBaseObject* object) {
    C3DBaseObject* same = const_cast<C3DBaseObject*>(object);
    if (!object || (object->GetKindOf() & (OBJECT_POLYMESH | OBJECT_PATCH)) == 0) return same;
    if (m_mode == CREATOR_PLAIN || dynamic_cast<const C3DExtObject*>(object)) return same;
    const C3DGeomObject* geom = dynamic_cast<const C3DGeomObject*>(object);
    if (!geom) return same;

    // The new object takes its own references on the lists it is given; a copied point list
    // carries only ours, released once the object holds it.
    C3DPointList* points = geom->GetPointList();
    XHeld<CExtPointList> copy;
    if (m_mode == CREATOR_COPY_POINTS && points) {
        copy.reset(new CExtPointList(*points));
        *copy = *points;
        points = copy.get();
    }
    XHeld<C3DExtObject> converted(new C3DExtObject(points, geom->GetFaceList(), geom->GetChannels()));
    copy.reset();
    converted->InheritFlags(*object, 0);
    return converted.release();
}

C3DBaseObject* C3DQuorvaneObjectCreator::GetNewObjectFrom(const C3DBaseObject* source, bool& created) {
    created = true;
    if (source && (source->GetKindOf() == OBJECT_POLYMESH || source->GetKindOf() == OBJECT_PATCH))
        return GetNewPolygonalObject();
    return C3DObjectCreator::GetNewObjectFrom(source, created);
}

C3DFaceList* C3DQuorvaneObjectCreator::GetNewFaceList() { return new C3DFaceList; }

C3DPointList* C3DQuorvaneObjectCreator::GetNewPointList() {
    if (m_mode == CREATOR_COPY_POINTS) return new CExtPointList;
    return new C3DPointList;
}

C3DObject* C3DQuorvaneObjectCreator::GetNewPolygonalObject() {
    XHeld<C3DPointList> points(GetNewPointList());
    XHeld<C3DFaceList> faces(GetNewFaceList());
    // A plain object adopts our references (released by it should its construction fail); a
    // contraction-ready one takes references of its own.
    if (m_mode == CREATOR_PLAIN) return new C3DObject(points.release(), faces.release(), nullptr);
    return new C3DExtObject(points.get(), faces.get(), nullptr);
}

C3DPatch* C3DQuorvaneObjectCreator::GetNewPatchObject() { return nullptr; }

// ---- BatchInfo ----------------------------------------------------------------------------------

namespace {

const wchar_t kSourceTreeText[] = L"Source tree is re-created in this directory.";
const wchar_t kResultsFolder[] = L"./Results";

// A plain file name: not empty, not "." or "..", no separator and no control character.
bool IsValidFileName(const CXTString<wchar_t>& name) {
    if (name.IsEmpty()) return false;
    if (name == L"." || name == L"..") return false;
    for (int i = 0; i < name.GetLength(); ++i) {
        const wchar_t c = name[i];
        if (c == L'/' || c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

bool IsRelativePath(const CXTString<wchar_t>& path) {
    return !path.IsEmpty() && !fileIsAbsolutePath(path) && !fileIsURL(path);
}

CXTString<wchar_t> WithSlash(CXTString<wchar_t> folder) {
    if (folder.IsEmpty() || folder[folder.GetLength() - 1] != L'/') folder += L'/';
    return folder;
}

}  // namespace

BatchInfo::BatchInfo()
    : m_srcMode(1),
      m_dstMode(2),
      m_dstSubFolder(LoadResourceString(341, kResultsFolder)),
      m_recreateFolderTree(1),
      m_recurseFolders(1),
      m_bUserChoice(false),
      m_flags(0) {}

BatchInfo::BatchInfo(const BatchInfo& other) = default;

BatchInfo::BatchInfo(BatchInfo&& other) noexcept
    : m_srcMode(other.m_srcMode),
      m_dstMode(other.m_dstMode),
      m_dstFolder(std::move(other.m_dstFolder)),
      m_dstSubFolder(std::move(other.m_dstSubFolder)),
      m_recreateFolderTree(other.m_recreateFolderTree),
      m_recurseFolders(other.m_recurseFolders),
      m_bUserChoice(other.m_bUserChoice),
      m_flags(other.m_flags) {
    m_selFiles = other.m_selFiles;
    m_albumFiles = other.m_albumFiles;
    other.m_selFiles.RemoveAll();
    other.m_albumFiles.RemoveAll();
}

BatchInfo& BatchInfo::operator=(const BatchInfo& other) = default;

BatchInfo::~BatchInfo() = default;

int BatchInfo::CheckDstFolder(int destinationMode) const {
    switch (destinationMode) {
        case 0: return fileIsDirectory(m_dstFolder) ? 1 : 0;
        case 1: return IsValidFileName(m_dstSubFolder) && IsRelativePath(m_dstSubFolder) ? 1 : 0;
        case 2: return IsRelativePath(m_dstSubFolder) || IsValidFileName(m_dstSubFolder) ? 1 : 0;
        default: return 0;
    }
}

int BatchInfo::CanRecurseFolder(int force) const {
    const bool folderSource = (m_srcMode == 1 && !IsAlbum()) || m_srcMode == 2;
    return ((m_recurseFolders || force) && folderSource) ? 1 : 0;
}

int BatchInfo::CanRecreateFolderTree(int force) const {
    const bool folderSource = (m_srcMode == 1 && !IsAlbum()) || m_srcMode == 2;
    return ((m_recreateFolderTree || force) && m_recurseFolders && folderSource && m_dstMode == 2) ? 1 : 0;
}

CXTString<wchar_t> BatchInfo::GetSrcFolder(int& depth, const CXTString<wchar_t>& sourcePath) const {
    const CXTString<wchar_t> sourceFolder = fileGetDirectory(fileMakeAbsolutePath(sourcePath));
    CXTString<wchar_t> root = sourceFolder;
    if (m_selFiles.GetSize() > 0) {
        const CXTString<wchar_t>& first = m_selFiles[0];
        // A folder source names its folder; a file list is rooted at its first file's folder.
        root = (m_srcMode == 1 && fileIsDirectory(first)) ? WithSlash(fileMakeAbsolutePath(first))
                                                          : fileGetDirectory(fileMakeAbsolutePath(first));
    }
    depth = -1;
    if (sourceFolder.GetLength() >= root.GetLength() && sourceFolder.Left(root.GetLength()) == root) {
        depth = 0;
        for (int i = root.GetLength(); i < sourceFolder.GetLength(); ++i)
            if (sourceFolder[i] == L'/') ++depth;
    }
    return root;
}

CXTString<wchar_t> BatchInfo::GetDstFolder(const CXTString<wchar_t>& sourcePath) const {
    if (m_dstMode == 0) return WithSlash(m_dstFolder);
    if (m_dstMode == 1) {
        const CXTString<wchar_t> folder = fileGetDirectory(fileMakeAbsolutePath(sourcePath));
        return WithSlash(fileMakeAbsolutePath(m_dstSubFolder, folder));
    }
    int depth = -1;
    const CXTString<wchar_t> root = GetSrcFolder(depth, sourcePath);
    CXTString<wchar_t> result = WithSlash(fileMakeAbsolutePath(m_dstSubFolder, root));
    if (depth > 0 && CanRecreateFolderTree(0)) {
        const CXTString<wchar_t> sourceFolder = fileGetDirectory(fileMakeAbsolutePath(sourcePath));
        result += sourceFolder.Mid(root.GetLength());
    }
    return result;
}

int BatchInfo::CreateDstFolder(const CXTString<wchar_t>& sourcePath) const {
    return fileCreateDirectory(GetDstFolder(sourcePath)) ? 1 : 0;
}

CXTString<wchar_t> BatchInfo::GetInformation() const {
    CXTString<wchar_t> text;
    switch (m_dstMode) {
        case 0: text = m_dstFolder; break;
        case 1: text.Format(L"%ls (beside each source file)", m_dstSubFolder.GetString()); break;
        default: text = m_dstSubFolder; break;
    }
    if (CanRecreateFolderTree(0)) {
        text += L" ";
        text += LoadResourceString(340, kSourceTreeText);
    }
    return text;
}

}  // namespace kestovar
