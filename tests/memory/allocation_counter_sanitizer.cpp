// In a sanitized build the sanitizer's runtime owns malloc & co. and
// operator new; its allocation hook sees every allocation they make.
#include <cstddef>

#include "tests/memory/allocation_counter.h"

extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*,
                                                                            size_t),
                                                         void (*freeHook)(const volatile void*));

namespace {

volatile bool counting = false;
volatile long allocations = 0;

void onAllocation(const volatile void*, size_t) {
    if (counting) allocations = allocations + 1;
}

void onRelease(const volatile void*) {}

// Installed before main, while the process has one thread.
const int hooksInstalled = __sanitizer_install_malloc_and_free_hooks(onAllocation, onRelease);

}  // namespace

namespace vantrel::test {

void startCountingAllocations() {
    allocations = 0;
    counting = hooksInstalled > 0;
}

long stopCountingAllocations() {
    counting = false;
    return allocations;
}

}  // namespace vantrel::test
