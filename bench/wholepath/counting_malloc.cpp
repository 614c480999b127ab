#include "counting_malloc.h"

#include <atomic>
#include <cerrno>
#include <cstddef>

namespace {
std::atomic<long> allocations{0};
}

long countedAllocations() {
    return allocations.load(std::memory_order_relaxed);
}

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);

__attribute__((visibility("default"))) void* malloc(size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
__attribute__((visibility("default"))) void* calloc(size_t count, size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
__attribute__((visibility("default"))) void* realloc(void* block, size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(block, size);
}
__attribute__((visibility("default"))) void* aligned_alloc(size_t alignment, size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_memalign(alignment, size);
}
__attribute__((visibility("default"))) void* memalign(size_t alignment, size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_memalign(alignment, size);
}
__attribute__((visibility("default"))) int posix_memalign(void** out, size_t alignment, size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    void* block = __libc_memalign(alignment, size);
    if (!block) return ENOMEM;
    *out = block;
    return 0;
}
}
