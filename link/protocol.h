// The board protocol on the serial link, written down once: the daemon's
// framing, its message handlers, the tools and the simulated board all take
// their bytes from here.
//
// Standard packet, 8 bytes, both directions:
//   [0] 'U'   [1..6] payload (byte 0 is the letter)   [7] checksum
// Extended packet, 4 + N bytes, board to daemon only:
//   [0] 'Z'   [1..2] N, big-endian   [3..3+N-1] payload (byte 0 is the command)
//   [3+N] checksum
// No escaping and no delimiter: a receiver out of step scans for a lead byte.
// The daemon takes at most kMaxPayloadSize (common/daemon_state.h) payload
// bytes of an extended packet and reads the byte after them as its checksum.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantrel {

// ---- frames
constexpr uint8_t kLeadStandard = 'U';  // 0x55
constexpr uint8_t kLeadExtended = 'Z';  // 0x5A
constexpr size_t kStandardPayloadSize = 6;
constexpr size_t kStandardFrameSize = 1 + kStandardPayloadSize + 1;  // lead, payload, checksum
constexpr size_t kExtendedHeaderSize = 3;                            // lead, 2 length bytes
constexpr size_t kExtendedFrameOverhead = kExtendedHeaderSize + 1;   // header and checksum

// The checksum of both kinds: the payload bytes added modulo 256; neither
// the lead byte nor the length bytes count. The daemon adds byte by byte as
// it reads them.
constexpr uint8_t addToChecksum(uint8_t sum, uint8_t byte) {
    return static_cast<uint8_t>(sum + byte);
}

constexpr uint8_t payloadChecksum(const uint8_t* payload, size_t size) {
    uint8_t sum = 0;
    for (size_t i = 0; i < size; ++i) sum = addToChecksum(sum, payload[i]);
    return sum;
}

// ---- standard messages from the board: payload byte 0
constexpr uint8_t kLetterAck = 'A';      // acknowledges a command
constexpr uint8_t kLetterVersion = 'I';  // firmware version
constexpr uint8_t kLetterLight = 'L';    // ambient light reading
constexpr uint8_t kLetterMotion = 'M';   // motion (proximity) reading

// ---- commands to the board: payload byte 0; byte 1 is 1 for on, 0 for off
constexpr uint8_t kCommandIdentify = 'i';  // answered by the version message
constexpr uint8_t kCommandLed = 'D';       // debug LED
constexpr uint8_t kCommandNfc = 'N';       // NFC reader

// ---- extended messages from the board: payload byte 0
constexpr uint8_t kExtendedLog = 1;  // the board's log text
constexpr uint8_t kExtendedNfc = 7;  // an NFC tag read

// ---- fields: a payload is its letter (or command) and then the message's
// fields; the handlers get the fields alone (payload + kFieldsAt). 16-bit
// fields are big-endian.
constexpr size_t kFieldsAt = 1;
// Version: major, minor, patch, a spare byte, the board's comm-error count.
constexpr size_t kVersionMajor = 0;
constexpr size_t kVersionMinor = 1;
constexpr size_t kVersionPatch = 2;
constexpr size_t kVersionCommError = 4;
// Motion: ps1 and ps2, 16 bits each. Light: visible and infrared.
constexpr size_t kMotionPs1 = 0;
constexpr size_t kMotionPs2 = 2;
constexpr size_t kLightVisible = 0;
constexpr size_t kLightInfrared = 2;
// NFC tag read: tag type, tag data type, N, then N data bytes.
constexpr size_t kNfcTagType = 0;
constexpr size_t kNfcTagDataType = 1;
constexpr size_t kNfcDataCount = 2;
constexpr size_t kNfcData = 3;

// ---- the line: 115200 baud, 8N1, so ten bits on the wire for each byte
constexpr int kLineBaud = 115200;
constexpr int kLineBytesPerSecond = kLineBaud / 10;
// Standard frames a second on a line that carries nothing else (1440).
constexpr int kLineStandardFramesPerSecond =
    kLineBytesPerSecond / static_cast<int>(kStandardFrameSize);

}  // namespace vantrel
