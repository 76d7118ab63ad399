// Gathering what every check looks at, and the small helpers they share.
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/daemon_state.h"
#include "common/paths.h"
#include "daemon/options.h"
#include "firmware/board_identification.h"
#include "platform/platform.h"
#include "tools/doctor/doctor.h"
#include "tools/doctor/init_file.h"

namespace vantrel::doctor {

namespace {

// /dev/null, /dev/zero, /dev/urandom: devices a process may hold that lead
// to no board.
constexpr unsigned kMemoryDeviceMajor = 1;

// A daemon with `options`, read as the daemon read them at its start, with
// its own parser; the shared state is put back as it was.
DaemonProcess withOptions(const std::vector<std::string>& options) {
    DaemonProcess daemon;
    daemon.options = options;
    std::vector<std::string> args = {kProgramName};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    RunSettings settings;
    optind = 0;  // a fresh scan, on glibc and on bionic alike
    parseOptions(static_cast<int>(args.size()), argv.data(), &settings);
    daemon.motionGiven = settings.motionGiven;
    daemon.lightGiven = settings.lightGiven;
    daemon.portPath = settings.portPath != nullptr ? settings.portPath : "";
    releaseRunSettings(&settings);
    resetDaemonState();
    return daemon;
}

}  // namespace

Survey takeSurvey(const std::string& device) {
    Survey survey;
    survey.user = daemonIdentity();
    survey.processes = scanProcesses();
    for (pid_t pid : survey.processes.pids) {
        std::optional<std::vector<std::string>> options = daemonArguments(commandLine(pid));
        if (!options || !belongsToThisSetup(pid)) continue;
        DaemonProcess daemon = withOptions(*options);
        daemon.pid = pid;
        daemon.upSeconds = secondsRunning(pid);
        survey.daemons.push_back(daemon);
    }
    // The service's options from its init file, read with the daemon's parser.
    survey.serviceFile = resolved(kPathInitFile);
    std::optional<std::string> text = readRegularFile(survey.serviceFile);
    std::optional<std::vector<std::string>> service =
        text ? serviceArguments(*text, kServiceName) : std::nullopt;
    if (service) survey.service = withOptions(*service);
    survey.device = !device.empty()          ? device
                    : survey.daemons.empty() ? resolved(kPathSerialPort)
                                             : daemonNode(survey.daemons[0]);
    return survey;
}

const char* verdictName(Verdict verdict) {
    static const char* const kNames[] = {"ok", "warn", "fail", "skip"};  // in Verdict's order
    return kNames[static_cast<int>(verdict)];
}

Identity currentUser() {
    Identity who;
    who.uid = geteuid();
    who.gid = getegid();
    int count = getgroups(0, nullptr);
    if (count > 0) {
        who.groups.resize(static_cast<size_t>(count));
        count = getgroups(count, who.groups.data());
        who.groups.resize(count > 0 ? static_cast<size_t>(count) : 0);
    }
    who.name = "uid " + std::to_string(who.uid);
    return who;
}

bool modePermits(const struct stat& node, const Identity& who, int want) {
    bool inGroup = node.st_gid == who.gid ||
                   std::find(who.groups.begin(), who.groups.end(), node.st_gid) != who.groups.end();
    // The owner's bits, else the group's, else the others': the first that applies.
    int shift = node.st_uid == who.uid ? 6 : inGroup ? 3 : 0;
    int granted = static_cast<int>((node.st_mode >> shift) & 7);
    return (granted & want) == want;
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        }
    }
    return out + "\"";
}

std::optional<HeldPort> heldPort(const Survey& survey, pid_t pid, bool* visible) {
    *visible = false;
    for (const OpenFile& file : survey.processes.files) {
        if (file.pid != pid) continue;
        *visible = true;
        if (file.fd <= STDERR_FILENO || file.type != S_IFCHR ||
            major(file.rdev) == kMemoryDeviceMajor) {
            continue;
        }
        std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(file.fd);
        return HeldPort{file.fd, file.rdev, linkTarget(link)};
    }
    return std::nullopt;
}

std::string daemonNode(const DaemonProcess& daemon) {
    return daemon.portPath.empty() ? resolved(kPathSerialPort) : daemon.portPath;
}

bool nodeLeadsTo(const std::string& node, const HeldPort& port, std::string* words) {
    struct stat info;
    if (stat(node.c_str(), &info) != 0) {
        *words = node + " leads nowhere now (" + strerror(errno) + ")";
        return false;
    }
    char real[PATH_MAX];
    *words = node + " leads to " + (realpath(node.c_str(), real) != nullptr ? real : node) + " now";
    return S_ISCHR(info.st_mode) && info.st_rdev == port.rdev;
}

std::string resolved(const char* fixedPath) {
    char buffer[PATH_MAX];
    return resolvePath(fixedPath, buffer, sizeof buffer);
}

std::string processList(const std::vector<pid_t>& pids) {
    std::string text;
    for (pid_t pid : pids) text += (text.empty() ? "" : ", ") + describeProcess(pid);
    return text;
}

std::string linkTarget(const std::string& path) {
    char target[PATH_MAX];
    ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    return std::string(target, length > 0 ? static_cast<size_t>(length) : 0);
}

void worsen(CheckResult* row, Verdict to, const std::string& fix) {
    auto rank = [](Verdict v) { return v == Verdict::Fail ? 2 : v == Verdict::Warn ? 1 : 0; };
    if (rank(to) <= rank(row->verdict)) return;
    row->verdict = to;
    row->fix = fix;
}

std::string advice(const std::string& lasting, const std::string& now) {
    return now.empty() ? lasting : lasting + "; now: " + now;
}

std::string requiredFirmwareVersion() {
    return std::to_string(kRequiredMajor) + "." + std::to_string(kRequiredMinor) + "." +
           std::to_string(kRequiredPatch);
}

}  // namespace vantrel::doctor
