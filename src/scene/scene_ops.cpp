// C3DScene: operations run over the scene's objects through the object-level extension points
// (normals, texture coordinates, concatenation, patch levels), smoothing settings, material
// queries, texture files and the post-load pipeline.
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cwchar>
#include <numbers>

#include "core/parallel_failure.h"
#include "kestovar/core/log.h"
#include "kestovar/core/progress.h"
#include "kestovar/core/runtime.h"
#include "kestovar/core/thread_registry.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/object_creator.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/platform/file.h"
#include "kestovar/platform/path.h"
#include "kestovar/scene/preferences.h"
#include "kestovar/scene/scene.h"
#include "scene_internal.h"

namespace kestovar {

namespace {

C3DSceneNode* AsNode(CTreeNode* node) { return static_cast<C3DSceneNode*>(node); }

// Installed by the subsystems that implement the object-level operations; read under the library
// lock.
C3DSceneObjectHooks g_hooks = {nullptr, nullptr, nullptr, nullptr};

C3DSceneObjectHooks Hooks() {
    CXSingleLock lock(&XGetLibraryLock(), true);
    return g_hooks;
}

// The largest smoothing angle a scene accepts, in degrees.
constexpr double kMaxSceneSmoothDegrees = 180.01;

// The file name part of a path written with either separator (files from other systems keep
// their backslashes).
CXTString<wchar_t> BareName(const wchar_t* path) {
    CXTString<wchar_t> name(path);
    int slash = std::max(name.ReverseFind(L'/'), name.ReverseFind(L'\\'));
    return slash >= 0 ? name.Mid(slash + 1) : name;
}

bool IsFile(const CXTString<wchar_t>& path) { return !path.IsEmpty() && fileExists(path) && !fileIsDirectory(path); }

// Looks for `fileName` in `directory`: as given (relative names only) and by its bare name.
bool FindIn(const CXTString<wchar_t>& directory, const wchar_t* fileName, CXTString<wchar_t>& found) {
    if (directory.IsEmpty()) return false;
    if (!fileIsAbsolutePath(fileName)) {
        CXTString<wchar_t> candidate = fileJoinPath(directory, fileName);
        if (IsFile(candidate)) {
            found = candidate;
            return true;
        }
    }
    CXTString<wchar_t> candidate = fileJoinPath(directory, BareName(fileName));
    if (IsFile(candidate)) {
        found = candidate;
        return true;
    }
    return false;
}

// Copies the file `from` to `to` (replacing it). False when either cannot be opened or an I/O
// error occurs.
bool CopyFileContent(const CXTString<wchar_t>& from, const CXTString<wchar_t>& to) {
    CXFile in, out;
    if (!in.Open(from, CXFile::modeRead) || !out.Open(to, CXFile::modeWrite | CXFile::modeCreate)) return false;
    try {
        uint8_t buffer[65536];
        while (unsigned n = in.Read(buffer, sizeof(buffer))) out.Write(buffer, n);
        out.Close();
    } catch (CXException*) {
        XDeleteThreadException();
        return false;
    }
    return true;
}

}  // namespace

void SetSceneObjectHooks(const C3DSceneObjectHooks& hooks) {
    CXSingleLock lock(&XGetLibraryLock(), true);
    g_hooks = hooks;
}

C3DSceneObjectHooks GetSceneObjectHooks() { return Hooks(); }

// ---- object-level operations --------------------------------------------------------------------

// Empties the merged source nodes, then deletes those left without children (deepest first, so
// that a source whose only children were sources goes too).
void C3DScene::RetireSources(CXArray<C3DSceneNode*>& sources) {
    CHolderCounts holders;
    bool counted = false;
    for (C3DSceneNode* node : sources) SetObjectInBatch(node, nullptr, holders, counted);
    SortNodesByDepth(sources, true);
    DeleteBottomUp(sources);
}

void C3DScene::CountHolders(CHolderCounts& holders) const {
    holders.RemoveAll();
    C3DSceneNode* root = GetRoot();
    for (CTreeNode* n = root; n; n = root->NextInSubtree(n))
        if (const C3DBaseObject* object = AsNode(n)->GetBaseObject()) ++holders.GetOrInsert(object);
}

void C3DScene::SetObjectInBatch(C3DSceneNode* node, C3DBaseObject* object, CHolderCounts& holders,
                                bool& counted) {
    const C3DBaseObject* old = node->GetBaseObject();
    // SetObject asks about the old object only when it is shared. The counting may fail for
    // want of memory; the node then takes the object all the same, the slow way.
    const bool asks = old && old != object && old->GetRefCount() > 1;
    try {
        if (asks && !counted) {
            CountHolders(holders);
            counted = true;
        }
        if (counted) {
            // The node leaves the old object's count and joins the new one's before the change,
            // so that what SetObject asks is answered for the tree as it will be.
            if (object && object != old) ++holders.GetOrInsert(object);
            if (old && old != object)
                if (int* count = holders.Find(old)) --*count;
        }
    } catch (CXMemoryException*) {
        XDeleteThreadException();
        counted = false;
    }
    if (!counted) {
        node->SetObject(object, true);
        return;
    }
    counted = false;  // until the change is through
    {
        CHolderCountsInUse inUse(*this, &holders);
        node->SetObject(object, true);
    }
    counted = true;
}

int C3DScene::GenerateNormals(C3DSceneNode* start, unsigned int value, _NormalSmoothMode mode) {
    CLogTimer timer("C3DScene::GenerateNormals");
    CXArray<C3DSceneNode*> nodes;
    GetNodesByType(nodes, OBJECT_GEOMETRIC_MASK, start);
    auto generate = Hooks().generateNormals;
    const int n = nodes.GetSize();
    if (!generate || n == 0) return 0;

    CProgressScope progress(L"Generating normals", nullptr, 0, n);
    std::atomic<int> succeeded{0}, done{0};
    std::atomic<bool> cancelled{false};
    const int threads = OMPGetMaxThreadCount();
    const int chunk = int(OMPGetScheduleChunkSize(unsigned(n)));
    // Each object belongs to one iteration, so the hook never sees one object on two threads.
    // Progress and cancellation go through the calling thread (the team's master) only.
    // What an object raises is raised again here, once the loop is over.
    detail::CParallelFailure failure;
    detail::ParallelFor(n, threads, chunk, [&](int i) {
        if (cancelled.load(std::memory_order_relaxed)) return;
        failure.Run(i, [&] {
            if (generate(nodes[i]->GetGeomObject(), value, mode)) succeeded.fetch_add(1, std::memory_order_relaxed);
        });
        int d = done.fetch_add(1, std::memory_order_relaxed) + 1;
        if (omp_get_thread_num() == 0 && progress.Step(d)) cancelled.store(true, std::memory_order_relaxed);
    });
    // The calling thread reports only the objects it finished itself: the last ones may have
    // been other threads'. The end of the range is reported in any case.
    if (!cancelled.load(std::memory_order_relaxed)) progress.Step(done.load());
    failure.Rethrow();
    return succeeded.load();
}

int C3DScene::GenerateUVW(unsigned int flags) {
    auto generate = Hooks().generateUVW;
    if (!generate) return 0;
    int succeeded = 0;
    C3DNodePos pos = GetFirstNode(OBJECT_GEOMETRIC_MASK, WALK_SHARED_ONCE);
    while (pos) {
        C3DGeomObject* object;
        GetNextNode(pos, object);
        if (object && generate(object, flags)) ++succeeded;
    }
    return succeeded;
}

void C3DScene::CollectSources(C3DSceneNode* start, const C3DFilter* filter, CXArray<C3DSceneNode*>& sources) const {
    sources.SetSize(0);
    C3DNodePos pos = GetFirstNode(OBJECT_POLYMESH, WALK_START_IS_STOP, start);
    pos.SetFilter(filter);
    while (C3DSceneNode* node = GetNextNode(pos)) sources.Add(node);
}

namespace {

// The new node of a merge sits under `start` with an identity transform: each source's geometry
// goes into the frame of `start`'s node transform (its keys and its ancestors', at `time`).
C4x4TMatrix<float> ToFrameOf(C3DSceneNode* start, int time) {
    C4x4TMatrix<float> frame, local;
    for (C3DSceneNode* p = start; p; p = p->GetParentNode()) {
        p->GetNodeLocalTM(time, local);
        frame = local * frame;
    }
    return frame.GetInverse();
}

// The live faces of `object` whose material is one of materials[0 .. count), grouped by that
// material in index order: group k is grouped[first[k] .. first[k + 1]).
void GroupFacesByMaterial(const C3DGeomObject& object, const unsigned* materials, int count,
                          CXArray<int>& grouped, CXArray<int>& first) {
    CHashMap<unsigned, unsigned, int> groupOf;
    for (int k = 0; k < count; ++k) groupOf.Insert(materials[k], k);
    const C3DFaceList& faces = *object.GetFaceList();
    CXArray<int> group;  // per face: its group, or -1
    group.SetSize(faces.GetSize());
    first.SetSize(count + 1);
    for (int& f : first) f = 0;
    for (int f = 0; f < faces.GetSize(); ++f) {
        const int* k =
            faces.IsFaceLive(unsigned(f)) ? groupOf.Find(faces.GetFaceMaterial(unsigned(f))) : nullptr;
        group[f] = k ? *k : -1;
        if (k) ++first[*k + 1];
    }
    for (int k = 0; k < count; ++k) first[k + 1] += first[k];
    grouped.SetSize(first[count]);
    CXArray<int> next;
    next.SetSize(count);
    for (int k = 0; k < count; ++k) next[k] = first[k];
    for (int f = 0; f < faces.GetSize(); ++f)
        if (group[f] >= 0) grouped[next[group[f]]++] = f;
}

// An empty polygonal object with its lists, for the faces of a merge.
C3DObject* NewMergedObject() {
    C3DObjectCreator creator;
    XHeld<C3DObject> held(creator.GetNewPolygonalObject());
    held->SetPointList(creator.GetNewPointList(), true);
    held->SetFaceList(creator.GetNewFaceList(), true);
    return held.release();
}

}  // namespace

C3DSceneNode* C3DScene::ConcatenateInto(C3DSceneNode* start, const wchar_t* name, unsigned int material,
                                        const CXArray<C3DSceneNode*>& sources) {
    auto append = Hooks().appendObject;
    if (!append || sources.IsEmpty()) return nullptr;

    const C4x4TMatrix<float> toFrame = ToFrameOf(start, m_time);
    // Held until its node takes it, so that a failure on the way releases it.
    XHeld<C3DObject> held(NewMergedObject());
    C3DObject* merged = held.get();
    bool any = false;
    C4x4TMatrix<float> world;
    for (C3DSceneNode* source : sources) {
        source->GetNodeTM(m_time, world, true);
        any = append(merged, source->GetGeomObject(), toFrame * world, material) || any;
    }
    if (!any || merged->GetFaceNbr() == 0) return nullptr;
    // CreateNode releases the object itself when it fails.
    return CreateNode(start, name ? name : start->GetName().GetString(), held.release());
}

C3DSceneNode* C3DScene::Concatenate(C3DSceneNode* start, unsigned int flags, const C3DFilter* filter, const wchar_t* name) {
    if (!start) start = GetRoot();
    if (start->m_pScene != this) return nullptr;
    CXArray<C3DSceneNode*> sources;
    CollectSources(start, filter, sources);
    C3DSceneNode* node = ConcatenateInto(start, name, MATERIAL_NONE, sources);
    if (node && !(flags & CONCATENATE_KEEP_SOURCES)) RetireSources(sources);
    return node;
}

int C3DScene::ConcatenateByMaterials(C3DSceneNode* start, unsigned int flags, const C3DFilter* filter) {
    if (!start) start = GetRoot();
    if (start->m_pScene != this || !Hooks().appendObject) return 0;
    // The sources are fixed before any node is added, so that no merged node becomes a source.
    CXArray<C3DSceneNode*> sources;
    CollectSources(start, filter, sources);
    // The materials of each object, counted once however many nodes show it.
    struct Run {
        int begin, end;
    };
    CXArray<unsigned> objectMaterials;  // the counted objects' materials, one run per object
    CXArray<Run> runs;
    CHashMap<const void*, const void*, int> runOf;  // object -> 1 + index of its run
    CXArray<unsigned> materials;                    // every material met, once
    CHashTable<unsigned> met;
    CMaterialCountMap used;
    for (C3DSceneNode* source : sources) {
        C3DGeomObject* object = source->GetGeomObject();
        int& r = runOf.GetOrInsert(object);
        if (r != 0) continue;
        Run run{objectMaterials.GetSize(), 0};
        object->GetMaterialsHashMap(used, false, true);
        int p = kHashStartPosition;
        unsigned id;
        while (used.GetNext(p, id)) {
            if (id == MATERIAL_NONE) continue;
            objectMaterials.Add(id);
            if (met.Insert(id)) materials.Add(id);
        }
        run.end = objectMaterials.GetSize();
        runs.Add(run);
        r = runs.GetSize();
    }
    // Ascending, so that the new nodes come out in a fixed order.
    std::sort(materials.begin(), materials.end());
    auto append = Hooks().appendObject;
    const C4x4TMatrix<float> toFrame = ToFrameOf(start, m_time);

    // One merged object per material, each held until its node takes it, filled source by
    // source in the order they were collected. A source of several materials is split by
    // material first, so that each material's append reads only its own faces rather than the
    // whole object each time.
    CXArray<C3DObject*> merged;
    struct Release {
        CXArray<C3DObject*>& objects;
        ~Release() {
            for (C3DObject* object : objects)
                if (object) object->Delete();
        }
    } release{merged};
    CHashMap<unsigned, unsigned, int> slotOf;  // material -> its index in `materials` and `merged`
    merged.SetSize(materials.GetSize());
    for (int m = 0; m < materials.GetSize(); ++m) {
        slotOf.Insert(materials[m], m);
        merged[m] = NewMergedObject();
    }
    CXArray<int> grouped, first;  // a source's live faces grouped by material; each group's start
    C4x4TMatrix<float> world;
    for (int i = 0; i < sources.GetSize(); ++i) {
        C3DGeomObject* object = sources[i]->GetGeomObject();
        const Run& run = runs[*runOf.Find(object) - 1];
        if (run.begin == run.end) continue;
        sources[i]->GetNodeTM(m_time, world, true);
        const C4x4TMatrix<float> toMerged = toFrame * world;
        if (run.end - run.begin == 1) {
            const unsigned material = objectMaterials[run.begin];
            append(merged[*slotOf.Find(material)], object, toMerged, material);
            continue;
        }
        GroupFacesByMaterial(*object, objectMaterials.GetData() + run.begin, run.end - run.begin, grouped,
                             first);
        for (int k = 0; k < run.end - run.begin; ++k) {
            const unsigned material = objectMaterials[run.begin + k];
            const XHeld<C3DObject> part(
                object->SubObject(grouped.GetData() + first[k], unsigned(first[k + 1] - first[k])));
            if (part) append(merged[*slotOf.Find(material)], part.get(), toMerged, material);
        }
    }

    int created = 0;
    for (int m = 0; m < materials.GetSize(); ++m) {
        if (merged[m]->GetFaceNbr() == 0) continue;
        CXTString<wchar_t> name;
        if (C3DMaterial* known = m_materials.FindByID(materials[m]); known && !known->GetName().IsEmpty())
            name = known->GetName();
        else
            name.Format(L"%ls %u", MaterialNameStem().GetString(), materials[m]);
        // CreateNode releases the object itself when it fails.
        C3DObject* taken = merged[m];
        merged[m] = nullptr;
        if (CreateNode(start, name, taken)) ++created;
    }
    // A source may feed several materials' nodes: the sources retire once, at the end.
    if (created > 0 && !(flags & CONCATENATE_KEEP_SOURCES)) RetireSources(sources);
    return created;
}

// ---- smoothing and patches --------------------------------------------------------------------------

void C3DScene::InvalidateSceneSmoothing() {
    C3DNodePos pos = GetFirstNode(OBJECT_GEOMETRIC_MASK, WALK_SHARED_ONCE);
    while (pos) {
        C3DGeomObject* object;
        GetNextNode(pos, object);
        if (!object) continue;
        bool angleFromScene = false, modeFromScene = false;
        object->GetSmoothAngle(&angleFromScene);
        object->GetSmoothMode(&modeFromScene);
        if (angleFromScene || modeFromScene) object->InvalidateChannels(CHANNEL_POINT_NORMAL | CHANNEL_SPEC_NORMAL);
    }
}

bool C3DScene::SetSmoothAngle(float radians, bool setPreferences) {
    C3DPreferences* prefs = Get3DPreferences();
    float angle = radians == -1.0f ? prefs->GetSmoothAngle() : radians;
    double degrees = double(angle) * 180.0 / std::numbers::pi;
    if (!(degrees >= 0.0 && degrees <= kMaxSceneSmoothDegrees)) return false;
    if (angle == GetSmoothAngle()) return false;
    m_properties.SetFloat(SCENE_PROP_SMOOTH_ANGLE, angle);
    InvalidateSceneSmoothing();
    if (setPreferences) prefs->SetSmoothAngle(angle);
    return true;
}

float C3DScene::GetSmoothAngle() const {
    float angle = 0.0f;
    if (m_properties.GetFloat(SCENE_PROP_SMOOTH_ANGLE, angle)) return angle;
    return Get3DPreferences()->GetSmoothAngle();
}

bool C3DScene::SetSmoothMode(_NormalSmoothMode mode, bool setPreferences) {
    _NormalSmoothMode before = GetSmoothMode();
    if (mode == NORMAL_SMOOTH_SCENE)
        m_properties.RemoveCustom(SCENE_PROP_SMOOTH_MODE);
    else
        m_properties.SetUInt(SCENE_PROP_SMOOTH_MODE, uint32_t(mode));
    if (setPreferences) Get3DPreferences()->SetSmoothMode(mode);
    if (GetSmoothMode() == before) return false;
    InvalidateSceneSmoothing();
    return true;
}

_NormalSmoothMode C3DScene::GetSmoothMode() const {
    uint32_t mode = 0;
    if (m_properties.GetUInt(SCENE_PROP_SMOOTH_MODE, mode) && mode != 0) return _NormalSmoothMode(mode);
    return Get3DPreferences()->GetSmoothMode();
}

void C3DScene::SetPatchLevel(unsigned int level) {
    m_properties.SetUInt(SCENE_PROP_PATCH_LEVEL, level);
    auto apply = Hooks().setPatchLevel;
    if (!apply) return;
    C3DNodePos pos = GetFirstNode(OBJECT_PATCH, WALK_SHARED_ONCE);
    while (pos) {
        C3DBaseObject* object;
        GetNextNode(pos, object);
        if (object) apply(static_cast<C3DPatch*>(object), level);
    }
}

unsigned int C3DScene::GetPatchLevel() const {
    uint32_t level = 0;
    if (m_properties.GetUInt(SCENE_PROP_PATCH_LEVEL, level)) return level;
    return Get3DPreferences()->GetPatchLevel();
}

// ---- materials ------------------------------------------------------------------------------------

unsigned int C3DScene::FindMaterialID(const wchar_t* name) const {
    C3DMaterial* m = m_materials.FindByName(name);
    return m ? m->GetMaterialID() : MATERIAL_NONE;
}

int C3DScene::GetFBMaterials(CFBMaterialHashMap& map) const {
    C3DNodePos pos = GetFirstNode(OBJECT_POLYMESH | OBJECT_PATCH, WALK_SHARED_ONCE);
    while (pos) {
        C3DGeomObject* object;
        GetNextNode(pos, object);
        const CFBMaterialHashMap* pairs = object ? object->GetFBMaterialsHashMap() : nullptr;
        if (!pairs) continue;
        int p = kHashStartPosition;
        FBMaterialID pair;
        unsigned int faces;
        while (pairs->GetNext(p, pair, faces)) map.AddFaces(pair, faces);
    }
    return map.GetCount();
}

int C3DScene::GetMaterials(CMaterialCountMap& map) const {
    map.RemoveAll();
    C3DNodePos pos = GetFirstNode(OBJECT_POLYMESH | OBJECT_PATCH, WALK_SHARED_ONCE);
    while (pos) {
        C3DGeomObject* object;
        GetNextNode(pos, object);
        if (object) object->GetMaterialsHashMap(map, true, false);
    }
    return map.GetCount();
}

// ---- textures and files -----------------------------------------------------------------------------

int C3DScene::GetTexturePaths(CStringArray& paths) const {
    paths.RemoveAll();
    m_properties.GetStringArray(SCENE_PROP_TEXTURE_PATHS, paths);
    return paths.GetSize();
}

void C3DScene::SetTexturePaths(const CStringArray& paths) { m_properties.SetStringArray(SCENE_PROP_TEXTURE_PATHS, paths); }

void C3DScene::AddTexturePath(const wchar_t* path) {
    if (!path || !*path) return;
    CStringArray paths;
    GetTexturePaths(paths);
    for (const CXTString<wchar_t>& p : paths)
        if (p == path) return;
    paths.Add(CXTString<wchar_t>(path));
    SetTexturePaths(paths);
}

CXTString<wchar_t> C3DScene::GetTexturePath(int index) const {
    CStringArray paths;
    GetTexturePaths(paths);
    return index >= 0 && index < paths.GetSize() ? paths[index] : CXTString<wchar_t>();
}

bool C3DScene::FindBitmap(const wchar_t* fileName, CXTString<wchar_t>& path) const {
    if (!fileName || !*fileName || fileIsURL(fileName)) return false;
    if (fileIsAbsolutePath(fileName)) {
        if (IsFile(CXTString<wchar_t>(fileName))) {
            path = fileName;
            return true;
        }
    } else {
        if (!m_fileName.IsEmpty() && FindIn(fileGetDirectory(m_fileName), fileName, path)) return true;
        if (IsFile(CXTString<wchar_t>(fileName))) {
            path = fileName;
            return true;
        }
    }
    CStringArray paths;
    GetTexturePaths(paths);
    for (const CXTString<wchar_t>& dir : paths)
        if (FindIn(dir, fileName, path)) return true;
    for (const CXTString<wchar_t>& dir : Get3DPreferences()->GetTexturePaths())
        if (FindIn(dir, fileName, path)) return true;
    // Files written on Windows name folders with backslashes ("maps\\a.png").
    if (std::wcschr(fileName, L'\\')) {
        CXTString<wchar_t> slashed(fileName);
        slashed.Replace(L'\\', L'/');
        return FindBitmap(slashed, path);
    }
    return false;
}

namespace {

int IndexOf(const CXArray<CXTString<wchar_t>>& names, const CXTString<wchar_t>& name) {
    for (int k = 0; k < names.GetSize(); ++k)
        if (names[k] == name) return k;
    return -1;
}

// Offers `visit` (map, whether the name is the bitmap's rather than the alpha's, name) every
// non-empty bitmap and alpha file name of every map, materials by ascending identifier.
template <class Visit>
void ForEachMapFile(const CMaterials& materials, Visit&& visit) {
    CXArray<unsigned int> ids;
    materials.GetIDs(ids);
    for (unsigned int id : ids) {
        C3DMaterial* m = materials.FindByID(id);
        for (int i = 0; i < m->GetMapCount(); ++i) {
            CMaterialMap* map = m->GetMap(i);
            for (bool bitmap : {true, false}) {
                const CXTString<wchar_t>& name = bitmap ? map->GetFileName() : map->GetAlphaFileName();
                if (!name.IsEmpty()) visit(map, bitmap, name);
            }
        }
    }
}

}  // namespace

int C3DScene::GetLinkedFiles(CStringArray& files) const {
    files.RemoveAll();
    ForEachMapFile(m_materials, [&](CMaterialMap*, bool, const CXTString<wchar_t>& name) {
        CXTString<wchar_t> resolved;
        if (!FindBitmap(name, resolved)) resolved = name;
        if (IndexOf(files, resolved) < 0) files.Add(resolved);
    });
    return files.GetSize();
}

int C3DScene::MoveTextures(const wchar_t* directory) {
    if (!directory || !fileIsDirectory(directory)) return 0;
    // Every map's bitmap and alpha file, resolved before anything is copied (a copy could change
    // what a name resolves to), each distinct file once.
    struct MapFile {
        CMaterialMap* map;
        bool bitmap;
        int source;
    };
    CStringArray sources;
    CXArray<MapFile> uses;
    ForEachMapFile(m_materials, [&](CMaterialMap* map, bool bitmap, const CXTString<wchar_t>& name) {
        CXTString<wchar_t> found;
        if (!FindBitmap(name, found)) return;
        int k = IndexOf(sources, found);
        if (k < 0) k = sources.Add(found);
        uses.Add(MapFile{map, bitmap, k});
    });

    // Each file's name in the folder: a file already there keeps its own; any other takes its
    // bare name, or, when a file of this scene already has that name there, "name_1.ext",
    // "name_2.ext", ..., so that two textures of one name from different folders stay apart and
    // no texture of the scene is overwritten.
    CStringArray targets;
    targets.SetSize(sources.GetSize());
    for (int k = 0; k < sources.GetSize(); ++k) {
        const CXTString<wchar_t> own = fileJoinPath(directory, BareName(sources[k]));
        if (fileMakeAbsolutePath(own) == fileMakeAbsolutePath(sources[k])) targets[k] = own;
    }
    for (int k = 0; k < sources.GetSize(); ++k) {
        if (!targets[k].IsEmpty()) continue;
        const CXTString<wchar_t> bare = BareName(sources[k]);
        CXTString<wchar_t> target = fileJoinPath(directory, bare);
        for (int n = 1; IndexOf(targets, target) >= 0; ++n) {
            CXTString<wchar_t> numbered = fileRemoveExtension(bare);
            numbered.AppendFormat(L"_%d", n);
            numbered += fileGetExtension(bare);
            target = fileJoinPath(directory, numbered);
        }
        targets[k] = target;
    }

    // Copies, then the maps follow the files that reached the folder.
    CXArray<bool> moved;
    moved.SetSize(sources.GetSize());
    int count = 0;
    for (int k = 0; k < sources.GetSize(); ++k) {
        moved[k] = fileMakeAbsolutePath(targets[k]) == fileMakeAbsolutePath(sources[k]) ||
                   CopyFileContent(sources[k], targets[k]);
        if (moved[k]) ++count;
    }
    for (const MapFile& use : uses) {
        if (!moved[use.source]) continue;
        if (use.bitmap)
            use.map->SetFileName(targets[use.source]);
        else
            use.map->SetAlphaFileName(targets[use.source]);
    }
    return count;
}

int C3DScene::AdjustPaths(const wchar_t* directory, bool makeRelative) {
    CXTString<wchar_t> base = directory ? CXTString<wchar_t>(directory) : fileGetDirectory(m_fileName);
    if (base.IsEmpty()) return 0;
    return m_materials.AdjustPaths(base, makeRelative);
}

// ---- import pipeline --------------------------------------------------------------------------------

void C3DScene::CheckoutNode(C3DSceneNode* node) {
    if (!node) return;
    node->m_pScene = this;
    node->m_tmCacheValid = false;
    C3DBaseObject* object = node->GetBaseObject();
    if (!object) return;
    object->SetScene(this);
    const C3DFaceList* faces = object->IsGeomObject() ? static_cast<C3DGeomObject*>(object)->GetFaceList() : nullptr;
    if (!faces) return;
    const bool withBack = faces->HasBackFaceMaterials();
    for (int f = 0; f < faces->GetNumberOfFaces(); ++f) {
        unsigned int ids[2] = {faces->GetFaceMaterial(unsigned(f)),
                               withBack && faces->IsFaceLive(unsigned(f)) ? faces->GetBackFaceMaterial(unsigned(f)) : MATERIAL_NONE};
        for (unsigned int id : ids)
            if (id != MATERIAL_NONE && !m_materials.FindByID(id)) m_materials.CreateNewMaterial(id);
    }
}

bool C3DScene::CheckoutImport(unsigned int flags, _UP_AXIS_MODE upAxis, unsigned int swapCode) {
    CLogTimer timer("C3DScene::CheckoutImport");
    if (upAxis != UP_AXIS_NONE && GetUpAxis() != UP_AXIS_NONE) OrientScene(upAxis, false);
    if (swapCode) SwapCoordinates(swapCode);
    C3DSceneNode* root = GetRoot();
    for (CTreeNode* n = root; n; n = root->NextInSubtree(n)) CheckoutNode(AsNode(n));
    if (flags & SCENE_IMPORT_GLOBAL_COORDINATES) ConvertToGlobalCoordinates(m_time);
    if (flags & SCENE_IMPORT_CONCATENATE) {
        CXTString<wchar_t> name = fileGetName(fileRemoveExtension(m_fileName));
        Concatenate(root, 0, nullptr, name.IsEmpty() ? nullptr : name.GetString());
    } else if (flags & SCENE_IMPORT_CONCATENATE_BY_MATERIALS) {
        ConcatenateByMaterials(root, 0, nullptr);
    }
    if (flags & SCENE_IMPORT_GENERATE_UVW) GenerateUVW(0);
    const CXTString<wchar_t> stem = MaterialNameStem();
    int pos = kHashStartPosition;
    while (C3DMaterial* m = m_materials.GetNext(pos)) {
        if (!m->GetName().IsEmpty()) continue;
        CXTString<wchar_t> name;
        name.Format(L"%ls %d", stem.GetString(), int(m->GetMaterialID()));
        m->SetName(name);
    }
    return true;
}

}  // namespace kestovar
