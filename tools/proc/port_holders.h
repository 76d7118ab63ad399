// Who has a device node open, from a /proc scan (proc_table.h), without
// touching the device: the recorder refuses a port somebody else holds, and
// the doctor names the holders. Only what this process may read of /proc is
// seen; on a panel that is every process for root, the caller's own otherwise.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "tools/proc/proc_table.h"

namespace vantrel::proc {

// The descriptors of other processes on the node: by device number for a
// device node, else by inode.
std::vector<OpenFile> holdersOf(const ProcessTable& table, const struct stat& node);

// The processes that have the FIFO or file at `node` open for reading (read
// only or read-write), each once, in the order /proc lists them. Each value a
// FIFO carries goes to one of its readers only.
std::vector<pid_t> readersOf(const ProcessTable& table, const struct stat& node);

// The processes with `device` (at `node`) open, each once, by pid. A process
// that holds the master side of the device's pseudo-terminal is the far end
// of the link (a simulated board keeps its slave open too), not a second
// reader: it is listed apart.
struct DeviceUsers {
    std::vector<pid_t> holders;
    std::vector<pid_t> farEnd;
};
DeviceUsers deviceUsers(const ProcessTable& table, const std::string& device,
                        const struct stat& node);

// The arguments after the daemon's program name (kProgramName) in a process's
// command line, nullopt when it runs no daemon. Under an emulator the command
// line is the emulator's ("qemu-arm /b/vantrel /b/vantrel -m": the program
// and its argv[0] side by side), so argv[0] alone cannot tell.
std::optional<std::vector<std::string>> daemonArguments(const std::vector<std::string>& args);

// Whether `pid` runs the sensor daemon, by its command line.
bool isDaemonProcess(pid_t pid);

// "pid 12 (sleep)", with the whole name where comm cut it at 15 bytes.
std::string describeProcess(pid_t pid);

}  // namespace vantrel::proc
