#include "wire/frames.h"

#include <cstdarg>
#include <cstdio>
#include <regex>

namespace vantrel::wire {

namespace {

int bigEndian16(const uint8_t* bytes) {
    return bytes[0] * 256 + bytes[1];
}

// A 16-bit field of a standard message, high byte first.
void putField16(StandardPayload* payload, size_t field, uint16_t value) {
    (*payload)[kFieldsAt + field] = static_cast<uint8_t>(value >> 8);
    (*payload)[kFieldsAt + field + 1] = static_cast<uint8_t>(value & 0xFF);
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

// The letter is printed as it came, so that the text shows the very byte.
std::string describeStandardPayload(const uint8_t* payload) {
    const uint8_t* f = payload + kFieldsAt;
    switch (payload[0]) {
        case kLetterAck:
            return "ACK";
        case kLetterVersion:
            return format("%c %d.%d.%d (version, comm error %d)", payload[0], f[kVersionMajor],
                          f[kVersionMinor], f[kVersionPatch], f[kVersionCommError]);
        case kLetterMotion:
            return format("%c ps1=%d ps2=%d (motion)", payload[0], bigEndian16(f + kMotionPs1),
                          bigEndian16(f + kMotionPs2));
        case kLetterLight:
            return format("%c vis=%d ir=%d (light)", payload[0], bigEndian16(f + kLightVisible),
                          bigEndian16(f + kLightInfrared));
        default:
            return "U " + hexText(payload, kStandardPayloadSize);
    }
}

std::string describeExtendedPayload(const uint8_t* payload, size_t n) {
    const uint8_t* f = payload + kFieldsAt;
    if (n >= kFieldsAt && payload[0] == kExtendedLog) {
        return "log \"" + std::string(reinterpret_cast<const char*>(f), n - kFieldsAt) +
               "\" (board log)";
    }
    if (n >= kFieldsAt + kNfcData && payload[0] == kExtendedNfc &&
        n >= kFieldsAt + kNfcData + f[kNfcDataCount]) {
        return format("NFC tagType %d tagDataType %d data ", f[kNfcTagType], f[kNfcTagDataType]) +
               hexText(f + kNfcData, f[kNfcDataCount]) + " (tag read)";
    }
    return "Z " + hexText(payload, n);
}

// Length of the good frame at `bytes[at]`, 0 when there is none.
size_t describeFrameAt(const Bytes& bytes, size_t at, std::string* text) {
    size_t left = bytes.size() - at;
    const uint8_t* p = bytes.data() + at;
    if (p[0] == kLeadStandard && left >= kStandardFrameSize &&
        payloadChecksum(p + 1, kStandardPayloadSize) == p[kStandardFrameSize - 1]) {
        *text = describeStandardPayload(p + 1);
        return kStandardFrameSize;
    }
    if (p[0] == kLeadExtended && left >= kExtendedFrameOverhead) {
        size_t n = static_cast<size_t>(bigEndian16(p + 1));
        const uint8_t* payload = p + kExtendedHeaderSize;
        if (left >= kExtendedFrameOverhead + n && payloadChecksum(payload, n) == payload[n]) {
            *text = describeExtendedPayload(payload, n);
            return kExtendedFrameOverhead + n;
        }
    }
    return 0;
}

}  // namespace

Bytes encodeStandard(const StandardPayload& payload) {
    Bytes frame;
    frame.reserve(kStandardFrameSize);
    frame.push_back(kLeadStandard);
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(payloadChecksum(payload.data(), payload.size()));
    return frame;
}

Bytes encodeStandard(uint8_t letter, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t b5) {
    return encodeStandard(StandardPayload{letter, b1, b2, b3, b4, b5});
}

Bytes encodeExtended(const Bytes& payload) {
    size_t n = payload.size() > 0xFFFF ? 0xFFFF : payload.size();
    Bytes frame;
    frame.reserve(n + kExtendedFrameOverhead);
    frame.push_back(kLeadExtended);
    frame.push_back(static_cast<uint8_t>(n >> 8));
    frame.push_back(static_cast<uint8_t>(n & 0xFF));
    frame.insert(frame.end(), payload.begin(), payload.begin() + static_cast<long>(n));
    frame.push_back(payloadChecksum(payload.data(), n));
    return frame;
}

Bytes ack() {
    return encodeStandard(kLetterAck);
}

Bytes motion(uint16_t ps1, uint16_t ps2) {
    StandardPayload payload{kLetterMotion};
    putField16(&payload, kMotionPs1, ps1);
    putField16(&payload, kMotionPs2, ps2);
    return encodeStandard(payload);
}

Bytes light(uint16_t vis, uint16_t ir) {
    StandardPayload payload{kLetterLight};
    putField16(&payload, kLightVisible, vis);
    putField16(&payload, kLightInfrared, ir);
    return encodeStandard(payload);
}

Bytes version(uint8_t major, uint8_t minor, uint8_t patch, uint8_t commError) {
    StandardPayload payload{kLetterVersion};
    payload[kFieldsAt + kVersionMajor] = major;
    payload[kFieldsAt + kVersionMinor] = minor;
    payload[kFieldsAt + kVersionPatch] = patch;
    payload[kFieldsAt + kVersionCommError] = commError;
    return encodeStandard(payload);
}

Bytes boardLog(const std::string& text) {
    Bytes payload{kExtendedLog};  // the text follows at once
    payload.insert(payload.end(), text.begin(), text.end());
    return encodeExtended(payload);
}

Bytes nfc(uint8_t tagType, uint8_t tagDataType, const Bytes& data) {
    size_t n = data.size() > 255 ? 255 : data.size();
    Bytes payload(kFieldsAt + kNfcData);
    payload[0] = kExtendedNfc;
    payload[kFieldsAt + kNfcTagType] = tagType;
    payload[kFieldsAt + kNfcTagDataType] = tagDataType;
    payload[kFieldsAt + kNfcDataCount] = static_cast<uint8_t>(n);
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
        case kCommandIdentify:
            return format("%c (identify)", p[0]);
        case kCommandLed:
        case kCommandNfc:
            return format("%c %02X (%s %s)", p[0], p[1], p[0] == kCommandLed ? "LED" : "NFC",
                          p[1] != 0 ? "on" : "off");
        default:
            return "U " + hexText(p.data(), p.size()) + " (unknown command)";
    }
}

std::string describeBoardBytes(const Bytes& bytes) {
    std::string text;
    auto add = [&text](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
    size_t at = 0;
    size_t rawStart = 0;  // where the bytes that are no good frame began
    auto addRaw = [&] {
        if (at > rawStart) add("raw " + hexText(bytes.data() + rawStart, at - rawStart));
    };
    while (at < bytes.size()) {
        std::string frame;
        size_t length = describeFrameAt(bytes, at, &frame);
        if (length == 0) {
            ++at;
            continue;
        }
        addRaw();
        add(frame);
        at += length;
        rawStart = at;
    }
    addRaw();
    return text;
}

std::string FirmwareVersion::text() const {
    return format("%d.%d.%d", major, minor, patch);
}

std::optional<FirmwareVersion> FirmwareVersion::parse(const std::string& text) {
    static const std::regex kVersion("([0-9]{1,4})\\.([0-9]{1,4})\\.([0-9]{1,4})");
    std::smatch parts;
    if (!std::regex_match(text, parts, kVersion)) return std::nullopt;
    int values[3];
    for (int i = 0; i < 3; ++i) {
        values[i] = std::stoi(parts[i + 1]);
        if (values[i] > 255) return std::nullopt;
    }
    return FirmwareVersion{static_cast<uint8_t>(values[0]), static_cast<uint8_t>(values[1]),
                           static_cast<uint8_t>(values[2])};
}

}  // namespace vantrel::wire
