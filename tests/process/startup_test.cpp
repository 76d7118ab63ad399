// The daemon as a process against the simulated board: start-up, readings,
// NFC broadcasts and the end on SIGINT.
#include <gtest/gtest.h>

#include "support/process_harness.h"

namespace vantrel::test {
namespace {

using namespace std::chrono_literals;
using simboard::Bytes;

constexpr char kBannerRule[] = "*****************************************\n";

TEST(DaemonProcess, FullStartupForwardsReadingsAndTagsUntilSigint) {
    ProcessHarness h;
    ASSERT_TRUE(h.start({"-m", "-l", "-e", "1", "-n", "0"}));
    ASSERT_TRUE(h.waitForStdout(kBannerRule + std::string("* Scan for messages...\n")))
        << h.diagnostics();

    // Identification, then the LED and NFC commands with their state bytes.
    auto led = h.board().waitForCommand('D', 1s);
    auto nfcCommand = h.board().waitForCommand('N', 1s);
    ASSERT_TRUE(led && nfcCommand) << h.diagnostics();
    EXPECT_EQ(h.board().commandCount('i'), 1u);
    EXPECT_EQ(led->argument(), 1);
    EXPECT_EQ(nfcCommand->argument(), 0);
    EXPECT_EQ(h.property("sys.com.zyn.sensor.version"), "1.6.25");
    EXPECT_TRUE(h.waitForAm("am broadcast -a com.zyn.vantrel.UPDATE_VERSION --es version 1.6.25"));
    EXPECT_NE(h.stdoutText().find("Setting LED on\nSetting NFC off\n" + std::string(kBannerRule) +
                                  "* Scan for messages...\n"
                                  "*   Motion Sensor Messages  [DISPLAY]\n"
                                  "*   Light Sensor Messages   [DISPLAY]\n" +
                                  kBannerRule),
              std::string::npos)
        << h.stdoutText();

    FifoReader proximity = h.openFifo("pipeProx");
    FifoReader light = h.openFifo("pipeLight");
    ASSERT_TRUE(proximity.isOpen() && light.isOpen());

    h.board().sendMotion(0x0102, 0x0304);
    EXPECT_EQ(proximity.readBytes(4), (std::vector<uint8_t>{0x06, 0x04, 0x00, 0x00}))
        << h.diagnostics();
    h.board().sendLight(258, 772);
    EXPECT_EQ(light.readValue(), 258) << h.diagnostics();

    h.board().sendNfc(4, 1, Bytes{0x04, 0xA1, 0x5C, 0x00});
    EXPECT_TRUE(
        h.waitForAm("am broadcast -a com.zyn.touchpanel.nfc.NFCEVENT --ei tagType 4 "
                    "--ei tagDataType 1 --es tagData 04A15C00"))
        << h.diagnostics();

    EXPECT_EQ(h.stop(), 0) << h.diagnostics();
    EXPECT_EQ(h.logCount("Signal <2> Caught!"), 1u);
}

TEST(DaemonProcess, BoardLogAndBrokenFramesDoNotStopTheReadings) {
    ProcessHarness h;
    ASSERT_TRUE(h.start({"-m"}));
    ASSERT_TRUE(h.waitForStdout("* Scan for messages...")) << h.diagnostics();
    FifoReader proximity = h.openFifo("pipeProx");
    ASSERT_TRUE(proximity.isOpen());

    h.board().sendBoardLog("hello from the board");
    h.board().sendGarbage(3);
    h.board().sendBadChecksum(simboard::motion(1, 1));
    h.board().sendMotion(100, 23);

    EXPECT_EQ(proximity.readValue(), 123) << h.diagnostics();
    EXPECT_TRUE(h.waitForLog("TavrixLog: [hello from the board]"));
    EXPECT_TRUE(h.waitForLog("readPacket: checksum failure rec[0x50] cal[0x4F]"));
    EXPECT_TRUE(h.waitForStderr("Unknown lead in byte"));
    EXPECT_EQ(h.stop(), 0) << h.diagnostics();
}

TEST(DaemonProcess, GarbageBeforeEveryAckIsSkippedByTheCommandExchange) {
    ProcessHarness h;
    h.board().setBytesBeforeAck(simboard::garbage(3));
    ASSERT_TRUE(h.start({"-l", "-e", "0", "-n", "0"}));
    ASSERT_TRUE(h.waitForStdout("* Scan for messages...")) << h.diagnostics();
    EXPECT_EQ(h.stderrText().find("command failed"), std::string::npos) << h.stderrText();
    EXPECT_EQ(h.logCount("Unknown packet received: start byte is"), 9u);  // 3 commands x 3 bytes
    EXPECT_EQ(h.stop(), 0) << h.diagnostics();
}

TEST(DaemonProcess, LedCommandWithoutAnswerMakesTheExitStatusOne) {
    ProcessHarness h;
    h.board().setResponse('D', Bytes{});  // the board ignores the LED command
    ASSERT_TRUE(h.start({"-l", "-e", "1", "-n", "1"}));
    ASSERT_TRUE(h.waitForStdout("* Scan for messages...")) << h.diagnostics();
    EXPECT_NE(h.stderrText().find("led command failed"), std::string::npos);
    auto nfcCommand = h.board().waitForCommand('N', 1s);
    ASSERT_TRUE(nfcCommand.has_value());
    EXPECT_EQ(nfcCommand->argument(), 1);
    EXPECT_EQ(h.stop(), 1) << h.diagnostics();
}

}  // namespace
}  // namespace vantrel::test
