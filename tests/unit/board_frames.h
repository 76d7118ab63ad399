// Frames as the sensor board puts them on the wire.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace vantrel::test {

inline uint8_t payloadSum(const std::vector<uint8_t>& payload) {
    unsigned sum = 0;
    for (uint8_t byte : payload) sum += byte;
    return static_cast<uint8_t>(sum);
}

// A standard packet after its lead byte: six payload bytes and the checksum.
inline std::vector<uint8_t> standardBody(std::vector<uint8_t> payload) {
    payload.resize(6, 0);
    payload.push_back(payloadSum(payload));
    return payload;
}

// A whole standard packet: 'U', six payload bytes, checksum.
inline std::vector<uint8_t> standardFrame(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> frame = {'U'};
    std::vector<uint8_t> body = standardBody(payload);
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

// An extended packet after its lead byte: length (big-endian), payload, checksum.
inline std::vector<uint8_t> extendedBody(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> body = {static_cast<uint8_t>(payload.size() >> 8),
                                 static_cast<uint8_t>(payload.size() & 0xFF)};
    body.insert(body.end(), payload.begin(), payload.end());
    body.push_back(payloadSum(payload));
    return body;
}

inline std::vector<uint8_t> extendedFrame(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> frame = {'Z'};
    std::vector<uint8_t> body = extendedBody(payload);
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

inline std::vector<uint8_t> joinBytes(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

inline std::vector<uint8_t> ackFrame() {
    return standardFrame({'A'});
}

inline std::vector<uint8_t> versionFrame(uint8_t major, uint8_t minor, uint8_t patch) {
    return standardFrame({'I', major, minor, patch, 0, 0});
}

}  // namespace vantrel::test
