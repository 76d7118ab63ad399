#include "inspect/port_holders.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>

namespace vantrel::inspect {

namespace {

// The names the daemon runs under: the shipped binary and the test build.
bool isDaemonName(const std::string& name) {
    return name == "vantrel" || name == "vantrel-traced";
}

std::string canonical(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? resolved : path;
}

std::string commandOf(pid_t pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? "?" : name;
}

// The pty number of "/dev/pts/N", or -1 for any other device.
int ptyIndex(const std::string& device) {
    const std::string prefix = "/dev/pts/";
    if (device.compare(0, prefix.size(), prefix) != 0) return -1;
    char* end = nullptr;
    long index = strtol(device.c_str() + prefix.size(), &end, 10);
    return *end == '\0' && end != device.c_str() + prefix.size() ? static_cast<int>(index) : -1;
}

// The pty whose master side this descriptor is ("tty-index" in its fdinfo).
int masterIndex(const std::string& fdinfo) {
    std::ifstream info(fdinfo);
    std::string line;
    while (std::getline(info, line)) {
        if (line.compare(0, 10, "tty-index:") == 0) return atoi(line.c_str() + 10);
    }
    return -1;
}

// Whether `pid` has `device` open. A process that also holds the master side
// of the device's pseudo-terminal is the far end of the link (a simulated
// board keeps its slave open too), not a second reader: it does not count.
bool holds(pid_t pid, const std::string& device) {
    std::string base = "/proc/" + std::to_string(pid);
    DIR* fds = opendir((base + "/fd").c_str());
    if (fds == nullptr) return false;  // gone, or not ours to read
    int pty = ptyIndex(device);
    bool opened = false, farEnd = false;
    while (struct dirent* entry = readdir(fds)) {
        if (entry->d_name[0] == '.') continue;
        char target[PATH_MAX];
        ssize_t length = readlink((base + "/fd/" + entry->d_name).c_str(), target, sizeof target - 1);
        if (length <= 0) continue;
        target[length] = '\0';
        if (device == target) opened = true;
        if (pty >= 0 && strstr(target, "ptmx") != nullptr &&
            masterIndex(base + "/fdinfo/" + entry->d_name) == pty) {
            farEnd = true;
        }
    }
    closedir(fds);
    return opened && !farEnd;
}

}  // namespace

std::vector<PortHolder> findPortHolders(const std::string& device) {
    std::vector<PortHolder> holders;
    std::string wanted = canonical(device);
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return holders;
    while (struct dirent* entry = readdir(proc)) {
        if (!isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
        pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
        if (pid == getpid() || !holds(pid, wanted)) continue;
        PortHolder holder;
        holder.pid = pid;
        holder.command = commandOf(pid);
        holder.isDaemon = isDaemonName(holder.command);
        holders.push_back(holder);
    }
    closedir(proc);
    std::sort(holders.begin(), holders.end(),
              [](const PortHolder& a, const PortHolder& b) { return a.pid < b.pid; });
    return holders;
}

std::string describeHolder(const PortHolder& holder) {
    return holder.command + " (pid " + std::to_string(holder.pid) + ")";
}

}  // namespace vantrel::inspect
