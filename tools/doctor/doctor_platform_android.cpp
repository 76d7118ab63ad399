// The doctor on the panel: the daemon is init's service (kServiceName), which runs
// as user system in group system (android/vantrel.rc) with init's default
// search path for services; every vantrel process on the panel is the daemon,
// and its records are in logcat.
#include <fcntl.h>
#include <paths.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "common/paths.h"
#include "platform/platform.h"
#include "tools/doctor/doctor.h"

namespace vantrel::doctor {

namespace {
constexpr uid_t kSystemUid = 1000;  // AID_SYSTEM
constexpr gid_t kSystemGid = 1000;  // AID_SYSTEM

constexpr char kLogcat[] = "/system/bin/logcat";
// logcat -d ends as soon as it has printed the buffer; one that does not is
// stuck (logd gone) and is given up.
constexpr int kLogcatMillis = 2000;
// The newest records first: at the daemon's longest records this is more
// than kDaemonLogLimit, so the size bound is the one that cuts.
constexpr char kLogcatLines[] = "4096";

using Clock = std::chrono::steady_clock;

// Reads `fd` to its end or `deadline`, keeping the last `limit` bytes. False
// when the deadline came first.
bool readUntilEnd(int fd, size_t limit, Clock::time_point deadline, std::string* text, bool* cut) {
    char buffer[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        struct pollfd readable = {fd, POLLIN, 0};
        int ready = left.count() > 0 ? poll(&readable, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return true;
        text->append(buffer, static_cast<size_t>(got));
        if (text->size() > limit) {
            text->erase(0, text->size() - limit);
            *cut = true;
        }
    }
}

// Runs `argv` with its output into `text` (the last `limit` bytes), for at
// most `millis`; a child still running then is killed. Its exit status, or -1
// when it could not run or was killed.
int runBounded(const char* const argv[], size_t limit, int millis, std::string* text, bool* cut) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return -1;
    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(out[1], STDOUT_FILENO);
        if (null >= 0) dup2(null, STDERR_FILENO);  // its complaints are not the report's
        execv(argv[0], const_cast<char* const*>(argv));
        _exit(127);
    }
    close(out[1]);
    bool ended =
        child > 0 &&
        readUntilEnd(out[0], limit, Clock::now() + std::chrono::milliseconds(millis), text, cut);
    close(out[0]);
    if (child < 0) return -1;
    if (!ended) kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

Identity daemonIdentity() {
    // "user system" and "group system" of the service
    return Identity{kSystemUid, kSystemGid, {kSystemGid}, "system (the service's user)"};
}

bool belongsToThisSetup(pid_t /*pid*/) {
    return true;
}

std::string serviceState() {
    char value[kPropertyValueMax] = {};
    platformPropertyGet(kServiceStateProperty.data(), value, "");
    return value;
}

std::string stopDaemonCommand(pid_t /*pid*/) {
    return std::string("adb shell stop ") + kServiceName;
}

std::string defaultSearchPath() {
    return _PATH_DEFPATH;  // what init gives every service
}

std::optional<std::string> daemonLogText(pid_t pid, std::string* source) {
    std::string pidOption = "--pid=" + std::to_string(pid);
    const char* argv[] = {kLogcat,           "-d", "-v",    "brief", "-t", kLogcatLines,
                          pidOption.c_str(), "-s", kLogTag, nullptr};
    std::string text;
    bool cut = false;
    int status = runBounded(argv, kDaemonLogLimit, kLogcatMillis, &text, &cut);
    if (status != 0) {
        *source =
            std::string("logcat ") +
            (status < 0 ? "did not finish within " + std::to_string(kLogcatMillis / 1000) + " s"
                        : "failed with status " + std::to_string(status));
        return std::nullopt;
    }
    // init sends a service's standard error nowhere: what the daemon writes
    // only there never reaches the doctor.
    *source = "logcat of pid " + std::to_string(pid) +
              (cut ? ", its last " + std::to_string(kDaemonLogLimit / 1024) + " KiB" : "") +
              "; not logged: its standard error (stray lead bytes, failed LED and NFC commands)";
    return text;
}

std::string stopAndProbeCommand(pid_t pid) {
    return stopDaemonCommand(pid) + "; adb shell vantrel-doctor --probe-board";
}

}  // namespace vantrel::doctor
