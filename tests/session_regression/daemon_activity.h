// Tells from the outside when the daemon has taken in everything the board
// sent and sits waiting for the link: it sleeps in select or read, the
// terminal holds no unread byte for it, and none of that changes for a while.
// That is the moment to look at its outputs (or to send SIGINT) without a
// race against bytes still on their way through it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

namespace vantrel::test {

class DaemonActivity {
  public:
    using Millis = std::chrono::milliseconds;

    // `device`: the serial device the daemon reads (a pty slave), opened here
    // only to look at its input queue.
    DaemonActivity(pid_t pid, const std::string& device);
    ~DaemonActivity();
    DaemonActivity(const DaemonActivity&) = delete;
    DaemonActivity& operator=(const DaemonActivity&) = delete;

    // Call repeatedly: true once the daemon has been waiting for the link,
    // with nothing left to read, unchanged for `settle`. With `readOnly`, only
    // a blocking read counts (a wait that no time limit will end).
    bool settled(Millis settle, bool readOnly = false);

  private:
    struct Snapshot {
        char state = '?';
        long syscall = -1;
        long long readCalls = -1;
        int queued = -1;
        bool operator==(const Snapshot& o) const {
            return state == o.state && syscall == o.syscall && readCalls == o.readCalls &&
                   queued == o.queued;
        }
    };

    Snapshot take() const;
    bool waitsForLink(const Snapshot& s, bool readOnly) const;

    pid_t pid_;
    int device_ = -1;
    std::optional<Snapshot> quiet_;
    std::chrono::steady_clock::time_point quietSince_;
};

}  // namespace vantrel::test
