#include "tools/doctor/frame_tally.h"

#include <cstdio>
#include <utility>

#include "link/protocol.h"

namespace vantrel::doctor {

namespace {

// "; standard A=1 M=12": one kind of frame with the count of each key, a key
// as its letter when `letters` and it prints, else as its number.
std::string countsText(const char* kind, const std::map<int, size_t>& frames, bool letters) {
    if (frames.empty()) return "";
    std::string text = std::string("; ") + kind;
    for (const auto& [key, count] : frames) {
        bool letter = letters && key >= 0x20 && key < 0x7f;
        text += " " + (letter ? std::string(1, static_cast<char>(key)) : std::to_string(key)) +
                "=" + std::to_string(count);
    }
    return text;
}

// "; motion 24.0/s; light 12.0/s" for the streams that came.
std::string ratesText(const std::map<int, size_t>& standard, double seconds) {
    std::string text;
    for (const auto& [letter, name] :
         {std::pair<int, const char*>{kLetterMotion, "motion"}, {kLetterLight, "light"}}) {
        auto found = standard.find(letter);
        if (found == standard.end() || seconds <= 0) continue;
        char rate[48];
        snprintf(rate, sizeof rate, "; %s %.1f/s", name,
                 static_cast<double>(found->second) / seconds);
        text += rate;
    }
    return text;
}

}  // namespace

void FrameTally::feed(const uint8_t* data, size_t size) {
    bytes_ += size;
    for (const wire::Bytes& piece : splitter_.feed(data, size)) count(piece);
}

void FrameTally::count(const wire::Bytes& piece) {
    std::optional<wire::SplitFrame> frame = wire::wholeFrame(piece, kMaxPayloadSize);
    if (!frame) {
        stray_ += piece.size();  // the splitter's other pieces are runs of stray bytes
    } else if (!frame->checksumGood) {
        ++checksumFailures_;
    } else {
        int key = frame->payload.empty() ? -1 : frame->payload[0];
        ++(frame->lead == kLeadStandard ? standard_ : extended_)[key];
    }
}

size_t FrameTally::strayBytes() const {
    return stray_ + (splitter_.insideFrame() ? 0 : splitter_.pending().size());
}

std::string FrameTally::summary(double seconds) const {
    char head[64];
    snprintf(head, sizeof head, "in %.1f s: %zu bytes", seconds, bytes_);
    std::string text = head;
    text += countsText("standard", standard_, true);
    text += countsText("extended", extended_, false);
    if (checksumFailures_ > 0)
        text += "; " + std::to_string(checksumFailures_) + " checksum failures";
    if (strayBytes() > 0) text += "; " + std::to_string(strayBytes()) + " stray bytes";
    text += ratesText(standard_, seconds);
    if (splitter_.insideFrame()) text += "; the last frame was cut short";
    return text;
}

}  // namespace vantrel::doctor
