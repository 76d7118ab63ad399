// Frames of the sensor link as the board sends them: builders and readable
// descriptions, shared by the session recorder (which ships to the panel),
// the simulated board of the test bench and the tests (which may also write
// the bytes themselves, broken on purpose). The bytes themselves are those of
// link/protocol.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "firmware/board_identification.h"
#include "link/protocol.h"

namespace vantrel::wire {

using Bytes = std::vector<uint8_t>;
using StandardPayload = std::array<uint8_t, kStandardPayloadSize>;

Bytes encodeStandard(const StandardPayload& payload);
Bytes encodeStandard(uint8_t letter, uint8_t b1 = 0, uint8_t b2 = 0, uint8_t b3 = 0, uint8_t b4 = 0,
                     uint8_t b5 = 0);
// The length field is payload.size(); at most 65535 bytes are framed.
Bytes encodeExtended(const Bytes& payload);

Bytes ack();
Bytes motion(uint16_t ps1, uint16_t ps2);
Bytes light(uint16_t vis, uint16_t ir);
Bytes version(uint8_t major, uint8_t minor, uint8_t patch, uint8_t commError = 0);
Bytes boardLog(const std::string& text);
// N is data.size(); data beyond 255 bytes is left out.
Bytes nfc(uint8_t tagType, uint8_t tagDataType, const Bytes& data);

// The frame with its last byte (the checksum) off by one.
Bytes withBadChecksum(Bytes frame);
// The first `keep` bytes of the frame.
Bytes truncated(Bytes frame, size_t keep);
// `count` bytes that are neither lead byte ('U', 'Z'), so a receiver skips
// each of them alone; the same seed gives the same bytes.
Bytes garbage(size_t count, uint32_t seed = 1);

Bytes concat(const Bytes& a, const Bytes& b);

// "55 69 00": upper-case hex pairs separated by blanks.
std::string hexText(const uint8_t* data, size_t size);
inline std::string hexText(const Bytes& bytes) {
    return hexText(bytes.data(), bytes.size());
}

// Readable text for one command payload from the host: "D 01 (LED on)".
std::string describeCommand(const StandardPayload& payload);
// Readable text for a run of bytes the board sends: "ACK", "I 1.6.25
// (version)", "M ps1=1 ps2=2 (motion)", ...; several frames are joined with
// ", "; anything that is not a whole good frame is shown as hex.
std::string describeBoardBytes(const Bytes& bytes);

// Defaults to the version the daemon requires.
struct FirmwareVersion {
    uint8_t major = kRequiredMajor;
    uint8_t minor = kRequiredMinor;
    uint8_t patch = kRequiredPatch;

    std::string text() const;  // "1.6.25"
    // "X.Y.Z" with three decimal numbers from 0 to 255, nothing else.
    static std::optional<FirmwareVersion> parse(const std::string& text);
    bool operator==(const FirmwareVersion& other) const {
        return major == other.major && minor == other.minor && patch == other.patch;
    }
    bool operator!=(const FirmwareVersion& other) const { return !(*this == other); }
};

}  // namespace vantrel::wire
