// Record merges of a point-to-face graph (MergePointToFaceRecords) with and without the pool of
// emptied records: the pool may change where records live but never what they hold, and a pooled
// run of contraction-like merges reuses room instead of growing the buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "kestovar/mesh/face_graph_edit.h"

using namespace kestovar;

namespace {

using Records = std::vector<std::vector<int>>;

Records Contents(const CPointToFaceGraph& graph) {
    Records out(graph.GetSize());
    for (unsigned p = 0; p < graph.GetSize(); ++p) {
        unsigned n;
        const int* v = graph.Get(p, n);
        out[p].assign(v, v + n);
    }
    return out;
}

// Records of 3..9 distinct faces each, with `margin` values of room.
CPointToFaceGraph RandomGraph(std::mt19937& rng, unsigned points, unsigned margin) {
    CPointToFaceGraph graph;
    std::uniform_int_distribution<int> size(3, 9), face(0, 399);
    for (unsigned p = 0; p < points; ++p) {
        std::vector<int> faces;
        const int n = size(rng);
        while (int(faces.size()) < n) {
            const int f = face(rng);
            if (std::find(faces.begin(), faces.end(), f) == faces.end()) faces.push_back(f);
        }
        graph.Add(faces.data(), unsigned(faces.size()), unsigned(faces.size()) + margin);
    }
    return graph;
}

// What a merge must leave: the faces `kept` lacks appended in their order, `removed` empty.
void ModelMerge(Records& model, unsigned removed, unsigned kept) {
    if (removed == kept) return;
    std::vector<int> merged = model[kept];
    for (int f : model[removed])
        if (std::find(model[kept].begin(), model[kept].end(), f) == model[kept].end()) merged.push_back(f);
    model[kept] = merged;
    model[removed].clear();
}

}  // namespace

TEST(GraphRecordMerge, PooledAndPlainMergesHoldTheSameFaces) {
    std::mt19937 rng(11);
    CPointToFaceGraph pooled = RandomGraph(rng, 300, 3);
    CPointToFaceGraph plain = pooled;
    Records model = Contents(pooled);
    CGraphRoomPool pool;
    std::vector<unsigned> alive(300);
    for (unsigned p = 0; p < 300; ++p) alive[p] = p;
    // Contraction-like: a live record merges into another live one and dies, until a few remain,
    // so that kept records grow past their room and emptied records of many sizes pile up.
    while (alive.size() > 8) {
        std::uniform_int_distribution<size_t> pick(0, alive.size() - 1);
        const size_t i = pick(rng);
        size_t j = pick(rng);
        if (j == i) j = (j + 1) % alive.size();
        const unsigned removed = alive[i], kept = alive[j];
        ModelMerge(model, removed, kept);
        const int expected = int(model[kept].size());
        ASSERT_EQ(MergePointToFaceRecords(pooled, removed, kept, &pool), expected);
        ASSERT_EQ(MergePointToFaceRecords(plain, removed, kept, nullptr), expected);
        alive.erase(alive.begin() + long(i));
        ASSERT_EQ(Contents(pooled), model) << "after merging " << removed << " into " << kept;
        ASSERT_EQ(Contents(plain), model);
    }
    EXPECT_LT(pooled.GetUsedBytes(), plain.GetUsedBytes()) << "the pool reuses emptied room";
    EXPECT_EQ(MergePointToFaceRecords(pooled, 0, 300, &pool), 0) << "index out of range";
    EXPECT_EQ(MergePointToFaceRecords(pooled, alive[0], alive[0], &pool), int(model[alive[0]].size()));
    EXPECT_EQ(Contents(pooled), model);
}

TEST(GraphRecordMerge, PoolHandsOutOnlyRoomThatIsStillEmpty) {
    CPointToFaceGraph graph;
    const int faces[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    for (int p = 0; p < 6; ++p) graph.Add(faces, 2, 10);  // room for 10 values each
    graph.Add(faces, 2, 40);                              // point 6: room beyond the largest kept size
    for (unsigned p = 1; p < 5; ++p) graph.SetRecord(p, nullptr, 0);

    CGraphRoomPool pool;
    pool.Keep(6, 40);  // too large to be kept
    pool.Keep(0, 5);   // too small
    EXPECT_EQ(pool.GetCount(), 0);
    for (unsigned p = 1; p < 5; ++p) pool.Keep(p, 10);
    graph.SetRecord(4, faces, 3);  // filled again since: stale
    EXPECT_EQ(pool.Take(graph, 11, 99, 99), -1) << "no kept room is large enough";
    EXPECT_EQ(pool.GetCount(), 4);
    // Latest first: 4 is stale, 3 is excluded, both are dropped on the way to 2.
    EXPECT_EQ(pool.Take(graph, 8, 3, 99), 2);
    EXPECT_EQ(pool.GetCount(), 1);
    EXPECT_EQ(pool.Take(graph, 1, 99, 99), 1) << "a small need takes the smallest kept room";
    EXPECT_EQ(pool.Take(graph, 1, 99, 99), -1);

    for (int i = 0; i < CGraphRoomPool::kDepth + 10; ++i) pool.Keep(1, 10);
    EXPECT_EQ(pool.GetCount(), CGraphRoomPool::kDepth) << "a bucket keeps at most kDepth entries";
    pool.Clear();
    EXPECT_EQ(pool.GetCount(), 0);
}

TEST(GraphRecordMerge, OutgrownRecordTakesPooledRoomInPlace) {
    // Point 0 (room 4) outgrows its room when point 1 merges into it; point 2's emptied room of 12
    // is in the pool, so the merged record moves there and the buffer does not grow.
    CPointToFaceGraph graph;
    const int a[4] = {0, 1, 2, 3}, b[4] = {2, 3, 4, 5}, c[1] = {9};
    graph.Add(a, 4, 4);
    graph.Add(b, 4, 4);
    graph.Add(c, 1, 12);
    graph.SetRecord(2, nullptr, 0);
    CGraphRoomPool pool;
    pool.Keep(2, 12);
    const uint64_t used = graph.GetUsedBytes();
    EXPECT_EQ(MergePointToFaceRecords(graph, 1, 0, &pool), 6);
    EXPECT_EQ(graph.GetUsedBytes(), used);
    EXPECT_EQ(Contents(graph), (Records{{0, 1, 2, 3, 4, 5}, {}, {}}));
    EXPECT_EQ(graph.GetElement(0)->GetCapacity(), 12u);
    EXPECT_EQ(graph.GetElement(2)->GetCapacity(), 4u) << "point 2 keeps point 0's old room";
    EXPECT_EQ(pool.GetCount(), 0) << "rooms of 4 are too small to be kept";
}
