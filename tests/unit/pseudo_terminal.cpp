#include "tests/unit/pseudo_terminal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "common/daemon_state.h"
#include "link/serial_port.h"

namespace vantrel::test {

PseudoTerminal::PseudoTerminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        ADD_FAILURE() << "cannot allocate a pseudo-terminal";
        return;
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        ADD_FAILURE() << "cannot name the pseudo-terminal slave";
        return;
    }
    slavePath_ = name;
}

PseudoTerminal::~PseudoTerminal() {
    closeMaster();
}

int PseudoTerminal::attachDaemonPort() {
    gState.serialFd = openSerial(slavePath_.c_str(), CS8 | CREAD | CLOCAL, B115200);
    EXPECT_GE(gState.serialFd, 0) << "cannot open " << slavePath_;
    return gState.serialFd;
}

void PseudoTerminal::sendToDaemon(const Bytes& bytes) {
    int port = gState.serialFd;
    int before = queuedBytes(port);
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t wrote = write(master_, bytes.data() + sent, bytes.size() - sent);
        ASSERT_GT(wrote, 0) << "cannot write to the pseudo-terminal";
        sent += static_cast<size_t>(wrote);
    }
    ASSERT_TRUE(waitForQueued(port, before + static_cast<int>(bytes.size())))
        << "the daemon's port did not receive " << bytes.size() << " bytes";
}

Bytes PseudoTerminal::receive(size_t count, int timeoutMs) {
    Bytes received;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (received.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        struct pollfd ready = {master_, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
        uint8_t chunk[1024];
        size_t want = std::min(sizeof chunk, count - received.size());
        ssize_t got = read(master_, chunk, want);
        if (got <= 0) break;
        received.insert(received.end(), chunk, chunk + got);
    }
    return received;
}

void PseudoTerminal::closeMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
}

int queuedBytes(int fd) {
    int count = 0;
    if (ioctl(fd, FIONREAD, &count) != 0) return -1;
    return count;
}

bool waitForQueued(int fd, int count, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (queuedBytes(fd) < count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

}  // namespace vantrel::test
