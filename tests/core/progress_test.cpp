// The progress callback stack and the scope object long operations report through.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kestovar/core/exception.h"
#include "kestovar/core/progress.h"
#include "kestovar/core/thread_registry.h"

using namespace kestovar;

namespace {

// One recorded call: kind, position and the texts seen.
struct Call {
    unsigned kind;
    int position;
    std::wstring title;
    std::wstring message;
};

struct Recorder {
    std::vector<Call> calls;
    bool answer = false;          // returned for every call
    unsigned cancelOnKind = 0;    // when non-zero: answer true only for calls with these bits
};

bool Record(unsigned kind, const ProcessProgressInfo& info, void* user) {
    Recorder* r = static_cast<Recorder*>(user);
    r->calls.push_back({kind, info.position, std::wstring(info.title.GetString()), std::wstring(info.message.GetString())});
    if (r->cancelOnKind) return (kind & r->cancelOnKind) == r->cancelOnKind;
    return r->answer;
}

std::vector<unsigned> Kinds(const Recorder& r) {
    std::vector<unsigned> kinds;
    for (const Call& c : r.calls) kinds.push_back(c.kind);
    return kinds;
}

// Pops whatever a failed test left on the stack.
class ProgressTest : public ::testing::Test {
protected:
    void TearDown() override {
        while (progressGetDepth() > 0) progressPopCallback();
        SetCancelThread(false, 0);
    }
};

}  // namespace

// A host's static object made before the stack's first use is destroyed after the library's
// statics, and may still report from its destructor while the process ends.
TEST(ProgressStack, ServesTheHostsLateStaticDestructors) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            struct Late {
                ~Late() {
                    progressPushCallback([](unsigned, const ProcessProgressInfo&, void*) { return false; },
                                         nullptr);
                    {
                        CProgressScope scope(L"late", nullptr, 0, 10);
                        scope.Step(10);
                    }
                    progressPopCallback();
                    std::_Exit(progressGetDepth() == 0 ? 0 : 1);
                }
            };
            static Late late;
            progressPushCallback(nullptr, nullptr);
            progressPopCallback();
            std::exit(2);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(ProgressTest, EmptyStackMeansNoCallback) {
    ProcessProgressInfo info;
    EXPECT_FALSE(progressCallCallback(PROGRESS_POSITION | PROGRESS_CANCEL_QUERY, info));
    EXPECT_FALSE(progressPopCallback());
    void* user = &info;
    EXPECT_EQ(nullptr, progressGetCallback(&user));
    EXPECT_EQ(nullptr, user);
    try {
        progressUserCancel();
        ADD_FAILURE() << "no exception on an empty stack";
    } catch (CXInvalidArgException* e) {
        EXPECT_EQ(e, XGetThreadException());
        XDeleteThreadException();
    }
}

TEST_F(ProgressTest, TopEntryReceivesCallsWithItsUserPointer) {
    Recorder bottom, top;
    progressPushCallback(&Record, &bottom);
    progressPushCallback(&Record, &top);
    void* user = nullptr;
    EXPECT_EQ(&Record, progressGetCallback(&user));
    EXPECT_EQ(&top, user);
    ProcessProgressInfo info;
    info.position = 7;
    progressCallCallback(PROGRESS_POSITION, info);
    ASSERT_EQ(1u, top.calls.size());
    EXPECT_EQ(7, top.calls[0].position);
    EXPECT_TRUE(bottom.calls.empty());
    EXPECT_EQ(2, progressGetDepth());
}

