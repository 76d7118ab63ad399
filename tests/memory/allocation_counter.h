// Counts the heap allocations this process makes while counting is on. The
// build links one of two counters: allocation_counter_libc.cpp replaces
// malloc & co. and operator new/delete; allocation_counter_sanitizer.cpp
// (sanitized builds, whose runtime owns malloc) uses the sanitizer's
// allocation hooks. A forked child counts in its own copy, never here.
#pragma once

namespace vantrel::test {

void startCountingAllocations();
// Stops counting; the allocations made since startCountingAllocations().
long stopCountingAllocations();

}  // namespace vantrel::test
