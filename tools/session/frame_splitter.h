// Cuts the bytes a board sends into session lines at frame boundaries, so a
// recording reads one frame a line: a standard frame is 'U' and 7 more bytes,
// an extended frame 'Z', two length bytes, the payload and its checksum (the
// length as the board wrote it), and a run of bytes that are neither lead byte
// is one line of its own. Garbage and broken frames are just lines: the split
// only decides where lines end, never which bytes are kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "wire/frames.h"

namespace vantrel::session {

class FrameSplitter {
  public:
    // The lines that these bytes complete, in order.
    std::vector<wire::Bytes> feed(const uint8_t* data, size_t size);
    // The bytes taken since the last complete line (empty when none). A frame
    // cut here goes on with the next bytes: the board paused inside it.
    wire::Bytes flush();

  private:
    void take(uint8_t byte, std::vector<wire::Bytes>* lines);
    void startFrame(uint8_t lead);
    bool frameComplete() const;

    wire::Bytes line_;   // bytes of the line being built
    wire::Bytes frame_;  // every byte of the current frame, across flushes
    bool inFrame_ = false;
};

}  // namespace vantrel::session
