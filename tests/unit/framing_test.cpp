// Packet framing on a real pseudo-terminal: reading standard and extended
// packets after their lead byte, and framing commands for the board.
#include "link/framing.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
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

class FramingTest : public DaemonTest {
  protected:
    void SetUp() override {
        DaemonTest::SetUp();
        pty_.attachDaemonPort();
    }

    // Replaces the port by the read end of a pipe holding `bytes` and no writer.
    void withPortThatEndsAfter(const Bytes& bytes) {
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        ASSERT_EQ(write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(ends[1]);
        closeSerial();
        gState.serialFd = ends[0];
    }

    std::string bufferText(int from, int count) const {
        return std::string(reinterpret_cast<const char*>(gState.rxBuffer) + from, count);
    }

    PseudoTerminal pty_;
};

TEST_F(FramingTest, GoodStandardPacketFillsBuffer) {
    gState.rxBuffer[6] = 0x77;
    gState.rxBuffer[7] = 0x88;
    pty_.sendToDaemon(standardBody({'L', 1, 2, 3, 4, 5}));
    EXPECT_EQ(readPacket(), 1);
    EXPECT_EQ(gState.rxLength, 6);
    EXPECT_EQ(bufferText(0, 8), std::string("L\x01\x02\x03\x04\x05\x00\x88", 8));
    EXPECT_TRUE(logLines().empty());
}

TEST_F(FramingTest, ChecksumWrapsModulo256) {
    pty_.sendToDaemon({'M', 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x49});
    EXPECT_EQ(readPacket(), 1);
    EXPECT_EQ(gState.rxBuffer[1], 0xFF);
}

TEST_F(FramingTest, ChecksumMismatchKeepsStreamInStep) {
    gState.rxLength = 6;
    pty_.sendToDaemon(joinBytes({{'M', 0, 1, 0, 2, 0, 0x99}, standardFrame({'A'})}));
    EXPECT_EQ(readPacket(), 0);
    EXPECT_EQ(gState.rxLength, 0);
    EXPECT_EQ(logLines(), (Lines{"E/Vantrel: readPacket: checksum failure rec[0x99] cal[0x50]"}));
    EXPECT_EQ(queuedBytes(gState.serialFd), 8);

    uint8_t lead = 0;
    ASSERT_EQ(readAll(gState.serialFd, &lead, 1), 1);
    EXPECT_EQ(lead, 'U');
    EXPECT_EQ(readPacket(), 1);
    EXPECT_EQ(gState.rxBuffer[0], 'A');
}

TEST_F(FramingTest, VerboseDumpComesBeforeChecksumError) {
    gState.verbose = true;
    gState.rxBuffer[6] = 0xAB;
    gState.rxBuffer[7] = 0xCD;
    pty_.sendToDaemon({'M', 0, 1, 0, 2, 0, 0x01});
    EXPECT_EQ(readPacket(), 0);
    EXPECT_EQ(logLines(), (Lines{"D/Vantrel: readPacket 4D 00 01 00 02 00 AB CD",
                                 "E/Vantrel: readPacket: checksum failure rec[0x01] cal[0x50]"}));
}

// A port that delivers part of a frame and then end of file (a pipe whose
// writer has gone): the bytes that never came must not be used.
TEST_F(FramingTest, EndOfFileInsideStandardPacketFails) {
    gState.rxLength = 6;
    withPortThatEndsAfter({'L', 1, 2});
    EXPECT_EQ(readPacket(), 0);
    EXPECT_EQ(gState.rxLength, 0);
    EXPECT_TRUE(logLines().empty());
}

TEST_F(FramingTest, EndOfFileInsideExtendedPacketFails) {
    withPortThatEndsAfter({0x00, 0x02, 0x01});
    EXPECT_EQ(readExtendedPacket(), 0);
    EXPECT_EQ(gState.rxLength, 0);
    EXPECT_TRUE(logLines().empty());
}

TEST_F(FramingTest, EmptyExtendedPacketIsAccepted) {
    gState.rxBuffer[0] = 0x99;
    gState.rxLength = 5;
    pty_.sendToDaemon({0x00, 0x00, 0x00});
    EXPECT_EQ(readExtendedPacket(), 1);
    EXPECT_EQ(gState.rxLength, 0);
    EXPECT_EQ(gState.rxBuffer[0], 0);
    EXPECT_TRUE(logLines().empty());
}

TEST_F(FramingTest, ExtendedPacketTerminatesItsPayload) {
    memset(gState.rxBuffer, 'x', sizeof gState.rxBuffer);
    pty_.sendToDaemon(extendedBody({0x01, 'h', 'i'}));
    EXPECT_EQ(readExtendedPacket(), 1);
    EXPECT_EQ(gState.rxLength, 3);
    EXPECT_EQ(bufferText(0, 5), std::string("\x01hi\0x", 5));
}

TEST_F(FramingTest, FullLengthExtendedPacketFillsBuffer) {
    std::vector<uint8_t> payload(512);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 13 + 1);
    gState.rxBuffer[512] = 0xEE;
    pty_.sendToDaemon(extendedBody(payload));
    EXPECT_EQ(readExtendedPacket(), 1);
    EXPECT_EQ(gState.rxLength, 512);
    EXPECT_EQ(std::vector<uint8_t>(gState.rxBuffer, gState.rxBuffer + 512), payload);
    EXPECT_EQ(gState.rxBuffer[512], 0);
}

