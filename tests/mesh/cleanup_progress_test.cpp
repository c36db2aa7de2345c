// What the clean-up operations tell the host while they run. The weld at tolerance 0: the exact
// sequence of progress messages (start, one query every granularity points from 0, the end at
// the last point), and an object left untouched when the host cancels at any query, on meshes
// that take the hashing pass and on one that needs the grid. Triangulation: a task over the
// faces, queried about every granularity faces and ended at the last one, in both of its passes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "cleanup_test_util.h"
#include "kestovar/core/progress.h"
#include "kestovar/core/runtime.h"
#include "kestovar/mesh/face_list.h"

namespace kestovar::test {
namespace {

struct Message {
    unsigned kind;
    int position, minimum, maximum;
    bool operator==(const Message& o) const {
        return kind == o.kind && position == o.position && minimum == o.minimum && maximum == o.maximum;
    }
};

struct Recorder {
    std::vector<Message> messages;
    int queries = 0;
    int cancelAt = -1;  // answer "cancel" to this query (0-based); -1: never
};

bool Record(unsigned kind, const ProcessProgressInfo& info, void* user) {
    Recorder& r = *static_cast<Recorder*>(user);
    r.messages.push_back({kind, info.position, info.minimum, info.maximum});
    if (!(kind & PROGRESS_CANCEL_QUERY)) return false;
    return r.queries++ == r.cancelAt;
}

// Triangles of a w x h grid, each with its own three points (heights near zero on one row so
// that some points take the cell path of the hashing pass).
std::vector<P3> SplitGridPoints(int w, int h) {
    std::vector<P3> pts;
    auto at = [](int x, int y) {
        return P3{float(x) * 0.25f + 1.0f, float(y) * 0.25f - 2.0f, y == 3 ? 0.0f : 1.5f};
    };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (const P3& p :
                 {at(x, y), at(x + 1, y), at(x + 1, y + 1), at(x, y), at(x + 1, y + 1), at(x, y + 1)})
                pts.push_back(p);
    return pts;
}

std::vector<Poly> Triangles(int points) {
    std::vector<Poly> faces;
    for (int i = 0; i + 2 < points; i += 3) faces.push_back({i, i + 1, i + 2});
    return faces;
}

// A split grid, optionally with two points in touching cells near zero (x = 0 and about 1.5 cells
// from it), which sends the weld from the hashing pass to the grid.
std::vector<P3> Mesh(int side, bool touching) {
    std::vector<P3> pts = SplitGridPoints(side, side);
    if (touching) {
        pts[7] = {0.0f, 0.5f, 0.5f};
        P3 lo = pts[0], hi = pts[0];
        for (const P3& p : pts)
            for (int k = 0; k < 3; ++k) lo[k] = std::min(lo[k], p[k]), hi[k] = std::max(hi[k], p[k]);
        double diagonal = 0.0;
        for (int k = 0; k < 3; ++k) diagonal += double(hi[k] - lo[k]) * double(hi[k] - lo[k]);
        const double cell = std::sqrt(diagonal) * 1.5 / 2147483647.0;
        pts[8] = {float(1.5 * cell), 0.5f, 0.5f};  // the cell next to that of x = 0
    }
    return pts;
}

// Welds `pts` (as separate triangles) at tolerance 0 while `r` records the progress messages;
// returns the object (the caller deletes it) and the weld's answer.
C3DObject* WeldRecorded(const std::vector<P3>& pts, Recorder& r, bool& changed) {
    C3DObject* obj = MakeObject(pts, Triangles(int(pts.size())));
    progressPushCallback(&Record, &r);
    changed = obj->Weld3DPoints(0.0, false, 0, 0);
    EXPECT_EQ(progressPopCallback(), r.cancelAt >= 0) << "the pop reports the cancel";
    return obj;
}

TEST(WeldProgress, OneQueryPerGranularityFromZeroAndTheEndAtTheLastPoint) {
    for (bool touching : {false, true})
        for (int side : {3, 20, 45}) {
            const std::vector<P3> pts = Mesh(side, touching);
            const int n = int(pts.size());
            Recorder r;
            bool changed = false;
            Owned obj = WeldRecorded(pts, r, changed);
            EXPECT_TRUE(changed);
            // The two touching points merge, their triangle collapses and goes with them.
            EXPECT_EQ(obj->GetPointNbr(), (side + 1) * (side + 1));

            const int g = n / 1000 > 0 ? n / 1000 : 1;
            std::vector<Message> expected = {{PROGRESS_START | PROGRESS_TEXT, 0, 0, n}};
            for (int pass = 0; pass < (touching ? 2 : 1); ++pass)
                for (int p = 0; p < n; p += g)
                    expected.push_back({PROGRESS_POSITION | PROGRESS_CANCEL_QUERY, p, 0, n});
            expected.push_back({PROGRESS_END, n - 1, 0, n});
            EXPECT_EQ(r.messages, expected)
                << side << " x " << side << " grid, " << n << " points, touching " << touching;
        }

    // Points all at one position leave no usable cell size: one pass too, every point merges.
    std::vector<P3> pts = Mesh(20, false);
    for (P3& p : pts) p = {1.0f, 2.0f, 3.0f};
    const int n = int(pts.size());
    Recorder r;
    bool changed = false;
    Owned obj = WeldRecorded(pts, r, changed);
    EXPECT_TRUE(changed);
    EXPECT_EQ(obj->GetPointNbr(), 0) << "every triangle collapses";
    ASSERT_EQ(r.messages.size(), 2u + size_t((n - 1) / (n / 1000) + 1));
    EXPECT_EQ(r.messages.back(), (Message{PROGRESS_END, n - 1, 0, n}));
}

TEST(WeldProgress, ACancelAtAnyQueryStopsThereAndChangesNothing) {
    // 45 x 45 split grid: 12150 points, a query every 12, 1013 queries per pass.
    for (bool touching : {false, true}) {
        const std::vector<P3> pts = Mesh(45, touching);
        const int n = int(pts.size());
        const int g = n / 1000;
        const int perPass = (n - 1) / g + 1;
        std::vector<int> cancels = {0, 1, 500, perPass - 1};
        if (touching) cancels.insert(cancels.end(), {perPass, perPass + 3, 2 * perPass - 1});
        for (int cancelAt : cancels) {
            Recorder r;
            r.cancelAt = cancelAt;
            bool changed = true;
            Owned obj = WeldRecorded(pts, r, changed);
            EXPECT_FALSE(changed);
            EXPECT_EQ(r.queries, cancelAt + 1) << "no query after the cancel";
            ASSERT_GE(r.messages.size(), 2u);
            EXPECT_EQ(r.messages[r.messages.size() - 2].position, (cancelAt % perPass) * g);
            EXPECT_EQ(r.messages.back().kind, unsigned(PROGRESS_END));
            ASSERT_EQ(obj->GetPointNbr(), n);
            for (int i = 0; i < n; ++i) {
                const C3DTPoint<float>& p = obj->GetPointList()->GetAt(i);
                ASSERT_TRUE(p.x == pts[i][0] && p.y == pts[i][1] && p.z == pts[i][2]) << i;
                ASSERT_FALSE(p.IsOneFlagSet(POINT_REMOVED)) << i;
            }
            EXPECT_EQ(ReadFaces(*obj->GetFaceList()), Triangles(n));
        }
    }
}

// Triangulation reports over the faces of its pass: the task's range is the face count, the
// queries come in order about every granularity faces (quadrangles go in groups of up to eight)
// from the first face on, and the task ends at the last face.
TEST(TriangulateProgress, QueriesFollowTheFacesFromTheFirstToTheLast) {
    for (bool general : {false, true}) {
        const int w = 60, h = 50, n = w * h;
        std::vector<P3> pts;
        for (int y = 0; y <= h; ++y)
            for (int x = 0; x <= w; ++x) pts.push_back({float(x), float(y), 0.0f});
        std::vector<Poly> faces;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int a = y * (w + 1) + x;
                faces.push_back({a, a + 1, a + w + 2, a + w + 1});
            }
        Owned obj = MakeObject(pts, faces);
        if (general) {
            // A face list with a data chunk of its own takes the general pass.
            C3DFaceList& list = *obj->GetFaceList();
            list.AddDataChunk(FACE_CHUNK_ORIGINAL_INDEX, new COriginalIndexMethods);
            list.GetData(FACE_CHUNK_ORIGINAL_INDEX)->GetMethods()->Delete();
        }
        Recorder r;
        progressPushCallback(&Record, &r);
        ASSERT_TRUE(obj->Triangulate(0, _FACE_PROPERTIES(0), true));
        progressPopCallback();
        EXPECT_EQ(obj->GetFaceList()->GetSize(), 2 * n);

        ASSERT_GE(r.messages.size(), 3u);
        EXPECT_EQ(r.messages.front(), (Message{PROGRESS_START | PROGRESS_TEXT, 0, 0, n}));
        EXPECT_EQ(r.messages.back(), (Message{PROGRESS_END, n - 1, 0, n}));
        const int g = n / 1000;
        int last = -g;
        for (size_t i = 1; i + 1 < r.messages.size(); ++i) {
            const Message& m = r.messages[i];
            ASSERT_EQ(m.kind, unsigned(PROGRESS_POSITION | PROGRESS_CANCEL_QUERY)) << i;
            EXPECT_GE(m.position - last, g) << i;
            EXPECT_LT(m.position - last, g + 8) << i;
            last = m.position;
        }
        EXPECT_EQ(r.messages[1].position, 0);
        EXPECT_GT(last, n - 1 - (g + 8)) << "queries up to the last faces";
    }
}

// The callback stack belongs to the thread that initialised the library: a weld run on another
// host thread meanwhile neither reports to it nor takes its cancel answer, and still reports on
// the driving thread itself.
TEST(WeldProgress, OnlyTheDrivingThreadReportsToTheCallbackStack) {
    InitKestovarApplication(nullptr, 0, nullptr);  // this thread drives
    ASSERT_TRUE(progressIsDrivingThread());
    const std::vector<P3> pts = Mesh(20, false);
    Recorder r;
    r.cancelAt = 0;  // the driving thread's operation asks to cancel
    progressPushCallback(&Record, &r);
    Owned obj = MakeObject(pts, Triangles(int(pts.size())));
    bool changed = false, driving = true;
    std::thread other([&] {
        driving = progressIsDrivingThread();
        changed = obj->Weld3DPoints(0.0, false, 0, 0);
    });
    other.join();
    EXPECT_FALSE(driving);
    EXPECT_TRUE(changed);
    EXPECT_EQ(obj->GetPointNbr(), 21 * 21);
    EXPECT_TRUE(r.messages.empty());
    Owned here = MakeObject(pts, Triangles(int(pts.size())));
    EXPECT_FALSE(here->Weld3DPoints(0.0, false, 0, 0)) << "cancelled at its first query";
    EXPECT_TRUE(progressPopCallback());
    EXPECT_FALSE(r.messages.empty());
    CloseKestovarApplication(0);
}

}  // namespace
}  // namespace kestovar::test
