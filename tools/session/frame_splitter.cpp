#include "session/frame_splitter.h"

namespace vantrel::session {

using wire::Bytes;

namespace {

bool isLead(uint8_t byte) {
    return byte == wire::kLeadStandard || byte == wire::kLeadExtended;
}

}  // namespace

std::vector<Bytes> FrameSplitter::feed(const uint8_t* data, size_t size) {
    std::vector<Bytes> lines;
    for (size_t i = 0; i < size; ++i) take(data[i], &lines);
    return lines;
}

Bytes FrameSplitter::flush() {
    Bytes rest;
    rest.swap(line_);
    return rest;
}

void FrameSplitter::take(uint8_t byte, std::vector<Bytes>* lines) {
    if (!inFrame_ && isLead(byte)) {
        if (!line_.empty()) lines->push_back(flush());  // a run of other bytes ends here
        startFrame(byte);
    } else if (inFrame_) {
        frame_.push_back(byte);
    }
    line_.push_back(byte);
    if (inFrame_ && frameComplete()) {
        inFrame_ = false;
        lines->push_back(flush());
    }
}

void FrameSplitter::startFrame(uint8_t lead) {
    inFrame_ = true;
    frame_.assign(1, lead);
}

bool FrameSplitter::frameComplete() const {
    if (frame_[0] == wire::kLeadStandard) return frame_.size() == wire::kStandardFrameSize;
    if (frame_.size() < 3) return false;
    size_t payload = static_cast<size_t>(frame_[1]) << 8 | frame_[2];
    return frame_.size() == 4 + payload;
}

}  // namespace vantrel::session
