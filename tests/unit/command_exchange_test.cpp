// The command exchange against a scripted board on a real pseudo-terminal.
// The board's answer is queued on the daemon's port before sendCommand runs,
// so the exchange's short (scaled) waits never race the test.
#include "link/command_exchange.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/daemon_state.h"
#include "link/serial_port.h"
#include "tests/unit/board_frames.h"
#include "tests/unit/pseudo_terminal.h"
#include "tests/unit/unit_fixture.h"

namespace vantrel::test {
namespace {

using Lines = std::vector<std::string>;

class CommandExchangeTest : public DaemonTest {
  protected:
    void SetUp() override {
        DaemonTest::SetUp();
        pty_.attachDaemonPort();
    }

    int sendIdentify(bool waitReply = true) {
        command_[0] = 'i';
        return sendCommand(command_, waitReply);
    }

    // Repeats `bytes` `times` times.
    static Bytes repeated(const Bytes& bytes, int times) {
        Bytes all;
        for (int i = 0; i < times; ++i) all.insert(all.end(), bytes.begin(), bytes.end());
        return all;
    }

    int linesStartingWith(const std::string& start) const {
        int count = 0;
        for (const auto& line : logLines()) count += line.rfind(start, 0) == 0;
        return count;
    }

    PseudoTerminal pty_;
    uint8_t command_[6] = {'i', 0, 0, 0, 0, 0};
};

TEST_F(CommandExchangeTest, SilentBoardFails) {
    EXPECT_EQ(sendIdentify(), 0);
    EXPECT_EQ(command_[0], 'i') << "no lead byte was read";
    EXPECT_TRUE(logLines().empty());
}

TEST_F(CommandExchangeTest, SilentBoardVerboseLines) {
    gState.verbose = true;
    EXPECT_EQ(sendIdentify(), 0);
    EXPECT_EQ(logLines(), (Lines{"D/Vantrel: sendPacket 55 69 00 00 00 00 00 69",
                                 "D/Vantrel: Waiting for ACK, ignoring all other packets",
                                 "D/Vantrel: timeout waiting for command reply"}));
}

TEST_F(CommandExchangeTest, ClosedPortFailsToSend) {
    int port = gState.serialFd;
    gState.serialFd = -1;
    EXPECT_EQ(sendIdentify(), 0);
    gState.serialFd = port;
    EXPECT_EQ(logLines(), (Lines{"E/Vantrel: sendCommand: failed to send packet"}));
}

TEST_F(CommandExchangeTest, AckAndVersionReplyIdentifyBoard) {
    pty_.sendToDaemon(joinBytes({ackFrame(), versionFrame(1, 6, 25)}));
    EXPECT_EQ(sendIdentify(), 1);
    EXPECT_STREQ(gState.boardVersion, "1.6.25");
    EXPECT_TRUE(gState.versionReceived);
    EXPECT_EQ(amCalls(),
              (Lines{"broadcast -a com.zyn.vantrel.UPDATE_VERSION --es version 1.6.25"}));
    EXPECT_EQ(queuedBytes(gState.serialFd), 0);
}

TEST_F(CommandExchangeTest, WithoutReplyWaitAckIsEnough) {
    Bytes version = versionFrame(1, 6, 25);
    pty_.sendToDaemon(joinBytes({ackFrame(), version}));
    EXPECT_EQ(sendIdentify(false), 1);
    EXPECT_FALSE(gState.versionReceived);
    EXPECT_EQ(queuedBytes(gState.serialFd), static_cast<int>(version.size()));
}

// Fifty lead bytes are examined while waiting for the ACK; an ACK as the
// fiftieth still counts, one as the fifty-first is left in the stream.
TEST_F(CommandExchangeTest, AckWaitExaminesFiftyLeadBytes) {
    gState.ignoreMotion = false;
    FifoReader proximity(rootPath("/data/pipeProx"));
    Bytes motion = standardFrame({'M', 0, 1, 0, 2, 0});
    Bytes rest = joinBytes({ackFrame(), versionFrame(1, 6, 25)});

    pty_.sendToDaemon(joinBytes({repeated(motion, 50), rest}));
    EXPECT_EQ(sendIdentify(), 0);
    EXPECT_EQ(queuedBytes(gState.serialFd), static_cast<int>(rest.size()));
    EXPECT_TRUE(proximity.values().empty()) << "a dropped motion packet reached the pipe";

    ASSERT_EQ(tcflush(gState.serialFd, TCIFLUSH), 0);
    pty_.sendToDaemon(joinBytes({repeated(motion, 49), rest}));
    EXPECT_EQ(sendIdentify(), 1);
    EXPECT_TRUE(gState.versionReceived);
}

TEST_F(CommandExchangeTest, MissingAckVerboseLine) {
    gState.verbose = true;
    pty_.sendToDaemon(repeated({0x00}, 50));
    EXPECT_EQ(sendIdentify(), 0);
    EXPECT_EQ(linesStartingWith("D/Vantrel: Unknown packet received: start byte is [0x00]"), 50);
    EXPECT_TRUE(logHas("D/Vantrel: sendCommand() - ERROR: didn't receive ack!"));
}

TEST_F(CommandExchangeTest, BadChecksumInAckPhaseUsesOneLeadByte) {
    Bytes badAck = {'U', 'A', 0, 0, 0, 0, 0, 0x00};
    pty_.sendToDaemon(joinBytes({badAck, ackFrame(), versionFrame(2, 0, 1)}));
    EXPECT_EQ(sendIdentify(), 1);
    EXPECT_STREQ(gState.boardVersion, "2.0.1");
    EXPECT_TRUE(logHas("E/Vantrel: readPacket: checksum failure rec[0x00] cal[0x41]"));
}

// Only the 'Z' of an extended packet is consumed; its other bytes are met one
// by one as lead bytes.
TEST_F(CommandExchangeTest, ExtendedPacketInAckPhaseIsScannedByteByByte) {
    pty_.sendToDaemon(joinBytes({extendedFrame({0x07, 0x41}), ackFrame(), versionFrame(1, 6, 25)}));
    EXPECT_EQ(sendIdentify(), 1);
    EXPECT_TRUE(gState.versionReceived);
    Lines expected = {"D/Vantrel: readExtendedPacket unsupported ",
                      "D/Vantrel: Unknown packet received: start byte is [0x00]",
                      "D/Vantrel: Unknown packet received: start byte is [0x02]",
                      "D/Vantrel: Unknown packet received: start byte is [0x07]",
                      "D/Vantrel: Unknown packet received: start byte is [0x41]",
                      "D/Vantrel: Unknown packet received: start byte is [0x48]"};
    Lines lines = logLines();
    ASSERT_GE(lines.size(), expected.size());
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + expected.size()), expected);
}

