// --probe-board: the daemon's own identification exchange, once and without
// a reset pulse, then a count of what the board sends. The version reply goes
// through the daemon's handlers as it would at start; the broadcast they run
// is only recorded (the probe installs its own shell runner), and no stream
// is forwarded, so nothing reaches the FIFOs.
#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/daemon_state.h"
#include "common/signals.h"
#include "firmware/board_control.h"
#include "link/command_exchange.h"
#include "link/protocol.h"
#include "link/serial_port.h"
#include "platform/platform.h"
#include "tools/cli/stop_signals.h"
#include "tools/doctor/doctor.h"
#include "tools/doctor/firmware_image.h"
#include "tools/doctor/frame_tally.h"

namespace vantrel::doctor {

namespace {

std::vector<std::string> recordedShellCommands;

// Stands in for the daemon's shell while the probe runs: the broadcast is
// shown, not sent.
int recordShellCommand(const char* command) {
    recordedShellCommands.emplace_back(command);
    return 0;
}

using Clock = std::chrono::steady_clock;

// The exchange may take twice its own wait for the ACK (four waits of 0.5 s):
// a reply cut short would otherwise hold it inside a frame read for ever.
constexpr long kExchangeLimitSeconds = 4;
constexpr long kAlarmRepeatMicros = 20000;  // keeps ending waits once the limit has passed
constexpr size_t kCommErrorByte = kFieldsAt + kVersionCommError;  // in the version payload

void onAlarm(int) {}

struct Listened {
    double seconds = 0;  // how long it listened
    bool hungUp = false;
    bool stopped = false;  // by SIGINT or SIGTERM
};

// Reads what arrives for `seconds`, or until a stop signal; bounded whatever
// the board sends.
Listened listen(int fd, double seconds, FrameTally* tally) {
    auto start = Clock::now();
    auto deadline =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    Listened listened;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        listened.stopped = cli::stopRequested();
        if (left.count() <= 0 || listened.stopped) break;
        struct pollfd readable = {fd, POLLIN, 0};
        int ready = poll(&readable, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) listened.hungUp = true;
        uint8_t buffer[512];
        ssize_t got = ready > 0 ? read(fd, buffer, sizeof buffer) : 0;
        if (ready > 0 && got <= 0) listened.hungUp = true;
        if (listened.hungUp) break;
        if (got > 0) tally->feed(buffer, static_cast<size_t>(got));
    }
    listened.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!listened.stopped) listened.seconds = std::min(listened.seconds, seconds);
    return listened;
}

// The daemon's own check for the bootstrap loader (bslsh --checkComm). The
// tool's words go to standard error: standard output is the report's.
bool loaderAnswers() {
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    if (saved < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) return false;  // never into the report
    bool answers = bslCommCheck() == 0;
    dup2(saved, STDOUT_FILENO);
    close(saved);
    return answers;
}

// What the daemon does with the image it has once it decides to flash the
// board: its words, the verdict and the fix. A fix never names a version but
// the one the daemon requires: any other image would be flashed at every start.
struct FlashPlan {
    Verdict verdict = Verdict::Warn;
    std::string words;
    std::string fix;
};

FlashPlan flashPlan(const FirmwareImage& image) {
    switch (image.state) {
        case ImageState::DevelopmentMarker:
            return {Verdict::Ok, "would not flash it (development marker)", ""};
        case ImageState::Missing:
        case ImageState::Unreadable:
            return {Verdict::Fail,
                    "would try to flash it and fail: image " + image.path + ": " + image.problem,
                    shipReleaseImageAdvice()};
        case ImageState::Damaged:
            return {Verdict::Fail,
                    "would flash it with a damaged image (" + image.path + ", " + image.problem +
                        "; see firmware-image)",
                    shipReleaseImageAdvice()};
        case ImageState::NotIntelHex:
            return {Verdict::Warn,
                    "would flash it with " + image.path +
                        ", which is not Intel HEX: the doctor cannot say what it holds",
                    compareWithReleaseAdvice()};
        case ImageState::Valid:
            break;
    }
    return {Verdict::Warn,
            "would flash it with " + image.path +
                " (the image's firmware is not checked: compare its sha256, in firmware-image, "
                "with the release of " +
                requiredFirmwareVersion() + ")",
            compareWithReleaseAdvice()};
}

CheckResult identified(CheckResult r, const std::string& counted, bool noisy,
                       const FirmwareImage& image) {
    std::string version = gState.boardVersion;
    int commError = gState.rxBuffer[0] == kLetterVersion ? gState.rxBuffer[kCommErrorByte] : 0;
    bool current = version == requiredFirmwareVersion();
    FlashPlan plan = current ? FlashPlan{Verdict::Ok, "would not flash it", ""} : flashPlan(image);
    r.detail = "firmware " + version + ", comm error " + std::to_string(commError) +
               "; the daemon " + plan.words;
    for (const std::string& command : recordedShellCommands)
        r.detail += "; the daemon would broadcast: " + command;
    r.detail += "; " + counted;
    worsen(&r, plan.verdict, plan.fix);
    if (commError != 0 || noisy) {
        worsen(&r, Verdict::Warn,
               "the board reports errors or the line is noisy: check wiring, ground and baud rate");
    }
    return r;
}

