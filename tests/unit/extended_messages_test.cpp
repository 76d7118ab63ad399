// Extended messages: dispatch by command number, the board's log text, and
// the NFC broadcast with its tag data in hexadecimal.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "common/daemon_state.h"
#include "messages/tavrix_protocol_parser.h"
#include "tests/unit/unit_fixture.h"

namespace vantrel::test {
namespace {

using Lines = std::vector<std::string>;
using Parser = TavrixProtocolParser;

class ExtendedMessagesTest : public DaemonTest {
  protected:
    // Puts `payload` into rxBuffer as the framing leaves it and dispatches it.
    static int dispatch(const std::vector<uint8_t>& payload) {
        if (!payload.empty()) memcpy(gState.rxBuffer, payload.data(), payload.size());
        gState.rxBuffer[payload.size()] = 0;
        gState.rxLength = static_cast<int32_t>(payload.size());
        return Parser::parseExtendedData(gState.rxBuffer, gState.rxLength);
    }

    static std::string prefixFor(int tagType, int tagDataType) {
        return "am broadcast -a com.zyn.touchpanel.nfc.NFCEVENT --ei tagType " +
               std::to_string(tagType) + " --ei tagDataType " + std::to_string(tagDataType) +
               " --es tagData ";
    }

    // The command lines of the "NFC EVENT: " records, in order.
    std::vector<std::string> nfcCommands() const {
        const std::string start = "I/Vantrel: NFC EVENT: ";
        std::vector<std::string> commands;
        for (const auto& line : logLines()) {
            if (line.rfind(start, 0) == 0) commands.push_back(line.substr(start.size()));
        }
        return commands;
    }
};

TEST_F(ExtendedMessagesTest, EmptyPayloadIsRejected) {
    EXPECT_EQ(dispatch({}), 0);
    EXPECT_TRUE(logLines().empty());
    gState.verbose = true;
    EXPECT_EQ(dispatch({}), 0);
    EXPECT_EQ(logLines(), (Lines{"D/Vantrel: parseExtendedData: cmd[0x0]"}));
}

TEST_F(ExtendedMessagesTest, UnknownCommandsAreRejectedWithoutEffect) {
    for (int command = 0; command < 256; ++command) {
        if (command == 1 || command == 7) continue;
        EXPECT_EQ(dispatch({static_cast<uint8_t>(command), 4, 1, 1, 0xAA}), 0) << command;
    }
    EXPECT_TRUE(logLines().empty());
    EXPECT_FALSE(fileExists("/am.calls"));
}

TEST_F(ExtendedMessagesTest, UnknownCommandVerboseLineInUpperCaseHex) {
    gState.verbose = true;
    EXPECT_EQ(dispatch({0x03}), 0);
    EXPECT_EQ(dispatch({0xAB, 1}), 0);
    EXPECT_EQ(logLines(), (Lines{"D/Vantrel: parseExtendedData: cmd[0x3]",
                                 "D/Vantrel: parseExtendedData: cmd[0xAB]"}));
}

// The text after the command byte reaches the log as it came, up to a zero
// byte; a line feed in it starts a new log line.
TEST_F(ExtendedMessagesTest, BoardLogTextIsLoggedAsItCame) {
    struct Case {
        std::vector<uint8_t> payload;
        Lines lines;
    };
    const std::vector<Case> cases = {
        {{0x01, 'h', 'e', 'l', 'l', 'o'}, {"D/Vantrel: TavrixLog: [hello]"}},
        {{0x01, 'h', 'e', 0x00, 'l', 'o'}, {"D/Vantrel: TavrixLog: [he]"}},
        {{0x01}, {"D/Vantrel: TavrixLog: []"}},
        {{0x01, 'a', 0x7F, 0xC3, 0xA9, '\n', 'b'},
         {"D/Vantrel: TavrixLog: [a\x7F\xC3\xA9", "D/Vantrel: b]"}},
    };
    for (const Case& c : cases) {
        std::remove(logFilePath().c_str());
        memset(gState.rxBuffer, 'X', sizeof gState.rxBuffer);
        EXPECT_EQ(dispatch(c.payload), 1);
        EXPECT_EQ(logLines(), c.lines);
    }
}

TEST_F(ExtendedMessagesTest, BoardLogTextIsCutAtItsLength) {
    memset(gState.rxBuffer, 'X', sizeof gState.rxBuffer);
    memcpy(gState.rxBuffer, "\x01hello", 6);
    gState.rxLength = 4;  // only "hel" belongs to the packet
    EXPECT_EQ(Parser::parseExtendedData(gState.rxBuffer, gState.rxLength), 1);
    EXPECT_EQ(logLines(), (Lines{"D/Vantrel: TavrixLog: [hel]"}));
    EXPECT_EQ(gState.rxBuffer[4], 0);
}

TEST_F(ExtendedMessagesTest, NfcWorkedExample) {
    EXPECT_EQ(dispatch({0x07, 4, 1, 4, 0x04, 0xA1, 0x5C, 0x00}), 1);
    std::string prefix = prefixFor(4, 1);
    EXPECT_EQ(prefix.size(), 95u);
    EXPECT_EQ(nfcCommands(), Lines{prefix + "04A15C00"});
    EXPECT_EQ(amCalls(), Lines{prefix.substr(3) + "04A15C00"});
}

TEST_F(ExtendedMessagesTest, NfcVerboseLineComesFirst) {
    gState.verbose = true;
    EXPECT_EQ(dispatch({0x07, 1, 2, 1, 0xFE}), 1);
    EXPECT_EQ(logLines(), (Lines{"D/Vantrel: TavrixProtocolParser::processNfc",
                                 "I/Vantrel: NFC EVENT: " + prefixFor(1, 2) + "FE"}));
}

TEST_F(ExtendedMessagesTest, NfcWithoutDataIsStillBroadcast) {
    EXPECT_EQ(dispatch({0x07, 4, 1, 0}), 1);
    EXPECT_EQ(nfcCommands(), Lines{prefixFor(4, 1)});
    EXPECT_EQ(amCalls().size(), 1u);
}

// The tag data is cut to what fits in the 512-byte command line with its
// terminating zero: 208 bytes after the shortest prefix, 207 or 206 after
// the longer ones.
TEST_F(ExtendedMessagesTest, NfcDataIsCutToFitTheCommandLine) {
    struct Case {
        int tagType;
        int tagDataType;
        size_t prefixLength;
        size_t dataBytes;
    };
    for (const Case& c : {Case{4, 1, 95, 208}, Case{10, 1, 96, 207}, Case{10, 10, 97, 207},
                          Case{100, 10, 98, 206}, Case{200, 200, 99, 206}}) {
        std::vector<uint8_t> payload = {0x07, static_cast<uint8_t>(c.tagType),
                                        static_cast<uint8_t>(c.tagDataType), 255};
        for (int i = 0; i < 255; ++i) payload.push_back(static_cast<uint8_t>(i));
        EXPECT_EQ(dispatch(payload), 1);
        std::string prefix = prefixFor(c.tagType, c.tagDataType);
        ASSERT_EQ(prefix.size(), c.prefixLength);
        std::string hex;
        char pair[3];
        for (size_t i = 0; i < c.dataBytes; ++i) {
            snprintf(pair, sizeof pair, "%02X", static_cast<unsigned>(i & 0xFF));
            hex += pair;
        }
        EXPECT_EQ(nfcCommands().back(), prefix + hex) << "tagType " << c.tagType;
        EXPECT_LE(nfcCommands().back().size(), 511u);
    }
    EXPECT_EQ(nfcCommands().back().size(), 511u);
}

// A count past the payload reads on over rxBuffer: the framing's terminator,
// then what an earlier, longer packet left behind.
TEST_F(ExtendedMessagesTest, NfcCountPastPayloadReadsRestOfBuffer) {
    memset(gState.rxBuffer, 0xEE, sizeof gState.rxBuffer);
    EXPECT_EQ(dispatch({0x07, 4, 1, 6, 0x11, 0x22}), 1);
    EXPECT_EQ(nfcCommands(), Lines{prefixFor(4, 1) + "112200EEEEEE"});
}

// Whatever the board sends, the shell sees only the fixed text, decimal
// numbers and upper-case hex digits.
TEST_F(ExtendedMessagesTest, EveryByteValueGivesSafeCommandLine) {
    installTool("am", "exit 0\n");
    const std::regex safe(
        "am broadcast -a com\\.zyn\\.touchpanel\\.nfc\\.NFCEVENT --ei tagType ([0-9]{1,3}) "
        "--ei tagDataType ([0-9]{1,3}) --es tagData ([0-9A-F]*)");
    for (int value = 0; value < 256; ++value) {
        std::vector<uint8_t> payload = {0x07, static_cast<uint8_t>(value),
                                        static_cast<uint8_t>(255 - value),
                                        static_cast<uint8_t>(value)};
        for (int i = 0; i < 255; ++i) payload.push_back(static_cast<uint8_t>(value + i));
        dispatch(payload);
    }
    std::vector<std::string> commands = nfcCommands();
    ASSERT_EQ(commands.size(), 256u);
    for (int value = 0; value < 256; ++value) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(commands[value], match, safe)) << commands[value];
        EXPECT_EQ(std::stoi(match[1]), value);
        EXPECT_EQ(std::stoi(match[2]), 255 - value);
        size_t expectedDigits =
            2 * std::min<size_t>(value, (511 - commands[value].size() + match[3].length()) / 2);
        EXPECT_EQ(match[3].length(), expectedDigits) << "value " << value;
    }
}

}  // namespace
}  // namespace vantrel::test
