// The numbers the panel's kernel and platform see from the daemon: open flags
// of the sensor pipes, the serial line's control word, the property buffer.
// The symbolic names hide them everywhere else; these tests pin them down on
// the ARM targets (run there under qemu-user, see scripts/ci-arm).
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "common/daemon_state.h"
#include "link/serial_port.h"
#include "platform/platform.h"
#include "tests/unit/pseudo_terminal.h"
#include "tests/unit/unit_fixture.h"

namespace vantrel::test {
namespace {

#if defined(__arm__) || defined(__aarch64__)
constexpr bool kArmTarget = true;
#else
constexpr bool kArmTarget = false;
#endif

using TargetAbiTest = DaemonTest;

// The pipes are opened write-only and non-blocking; on ARM Linux that is
// 0x801, and the kernel must report exactly those flags back for a
// descriptor opened that way (no create, truncate or append sneaking in).
TEST_F(TargetAbiTest, PipeOpenFlagsAreArmLinuxWriteOnlyNonBlocking) {
    if (!kArmTarget) GTEST_SKIP() << "the values checked here are ARM Linux's";
    EXPECT_EQ(O_WRONLY | O_NONBLOCK, 0x801);

    makeDirectory("/data");
    std::string path = rootPath("/data/pipeProx");
    FifoReader reader(path);  // a reader, so the non-blocking open succeeds
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    int flags = fcntl(fd, F_GETFL);
    close(fd);
    ASSERT_NE(flags, -1);
    EXPECT_EQ(flags & (O_ACCMODE | O_NONBLOCK | O_APPEND | O_CREAT | O_TRUNC), 0x801);
}

// B115200 | CS8 | CREAD | CLOCAL as ARM Linux numbers them, read back from
// the terminal after the daemon's own open of its link.
TEST_F(TargetAbiTest, SerialControlWordIsArmLinux115200Raw) {
    if (!kArmTarget) GTEST_SKIP() << "the values checked here are ARM Linux's";
    PseudoTerminal pty;
    ASSERT_TRUE(pty.isOpen());
    makeDirectory("/dev");
    ASSERT_EQ(symlink(pty.slavePath().c_str(), rootPath("/dev/ttymxc1").c_str()), 0);
    int fd = reopenSerial();
    ASSERT_GE(fd, 0);
    struct termios settings;
    ASSERT_EQ(tcgetattr(fd, &settings), 0);
    EXPECT_EQ(settings.c_cflag, 0x18B2u);  // 0x1002 | 0x30 | 0x80 | 0x800
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(0x1002));
    EXPECT_EQ(cfgetispeed(&settings), static_cast<speed_t>(0x1002));
    closeSerial();
}

// Android's PROP_VALUE_MAX is 92 on every ABI; a value read into a buffer of
// that size must never write past it, whatever the word size.
TEST_F(TargetAbiTest, PropertyValueStaysInsideAndroidsBufferSize) {
    EXPECT_EQ(kPropertyValueMax, 92);
    struct {
        char before[16];
        char value[kPropertyValueMax];
        char after[16];
    } guarded;
    memset(&guarded, 0x5A, sizeof guarded);
    writeFile("/properties/com.zyn.vantrel.led", std::string(300, 'x'));
    EXPECT_EQ(platformPropertyGet("com.zyn.vantrel.led", guarded.value, ""), 91);
    EXPECT_EQ(std::string(guarded.value), std::string(91, 'x'));
    for (char byte : guarded.before) ASSERT_EQ(byte, 0x5A) << "written before the buffer";
    for (char byte : guarded.after) ASSERT_EQ(byte, 0x5A) << "written past the buffer";
}

}  // namespace
}  // namespace vantrel::test
