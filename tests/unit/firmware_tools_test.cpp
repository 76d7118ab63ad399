// The firmware image marker, the board's reset line and the bootstrap-loader
// tool, run as stand-ins from the test's own PATH.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/signals.h"
#include "firmware/board_control.h"
#include "firmware/image_marker.h"
#include "link/serial_port.h"
#include "tests/unit/unit_fixture.h"

namespace vantrel::test {
namespace {

using Lines = std::vector<std::string>;

using ImageMarkerTest = DaemonTest;

TEST_F(ImageMarkerTest, OnlyTheExactFirstLineIsTheMarker) {
    struct Case {
        std::string content;
        bool development;
    };
    const std::vector<Case> cases = {
        {"", false},
        {"development build\n", true},
        {"development build\nmore\nlines\n", true},
        {std::string("development build\n\x00\xFF binary", 27), true},
        {"development build", true},
        {"development build\r\n", false},
        {"development build \n", false},
        {" development build\n", false},
        {"Development build\n", false},
        {"development builds\n", false},
        {"development buil\n", false},
        {"development buil", false},
        {"\ndevelopment build\n", false},
        {":10010000214601360121470136007EFE09D2190140\n:00000001FF\n", false},
    };
    for (const Case& c : cases) {
        writeFile("/vendor/.sensor/sensor.hex", c.content);
        EXPECT_EQ(isDevelopmentImage(rootPath("/vendor/.sensor/sensor.hex").c_str()), c.development)
            << "content \"" << c.content << "\"";
    }
}

TEST_F(ImageMarkerTest, MissingOrUnreadableImageIsNoMarker) {
    EXPECT_FALSE(isDevelopmentImage(rootPath("/vendor/.sensor/sensor.hex").c_str()));
    makeDirectory("/vendor/.sensor/sensor.hex");
    EXPECT_FALSE(isDevelopmentImage(rootPath("/vendor/.sensor/sensor.hex").c_str()));
    EXPECT_TRUE(logLines().empty());
}

TEST_F(ImageMarkerTest, NoFileStaysOpen) {
    writeFile("/marker", "development build\n");
    std::string path = rootPath("/marker");
    EXPECT_TRUE(isDevelopmentImage(path.c_str()));
    EXPECT_EQ(countOpenDescriptorsOn(path), 0);
}

using ResetLineTest = DaemonTest;

TEST_F(ResetLineTest, PulseWritesOneThenZero) {
    writeFile("/sys/class/gpio/gpio101/value", "stale");
    resetSensorBoard();
    EXPECT_EQ(readFile("/sys/class/gpio/gpio101/value"), "10");
    EXPECT_TRUE(logLines().empty());
}

TEST_F(ResetLineTest, MissingValueFileIsReported) {
    setTimeScale("1");  // a missing line means no pause at all
    resetSensorBoard();
    EXPECT_EQ(logLines(), (Lines{"E/Vantrel: resetSensorBoard: can not open file " + root() +
                                 "/sys/class/gpio/gpio101/value"}));
    EXPECT_FALSE(fileExists("/sys/class/gpio/gpio101/value"));
}

class BslToolTest : public DaemonTest {
  protected:
    void SetUp() override {
        DaemonTest::SetUp();
        setenv("VANTREL_TEST_RECORD", rootPath("/bslsh.record").c_str(), 1);
        unsetenv("VANTREL_TEST_EXIT");
    }
    void TearDown() override {
        unsetenv("VANTREL_TEST_RECORD");
        unsetenv("VANTREL_TEST_EXIT");
        DaemonTest::TearDown();
    }

    // The recording stand-in, started under the name bslsh.
    void installRecorder() {
        makeDirectory("/bin");
        ASSERT_EQ(symlink(VANTREL_ARGV_RECORDER, rootPath("/bin/bslsh").c_str()), 0);
    }

    // The record without its signal-mask line.
    Lines recordedArguments() const {
        Lines arguments;
        for (const auto& line : splitLines(readFile("/bslsh.record"))) {
            if (line.rfind("SigBlk:", 0) != 0) arguments.push_back(line);
        }
        return arguments;
    }

