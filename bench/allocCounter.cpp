#include "allocCounter.h"

#include <atomic>
#include <cstdlib>
#include <new>

static std::atomic<long> g_allocs{0};

long alloc_count() { return g_allocs.load(); }

void *operator new(size_t n) {
    ++g_allocs;
    if (void *p = malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { free(p); }
void operator delete(void *p, size_t) noexcept { free(p); }

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void *malloc(size_t n) {
    ++g_allocs;
    return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t size) {
    ++g_allocs;
    return __libc_calloc(n, size);
}
extern "C" void *realloc(void *p, size_t n) {
    ++g_allocs;
    return __libc_realloc(p, n);
}
