// A program the desk starts and ends: the daemon, or the benchmark's floor.
// It starts with standard input from /dev/null, standard output and error
// into files, an empty signal mask and SIGINT and SIGPIPE at their defaults,
// as init starts the daemon on a panel. In a group of its own (the default)
// it takes its children with it when it is killed; in the desk program's
// group it also gets a Ctrl-C typed at the desk program.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::desk {

using Millis = std::chrono::milliseconds;

// Polls `condition` every `poll` until it holds or `timeout` has passed.
bool waitUntil(const std::function<bool()>& condition, Millis timeout, Millis poll = Millis(10));

struct Launch {
    std::vector<std::string> argv;         // argv[0] is the program's path
    std::vector<std::string> environment;  // "NAME=value" entries: all it gets
    std::string stdoutPath;
    std::string stderrPath;
    bool ownGroup = true;
};

class DeskProcess {
  public:
    DeskProcess() = default;
    ~DeskProcess();  // kills it when it still runs
    DeskProcess(const DeskProcess&) = delete;
    DeskProcess& operator=(const DeskProcess&) = delete;

    // Starts it; false, with `error` saying which call failed, when it cannot.
    bool start(const Launch& launch, std::string* error);
    // The running process, -1 once it has ended and been waited for.
    pid_t pid() const { return pid_; }
    // Waits for it when it has ended, so a false here is final.
    bool running();
    // False when it has ended or the signal cannot be sent.
    bool signal(int number);
    // Its exit status (128 + signal when a signal ended it) once it ends
    // within `timeout`; nullopt while it still runs.
    std::optional<int> waitForExit(Millis timeout);
    // SIGKILL (to its group too, when it has one of its own), then a wait.
    void kill();
    // `number`, then at most `timeout` for it to end, then kill(): its exit
    // status, or nullopt when it had to be killed.
    std::optional<int> end(int number, Millis timeout);
    std::optional<int> exitStatus() const { return exitStatus_; }

  private:
    pid_t pid_ = -1;
    bool ownGroup_ = true;
    std::optional<int> exitStatus_;
};

// True once `text` shows in the file at `path` (the process's output);
// false after `timeout`, or as soon as the process has ended without it.
bool waitForText(DeskProcess& process, const std::string& path, const std::string& text,
                 Millis timeout);

// Starts the daemon and waits up to `timeout` for its receive phase (the
// banner on its standard output). False when it does not get there, with
// `error` saying why when it could not be started at all.
bool startToReceivePhase(DeskProcess& daemon, const Launch& launch, Millis timeout,
                         std::string* error);

}  // namespace vantrel::desk
