// The framing and the command exchange on the in-memory link: each row gives
// the bytes the board sends and what the daemon must make of them (result,
// receive buffer, bytes left on the link, the frame it sent, its waits for a
// lead byte and their time limits, log records).
#include <cstring>
#include <string>
#include <vector>

#include "common/daemon_state.h"
#include "link/command_exchange.h"
#include "link/framing.h"
#include "link/serial_port.h"
#include "testbench/memory_link/memory_link.h"
#include "tests/unit/unit_fixture.h"

namespace vantrel::test {
namespace {

Bytes times(const Bytes& bytes, int count) {
    Bytes all;
    for (int i = 0; i < count; ++i) all = all + bytes;
    return all;
}

const Bytes kAck = standard({'A'});
const Bytes kVersion = standard({'I', 1, 6, 25, 0, 0});
const Bytes kMotion = standard({'M', 0, 1, 0, 2});

class LinkTest : public DaemonTest {
  protected:
    void SetUp() override {
        DaemonTest::SetUp();
        unsetenv("VANTREL_TIME_SCALE");  // the limits as the daemon states them
    }

    // A fresh state on the link serving `bytes` (which must outlive their
    // use); rxBuffer holds 0xEE and rxLength 6 from an earlier packet.
    void serve(const Bytes& bytes, bool verbose) {
        resetDaemonState();
        gState.serialFd = memlink::kLinkFd;
        gState.verbose = verbose;
        memset(gState.rxBuffer, 0xEE, sizeof gState.rxBuffer);
        gState.rxLength = 6;
        clearLog();
        memlink::serve(bytes.data(), bytes.size());
    }
};

struct FrameRow {
    const char* name;
    Bytes wire;  // a lead byte and what follows it
    int result;
    Bytes buffer;  // rxBuffer from byte 0 when accepted: the payload and its zero
    size_t left;   // bytes the reader leaves on the link
    Lines log;
    bool verbose = false;
};

// The lead byte is taken off the link first, and picks the reader.
TEST_F(LinkTest, FrameReaders) {
    const Bytes full = sequence(512, 1, 13);
    // clang-format off
    const FrameRow rows[] = {
        {"standard packet", standard({'L', 1, 2, 3, 4, 5}) + Bytes{'U'}, 1,
         {'L', 1, 2, 3, 4, 5, 0}, 1, {}},
        {"standard checksum wraps", {'U', 'M', 0xFF, 0xFF, 0xFF, 0xFF, 0, 0x49}, 1,
         {'M', 0xFF, 0xFF, 0xFF, 0xFF, 0, 0}, 0, {}},
        {"standard checksum mismatch", Bytes{'U', 'M', 0, 1, 0, 2, 0, 0x99} + kAck, 0, {}, 8,
         {"E/Vantrel: readPacket: checksum failure rec[0x99] cal[0x50]"}},
        {"standard mismatch, verbose dump first", {'U', 'M', 0, 1, 0, 2, 0, 0x01}, 0, {}, 0,
         {"D/Vantrel: readPacket 4D 00 01 00 02 00 EE EE",
          "E/Vantrel: readPacket: checksum failure rec[0x01] cal[0x50]"}, true},
        {"end of file inside a standard packet", {'U', 'L', 1, 2}, 0, {}, 0, {}},
        {"end of file before the checksum", {'U', 'L', 1, 2, 3, 4, 5}, 0, {}, 0, {}},
        {"extended packet", extended({1, 'h', 'i'}), 1, {1, 'h', 'i', 0}, 0, {}},
        {"empty extended packet", {'Z', 0, 0, 0}, 1, {0}, 0, {}},
        {"extended length is high byte first", extended(sequence(258, 1, 13)), 1,
         sequence(258, 1, 13) + Bytes{0}, 0, {}},
        {"extended packet of 512 bytes", extended(full), 1, full + Bytes{0}, 0, {}},
        {"extended length above 512 is cut at 512",
         Bytes{'Z', 3, 0} + full + Bytes{sum(full), 'Q', 'R'}, 1, full + Bytes{0}, 2, {}},
        {"extended checksum mismatch", {'Z', 0, 3, 1, 0x41, 0x42, 0}, 0, {}, 0,
         {"E/Vantrel: readExtendedPacket 01 41 42 EE EE EE EE EE",
          "E/Vantrel: readExtendedPacket: checksum failure: rec[0x00] cal[0x84]"}},
        {"end of file inside the extended length", {'Z', 0}, 0, {}, 0, {}},
        {"end of file inside an extended payload", {'Z', 0, 2, 1}, 0, {}, 0, {}},
    };
    // clang-format on
    for (const FrameRow& row : rows) {
        SCOPED_TRACE(row.name);
        serve(row.wire, row.verbose);
        uint8_t lead = 0;
        ASSERT_EQ(readAll(memlink::kLinkFd, &lead, 1), 1);
        EXPECT_EQ(lead == 'U' ? readPacket() : readExtendedPacket(), row.result);
        EXPECT_EQ(memlink::left(), row.left);
        EXPECT_LE(memlink::readsAtEnd(), 1u) << "read on after end of file";
        EXPECT_EQ(logLines(), row.log);
        if (row.result == 0) {
            EXPECT_EQ(gState.rxLength, 0);
            continue;
        }
        EXPECT_EQ(gState.rxLength, static_cast<int32_t>(row.buffer.size() - 1));
        EXPECT_EQ(Bytes(gState.rxBuffer, gState.rxBuffer + row.buffer.size()), row.buffer);
    }
}

struct ExchangeRow {
    const char* name;
    Bytes answers;
    int result;
    size_t waits;         // waits for a lead byte, each of 0.5 s
    size_t left;          // answer bytes left unread
    const char* version;  // boardVersion afterwards
    Lines log;
    uint8_t lastLead = 'U';  // command[0] afterwards
    bool verbose = false;
    bool waitReply = true;
    int fd = memlink::kLinkFd;
};

const char kUnknown[] = "D/Vantrel: Unknown packet received: start byte is ";
const char kExtended[] = "D/Vantrel: readExtendedPacket unsupported ";
const char kSendFailed[] = "E/Vantrel: sendCommand: failed to send packet";

TEST_F(LinkTest, CommandExchange) {
    const std::string unknown = kUnknown;
    const Lines verboseStart = {"D/Vantrel: sendPacket 55 69 00 00 00 00 00 69",
                                "D/Vantrel: Waiting for ACK, ignoring all other packets"};
    const Bytes badAck = {'U', 'A', 0, 0, 0, 0, 0, 0};
    const std::string badAckLine = "E/Vantrel: readPacket: checksum failure rec[0x00] cal[0x41]";
    // clang-format off
    const ExchangeRow rows[] = {
        {"silent board, verbose", {}, 0, 4, 0, "",
         verboseStart + Lines{"D/Vantrel: timeout waiting for command reply"}, 'i', true},
        {"port closed", kAck, 0, 0, 8, "", {kSendFailed}, 'i', false, true, -1},
        {"write fails", kAck, 0, 0, 8, "", {kSendFailed}, 'i', false, true, memlink::kLinkFd + 1},
        {"ACK and version", kAck + kVersion, 1, 1, 0, "1.6.25", {}},
        {"ACK, no reply wanted", kAck + kVersion, 1, 1, 8, "", {}, 'U', false, false},
        {"ACK after 49 readings", times(kMotion, 49) + kAck + kVersion, 1, 50, 0, "1.6.25", {}},
        {"no ACK in 50 lead bytes", times(kMotion, 50) + kAck + kVersion, 0, 50, 16, "", {}},
        {"50 stray bytes, verbose", times(Bytes{0}, 50) + kAck, 0, 50, 8, "",
         verboseStart + Lines(50, kUnknown + std::string("[0x00]")) +
             Lines{"D/Vantrel: sendCommand() - ERROR: didn't receive ack!"}, 0, true},
        {"packets before the ACK are dropped; a second ACK is the reply",
         standard({'I', 9, 9, 9}) + kAck + kAck + kVersion, 1, 2, 8, "", {}},
        {"bad checksum, then silence", badAck, 0, 5, 0, "", {badAckLine}},
        {"bad checksum, then ACK", badAck + kAck + kVersion, 1, 2, 0, "1.6.25", {badAckLine}},
        {"extended packet before the ACK: only its 'Z' is taken",
         extended({7, 0x41}) + kAck + kVersion, 1, 7, 0, "1.6.25",
         {kExtended, unknown + "[0x00]", unknown + "[0x02]", unknown + "[0x07]",
          unknown + "[0x41]", unknown + "[0x48]"}},
        {"extended packet before the reply", kAck + extended({1}) + kVersion, 1, 1, 0, "1.6.25",
         {kExtended, unknown + "[0x00]", unknown + "[0x01]", unknown + "[0x01]",
          unknown + "[0x01]"}},
        {"reply with an unknown letter", kAck + standard({'B', 1, 2, 3}), 1, 1, 0, "",
         {"E/Vantrel: failed to parseStandardData()"}},
        {"49 stray bytes before the reply", kAck + times(Bytes{'x'}, 49) + kVersion, 1, 1, 0,
         "1.6.25", Lines(49, kUnknown + std::string("[0x78]"))},
        {"50 stray bytes end the reply phase", kAck + times(Bytes{'x'}, 50) + kVersion, 1, 1, 8,
         "", Lines(50, kUnknown + std::string("[0x78]")), 'x'},
        {"end of file before the reply", kAck, 0, 1, 0, "",
         {"D/Vantrel: Error reading microcontroller serial stream"}},
        {"frame cut short: the waits are for lead bytes only", {'U', 'A', 0, 0}, 0, 5, 0, "", {}},
    };
    // clang-format on
    for (const ExchangeRow& row : rows) {
        SCOPED_TRACE(row.name);
        serve(row.answers, row.verbose);
        gState.serialFd = row.fd;
        uint8_t command[6] = {'i', 0, 0, 0, 0, 0};
        EXPECT_EQ(sendCommand(command, row.waitReply), row.result);
        EXPECT_EQ(Bytes(command, command + 6), (Bytes{row.lastLead, 0, 0, 0, 0, 0}));
        Bytes written(memlink::written(), memlink::written() + memlink::writtenCount());
        EXPECT_EQ(written, row.fd == memlink::kLinkFd ? standard({'i'}) : Bytes{});
        EXPECT_EQ(memlink::waitCount(), row.waits);
        for (size_t i = 0; i < memlink::waitCount() && i < memlink::kWaitsMax; ++i) {
            EXPECT_EQ(memlink::waitLimitMicros(i), 500000) << "wait " << i;
        }
        EXPECT_EQ(memlink::left(), row.left);
        EXPECT_LE(memlink::readsAtEnd(), 1u) << "read on after end of file";
        EXPECT_STREQ(gState.boardVersion, row.version);
        // A version taken as the reply is dispatched, with its own records.
        const Lines dispatched = {
            "I/Vantrel: Sensor board version: 1.6.25", "D/Vantrel: sensor_comm_error=0",
            "I/Vantrel: UPDATE_VERSION broadcase: am broadcast -a com.zyn.vantrel.UPDATE_VERSION "
            "--es version 1.6.25"};
        EXPECT_EQ(logLines(), row.log + (*row.version != '\0' ? dispatched : Lines{}));
    }
}

}  // namespace
}  // namespace vantrel::test
