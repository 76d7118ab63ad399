// What the board sends while the probe listens, counted frame by frame as
// the daemon's receive loop would read it: the tools' one frame splitter with
// the daemon's payload limit, so an extended frame longer than the daemon
// takes ends where the daemon would take its checksum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "common/daemon_state.h"
#include "wire/frame_splitter.h"

namespace vantrel::doctor {

class FrameTally {
  public:
    void feed(const uint8_t* data, size_t size);

    bool sawWholeFrames() const { return !standard_.empty() || !extended_.empty(); }
    size_t bytes() const { return bytes_; }
    bool noisy() const { return checksumFailures_ > 0 || strayBytes() > 0; }

    // "in 0.5 s: 96 bytes; standard M=12; ...; motion 24.0/s", with checksum
    // failures, stray bytes and a frame the listening cut short.
    std::string summary(double seconds) const;

  private:
    void count(const wire::Bytes& piece);
    // Those counted, and a run the splitter holds until a lead byte ends it.
    size_t strayBytes() const;

    wire::FrameSplitter splitter_{kMaxPayloadSize};
    std::map<int, size_t> standard_;  // good frames by letter
    std::map<int, size_t> extended_;  // by command, -1 for an empty payload
    size_t checksumFailures_ = 0;
    size_t stray_ = 0;  // bytes outside any frame, in the pieces so far
    size_t bytes_ = 0;
};

}  // namespace vantrel::doctor
