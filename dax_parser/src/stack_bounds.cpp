// The calling thread's stack bounds, from the C library where it tells them.
#include "stack_bounds.hpp"

#if defined(__linux__) && defined(__GLIBC__)
#include <pthread.h>
#endif

namespace dax::detail {

namespace {

std::uintptr_t look_up_stack_floor() noexcept {
#if defined(__linux__) && defined(__GLIBC__)
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 0;
    void* lowest = nullptr;
    std::size_t size = 0;
    const int failed = pthread_attr_getstack(&attributes, &lowest, &size);
    std::size_t guard = 0;
    pthread_attr_getguardsize(&attributes, &guard);
    pthread_attr_destroy(&attributes);
    if (failed != 0) return 0;
    // Some C libraries count the guard pages in the stack they report.
    return reinterpret_cast<std::uintptr_t>(lowest) + guard;
#else
    return 0;
#endif
}

}  // namespace

std::uintptr_t stack_floor() noexcept {
    // The main thread's bounds take a read of /proc/self/maps to find, so
    // each thread asks once; a thread's stack never moves.
    thread_local const std::uintptr_t floor = look_up_stack_floor();
    return floor;
}

}  // namespace dax::detail
