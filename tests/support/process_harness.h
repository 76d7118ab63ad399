// Process-level test harness: the real `vantrel` binary against a simulated
// sensor board, in a throw-away root.
//
//   vantrel::test::ProcessHarness h;          // temp root, board (1.6.25), link
//   h.start({"-m", "-l", "-e", "1", "-n", "0"});
//   ASSERT_TRUE(h.waitForStdout("* Scan for messages...")) << h.diagnostics();
//   auto prox = h.openFifo("pipeProx");
//   h.board().sendMotion(0x0102, 0x0304);
//   EXPECT_EQ(prox.readValue(), 0x0406);
//   EXPECT_EQ(h.stop(), 0);                   // SIGINT, bounded wait, status
//
// The root (mkdtemp under $TMPDIR or /tmp) holds what the daemon expects
// under VANTREL_ROOT: data/, dev/ttymxc1 (a link to the board's pty slave),
// sys/class/gpio/gpio101/value ("0"), vendor/.sensor/ (no image unless a test
// writes one), properties/, and bin/ (first in PATH, for a test's own
// stand-ins). Next to them the harness keeps its own files: vantrel.log
// (VANTREL_LOG), am.log (VANTREL_AM_LOG), bslsh-argv.log
// (VANTREL_BSLSH_ARGV_LOG) and run-N.stdout / run-N.stderr for each start.
// The root is removed by the destructor unless VANTREL_TEST_KEEP_ROOT is set;
// with VANTREL_TEST_TRACE set, every board exchange is printed on stderr.
//
// The daemon's environment is the test's, less every VANTREL_* variable, plus
// VANTREL_ROOT, VANTREL_LOG, VANTREL_TIME_SCALE (default 0.02, see
// setTimeScale), VANTREL_AM_LOG, VANTREL_BSLSH_ARGV_LOG and PATH = root/bin,
// the build's stand-ins folder (am, bslsh), then the test's PATH; setEnv and
// unsetEnv change it last. The daemon runs in its own process group with
// standard input from /dev/null.
//
// Every wait is bounded. A daemon still running when waitForExit's time is up
// is killed (with its whole process group) and the test fails; one still
// running when the harness is destroyed is killed as well.
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

// Polls `condition` every `poll` until it holds or `timeout` has passed.
bool waitUntil(const std::function<bool()>& condition, Millis timeout = kDefaultWait,
               Millis poll = Millis(10));

// A reader on one of the daemon's FIFOs. It keeps the FIFO open (and holds a
// write end of its own, so a read waits instead of seeing end-of-file), which
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
    const std::string& path() const { return path_; }
    // Asks the kernel for a FIFO buffer of `bytes` (rounded up to whole
    // pages) and returns the capacity it now has, or -1. A small buffer lets
    // a test that stalls its reader fill the FIFO with few values.
    int setCapacity(int bytes);
    // Exactly `count` bytes, or nullopt when they did not all come in time
    // (the bytes that did come stay for the next read).
    std::optional<std::vector<uint8_t>> readBytes(size_t count, Millis timeout = kDefaultWait);
    // The next 4-byte value in host (little-endian) order.
    std::optional<int32_t> readValue(Millis timeout = kDefaultWait);
    // Everything that arrives within `quiet` of the last byte, as whole values.
    std::vector<int32_t> drainValues(Millis quiet = Millis(100));

  private:
    bool fill(size_t count, Millis timeout);
    void closeAll();

    std::string path_;
    int reader_ = -1;
    int keeper_ = -1;
    std::vector<uint8_t> pending_;
};

class ProcessHarness {
  public:
    // Makes the root and a board that runs `firmware` (1.6.25, the version
    // the daemon requires, unless given); throws std::runtime_error when the
    // root or the pty cannot be made.
    explicit ProcessHarness(simboard::FirmwareVersion firmware = {});
    ~ProcessHarness();
    ProcessHarness(const ProcessHarness&) = delete;
    ProcessHarness& operator=(const ProcessHarness&) = delete;

    // ---- the world the daemon sees
    const std::string& root() const { return root_; }
    // root + "/" + relative ("data/pipeProx", "/dev/ttymxc1" both work).
    std::string path(const std::string& relative) const;
    simboard::SimulatedBoard& board() { return *board_; }
    // $ROOT/dev/ttymxc1, the daemon's default device (a link to the board).
    std::string devicePath() const { return path("dev/ttymxc1"); }

    // Property store: properties/<key>, written as given (no line feed added).
    void setProperty(const std::string& key, const std::string& value);
    void clearProperty(const std::string& key);
    // nullopt when the property file does not exist.
    std::optional<std::string> property(const std::string& key) const;

