// malloc & co. defined in the test executable take the place of the C
// library's for every caller in the process, the C library's own callers
// included; each forwards to glibc's allocator under its __libc_ name.
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <new>

#include "tests/memory/allocation_counter.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* block);
}

namespace {
// One thread counts; a forked child counts in its own copy.
volatile bool counting = false;
volatile long allocations = 0;

void noteAllocation() {
    if (counting) allocations = allocations + 1;
}
}  // namespace

namespace vantrel::test {

void startCountingAllocations() {
    allocations = 0;
    counting = true;
}

long stopCountingAllocations() {
    counting = false;
    return allocations;
}

}  // namespace vantrel::test

extern "C" void* malloc(size_t size) {
    noteAllocation();
    return __libc_malloc(size);
}

extern "C" void* calloc(size_t count, size_t size) {
    noteAllocation();
    return __libc_calloc(count, size);
}

extern "C" void* realloc(void* block, size_t size) {
    noteAllocation();
    return __libc_realloc(block, size);
}

extern "C" void free(void* block) {
    __libc_free(block);
}

extern "C" void* memalign(size_t alignment, size_t size) {
    noteAllocation();
    return __libc_memalign(alignment, size);
}

extern "C" void* aligned_alloc(size_t alignment, size_t size) {
    noteAllocation();
    return __libc_memalign(alignment, size);
}

extern "C" int posix_memalign(void** block, size_t alignment, size_t size) {
    noteAllocation();
    void* allocated = __libc_memalign(alignment, size);
    if (allocated == nullptr) return ENOMEM;
    *block = allocated;
    return 0;
}

// operator new and delete go through the counted malloc and free.
void* operator new(size_t size) {
    void* block = malloc(size == 0 ? 1 : size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void* operator new[](size_t size) {
    return operator new(size);
}

void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return malloc(size == 0 ? 1 : size);
}

void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return malloc(size == 0 ? 1 : size);
}

void operator delete(void* block) noexcept {
    free(block);
}

void operator delete[](void* block) noexcept {
    free(block);
}

void operator delete(void* block, size_t) noexcept {
    free(block);
}

void operator delete[](void* block, size_t) noexcept {
    free(block);
}
