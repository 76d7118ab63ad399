#include "soak/sequence.h"

#include <algorithm>

namespace vantrel::soak {

namespace {

// Further ahead than this (about 20 s of one stream) is no gap but a stray.
constexpr uint64_t kPlausibleGap = 15000;

}  // namespace

uint16_t lightVis(uint64_t number) {
    return static_cast<uint16_t>(number % kModulus[kLight]);
}

void motionFields(uint64_t number, uint16_t* ps1, uint16_t* ps2) {
    uint64_t value = number % kModulus[kMotion];
    *ps1 = static_cast<uint16_t>(std::min<uint64_t>(value, 65535));
    *ps2 = static_cast<uint16_t>(value - *ps1);
}

void SpoilLedger::add(Stream stream, uint64_t first, uint64_t end) {
    std::lock_guard<std::mutex> lock(mutex_);
    ranges_[stream].emplace_back(first, end);
}

uint64_t SpoilLedger::count(Stream stream, uint64_t first, uint64_t end) const {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t inside = 0;
    for (const auto& [from, to] : ranges_[stream]) {
        uint64_t low = std::max(from, first);
        uint64_t high = std::min(to, end);
        if (low < high) inside += high - low;
    }
    return inside;  // cut frames come a whole round of faults apart: no overlap
}

void SequenceCheck::take(int32_t value, bool excused) {
    uint64_t modulus = kModulus[stream_];
    if (value < 0 || static_cast<uint64_t>(value) >= modulus) {
        ++counts_.stray;
        return;
    }
    uint64_t ahead = (static_cast<uint64_t>(value) + modulus - counts_.next % modulus) % modulus;
    if (ahead > kPlausibleGap) {
        ++counts_.stray;
        return;
    }
    gap(counts_.next + ahead, excused);
    ++counts_.received;
    ++counts_.next;
}

void SequenceCheck::closeAt(uint64_t sent) {
    if (sent > counts_.next) gap(sent, false);
}

void SequenceCheck::gap(uint64_t end, bool excused) {
    uint64_t missing = end - counts_.next;
    if (excused) {
        counts_.dropped += missing;
    } else {
        uint64_t spoiled = spoils_.count(stream_, counts_.next, end);
        counts_.spoiled += spoiled;
        counts_.lost += missing - spoiled;
    }
    counts_.next = end;
}

}  // namespace vantrel::soak
