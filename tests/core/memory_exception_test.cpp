// The allocation hook and the exception family with its per-thread registry.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "allocation_refusal.h"
#include "kestovar/core/custom_data.h"
#include "kestovar/core/exception.h"
#include "kestovar/core/memory.h"
#include "kestovar/core/runtime.h"
#include "memory_hook.h"

using namespace kestovar;

using kestovar::test::RecordingHook;

TEST(MemoryHook, SeesEachAllocationKindWithItsSize) {
    {
        RecordingHook hook;
        void* a = xmalloc(10);
        void* c = xcalloc(3, 4);  // the hook receives count * size
        void* n = xnew(24);
        a = xrealloc(a, 40);
        // xcalloc zero-fills even though the hook is a plain allocator.
        unsigned char zero[12] = {};
        EXPECT_EQ(0, std::memcmp(c, zero, 12));
        xfree(a);
        xfree(c);
        xdelete(n);
    }
    // Frees report their kind: 3 for xfree, 5 for xdelete, each with the block it releases.
    const auto& events = RecordingHook::events;
    typedef std::vector<std::tuple<char, int, size_t>> Calls;
    Calls seen;
    for (const auto& e : events) seen.emplace_back(e.what, e.kind, e.size);
    EXPECT_EQ(seen, (Calls{{'a', XMEM_MALLOC, 10},
                           {'a', XMEM_CALLOC, 12},
                           {'a', XMEM_NEW, 24},
                           {'r', 0, 40},
                           {'f', XMEM_FREE, 0},
                           {'f', XMEM_FREE, 0},
                           {'f', XMEM_DELETE, 0}}));
    ASSERT_EQ(7u, events.size());
    EXPECT_EQ(events[3].pointer, events[4].pointer);  // the reallocated block
    EXPECT_EQ(events[1].pointer, events[5].pointer);
    EXPECT_EQ(events[2].pointer, events[6].pointer);
}

TEST(MemoryHook, LibraryObjectsGoThroughNewAndDelete) {
    {
        RecordingHook hook;
        delete new CXUserException("hooked");
    }
    const auto& events = RecordingHook::events;
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(XMEM_NEW, events[0].kind);
    EXPECT_EQ(sizeof(CXUserException), events[0].size);
    EXPECT_EQ(XMEM_DELETE, events[1].kind);
    EXPECT_EQ(events[0].pointer, events[1].pointer);
}

// ---- Exception classes -----------------------------------------------------------------------------

TEST(Exception, FormattedDefaultTexts) {
    CXFileException named(CXFileException::fileNotFound, 2, "a.txt");
    EXPECT_STREQ("file error 2 on a.txt", named.GetMessage());
    EXPECT_STREQ("file error 15", CXFileException(CXFileException::badFormat).GetMessage());
    EXPECT_STREQ("archive error 3", CXArchiveException(CXArchiveException::endOfFile).GetMessage());
    EXPECT_STREQ("internet error 12029", CXInternetException(12029).GetMessage());
}

TEST(Exception, LongTextIsCutAndGetErrorMessageTruncates) {
    std::string longText(400, 'x');
    CXUserException e(longText.c_str());
    EXPECT_EQ(255u, std::strlen(e.GetMessage()));

    CXUserException shortOne("abcdef");
    char buffer[4] = {'?', '?', '?', '?'};
    EXPECT_TRUE(shortOne.GetErrorMessage(buffer, sizeof(buffer)));
    EXPECT_STREQ("abc", buffer);

    CXUserException empty;
    buffer[0] = '?';
    EXPECT_FALSE(empty.GetErrorMessage(buffer, sizeof(buffer)));
    EXPECT_EQ('\0', buffer[0]);
}

// ---- The per-thread registry -------------------------------------------------------------------------

namespace {

int g_destroyed = 0;

class CountingException : public CXUserException {
public:
    explicit CountingException(const char* text) : CXUserException(text) {}
    ~CountingException() override { ++g_destroyed; }
};

}  // namespace

