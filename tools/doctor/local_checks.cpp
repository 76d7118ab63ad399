// The checks that only read: the daemon's process, its serial device, the
// reset line, its tools, the firmware image, its properties and its FIFOs.
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "common/paths.h"
#include "common/pipe_table.h"
#include "daemon/bool_property.h"
#include "daemon/run.h"
#include "firmware/board_identification.h"
#include "firmware/image_marker.h"
#include "platform/platform.h"
#include "tools/doctor/doctor.h"
#include "tools/doctor/selinux.h"

namespace vantrel::doctor {

namespace {

std::string resolved(const char* fixedPath) {
    char buffer[PATH_MAX];
    return resolvePath(fixedPath, buffer, sizeof buffer);
}

std::string pidList(const std::vector<pid_t>& pids) {
    std::string text;
    for (pid_t pid : pids) text += (text.empty() ? "" : ", ") + describeProcess(pid);
    return text;
}

// "up 2 h 3 min", "up 41 s".
std::string uptimeText(double seconds) {
    if (seconds < 0) return "uptime unknown";
    long s = static_cast<long>(seconds);
    if (s < 120) return "up " + std::to_string(s) + " s";
    if (s < 7200) return "up " + std::to_string(s / 60) + " min";
    return "up " + std::to_string(s / 3600) + " h " + std::to_string(s / 60 % 60) + " min";
}

// lstat and stat of a path in words: "PATH", "PATH -> TARGET", and why it
// cannot be looked at. False when there is nothing behind the path.
bool lookAt(const std::string& path, struct stat* node, std::string* words) {
    *words = path;
    struct stat link;
    if (lstat(path.c_str(), &link) != 0) {
        *words += ": " + std::string(strerror(errno));
        return false;
    }
    if (S_ISLNK(link.st_mode)) {
        char target[PATH_MAX];
        ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
        target[length > 0 ? length : 0] = '\0';
        *words += " -> " + std::string(target);
    }
    if (stat(path.c_str(), node) != 0) {
        *words += ": " + std::string(strerror(errno));
        return false;
    }
    return true;
}

std::string kindOf(const struct stat& node) {
    if (S_ISCHR(node.st_mode)) return "a character device";
    if (S_ISREG(node.st_mode)) return "a regular file";
    if (S_ISFIFO(node.st_mode)) return "a FIFO";
    if (S_ISDIR(node.st_mode)) return "a folder";
    return "a special file";
}

CheckResult result(const char* name, Verdict verdict, std::string detail, std::string fix = "") {
    if (verdict == Verdict::Ok) fix.clear();
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
            std::string found = path;
            found += " (" + describeNode(node) + "), ";
            return result(name, Verdict::Ok, found + whose);
        }
        if (notExecutable.empty()) notExecutable = path + " (" + describeNode(node) + ")";
    }
    std::string fix =
        std::string("install ") + name + " in " + folder + ", executable (" + purpose + ")";
    if (!notExecutable.empty()) {
        return result(name, Verdict::Fail,
                      notExecutable + " is not executable for " + survey.user.name + "; " + whose,
                      fix);
    }
    return result(name, Verdict::Fail, "not found on the " + whose + " (" + searchPath + ")", fix);
}

// ---- one check each

CheckResult checkSerialDevice(const Survey& survey) {
    const char* fix =
        "the daemon's user must read and write the UART: ueventd.rc line "
        "\"/dev/ttymxc1 0660 system system\", or -p the right device";
    struct stat node;
    std::string detail;
    if (!lookAt(survey.device, &node, &detail))
        return result("serial-device", Verdict::Fail, detail, fix);
    detail += ": " + kindOf(node) + ", " + describeNode(node);
    if (!S_ISCHR(node.st_mode)) {
        return result("serial-device", Verdict::Fail, detail + "; not a character device", fix);
    }
    if (!modePermits(node, survey.user, 6)) {
        return result("serial-device", Verdict::Fail,
                      detail + "; " + survey.user.name + " may not read and write it", fix);
    }
    detail += "; " + survey.user.name + " may read and write it";
    Identity me = currentUser();
    if (me.uid != 0 && !modePermits(node, me, 6)) {
        return result("serial-device", Verdict::Ok,
                      detail + "; not opened (the doctor's own user may not: run it as root)");
    }
    int fd = open(survey.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        std::string label = fileLabel(survey.device);
        detail += "; open fails: " + std::string(strerror(error));
        if (error == EACCES || error == EPERM) {
            return result("serial-device", Verdict::Fail,
                          detail + " although the mode allows it: SELinux is the likely cause" +
                              (label.empty() ? "" : ", label " + label),
                          "label the node vantrel_tty_device (android/sepolicy/file_contexts, "
                          "restorecon) and see the selinux row");
        }
        return result("serial-device", Verdict::Fail, detail,
                      "no working UART behind the node: is the port enabled in the device tree?");
    }
    struct termios settings;
    bool terminal = tcgetattr(fd, &settings) == 0;
    close(fd);
    if (!terminal) {
        return result("serial-device", Verdict::Warn,
                      detail + "; opens, but is not a terminal: the line settings cannot apply",
                      fix);
    }
    return result("serial-device", Verdict::Ok, detail + "; opens as a terminal");
}

