// Extended messages: the board's log text and NFC tag reads.
#include <cstdio>
#include <cstring>

#include "common/daemon_state.h"
#include "common/log.h"
#include "common/signals.h"
#include "link/protocol.h"
#include "messages/tavrix_protocol_parser.h"

namespace vantrel {

namespace {

// Appends the tag data as upper-case hex pairs while a pair and the
// terminating zero still fit. Only hex digits can come from the board.
void appendHexData(char* command, int used, const uint8_t* data, int count) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (int i = 0; i < count && used + 2 < TavrixProtocolParser::kCommandLineSize; ++i) {
        command[used++] = kDigits[data[i] >> 4];
        command[used++] = kDigits[data[i] & 0x0F];
    }
    command[used] = '\0';
}

}  // namespace

int TavrixProtocolParser::parseExtendedData(uint8_t* payload, int32_t length) {
    if (payload[0] == kExtendedLog)
        return processLog(payload + kFieldsAt, length - static_cast<int32_t>(kFieldsAt));
    if (payload[0] == kExtendedNfc) return processNfc(payload + kFieldsAt);
    logVerbose("parseExtendedData: cmd[0x%X]", payload[0]);
    return 0;
}

int TavrixProtocolParser::processLog(uint8_t* text, int32_t length) {
    text[length] = 0;  // the text is exactly the bytes after the command byte
    logDebug("TavrixLog: [%s]", reinterpret_cast<const char*>(text));
    return 1;
}

// N is taken as the board sent it; a count past the payload reads what
// rxBuffer holds after it.
int TavrixProtocolParser::processNfc(const uint8_t* fields) {
    logVerbose("TavrixProtocolParser::processNfc");
    char command[kCommandLineSize];
    memset(command, 0, sizeof command);
    int prefix = snprintf(command, sizeof command,
                          "am broadcast -a com.zyn.touchpanel.nfc.NFCEVENT --ei tagType %d "
                          "--ei tagDataType %d --es tagData ",
                          fields[kNfcTagType], fields[kNfcTagDataType]);
    appendHexData(command, prefix, fields + kNfcData, fields[kNfcDataCount]);
    runShellCommand(command);
    logInfo("NFC EVENT: %s", command);
    return 1;
}

}  // namespace vantrel
