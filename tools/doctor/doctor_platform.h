// What the doctor needs to know about where it runs that the daemon's own
// platform layer (platform/platform.h) does not say: whose rights the daemon
// has, which running vantrel belongs to this setup, and init's view of the
// service. One implementation for the panel, one for a plain Linux host; the
// build picks one, the checks never ask which.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::doctor {

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

}  // namespace vantrel::doctor
