// The message dispatch and handlers: which letters and command numbers are
// taken, the stream filters, the pipe values, and the exact broadcast command
// lines. The shell runner and the pipe writer are wrapped at link time
// (-Wl,--wrap, see CMakeLists.txt): no shell runs and no FIFO is opened here.
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/daemon_state.h"
#include "common/pipe_table.h"
#include "messages/tavrix_protocol_parser.h"
#include "tests/unit/unit_fixture.h"

namespace vantrel::test {
namespace {

using PipeWrites = std::vector<std::pair<int, int32_t>>;  // pipe index, value

Lines commands;
PipeWrites pipeWrites;

}  // namespace
}  // namespace vantrel::test

// vantrel::runShellCommand(const char*) and vantrel::writePipe(PipeIndex, int32_t).
extern "C" int __wrap__ZN7vantrel15runShellCommandEPKc(const char* command) {
    vantrel::test::commands.push_back(command);
    return 0;
}

extern "C" void __wrap__ZN7vantrel9writePipeENS_9PipeIndexEi(vantrel::PipeIndex index,
                                                             int32_t value) {
    vantrel::test::pipeWrites.emplace_back(index, value);
}

namespace vantrel::test {
namespace {

class MessagesTest : public DaemonTest {
  protected:
    void fresh(bool verbose) {
        gState.verbose = verbose;
        commands.clear();
        pipeWrites.clear();
        clearLog();
    }

    static int dispatchStandard(Bytes payload) {
        payload.resize(6, 0);
        return TavrixProtocolParser::parseStandardData(payload.data());
    }

