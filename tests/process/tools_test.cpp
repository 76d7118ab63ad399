// The tooling under the process tests: frame builders, the bslsh stand-in's
// loader protocol against the simulated board, and the am stand-in.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include "support/process_harness.h"

namespace vantrel::test {
namespace {

using namespace std::chrono_literals;
using simboard::BoardMode;
using simboard::Bytes;
using simboard::FirmwareVersion;

struct ShellResult {
    int status = -1;
    std::string output;  // standard output and standard error
};

// Runs `command` through /bin/sh with the stand-ins first in PATH.
ShellResult runShell(const std::string& command) {
    std::string line =
        "PATH='" + ProcessHarness::standInDirectory() + "':\"$PATH\"; " + command + " 2>&1";
    ShellResult result;
    FILE* pipe = popen(line.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[256];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, got);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

TEST(FrameBuilders, FramesCarryTheSumOfTheirPayload) {
    EXPECT_EQ(simboard::motion(0x0102, 0x0304),
              (Bytes{'U', 'M', 0x01, 0x02, 0x03, 0x04, 0x00, 0x57}));
    EXPECT_EQ(simboard::version(1, 6, 25, 3), (Bytes{'U', 'I', 1, 6, 25, 0, 3, 0x6C}));
    EXPECT_EQ(simboard::nfc(4, 1, Bytes{0xA1, 0x5C}),
              (Bytes{'Z', 0x00, 0x06, 7, 4, 1, 2, 0xA1, 0x5C, 0x0B}));
    EXPECT_EQ(simboard::boardLog(""), (Bytes{'Z', 0x00, 0x01, 1, 1}));
    EXPECT_EQ(simboard::encodeStandard('i'), (Bytes{0x55, 0x69, 0, 0, 0, 0, 0, 0x69}));
    for (uint8_t byte : simboard::garbage(200)) {
        EXPECT_TRUE(byte != 'U' && byte != 'Z');
    }
}

TEST(BslshStandIn, CheckCommFindsOnlyABoardInItsLoaderAndMovesNothing) {
    ProcessHarness h;
    std::string check = "bslsh --device " + h.devicePath() + " --checkComm";

    EXPECT_EQ(runShell(check).status, 1);
    EXPECT_EQ(h.board().mode(), BoardMode::Firmware);
    EXPECT_TRUE(h.board().bslEvents().empty());

    h.board().setMode(BoardMode::BootstrapLoader);
    ShellResult found = runShell(check);
    EXPECT_EQ(found.status, 0) << found.output;
    EXPECT_EQ(h.board().bslEvents(), std::vector<std::string>{"sync"});
    EXPECT_EQ(h.board().mode(), BoardMode::BootstrapLoader);
}

TEST(BslshStandIn, FlashWritesTheImageVersionAndRestartsTheFirmware) {
    ProcessHarness h(FirmwareVersion{1, 6, 24});
    h.board().startMotionStream(200, 1, 2, true);  // firmware chatter on the line
    h.writeFirmwareImageText("\xEF\xBB\xBF:020000040000FA\r\n  ;  version   1.7.3 \r\n");
    ShellResult flashed = runShell(
        "VANTREL_BSLSH_ARGV_LOG='" + h.path("argv.log") + "' bslsh --device " + h.devicePath() +
        " --bsl --eraseall --reset --flash " + h.path("vendor/.sensor/sensor.hex"));
    EXPECT_EQ(flashed.status, 0) << flashed.output;
    EXPECT_EQ(h.board().version(), (FirmwareVersion{1, 7, 3}));
    EXPECT_EQ(h.board().mode(), BoardMode::Firmware);
    EXPECT_EQ(h.board().bslEvents(),
              (std::vector<std::string>{"entry", "sync", "erase", "flash 1.7.3", "reset"}));
    EXPECT_EQ(h.readFile("argv.log"), "bslsh --device " + h.devicePath() +
                                          " --bsl --eraseall --reset --flash " +
                                          h.path("vendor/.sensor/sensor.hex") + "\n");
}

TEST(BslshStandIn, FailsBoundedOnASilentBoardAnImageWithoutVersionOrAnyOtherCall) {
    ProcessHarness h;
    h.board().setMode(BoardMode::Silent);
    h.writeFirmwareImage("1.6.25");
    std::string flash = "bslsh --device " + h.devicePath() + " --bsl --eraseall --reset --flash ";

    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(runShell(flash + h.path("vendor/.sensor/sensor.hex")).status, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);

    h.board().setMode(BoardMode::Firmware);
    h.writeFirmwareImageText("development build\n");
    EXPECT_EQ(runShell(flash + h.path("vendor/.sensor/sensor.hex")).status, 3);
    EXPECT_EQ(runShell(flash + h.path("missing.hex")).status, 3);
    EXPECT_EQ(runShell("bslsh --device " + h.path("dev/none") + " --checkComm").status, 4);
    EXPECT_TRUE(h.board().bslEvents().empty());

    ShellResult usage = runShell("bslsh --checkComm --device " + h.devicePath());
    EXPECT_EQ(usage.status, 2);
    EXPECT_NE(usage.output.find("usage: bslsh"), std::string::npos);
}

TEST(AmStandIn, PrintsAndLogsWhatTheShellHandsIt) {
    ProcessHarness h;
    ShellResult am = runShell("VANTREL_AM_LOG='" + h.path("am.log") +
                              "' sh -c 'am broadcast -a com.zyn.vantrel.UPDATE_VERSION --es "
                              "version 1.6.25'");
    EXPECT_EQ(am.status, 0);
    EXPECT_EQ(am.output, "am: broadcast -a com.zyn.vantrel.UPDATE_VERSION --es version 1.6.25\n");
    EXPECT_EQ(h.amLines(),
              std::vector<std::string>{
                  "am broadcast -a com.zyn.vantrel.UPDATE_VERSION --es version 1.6.25"});
}

}  // namespace
}  // namespace vantrel::test