CheckResult checkSerialHolders(const Survey& survey) {
    struct stat node;
    if (stat(survey.device.c_str(), &node) != 0) {
        return result("serial-holder", Verdict::Skip, "no device at " + survey.device);
    }
    DeviceHolders holders = deviceHolders(survey, survey.device, node);
    std::string detail;
    auto add = [&detail](const std::string& part) {
        detail += (detail.empty() ? "" : "; ") + part;
    };
    if (!holders.daemons.empty()) add("the daemon: " + pidList(holders.daemons));
    if (!holders.boardSide.empty()) {
        add("the far end of this pseudo-terminal: " + pidList(holders.boardSide));
    }
    if (!holders.others.empty()) add("held by " + pidList(holders.others));
    if (detail.empty()) detail = "nobody has it open";
    if (survey.processes.unreadable > 0) {
        add(std::to_string(survey.processes.unreadable) +
            " processes could not be looked at (run as root)");
    }
    if (holders.others.empty()) return result("serial-holder", Verdict::Ok, detail);
    return result("serial-holder", Verdict::Fail, detail,
                  "stop the other holder: two readers split the board's bytes between them");
}

CheckResult checkResetLine(const Survey& survey) {
    std::string path = resolved(kPathResetLine);
    const char* exportFix =
        "export GPIO 101 as an output at boot (write /sys/class/gpio/export "
        "101, then direction out) and give its value to the daemon's user";
    struct stat node;
    std::string detail;
    if (!lookAt(path, &node, &detail)) {
        return result("reset-line", Verdict::Fail, detail + " (the line is not exported)",
                      exportFix);
    }
    detail += ": " + kindOf(node) + ", " + describeNode(node);
    std::optional<std::string> value = readFirstLine(path);
    if (value) detail += ", value " + quoted(*value);
    if (!S_ISREG(node.st_mode) || !modePermits(node, survey.user, 2)) {
        return result("reset-line", Verdict::Fail,
                      detail + "; " + survey.user.name + " may not write it", exportFix);
    }
    std::string directionPath = path.substr(0, path.find_last_of('/')) + "/direction";
    std::optional<std::string> direction = readFirstLine(directionPath);
    if (!direction) return result("reset-line", Verdict::Ok, detail + "; direction not readable");
    detail += "; direction " + quoted(*direction);
    if (*direction != "out") {
        return result("reset-line", Verdict::Warn, detail + ": the pulse would not reach the board",
                      "make the line an output (write its direction file: out)");
    }
    return result("reset-line", Verdict::Ok, detail);
}

// The version an image names in a comment line "; version X.Y.Z", "" if none.
std::string imageVersion(const std::string& text) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string semicolon, keyword, version;
        if (words >> semicolon >> keyword >> version && semicolon == ";" && keyword == "version") {
            return version;
        }
    }
    return "";
}

CheckResult checkFirmwareImage(const Survey& survey) {
    std::string path = resolved(kPathFirmwareImage);
    const char* shipFix =
        "ship the board's image as /vendor/.sensor/sensor.hex, readable by the daemon";
    struct stat node;
    std::string detail;
    if (!lookAt(path, &node, &detail)) {
        return result("firmware-image", Verdict::Fail,
                      detail +
                          " (no image: a board that needs "
                          "flashing cannot be flashed)",
                      shipFix);
    }
    detail += ": " + kindOf(node) + ", " + describeNode(node) + ", " +
              std::to_string(node.st_size) + " bytes";
    std::optional<std::string> text = readRegularFile(path);
    if (!S_ISREG(node.st_mode) || !modePermits(node, survey.user, 4) || !text) {
        return result("firmware-image", Verdict::Fail,
                      detail + "; not readable by " + survey.user.name, shipFix);
    }
    if (isDevelopmentImage(path.c_str())) {
        return result(
            "firmware-image", Verdict::Warn,
            detail + "; development marker: the daemon never flashes the board",
            "ship the real image in place of the marker when the panel leaves development");
    }
    std::string version = imageVersion(*text);
    if (version.empty())
        return result("firmware-image", Verdict::Ok, detail + "; names no version");
    detail += "; names version " + quoted(version);
    if (version != requiredFirmwareVersion()) {
        return result("firmware-image", Verdict::Warn,
                      detail + ": the daemon requires " + requiredFirmwareVersion() +
                          ", so it would flash the board at every start",
                      "ship the image of firmware " + requiredFirmwareVersion());
    }
    return result("firmware-image", Verdict::Ok, detail);
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

Streams forwardedStreams(const Survey& survey, std::string* source) {
    Streams streams;
    bool optionsKnown = !survey.daemons.empty();
    const DaemonProcess* daemon = optionsKnown ? &survey.daemons[0] : nullptr;
    bool motionGiven = daemon != nullptr && daemon->motionGiven;
    bool lightGiven = daemon != nullptr && daemon->lightGiven;
    streams.motion = motionGiven || queryBoolProperty(kMotionProperty) != 0;
    streams.light = lightGiven || queryBoolProperty(kLightProperty) != 0;
    *source = std::string("motion ") + (streams.motion ? "forwarded" : "not forwarded") +
              (motionGiven ? " (-m)" : " (property)") + ", light " +
              (streams.light ? "forwarded" : "not forwarded") +
              (lightGiven ? " (-l)" : " (property)");
    *source += optionsKnown ? ", from pid " + std::to_string(daemon->pid) + "'s options"
                            : ", no daemon running";
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
                  "start it with -m and/or -l (android/vantrel.rc), or set "
                  "com.zyn.vantrel.motion / .light to true");
}