TEST(ThreadException, ThrowRegistersAndDeleteReleases) {
    // Under AddressSanitizer this test also shows that the thrown object is not leaked.
    try {
        XThrow<CXInvalidArgException>("negative size");
        FAIL() << "XThrow returned";
    } catch (CXException* e) {
        EXPECT_TRUE(e->IsKindOf(KX_RUNTIME_CLASS(CXInvalidArgException)));
        EXPECT_STREQ("negative size", e->GetMessage());
        EXPECT_EQ(e, XGetThreadException());
        XDeleteThreadException();
    }
    EXPECT_EQ(nullptr, XGetThreadException());
    XDeleteThreadException();  // nothing registered: harmless
}

// A thread that throws while it holds an exception (a host calling the library from its catch
// block, the library throwing and handling one of its own) keeps the older one valid: the newer
// one goes on top, and releasing it makes the older one current again.
TEST(ThreadException, NewRegistrationStacksOnTheOlderOne) {
    g_destroyed = 0;
    CountingException* first = new CountingException("first");
    CountingException* second = new CountingException("second");
    XSetThreadException(first);
    XSetThreadException(first);  // the same object again: kept, once
    XSetThreadException(second);
    EXPECT_EQ(0, g_destroyed);
    EXPECT_EQ(second, XGetThreadException());
    XDeleteThreadException();
    EXPECT_EQ(1, g_destroyed);
    EXPECT_EQ(first, XGetThreadException());
    EXPECT_STREQ("first", first->GetMessage());

    // Thrown and handled inside a catch block, and released by Delete from the middle.
    CountingException* third = new CountingException("third");
    XSetThreadException(second = new CountingException("again"));
    XSetThreadException(third);
    second->Delete();  // not on top: taken out of the stack
    EXPECT_EQ(2, g_destroyed);
    EXPECT_EQ(third, XGetThreadException());
    XSetThreadException(first);  // a held exception thrown again goes back on top
    EXPECT_EQ(first, XGetThreadException());
    XDeleteThreadException();
    EXPECT_EQ(third, XGetThreadException());
    XDeleteThreadException();
    EXPECT_EQ(nullptr, XGetThreadException());
    EXPECT_EQ(4, g_destroyed);
}

// A library call that throws and handles an exception of its own, made while the host holds the
// one it caught, leaves the host's exception alive and registered.
TEST(ThreadException, AHeldExceptionSurvivesALibraryCallThatThrowsInside) {
    try {
        XThrow<CXUserException>("the host's");
    } catch (CXException* held) {
        // A nested set whose payload is a truncated block: reading it fails inside the library.
        CCustomData data;
        const uint8_t corrupt[8] = {0x35, 0x53, 0x55, 0x43, 5, 0, 0, 0};
        data.SetCustom(7, corrupt, sizeof corrupt, CUSTOM_KIND_CUSTOMDATA);
        CCustomData inner;
        EXPECT_FALSE(data.GetCustomData(7, inner));
        EXPECT_EQ(held, XGetThreadException());
        EXPECT_STREQ("the host's", held->GetMessage());
        XDeleteThreadException();
    }
    EXPECT_EQ(nullptr, XGetThreadException());
}

TEST(ThreadException, RegistrationsArePerThread) {
    CXException* mine = new CXUserException("main");
    XSetThreadException(mine);
    CXException* seenByWorker = reinterpret_cast<CXException*>(1);
    std::thread worker([&] {
        seenByWorker = XGetThreadException();
        try {
            XThrow<CXUserException>("worker");
        } catch (CXException*) {
            XDeleteThreadException();  // must not touch the main thread's record
        }
    });
    worker.join();
    EXPECT_EQ(nullptr, seenByWorker);
    EXPECT_EQ(mine, XGetThreadException());
    XDeleteThreadException();
}