// A length above 512 is read as 512: the byte after the 512th payload byte
// is the checksum and what follows stays in the stream.
TEST_F(FramingTest, OverlongExtendedPacketIsCutAt512) {
    std::vector<uint8_t> payload(512, 0x03);
    std::vector<uint8_t> wire = {0x03, 0x00};
    wire.insert(wire.end(), payload.begin(), payload.end());
    wire.push_back(payloadSum(payload));
    wire.insert(wire.end(), {'Q', 'R'});
    pty_.sendToDaemon(wire);
    EXPECT_EQ(readExtendedPacket(), 1);
    EXPECT_EQ(gState.rxLength, 512);
    EXPECT_EQ(gState.rxBuffer[512], 0);
    EXPECT_EQ(queuedBytes(gState.serialFd), 2);
    uint8_t next = 0;
    ASSERT_EQ(readAll(gState.serialFd, &next, 1), 1);
    EXPECT_EQ(next, 'Q');
}

TEST_F(FramingTest, ExtendedChecksumMismatchLogsDumpAndError) {
    gState.verbose = false;
    gState.rxLength = 9;
    pty_.sendToDaemon({0x00, 0x03, 0x01, 0x41, 0x42, 0x00});
    EXPECT_EQ(readExtendedPacket(), 0);
    EXPECT_EQ(gState.rxLength, 0);
    EXPECT_EQ(logLines(),
              (Lines{"E/Vantrel: readExtendedPacket 01 41 42 00 00 00 00 00",
                     "E/Vantrel: readExtendedPacket: checksum failure: rec[0x00] cal[0x84]"}));
}

TEST_F(FramingTest, SendPacketWorkedExample) {
    gState.verbose = true;
    const uint8_t identify[6] = {'i', 0, 0, 0, 0, 0};
    EXPECT_EQ(sendPacket(identify), 1);
    EXPECT_EQ(pty_.receive(9, 200), (Bytes{0x55, 0x69, 0, 0, 0, 0, 0, 0x69}));
    EXPECT_EQ(logLines(), (Lines{"D/Vantrel: sendPacket 55 69 00 00 00 00 00 69"}));
}

TEST_F(FramingTest, SendPacketChecksumWraps) {
    const uint8_t led[6] = {'D', 0xFF, 0xFF, 0, 0, 1};
    EXPECT_EQ(sendPacket(led), 1);
    EXPECT_EQ(pty_.receive(8), (Bytes{0x55, 0x44, 0xFF, 0xFF, 0, 0, 1, 0x43}));
    EXPECT_TRUE(logLines().empty());
}

TEST_F(FramingTest, SendPacketWithClosedPortWritesNothing) {
    gState.verbose = true;
    int port = gState.serialFd;
    gState.serialFd = -1;
    const uint8_t identify[6] = {'i', 0, 0, 0, 0, 0};
    EXPECT_EQ(sendPacket(identify), 0);
    gState.serialFd = port;
    EXPECT_TRUE(pty_.receive(1, 50).empty());
    EXPECT_TRUE(logLines().empty());
}

TEST_F(FramingTest, SendPacketReportsFailedWrite) {
    writeFile("/read-only", "");
    int port = gState.serialFd;
    gState.serialFd = open(rootPath("/read-only").c_str(), O_RDONLY);
    ASSERT_GE(gState.serialFd, 0);
    const uint8_t identify[6] = {'i', 0, 0, 0, 0, 0};
    EXPECT_EQ(sendPacket(identify), 0);
    close(gState.serialFd);
    gState.serialFd = port;
}

}  // namespace
}  // namespace vantrel::test
