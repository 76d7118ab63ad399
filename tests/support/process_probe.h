// What /proc tells about a running process: the system call it sleeps in,
// the CPU time it has used, its signal masks. Tests use it to act at an exact
// point of the daemon's run (a SIGINT while it sleeps in a pause, not just
// before it), and to report what a fault costs it.
//
//   ASSERT_TRUE(waitUntilSleepingIn(h.pid(), pauseCalls())) << h.diagnostics();
//   h.sendSignal(SIGINT);  // lands inside the pause
//
// The calls are the kernel's numbers: this build's SYS_* numbers, and the
// number the kernel shows for a child of the test sleeping the same way
// (learned once), which differs under a user-mode emulator such as qemu-user.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/process_harness.h"

namespace vantrel::test {

// The system call `pid` is inside (/proc/<pid>/syscall), nullopt when it is
// running user code or cannot be inspected.
std::optional<long> currentSyscall(pid_t pid);
// True once `pid` sleeps (state S) inside one of `syscalls`; false after
// `timeout`, or at once when the process has ended.
bool waitUntilSleepingIn(pid_t pid, const std::vector<long>& syscalls,
                         Millis timeout = kDefaultWait);

// The calls the daemon sleeps in, by what it is doing there.
std::vector<long> pauseCalls();      // a pause (nanosleep)
std::vector<long> portWaitCalls();   // waiting with select for the port
std::vector<long> readCalls();       // a blocking read (inside a frame)
std::vector<long> childWaitCalls();  // waiting for `am` or `bslsh` to end

// User plus system CPU time `pid` has used so far, in seconds.
std::optional<double> cpuSeconds(pid_t pid);

// A signal mask line ("SigBlk", "SigIgn", "SigPnd", "ShdPnd", ...) of a
// /proc/<pid>/status text, as a bit set in which bit N-1 stands for signal N.
std::optional<uint64_t> signalMaskIn(const std::string& statusText, const std::string& field);
// The same line read from /proc/<pid>/status.
std::optional<uint64_t> signalMask(pid_t pid, const std::string& field);
bool hasSignal(uint64_t mask, int signal);

}  // namespace vantrel::test
