#include "session_regression/daemon_activity.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace vantrel::test {

namespace {

std::string firstLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// The state letter of /proc/PID/stat: after the command name in parentheses.
char processState(pid_t pid) {
    std::string stat = firstLine("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : '?';
}

// The number of the system call it sleeps in; -1 while it runs.
long currentSyscall(pid_t pid) {
    std::istringstream words(firstLine("/proc/" + std::to_string(pid) + "/syscall"));
    long number = -1;
    return words >> number ? number : -1;
}

long long readCallCount(pid_t pid) {
    std::ifstream io("/proc/" + std::to_string(pid) + "/io");
    std::string key;
    long long value = 0;
    while (io >> key >> value) {
        if (key == "syscr:") return value;
    }
    return -1;
}

bool isLinkWait(long number) {
#ifdef SYS_select
    if (number == SYS_select) return true;
#endif
    return number == SYS_pselect6;
}

}  // namespace

DaemonActivity::DaemonActivity(pid_t pid, const std::string& device) : pid_(pid) {
    device_ = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

DaemonActivity::~DaemonActivity() {
    if (device_ >= 0) close(device_);
}

DaemonActivity::Snapshot DaemonActivity::take() const {
    Snapshot s;
    s.state = processState(pid_);
    s.syscall = currentSyscall(pid_);
    s.readCalls = readCallCount(pid_);
    if (device_ < 0 || ioctl(device_, FIONREAD, &s.queued) != 0) s.queued = -1;
    return s;
}

bool DaemonActivity::waitsForLink(const Snapshot& s, bool readOnly) const {
    bool blockingRead = s.syscall == SYS_read;
    return s.state == 'S' && s.queued == 0 &&
           (blockingRead || (!readOnly && isLinkWait(s.syscall)));
}

bool DaemonActivity::settled(Millis settle, bool readOnly) {
    Snapshot now = take();
    auto clock = std::chrono::steady_clock::now();
    if (!waitsForLink(now, readOnly)) {
        quiet_.reset();
        return false;
    }
    if (!quiet_ || !(*quiet_ == now)) {
        quiet_ = now;
        quietSince_ = clock;
        return false;
    }
    return clock - quietSince_ >= settle;
}

}  // namespace vantrel::test
