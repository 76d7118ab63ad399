// What the board sends, good and bad, through the wire into the running
// daemon: readings in the pipes, NFC taps as broadcasts, the receive loop's
// lines for a quiet link and for SIGINT, and the command exchange's outcomes.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/process_harness.h"

namespace vantrel::test {
namespace {

using namespace std::chrono_literals;
using simboard::Bytes;

// A daemon in its receive phase with both streams forwarded and a reader on
// each pipe.
class ReceivingDaemon : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(h.start({"-m", "-l", "-e", "1", "-n", "1"}));
        ASSERT_TRUE(h.waitForStdout("* Scan for messages...")) << h.diagnostics();
        proximity = h.openFifo("pipeProx");
        light = h.openFifo("pipeLight");
        ASSERT_TRUE(proximity.isOpen() && light.isOpen());
    }
    void TearDown() override { EXPECT_EQ(h.stop(), 0) << h.diagnostics(); }

    // The last "NFC EVENT: " record's command line.
    std::string lastNfcCommand() {
        std::string command;
        for (const LogRecord& record : h.logRecords()) {
            if (record.message.rfind("NFC EVENT: ", 0) == 0) command = record.message.substr(11);
        }
        return command;
    }

    ProcessHarness h;
    FifoReader proximity;
    FifoReader light;
};

TEST_F(ReceivingDaemon, ReadingsArriveInOrderAsLittleEndianIntegers) {
    h.board().sendMotion(0xFFFF, 0xFFFF);
    h.board().sendLight(0x0102, 0x0304);
    h.board().sendMotion(1, 2);
    EXPECT_EQ(proximity.readBytes(4), (std::vector<uint8_t>{0xFE, 0xFF, 0x01, 0x00}));
    EXPECT_EQ(light.readBytes(4), (std::vector<uint8_t>{0x02, 0x01, 0x00, 0x00}));
    EXPECT_EQ(proximity.readValue(), 3) << h.diagnostics();
}

TEST_F(ReceivingDaemon, GarbageAndBadChecksumsCostOnlyTheirOwnBytes) {
    h.board().sendGarbage(100);
    h.board().sendMotion(10, 0);
    h.board().sendBadChecksum(simboard::motion(20, 0));
    h.board().sendMotion(30, 0);
    EXPECT_EQ(proximity.readValue(), 10) << h.diagnostics();
    EXPECT_EQ(proximity.readValue(), 30) << h.diagnostics();
    EXPECT_TRUE(h.waitForLog("readPacket: checksum failure"));
    ASSERT_TRUE(waitUntil([&] {
        std::string err = h.stderrText();
        return static_cast<size_t>(std::count(err.begin(), err.end(), '\n')) >= 100;
    }));
    EXPECT_FALSE(h.logContains("Unknown lead in byte"));  // standard error only
}

TEST_F(ReceivingDaemon, UnknownLettersAndCommandsAreReportedAndSkipped) {
    h.board().send(simboard::encodeStandard('B', 1, 2, 3, 4, 5));
    h.board().send(simboard::encodeExtended(Bytes{}));
    h.board().send(simboard::encodeExtended(Bytes{3, 1, 2}));
    h.board().sendMotion(7, 0);
    EXPECT_EQ(proximity.readValue(), 7) << h.diagnostics();
    EXPECT_EQ(h.logCount("readData()::failed to parseStandardData()"), 1u);
    EXPECT_EQ(h.logCount("readData()::failed to parseExtendedData()"), 2u);
}

TEST_F(ReceivingDaemon, ExtendedFrameLongerThanTheBufferIsCutAndTheStreamRecovers) {
    Bytes payload(0x300, 0x41);  // 768 bytes claimed; the daemon takes 512
    payload[0] = 1;
    h.board().send(simboard::encodeExtended(payload));
    h.board().sendMotion(0x0100, 0x0023);
    EXPECT_EQ(proximity.readValue(), 0x0123) << h.diagnostics();
    // Byte 513 was taken as the checksum; the rest were skipped as lead bytes.
    EXPECT_TRUE(h.waitForLog("readExtendedPacket: checksum failure: rec[0x41]"));
    EXPECT_TRUE(h.waitForStderr("Unknown lead in byte [0x41]"));
}

TEST_F(ReceivingDaemon, FrameCutShortIsCompletedByTheNextBytesThenTheStreamResyncs) {
    h.board().sendTruncated(simboard::motion(5, 5), 4);
    for (int i = 0; i < 4; ++i) h.board().sendMotion(9, 0);
    // The cut frame swallows the head of the next one; later frames are whole.
    std::vector<int32_t> values = proximity.drainValues(300ms);
    ASSERT_FALSE(values.empty()) << h.diagnostics();
    EXPECT_EQ(values.back(), 9);
    EXPECT_LE(values.size(), 4u);
}

TEST_F(ReceivingDaemon, BoardLogTextGoesToTheLogAsText) {
    h.board().sendBoardLog("temp=21C");
    h.board().send(simboard::encodeExtended(Bytes{1, 'a', 0, 'b'}));
    h.board().send(simboard::encodeExtended(Bytes{1}));
    EXPECT_TRUE(h.waitForLog("TavrixLog: [temp=21C]"));
    EXPECT_TRUE(h.waitForLog("TavrixLog: [a]"));
    EXPECT_TRUE(h.waitForLog("TavrixLog: []"));
}

