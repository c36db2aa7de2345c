// The quick path of CTriangulateFaceHelper::Clip for quadrangles (triangulate.cpp). Meshes of
// quadrangles are the common input of a triangulation, and on them Clip's general walk with its
// atan2 per corner is most of the time. For a quadrangle whose corners are strictly convex in
// its projection, the functions here find the same triangles, bit for bit, from the same
// projection and angle inputs without atan2; whatever they cannot decide (not strictly convex, no
// projection, a decision too close to call) they leave to Clip by returning -1. The several-lane
// forms give the scalar form's answers lane by lane. Not part of the public interface.
#pragma once

#include "kestovar/core/point.h"

namespace kestovar {
namespace detail {

// An ear whose corner angle exceeds this (a little above a right angle) is only cut when no
// sharper convex corner is left: cutting the sharpest corners first keeps triangles compact.
constexpr double kMaxPreferredAngle = 1.58;

// The triangles Clip cuts from quadrangle `indices` (four numbers into `points`): their corner
// numbers (0..3) written to `out`, three per triangle, and their count returned; -1 when Clip
// must decide.
int ClipConvexQuad(const C3DTPoint<float>* points, int pointCount, const int* indices, int out[6]);

// ClipConvexQuad for two, four or eight quadrangles at once, in the lanes of double vectors:
// `made[i]` is quadrangle i's count or -1. The corners must be valid indices into `points`. The
// Avx and Avx2 forms need those processor features (see platform/cpu_features.h).
void ClipConvexQuadPair(const C3DTPoint<float>* points, const int* indices[2], int out[2][6], int made[2]);
void ClipConvexQuadPairAvx(const C3DTPoint<float>* points, const int* indices[2], int out[2][6], int made[2]);
void ClipConvexQuadFourAvx2(const C3DTPoint<float>* points, const int* const indices[4], int out[4][6],
                            int made[4]);
void ClipConvexQuadEightAvx2(const C3DTPoint<float>* points, const int* const indices[8], int out[8][6],
                             int made[8]);

}  // namespace detail
}  // namespace kestovar
