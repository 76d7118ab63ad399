// Which processes have a device open, read from /proc without touching the
// device: the recorder refuses a port somebody else holds, and the doctor
// names the holders. Only what this process may read of /proc is seen; on a
// panel that is every process for root, the caller's own otherwise.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vantrel::inspect {

struct PortHolder {
    pid_t pid = 0;
    std::string command;  // the process's name (/proc/PID/comm)
    bool isDaemon = false;  // the sensor daemon itself (vantrel, or the test build vantrel-traced)
};

// The processes other than this one with a descriptor on `device` (links
// followed on both sides, so a link to a pty counts as the pty), by pid; the
// process at the pty's master side (a simulated board) is not among them.
std::vector<PortHolder> findPortHolders(const std::string& device);

// "vantrel (pid 812)".
std::string describeHolder(const PortHolder& holder);

}  // namespace vantrel::inspect
