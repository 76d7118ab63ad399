#include "tests/unit/unit_fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "common/daemon_state.h"
#include "link/serial_port.h"

namespace vantrel::test {

namespace fs = std::filesystem;

uint8_t sum(const Bytes& bytes) {
    unsigned total = 0;
    for (uint8_t byte : bytes) total += byte;
    return static_cast<uint8_t>(total);
}

Bytes standard(Bytes payload) {
    payload.resize(6, 0);
    return Bytes{'U'} + payload + Bytes{sum(payload)};
}

Bytes extended(const Bytes& payload) {
    uint8_t high = static_cast<uint8_t>(payload.size() >> 8);
    return Bytes{'Z', high, static_cast<uint8_t>(payload.size())} + payload + Bytes{sum(payload)};
}

Bytes sequence(size_t count, uint8_t first, uint8_t step) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i * step);
    return bytes;
}

void DaemonTest::SetUp() {
    std::string pattern = (fs::temp_directory_path() / "vantrel-unit-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << "cannot create a temporary root";
    root_ = pattern;
    setenv("VANTREL_ROOT", root_.c_str(), 1);
    setenv("VANTREL_LOG", rootPath("/vantrel.log").c_str(), 1);
    setTimeScale("0.001");
    resetDaemonState();
    selectSerialDevice(nullptr);
}

void DaemonTest::TearDown() {
    if (gState.serialFd > 0) closeSerial();
    selectSerialDevice(nullptr);
    resetDaemonState();
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

Lines DaemonTest::logLines() const {
    return splitLines(readFile("/vantrel.log"));
}

void DaemonTest::clearLog() const {
    std::remove(rootPath("/vantrel.log").c_str());
}

void DaemonTest::writeFile(const std::string& relative, const std::string& content) const {
    fs::path path = rootPath(relative);
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string DaemonTest::readFile(const std::string& relative) const {
    return readWhole(rootPath(relative));
}

bool DaemonTest::fileExists(const std::string& relative) const {
    std::error_code ignored;
    return fs::exists(fs::symlink_status(rootPath(relative), ignored));
}

void DaemonTest::makeDirectory(const std::string& relative) const {
    fs::create_directories(rootPath(relative));
}

StderrCapture::StderrCapture(const std::string& file) : file_(file) {
    fflush(stderr);
    savedFd_ = dup(STDERR_FILENO);
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    dup2(fd, STDERR_FILENO);
    close(fd);
}

std::string StderrCapture::finish() {
    if (savedFd_ >= 0) {
        fflush(stderr);
        dup2(savedFd_, STDERR_FILENO);
        close(savedFd_);
        savedFd_ = -1;
    }
    return readWhole(file_);
}

}  // namespace vantrel::test
