// What /proc tells about a running process: CPU time, memory, descriptors and
// children. The doctor reads how long the daemon has run here; on a host the
// benchmark, the soak and the scenario replay read the rest. Never the daemon.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vantrel::proc {

// "/proc/PID/FILE".
std::string procPath(pid_t pid, const char* file);

// The processes /proc lists now, this one included.
std::vector<pid_t> processIds();

// The fields of /proc/PID/stat after the command name, which may hold blanks
// and parentheses: [0] is the state (field 3 of proc(5)). Empty when the
// process is gone.
std::vector<std::string> statFields(pid_t pid);

// User plus system CPU time in clock ticks (sysconf(_SC_CLK_TCK) a second);
// -1 when the process is gone.
long cpuTicks(pid_t pid);
double cpuSeconds(pid_t pid);

// A "Name: N kB" (or plain number) field of /proc/PID/status, e.g. "VmRSS",
// "VmHWM", "voluntary_ctxt_switches"; -1 when absent.
long statusField(pid_t pid, const char* name);

// Entries of /proc/PID/fd; -1 when it cannot be read.
int openDescriptors(pid_t pid);

struct Child {
    pid_t pid = -1;
    char state = '?';  // 'Z': exited and not yet waited for
};
// The processes whose parent is `pid`.
std::vector<Child> children(pid_t pid);

}  // namespace vantrel::proc