TEST_F(ReceivingDaemon, NfcTapsBecomeBroadcastsWithTheirDataInHex) {
    h.board().sendNfc(4, 1, Bytes{0x04, 0xA1, 0x5C, 0x00});
    ASSERT_TRUE(h.waitForLog("NFC EVENT: "));
    EXPECT_EQ(lastNfcCommand(),
              "am broadcast -a com.zyn.touchpanel.nfc.NFCEVENT --ei tagType 4 --ei tagDataType 1 "
              "--es tagData 04A15C00");
    EXPECT_TRUE(h.waitForAm("--es tagData 04A15C00"));

    h.board().sendNfc(2, 0, Bytes{});
    ASSERT_TRUE(h.waitForLog("NFC EVENT: ", kDefaultWait, 2));
    EXPECT_EQ(lastNfcCommand(),
              "am broadcast -a com.zyn.touchpanel.nfc.NFCEVENT --ei tagType 2 --ei tagDataType 0 "
              "--es tagData ");
    EXPECT_TRUE(h.waitForAm("--ei tagType 2"));
}

TEST_F(ReceivingDaemon, LongNfcDataIsCutAtTheEndOfTheCommandBuffer) {
    Bytes data(255);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    h.board().sendNfc(200, 200, data);
    ASSERT_TRUE(h.waitForLog("NFC EVENT: ")) << h.diagnostics();
    std::string command = lastNfcCommand();
    EXPECT_EQ(command.size(), 511u);
    std::string hex = command.substr(command.find("--es tagData ") + 13);
    EXPECT_EQ(hex.size(), 412u);  // 206 bytes
    EXPECT_EQ(hex.substr(hex.size() - 4), "CCCD");
    EXPECT_TRUE(h.waitForAm(hex));
}

TEST_F(ReceivingDaemon, VersionMessageInTheStreamIsBroadcastAgain) {
    h.board().send(simboard::version(2, 0, 1, 9));
    EXPECT_TRUE(h.waitForAm("--es version 2.0.1"));
    EXPECT_TRUE(h.waitForLog("sensor_comm_error=9"));
    // The published property stays what identification found.
    EXPECT_EQ(h.property("sys.com.zyn.sensor.version"), "1.6.25");
}

// ---- the receive loop on a quiet link

TEST(ReceiveLoopProcess, QuietLinkTimesOutOncePerPeriodAndSigintEndsTheWait) {
    ProcessHarness h;
    h.setTimeScale(0.01);  // a 100 ms wait for each lead byte
    ASSERT_TRUE(h.start({"-l"}));
    ASSERT_TRUE(h.waitForStdout("* Scan for messages...")) << h.diagnostics();
    ASSERT_TRUE(h.waitForLog("readData()::select timedout!", kDefaultWait, 3));
    EXPECT_EQ(h.stop(), 0) << h.diagnostics();
    EXPECT_TRUE(h.logContains("readData()::select failed : -1 (Interrupted system call)"));
    EXPECT_EQ(h.logCount("Signal <2> Caught!"), 1u);
}

// ---- the command exchange at start-up

TEST(CommandExchangeProcess, ExtendedFrameDuringTheExchangeIsSkippedByteByByte) {
    ProcessHarness h;
    h.board().setBytesBeforeAck(simboard::boardLog("hi"));  // Z 00 03 01 68 69 D2
    ASSERT_TRUE(h.start({"-l", "-e", "1", "-n", "1"}));
    ASSERT_TRUE(h.waitForStdout("* Scan for messages...")) << h.diagnostics();
    EXPECT_EQ(h.stderrText().find("command failed"), std::string::npos);
    EXPECT_EQ(h.logCount("readExtendedPacket unsupported"), 3u);  // once per command
    EXPECT_TRUE(h.logContains("Unknown packet received: start byte is [0x68]"));
    EXPECT_FALSE(h.logContains("TavrixLog"));  // never dispatched
    EXPECT_EQ(h.stop(), 0);
}

TEST(CommandExchangeProcess, FiftyBytesWithoutAckFailTheCommand) {
    ProcessHarness h;
    Bytes noAck;
    for (int i = 0; i < 50; ++i) noAck = simboard::concat(noAck, simboard::motion(1, 1));
    h.board().setResponse('D', noAck);
    ASSERT_TRUE(h.start({"-v", "-m", "-e", "1", "-n", "1"}));
    ASSERT_TRUE(h.waitForStdout("* Scan for messages...")) << h.diagnostics();
    EXPECT_TRUE(h.waitForStderr("led command failed"));
    EXPECT_TRUE(h.logContains("sendCommand() - ERROR: didn't receive ack!"));
    EXPECT_EQ(h.board().commandCount('N'), 1u);
    // The motion frames of the failed exchange were dropped, not forwarded.
    FifoReader proximity = h.openFifo("pipeProx");
    h.board().sendMotion(5, 6);
    EXPECT_EQ(proximity.readValue(), 11);
    EXPECT_EQ(h.stop(), 1) << h.diagnostics();
}

TEST(CommandExchangeProcess, RejectedReplyStillCountsAsSuccess) {
    ProcessHarness h;
    h.board().setResponse('N', simboard::concat(simboard::ack(), simboard::encodeStandard('B')));
    ASSERT_TRUE(h.start({"-e", "0", "-n", "1"}));
    EXPECT_EQ(h.waitForExit(), 0) << h.diagnostics();
    EXPECT_TRUE(h.logContains("failed to parseStandardData()"));
    EXPECT_EQ(h.stderrText(), "");
}

TEST(CommandExchangeProcess, SilenceAfterTheCommandFailsItAfterTheAckWindow) {
    ProcessHarness h;
    h.board().setResponse('N', Bytes{});
    ASSERT_TRUE(h.start({"-v", "-e", "1", "-n", "1"}));
    EXPECT_EQ(h.waitForExit(), 1) << h.diagnostics();
    EXPECT_TRUE(h.logContains("timeout waiting for command reply"));
    EXPECT_EQ(h.stderrText(), "nfc command failed\n");
}

}  // namespace
}  // namespace vantrel::test
