// The base fixture of the unit tests: every test gets a temporary directory as
// VANTREL_ROOT, a log file of its own as VANTREL_LOG, a small time scale and a
// fresh DaemonState; the environment is put back afterwards.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vantrel::test {

using Lines = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

inline Bytes operator+(Bytes front, const Bytes& back) {
    for (uint8_t byte : back) front.push_back(byte);
    return front;
}

inline Lines operator+(Lines front, const Lines& back) {
    front.insert(front.end(), back.begin(), back.end());
    return front;
}

class DaemonTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    const std::string& root() const { return root_; }
    std::string rootPath(const std::string& relative) const { return root_ + relative; }

    // The log records written so far, one entry per line; clearLog() empties them.
    Lines logLines() const;
    void clearLog() const;
    std::string logFilePath() const { return rootPath("/vantrel.log"); }

    // Files under the root; parent directories are created as needed.
    void writeFile(const std::string& relative, const std::string& content) const;
    std::string readFile(const std::string& relative) const;
    bool fileExists(const std::string& relative) const;
    void makeDirectory(const std::string& relative) const;
    void setTimeScale(const char* scale) const;

  private:
    std::string root_;
    std::vector<std::pair<std::string, std::optional<std::string>>> savedEnvironment_;
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

std::string readWholeFile(const std::string& path);
Lines splitLines(const std::string& text);

}  // namespace vantrel::test
