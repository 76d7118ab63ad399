// A throw-away root for one run of the daemon on the desk, and the daemon's
// environment in it.
//
// The root ($TMPDIR/<prefix>-XXXXXX, or under /tmp) holds what the daemon
// expects under VANTREL_ROOT: data/, dev/ (the board's link goes there),
// sys/class/gpio/gpio101/value ("0"), vendor/.sensor/ (no image unless one is
// written), properties/ (the host's property store), and bin/, first in PATH,
// for a run's own stand-ins. Beside them the desk keeps the files named
// below. The root is removed when it goes, unless keep() was called.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "desk/desk_process.h"
#include "simboard/simulated_board.h"

namespace vantrel::desk {

// The desk's own files in a root, beside the daemon's tree.
constexpr char kDaemonLogFile[] = "vantrel.log";    // VANTREL_LOG
constexpr char kAmLogFile[] = "am.log";             // VANTREL_AM_LOG: the am stand-in's calls
constexpr char kBslshLogFile[] = "bslsh-argv.log";  // VANTREL_BSLSH_ARGV_LOG
constexpr char kStdoutFile[] = "stdout";
constexpr char kStderrFile[] = "stderr";
constexpr char kOwnStandIns[] = "bin";  // a run's own stand-ins, first in PATH

// What a run sets in the daemon's environment.
struct DaemonSettings {
    std::string standIns;                          // the am and bslsh stand-ins' folder
    std::string timeScale = "1";                   // VANTREL_TIME_SCALE
    std::map<std::string, std::string> overrides;  // set last, over everything
};

class DaemonRoot {
  public:
    // Makes the root and its tree; throws std::runtime_error naming the call
    // that failed.
    explicit DaemonRoot(const std::string& prefix);
    ~DaemonRoot();  // removes the tree unless kept; a failure is said on stderr
    DaemonRoot(const DaemonRoot&) = delete;
    DaemonRoot& operator=(const DaemonRoot&) = delete;

    const std::string& path() const { return path_; }
    // A fixed path of the daemon ("/dev/ttymxc1") or a name in the root, under the root.
    std::string path(const std::string& relative) const;
    // The daemon's FIFO of this name ("pipeProx") under the root.
    std::string fifo(const std::string& name) const;
    // Links the daemon's serial device to the board's pty; throws
    // std::runtime_error when the link cannot be made.
    void linkBoard(simboard::SimulatedBoard& board) const;
    // Leaves the tree in place for a look after the run.
    void keep() { kept_ = true; }
    // `argv` in this root, in the desk program's group (a Ctrl-C at the desk
    // program ends it too): the daemon's environment with `settings`, its
    // output in the root's stdout and stderr files.
    Launch launch(std::vector<std::string> argv, const DaemonSettings& settings) const;

  private:
    std::string path_;
    bool kept_ = false;
};

// The daemon's environment: `outer` ("NAME=value" entries) less every
// VANTREL_* variable, plus VANTREL_ROOT, VANTREL_LOG, VANTREL_TIME_SCALE,
// VANTREL_AM_LOG and VANTREL_BSLSH_ARGV_LOG, and PATH = root/bin, the
// stand-ins, then the outer PATH (or /usr/bin:/bin).
std::vector<std::string> daemonEnvironment(const std::vector<std::string>& outer,
                                           const std::string& root, const DaemonSettings& settings);
// This process's environment, as entries.
std::vector<std::string> currentEnvironment();

}  // namespace vantrel::desk
