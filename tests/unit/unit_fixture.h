// The base fixture of the unit tests: every test gets a temporary directory as
// VANTREL_ROOT, a log file of its own as VANTREL_LOG, a small time scale and a
// fresh DaemonState.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/process_harness.h"  // readWhole, splitLines

namespace vantrel::test {

using Lines = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

template <typename T>
std::vector<T> operator+(std::vector<T> front, const std::vector<T>& back) {
    front.insert(front.end(), back.begin(), back.end());
    return front;
}

// Frames as the board sends them: 'U', the payload padded to six bytes and
// its sum; 'Z', the payload's length high byte first, the payload and its sum.
// Spelled out here, not taken from link/protocol.h: a wrong byte there must
// fail these tables, not move with them.
uint8_t sum(const Bytes& bytes);
Bytes standard(Bytes payload);
Bytes extended(const Bytes& payload);
// `count` bytes: first, first + step, first + 2 * step... (modulo 256).
Bytes sequence(size_t count, uint8_t first = 0, uint8_t step = 1);

class DaemonTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    const std::string& root() const { return root_; }
    std::string rootPath(const std::string& relative) const { return root_ + relative; }

    // The log records so far, one entry per line; clearLog() empties them.
    Lines logLines() const;
    void clearLog() const;

    // Files under the root; parent directories are created as needed.
    void writeFile(const std::string& relative, const std::string& content) const;
    std::string readFile(const std::string& relative) const;
    bool fileExists(const std::string& relative) const;
    void makeDirectory(const std::string& relative) const;
    void setTimeScale(const char* scale) const { setenv("VANTREL_TIME_SCALE", scale, 1); }

  private:
    std::string root_;
};

// Sends standard error into `file` until finish() (or the destructor).
class StderrCapture {
  public:
    explicit StderrCapture(const std::string& file);
    ~StderrCapture() { finish(); }
    std::string finish();

  private:
    std::string file_;
    int savedFd_ = -1;
};

}  // namespace vantrel::test
