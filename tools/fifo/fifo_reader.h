// A reader on one of the daemon's sensor FIFOs. The daemon opens a FIFO
// without blocking for every value and drops the value when nobody has the
// FIFO open, so the reader keeps it open all the time, with a write end of
// its own: a read between two values then finds the FIFO empty instead of at
// end of file. What arrives is cut into 4-byte values in host byte order, as
// the daemon writes them; a value cut between two reads is kept for the next.
//
// The monitor follows the daemon with it on the panel; on the desk the tests,
// the soak, the benchmark and the pipe reader read through it too.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::fifo {

// True when `path` names a FIFO (through a link too).
bool isFifo(const std::string& path);

class FifoReader {
  public:
    FifoReader() = default;
    ~FifoReader();
    FifoReader(FifoReader&& other) noexcept;
    FifoReader& operator=(FifoReader&& other) noexcept;
    FifoReader(const FifoReader&) = delete;
    FifoReader& operator=(const FifoReader&) = delete;

    // Opens the FIFO at `path` for reading, and for writing as its keeper.
    // False, with `error` saying why, when the path holds no FIFO or an open
    // fails; a reader that was open is closed first.
    bool open(const std::string& path, std::string* error);
    // Closes both ends. What the FIFO held goes with them, and so does the
    // part of a value read so far: a reader that comes back starts afresh.
    void close();
    bool isOpen() const { return reader_ >= 0; }
    int descriptor() const { return reader_; }  // -1 when closed, which poll passes over

    // Asks the kernel for a FIFO buffer of `bytes` (it rounds up to a page).
    bool setCapacity(int bytes);
    // Waits up to `timeout` for bytes to read; false on a closed reader.
    bool waitReadable(std::chrono::milliseconds timeout) const;
    // Bytes in the FIFO that no read has taken yet.
    int unreadBytes() const;

    // Reads all the FIFO holds now: the whole values among it, oldest first.
    std::vector<int32_t> readValues();
    // Reads until nothing has come for `quiet`. A value still cut short then
    // was left by a writer that went away in mid-value (the daemon writes
    // each value whole): it is dropped, so the values after it keep their
    // place.
    std::vector<int32_t> drainValues(std::chrono::milliseconds quiet);

  private:
    int reader_ = -1;
    int keeper_ = -1;
    uint8_t partial_[4] = {};  // the bytes of a value cut between two reads
    size_t partialSize_ = 0;
};

}  // namespace vantrel::fifo