// The board sits in its bootstrap loader: only a flash brings it back.
CheckResult inLoader(CheckResult r, const FirmwareImage& image) {
    FlashPlan plan = flashPlan(image);
    r.detail =
        "the firmware is silent, its bootstrap loader answers: the board is in its "
        "loader; the daemon " +
        plan.words;
    r.verdict = plan.verdict;
    r.fix = plan.fix;
    if (image.state == ImageState::DevelopmentMarker) {
        r.verdict = Verdict::Fail;
        r.detail += ", so it cannot use the board";
        r.fix = shipReleaseImageAdvice();
    }
    return r;
}

// A port that another process holds is not probed: the two would split the
// board's bytes. The fix names who holds it.
bool portTaken(const Survey& survey, CheckResult* r) {
    struct stat node;
    if (stat(survey.device.c_str(), &node) != 0) {
        r->detail = survey.device + ": " + strerror(errno);
        r->fix = "see serial-device";
        return true;
    }
    DeviceHolders holders = deviceHolders(survey, survey.device, node);
    if (holders.daemons.empty() && holders.others.empty()) return false;
    std::vector<pid_t> all = holders.daemons;
    all.insert(all.end(), holders.others.begin(), holders.others.end());
    r->detail = "the port is held by " + processList(all) + ": not probed";
    if (!holders.daemons.empty()) {
        r->fix = advice("stop the daemon, then probe again; start it afterwards",
                        stopDaemonCommand(holders.daemons[0]));
    } else {
        r->fix = "stop " + describeProcess(holders.others[0]) +
                 ", which holds the port, then probe again";
    }
    return true;
}

// The port open and nothing in it but the board's own words.
bool openPort(const Survey& survey, CheckResult* r) {
    resetDaemonState();  // no stream forwarded: a reading taken as the reply goes nowhere
    selectSerialDevice(survey.device.c_str());
    if (reopenSerial() >= 0) return true;
    r->detail = survey.device + ": cannot open: " + strerror(errno);
    r->fix = "see serial-device";
    return false;
}

// One identification exchange within its limit: once the limit has passed,
// an alarm interrupts every blocking read and wait of the exchange, which then
// fails as on a read error or a time-out. The version broadcast it leads to
// is recorded, not sent. True when the board acknowledged and replied.
bool identify(bool* bytesDuringExchange) {
    uint8_t command[kStandardPayloadSize] = {kCommandIdentify, 0, 0, 0, 0, 0};
    cli::CatchSignal alarm(SIGALRM, onAlarm);  // a read or a wait returns EINTR
    struct timeval limit = scaledTimeout(kExchangeLimitSeconds, 0);
    if (limit.tv_sec == 0 && limit.tv_usec == 0) limit.tv_usec = 1;  // zero: no alarm at all
    struct itimerval timer = {{0, kAlarmRepeatMicros}, limit};
    setitimer(ITIMER_REAL, &timer, nullptr);
    setShellRunner(recordShellCommand);
    bool answered = sendCommand(command, true) == 1;
    setShellRunner(nullptr);
    struct itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    // The exchange leaves its last lead byte there.
    *bytesDuringExchange = command[0] != kCommandIdentify;
    return answered;
}

// No version came back: tell a board that talks otherwise, garbage, a reply
// cut short, a board in its loader and a silent one apart.
CheckResult unanswered(CheckResult r, const Survey& survey, const FrameTally& tally,
                       const std::string& counted, bool bytesDuringExchange) {
    if (tally.sawWholeFrames()) {
        r.detail = "no answer to the identification, yet it sends frames; " + counted;
        r.fix = "is this the sensor board's firmware? A reset (see reset-line) may bring it back";
    } else if (tally.bytes() > 0) {
        r.detail = "answers with garbage: no whole frame; " + counted;
        r.fix = "wrong baud rate or wiring, or another device on this UART";
    } else if (bytesDuringExchange) {
        r.detail =
            "answered, but no whole acknowledgement and version reply within the "
            "exchange's limit (a frame cut short?); then silent, " +
            counted;
        r.fix = "reset the board (see reset-line) and probe again; check the wiring";
    } else if (loaderAnswers()) {
        return inLoader(r, examineFirmwareImage(survey.user));
    } else {
        r.detail = "silent: neither the firmware nor its bootstrap loader answers; " + counted;
        r.fix = "check the board's power, the TX/RX wiring, the device path and the reset line";
    }
    return r;
}

}  // namespace

CheckResult probeBoard(const Survey& survey, double listenSeconds) {
    CheckResult r{"board", Verdict::Fail, "", ""};
    if (portTaken(survey, &r) || !openPort(survey, &r)) return r;
    // SIGINT and SIGTERM end the listening early, so that the report still
    // shows what was counted.
    cli::StopSignals stopSignals;
    bool bytesDuringExchange = false;
    bool answered = identify(&bytesDuringExchange);
    FrameTally tally;
    Listened listened = listen(gState.serialFd, listenSeconds, &tally);
    closeSerial();
    std::string counted = tally.summary(listened.seconds);
    if (listened.hungUp) counted += "; the line hung up";
    if (listened.stopped) counted += "; listening ended early by a signal";
    if (answered && gState.versionReceived) {
        r.verdict = Verdict::Ok;
        return identified(r, counted, tally.noisy(), examineFirmwareImage(survey.user));
    }
    return unanswered(r, survey, tally, counted, bytesDuringExchange);
}

}  // namespace vantrel::doctor
