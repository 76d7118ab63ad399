#include "wire/frame_splitter.h"

#include <algorithm>

namespace vantrel::wire {

namespace {

bool isLead(uint8_t byte) {
    return byte == kLeadStandard || byte == kLeadExtended;
}

// Payload bytes of the extended frame that begins `frame` (its three header
// bytes at least), under the limit.
size_t extendedPayloadSize(const Bytes& frame, size_t payloadLimit) {
    size_t written = static_cast<size_t>(frame[1]) << 8 | frame[2];
    return std::min(written, payloadLimit);
}

}  // namespace

std::vector<Bytes> FrameSplitter::feed(const uint8_t* data, size_t size) {
    std::vector<Bytes> pieces;
    for (size_t i = 0; i < size; ++i) take(data[i], &pieces);
    return pieces;
}

Bytes FrameSplitter::flush() {
    Bytes rest;
    rest.swap(piece_);
    return rest;
}

void FrameSplitter::take(uint8_t byte, std::vector<Bytes>* pieces) {
    if (!inFrame_ && isLead(byte)) {
        if (!piece_.empty()) pieces->push_back(flush());  // a run of other bytes ends here
        inFrame_ = true;
        frame_.assign(1, byte);
    } else if (inFrame_) {
        frame_.push_back(byte);
    }
    piece_.push_back(byte);
    if (inFrame_ && frameComplete()) {
        inFrame_ = false;
        pieces->push_back(flush());
    }
}

bool FrameSplitter::frameComplete() const {
    if (frame_[0] == kLeadStandard) return frame_.size() == kStandardFrameSize;
    if (frame_.size() < kExtendedHeaderSize) return false;
    return frame_.size() == kExtendedFrameOverhead + extendedPayloadSize(frame_, payloadLimit_);
}

std::optional<SplitFrame> wholeFrame(const Bytes& piece, size_t payloadLimit) {
    size_t header = 0;
    size_t payloadSize = 0;
    if (!piece.empty() && piece[0] == kLeadStandard) {
        header = 1;
        payloadSize = kStandardPayloadSize;
    } else if (piece.size() >= kExtendedHeaderSize && piece[0] == kLeadExtended) {
        header = kExtendedHeaderSize;
        payloadSize = extendedPayloadSize(piece, payloadLimit);
    } else {
        return std::nullopt;
    }
    if (piece.size() != header + payloadSize + 1) return std::nullopt;
    SplitFrame frame;
    frame.lead = piece[0];
    frame.payload.assign(piece.begin() + static_cast<long>(header), piece.end() - 1);
    frame.checksumGood = payloadChecksum(frame.payload.data(), payloadSize) == piece.back();
    return frame;
}

}  // namespace vantrel::wire