    void writeFile(const std::string& relative, const std::string& content);
    // The whole file, or "" when it cannot be read.
    std::string readFile(const std::string& relative) const;
    bool exists(const std::string& relative) const;
    // vendor/.sensor/sensor.hex: a small image whose version line the bslsh
    // stand-in reads ("; version 1.6.25" between hex records), or any text.
    void writeFirmwareImage(const std::string& versionText);
    void writeFirmwareImageText(const std::string& content);
    // Content of sys/class/gpio/gpio101/value.
    std::string gpioValue() const { return readFile("sys/class/gpio/gpio101/value"); }

    // ---- environment of the next start
    // VANTREL_TIME_SCALE. 0.02 by default: the 5 s start pause takes 0.1 s,
    // the ACK window (4 x 0.5 s) 40 ms, a failed identification attempt with
    // its reset about 0.4 s. Smaller is faster, but the board must answer
    // within the scaled ACK window even on a loaded machine.
    void setTimeScale(double scale);
    void setEnv(const std::string& name, const std::string& value);
    void unsetEnv(const std::string& name);
    // An executable script root/bin/<name> (first in PATH) with this text,
    // e.g. writeStandIn("bslsh", "#!/bin/sh\nexit 3\n").
    void writeStandIn(const std::string& name, const std::string& script);

    // ---- the daemon
    // Starts the daemon with these arguments (argv[0] is its path). Returns
    // false (and fails the test) when it cannot be started or one is running.
    // Each start begins a new run: fresh stdout/stderr files, and logText()
    // starts from here.
    bool start(const std::vector<std::string>& args);
    bool running();
    pid_t pid() const { return pid_; }
    int runCount() const { return runs_; }
    void sendSignal(int signal);
    // SIGINT to the daemon alone. glibc's system() ignores SIGINT while `am`
    // runs, so a SIGINT can be lost there: the harness sends it again every
    // 300 ms until the log shows one more "Signal <2> Caught!" or the daemon
    // has ended. True when either happened within `timeout`.
    bool interrupt(Millis timeout = kDefaultWait);
    // The exit status (0-255), or 128 + signal number when a signal ended
    // it; nullopt when it was still running after `timeout`: then it has
    // been killed and the test has failed.
    std::optional<int> waitForExit(Millis timeout = kDefaultWait);
    // interrupt() then waitForExit(); -1 when either did not work in time.
    int stop(Millis timeout = kDefaultWait);
    // Status of the last run that ended, nullopt while running or never run.
    std::optional<int> exitStatus() const { return exitStatus_; }

    // ---- what came out (of the current run unless said otherwise)
    std::string stdoutText() const;
    // stdoutText() less the lines of the am and bslsh stand-ins ("am: ...",
    // "bslsh: ..."), which share standard output with the daemon.
    std::string daemonStdoutText() const;
    std::string stderrText() const;
    std::string logText() const;     // this run's records
    std::string allLogText() const;  // every run's records
    std::vector<LogRecord> logRecords() const;
    size_t logCount(const std::string& text) const;  // records of this run containing it
    bool logContains(const std::string& text) const { return logCount(text) > 0; }
    std::vector<std::string> amLines() const;     // "am broadcast ..." per call, all runs
    std::vector<std::string> bslshCalls() const;  // bslsh command lines, all runs

    bool waitForLog(const std::string& text, Millis timeout = kDefaultWait, size_t count = 1) const;
    bool waitForStdout(const std::string& text, Millis timeout = kDefaultWait) const;
    bool waitForStderr(const std::string& text, Millis timeout = kDefaultWait) const;
    bool waitForAm(const std::string& text, Millis timeout = kDefaultWait) const;

    // A reader on data/<name> ("pipeProx", "pipeLight"); waits up to
    // `timeout` for the daemon to create the FIFO. Check isOpen().
    FifoReader openFifo(const std::string& name, Millis timeout = kDefaultWait) const;

    // stdout, stderr, the log's tail and the board's commands, for messages:
    // EXPECT_TRUE(h.waitForLog("...")) << h.diagnostics();
    std::string diagnostics() const;

    // The daemon binary (VANTREL_TEST_DAEMON overrides the built one) and the
    // stand-ins folder.
    static std::string daemonPath();
    static std::string standInDirectory();

  private:
    std::vector<std::string> buildEnvironment() const;
    std::string runFile(const char* suffix) const;
    void killGroup();

    std::string root_;
    std::unique_ptr<simboard::SimulatedBoard> board_;
    std::map<std::string, std::optional<std::string>> envOverrides_;
    double timeScale_ = 0.02;
    pid_t pid_ = -1;
    int runs_ = 0;
    size_t runLogStart_ = 0;
    std::optional<int> exitStatus_;
};

}  // namespace vantrel::test
