#include "fuzz/checksum_repair.h"

#include "common/daemon_state.h"

namespace vantrel::fuzz {

namespace {

constexpr size_t kStandardPayload = 6;
constexpr size_t kLengthBytes = 2;

// Mends the frame whose payload starts at `payload`; returns the bytes it
// spans from there, checksum included (or what is left of the input).
size_t repairFrame(uint8_t* payload, size_t available, size_t length) {
    if (available < length + 1) return available;
    unsigned sum = 0;
    for (size_t i = 0; i < length; ++i) sum += payload[i];
    payload[length] = static_cast<uint8_t>(sum);
    return length + 1;
}

size_t repairExtended(uint8_t* frame, size_t available) {
    if (available < kLengthBytes) return available;
    size_t length = frame[0] * 256u + frame[1];
    if (length > static_cast<size_t>(kMaxPayloadSize)) length = kMaxPayloadSize;
    return kLengthBytes + repairFrame(frame + kLengthBytes, available - kLengthBytes, length);
}

}  // namespace

void repairChecksums(uint8_t* bytes, size_t size, bool readsExtended) {
    size_t position = 0;
    while (position < size) {
        uint8_t lead = bytes[position++];
        size_t left = size - position;
        if (lead == 'U') {
            position += repairFrame(bytes + position, left, kStandardPayload);
        } else if (lead == 'Z' && readsExtended) {
            position += repairExtended(bytes + position, left);
        }
    }
}

}  // namespace vantrel::fuzz
