#include "support/process_probe.h"

#include <signal.h>
#include <sys/select.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace vantrel::test {

namespace {

std::string procFile(pid_t pid, const char* name) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/" + name);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The fields of /proc/<pid>/stat after the command name, which may itself
// hold blanks and parentheses: field 3 (the state) comes first.
std::vector<std::string> statFieldsAfterName(pid_t pid) {
    std::string stat = procFile(pid, "stat");
    size_t nameEnd = stat.rfind(')');
    std::vector<std::string> fields;
    if (nameEnd == std::string::npos) return fields;
    std::istringstream rest(stat.substr(nameEnd + 1));
    std::string field;
    while (rest >> field) fields.push_back(field);
    return fields;
}

// "S" sleeping, "R" running, "Z" ended but not yet waited for, "" gone...
std::string stateOf(pid_t pid) {
    std::vector<std::string> fields = statFieldsAfterName(pid);
    return fields.empty() ? "" : fields[0];
}

bool contains(const std::vector<long>& calls, long call) {
    for (long candidate : calls) {
        if (candidate == call) return true;
    }
    return false;
}

}  // namespace

std::optional<long> currentSyscall(pid_t pid) {
    std::istringstream text(procFile(pid, "syscall"));
    std::string first;
    if (!(text >> first) || first == "running") return std::nullopt;
    char* end = nullptr;
    long call = strtol(first.c_str(), &end, 10);
    if (end == first.c_str() || *end != '\0' || call < 0) return std::nullopt;
    return call;
}

bool waitUntilSleepingIn(pid_t pid, const std::vector<long>& syscalls, Millis timeout) {
    bool ended = false;
    bool found = waitUntil(
        [&]() {
            std::string state = stateOf(pid);
            ended = state.empty() || state == "Z" || state == "X";
            if (ended || state != "S") return ended;
            std::optional<long> call = currentSyscall(pid);
            return call && contains(syscalls, *call);
        },
        timeout, Millis(1));
    return found && !ended;
}

// ---- what each kind of sleep looks like in /proc
//
// The kernel shows its own numbers for the calls. Natively those are this
// build's SYS_* numbers; under a user-mode emulator (qemu-user runs an ARM
// build on an x86-64 host) they are the host's. So each list also holds the
// number seen for a child of ours that sleeps exactly as the daemon does:
// through the same C library, on the same emulator if any.

namespace {

// The children's sleeps, each announced on `ready` first, then kept up until
// the child is killed. Only async-signal-safe calls: the test has threads.
void announce(int ready) {
    char byte = 1;
    (void)!write(ready, &byte, 1);
}

[[noreturn]] void sleepInPause(int ready) {
    announce(ready);
    for (;;) {
        struct timespec longPause = {3600, 0};
        nanosleep(&longPause, nullptr);
    }
}

[[noreturn]] void sleepInPortWait(int ready) {
    int quiet[2];
    if (pipe(quiet) != 0) _exit(1);
    announce(ready);
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(quiet[0], &readable);
        struct timeval limit = {3600, 0};
        select(quiet[0] + 1, &readable, nullptr, nullptr, &limit);
    }
}

[[noreturn]] void sleepInRead(int ready) {
    int empty[2];
    if (pipe(empty) != 0) _exit(1);
    announce(ready);
    for (;;) {
        char byte;
        (void)!read(empty[0], &byte, 1);
    }
}

[[noreturn]] void sleepInChildWait(int ready) {
    pid_t child = fork();
    if (child == 0) {
        struct timespec longPause = {3600, 0};
        for (;;) nanosleep(&longPause, nullptr);
    }
    announce(ready);
    for (;;) waitpid(child, nullptr, 0);
}

// Runs `sleeper` in a child (its own process group) and returns the call
// that /proc shows it asleep in, once that has held for 20 ms.
std::optional<long> observedCall(void (*sleeper)(int ready)) {
    int ready[2];
    if (pipe(ready) != 0) return std::nullopt;
    pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        sleeper(ready[1]);
    }
    close(ready[1]);
    std::optional<long> seen;
    if (child > 0) {
        setpgid(child, child);
        char byte;
        bool announced = read(ready[0], &byte, 1) == 1;
        int steady = 0;
        auto settled = [&]() {
            std::optional<long> call =
                stateOf(child) == "S" ? currentSyscall(child) : std::optional<long>();
            steady = call && call == seen ? steady + 1 : 0;
            seen = call;
            return steady >= 20;
        };
        if (!announced || !waitUntil(settled, Millis(3000), Millis(1))) seen.reset();
        kill(-child, SIGKILL);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    close(ready[0]);
    return seen;
}

std::vector<long> withObserved(std::vector<long> calls, void (*sleeper)(int ready)) {
    std::optional<long> observed = observedCall(sleeper);
    if (observed && !contains(calls, *observed)) calls.push_back(*observed);
    return calls;
}

std::vector<long> nativePauseCalls() {
    std::vector<long> calls{SYS_clock_nanosleep};
#ifdef SYS_nanosleep
    calls.push_back(SYS_nanosleep);
#endif
    return calls;
}

std::vector<long> nativePortWaitCalls() {
    std::vector<long> calls{SYS_pselect6};
#ifdef SYS_select
    calls.push_back(SYS_select);
#endif
#ifdef SYS__newselect
    calls.push_back(SYS__newselect);
#endif
    return calls;
}

}  // namespace

std::vector<long> pauseCalls() {
    static const std::vector<long> calls = withObserved(nativePauseCalls(), sleepInPause);
    return calls;
}

std::vector<long> portWaitCalls() {
    static const std::vector<long> calls = withObserved(nativePortWaitCalls(), sleepInPortWait);
    return calls;
}

std::vector<long> readCalls() {
    static const std::vector<long> calls = withObserved({SYS_read}, sleepInRead);
    return calls;
}

std::vector<long> childWaitCalls() {
    static const std::vector<long> calls = withObserved({SYS_wait4}, sleepInChildWait);
    return calls;
}

std::optional<double> cpuSeconds(pid_t pid) {
    // utime and stime are fields 14 and 15; the list starts at field 3.
    std::vector<std::string> fields = statFieldsAfterName(pid);
    if (fields.size() < 13) return std::nullopt;
    double ticks = strtod(fields[11].c_str(), nullptr) + strtod(fields[12].c_str(), nullptr);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::optional<uint64_t> signalMaskIn(const std::string& statusText, const std::string& field) {
    std::istringstream lines(statusText);
    std::string line;
    std::string prefix = field + ":";
    while (std::getline(lines, line)) {
        if (line.compare(0, prefix.size(), prefix) != 0) continue;
        std::string hex = line.substr(prefix.size());
        char* end = nullptr;
        uint64_t mask = strtoull(hex.c_str(), &end, 16);
        if (end == hex.c_str()) return std::nullopt;
        return mask;
    }
    return std::nullopt;
}

std::optional<uint64_t> signalMask(pid_t pid, const std::string& field) {
    return signalMaskIn(procFile(pid, "status"), field);
}

bool hasSignal(uint64_t mask, int signal) {
    return ((mask >> (signal - 1)) & 1u) != 0;
}

}  // namespace vantrel::test
