// Dispatch of the board's payloads and the message handlers. The parser holds
// no state of its own: it reads and writes DaemonState.
//
// Standard payload (6 bytes), byte 0 the letter, 16-bit fields big-endian:
//   'A' ack | 'I' major minor patch - sensor_comm_error | 'L' vis ir - |
//   'M' ps1 ps2 -
// Extended payload, byte 0 the command number:
//   1 board log text | 7 tagType tagDataType N data[N]
#pragma once

#include <cstdint>

namespace vantrel {

class TavrixProtocolParser {
  public:
    // 1 when the letter is known (handled, or dropped by its stream filter).
    static int parseStandardData(const uint8_t* payload);
    // 1 for commands 1 and 7, else 0.
    static int parseExtendedData(uint8_t* payload, int32_t length);

    // `fields` is the payload after its first byte; each returns 1.
    static int processLight(const uint8_t* fields);
    static int processMotion(const uint8_t* fields);
    static int processVersion(const uint8_t* fields);
    static int processLog(uint8_t* text, int32_t length);
    static int processNfc(const uint8_t* fields);

    // Size of the broadcast command-line buffers.
    static constexpr int kCommandLineSize = 512;

    TavrixProtocolParser() = delete;
};

}  // namespace vantrel
