// The checks that only read: the daemon's process, its serial device, the
// reset line, its tools, the firmware image, its properties and its FIFOs.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "common/paths.h"
#include "common/pipe_table.h"
#include "daemon/bool_property.h"
#include "platform/platform.h"
#include "tools/doctor/doctor.h"
#include "tools/doctor/firmware_image.h"
#include "tools/doctor/selinux.h"

namespace vantrel::doctor {

// ---- the fixes for the panel's files and nodes, one per cause: each the
// lasting change in the device tree and what to type now over adb, every path
// from the daemon's own names (common/paths.h, the pipe table). They keep
// external linkage: a check that stops using one still builds, so that
// scripts/mutation-check can plant another cause's fix in a check.

namespace {

const std::string kSerial = kPathSerialPort;
// "/dev/ttymxc*": every port of the UART's family, to see which ones exist.
const std::string kSerialFamily =
    kSerial.substr(0, kSerial.find_last_not_of("0123456789") + 1) + "*";
const std::string kValue = kPathResetLine;
// "/sys/class/gpio/gpio101/value": the line's folder, the GPIO class folder
// and the line's number, as the export file wants it.
const std::string kLineFolder = kValue.substr(0, kValue.rfind('/'));
const std::string kGpioClass = kLineFolder.substr(0, kLineFolder.rfind('/'));
const std::string kLineNumber = kLineFolder.substr(kLineFolder.rfind("gpio") + 4);

// The ueventd.rc line `entry` that gives `what` to the daemon's user, and the
// same owner and mode set at once.
std::string ownedBySystem(const std::string& what, const std::string& entry,
                          const std::string& path) {
    return advice("give the " + what + " to the daemon's user in ueventd.rc: \"" + entry +
                      " 0660 system system\" (android/ueventd.rc)",
                  "adb shell chown system:system " + path + "; adb shell chmod 0660 " + path);
}

}  // namespace

std::string fixSerialMissing() {
    return advice("enable the UART in the device tree (status \"okay\") so that " + kSerial +
                      " appears at boot, or start the daemon with -p and the right device",
                  "adb shell ls -lZ " + kSerialFamily);
}

std::string fixSerialNotCharacterDevice() {
    return advice("remove what sits at " + kSerial + "; the kernel and ueventd make the node",
                  "adb shell ls -lZ " + kSerial);
}

std::string fixSerialAccess() {
    return ownedBySystem("UART", kSerial, kSerial);
}

std::string fixSerialLabel() {
    return advice(std::string("label the node ") + kTtyType +
                      " (android/sepolicy/file_contexts) and see the selinux row",
                  "adb shell ls -lZ " + kSerial + "; adb shell restorecon " + kSerial);
}

std::string fixSerialNoPort() {
    return advice("no working UART behind the node: enable the port in the device tree",
                  "adb shell dmesg | grep -i tty");
}

std::string fixSerialNotTerminal() {
    return advice("start the daemon with -p and the UART itself: this node is no terminal",
                  "adb shell ls -lZ " + kSerial);
}

std::string fixResetNotExported() {
    return advice("export GPIO " + kLineNumber +
                      " as an output at boot (the board's init file: write " + kGpioClass +
                      "/export " + kLineNumber + ", then write " + kLineFolder + "/direction out)",
                  "adb shell 'echo " + kLineNumber + " > " + kGpioClass + "/export; echo out > " +
                      kLineFolder + "/direction'");
}

std::string fixResetNotWritable() {
    return ownedBySystem("value", kLineFolder + " value", kValue);
}

std::string fixResetNotOutput() {
    return advice("make the line an output at boot (the board's init file: write " + kLineFolder +
                      "/direction out)",
                  "adb shell 'echo out > " + kLineFolder + "/direction'");
}

std::string fixToolMissing(const char* name, const char* folder, const char* purpose) {
    return advice(
        std::string("install ") + name + " in " + folder + ", executable (" + purpose + ")",
        std::string("adb shell which ") + name);
}

std::string fixToolNotExecutable(const std::string& path) {
    return advice("install it executable (mode 0755) in the image", "adb shell chmod 0755 " + path);
}

std::string fixFolderMissing(const std::string& folder) {
    return advice("make the folder " + folder + ", writable by the daemon's user; the daemon " +
                      "makes its FIFOs there at start, not the folder",
                  "mkdir -p " + folder);
}

std::string fixFolderNotWritable(const std::string& folder) {
    return advice(
        "let the daemon's user write " + folder + " (on the panel /data is system:system 0771)",
        "adb shell ls -ldZ " + folder);
}

namespace {

// "up 2 h 3 min", "up 41 s".
std::string uptimeText(double seconds) {
    if (seconds < 0) return "uptime unknown";
    long s = static_cast<long>(seconds);
    if (s < 120) return "up " + std::to_string(s) + " s";
    if (s < 7200) return "up " + std::to_string(s / 60) + " min";
    return "up " + std::to_string(s / 3600) + " h " + std::to_string(s / 60 % 60) + " min";
}

// "crw-rw---- system:system" for a node.
std::string describeNode(const struct stat& node) {
    char type = S_ISCHR(node.st_mode)    ? 'c'
                : S_ISFIFO(node.st_mode) ? 'p'
                : S_ISDIR(node.st_mode)  ? 'd'
                : S_ISBLK(node.st_mode)  ? 'b'
                : S_ISSOCK(node.st_mode) ? 's'
                                         : '-';
    std::string text(1, type);
    const char* letters = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit) text += (node.st_mode & (0400 >> bit)) ? letters[bit] : '-';
    // The doctor has one thread: the plain look-ups are safe.
    // cppcheck-suppress getpwuidCalled
    const struct passwd* owner = getpwuid(node.st_uid);
    // cppcheck-suppress getgrgidCalled
    const struct group* group = getgrgid(node.st_gid);
    text += " " + (owner ? std::string(owner->pw_name) : std::to_string(node.st_uid));
    text += ":" + (group ? std::string(group->gr_name) : std::to_string(node.st_gid));
    return text;
}

std::string kindOf(const struct stat& node) {
    if (S_ISCHR(node.st_mode)) return "a character device";
    if (S_ISREG(node.st_mode)) return "a regular file";
    if (S_ISFIFO(node.st_mode)) return "a FIFO";
    if (S_ISDIR(node.st_mode)) return "a folder";
    return "a special file";
}

// lstat and stat of a path in words: "PATH: a FIFO, prw-rw-rw- system:system",
// "PATH -> TARGET: ...", or why it cannot be looked at. False when there is
// nothing behind the path.
bool lookAt(const std::string& path, struct stat* node, std::string* words) {
    *words = path;
    struct stat link;
    bool there = lstat(path.c_str(), &link) == 0;
    if (there && S_ISLNK(link.st_mode)) *words += " -> " + linkTarget(path);
    if (!there || stat(path.c_str(), node) != 0) {
        *words += ": " + std::string(strerror(errno));
        return false;
    }
    *words += ": " + kindOf(*node) + ", " + describeNode(*node);
    return true;
}

CheckResult result(const char* name, Verdict verdict, std::string detail, std::string fix = "") {
    return CheckResult{name, verdict, std::move(detail), std::move(fix)};
}

// ---- the search path of the daemon and its tools

std::string searchPathOf(const Survey& survey, std::string* whose) {
    if (!survey.daemons.empty()) {
        pid_t pid = survey.daemons[0].pid;
        std::optional<std::string> path = environValue(pid, "PATH");
        if (path) {
            *whose = "PATH of pid " + std::to_string(pid);  // what its children search
            return *path;
        }
    }
    *whose = "PATH a start would get";
    return defaultSearchPath();
}

// Finds `name` as execvp would: the first executable regular file along the
// search path, judged by the daemon's user's mode bits.
CheckResult checkTool(const Survey& survey, const char* name, const char* folder,
                      const char* purpose) {
    std::string whose;
    std::string searchPath = searchPathOf(survey, &whose);
    std::string notExecutable;
    std::istringstream folders(searchPath);
    for (std::string folder; std::getline(folders, folder, ':');) {
        std::string path = (folder.empty() ? "." : folder) + "/" + name;
        struct stat node;
        if (stat(path.c_str(), &node) != 0 || !S_ISREG(node.st_mode)) continue;
        if (modePermits(node, survey.user, 1)) {
            path += " (" + describeNode(node) + "), ";
            return result(name, Verdict::Ok, path + whose);
        }
        if (notExecutable.empty()) notExecutable = path + " (" + describeNode(node) + ")";
    }
    if (!notExecutable.empty()) {
        return result(name, Verdict::Fail,
                      notExecutable + " is not executable for " + survey.user.name + "; " + whose,
                      fixToolNotExecutable(notExecutable.substr(0, notExecutable.find(" ("))));
    }
    return result(name, Verdict::Fail, "not found on the " + whose + " (" + searchPath + ")",
                  fixToolMissing(name, folder, purpose));
}

// ---- one check each

// Opens the device as the daemon would, without waiting, and says whether
// it is a terminal; a refusal that the mode bits do not explain is SELinux.
CheckResult openSerialDevice(const Survey& survey, std::string detail) {
    int fd = open(survey.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        std::string label = fileLabel(survey.device);
        detail += "; open fails: " + std::string(strerror(error));
        if (error == EACCES || error == EPERM) {
            return result("serial-device", Verdict::Fail,
                          detail + " although the mode allows it: SELinux is the likely cause" +
                              (label.empty() ? "" : ", label " + label),
                          fixSerialLabel());
        }
        return result("serial-device", Verdict::Fail, detail, fixSerialNoPort());
    }
    struct termios settings;
    bool terminal = tcgetattr(fd, &settings) == 0;
    close(fd);
    if (!terminal) {
        return result("serial-device", Verdict::Warn,
                      detail + "; opens, but is not a terminal: the line settings cannot apply",
                      fixSerialNotTerminal());
    }
    return result("serial-device", Verdict::Ok, detail + "; opens as a terminal");
}

CheckResult checkSerialDevice(const Survey& survey) {
    struct stat node;
    std::string detail;
    if (!lookAt(survey.device, &node, &detail))
        return result("serial-device", Verdict::Fail, detail, fixSerialMissing());
    if (!S_ISCHR(node.st_mode)) {
        return result("serial-device", Verdict::Fail, detail + "; not a character device",
                      fixSerialNotCharacterDevice());
    }
    if (!modePermits(node, survey.user, 6)) {
        return result("serial-device", Verdict::Fail,
                      detail + "; " + survey.user.name + " may not read and write it",
                      fixSerialAccess());
    }
    detail += "; " + survey.user.name + " may read and write it";
    Identity me = currentUser();
    if (me.uid != 0 && !modePermits(node, me, 6)) {
        return result("serial-device", Verdict::Ok,
                      detail + "; not opened (the doctor's own user may not: run it as root)");
    }
    return openSerialDevice(survey, detail);
}

// The daemon's own port in words; false when the node it opens no longer
// leads there (re-pointed to another device meanwhile).
bool describeDaemonPort(const Survey& survey, std::string* words) {
    if (survey.daemons.empty()) return true;
    const DaemonProcess& daemon = survey.daemons[0];
    bool visible = false;
    std::optional<HeldPort> port = heldPort(survey, daemon.pid, &visible);
    if (!port) return true;
    *words = "the daemon's own port: " + port->path;
    std::string where;
    if (survey.device != daemonNode(daemon) || nodeLeadsTo(survey.device, *port, &where))
        return true;
    *words += "; " + where + ", not to it";
    return false;
}

CheckResult checkSerialHolders(const Survey& survey) {
    struct stat node;
    if (stat(survey.device.c_str(), &node) != 0)
        return result("serial-holder", Verdict::Skip, "no device at " + survey.device);
    DeviceHolders holders = deviceHolders(survey, survey.device, node);
    std::string detail;
    auto add = [&detail](const std::string& part) {
        detail += (detail.empty() ? "" : "; ") + part;
    };
    if (!holders.daemons.empty()) add("the daemon: " + processList(holders.daemons));
    if (!holders.boardSide.empty())
        add("the far end of this pseudo-terminal: " + processList(holders.boardSide));
    if (!holders.others.empty()) add("held by " + processList(holders.others));
    std::string ownPort;
    bool nodeLeadsToOwnPort = describeDaemonPort(survey, &ownPort);
    if (!ownPort.empty()) add(ownPort);
    if (detail.empty()) detail = "nobody has it open";
    if (survey.processes.unreadable > 0) {
        add(std::to_string(survey.processes.unreadable) +
            " processes could not be looked at (run as root)");
    }
    if (!nodeLeadsToOwnPort) {
        return result("serial-holder", Verdict::Fail, detail,
                      advice("restart vantrel so that it opens the device the node leads to now, "
                             "and stop whatever re-pointed it",
                             stopAndProbeCommand(survey.daemons[0].pid)));
    }
    if (holders.others.empty() && holders.daemons.size() < 2)
        return result("serial-holder", Verdict::Ok, detail);
    return result("serial-holder", Verdict::Fail, detail,
                  "stop every holder but one daemon: two readers split the board's bytes "
                  "between them");
}

CheckResult checkResetLine(const Survey& survey) {
    std::string path = resolved(kPathResetLine);
    struct stat node;
    std::string detail;
    if (!lookAt(path, &node, &detail)) {
        return result("reset-line", Verdict::Fail, detail + " (the line is not exported)",
                      fixResetNotExported());
    }
    std::optional<std::string> value = readFirstLine(path);
    if (value) detail += ", value " + quoted(*value);
    if (!S_ISREG(node.st_mode) || !modePermits(node, survey.user, 2)) {
        return result("reset-line", Verdict::Fail,
                      detail + "; " + survey.user.name + " may not write it",
                      fixResetNotWritable());
    }
    std::string directionPath = path.substr(0, path.find_last_of('/')) + "/direction";
    std::optional<std::string> direction = readFirstLine(directionPath);
    if (!direction) return result("reset-line", Verdict::Ok, detail + "; direction not readable");
    detail += "; direction " + quoted(*direction);
    if (*direction != "out") {
        return result("reset-line", Verdict::Warn, detail + ": the pulse would not reach the board",
                      fixResetNotOutput());
    }
    return result("reset-line", Verdict::Ok, detail);
}

CheckResult checkFirmwareImage(const Survey& survey) {
    FirmwareImage image = examineFirmwareImage(survey.user);
    struct stat node;
    std::string detail;
    if (!lookAt(image.path, &node, &detail)) {
        return result("firmware-image", Verdict::Fail,
                      detail + " (no image: a board that needs flashing cannot be flashed)",
                      shipReleaseImageAdvice());
    }
    detail += ", " + std::to_string(node.st_size) + " bytes";
    switch (image.state) {
        case ImageState::Missing:
        case ImageState::Unreadable:
            return result("firmware-image", Verdict::Fail, detail + "; " + image.problem,
                          shipReleaseImageAdvice());
        case ImageState::DevelopmentMarker:
            return result(
                "firmware-image", Verdict::Warn,
                detail + "; development marker: the daemon never flashes the board",
                "ship the real image in place of the marker when the panel leaves development");
        case ImageState::NotIntelHex:
            return result("firmware-image", Verdict::Warn,
                          detail + "; not an Intel HEX image: the doctor cannot check it; sha256 " +
                              image.sha256,
                          compareWithReleaseAdvice());
        case ImageState::Damaged:
            return result(
                "firmware-image", Verdict::Fail,
                detail + "; damaged at " + image.problem + ": a flash would write a broken image",
                shipReleaseImageAdvice());
        case ImageState::Valid:
            break;
    }
    return result("firmware-image", Verdict::Ok, detail + "; " + describeValidImage(image));
}

// A property text that is set but neither true, false nor a number reads as
// no, which is rarely what whoever set it meant.
bool unclearBoolean(const char* text) {
    if (*text == '\0' || strcmp(text, "true") == 0 || strcmp(text, "false") == 0) return false;
    char* end = nullptr;
    (void)strtol(text, &end, 10);
    return end == text;
}

CheckResult checkProperties() {
    std::string detail;
    std::string unclear;
    for (const char* key : {kLedProperty, kNfcProperty, kMotionProperty, kLightProperty}) {
        char text[kPropertyValueMax];
        int on = getBoolProperty(text, sizeof text, key);
        detail += std::string(detail.empty() ? "" : ", ") + key + "=" +
                  (*text == '\0' ? "unset" : quoted(text)) + (on ? " (yes)" : " (no)");
        if (unclearBoolean(text)) unclear += std::string(unclear.empty() ? "" : ", ") + key;
    }
    char version[kPropertyValueMax];
    platformPropertyGet(kVersionProperty, version, "");
    detail +=
        std::string("; ") + kVersionProperty + "=" + (*version == '\0' ? "unset" : quoted(version));
    if (unclear.empty()) return result("properties", Verdict::Ok, detail);
    return result("properties", Verdict::Warn, detail + "; " + unclear + " read as no",
                  "set true or false (or a number: above 0 is yes)");
}

struct Streams {
    bool motion = false;
    bool light = false;
};

// Whose options decide: the running daemon's, else those init would start
// the service with; "" and nullptr when neither is known.
const DaemonProcess* optionsInForce(const Survey& survey, std::string* whose) {
    if (!survey.daemons.empty()) {
        *whose = ", from pid " + std::to_string(survey.daemons[0].pid) + "'s options";
        return &survey.daemons[0];
    }
    if (survey.service) {
        *whose = ", no daemon running: the options of " + survey.serviceFile;
        return &*survey.service;
    }
    *whose = ", no daemon running and no service in " + survey.serviceFile;
    return nullptr;
}

Streams forwardedStreams(const Survey& survey, std::string* source) {
    Streams streams;
    std::string whose;
    const DaemonProcess* daemon = optionsInForce(survey, &whose);
    bool motionGiven = daemon != nullptr && daemon->motionGiven;
    bool lightGiven = daemon != nullptr && daemon->lightGiven;
    streams.motion = motionGiven || queryBoolProperty(kMotionProperty) != 0;
    streams.light = lightGiven || queryBoolProperty(kLightProperty) != 0;
    *source = std::string("motion ") + (streams.motion ? "forwarded" : "not forwarded") +
              (motionGiven ? " (-m)" : " (property)") + ", light " +
              (streams.light ? "forwarded" : "not forwarded") +
              (lightGiven ? " (-l)" : " (property)") + whose;
    return streams;
}

CheckResult checkStreams(const Survey& survey) {
    std::string detail;
    Streams streams = forwardedStreams(survey, &detail);
    if (streams.motion || streams.light) return result("streams", Verdict::Ok, detail);
    return result("streams", Verdict::Fail,
                  detail +
                      "; none forwarded: the daemon ends after start-up and init restarts "
                      "it in a loop",
                  std::string("start it with -m and/or -l (android/vantrel.rc), or set ") +
                      kMotionProperty + " / " + kLightProperty + " to true");
}

// Processes asleep in the kernel's wait for the other end of a FIFO.
std::vector<pid_t> waitingToOpenFifo(const Survey& survey) {
    std::vector<pid_t> waiting;
    for (pid_t pid : survey.processes.pids) {
        if (readFirstLine("/proc/" + std::to_string(pid) + "/wchan") == "wait_for_partner")
            waiting.push_back(pid);
    }
    return waiting;
}

// The words of a FIFO that is missing; the row fails unless the daemon, not
// running now, makes it at its start.
std::string missingFifo(const Survey& survey, const std::string& path, const std::string& words,
                        CheckResult* row) {
    std::string folder = path.substr(0, path.find_last_of('/'));
    struct stat parent;
    if (stat(folder.c_str(), &parent) != 0) {
        worsen(row, Verdict::Fail, fixFolderMissing(folder));
        return words + "; no folder " + folder;
    }
    if (!modePermits(parent, survey.user, 3)) {
        worsen(row, Verdict::Fail, fixFolderNotWritable(folder));
        return words + "; " + survey.user.name + " cannot make it in " + folder;
    }
    if (survey.daemons.empty()) return words + " (the daemon makes it at start)";
    worsen(row, Verdict::Fail,
           "the daemon did not make its FIFO: restart it and read its log (see activity)");
    return words;
}

// What the pipes row says of one FIFO; what the FIFO shows may worsen the row.
// `opening`: processes asleep in open() of some FIFO, maybe this one.
std::string lookAtFifo(const Survey& survey, const std::string& path, bool forwarded,
                       const std::vector<pid_t>& opening, CheckResult* row) {
    struct stat node;
    std::string words;
    if (!lookAt(path, &node, &words)) return missingFifo(survey, path, words, row);
    if (!S_ISFIFO(node.st_mode)) {
        worsen(row, Verdict::Fail,
               advice("remove it; the daemon makes the FIFO at its next start", "rm " + path));
        return words + ": values would overwrite its first bytes";
    }
    if (!modePermits(node, survey.user, 2)) {
        words += "; " + survey.user.name + " may not write it";
        worsen(row, Verdict::Fail,
               advice("remove it; the daemon makes it 0666 at its next start", "rm " + path));
    }
    std::vector<pid_t> readers = readersOf(survey.processes, node);
    if (!readers.empty()) return words + "; read by " + processList(readers);
    if (!forwarded) return words + "; no reader (stream not forwarded)";
    words += "; no reader: its values are dropped";
    // A reader that opens without O_NONBLOCK waits in open() until the
    // daemon opens to write; /proc cannot say which FIFO it waits for.
    if (!opening.empty())
        words += " unless it is one of " + processList(opening) + ", waiting to open a FIFO";
    worsen(row, Verdict::Warn,
           "start the panel's reader of the FIFO (its values are lost meanwhile)");
    return words;
}

CheckResult checkPipes(const Survey& survey) {
    std::string streamWords;
    Streams streams = forwardedStreams(survey, &streamWords);
    std::vector<pid_t> opening = waitingToOpenFifo(survey);
    CheckResult row = result("pipes", Verdict::Ok, "");
    for (int index : {kPipeProximity, kPipeLight}) {
        bool forwarded = index == kPipeProximity ? streams.motion : streams.light;
        std::string words =
            lookAtFifo(survey, resolved(kPipePaths[index]), forwarded, opening, &row);
        row.detail += (row.detail.empty() ? "" : "; ") + words;
    }
    return row;
}

CheckResult checkDaemon(const Survey& survey, const CheckResult& streams,
                        const CheckResult& device) {
    std::string state = serviceState();
    std::string initWords =
        state.empty() ? "" : "; " + std::string(kServiceStateProperty.data()) + "=" + quoted(state);
    std::string cause = streams.verdict == Verdict::Fail ? "no stream is forwarded (see streams)"
                        : device.verdict == Verdict::Fail
                            ? "it cannot open its UART (see serial-device)"
                            : "the board did not answer, or was flashed (try --probe-board)";
    if (survey.daemons.empty()) {
        std::string detail =
            std::string("no ") + kProgramName + " process of this setup" + initWords;
        if (state == "restarting") detail += "; likely cause: " + cause;
        return result("daemon", Verdict::Warn, detail,
                      std::string("start it (on the panel: start ") + kServiceName +
                          "); the other rows say what stops it");
    }
    std::string detail;
    for (const DaemonProcess& daemon : survey.daemons) {
        std::string options;
        for (const std::string& option : daemon.options) {
            std::string q = quoted(option);
            options += " " + q.substr(1, q.size() - 2);
        }
        detail += std::string(detail.empty() ? "" : "; ") + "pid " + std::to_string(daemon.pid) +
                  ", " + uptimeText(daemon.upSeconds) + ", options" +
                  (options.empty() ? " none" : options);
    }
    detail += initWords;
    if (survey.daemons.size() > 1) {
        return result("daemon", Verdict::Fail,
                      detail + "; more than one daemon: they split the port's bytes",
                      advice("stop all but one: only init's service should start the daemon",
                             "kill -INT " + std::to_string(survey.daemons.back().pid)));
    }
    if (state == "restarting") {
        return result("daemon", Verdict::Warn,
                      detail + "; init restarts it, likely cause: " + cause,
                      "mend what the named row shows; logcat -s Vantrel has its last words");
    }
    return result("daemon", Verdict::Ok, detail);
}

}  // namespace

DeviceHolders deviceHolders(const Survey& survey, const std::string& device,
                            const struct stat& node) {
    DeviceUsers users = deviceUsers(survey.processes, device, node);
    DeviceHolders holders;
    holders.boardSide = users.farEnd;
    for (pid_t pid : users.holders) {
        bool daemon = std::any_of(survey.daemons.begin(), survey.daemons.end(),
                                  [&](const DaemonProcess& d) { return d.pid == pid; });
        (daemon ? holders.daemons : holders.others).push_back(pid);
    }
    return holders;
}

std::vector<CheckResult> runLocalChecks(const Survey& survey) {
    CheckResult device = checkSerialDevice(survey);
    CheckResult streams = checkStreams(survey);
    return {checkDaemon(survey, streams, device),
            checkActivity(survey),
            device,
            checkSerialHolders(survey),
            checkResetLine(survey),
            checkTool(survey, kLoaderTool, "/vendor/bin", "the daemon flashes the board with it"),
            checkFirmwareImage(survey),
            checkProperties(),
            streams,
            checkPipes(survey),
            checkTool(survey, "am", "/system/bin", "the version and NFC broadcasts go through it"),
            checkSelinux(survey)};
}

}  // namespace vantrel::doctor
