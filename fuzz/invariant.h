// Reporting a broken invariant from inside a harness. The message goes where
// the sanitizers report (standard error, or the descriptor libFuzzer keeps
// for itself under -close_fd_mask=2), then abort() makes libFuzzer save the
// input as a crash.
#pragma once

#define VANTREL_FUZZ_PRINTF(a, b) __attribute__((format(printf, a, b)))

namespace vantrel::fuzz {

[[noreturn]] void invariantBroken(const char* format, ...) VANTREL_FUZZ_PRINTF(1, 2);

}  // namespace vantrel::fuzz

// Checks `condition` in every build; on failure reports the text and aborts.
#define FUZZ_REQUIRE(condition, ...)                                   \
    do {                                                               \
        if (!(condition)) vantrel::fuzz::invariantBroken(__VA_ARGS__); \
    } while (0)
