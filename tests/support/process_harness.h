// Process-level harness: the daemon (vantrel-traced, built as traced/vantrel)
// against a simulated sensor board, in a throw-away root. The scenario replay
// (tests/session_regression) is its user.
//
// The root (mkdtemp under $TMPDIR or /tmp) holds what the daemon expects
// under VANTREL_ROOT: data/, dev/ttymxc1 (a link to the board's pty slave),
// sys/class/gpio/gpio101/value ("0"), vendor/.sensor/ (no image unless one is
// written), properties/, and bin/ (first in PATH, for a scenario's own
// stand-ins). Next to them the harness keeps its own files: vantrel.log
// (VANTREL_LOG), am.log (VANTREL_AM_LOG), bslsh-argv.log
// (VANTREL_BSLSH_ARGV_LOG), stdout and stderr. The root is removed by the
// destructor unless VANTREL_TEST_KEEP_ROOT is set.
//
// The daemon's environment is the test's, less every VANTREL_* variable, plus
// VANTREL_ROOT, VANTREL_LOG, VANTREL_TIME_SCALE, VANTREL_AM_LOG,
// VANTREL_BSLSH_ARGV_LOG and PATH = root/bin, the stand-ins folder (am,
// bslsh), then the test's PATH; setEnv changes it last. The daemon runs in
// its own process group with standard input from /dev/null. Every wait is
// bounded; a daemon still running at the end is killed with its group.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "simboard/simulated_board.h"

namespace vantrel::test {

using Millis = std::chrono::milliseconds;
constexpr Millis kDefaultWait{10000};

// One log record line, "<P>/Vantrel: <message>".
struct LogRecord {
    char priority = '?';  // V, D, I, W, E, F
    std::string message;  // the text after "Vantrel: "
};

// A whole file ("" when it cannot be read), and a text cut into its lines.
std::string readWhole(const std::string& path);
std::vector<std::string> splitLines(const std::string& text);

// Polls `condition` every `poll` until it holds or `timeout` has passed.
bool waitUntil(const std::function<bool()>& condition, Millis timeout = kDefaultWait,
               Millis poll = Millis(10));

// A reader on one of the daemon's FIFOs. It keeps the FIFO open (and holds a
// write end of its own, so a read waits instead of seeing end of file), which
// lets the daemon's non-blocking writes reach it. Movable, not copyable.
class FifoReader {
  public:
    FifoReader() = default;
    FifoReader(const std::string& path, Millis appearTimeout);  // see isOpen()
    ~FifoReader();
    FifoReader(FifoReader&& other) noexcept;
    FifoReader& operator=(FifoReader&& other) noexcept;
    FifoReader(const FifoReader&) = delete;
    FifoReader& operator=(const FifoReader&) = delete;

    bool isOpen() const { return reader_ >= 0; }
    // Asks the kernel for a FIFO buffer of `bytes` (it rounds up to a page).
    void setCapacity(int bytes);
    // Every 4-byte value (host order) that arrives within `quiet` of the last.
    std::vector<int32_t> drainValues(Millis quiet);

  private:
    void closeAll();

    int reader_ = -1;
    int keeper_ = -1;
};

class ProcessHarness {
  public:
    // Makes the root and a board that runs `firmware`; throws
    // std::runtime_error when the root or the pty cannot be made.
    explicit ProcessHarness(simboard::FirmwareVersion firmware = {});
    ~ProcessHarness();
    ProcessHarness(const ProcessHarness&) = delete;
    ProcessHarness& operator=(const ProcessHarness&) = delete;

    // ---- the world the daemon sees
    const std::string& root() const { return root_; }
    std::string path(const std::string& relative) const;  // root + "/" + relative
    simboard::SimulatedBoard& board() { return *board_; }

    void setProperty(const std::string& key, const std::string& value);
    std::optional<std::string> property(const std::string& key) const;  // nullopt: no file
    void writeFile(const std::string& relative, const std::string& content);
    std::string readFile(const std::string& relative) const;  // "" when unreadable
    // vendor/.sensor/sensor.hex: the desk's image of `firmware`, the version
    // the bslsh stand-in flashes (simboard/simulated_image.h), or any text.
    void writeFirmwareImage(simboard::FirmwareVersion firmware);
    void writeFirmwareImageText(const std::string& content);
    std::string gpioValue() const;

    // ---- environment of the start
    void setTimeScale(double scale);  // VANTREL_TIME_SCALE
    void setEnv(const std::string& name, const std::string& value);
    // An executable script root/bin/<name> (first in PATH) with this text.
    void writeStandIn(const std::string& name, const std::string& script);

    // ---- the daemon
    // Starts it with these arguments; false (and a test failure) when it
    // cannot be started.
    bool start(const std::vector<std::string>& args);
    bool running();
    pid_t pid() const { return pid_; }
    // SIGINT, sent again every 3 s until the log shows it was caught or
    // the daemon has ended. True when either happened within `timeout`.
    bool interrupt(Millis timeout = kDefaultWait);
    // The exit status (128 + signal when a signal ended it); after `timeout`
    // the daemon is killed, the test fails and the result is nullopt.
    std::optional<int> waitForExit(Millis timeout = kDefaultWait);
    std::optional<int> exitStatus() const { return exitStatus_; }

    // ---- what came out
    // Standard output less the lines of the am and bslsh stand-ins ("am: ...",
    // "bslsh: ..."), which share it with the daemon.
    std::string daemonStdoutText() const;
    std::string stderrText() const;
    std::vector<LogRecord> logRecords() const;
    std::vector<std::string> amLines() const;     // "am broadcast ..." per call
    std::vector<std::string> bslshCalls() const;  // bslsh command lines
    // A reader on data/<name>; waits up to `timeout` for the FIFO to appear.
    FifoReader openFifo(const std::string& name, Millis timeout) const;

    // The daemon binary (VANTREL_TEST_DAEMON overrides the built one) and the
    // stand-ins folder.
    static std::string daemonPath();
    static std::string standInDirectory();

  private:
    std::vector<std::string> buildEnvironment() const;
    void killGroup();

    std::string root_;
    std::unique_ptr<simboard::SimulatedBoard> board_;
    std::map<std::string, std::string> envOverrides_;
    double timeScale_ = 0.05;
    pid_t pid_ = -1;
    std::optional<int> exitStatus_;
};

}  // namespace vantrel::test
