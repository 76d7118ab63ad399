#include "daemon/run.h"

#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/daemon_state.h"
#include "common/log.h"
#include "common/paths.h"
#include "common/pipe_table.h"
#include "common/signals.h"
#include "daemon/bool_property.h"
#include "daemon/options.h"
#include "firmware/board_identification.h"
#include "link/command_exchange.h"
#include "link/protocol.h"
#include "link/receive_loop.h"
#include "link/serial_port.h"
#include "messages/sensor_pipes.h"
#include "platform/platform.h"

namespace vantrel {

namespace {

constexpr unsigned kStartPauseSeconds = 5;
constexpr unsigned kRestartPauseSeconds = 60;

const char* onOff(bool on) {
    return on ? "on" : "off";
}

void createSensorPipes() {
    char buffer[PATH_MAX];
    openPipe(pipePath(kPipeProximity, buffer, sizeof buffer));
    openPipe(pipePath(kPipeLight, buffer, sizeof buffer));
}

// As bsd_signal: the handler stays installed and interrupted calls restart
// where the system allows it.
void installSigintHandler() {
    struct sigaction action = {};
    action.sa_handler = handleSigint;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
}

bool sendSwitchCommand(uint8_t letter, bool on) {
    uint8_t command[kStandardPayloadSize] = {letter, static_cast<uint8_t>(on ? 1 : 0), 0, 0, 0, 0};
    return sendCommand(command, true) != 0;
}

// The LED command; its result decides the exit status so far.
int switchLed(const RunSettings& settings) {
    bool on = settings.ledOn;
    if (!settings.ledGiven) {
        char text[kPropertyValueMax];
        on = getBoolProperty(text, sizeof text, kLedProperty) != 0;
        printConsole("%s=%s\n", kLedProperty, text);
    }
    printConsole("Setting LED %s\n", onOff(on));
    if (sendSwitchCommand(kCommandLed, on)) return 0;
    fputs("led command failed\n", stderr);
    return 1;
}

// The NFC command, sent whatever became of the LED command.
int switchNfc(const RunSettings& settings, int status) {
    bool on = settings.nfcOn;
    if (settings.nfcGiven) {
        printConsole("Setting NFC %s\n", onOff(on));
        logInfo("Setting NFC %s\n", onOff(on));
    } else {
        char text[kPropertyValueMax];
        on = getBoolProperty(text, sizeof text, kNfcProperty) != 0;
        printConsole("%s=%s\n", kNfcProperty, text);
        logInfo("%s %s\n", kNfcProperty, onOff(on));
    }
    if (sendSwitchCommand(kCommandNfc, on)) return status;
    fputs("nfc command failed\n", stderr);
    return 1;
}

// A property can only turn a stream on; an option already has.
void chooseStreams(const RunSettings& settings) {
    if (!settings.motionGiven && queryBoolProperty(kMotionProperty)) gState.ignoreMotion = false;
    if (!settings.lightGiven && queryBoolProperty(kLightProperty)) gState.ignoreLight = false;
}

void printBanner() {
    static const char kRule[] = "*****************************************\n";
    printConsole("%s", kRule);
    printConsole("%s\n", kReceiveBanner);
    printConsole("*   Motion Sensor Messages  [%s]\n", gState.ignoreMotion ? "IGNORE" : "DISPLAY");
    printConsole("*   Light Sensor Messages   [%s]\n", gState.ignoreLight ? "IGNORE" : "DISPLAY");
    printConsole("%s", kRule);
}

int communicationError(const RunSettings& settings) {
    logError("Communication Error!");
    if (!settings.daemonMode) return 0;
    logError("Sleeping %d seconds before restart...\n", kRestartPauseSeconds);
    pauseSeconds(kRestartPauseSeconds);
    return 1;
}

// Steps after the port is open: identification, LED and NFC, receive phase.
int runWithBoard(const RunSettings& settings) {
    if (!identifyAndUpgradeBoard()) return communicationError(settings);
    int status = switchLed(settings);
    status = switchNfc(settings, status);
    chooseStreams(settings);
    if (!gState.ignoreLight || !gState.ignoreMotion) {
        printBanner();
        readData();
    }
    return status;
}

}  // namespace

void handleSigint(int signal) {
    logError("Signal <%d> Caught!\n", signal);
    gState.running = false;
    int fd = gState.serialFd;
    if (fd >= 0) close(fd);
    gState.serialFd = -1;
}

int runDaemon(int argc, char** argv) {
    if (!platformSettingsUsable()) return 1;
    createSensorPipes();
    installSigintHandler();
    blockSigpipe();

    RunSettings settings;
    if (!parseOptions(argc, argv, &settings)) {
        printUsage();
        releaseRunSettings(&settings);
        return 1;
    }
    pauseSeconds(kStartPauseSeconds);
    if (!settings.optionSeen) {
        logError("Invalid syntax!\n");
        printUsage();
        return 1;
    }
    if (settings.portPath == nullptr) settings.portPath = strdup(serialDevice());
    selectSerialDevice(settings.portPath);
    reopenSerial();

    int status = runWithBoard(settings);
    closeSerial();
    selectSerialDevice(nullptr);
    releaseRunSettings(&settings);
    return status;
}

}  // namespace vantrel
