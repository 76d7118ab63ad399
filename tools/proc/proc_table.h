// What /proc says about the other processes: their command lines and
// environments, and every descriptor they hold open. Read once per run, and
// only read: the doctor and the recorder look here, never at the files.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace vantrel::proc {

// One open descriptor of another process, by what it points to.
struct OpenFile {
    pid_t pid = 0;
    int fd = -1;
    dev_t dev = 0;    // file system of the inode
    ino_t ino = 0;    // the inode
    dev_t rdev = 0;   // device number of a device node
    mode_t type = 0;  // S_IFMT bits
};

struct ProcessTable {
    std::vector<pid_t> pids;      // every process but the doctor
    std::vector<OpenFile> files;  // their descriptors that could be looked at
    int unreadable = 0;           // processes whose descriptors could not be read
};

ProcessTable scanProcesses();

// argv of `pid` (empty when it cannot be read, e.g. a kernel thread).
std::vector<std::string> commandLine(pid_t pid);
// Its short name (/proc/PID/comm), "?" when unreadable.
std::string commandName(pid_t pid);
// A variable of its environment; nullopt when unset or unreadable.
std::optional<std::string> environValue(pid_t pid, const char* name);
bool environReadable(pid_t pid);
// Seconds since it started, -1 when unknown.
double secondsRunning(pid_t pid);
// Access mode of one descriptor (O_RDONLY, O_WRONLY, O_RDWR), -1 unknown.
int accessMode(pid_t pid, int fd);
// The pseudo-terminal index behind a /dev/ptmx descriptor, -1 for others.
int ptyMasterIndex(pid_t pid, int fd);
// A regular file's text, at most `limit` bytes; nullopt for anything else or
// when it cannot be read. A FIFO is never opened, so nothing waits.
std::optional<std::string> readRegularFile(const std::string& path, size_t limit = 65536);
// Its first line, without the line feed.
std::optional<std::string> readFirstLine(const std::string& path);

}  // namespace vantrel::proc
