// Firmware management as a process: a wrong version is flashed through the
// bslsh stand-in, a board stuck in its loader is found and flashed, and a
// board that answers nothing ends in a communication error.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "support/process_harness.h"

namespace vantrel::test {
namespace {

using namespace std::chrono_literals;
using simboard::BoardMode;
using simboard::FirmwareVersion;

// Whether process `pid` has a descriptor open on `device`.
bool holdsOpen(pid_t pid, const std::string& device) {
    std::string directory = "/proc/" + std::to_string(pid) + "/fd";
    DIR* descriptors = opendir(directory.c_str());
    if (descriptors == nullptr) return false;
    bool found = false;
    while (dirent* entry = readdir(descriptors)) {
        char target[512];
        std::string link = directory + "/" + entry->d_name;
        ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
        if (length > 0 && std::string(target, static_cast<size_t>(length)) == device) found = true;
    }
    closedir(descriptors);
    return found;
}

std::string flashCall(const ProcessHarness& h) {
    return "bslsh --device " + h.devicePath() + " --bsl --eraseall --reset --flash " +
           h.path("vendor/.sensor/sensor.hex");
}

TEST(FirmwareUpgradeProcess, OlderBoardIsFlashedAndTheNextStartRunsOnIt) {
    ProcessHarness h(FirmwareVersion{1, 6, 24});
    h.writeFirmwareImage("1.6.25");

    ASSERT_TRUE(h.start({"-m", "-e", "0", "-n", "0"}));
    EXPECT_EQ(h.waitForExit(), 0) << h.diagnostics();
    EXPECT_TRUE(h.logContains("Sensor version [1.6.24] != Required version [1.6.25]. Do upgrade."));
    EXPECT_TRUE(h.logContains("Upgrade Successfull, restart daemon."));
    EXPECT_EQ(h.property("sys.com.zyn.sensor.version"), "1.6.24");
    EXPECT_EQ(h.bslshCalls(), std::vector<std::string>{flashCall(h)});
    EXPECT_EQ(h.board().version(), (FirmwareVersion{1, 6, 25}));
    EXPECT_EQ(h.board().mode(), BoardMode::Firmware);
    EXPECT_EQ(h.board().commandCount('D'), 0u);

    ASSERT_TRUE(h.start({"-m", "-e", "0", "-n", "0"}));
    ASSERT_TRUE(h.waitForStdout("* Scan for messages...")) << h.diagnostics();
    EXPECT_TRUE(
        h.logContains("Sensor version and Required version are the same. Skipping upgrade."));
    EXPECT_EQ(h.property("sys.com.zyn.sensor.version"), "1.6.25");
    EXPECT_EQ(h.bslshCalls().size(), 1u);
    EXPECT_EQ(h.stop(), 0) << h.diagnostics();
}

TEST(FirmwareUpgradeProcess, BoardInItsLoaderIsFoundAfterTenAttemptsAndFlashed) {
    ProcessHarness h(FirmwareVersion{1, 6, 20});
    h.board().setMode(BoardMode::BootstrapLoader);
    h.writeFirmwareImage("1.6.25");
    h.setTimeScale(0.01);

    ASSERT_TRUE(h.start({"-m"}));
    EXPECT_EQ(h.waitForExit(20s), 0) << h.diagnostics();
    EXPECT_EQ(h.logCount("id query command attempt"), 10u);
    EXPECT_TRUE(h.logContains("id query command attempt 10 failed"));
    EXPECT_TRUE(h.logContains("Found BSL, doing upgrade."));
    EXPECT_EQ(h.board().commandCount('i'), 10u);
    EXPECT_EQ(h.bslshCalls(),
              (std::vector<std::string>{"bslsh --device " + h.devicePath() + " --checkComm",
                                        flashCall(h)}));
    EXPECT_EQ(h.board().version(), (FirmwareVersion{1, 6, 25}));
    EXPECT_EQ(h.board().mode(), BoardMode::Firmware);
    // The reset line was pulsed: 1, then 0, through one stream (a plain file keeps both).
    EXPECT_EQ(h.gpioValue(), "10");
    EXPECT_EQ(h.property("sys.com.zyn.sensor.version"), "");
}

TEST(FirmwareUpgradeProcess, SilentBoardWithoutLoaderEndsInCommunicationError) {
    ProcessHarness h;
    h.board().setMode(BoardMode::Silent);
    h.setTimeScale(0.01);

    ASSERT_TRUE(h.start({"-m", "-e", "1"}));
    EXPECT_EQ(h.waitForExit(20s), 0) << h.diagnostics();
    EXPECT_TRUE(h.logContains("Didn't find BSL, skipping upgrade."));
    EXPECT_TRUE(h.logContains("Communication Error!"));
    EXPECT_EQ(h.bslshCalls().size(), 1u);
    EXPECT_EQ(h.board().commandCount('D'), 0u);
    EXPECT_EQ(h.board().mode(), BoardMode::Silent);
}

TEST(FirmwareUpgradeProcess, AcksWithoutVersionUseTenAttemptsWithoutResets) {
    ProcessHarness h;
    h.board().setAckWithoutVersion(true);
    h.setTimeScale(0.01);

    ASSERT_TRUE(h.start({"-m"}));
    EXPECT_EQ(h.waitForExit(20s), 0) << h.diagnostics();
    EXPECT_EQ(h.board().commandCount('i'), 10u);
    EXPECT_FALSE(h.logContains("id query command attempt"));
    EXPECT_TRUE(h.logContains("Can't communicate with sensor fw, so trying BSL.."));
    EXPECT_TRUE(h.logContains("Didn't find BSL, skipping upgrade."));
    EXPECT_EQ(h.gpioValue(), "0");  // never pulsed
    EXPECT_EQ(h.board().mode(), BoardMode::Firmware);
}

TEST(FirmwareUpgradeProcess, ImageWithoutVersionFailsTheUpgradeAndLeavesTheBoardAlone) {
    ProcessHarness h(FirmwareVersion{1, 6, 24});
    h.writeFirmwareImageText(":020000040000FA\n:00000001FF\n");

    ASSERT_TRUE(h.start({"-m"}));
    EXPECT_EQ(h.waitForExit(), 0) << h.diagnostics();
    EXPECT_TRUE(h.logContains("bspUpgrade ret = 3"));
    EXPECT_TRUE(h.logContains("Upgrade Failed!"));
    EXPECT_TRUE(h.logContains("Communication Error!"));
    EXPECT_EQ(h.board().version(), (FirmwareVersion{1, 6, 24}));
    EXPECT_EQ(h.board().mode(), BoardMode::Firmware);
    EXPECT_TRUE(h.board().bslEvents().empty());
}

TEST(FirmwareUpgradeProcess, NewerBoardIsFlashedToo) {
    ProcessHarness h(FirmwareVersion{1, 6, 26});
    h.writeFirmwareImage("1.6.25");
    ASSERT_TRUE(h.start({"-m", "-e", "1", "-n", "1"}));
    EXPECT_EQ(h.waitForExit(), 0) << h.diagnostics();
    EXPECT_TRUE(h.logContains("Sensor version [1.6.26] != Required version [1.6.25]. Do upgrade."));
    EXPECT_EQ(h.board().version(), (FirmwareVersion{1, 6, 25}));
    EXPECT_EQ(h.board().commandCount('D') + h.board().commandCount('N'), 0u);
    EXPECT_EQ(h.daemonStdoutText(), "");
}

TEST(FirmwareUpgradeProcess, FailedFlashInDaemonModeReopensThePortAndEndsWithOne) {
    ProcessHarness h(FirmwareVersion{1, 6, 24});
    h.writeFirmwareImageText("no version in here\n");
    h.setTimeScale(0.05);  // the 60 s pause takes 3 s: time to look at the port
    ASSERT_TRUE(h.start({"-d", "-m"}));
    ASSERT_TRUE(h.waitForLog("Sleeping 60 seconds before restart...")) << h.diagnostics();
    EXPECT_TRUE(holdsOpen(h.pid(), h.board().slavePath()));
    EXPECT_EQ(h.waitForExit(), 1) << h.diagnostics();
    std::string log = h.logText();
    size_t failed = log.find("Upgrade Failed!");
    size_t error = log.find("Communication Error!");
    size_t sleeping = log.find("Sleeping 60 seconds before restart...");
    ASSERT_NE(failed, std::string::npos) << log;
    EXPECT_LT(failed, error);
    EXPECT_LT(error, sleeping);
    EXPECT_EQ(h.board().commandCount('D'), 0u);
}

TEST(FirmwareUpgradeProcess, DevelopmentImageKeepsAnOldBoardAsItIs) {
    ProcessHarness h(FirmwareVersion{1, 6, 24});
    h.writeFirmwareImageText("development build\nanything\n");
    ASSERT_TRUE(h.start({"-m", "-e", "1", "-n", "0"}));
    ASSERT_TRUE(h.waitForStdout("* Scan for messages...")) << h.diagnostics();
    EXPECT_TRUE(h.logContains("This is a development file. No upgrade."));
    EXPECT_FALSE(h.logContains("Do upgrade."));
    EXPECT_TRUE(h.bslshCalls().empty());
    EXPECT_EQ(h.property("sys.com.zyn.sensor.version"), "1.6.24");
    EXPECT_EQ(h.board().waitForCommand('D', 1s)->argument(), 1);
    EXPECT_EQ(h.stop(), 0);
}

TEST(FirmwareUpgradeProcess, DevelopmentImageWithSilentBoardSkipsTheLoaderCheck) {
    ProcessHarness h;
    h.board().setMode(BoardMode::Silent);
    h.writeFirmwareImageText("development build");
    h.setTimeScale(0.005);
    ASSERT_TRUE(h.start({"-m"}));
    EXPECT_EQ(h.waitForExit(20s), 0) << h.diagnostics();
    EXPECT_EQ(h.logCount("id query command attempt"), 10u);
    EXPECT_TRUE(h.logContains("This is a development file. No upgrade."));
    EXPECT_TRUE(h.logContains("Communication Error!"));
    EXPECT_FALSE(h.logContains("trying BSL"));
    EXPECT_TRUE(h.bslshCalls().empty());
    EXPECT_EQ(h.property("sys.com.zyn.sensor.version"), "");
}

TEST(FirmwareUpgradeProcess, MissingResetLineIsReportedAndTheAttemptsGoOn) {
    ProcessHarness h;
    h.board().setMode(BoardMode::Silent);
    // As on a panel whose line was never exported: no gpio101 folder at all.
    ASSERT_EQ(std::remove(h.path("sys/class/gpio/gpio101/value").c_str()), 0);
    ASSERT_EQ(std::remove(h.path("sys/class/gpio/gpio101").c_str()), 0);
    h.setTimeScale(0.005);
    ASSERT_TRUE(h.start({"-m"}));
    EXPECT_EQ(h.waitForExit(20s), 0) << h.diagnostics();
    EXPECT_EQ(
        h.logCount("resetSensorBoard: can not open file " + h.path("sys/class/gpio/gpio101/value")),
        10u);
    for (int attempt = 1; attempt <= 10; ++attempt) {
        EXPECT_TRUE(
            h.logContains("id query command attempt " + std::to_string(attempt) + " failed"));
    }
    EXPECT_EQ(h.board().commandCount('i'), 10u);
}

}  // namespace
}  // namespace vantrel::test
