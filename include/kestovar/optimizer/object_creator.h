// C3DQuorvaneObjectCreator: the creator that makes contraction-ready objects (C3DExtObject), so
// that a scene loaded, copied or converted with it is ready for the scene optimiser.
// BatchInfo: the settings of a batch run over many files (which files, where results go).
#pragma once

#include "kestovar/core/array.h"
#include "kestovar/core/export.h"
#include "kestovar/core/xstring.h"
#include "kestovar/mesh/object_creator.h"

namespace kestovar {

// Modes of C3DQuorvaneObjectCreator.
enum _QuorvaneObjectCreatorFlags : unsigned int {
    CREATOR_COPY_POINTS = 1,   // contraction-ready objects own a copy of the points (CExtPointList);
                               // faces and channels are shared with the source
    CREATOR_SHARE_POINTS = 2,  // contraction-ready objects share the source's point list as well
    CREATOR_PLAIN = 3,         // plain polygonal objects; conversion leaves everything as it is
};

class KESTOVAR_API C3DQuorvaneObjectCreator : public C3DObjectCreator {
public:
    explicit C3DQuorvaneObjectCreator(_QuorvaneObjectCreatorFlags mode);
    C3DQuorvaneObjectCreator(const C3DQuorvaneObjectCreator& other);
    C3DQuorvaneObjectCreator& operator=(const C3DQuorvaneObjectCreator& other);
    ~C3DQuorvaneObjectCreator() override;

    _QuorvaneObjectCreatorFlags GetMode() const { return m_mode; }

    // `object` unchanged when it is neither a polymesh nor a patch, when the mode is
    // CREATOR_PLAIN, or when it already is a C3DExtObject; otherwise a new C3DExtObject (one
    // reference, the caller's) on the object's faces and channels (shared) and on its points
    // (copied or shared by the mode), with the object's flags.
    C3DBaseObject* ConvertToType(const C3DSceneNode* node, const C3DBaseObject* object) override;
    // Polymeshes and patches become GetNewPolygonalObject (); other kinds as in the base.
    C3DBaseObject* GetNewObjectFrom(const C3DBaseObject* source, bool& created) override;
    C3DFaceList* GetNewFaceList() override;
    // A CExtPointList in CREATOR_COPY_POINTS mode, a C3DPointList otherwise.
    C3DPointList* GetNewPointList() override;
    // A C3DExtObject without channels (a plain C3DObject in CREATOR_PLAIN mode) on new lists.
    C3DObject* GetNewPolygonalObject() override;
    // Always null: patches are turned into polymeshes.
    C3DPatch* GetNewPatchObject() override;

private:
    _QuorvaneObjectCreatorFlags m_mode;
};

// Settings of a batch run.
//
// Sources: source mode 1 takes a folder (the first selected file names it; recursion allowed),
// source mode 2 takes a list of files (the selected files). In album mode the album files are
// processed instead and nothing recurses.
//
// Destinations and path assembly (every folder returned ends with '/'):
// - destination mode 0: every result goes to the destination folder itself;
// - destination mode 1: the sub-folder name is one plain name, created beside each source file
//   (<source file's folder>/<name>/);
// - destination mode 2: the sub-folder name is a relative path taken from the source root (the
//   folder of source mode 1, or the folder of the first selected file); when the folder tree is
//   re-created, each source file's folder below the root is repeated below it
//   (<root>/<sub-folder>/<relative folder of the source>/).
class KESTOVAR_API BatchInfo {
public:
    typedef CXArray<CXTString<wchar_t>, const CXTString<wchar_t>&> CFileArray;

    BatchInfo();
    BatchInfo(const BatchInfo& other);
    BatchInfo(BatchInfo&& other) noexcept;
    BatchInfo& operator=(const BatchInfo& other);
    ~BatchInfo();

    // Whether the destination settings of `destinationMode` are usable (1) or not (0): mode 0
    // needs an existing destination folder, mode 1 a valid plain name that is a relative path,
    // mode 2 a relative path (or else a valid plain name); any other mode gives 0.
    int CheckDstFolder(int destinationMode) const;
    // Creates the destination folder of `sourcePath` with its parents; 1 on success, else 0.
    int CreateDstFolder(const CXTString<wchar_t>& sourcePath) const;
    // The folder the result of the file `sourcePath` goes to (see the class comment).
    CXTString<wchar_t> GetDstFolder(const CXTString<wchar_t>& sourcePath) const;
    // A one-line description of where the results go.
    CXTString<wchar_t> GetInformation() const;
    // (recreate folder tree or force) and recursion and a folder source and destination mode 2.
    int CanRecreateFolderTree(int force) const;
    // (recurse folders or force) and a folder source (source mode 1 outside album mode, or 2).
    int CanRecurseFolder(int force) const;

    bool IsUserChoice() const { return m_bUserChoice; }
    void SetUserChoice(bool choice) { m_bUserChoice = choice; }
    const CFileArray& GetSelFiles() const { return m_selFiles; }
    void SetSelFiles(const CFileArray& files) { m_selFiles = files; }
    const CFileArray& GetAlbumFiles() const { return m_albumFiles; }
    void SetAlbumFiles(const CFileArray& files) { m_albumFiles = files; }
    bool IsAlbum() const { return (m_flags & 0x1u) != 0; }
    void SetAlbumMode(bool album) { m_flags = album ? (m_flags | 0x1u) : (m_flags & ~0x1u); }

    int m_srcMode;                       // 1 folder, 2 file list
    int m_dstMode;                       // 0 fixed folder, 1 beside each file, 2 below the source root
    CXTString<wchar_t> m_dstFolder;      // destination mode 0
    CXTString<wchar_t> m_dstSubFolder;   // destination modes 1 and 2
    int m_recreateFolderTree;            // bool
    int m_recurseFolders;                // bool

private:
    // The source root and, in `depth`, how many folder levels `sourcePath` lies below it (-1 when
    // it is not below it).
    CXTString<wchar_t> GetSrcFolder(int& depth, const CXTString<wchar_t>& sourcePath) const;

    bool m_bUserChoice;
    CFileArray m_selFiles;
    CFileArray m_albumFiles;
    unsigned int m_flags;  // 0x1 album mode
};

}  // namespace kestovar
