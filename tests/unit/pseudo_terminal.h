// A real pseudo-terminal standing in for the UART: the daemon code gets the
// slave side as its serial port, the test plays the sensor board on the
// master side.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::test {

using Bytes = std::vector<uint8_t>;

class PseudoTerminal {
  public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    bool isOpen() const { return master_ >= 0; }
    int master() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }

    // Opens the slave with the daemon's own openSerial and link settings and
    // puts it into gState.serialFd. Returns the descriptor.
    int attachDaemonPort();

    // Board to daemon: writes `bytes` and waits until the daemon's port has
    // all of them queued, so that no time limit of the daemon races the pty.
    void sendToDaemon(const Bytes& bytes);

    // Daemon to board: up to `count` bytes, waiting at most `timeoutMs`.
    Bytes receive(size_t count, int timeoutMs = 2000);

    // Hangs the line up: the daemon's reads see end of file from now on.
    void closeMaster();

  private:
    int master_ = -1;
    std::string slavePath_;
};

// Bytes waiting to be read on `fd` (FIONREAD), -1 when that cannot be asked.
int queuedBytes(int fd);

// Waits until `fd` has at least `count` bytes queued; false after `timeoutMs`.
bool waitForQueued(int fd, int count, int timeoutMs = 2000);

}  // namespace vantrel::test
