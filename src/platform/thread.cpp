#include "kestovar/platform/thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/thread_start.h"

namespace kestovar {

uint64_t threadGetCurrentId() {
    // gettid() is cached per thread: the syscall costs about 100 ns and the id is asked for on every
    // log line and cancellation check.
    thread_local uint64_t id = uint64_t(::syscall(SYS_gettid));
    return id;
}

namespace detail {

bool threadCanStart(size_t stackBytes) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    bool started = stackBytes == 0 || pthread_attr_setstacksize(&attributes, stackBytes) == 0;
    pthread_t thread;
    started = started && pthread_create(
                             &thread, &attributes, [](void*) -> void* { return nullptr; }, nullptr) == 0;
    if (started) pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    return started;
}

}  // namespace detail

}  // namespace kestovar
