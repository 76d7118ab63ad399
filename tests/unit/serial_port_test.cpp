// The serial port on a real pseudo-terminal: its settings, the flush on
// open, failed opens, closing, and the byte primitives.
#include "link/serial_port.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "common/daemon_state.h"
#include "tests/unit/pseudo_terminal.h"
#include "tests/unit/unit_fixture.h"

namespace vantrel::test {
namespace {

using Lines = std::vector<std::string>;
constexpr uint32_t kLinkFlags = CS8 | CREAD | CLOCAL;

class SerialPortTest : public DaemonTest {
  protected:
    // A second descriptor on the slave, for looking at the terminal from outside.
    int openSlave() {
        int fd = open(pty_.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(fd, 0);
        return fd;
    }

    PseudoTerminal pty_;
};

TEST_F(SerialPortTest, OpenReplacesTerminalSettingsWithRawLink) {
    int outside = openSlave();
    struct termios before;
    ASSERT_EQ(tcgetattr(outside, &before), 0);
    before.c_iflag |= ICRNL | IXON | IGNBRK;
    before.c_oflag |= OPOST | ONLCR;
    before.c_lflag |= ICANON | ECHO | ISIG;
    before.c_cflag |= CSTOPB | CRTSCTS | HUPCL;
    before.c_cc[VMIN] = 5;
    before.c_cc[VTIME] = 9;
    ASSERT_EQ(tcsetattr(outside, TCSANOW, &before), 0);

    int fd = openSerial(pty_.slavePath().c_str(), kLinkFlags, B115200);
    ASSERT_GE(fd, 0);
    struct termios after;
    ASSERT_EQ(tcgetattr(fd, &after), 0);
    EXPECT_EQ(after.c_iflag, 0u);
    EXPECT_EQ(after.c_oflag, 0u);
    EXPECT_EQ(after.c_lflag, 0u);
    EXPECT_EQ(after.c_cflag, static_cast<tcflag_t>(CS8 | CREAD | CLOCAL | B115200));
    EXPECT_EQ(after.c_cc[VMIN], 1);
    EXPECT_EQ(after.c_cc[VTIME], 1);
    EXPECT_EQ(after.c_cc[VINTR], before.c_cc[VINTR]);
    EXPECT_EQ(after.c_line, before.c_line);
    EXPECT_TRUE(logLines().empty());
    close(fd);
    close(outside);
}

TEST_F(SerialPortTest, InputQueuedBeforeOpenIsDiscarded) {
    int outside = openSlave();
    struct termios raw;
    ASSERT_EQ(tcgetattr(outside, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(outside, TCSANOW, &raw), 0);
    ASSERT_EQ(write(pty_.master(), "stale", 5), 5);
    ASSERT_TRUE(waitForQueued(outside, 5));

    pty_.attachDaemonPort();
    EXPECT_EQ(queuedBytes(gState.serialFd), 0);
    pty_.sendToDaemon({'U'});
    uint8_t byte = 0;
    EXPECT_EQ(readByteTimeout(&byte, 1, 0), 1);
    EXPECT_EQ(byte, 'U');
    close(outside);
}

TEST_F(SerialPortTest, MissingDeviceLogsOneErrorLine) {
    EXPECT_LT(reopenSerial(), 0);
    EXPECT_LT(gState.serialFd, 0);
    EXPECT_EQ(logLines(), (Lines{"E/Vantrel: Cannot open serial port: " + root() +
                                 "/dev/ttymxc1 (No such file or directory)"}));
}

TEST_F(SerialPortTest, ReopenFindsTheLinkUnderTheRoot) {
    makeDirectory("/dev");
    ASSERT_EQ(symlink(pty_.slavePath().c_str(), rootPath("/dev/ttymxc1").c_str()), 0);
    int fd = reopenSerial();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(gState.serialFd, fd);
    pty_.sendToDaemon({0x42});
    uint8_t byte = 0;
    EXPECT_EQ(readByteTimeout(&byte, 1, 0), 1);
    EXPECT_EQ(byte, 0x42);
}

TEST_F(SerialPortTest, ReopenClosesThePortItHad) {
    selectSerialDevice(pty_.slavePath().c_str());
    ASSERT_GE(reopenSerial(), 0);
    ASSERT_GE(reopenSerial(), 0);
    EXPECT_EQ(countOpenDescriptorsOn(pty_.slavePath()), 1);
}

// A file that is no terminal is opened but not configured: reading its
// attributes fails, which the port does not report.
TEST_F(SerialPortTest, NonTerminalIsOpenedWithoutConfiguration) {
    writeFile("/not-a-tty", "plain file");
    std::string path = rootPath("/not-a-tty");
    selectSerialDevice(path.c_str());
    gState.verbose = true;
    int fd = reopenSerial();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(gState.serialFd, fd);
    EXPECT_EQ(logLines(), (Lines{"D/Vantrel: Opened serial port: " + path + "."}));
}

TEST_F(SerialPortTest, CloseSerialTwiceClosesOnce) {
    int fd = pty_.attachDaemonPort();
    closeSerial();
    EXPECT_EQ(gState.serialFd, -1);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    int other = open(rootPath("/").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(other, 0);
    closeSerial();
    EXPECT_EQ(gState.serialFd, -1);
    EXPECT_NE(fcntl(other, F_GETFD), -1) << "the second close closed another descriptor";
    close(other);
}

TEST_F(SerialPortTest, CloseSerialLeavesDescriptorZeroAlone) {
    bool stdinOpen = fcntl(0, F_GETFD) != -1;
    gState.serialFd = 0;
    closeSerial();
    EXPECT_EQ(gState.serialFd, 0);
    EXPECT_EQ(fcntl(0, F_GETFD) != -1, stdinOpen);
    gState.serialFd = -1;
}

TEST_F(SerialPortTest, ReadAllStopsAtEndOfFile) {
    writeFile("/two-bytes", "ab");
    int fd = open(rootPath("/two-bytes").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    uint8_t buffer[4] = {};
    EXPECT_EQ(readAll(fd, buffer, 4), 2);
    EXPECT_EQ(buffer[1], 'b');
    EXPECT_EQ(readAll(fd, buffer, 4), 0);
    close(fd);
}

// The master side of a pty delivers what is queued and then fails once its
// slave has gone: the bytes read before the failure are not reported.
TEST_F(SerialPortTest, ReadAllReportsFailureAfterPartialRead) {
    int fd = pty_.attachDaemonPort();
    ASSERT_EQ(writeAll(fd, reinterpret_cast<const uint8_t*>("abc"), 3), 3);
    ASSERT_TRUE(waitForQueued(pty_.master(), 3));
    closeSerial();
    uint8_t buffer[10] = {};
    EXPECT_LT(readAll(pty_.master(), buffer, sizeof buffer), 0);
    EXPECT_LT(readAll(-1, buffer, 1), 0);
}

TEST_F(SerialPortTest, WriteAllDeliversEveryByte) {
    int fd = pty_.attachDaemonPort();
    Bytes data(300);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(writeAll(fd, data.data(), data.size()), 300);
    EXPECT_EQ(pty_.receive(data.size()), data);
}

TEST_F(SerialPortTest, ReadByteTimeoutOnSilentLineLeavesBufferAlone) {
    pty_.attachDaemonPort();
    uint8_t byte = 0x5A;
    EXPECT_EQ(readByteTimeout(&byte, 0, 500000), 0);
    EXPECT_EQ(byte, 0x5A);
    EXPECT_TRUE(logLines().empty());
}

TEST_F(SerialPortTest, ReadByteTimeoutTakesOneQueuedByte) {
    pty_.attachDaemonPort();
    pty_.sendToDaemon({0x00, 0xFF});
    uint8_t byte = 0x5A;
    EXPECT_EQ(readByteTimeout(&byte, 0, 500000), 1);
    EXPECT_EQ(byte, 0x00);
    EXPECT_EQ(readByteTimeout(&byte, 0, 500000), 1);
    EXPECT_EQ(byte, 0xFF);
    EXPECT_EQ(queuedBytes(gState.serialFd), 0);
}

TEST_F(SerialPortTest, ReadByteTimeoutWithClosedPortReturnsAtOnce) {
    setTimeScale("1");
    gState.serialFd = -1;
    uint8_t byte = 0x5A;
    EXPECT_EQ(readByteTimeout(&byte, 600, 0), 0);
    EXPECT_EQ(byte, 0x5A);
}

}  // namespace
}  // namespace vantrel::test
