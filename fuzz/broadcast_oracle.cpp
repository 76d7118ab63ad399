#include "fuzz/broadcast_oracle.h"

#include <cstdint>
#include <cstring>

#include "common/daemon_state.h"
#include "fuzz/invariant.h"

namespace vantrel::fuzz {

namespace {

constexpr size_t kCommandLineSize = 512;
constexpr char kVersionPrefix[] = "am broadcast -a com.zyn.vantrel.UPDATE_VERSION --es version ";
constexpr char kNfcPrefix[] = "am broadcast -a com.zyn.touchpanel.nfc.NFCEVENT --ei tagType ";
constexpr char kNfcDataType[] = " --ei tagDataType ";
constexpr char kNfcData[] = " --es tagData ";

size_t broadcasts = 0;

// Consumes `text` at *cursor; false when it is not there.
bool take(const char** cursor, const char* text) {
    size_t length = strlen(text);
    if (strncmp(*cursor, text, length) != 0) return false;
    *cursor += length;
    return true;
}

// Consumes a decimal byte written as %d: 1 to 3 digits, no leading zero.
bool takeDecimalByte(const char** cursor, int* value) {
    const char* text = *cursor;
    int digits = 0;
    int number = 0;
    while (text[digits] >= '0' && text[digits] <= '9' && digits < 4) {
        number = number * 10 + (text[digits] - '0');
        ++digits;
    }
    if (digits == 0 || digits > 3 || (digits > 1 && text[0] == '0') || number > 255) return false;
    *value = number;
    *cursor += digits;
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void requireField(const char* line, const char** cursor, uint8_t expected, const char* name) {
    int value = -1;
    FUZZ_REQUIRE(takeDecimalByte(cursor, &value), "%s is not a decimal byte in [%s]", name, line);
    FUZZ_REQUIRE(value == expected, "%s %d, the message says %d in [%s]", name, value, expected,
                 line);
}

// The version line: major.minor.patch from rxBuffer bytes 1 to 3, also in boardVersion.
void checkVersionLine(const char* line, const char* cursor) {
    const char* version = cursor;
    for (int part = 1; part <= 3; ++part) {
        requireField(line, &cursor, gState.rxBuffer[part], "version part");
        if (part < 3) FUZZ_REQUIRE(take(&cursor, "."), "version without dots in [%s]", line);
    }
    FUZZ_REQUIRE(*cursor == '\0', "text after the version in [%s]", line);
    FUZZ_REQUIRE(strcmp(version, gState.boardVersion) == 0 && gState.versionReceived,
                 "boardVersion [%s] differs from the broadcast [%s]", gState.boardVersion, line);
}

// The NFC line: tagType, tagDataType, then the tag data from rxBuffer byte 4
// on, cut short only where another pair would not fit.
void checkNfcLine(const char* line, const char* cursor) {
    const uint8_t* fields = gState.rxBuffer + 1;
    requireField(line, &cursor, fields[0], "tagType");
    FUZZ_REQUIRE(take(&cursor, kNfcDataType), "no tagDataType in [%s]", line);
    requireField(line, &cursor, fields[1], "tagDataType");
    FUZZ_REQUIRE(take(&cursor, kNfcData), "no tagData in [%s]", line);
    size_t pairs = 0;
    for (; cursor[0] != '\0'; cursor += 2, ++pairs) {
        int high = hexDigit(cursor[0]);
        int low = high < 0 ? -1 : hexDigit(cursor[1]);
        FUZZ_REQUIRE(low >= 0, "tagData is not upper-case hex pairs in [%s]", line);
        FUZZ_REQUIRE(high * 16 + low == fields[3 + pairs], "tag data byte %zu differs in [%s]",
                     pairs, line);
    }
    size_t announced = fields[2];
    FUZZ_REQUIRE(pairs <= announced, "%zu data bytes for N %zu in [%s]", pairs, announced, line);
    FUZZ_REQUIRE(pairs == announced || strlen(line) + 2 >= kCommandLineSize,
                 "tag data cut to %zu of %zu bytes with room left in [%s]", pairs, announced, line);
}

void checkBroadcast(const char* line) {
    FUZZ_REQUIRE(strnlen(line, kCommandLineSize) < kCommandLineSize,
                 "broadcast command line of 512 bytes or more");
    const char* cursor = line;
    if (take(&cursor, kVersionPrefix)) return checkVersionLine(line, cursor);
    if (take(&cursor, kNfcPrefix)) return checkNfcLine(line, cursor);
    invariantBroken("unexpected command line [%s]", line);
}

}  // namespace

size_t broadcastCount() {
    return broadcasts;
}

void resetBroadcastCount() {
    broadcasts = 0;
}

}  // namespace vantrel::fuzz

// vantrel::runShellCommand(const char*): checked, counted, and reported as a
// shell that ran `am` and ended with status 0.
extern "C" int __wrap__ZN7vantrel15runShellCommandEPKc(const char* command) {
    vantrel::fuzz::checkBroadcast(command);
    ++vantrel::fuzz::broadcasts;
    return 0;
}
