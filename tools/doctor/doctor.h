// vantrel-doctor's checks: each looks at one thing the daemon needs, the way
// the daemon sees it (its paths, properties, options and serial settings),
// and says what it saw and, when something is wrong, what to do.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "tools/doctor/doctor_platform.h"
#include "tools/proc/port_holders.h"
#include "tools/proc/proc_table.h"

namespace vantrel::doctor {

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
