// The doctor on a plain Linux host: the daemon would run as the current user,
// the setup is the one under this process's VANTREL_ROOT, no init runs it, and
// its records go to its VANTREL_LOG or its standard error.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "tools/doctor/doctor.h"
#include "tools/proc/proc_table.h"

namespace vantrel::doctor {

namespace {

// A log the daemon has not written to since it started holds no record of
// this run; the slack covers the coarse start time /proc gives.
constexpr double kStartSlackSeconds = 1.0;

// What a log apart from standard error leaves out.
constexpr char kNotRead[] =
    "; not read: its standard error (stray lead bytes, failed LED and NFC commands)";

// Where the daemon's records go: its VANTREL_LOG (relative to its working
// folder, where it opens it), else its standard error.
std::string logPathOf(pid_t pid, std::string* words, bool* apart) {
    std::string proc = "/proc/" + std::to_string(pid);
    std::optional<std::string> log = environValue(pid, "VANTREL_LOG");
    *apart = log && !log->empty();
    if (!*apart) {
        *words = "its standard error";
        return proc + "/fd/2";
    }
    *words = "its VANTREL_LOG " + *log;
    return (*log)[0] == '/' ? *log : proc + "/cwd/" + *log;
}

// The last `limit` bytes of the regular file open on `fd`. Reads only up to
// the size it had when looked at, so a log that grows meanwhile cannot keep
// the doctor reading. The first line may be the end of one cut off: it lacks
// the record prefix and is never taken for a record.
std::string tailOf(int fd, const struct stat& info, size_t limit, bool* cut) {
    off_t size = info.st_size;
    off_t from = size > static_cast<off_t>(limit) ? size - static_cast<off_t>(limit) : 0;
    std::string text(static_cast<size_t>(size - from), '\0');
    size_t got = 0;
    while (got < text.size()) {
        ssize_t n = pread(fd, &text[got], text.size() - got, from + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // cut short meanwhile: what was read stands
        got += static_cast<size_t>(n);
    }
    text.resize(got);
    *cut = from > 0;
    return text;
}

// Whether the file was written after the daemon started.
bool writtenSinceStart(const struct stat& info, pid_t pid) {
    double running = secondsRunning(pid);
    if (running < 0) return true;  // unknown: let the records speak
    double started = static_cast<double>(time(nullptr)) - running;
    return static_cast<double>(info.st_mtime) >= started - kStartSlackSeconds;
}

}  // namespace

Identity daemonIdentity() {
    Identity who = currentUser();
    who.name += " (the current user)";
    return who;
}

bool belongsToThisSetup(pid_t pid) {
    const char* ours = getenv("VANTREL_ROOT");
    std::string root = ours != nullptr ? ours : "";
    std::optional<std::string> theirs = environValue(pid, "VANTREL_ROOT");
    // Its environment unreadable (another user's process): not ours to judge.
    if (!theirs.has_value() && !environReadable(pid)) return false;
    return theirs.value_or("") == root;
}

std::string serviceState() {
    return "";
}

std::string stopDaemonCommand(pid_t pid) {
    return "kill -INT " + std::to_string(pid);
}

std::string defaultSearchPath() {
    const char* path = getenv("PATH");
    return path != nullptr ? path : "";
}

std::optional<std::string> daemonLogText(pid_t pid, std::string* source) {
    auto nothing = [source](const std::string& why) -> std::optional<std::string> {
        *source = why;
        return std::nullopt;
    };
    if (!environReadable(pid))
        return nothing("its environment cannot be read (run the doctor as its user or root)");
    std::string words;
    bool apart = false;
    std::string path = logPathOf(pid, &words, &apart);
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return nothing(words + ": " + strerror(errno));
    // Never open anything else: a FIFO or a terminal could keep the doctor waiting.
    if (!S_ISREG(info.st_mode)) return nothing(words + " is not a regular file");
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        std::string why = words + ": " + strerror(errno);
        if (fd >= 0) close(fd);
        return nothing(why);
    }
    bool cut = false;
    std::string text = tailOf(fd, info, kDaemonLogLimit, &cut);
    close(fd);
    if (!writtenSinceStart(info, pid))
        return nothing(words + " has not been written since pid " + std::to_string(pid) +
                       " started");
    *source = words + (cut ? ", its last " + std::to_string(kDaemonLogLimit / 1024) + " KiB" : "") +
              (apart ? kNotRead : "");
    return text;
}

std::string stopAndProbeCommand(pid_t pid) {
    return stopDaemonCommand(pid) + "; vantrel-doctor --probe-board";
}

}  // namespace vantrel::doctor
