// Reads a firmware image as Intel HEX, the form bslsh flashes: every
// non-empty line one record, ':' and hex digits, its length, type and
// checksum right, the end-of-file record last. The text comes in pieces of
// any size and is judged line by line in a buffer of one record's length, so
// a 10 MB line or a binary file costs no more memory than a good image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vantrel::doctor {

// The longest line a record can be: ':', then length, address (2), type and
// checksum around at most 255 data bytes, two hex digits each, and a CR.
constexpr size_t kLongestRecordLine = 1 + 2 * (5 + 255) + 1;

enum class HexVerdict {
    Valid,        // every record good, the end-of-file record last
    Damaged,      // begins as Intel HEX and breaks at `line`
    NotIntelHex,  // its first non-empty line is no record: another kind of file
};

struct HexSummary {
    HexVerdict verdict = HexVerdict::Damaged;
    size_t records = 0;           // good records, the end-of-file record included
    size_t dataBytes = 0;         // bytes in data records
    uint64_t lowestAddress = 0;   // of a data byte, extended addresses applied
    uint64_t highestAddress = 0;  // of the last data byte
    size_t line = 0;              // Damaged: the line at fault, from 1
    std::string why;              // Damaged: what is wrong with it
};

class IntelHexReader {
  public:
    // The next bytes of the file. Once the image is judged damaged or not
    // Intel HEX, the rest is skipped at no cost.
    void feed(const char* bytes, size_t size);
    // The end of the file: the verdict on the whole.
    HexSummary finish();

  private:
    void takeByte(char byte);
    void endLine();
    void judgeRecord(const uint8_t* bytes, size_t count);
    void decide(HexVerdict verdict);                       // the rest of the file is skipped
    void damage(const std::string& why, size_t line = 0);  // 0: the line read now

    char line_[kLongestRecordLine] = {};
    size_t lineSize_ = 0;
    size_t lineNumber_ = 1;
    size_t endRecordLine_ = 0;  // the line of the end-of-file record, 0 before it
    uint64_t base_ = 0;         // from the last extended address record
    bool decided_ = false;
    HexSummary summary_;
};

// A whole text at once.
HexSummary readIntelHex(const std::string& text);

}  // namespace vantrel::doctor
