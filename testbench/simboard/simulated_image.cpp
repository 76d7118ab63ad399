#include "simboard/simulated_image.h"

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace vantrel::simboard {

namespace {

constexpr uint16_t kVersionAddress = 0xFF80;
constexpr uint8_t kSignature[] = {'V', 'S', 'I', 'M'};
constexpr size_t kVersionRecordLength = sizeof kSignature + 3;  // signature, major, minor, patch
constexpr uint8_t kDataRecord = 0x00;

// ":LLAAAATT<data>CC" with the checksum that makes the bytes sum to zero.
std::string record(uint16_t address, uint8_t type, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(data.size()),
                                  static_cast<uint8_t>(address >> 8),
                                  static_cast<uint8_t>(address & 0xFF), type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (uint8_t byte : bytes) sum = static_cast<uint8_t>(sum + byte);
    bytes.push_back(static_cast<uint8_t>(0x100 - sum));
    std::string digits = wire::hexText(bytes);
    digits.erase(std::remove(digits.begin(), digits.end(), ' '), digits.end());
    return ":" + digits + "\n";
}

// The bytes of a record line; empty when it is not hex or its sum is wrong.
std::vector<uint8_t> recordBytes(const std::string& line) {
    std::string digits = line.substr(0, line.find_last_not_of('\r') + 1);
    if (digits.size() < 3 || digits[0] != ':' || digits.size() % 2 == 0) return {};
    std::vector<uint8_t> bytes;
    uint8_t sum = 0;
    for (size_t at = 1; at < digits.size(); at += 2) {
        std::string pair = digits.substr(at, 2);
        if (pair.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return {};
        auto value = static_cast<unsigned>(std::stoul(pair, nullptr, 16));
        bytes.push_back(static_cast<uint8_t>(value));
        sum = static_cast<uint8_t>(sum + value);
    }
    return sum == 0 ? bytes : std::vector<uint8_t>{};
}

}  // namespace

std::string simulatedImage(wire::FirmwareVersion firmware) {
    std::vector<uint8_t> version(std::begin(kSignature), std::end(kSignature));
    version.insert(version.end(), {firmware.major, firmware.minor, firmware.patch});
    return record(0, 0x04, {0x00, 0x00}) +
           record(0xC000, kDataRecord,
                  {0x31, 0x40, 0x00, 0x43, 0x15, 0x43, 0x2A, 0x14, 0xB2, 0x40, 0x80, 0x5A, 0x20,
                   0x01, 0x02, 0x43}) +
           record(kVersionAddress, kDataRecord, version) + record(0, 0x01, {});
}

std::optional<wire::FirmwareVersion> simulatedImageVersion(const std::string& text) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::vector<uint8_t> bytes = recordBytes(line);
        if (bytes.size() != kVersionRecordLength + 5 || bytes[0] != kVersionRecordLength ||
            bytes[1] * 256 + bytes[2] != kVersionAddress || bytes[3] != kDataRecord ||
            !std::equal(std::begin(kSignature), std::end(kSignature), bytes.begin() + 4)) {
            continue;
        }
        return wire::FirmwareVersion{bytes[8], bytes[9], bytes[10]};
    }
    return std::nullopt;
}

}  // namespace vantrel::simboard
