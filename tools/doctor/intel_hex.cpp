#include "tools/doctor/intel_hex.h"

#include <cctype>
#include <cstdio>

namespace vantrel::doctor {

namespace {

// A record's fixed bytes: length, address (2), type, and the checksum.
constexpr size_t kRecordOverhead = 5;
constexpr size_t kLengthAt = 0;
constexpr size_t kAddressAt = 1;
constexpr size_t kTypeAt = 3;
constexpr size_t kDataAt = 4;

enum RecordType : uint8_t {
    kData = 0x00,
    kEndOfFile = 0x01,
    kExtendedSegmentAddress = 0x02,  // base = value * 16
    kStartSegmentAddress = 0x03,
    kExtendedLinearAddress = 0x04,  // base = value << 16
    kStartLinearAddress = 0x05,
};

// The data length each type other than data must have.
constexpr int kLengthOfType[] = {-1, 0, 2, 4, 2, 4};

int hexValue(char c) {
    if (!isxdigit(static_cast<unsigned char>(c))) return -1;
    return isdigit(static_cast<unsigned char>(c)) ? c - '0' : tolower(c) - 'a' + 10;
}

uint64_t bigEndian16(const uint8_t* bytes) {
    return static_cast<uint64_t>(bytes[0]) << 8 | bytes[1];
}

std::string hexByte(unsigned value) {
    char text[8];
    snprintf(text, sizeof text, "0x%02X", value & 0xFFu);
    return text;
}

}  // namespace

void IntelHexReader::feed(const char* bytes, size_t size) {
    for (size_t i = 0; i < size && !decided_; ++i) takeByte(bytes[i]);
}

void IntelHexReader::takeByte(char byte) {
    if (byte == '\n') return endLine();
    if (lineSize_ < sizeof line_) {
        line_[lineSize_++] = byte;
        return;
    }
    // One byte more than any record: judge what is there, then refuse.
    if (summary_.records == 0 && line_[0] != ':') return decide(HexVerdict::NotIntelHex);
    damage("longer than any record (over " + std::to_string(kLongestRecordLine) + " characters)");
}

void IntelHexReader::endLine() {
    size_t size = lineSize_;
    if (size > 0 && line_[size - 1] == '\r') --size;
    lineSize_ = 0;
    if (size == 0) {
        ++lineNumber_;
        return;
    }
    if (endRecordLine_ != 0) {
        return damage("text after the end-of-file record of line " +
                      std::to_string(endRecordLine_));
    }
    if (line_[0] != ':') {
        if (summary_.records > 0) return damage("does not start with ':'");
        return decide(HexVerdict::NotIntelHex);
    }
    uint8_t bytes[kLongestRecordLine / 2];
    size_t count = 0;
    for (size_t at = 1; at < size; at += 2) {
        int high = hexValue(line_[at]);
        int low = at + 1 < size ? hexValue(line_[at + 1]) : 0;
        if (high < 0 || low < 0) {
            size_t column = high < 0 ? at : at + 1;
            return damage("byte " + hexByte(static_cast<uint8_t>(line_[column])) + " at column " +
                          std::to_string(column + 1) + " is not a hex digit");
        }
        bytes[count++] = static_cast<uint8_t>(high * 16 + low);
    }
    if (size % 2 == 0) return damage("an odd number of hex digits");
    judgeRecord(bytes, count);
    if (!decided_) ++lineNumber_;
}

void IntelHexReader::judgeRecord(const uint8_t* bytes, size_t count) {
    if (count < kRecordOverhead) return damage("too short for a record");
    size_t length = bytes[kLengthAt];
    if (count != length + kRecordOverhead) {
        return damage("its length field says " + std::to_string(length) +
                      " data bytes, the line holds " + std::to_string(count - kRecordOverhead));
    }
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < count; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
    uint8_t expected = static_cast<uint8_t>(0x100 - sum);
    if (bytes[count - 1] != expected) {
        return damage("checksum " + hexByte(bytes[count - 1]) + ", the record needs " +
                      hexByte(expected));
    }
    uint8_t type = bytes[kTypeAt];
    if (type > kStartLinearAddress) return damage("unknown record type " + hexByte(type));
    if (type != kData && static_cast<int>(length) != kLengthOfType[type]) {
        return damage("record type " + hexByte(type) + " with " + std::to_string(length) +
                      " data bytes instead of " + std::to_string(kLengthOfType[type]));
    }
    ++summary_.records;
    uint64_t value = type == kData || length < 2 ? 0 : bigEndian16(bytes + kDataAt);
    if (type == kEndOfFile) endRecordLine_ = lineNumber_;
    if (type == kExtendedSegmentAddress) base_ = value << 4;
    if (type == kExtendedLinearAddress) base_ = value << 16;
    if (type != kData || length == 0) return;
    uint64_t first = base_ + bigEndian16(bytes + kAddressAt);
    uint64_t last = first + length - 1;
    if (summary_.dataBytes == 0 || first < summary_.lowestAddress) summary_.lowestAddress = first;
    if (summary_.dataBytes == 0 || last > summary_.highestAddress) summary_.highestAddress = last;
    summary_.dataBytes += length;
}

void IntelHexReader::decide(HexVerdict verdict) {
    summary_.verdict = verdict;
    decided_ = true;
}

void IntelHexReader::damage(const std::string& why, size_t line) {
    summary_.line = line != 0 ? line : lineNumber_;
    summary_.why = why;
    decide(HexVerdict::Damaged);
}

HexSummary IntelHexReader::finish() {
    if (!decided_ && lineSize_ > 0) endLine();  // a last line without its line feed
    if (decided_) return summary_;
    if (endRecordLine_ == 0) {
        damage(summary_.records == 0 ? "no record at all"
                                     : "the file ends here, without its end-of-file record",
               lineNumber_ > 1 ? lineNumber_ - 1 : 1);
    } else if (summary_.dataBytes == 0) {
        damage("end-of-file record, and not one data byte before it", endRecordLine_);
    } else {
        decide(HexVerdict::Valid);
    }
    return summary_;
}

HexSummary readIntelHex(const std::string& text) {
    IntelHexReader reader;
    reader.feed(text.data(), text.size());
    return reader.finish();
}

}  // namespace vantrel::doctor