TEST_F(CommandExchangeTest, ExtendedPacketInReplyPhaseIsScannedByteByByte) {
    pty_.sendToDaemon(joinBytes({ackFrame(), extendedFrame({0x01}), versionFrame(1, 6, 25)}));
    EXPECT_EQ(sendIdentify(), 1);
    EXPECT_TRUE(gState.versionReceived);
    EXPECT_EQ(countLogLines("D/Vantrel: readExtendedPacket unsupported "), 1);
    // Its length bytes 00 01, its payload byte 01 and its checksum 01.
    EXPECT_EQ(countLogLines("D/Vantrel: Unknown packet received: start byte is [0x00]"), 1);
    EXPECT_EQ(countLogLines("D/Vantrel: Unknown packet received: start byte is [0x01]"), 3);
}

TEST_F(CommandExchangeTest, ReplyRejectedByParserStillSucceeds) {
    pty_.sendToDaemon(joinBytes({ackFrame(), standardFrame({'B', 1, 2, 3})}));
    EXPECT_EQ(sendIdentify(), 1);
    EXPECT_EQ(logLines(), (Lines{"E/Vantrel: failed to parseStandardData()"}));
}

TEST_F(CommandExchangeTest, SecondAckIsTakenAsTheReply) {
    Bytes version = versionFrame(1, 6, 25);
    pty_.sendToDaemon(joinBytes({ackFrame(), ackFrame(), version}));
    EXPECT_EQ(sendIdentify(), 1);
    EXPECT_FALSE(gState.versionReceived);
    EXPECT_EQ(queuedBytes(gState.serialFd), static_cast<int>(version.size()));
    EXPECT_TRUE(logLines().empty());
}

TEST_F(CommandExchangeTest, ReplyPhaseExaminesFiftyLeadBytes) {
    Bytes version = versionFrame(1, 6, 25);
    pty_.sendToDaemon(joinBytes({ackFrame(), repeated({'x'}, 50), version}));
    EXPECT_EQ(sendIdentify(), 1);
    EXPECT_FALSE(gState.versionReceived);
    EXPECT_EQ(queuedBytes(gState.serialFd), static_cast<int>(version.size()));

    ASSERT_EQ(tcflush(gState.serialFd, TCIFLUSH), 0);
    pty_.sendToDaemon(joinBytes({ackFrame(), repeated({'x'}, 49), version}));
    EXPECT_EQ(sendIdentify(), 1);
    EXPECT_TRUE(gState.versionReceived);
}

TEST_F(CommandExchangeTest, LastLeadByteLandsInCommandByteZero) {
    uint8_t led[6] = {'D', 1, 2, 3, 4, 5};
    pty_.sendToDaemon(joinBytes({{0x13}, ackFrame(), {0x37}, standardFrame({'A'})}));
    EXPECT_EQ(sendCommand(led, true), 1);
    EXPECT_EQ(Bytes(led, led + 6), (Bytes{'U', 1, 2, 3, 4, 5}));
}

// A board end that sends its ACK and then closes: the reply read meets end
// of file, which counts as a failed read.
TEST_F(CommandExchangeTest, EndOfFileInReplyPhaseFails) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    Bytes ack = ackFrame();
    ASSERT_EQ(write(ends[1], ack.data(), ack.size()), static_cast<ssize_t>(ack.size()));
    shutdown(ends[1], SHUT_WR);
    closeSerial();
    gState.serialFd = ends[0];
    EXPECT_EQ(sendIdentify(), 0);
    EXPECT_EQ(logLines(), (Lines{"D/Vantrel: Error reading microcontroller serial stream"}));
    uint8_t sent[8] = {};
    EXPECT_EQ(read(ends[1], sent, sizeof sent), 8);
    EXPECT_EQ(Bytes(sent, sent + 8), (Bytes{'U', 'i', 0, 0, 0, 0, 0, 'i'}));
    close(ends[1]);
}

}  // namespace
}  // namespace vantrel::test