// Processes asleep in the kernel's wait for the other end of a FIFO.
std::vector<pid_t> waitingToOpenFifo(const Survey& survey) {
    std::vector<pid_t> waiting;
    for (pid_t pid : survey.processes.pids) {
        if (readFirstLine("/proc/" + std::to_string(pid) + "/wchan") == "wait_for_partner") {
            waiting.push_back(pid);
        }
    }
    return waiting;
}

CheckResult checkPipes(const Survey& survey) {
    std::string streamWords;
    Streams streams = forwardedStreams(survey, &streamWords);
    Verdict verdict = Verdict::Ok;
    std::string detail;
    std::string fix;
    auto worse = [&verdict, &fix](Verdict v, const std::string& f) {
        if (v == Verdict::Fail || (v == Verdict::Warn && verdict == Verdict::Ok)) verdict = v;
        if (fix.empty()) fix = f;
    };
    std::vector<pid_t> opening = waitingToOpenFifo(survey);
    for (int index : {kPipeProximity, kPipeLight}) {
        bool forwarded = index == kPipeProximity ? streams.motion : streams.light;
        std::string path = resolved(kPipePaths[index]);
        struct stat node;
        std::string words;
        detail += detail.empty() ? "" : "; ";
        if (!lookAt(path, &node, &words)) {
            detail += words;
            std::string folder = path.substr(0, path.find_last_of('/'));
            struct stat parent;
            if (stat(folder.c_str(), &parent) != 0 || !modePermits(parent, survey.user, 3)) {
                detail += "; " + survey.user.name + " cannot make it in " + folder;
                worse(Verdict::Fail, "let the daemon's user write " + folder);
            } else if (!survey.daemons.empty()) {
                worse(Verdict::Fail,
                      "the daemon did not make its FIFO: restart it and read its log");
            } else {
                detail += " (the daemon makes it at start)";
            }
            continue;
        }
        detail += words + ": " + kindOf(node) + ", " + describeNode(node);
        if (!S_ISFIFO(node.st_mode)) {
            detail += ": values would overwrite its first bytes";
            worse(Verdict::Fail, "remove it; the daemon makes the FIFO at its next start");
            continue;
        }
        if (!modePermits(node, survey.user, 2)) {
            detail += "; " + survey.user.name + " may not write it";
            worse(Verdict::Fail, "remove it; the daemon makes it 0666 at its next start");
        }
        std::vector<pid_t> readers = readersOf(survey.processes, node);
        if (!readers.empty()) {
            detail += "; read by " + pidList(readers);
        } else if (forwarded) {
            detail += "; no reader: its values are dropped";
            // A reader that opens without O_NONBLOCK waits in open() until the
            // daemon opens to write; /proc cannot say which FIFO it waits for.
            if (!opening.empty())
                detail += " unless it is one of " + pidList(opening) + ", waiting to open a FIFO";
            worse(Verdict::Warn,
                  "start the panel's reader of the FIFO (its values are lost meanwhile)");
        } else {
            detail += "; no reader (stream not forwarded)";
        }
    }
    return result("pipes", verdict, detail, fix);
}

CheckResult checkDaemon(const Survey& survey, const CheckResult& streams,
                        const CheckResult& device) {
    std::string state = serviceState();
    std::string initWords = state.empty() ? "" : "; init.svc.vantrel=" + quoted(state);
    std::string cause = streams.verdict == Verdict::Fail ? "no stream is forwarded (see streams)"
                        : device.verdict == Verdict::Fail
                            ? "it cannot open its UART (see serial-device)"
                            : "the board did not answer, or was "
                              "flashed (try --probe-board)";
    if (survey.daemons.empty()) {
        std::string detail = "no vantrel process of this setup" + initWords;
        if (state == "restarting") detail += "; likely cause: " + cause;
        return result("daemon", Verdict::Warn, detail,
                      "start it (on the panel: start vantrel); the other rows say what stops it");
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
        return result("daemon", Verdict::Warn,
                      detail + "; more than one daemon: they split the port's bytes",
                      "stop all but one");
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
            device,
            checkSerialHolders(survey),
            checkResetLine(survey),
            checkTool(survey, "bslsh", "/vendor/bin", "the daemon flashes the board with it"),
            checkFirmwareImage(survey),
            checkProperties(),
            streams,
            checkPipes(survey),
            checkTool(survey, "am", "/system/bin", "the version and NFC broadcasts go through it"),
            checkSelinux(survey)};
}

}  // namespace vantrel::doctor
