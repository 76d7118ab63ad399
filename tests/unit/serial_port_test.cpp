// The serial port on a real pseudo-terminal, as the kernel reports it after
// the daemon's open: line settings, the discarded input, and closing. Every
// wait is for something the kernel will report (bytes queued), bounded
// generously; nothing depends on how fast the machine is.
#include "link/serial_port.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include "common/daemon_state.h"
#include "tests/unit/unit_fixture.h"

namespace vantrel::test {
namespace {

int queued(int fd) {
    int count = -1;
    return ioctl(fd, FIONREAD, &count) == 0 ? count : -1;
}

// Waits until `fd` has `count` bytes queued: false after 30 s.
bool waitForQueued(int fd, int count) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (queued(fd) < count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        struct pollfd ready = {fd, POLLIN, 0};
        poll(&ready, 1, 100);
    }
    return true;
}

// A pseudo-terminal whose slave is the daemon's device $ROOT/dev/ttymxc1. The
// master stays open for the whole test, so the slave's number cannot pass to
// another process meanwhile.
class SerialPortTest : public DaemonTest {
  protected:
    void SetUp() override {
        DaemonTest::SetUp();
        char slave[PATH_MAX];
        ASSERT_EQ(openpty(&master_, &outside_, slave, nullptr, nullptr), 0);
        makeDirectory("/dev");
        ASSERT_EQ(symlink(slave, rootPath("/dev/ttymxc1").c_str()), 0);
    }

    void TearDown() override {
        closeSerial();
        if (outside_ >= 0) close(outside_);
        if (master_ >= 0) close(master_);
        DaemonTest::TearDown();
    }

    int master_ = -1;
    int outside_ = -1;  // a second descriptor on the slave, to look from outside
};

TEST_F(SerialPortTest, LineIsRaw115200EightNOne) {
    struct termios before;
    ASSERT_EQ(tcgetattr(outside_, &before), 0);
    cfsetspeed(&before, B9600);
    before.c_iflag |= ICRNL | IXON | IGNBRK | INPCK;
    before.c_oflag |= OPOST | ONLCR;
    before.c_lflag |= ICANON | ECHO | ISIG;
    before.c_cflag |= PARENB | CSTOPB | CRTSCTS | HUPCL;
    before.c_cc[VMIN] = 5;
    before.c_cc[VTIME] = 9;
    ASSERT_EQ(tcsetattr(outside_, TCSANOW, &before), 0);

    ASSERT_GE(reopenSerial(), 0);
    EXPECT_GE(gState.serialFd, 0);
    struct termios line;
    ASSERT_EQ(tcgetattr(outside_, &line), 0);
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B115200));
    EXPECT_EQ(line.c_cflag, static_cast<tcflag_t>(B115200 | CS8 | CREAD | CLOCAL));
    EXPECT_EQ(line.c_iflag | line.c_oflag | line.c_lflag, 0u) << "no processing at all";
    EXPECT_EQ(line.c_cc[VMIN], 1);
    EXPECT_EQ(line.c_cc[VTIME], 1);
    EXPECT_EQ(line.c_cc[VINTR], before.c_cc[VINTR]) << "other control characters are kept";
    EXPECT_TRUE(logLines().empty());
}

TEST_F(SerialPortTest, InputQueuedBeforeOpenIsDiscarded) {
    setTimeScale("1");
    struct termios raw;
    ASSERT_EQ(tcgetattr(outside_, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(outside_, TCSANOW, &raw), 0);
    ASSERT_EQ(write(master_, "stale", 5), 5);
    ASSERT_TRUE(waitForQueued(outside_, 5)) << "queued: " << queued(outside_);

    ASSERT_GE(reopenSerial(), 0);
    EXPECT_EQ(queued(gState.serialFd), 0);
    ASSERT_EQ(write(master_, "U", 1), 1);
    ASSERT_TRUE(waitForQueued(gState.serialFd, 1));
    uint8_t byte = 0;
    EXPECT_EQ(readByteTimeout(&byte, 30, 0), 1);
    EXPECT_EQ(byte, 'U') << "the first byte after the open";
}

TEST_F(SerialPortTest, OpenFailuresAndClosing) {
    int fd = reopenSerial();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(reopenSerial(), fd) << "the port it had was not closed first";
    closeSerial();
    EXPECT_EQ(gState.serialFd, -1);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    int other = dup(outside_);  // takes the number the port had
    closeSerial();
    EXPECT_NE(fcntl(other, F_GETFD), -1) << "a second close closed another descriptor";
    close(other);

    unlink(rootPath("/dev/ttymxc1").c_str());
    EXPECT_LT(reopenSerial(), 0);
    EXPECT_LT(gState.serialFd, 0);
    writeFile("/plain", "no terminal");
    const std::string plain = rootPath("/plain");
    selectSerialDevice(plain.c_str());
    EXPECT_GE(reopenSerial(), 0) << "opened, though not configurable";
    EXPECT_EQ(logLines(), Lines{"E/Vantrel: Cannot open serial port: " + root() +
                                "/dev/ttymxc1 (No such file or directory)"});
}

}  // namespace
}  // namespace vantrel::test
