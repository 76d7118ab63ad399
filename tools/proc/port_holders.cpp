#include "tools/proc/port_holders.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/sysmacros.h>

#include <algorithm>

#include "common/paths.h"

namespace vantrel::proc {

namespace {

constexpr unsigned kPtyMasterMajor = 5;  // /dev/ptmx is 5:2
constexpr unsigned kPtyMasterMinor = 2;

bool isDaemonProgram(const std::string& arg) {
    return arg.substr(arg.find_last_of('/') + 1) == kProgramName;
}

// The pty number of "/dev/pts/N" (also through links to it), or -1 for any
// other device.
int ptsIndex(const std::string& path) {
    char resolved[PATH_MAX];
    std::string device = realpath(path.c_str(), resolved) != nullptr ? resolved : path;
    const std::string prefix = "/dev/pts/";
    if (device.compare(0, prefix.size(), prefix) != 0 || device.size() == prefix.size()) return -1;
    char* end = nullptr;
    long index = strtol(device.c_str() + prefix.size(), &end, 10);
    return *end == '\0' ? static_cast<int>(index) : -1;
}

void addOnce(std::vector<pid_t>* pids, pid_t pid) {
    if (std::find(pids->begin(), pids->end(), pid) == pids->end()) pids->push_back(pid);
}

}  // namespace

std::optional<std::vector<std::string>> daemonArguments(const std::vector<std::string>& args) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (!isDaemonProgram(args[i])) continue;
        while (i + 1 < args.size() && isDaemonProgram(args[i + 1])) ++i;
        return std::vector<std::string>(args.begin() + static_cast<long>(i) + 1, args.end());
    }
    return std::nullopt;
}

std::vector<OpenFile> holdersOf(const ProcessTable& table, const struct stat& node) {
    std::vector<OpenFile> holders;
    bool device = S_ISCHR(node.st_mode) || S_ISBLK(node.st_mode);
    for (const OpenFile& file : table.files) {
        bool same = device ? (file.type == (node.st_mode & S_IFMT) && file.rdev == node.st_rdev)
                           : (file.dev == node.st_dev && file.ino == node.st_ino);
        if (same) holders.push_back(file);
    }
    return holders;
}

std::vector<pid_t> readersOf(const ProcessTable& table, const struct stat& node) {
    std::vector<pid_t> readers;
    for (const OpenFile& file : holdersOf(table, node)) {
        int mode = accessMode(file.pid, file.fd);
        if (mode == O_RDONLY || mode == O_RDWR) addOnce(&readers, file.pid);
    }
    return readers;
}

DeviceUsers deviceUsers(const ProcessTable& table, const std::string& device,
                        const struct stat& node) {
    DeviceUsers users;
    int pts = ptsIndex(device);
    if (pts >= 0) {
        for (const OpenFile& file : table.files) {
            if (file.type == S_IFCHR && major(file.rdev) == kPtyMasterMajor &&
                minor(file.rdev) == kPtyMasterMinor && ptyMasterIndex(file.pid, file.fd) == pts) {
                addOnce(&users.farEnd, file.pid);
            }
        }
    }
    for (const OpenFile& file : holdersOf(table, node)) {
        if (std::find(users.farEnd.begin(), users.farEnd.end(), file.pid) == users.farEnd.end()) {
            addOnce(&users.holders, file.pid);
        }
    }
    std::sort(users.holders.begin(), users.holders.end());
    return users;
}

bool isDaemonProcess(pid_t pid) {
    return daemonArguments(commandLine(pid)).has_value();
}

std::string describeProcess(pid_t pid) {
    // comm is cut at 15 bytes: the argument it begins is the whole name.
    std::string name = commandName(pid);
    for (const std::string& arg : commandLine(pid)) {
        std::string base = arg.substr(arg.find_last_of('/') + 1);
        if (base.size() > name.size() && base.compare(0, name.size(), name) == 0) {
            name = base;
            break;
        }
    }
    return "pid " + std::to_string(pid) + " (" + name + ")";
}

}  // namespace vantrel::proc
