// Dispatch of the board's payloads and the message handlers. The parser holds
// no state of its own: it reads and writes DaemonState. The letters, command
// numbers and field layouts are those of link/protocol.h.
#pragma once

#include <cstdint>

namespace vantrel {

class TavrixProtocolParser {
  public:
    // 1 when the letter is known (handled, or dropped by its stream filter).
    static int parseStandardData(const uint8_t* payload);
    // 1 for the board's log text and an NFC tag read, else 0.
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