    // The payload in rxBuffer as the framing leaves it; rxLength `length`
    // (the payload's size when negative). The buffer holds 0xEE after it.
    static int dispatchExtended(const Bytes& payload, int length = -1) {
        memset(gState.rxBuffer, 0xEE, sizeof gState.rxBuffer);
        if (!payload.empty()) memcpy(gState.rxBuffer, payload.data(), payload.size());
        gState.rxBuffer[payload.size()] = 0;
        gState.rxLength = length < 0 ? static_cast<int32_t>(payload.size()) : length;
        return TavrixProtocolParser::parseExtendedData(gState.rxBuffer, gState.rxLength);
    }
};

struct StandardRow {
    const char* name;
    Bytes payload;
    bool light, motion;  // streams forwarded
    int result;
    PipeWrites writes;
    Lines log;  // verbose
};

TEST_F(MessagesTest, StandardDispatchAndReadings) {
    const StandardRow rows[] = {
        {"acknowledgement", {'A', 0xFF, 'I', 'L', 'M', 1}, true, true, 1, {}, {}},
        {"light: the visible value",
         {'L', 1, 2, 3, 4, 5},
         true,
         false,
         1,
         {{kPipeLight, 258}},
         {"D/Vantrel: Light Message vis=258, ir=772"}},
        {"light not forwarded", {'L', 1, 2, 3, 4, 5}, false, true, 1, {}, {}},
        {"motion: the sum, not clamped",
         {'M', 0xFF, 0xFF, 0xFF, 0xFF},
         false,
         true,
         1,
         {{kPipeProximity, 131070}},
         {"D/Vantrel: Motion Message ps1=65535, ps2=65535, psFinal=131070"}},
        {"motion: high bytes first",
         {'M', 0, 1, 1, 0},
         false,
         true,
         1,
         {{kPipeProximity, 257}},
         {"D/Vantrel: Motion Message ps1=1, ps2=256, psFinal=257"}},
        {"motion not forwarded", {'M', 1, 2, 3, 4}, true, false, 1, {}, {}},
        {"lower-case letter", {'m', 1, 2, 3, 4}, true, true, 0, {}, {}},
    };
    for (const StandardRow& row : rows) {
        SCOPED_TRACE(row.name);
        fresh(true);
        gState.ignoreLight = !row.light;
        gState.ignoreMotion = !row.motion;
        EXPECT_EQ(dispatchStandard(row.payload), row.result);
        EXPECT_EQ(pipeWrites, row.writes);
        EXPECT_EQ(logLines(), row.log);
        EXPECT_TRUE(commands.empty());
    }
    gState.ignoreLight = gState.ignoreMotion = false;
    for (int letter = 0; letter < 256; ++letter) {
        if (strchr("AILM", letter) != nullptr && letter != 0) continue;
        fresh(true);
        EXPECT_EQ(dispatchStandard({static_cast<uint8_t>(letter), 1, 2, 3, 4, 5}), 0) << letter;
        EXPECT_TRUE(pipeWrites.empty() && commands.empty() && logLines().empty()) << letter;
    }
}

struct VersionRow {
    Bytes fields;  // payload bytes 1 to 5
    const char* text;
    int commError;
};

// Each version follows the longest one, whose text must leave no tail.
TEST_F(MessagesTest, VersionIsRecordedAndBroadcast) {
    const VersionRow rows[] = {
        {{1, 6, 25, 0, 3}, "1.6.25", 3},
        {{0xFF, 0xFF, 0xFF, 0, 0xFF}, "255.255.255", 255},
        {{0, 0, 0, 0x7F, 0}, "0.0.0", 0},
    };
    for (const VersionRow& row : rows) {
        SCOPED_TRACE(row.text);
        dispatchStandard({'I', 0xFF, 0xFF, 0xFF});
        fresh(false);
        gState.versionReceived = false;
        EXPECT_EQ(dispatchStandard(Bytes{'I'} + row.fields), 1);
        char expected[kVersionTextSize] = {};
        snprintf(expected, sizeof expected, "%s", row.text);
        EXPECT_EQ(memcmp(gState.boardVersion, expected, sizeof expected), 0) << gState.boardVersion;
        EXPECT_TRUE(gState.versionReceived);
        std::string command =
            std::string("am broadcast -a com.zyn.vantrel.UPDATE_VERSION --es version ") + row.text;
        EXPECT_EQ(commands, Lines{command});
        EXPECT_EQ(logLines(),
                  (Lines{std::string("I/Vantrel: Sensor board version: ") + row.text,
                         "D/Vantrel: sensor_comm_error=" + std::to_string(row.commError),
                         "I/Vantrel: UPDATE_VERSION broadcase: " + command}));
    }
}

std::string nfcCommand(int tagType, int tagDataType, const std::string& hex) {
    return "am broadcast -a com.zyn.touchpanel.nfc.NFCEVENT --ei tagType " +
           std::to_string(tagType) + " --ei tagDataType " + std::to_string(tagDataType) +
           " --es tagData " + hex;
}

// Tag data 0, 1, 2, ... as the board would send it, and its hex text.
Bytes tagData(size_t count) {
    Bytes data(count);
    for (size_t i = 0; i < count; ++i) data[i] = static_cast<uint8_t>(i);
    return data;
}

std::string hexOf(const Bytes& data) {
    std::string hex;
    char pair[3];
    for (uint8_t byte : data) {
        snprintf(pair, sizeof pair, "%02X", byte);
        hex += pair;
    }
    return hex;
}

struct NfcRow {
    const char* name;
    Bytes fields;  // tagType, tagDataType, N, data
    std::string command;
};

TEST_F(MessagesTest, NfcBroadcast) {
    const NfcRow rows[] = {
        {"four data bytes", {4, 1, 4, 0x04, 0xA1, 0x5C, 0x00}, nfcCommand(4, 1, "04A15C00")},
        {"no data", {4, 1, 0}, nfcCommand(4, 1, "")},
        {"upper-case digits", {0, 255, 3, 0xAB, 0xCD, 0xEF}, nfcCommand(0, 255, "ABCDEF")},
        {"count past the payload reads on in the buffer",
         {4, 1, 6, 0x11, 0x22},
         nfcCommand(4, 1, "112200EEEEEE")},
        {"95-character prefix: 208 bytes fit", Bytes{4, 1, 255} + tagData(255),
         nfcCommand(4, 1, hexOf(tagData(208)))},
        {"96-character prefix: 207 bytes fit", Bytes{10, 1, 255} + tagData(255),
         nfcCommand(10, 1, hexOf(tagData(207)))},
        {"99-character prefix: 206 bytes fit", Bytes{200, 200, 255} + tagData(255),
         nfcCommand(200, 200, hexOf(tagData(206)))},
    };
    for (const NfcRow& row : rows) {
        SCOPED_TRACE(row.name);
        fresh(false);
        EXPECT_EQ(dispatchExtended(Bytes{7} + row.fields), 1);
        EXPECT_EQ(commands, Lines{row.command});
        EXPECT_EQ(logLines(), Lines{"I/Vantrel: NFC EVENT: " + row.command});
        EXPECT_LE(row.command.size(), 511u);
    }
}

struct ExtendedRow {
    const char* name;
    Bytes payload;
    int result;
    Lines log;  // verbose
    int length = -1;
};

TEST_F(MessagesTest, ExtendedDispatchAndBoardLog) {
    const ExtendedRow rows[] = {
        {"empty payload", {}, 0, {"D/Vantrel: parseExtendedData: cmd[0x0]"}},
        {"unknown command", {3}, 0, {"D/Vantrel: parseExtendedData: cmd[0x3]"}},
        {"unknown command in hex", {0xAB, 1}, 0, {"D/Vantrel: parseExtendedData: cmd[0xAB]"}},
        {"board log text", {1, 'h', 'e', 'l', 'l', 'o'}, 1, {"D/Vantrel: TavrixLog: [hello]"}},
        {"board log text ends at a zero",
         {1, 'h', 'e', 0, 'l', 'o'},
         1,
         {"D/Vantrel: TavrixLog: [he]"}},
        {"empty board log text", {1}, 1, {"D/Vantrel: TavrixLog: []"}},
        {"board log text ends at the length",
         {1, 'h', 'e', 'l', 'l', 'o'},
         1,
         {"D/Vantrel: TavrixLog: [hel]"},
         4},
    };
    for (const ExtendedRow& row : rows) {
        SCOPED_TRACE(row.name);
        fresh(true);
        EXPECT_EQ(dispatchExtended(row.payload, row.length), row.result);
        EXPECT_EQ(logLines(), row.log);
        EXPECT_TRUE(commands.empty());
    }
    for (int number = 0; number < 256; ++number) {
        if (number == 1 || number == 7) continue;
        fresh(false);
        EXPECT_EQ(dispatchExtended({static_cast<uint8_t>(number), 4, 1, 1, 0xAA}), 0) << number;
        EXPECT_TRUE(commands.empty() && logLines().empty()) << number;
    }
}

}  // namespace
}  // namespace vantrel::test
