// Cuts the bytes a board sends at frame boundaries, the one way the tools
// read a stream of frames: the recorder writes a session one line per piece,
// the doctor counts what its probe hears. A standard frame is 'U' and 7 more
// bytes, an extended frame 'Z', two length bytes, the payload and its
// checksum, and a run of bytes that are neither lead byte is one piece of its
// own. Garbage and broken frames are just pieces: the split only decides
// where pieces end, never which bytes are kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "wire/frames.h"

namespace vantrel::wire {

// An extended frame as long as its length field says (the recorder: a
// session keeps the board's very frames).
constexpr size_t kPayloadAsWritten = 0xFFFF;

class FrameSplitter {
  public:
    // `payloadLimit`: the most payload bytes an extended frame takes; the
    // byte after them is its checksum. kMaxPayloadSize reads the stream as
    // the daemon's receive loop does.
    explicit FrameSplitter(size_t payloadLimit = kPayloadAsWritten) : payloadLimit_(payloadLimit) {}

    // The pieces that these bytes complete, in order.
    std::vector<Bytes> feed(const uint8_t* data, size_t size);
    // The bytes taken since the last complete piece (empty when none). A frame
    // cut here goes on with the next bytes: the board paused inside it.
    Bytes flush();
    // The bytes flush() would return, left where they are.
    const Bytes& pending() const { return piece_; }
    // True when the bytes taken so far end inside a frame.
    bool insideFrame() const { return inFrame_; }

  private:
    void take(uint8_t byte, std::vector<Bytes>* pieces);
    bool frameComplete() const;

    size_t payloadLimit_;
    Bytes piece_;  // bytes of the piece being built
    Bytes frame_;  // every byte of the current frame, across flushes
    bool inFrame_ = false;
};

// A piece read as one whole frame.
struct SplitFrame {
    uint8_t lead = 0;
    Bytes payload;  // of an extended frame: at most the splitter's limit
    bool checksumGood = false;
};

// The frame that `piece` holds when it is exactly one whole frame under this
// payload limit; nullopt for a run of other bytes and for a frame cut short.
std::optional<SplitFrame> wholeFrame(const Bytes& piece, size_t payloadLimit = kPayloadAsWritten);

}  // namespace vantrel::wire
