// Process-level harness: the daemon (vantrel-traced, built as traced/vantrel)
// against a simulated sensor board, in a throw-away root, for the scenario
// replay and the tests that run the daemon or a tool as a process.
//
// It is the desk's harness (testbench/desk) with what a test adds: the root
// and the daemon's environment are desk/daemon_root.h's (the root's name
// starts with vantrel-test), the start and the end desk/desk_process.h's, the
// FIFO reader the tools' one. A failure to start or to end is a test
// failure. The root is removed at the end unless VANTREL_TEST_KEEP_ROOT is
// set; setEnv changes the environment last; every wait is bounded, and a
// daemon still running at the end is killed with its group.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/paths.h"
#include "desk/daemon_root.h"
#include "desk/desk_process.h"
#include "simboard/simulated_board.h"
#include "tools/fifo/fifo_reader.h"

namespace vantrel::test {

using desk::Millis;
constexpr Millis kDefaultWait{10000};

// A reader on one of the daemon's FIFOs (openFifo below).
using fifo::FifoReader;

// One log record line, "<P>/Vantrel: <message>".
struct LogRecord {
    char priority = '?';  // V, D, I, W, E, F
    std::string message;  // the text after "Vantrel: "
};

// A whole file ("" when it cannot be read), and a text cut into its lines.
std::string readWhole(const std::string& path);
std::vector<std::string> splitLines(const std::string& text);

// Polls `condition` every `poll` until it holds or `timeout` has passed.
inline bool waitUntil(const std::function<bool()>& condition, Millis timeout = kDefaultWait,
                      Millis poll = Millis(10)) {
    return desk::waitUntil(condition, timeout, poll);
}

class ProcessHarness {
  public:
    // Makes the root and a board that runs `firmware`; throws
    // std::runtime_error when the root or the pty cannot be made.
    explicit ProcessHarness(simboard::FirmwareVersion firmware = {});
    ~ProcessHarness();
    ProcessHarness(const ProcessHarness&) = delete;
    ProcessHarness& operator=(const ProcessHarness&) = delete;

    // ---- the world the daemon sees
    const std::string& root() const { return root_.path(); }
    std::string path(const std::string& relative) const { return root_.path(relative); }
    simboard::SimulatedBoard& board() { return board_; }

    void setProperty(const std::string& key, const std::string& value) {
        writeFile("properties/" + key, value);
    }
    std::optional<std::string> property(const std::string& key) const;  // nullopt: no file
    void writeFile(const std::string& relative, const std::string& content);
    std::string readFile(const std::string& relative) const {  // "" when unreadable
        return readWhole(path(relative));
    }
    // vendor/.sensor/sensor.hex: the desk's image of `firmware`, the version
    // the bslsh stand-in flashes (simboard/simulated_image.h), or any text.
    void writeFirmwareImage(simboard::FirmwareVersion firmware);
    void writeFirmwareImageText(const std::string& content) {
        writeFile(kPathFirmwareImage, content);
    }

    // ---- environment of the start
    void setTimeScale(double scale) { timeScale_ = scale; }  // VANTREL_TIME_SCALE
    void setEnv(const std::string& name, const std::string& value) { envOverrides_[name] = value; }
    // An executable script root/bin/<name> (first in PATH) with this text.
    void writeStandIn(const std::string& name, const std::string& script);

    // ---- the daemon
    // Starts it with these arguments; false (and a test failure) when it
    // cannot be started.
    bool start(const std::vector<std::string>& args);
    bool running() { return daemon_.running(); }
    pid_t pid() const { return daemon_.pid(); }
    // SIGINT, sent again every 3 s until the log shows it was caught or
    // the daemon has ended. True when either happened within `timeout`.
    bool interrupt(Millis timeout = kDefaultWait);
    // The exit status (128 + signal when a signal ended it); after `timeout`
    // the daemon is killed, the test fails and the result is nullopt.
    std::optional<int> waitForExit(Millis timeout = kDefaultWait);
    std::optional<int> exitStatus() const { return daemon_.exitStatus(); }

    // ---- what came out
    // Standard output less the lines of the am and bslsh stand-ins ("am: ...",
    // "bslsh: ..."), which share it with the daemon.
    std::string daemonStdoutText() const;
    std::string stderrText() const { return readFile(desk::kStderrFile); }
    std::vector<LogRecord> logRecords() const;
    // A reader on data/<name>; waits up to `timeout` for the FIFO to appear.
    FifoReader openFifo(const std::string& name, Millis timeout) const;

    static std::string standInDirectory();

  private:
    desk::DaemonRoot root_;
    simboard::SimulatedBoard board_;
    std::map<std::string, std::string> envOverrides_;
    double timeScale_ = 0.05;
    desk::DeskProcess daemon_;
};

}  // namespace vantrel::test
