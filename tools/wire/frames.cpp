#include "wire/frames.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace vantrel::wire {

namespace {

uint8_t high(uint16_t value) {
    return static_cast<uint8_t>(value >> 8);
}

uint8_t low(uint16_t value) {
    return static_cast<uint8_t>(value & 0xFF);
}

int bigEndian16(const uint8_t* bytes) {
    return bytes[0] * 256 + bytes[1];
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char text[128];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

std::string describeStandardPayload(const uint8_t* p) {
    switch (p[0]) {
        case 'A':
            return "ACK";
        case 'I':
            return format("I %d.%d.%d (version, comm error %d)", p[1], p[2], p[3], p[5]);
        case 'M':
            return format("M ps1=%d ps2=%d (motion)", bigEndian16(p + 1), bigEndian16(p + 3));
        case 'L':
            return format("L vis=%d ir=%d (light)", bigEndian16(p + 1), bigEndian16(p + 3));
        default:
            return "U " + hexText(p, kStandardPayloadSize);
    }
}

std::string describeExtendedPayload(const uint8_t* p, size_t n) {
    if (n >= 1 && p[0] == kExtendedLog) {
        return "log \"" + std::string(reinterpret_cast<const char*>(p + 1), n - 1) +
               "\" (board log)";
    }
    if (n >= 4 && p[0] == kExtendedNfc && n >= 4u + p[3]) {
        return format("NFC tagType %d tagDataType %d data ", p[1], p[2]) + hexText(p + 4, p[3]) +
               " (tag read)";
    }
    return "Z " + hexText(p, n);
}

// Length of the good frame at `bytes[at]`, 0 when there is none.
size_t describeFrameAt(const Bytes& bytes, size_t at, std::string* text) {
    size_t left = bytes.size() - at;
    const uint8_t* p = bytes.data() + at;
    if (p[0] == kLeadStandard && left >= kStandardFrameSize &&
        checksum(p + 1, kStandardPayloadSize) == p[7]) {
        *text = describeStandardPayload(p + 1);
        return kStandardFrameSize;
    }
    if (p[0] == kLeadExtended && left >= 4) {
        size_t n = static_cast<size_t>(bigEndian16(p + 1));
        if (left >= 4 + n && checksum(p + 3, n) == p[3 + n]) {
            *text = describeExtendedPayload(p + 3, n);
            return 4 + n;
        }
    }
    return 0;
}

}  // namespace

uint8_t checksum(const uint8_t* data, size_t size) {
    uint8_t sum = 0;
    for (size_t i = 0; i < size; ++i) sum = static_cast<uint8_t>(sum + data[i]);
    return sum;
}

Bytes encodeStandard(const StandardPayload& payload) {
    Bytes frame;
    frame.reserve(kStandardFrameSize);
    frame.push_back(kLeadStandard);
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(checksum(payload.data(), payload.size()));
    return frame;
}

Bytes encodeStandard(uint8_t letter, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t b5) {
    return encodeStandard(StandardPayload{letter, b1, b2, b3, b4, b5});
}

Bytes encodeExtended(const Bytes& payload) {
    size_t n = payload.size() > 0xFFFF ? 0xFFFF : payload.size();
    Bytes frame;
    frame.reserve(n + 4);
    frame.push_back(kLeadExtended);
    frame.push_back(static_cast<uint8_t>(n >> 8));
    frame.push_back(static_cast<uint8_t>(n & 0xFF));
    frame.insert(frame.end(), payload.begin(), payload.begin() + static_cast<long>(n));
    frame.push_back(checksum(payload.data(), n));
    return frame;
}

Bytes ack() {
    return encodeStandard('A');
}

Bytes motion(uint16_t ps1, uint16_t ps2) {
    return encodeStandard('M', high(ps1), low(ps1), high(ps2), low(ps2), 0);
}

Bytes light(uint16_t vis, uint16_t ir) {
    return encodeStandard('L', high(vis), low(vis), high(ir), low(ir), 0);
}

Bytes version(uint8_t major, uint8_t minor, uint8_t patch, uint8_t commError) {
    return encodeStandard('I', major, minor, patch, 0, commError);
}

Bytes boardLog(const std::string& text) {
    Bytes payload{kExtendedLog};
    payload.insert(payload.end(), text.begin(), text.end());
    return encodeExtended(payload);
}

Bytes nfc(uint8_t tagType, uint8_t tagDataType, const Bytes& data) {
    size_t n = data.size() > 255 ? 255 : data.size();
    Bytes payload{kExtendedNfc, tagType, tagDataType, static_cast<uint8_t>(n)};
    payload.insert(payload.end(), data.begin(), data.begin() + static_cast<long>(n));
    return encodeExtended(payload);
}

Bytes withBadChecksum(Bytes frame) {
    if (!frame.empty()) frame.back() = static_cast<uint8_t>(frame.back() + 1);
    return frame;
}

Bytes truncated(Bytes frame, size_t keep) {
    if (keep < frame.size()) frame.resize(keep);
    return frame;
}

Bytes garbage(size_t count, uint32_t seed) {
    Bytes bytes;
    uint32_t state = seed * 2654435761u + 12345u;
    while (bytes.size() < count) {
        state = state * 1103515245u + 12345u;
        uint8_t byte = static_cast<uint8_t>(state >> 16);
        if (byte != kLeadStandard && byte != kLeadExtended) bytes.push_back(byte);
    }
    return bytes;
}

Bytes concat(const Bytes& a, const Bytes& b) {
    Bytes joined = a;
    joined.insert(joined.end(), b.begin(), b.end());
    return joined;
}

std::string hexText(const uint8_t* data, size_t size) {
    std::string text;
    char pair[4];
    for (size_t i = 0; i < size; ++i) {
        snprintf(pair, sizeof pair, i == 0 ? "%02X" : " %02X", data[i]);
        text += pair;
    }
    return text;
}

std::string describeCommand(const StandardPayload& p) {
    switch (p[0]) {
        case 'i':
            return "i (identify)";
        case 'D':
            return format("D %02X", p[1]) + (p[1] != 0 ? " (LED on)" : " (LED off)");
        case 'N':
            return format("N %02X", p[1]) + (p[1] != 0 ? " (NFC on)" : " (NFC off)");
        default:
            return "U " + hexText(p.data(), p.size()) + " (unknown command)";
    }
}

std::string describeBoardBytes(const Bytes& bytes) {
    std::string text;
    size_t at = 0;
    size_t rawStart = 0;
    auto flushRaw = [&](size_t end) {
        if (end == rawStart) return;
        if (!text.empty()) text += ", ";
        text += "raw " + hexText(bytes.data() + rawStart, end - rawStart);
    };
    while (at < bytes.size()) {
        std::string frame;
        size_t length = describeFrameAt(bytes, at, &frame);
        if (length == 0) {
            ++at;
            continue;
        }
        flushRaw(at);
        if (!text.empty()) text += ", ";
        text += frame;
        at += length;
        rawStart = at;
    }
    flushRaw(at);
    return text;
}

std::string FirmwareVersion::text() const {
    return format("%d.%d.%d", major, minor, patch);
}

std::optional<FirmwareVersion> FirmwareVersion::parse(const std::string& text) {
    int parts[3];
    size_t at = 0;
    for (int i = 0; i < 3; ++i) {
        if (at >= text.size() || text[at] < '0' || text[at] > '9') return std::nullopt;
        int value = 0;
        size_t digits = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 4) {
            value = value * 10 + (text[at] - '0');
            ++at;
            ++digits;
        }
        if (value > 255) return std::nullopt;
        parts[i] = value;
        if (i < 2) {
            if (at >= text.size() || text[at] != '.') return std::nullopt;
            ++at;
        }
    }
    if (at != text.size()) return std::nullopt;
    return FirmwareVersion{static_cast<uint8_t>(parts[0]), static_cast<uint8_t>(parts[1]),
                           static_cast<uint8_t>(parts[2])};
}

}  // namespace vantrel::wire