TEST_F(ProgressTest, OnlyCancelQueriesStoreTheAnswer) {
    Recorder bottom, top;
    top.answer = true;
    progressPushCallback(&Record, &bottom);
    progressPushCallback(&Record, &top);
    ProcessProgressInfo info;
    EXPECT_TRUE(progressCallCallback(PROGRESS_POSITION, info));  // answered, but not a query
    EXPECT_FALSE(progressUserCancel());
    EXPECT_TRUE(progressCallCallback(PROGRESS_POSITION | PROGRESS_CANCEL_QUERY, info));
    EXPECT_TRUE(progressUserCancel());
    top.answer = false;
    EXPECT_FALSE(progressCallCallback(PROGRESS_CANCEL_QUERY, info));  // a later "no" clears it
    EXPECT_FALSE(progressUserCancel());
    top.answer = true;
    progressCallCallback(PROGRESS_CANCEL_QUERY, info);

    EXPECT_TRUE(progressPopCallback());  // the popped entry's flag
    EXPECT_FALSE(progressUserCancel());  // the entry below starts cleared
    EXPECT_FALSE(progressPopCallback());
    EXPECT_EQ(0, progressGetDepth());
}

TEST_F(ProgressTest, ScopeSendsStartRangePositionAndEnd) {
    Recorder r;
    progressPushCallback(&Record, &r);
    {
        CProgressScope scope(L"Optimizing", L"bunny", 0, 10);
        scope.SetRange(0, 50);
        scope.SetPosition(5);
        scope.SetMessage(L"spider");
    }
    std::vector<unsigned> expected = {9, 4, 2, 8, 32};
    EXPECT_EQ(expected, Kinds(r));
    ASSERT_EQ(5u, r.calls.size());
    EXPECT_EQ(L"Optimizing", r.calls[0].title);
    EXPECT_EQ(L"bunny", r.calls[0].message);
    EXPECT_EQ(5, r.calls[2].position);
    EXPECT_EQ(L"spider", r.calls[4].message);
}

TEST_F(ProgressTest, StepQueriesEveryGranularityAndAtTheMaximum) {
    Recorder r;
    progressPushCallback(&Record, &r);
    {
        CProgressScope scope(L"Contracting", nullptr, 0, 10000);
        EXPECT_EQ(10, scope.GetGranularity());  // a thousandth of the range
        r.calls.clear();
        for (int i = 0; i <= 10000; ++i) scope.Step(i);
        // Positions 0, 10, ..., 10000: 1001 queries, each a position + cancel query.
        ASSERT_EQ(1001u, r.calls.size());
        EXPECT_EQ(18u, r.calls[0].kind);
        EXPECT_EQ(10, r.calls[1].position);
        EXPECT_EQ(10000, r.calls.back().position);
        scope.Step(10000);  // already reported
        EXPECT_EQ(1001u, r.calls.size());
        scope.ShouldCancel();  // always asks
        EXPECT_EQ(1002u, r.calls.size());
    }
    EXPECT_EQ(32u, r.calls.back().kind);

    // A small range queries on every step.
    r.calls.clear();
    CProgressScope small(L"Small", nullptr, 0, 5);
    for (int i = 0; i < 5; ++i) small.Step(i);
    EXPECT_EQ(6u, r.calls.size());  // start + 5 queries
}

TEST_F(ProgressTest, CancelIsStickyAndFollowsTheThreadRegistry) {
    Recorder r;
    r.cancelOnKind = PROGRESS_CANCEL_QUERY;
    progressPushCallback(&Record, &r);
    {
        CProgressScope scope(L"Cancelled by host", nullptr, 0, 3);
        EXPECT_FALSE(scope.IsCancelled());
        EXPECT_TRUE(scope.Step(1));
        EXPECT_TRUE(progressUserCancel());
        r.cancelOnKind = 0;  // the host changes its mind: the scope stays cancelled
        EXPECT_TRUE(scope.Step(2));
    }
    progressPopCallback();

    // No callback at all: the thread's cancel state alone decides.
    CProgressScope scope(L"Cancelled by thread", nullptr, 0, 100);
    EXPECT_FALSE(scope.ShouldCancel());
    SetCancelThread(true, 0);
    EXPECT_TRUE(scope.ShouldCancel());
    SetCancelThread(false, 0);
    EXPECT_TRUE(scope.IsCancelled());
}
