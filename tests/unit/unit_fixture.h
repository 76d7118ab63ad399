// The base fixture of the unit tests. Every test runs against a root of its
// own: a temporary directory set as VANTREL_ROOT, a log file of its own as
// VANTREL_LOG, a small VANTREL_TIME_SCALE, and a PATH whose first directory,
// $ROOT/bin, holds the stand-ins for the platform's programs (a recording
// `am` by default). The daemon state is reset before every test.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vantrel::test {

// Environment variables put back to their values from before the test.
class SavedEnvironment {
  public:
    void save(const char* name);
    void restore();

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

class DaemonTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    const std::string& root() const { return root_; }
    std::string rootPath(const std::string& relative) const { return root_ + relative; }

    // The log records of this test, one entry per line, line feeds removed.
    std::vector<std::string> logLines() const;
    int countLogLines(const std::string& line) const;
    bool logHas(const std::string& line) const { return countLogLines(line) > 0; }
    std::string logFilePath() const { return rootPath("/vantrel.log"); }

    // Files under the root; parent directories are created as needed.
    void writeFile(const std::string& relative, const std::string& content) const;
    std::string readFile(const std::string& relative) const;
    bool fileExists(const std::string& relative) const;
    void makeDirectory(const std::string& relative) const;

    // An executable shell script named `name` in $ROOT/bin; `body` follows "#!/bin/sh".
    void installTool(const std::string& name, const std::string& body) const;
    // The argument lists the stand-in `am` was run with, one entry per run.
    std::vector<std::string> amCalls() const;

    void setTimeScale(const char* scale) const;
    void setPath(const std::string& path) const;
    std::string originalPath() const { return originalPath_; }

  private:
    std::string root_;
    std::string originalPath_;
    SavedEnvironment environment_;
    mode_t savedUmask_ = 022;
};

// Sends what the code under test writes to standard error into a file until
// finish() (or the destructor) puts the old standard error back.
class StderrCapture {
  public:
    explicit StderrCapture(const std::string& file);
    ~StderrCapture();
    std::string finish();

  private:
    std::string file_;
    int savedFd_ = -1;
};

// The read end of a sensor FIFO (created, with its directory, when missing),
// opened without waiting for a writer and closed with the object.
class FifoReader {
  public:
    explicit FifoReader(const std::string& path);
    ~FifoReader();
    FifoReader(const FifoReader&) = delete;
    FifoReader& operator=(const FifoReader&) = delete;
    int fd() const { return fd_; }
    // Every whole value waiting in the FIFO, oldest first.
    std::vector<int32_t> values() const;

  private:
    int fd_ = -1;
};

// handleSigint installed for SIGINT as the daemon installs it, for one scope.
class ScopedSigintHandler {
  public:
    ScopedSigintHandler();
    ~ScopedSigintHandler();

  private:
    struct sigaction previous_;
};

std::string readWholeFile(const std::string& path);
std::vector<std::string> splitLines(const std::string& text);

// The number of descriptors of this process that point at `target`.
int countOpenDescriptorsOn(const std::string& target);

}  // namespace vantrel::test
