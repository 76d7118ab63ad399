// The message dispatch and handlers: which letters and command numbers are
// taken, the stream filters, the pipe values, the exact broadcast command
// lines and the handlers' log records. The shell runner and the pipe writer
// are wrapped at link time (see CMakeLists.txt): no shell runs here.
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

extern "C" void __wrap__ZN7vantrel9writePipeENS_9PipeIndexEi(int index, int32_t value) {
    vantrel::test::pipeWrites.emplace_back(index, value);
}

namespace vantrel::test {
namespace {

struct MessageRow {
    const char* name;
    char lead;  // 'U': a standard payload, 'Z': an extended one
    Bytes payload;
    int result;
    PipeWrites writes;
    Lines commands;
    Lines log;                         // verbose
    bool light = true, motion = true;  // streams forwarded
    int length = -1;                   // rxLength, when not the payload's size
};

MessageRow version(const Bytes& fields, const std::string& text, int commError) {
    std::string command = "am broadcast -a com.zyn.vantrel.UPDATE_VERSION --es version " + text;
    Lines log = {"I/Vantrel: Sensor board version: " + text,
                 "D/Vantrel: sensor_comm_error=" + std::to_string(commError),
                 "I/Vantrel: UPDATE_VERSION broadcase: " + command};
    return {"version", 'U', Bytes{'I'} + fields, 1, {}, {command}, log};
}

// The hex text of the first `count` bytes of sequence(255), an NFC tap's tag data.
std::string hexOf(size_t count) {
    std::string hex;
    char pair[3];
    for (size_t i = 0; i < count; ++i) {
        snprintf(pair, sizeof pair, "%02X", static_cast<unsigned>(i));
        hex += pair;
    }
    return hex;
}

MessageRow nfc(const char* name, const Bytes& fields, const std::string& hex) {
    std::string command = "am broadcast -a com.zyn.touchpanel.nfc.NFCEVENT --ei tagType " +
                          std::to_string(fields[0]) + " --ei tagDataType " +
                          std::to_string(fields[1]) + " --es tagData " + hex;
    Lines log = {"D/Vantrel: TavrixProtocolParser::processNfc", "I/Vantrel: NFC EVENT: " + command};
    return {name, 'Z', Bytes{7} + fields, 1, {}, {command}, log};
}

class MessagesTest : public DaemonTest {
  protected:
    // Dispatches the payload as the receive loop hands it over: an extended
    // one in rxBuffer with the framing's zero after it and 0xEE beyond.
    int dispatch(char lead, Bytes payload, int length = -1, bool verbose = true) {
        gState.verbose = verbose;
        commands.clear();
        pipeWrites.clear();
        clearLog();
        if (lead == 'U') {
            payload.resize(6, 0);
            return TavrixProtocolParser::parseStandardData(payload.data());
        }
        memset(gState.rxBuffer, 0xEE, sizeof gState.rxBuffer);
        if (!payload.empty()) memcpy(gState.rxBuffer, payload.data(), payload.size());
        gState.rxBuffer[payload.size()] = 0;
        gState.rxLength = length < 0 ? static_cast<int32_t>(payload.size()) : length;
        return TavrixProtocolParser::parseExtendedData(gState.rxBuffer, gState.rxLength);
    }
};

TEST_F(MessagesTest, DispatchAndHandlers) {
    // clang-format off
    const MessageRow rows[] = {
        {"acknowledgement", 'U', {'A', 0xFF, 'I', 'L', 'M', 1}, 1, {}, {}, {}},
        {"light: the visible value", 'U', {'L', 1, 2, 3, 4, 5}, 1, {{kPipeLight, 258}}, {},
         {"D/Vantrel: Light Message vis=258, ir=772"}, true, false},
        {"light not forwarded", 'U', {'L', 1, 2, 3, 4, 5}, 1, {}, {}, {}, false, true},
        {"motion: the sum, not clamped", 'U', {'M', 0xFF, 0xFF, 0xFF, 0xFF}, 1,
         {{kPipeProximity, 131070}}, {},
         {"D/Vantrel: Motion Message ps1=65535, ps2=65535, psFinal=131070"}, false, true},
        {"motion: high bytes first", 'U', {'M', 0, 1, 1, 0}, 1, {{kPipeProximity, 257}}, {},
         {"D/Vantrel: Motion Message ps1=1, ps2=256, psFinal=257"}},
        {"motion not forwarded", 'U', {'M', 1, 2, 3, 4}, 1, {}, {}, {}, true, false},
        {"lower-case letter", 'U', {'m', 1, 2, 3, 4}, 0, {}, {}, {}},
        version({1, 6, 25, 0, 3}, "1.6.25", 3),
        version({0xFF, 0xFF, 0xFF, 0, 0xFF}, "255.255.255", 255),
        version({0, 0, 0, 0x7F, 0}, "0.0.0", 0),
        nfc("four data bytes", {4, 1, 4, 0x04, 0xA1, 0x5C, 0x00}, "04A15C00"),
        nfc("no data", {4, 1, 0}, ""),
        nfc("upper-case digits", {0, 255, 3, 0xAB, 0xCD, 0xEF}, "ABCDEF"),
        nfc("count past the payload reads on in the buffer", {4, 1, 6, 0x11, 0x22}, "112200EEEEEE"),
        nfc("95-character prefix: 208 bytes fit", Bytes{4, 1, 255} + sequence(255), hexOf(208)),
        nfc("96-character prefix: 207 bytes fit", Bytes{10, 1, 255} + sequence(255), hexOf(207)),
        nfc("99-character prefix: 206 bytes fit", Bytes{200, 200, 255} + sequence(255), hexOf(206)),
        {"empty extended payload", 'Z', {}, 0, {}, {}, {"D/Vantrel: parseExtendedData: cmd[0x0]"}},
        {"unknown command", 'Z', {3}, 0, {}, {}, {"D/Vantrel: parseExtendedData: cmd[0x3]"}},
        {"unknown command in hex", 'Z', {0xAB, 1}, 0, {}, {},
         {"D/Vantrel: parseExtendedData: cmd[0xAB]"}},
        {"board log text", 'Z', {1, 'h', 'e', 'l', 'l', 'o'}, 1, {}, {},
         {"D/Vantrel: TavrixLog: [hello]"}},
        {"board log text ends at a zero", 'Z', {1, 'h', 'e', 0, 'l', 'o'}, 1, {}, {},
         {"D/Vantrel: TavrixLog: [he]"}},
        {"empty board log text", 'Z', {1}, 1, {}, {}, {"D/Vantrel: TavrixLog: []"}},
        {"board log text ends at the length", 'Z', {1, 'h', 'e', 'l', 'l', 'o'}, 1, {}, {},
         {"D/Vantrel: TavrixLog: [hel]"}, true, true, 4},
    };
    // clang-format on
    for (const MessageRow& row : rows) {
        SCOPED_TRACE(row.name);
        dispatch('U', {'I', 0xFF, 0xFF, 0xFF});  // a version no later one may leave a tail of
        gState.versionReceived = false;
        gState.ignoreLight = !row.light;
        gState.ignoreMotion = !row.motion;
        EXPECT_EQ(dispatch(row.lead, row.payload, row.length), row.result);
        EXPECT_EQ(pipeWrites, row.writes);
        EXPECT_EQ(commands, row.commands);
        EXPECT_EQ(logLines(), row.log);
        bool isVersion = row.lead == 'U' && row.payload[0] == 'I';
        EXPECT_EQ(gState.versionReceived, isVersion);
        if (isVersion) {
            char text[kVersionTextSize] = {};
            snprintf(text, sizeof text, "%s", strrchr(row.commands[0].c_str(), ' ') + 1);
            EXPECT_EQ(memcmp(gState.boardVersion, text, sizeof text), 0) << gState.boardVersion;
        }
    }
    // Every other letter and command number is refused without effect.
    for (int byte = 0; byte < 256; ++byte) {
        if (strchr("AILM", byte) == nullptr || byte == 0) {
            EXPECT_EQ(dispatch('U', {static_cast<uint8_t>(byte), 1, 2, 3, 4, 5}), 0) << byte;
            EXPECT_TRUE(pipeWrites.empty() && commands.empty() && logLines().empty()) << byte;
        }
        if (byte != 1 && byte != 7) {
            Bytes payload = {static_cast<uint8_t>(byte), 4, 1, 1, 0xAA};
            EXPECT_EQ(dispatch('Z', payload, -1, false), 0) << byte;
            EXPECT_TRUE(commands.empty() && logLines().empty()) << byte;
        }
    }
}

}  // namespace
}  // namespace vantrel::test