// Threads that each keep an exception registered fill the registry until it has to grow. Each new
// thread first throws with its second allocation refused (the first is the exception itself), so
// that every growth of the registry is first tried and refused: the thrower must then get
// std::bad_alloc with nothing registered, never a memory exception standing in for the one it
// threw (the registration of that memory exception would re-enter the registry in mid-growth).
TEST(ThreadException, ARegistrationThatCannotGrowTheRegistryRaisesBadAlloc) {
    namespace refusal = kestovar::test::refusal;
    kestovar::test::RefusingHook hook;
    std::mutex lock;
    std::condition_variable wake;
    bool release = false;
    std::atomic<int> ready{0};
    std::atomic<int> growthsRefused{0}, wrongKind{0}, leftRegistered{0};
    std::vector<std::thread> holders;
    const int kHolders = 120;
    for (int k = 0; k < kHolders; ++k) {
        holders.emplace_back([&] {
            refusal::allocations = 0;
            refusal::refused = false;
            refusal::refuse = 2;
            try {
                XThrow<CXInvalidArgException>("thrown");
            } catch (CXInvalidArgException*) {
                XDeleteThreadException();
            } catch (std::bad_alloc&) {
                growthsRefused += refusal::refused ? 1 : 0;
                leftRegistered += XGetThreadException() != nullptr ? 1 : 0;
            } catch (CXException*) {
                ++wrongKind;
                XDeleteThreadException();
            }
            refusal::refuse = -1;
            XSetThreadException(new CXUserException("held"));
            ++ready;
            std::unique_lock<std::mutex> hold(lock);
            wake.wait(hold, [&] { return release; });
            XDeleteThreadException();
        });
        while (ready.load() != k + 1) std::this_thread::yield();
    }
    {
        std::lock_guard<std::mutex> hold(lock);
        release = true;
    }
    wake.notify_all();
    for (std::thread& t : holders) t.join();
    EXPECT_EQ(wrongKind.load(), 0);
    EXPECT_EQ(leftRegistered.load(), 0);
    EXPECT_GE(growthsRefused.load(), 1) << "no growth of the registry was refused";
}

TEST(ThreadException, DeleteMemberForgetsTheRegistration) {
    CXException* e = new CXUserException("x");
    XSetThreadException(e);
    e->Delete();
    EXPECT_EQ(nullptr, XGetThreadException());
    // An unregistered exception is simply deleted.
    (new CXUserException("y"))->Delete();
    // So does a plain delete of a registered one, at the top of its thread's stack or below it:
    // the stack goes on without it.
    CXException* below = new CXUserException("below");
    CXException* middle = new CXUserException("middle");
    CXException* top = new CXUserException("top");
    XSetThreadException(below);
    XSetThreadException(middle);
    XSetThreadException(top);
    delete middle;
    delete top;
    EXPECT_EQ(XGetThreadException(), below);
    XDeleteThreadException();
    EXPECT_EQ(nullptr, XGetThreadException());
}

// After a close the first exception makes the registry again and registers its release for the
// next close. With each allocation of that refused in turn, the next close leaves nothing behind:
// the release is registered before the registry is made, so that no registry can exist without it.
TEST(ThreadException, ARegistryMadeUnderRefusedAllocationsIsReleasedAtTheNextClose) {
    for (long n = -1; n <= 8; ++n) {
        ASSERT_TRUE(InitKestovarApplication());
        CloseKestovarApplication(KESTOVAR_CLOSE_RELEASE_ALL);
        {
            RecordingHook hook(n);
            try {
                XThrow<CXUserException>("first after close");
            } catch (CXUserException*) {
                XDeleteThreadException();
            } catch (CXMemoryException*) {
                XDeleteThreadException();
            } catch (std::bad_alloc&) {
            }
            if (n > 0 && RecordingHook::calls < n) break;
            ASSERT_TRUE(InitKestovarApplication());
            CloseKestovarApplication(KESTOVAR_CLOSE_RELEASE_ALL);
            EXPECT_EQ(RecordingHook::live.size(), 0u) << "allocation " << n << " refused";
        }
    }
}

TEST(ThreadException, CloseReleasesTheRegistryWithWhatItHolds) {
    ASSERT_TRUE(InitKestovarApplication());
    g_destroyed = 0;
    XSetThreadException(new CountingException("never released"));
    CloseKestovarApplication(KESTOVAR_CLOSE_RELEASE_ALL);
    EXPECT_EQ(1, g_destroyed);
    EXPECT_EQ(nullptr, XGetThreadException());
    // Usable again after the close: the registry is created anew.
    try {
        XThrow<CXUserException>("after close");
    } catch (CXException* e) {
        EXPECT_EQ(e, XGetThreadException());
        XDeleteThreadException();
    }
}
