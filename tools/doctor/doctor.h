// vantrel-doctor's checks: each looks at one thing the daemon needs, the way
// the daemon sees it (its paths, properties, options and serial settings),
// and says what it saw and, when something is wrong, what to do.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "tools/proc/port_holders.h"
#include "tools/proc/proc_table.h"

namespace vantrel::doctor {

// ---- where the doctor runs: what the daemon's own platform layer
// (platform/platform.h) does not say: whose rights the daemon has, which
// running vantrel belongs to this setup, and init's view of the service. One
// implementation for the panel, one for a plain Linux host; the build picks
// one, the checks never ask which.

// A user as the kernel sees it when it judges a file's mode bits.
struct Identity {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // supplementary groups
    std::string name;           // for the report: "system", "uid 1000"
};

// The user the daemon runs as: the service's user and groups on the panel,
// the current user on a host.
Identity daemonIdentity();

// Whether the vantrel process `pid` is the daemon of this setup. On a host
// only one under the same VANTREL_ROOT counts; on the panel every one does.
bool belongsToThisSetup(pid_t pid);

// init's state of the service ("running", "restarting", "stopped"), or ""
// where init does not run the daemon (a host).
std::string serviceState();

// What to type to stop the daemon `pid` for a while (init would start it
// again at once if it were only killed on the panel).
std::string stopDaemonCommand(pid_t pid);

// The search path a daemon started now would get, for finding am and bslsh
// when no running daemon's own environment can be read.
std::string defaultSearchPath();

// The most of a daemon's log the doctor reads: its newest records.
constexpr size_t kDaemonLogLimit = 256 * 1024;

// The log records of the daemon `pid`, oldest first, at most kDaemonLogLimit
// bytes of them: on the panel what logcat still holds of that process's
// records; on a host the end of the file they go to (its VANTREL_LOG, else its
// standard error when that is a regular file). `source` says where they came
// from and whether older ones were left unread; with nullopt it says why
// there is nothing to read. Never waits long: a stuck reader is given up.
std::optional<std::string> daemonLogText(pid_t pid, std::string* source);

// What to type now to stop the daemon `pid` and ask the board with the
// doctor's probe.
std::string stopAndProbeCommand(pid_t pid);

// ---- the checks

// The doctor reads /proc through tools/proc: OpenFile, holdersOf, ...
using namespace vantrel::proc;

enum class Verdict { Ok, Warn, Fail, Skip };
const char* verdictName(Verdict verdict);

struct CheckResult {
    std::string check;  // "daemon", "serial-device", ... (the JSON name)
    Verdict verdict = Verdict::Ok;
    std::string detail;  // what it saw
    std::string fix;     // one line for warn and fail, else empty
};

// A running daemon of this setup and what its command line asks for.
struct DaemonProcess {
    pid_t pid = 0;
    std::vector<std::string> options;  // its arguments after the program name
    bool motionGiven = false;          // -m
    bool lightGiven = false;           // -l
    std::string portPath;              // -p, empty without it
    double upSeconds = -1;
};

// What every check may look at, gathered once.
struct Survey {
    Identity user;                       // the daemon's user
    std::vector<DaemonProcess> daemons;  // running daemons of this setup
    std::string device;                  // the serial device the daemon opens
    ProcessTable processes;
    // The options of the service as its init file defines them (pid 0);
    // nullopt when the file or the service in it is missing.
    std::optional<DaemonProcess> service;
    std::string serviceFile;  // the init file's path
};

// Scans /proc and finds the daemons; `device` is the doctor's -p, or empty.
Survey takeSurvey(const std::string& device);

// The checks without the board, in report order (daemon .. selinux).
std::vector<CheckResult> runLocalChecks(const Survey& survey);

// The board itself (--probe-board): identification and `listenSeconds` of
// listening. Talks to the board; changes nothing else.
CheckResult probeBoard(const Survey& survey, double listenSeconds);

// ---- helpers shared by the checks

// The user the doctor itself runs as.
Identity currentUser();
// A fixed path of the daemon's (common/paths.h) as the daemon opens it: under
// VANTREL_ROOT on a host.
std::string resolved(const char* fixedPath);
// "pid 12 (sleep), pid 40 (sh)".
std::string processList(const std::vector<pid_t>& pids);
// Where the symbolic link at `path` points, "" when it cannot be read.
std::string linkTarget(const std::string& path);
// A row's verdict only gets worse: a worse one replaces the verdict and its
// fix, an equal or better one changes nothing.
void worsen(CheckResult* row, Verdict to, const std::string& fix);
// Whether `who` may read (4), write (2) or execute (1) the node by its mode
// bits alone; root gets no pass, since the daemon on the panel is not root.
bool modePermits(const struct stat& node, const Identity& who, int want);
// Quotes a raw text for a report line: printable ASCII as it is, other bytes
// as \xHH.
std::string quoted(const std::string& text);
// Who holds the serial device open: the daemons of this setup, the far end
// of a pseudo-terminal (a simulated board on a host), and everyone else.
struct DeviceHolders {
    std::vector<pid_t> daemons;
    std::vector<pid_t> boardSide;
    std::vector<pid_t> others;
};
DeviceHolders deviceHolders(const Survey& survey, const std::string& device,
                            const struct stat& node);
// The serial port a daemon holds: the character device on one of its
// descriptors past standard error (it keeps no other device open). nullopt
// when it holds none; `visible` is false when its descriptors could not be
// read at all.
struct HeldPort {
    int fd = -1;
    dev_t rdev = 0;
    std::string path;  // where the descriptor leads: "/dev/pts/5"
};
std::optional<HeldPort> heldPort(const Survey& survey, pid_t pid, bool* visible);
// The node a daemon opens: its -p, else /dev/ttymxc1 (under VANTREL_ROOT on a
// host).
std::string daemonNode(const DaemonProcess& daemon);
// Whether `node`, through its links, still leads to the device `port` is
// open on; `words` say where it leads now ("NODE leads to /dev/pts/7 now").
bool nodeLeadsTo(const std::string& node, const HeldPort& port, std::string* words);
// A fix as the doctor gives it: the lasting change (device tree, init or
// ueventd file, policy) and, where one exists, what to type now to see or
// mend it at once ("adb shell ls -lZ /dev/ttymxc1").
std::string advice(const std::string& lasting, const std::string& now = "");
// "1.6.25": the one firmware version the daemon accepts.
std::string requiredFirmwareVersion();

// The activity row (activity_check.cpp): what the running daemon is doing
// now, from its own records and /proc.
CheckResult checkActivity(const Survey& survey);

}  // namespace vantrel::doctor