    // The blocked-signal mask the stand-in started with.
    unsigned long long recordedBlockedSignals() const {
        for (const auto& line : splitLines(readFile("/bslsh.record"))) {
            if (line.rfind("SigBlk:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
        }
        ADD_FAILURE() << "no signal mask recorded";
        return ~0ull;
    }
};

TEST_F(BslToolTest, CheckSucceeds) {
    installTool("bslsh", "exit 0\n");
    EXPECT_EQ(bslCommCheck(), 0);
    EXPECT_EQ(logLines(),
              (Lines{"I/Vantrel: Waiting for bslCommCheck..", "I/Vantrel: bslCommCheck ret = 0"}));
}

TEST_F(BslToolTest, UpgradeReportsExitStatus) {
    installTool("bslsh", "exit 3\n");
    EXPECT_EQ(bslUpgrade(), 3);
    EXPECT_EQ(logLines(),
              (Lines{"I/Vantrel: Waiting for bslUpgrade..", "I/Vantrel: bspUpgrade ret = 3"}));
    installTool("bslsh", "exit 255\n");
    EXPECT_EQ(bslCommCheck(), 255);
}

TEST_F(BslToolTest, ToolKilledBySignalCountsAsOne) {
    installTool("bslsh", "kill -9 $$\n");
    EXPECT_EQ(bslCommCheck(), 1);
    EXPECT_EQ(logLines(), Lines{"I/Vantrel: Waiting for bslCommCheck.."});
    EXPECT_EQ(bslUpgrade(), 1);
    EXPECT_EQ(logLines().back(), "I/Vantrel: Waiting for bslUpgrade..");
}

TEST_F(BslToolTest, MissingToolIsReportedByTheChild) {
    makeDirectory("/bin");
    setPath(rootPath("/bin"));
    EXPECT_EQ(bslCommCheck(), 1);
    Lines lines = logLines();
    EXPECT_EQ(lines.size(), 3u);
    EXPECT_EQ(countLogLines("E/Vantrel: bslCommCheck exec failed!"), 1);
    EXPECT_EQ(countLogLines("I/Vantrel: Waiting for bslCommCheck.."), 1);
    EXPECT_EQ(lines.back(), "I/Vantrel: bslCommCheck ret = 1");

    EXPECT_EQ(bslUpgrade(), 1);
    EXPECT_EQ(countLogLines("E/Vantrel: bslUpgrade exec failed!"), 1);
    EXPECT_EQ(logLines().back(), "I/Vantrel: bspUpgrade ret = 1");
}

TEST_F(BslToolTest, CheckCommandLine) {
    installRecorder();
    EXPECT_EQ(bslCommCheck(), 0);
    EXPECT_EQ(recordedArguments(),
              (Lines{"bslsh", "--device", root() + "/dev/ttymxc1", "--checkComm"}));
}

TEST_F(BslToolTest, UpgradeCommandLine) {
    installRecorder();
    setenv("VANTREL_TEST_EXIT", "7", 1);
    EXPECT_EQ(bslUpgrade(), 7);
    EXPECT_EQ(recordedArguments(),
              (Lines{"bslsh", "--device", root() + "/dev/ttymxc1", "--bsl", "--eraseall", "--reset",
                     "--flash", root() + "/vendor/.sensor/sensor.hex"}));
}

TEST_F(BslToolTest, ToolGetsTheSelectedDevice) {
    installRecorder();
    std::string device = rootPath("/board-link");
    selectSerialDevice(device.c_str());
    EXPECT_EQ(bslCommCheck(), 0);
    EXPECT_EQ(recordedArguments(), (Lines{"bslsh", "--device", device, "--checkComm"}));
}

// The daemon keeps SIGPIPE blocked for itself; the tool starts with the
// signal mask the daemon started with.
TEST_F(BslToolTest, ToolStartsWithSigpipeUnblocked) {
    sigset_t saved;
    sigprocmask(SIG_SETMASK, nullptr, &saved);
    blockSigpipe();
    installRecorder();
    int status = bslCommCheck();
    consumePendingSigpipe();
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(recordedBlockedSignals() & (1ull << (SIGPIPE - 1)), 0u);
}

}  // namespace
}  // namespace vantrel::test
