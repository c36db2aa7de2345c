// A small Wavefront OBJ reader for the simplification tests and benchmark (positions, texture
// coordinates, triangle and polygon faces fanned into triangles, material switches), and the
// conversion of what it read into the library's lists. Deliberately independent of the library's
// own OBJ reader, so that a fault there does not show up as a simplification fault.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "kestovar/mesh/channels.h"
#include "kestovar/mesh/face.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/normal_channel.h"
#include "kestovar/mesh/point_list.h"

namespace kestovar::objtest {

struct ObjMesh {
    std::vector<float> xyz;        // 3 per point
    std::vector<float> uv;         // 2 per texture vertex
    std::vector<int> tris;         // 3 per triangle, point indices
    std::vector<int> uvTris;       // 3 per triangle, texture indices (-1 when the corner has none)
    std::vector<unsigned> material;  // one per triangle: index of its material name
    std::vector<std::string> materialNames;

    size_t PointCount() const { return xyz.size() / 3; }
    size_t TriangleCount() const { return tris.size() / 3; }
    bool HasUV() const { return !uv.empty(); }
};

// Reads `path`; false when the file cannot be opened or holds no triangle.
inline bool LoadObj(const std::string& path, ObjMesh& mesh) {
    std::ifstream in(path);
    if (!in) return false;
    std::map<std::string, unsigned> materials;
    unsigned currentMaterial = 0;
    std::string line;
    std::vector<int> fv, ft;
    while (std::getline(in, line)) {
        const char* s = line.c_str();
        while (*s == ' ' || *s == '\t') ++s;
        if (s[0] == 'v' && s[1] == ' ') {
            char* end;
            for (int k = 0; k < 3; ++k) {
                mesh.xyz.push_back(std::strtof(s + (k == 0 ? 2 : 0), &end));
                s = end;
            }
        } else if (s[0] == 'v' && s[1] == 't' && s[2] == ' ') {
            char* end;
            float u = std::strtof(s + 3, &end);
            float v = std::strtof(end, &end);
            mesh.uv.push_back(u);
            mesh.uv.push_back(v);
        } else if (s[0] == 'f' && s[1] == ' ') {
            fv.clear();
            ft.clear();
            std::istringstream words(s + 2);
            std::string w;
            while (words >> w) {
                int vi = std::atoi(w.c_str());
                int ti = 0;
                size_t slash = w.find('/');
                if (slash != std::string::npos && slash + 1 < w.size() && w[slash + 1] != '/')
                    ti = std::atoi(w.c_str() + slash + 1);
                vi = vi < 0 ? int(mesh.PointCount()) + vi : vi - 1;
                ti = ti < 0 ? int(mesh.uv.size() / 2) + ti : ti - 1;
                fv.push_back(vi);
                ft.push_back(ti);
            }
            for (size_t k = 1; k + 1 < fv.size(); ++k) {
                mesh.tris.insert(mesh.tris.end(), {fv[0], fv[k], fv[k + 1]});
                mesh.uvTris.insert(mesh.uvTris.end(), {ft[0], ft[k], ft[k + 1]});
                mesh.material.push_back(currentMaterial);
            }
        } else if (std::strncmp(s, "usemtl", 6) == 0) {
            std::string name = s + 6;
            name.erase(0, name.find_first_not_of(" \t"));
            auto it = materials.find(name);
            if (it == materials.end()) {
                it = materials.emplace(name, unsigned(mesh.materialNames.size())).first;
                mesh.materialNames.push_back(name);
            }
            currentMaterial = it->second;
        }
    }
    return !mesh.tris.empty();
}

// The library's lists of a mesh (one reference each, the caller's).
struct ObjLists {
    C3DPointList* points = nullptr;
    C3DFaceList* faces = nullptr;
    CDependentChannels* channels = nullptr;
};

// Fills `points` (an empty list of any point class) with the mesh's points.
inline void FillPoints(const ObjMesh& m, C3DPointList& points) {
    for (size_t i = 0; i < m.PointCount(); ++i) points.Add(m.xyz[3 * i], m.xyz[3 * i + 1], m.xyz[3 * i + 2]);
}

// Faces with material IDs (the material's index + 1, so that 0 stays "no material"), and, with
// `withUV` and texture coordinates present, one texture channel parallel to the faces.
inline void FillFacesAndChannels(const ObjMesh& m, C3DFaceList& faces, CDependentChannels& channels, bool withUV) {
    const int n = int(m.TriangleCount());
    faces.SetSize(n, 3, SETSIZE_COMPACT_EXACT);
    for (int f = 0; f < n; ++f) {
        CFace view;
        faces.GetFace(unsigned(f), view);
        view.SetIndexes(&m.tris[3 * size_t(f)], 3);
        faces.SetFaceMaterial(unsigned(f), m.material.empty() ? 0u : m.material[size_t(f)] + 1);
    }
    if (!withUV || !m.HasUV()) return;
    CUVWChannel* c = new CUVWChannel;
    CUVWPointList* up = c->GetUVWPointList();
    for (size_t i = 0; i < m.uv.size() / 2; ++i) up->Add(CUVWPoint(m.uv[2 * i], m.uv[2 * i + 1], 0.0f));
    CFaceList* cf = c->GetFaceList();
    cf->SetSize(n, 3, SETSIZE_COMPACT_EXACT);
    for (int f = 0; f < n; ++f) {
        CFace view;
        cf->GetFace(unsigned(f), view);
        int idx[3];
        for (int k = 0; k < 3; ++k) {
            int t = m.uvTris[3 * size_t(f) + size_t(k)];
            idx[k] = t < 0 ? 0 : t;
        }
        view.SetIndexes(idx, 3);
    }
    channels.AddChannel(c);
}

// Adds a specified-normal channel parallel to the faces: one normal per point, pointing away from
// the centre of the model, so that merged corners interpolate them.
inline void AddRadialNormals(const ObjMesh& mesh, CDependentChannels& channels) {
    CSpecNormalChannel* specified = new CSpecNormalChannel;
    double centre[3] = {0, 0, 0};
    for (size_t i = 0; i < mesh.PointCount(); ++i)
        for (int k = 0; k < 3; ++k) centre[k] += mesh.xyz[3 * i + size_t(k)] / double(mesh.PointCount());
    for (size_t i = 0; i < mesh.PointCount(); ++i) {
        double d[3], l = 0;
        for (int k = 0; k < 3; ++k) {
            d[k] = mesh.xyz[3 * i + size_t(k)] - centre[k];
            l += d[k] * d[k];
        }
        l = l > 0 ? std::sqrt(l) : 1.0;
        specified->GetNormalVectorList()->Add(C3DTVector<float>(float(d[0] / l), float(d[1] / l), float(d[2] / l)));
    }
    CFaceList* nf = specified->GetFaceList();
    nf->SetSize(int(mesh.TriangleCount()), 3, SETSIZE_COMPACT_EXACT);
    for (int f = 0; f < nf->GetSize(); ++f) {
        CFace view;
        nf->GetFace(unsigned(f), view);
        view.SetIndexes(&mesh.tris[3 * size_t(f)], 3);
    }
    channels.AddChannel(specified);
}

}  // namespace kestovar::objtest
