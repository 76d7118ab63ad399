#include "tests/unit/unit_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/daemon_state.h"
#include "link/serial_port.h"

namespace vantrel::test {

namespace fs = std::filesystem;

void DaemonTest::SetUp() {
    std::string pattern = (fs::temp_directory_path() / "vantrel-unit-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << "cannot create a temporary root";
    root_ = pattern;
    for (const char* name : {"VANTREL_ROOT", "VANTREL_LOG", "VANTREL_TIME_SCALE"}) {
        const char* value = getenv(name);
        savedEnvironment_.emplace_back(name,
                                       value ? std::optional<std::string>(value) : std::nullopt);
    }
    setenv("VANTREL_ROOT", root_.c_str(), 1);
    setenv("VANTREL_LOG", logFilePath().c_str(), 1);
    setTimeScale("0.001");
    resetDaemonState();
    selectSerialDevice(nullptr);
}

void DaemonTest::TearDown() {
    if (gState.serialFd > 0) closeSerial();
    selectSerialDevice(nullptr);
    resetDaemonState();
    for (const auto& [name, value] : savedEnvironment_) {
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
    std::error_code ignored;
    if (!root_.empty()) fs::remove_all(root_, ignored);
}

Lines DaemonTest::logLines() const {
    return splitLines(readWholeFile(logFilePath()));
}

void DaemonTest::clearLog() const {
    std::remove(logFilePath().c_str());
}

void DaemonTest::writeFile(const std::string& relative, const std::string& content) const {
    fs::path path = rootPath(relative);
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string DaemonTest::readFile(const std::string& relative) const {
    return readWholeFile(rootPath(relative));
}

bool DaemonTest::fileExists(const std::string& relative) const {
    struct stat info;
    return lstat(rootPath(relative).c_str(), &info) == 0;
}

void DaemonTest::makeDirectory(const std::string& relative) const {
    fs::create_directories(rootPath(relative));
}

void DaemonTest::setTimeScale(const char* scale) const {
    setenv("VANTREL_TIME_SCALE", scale, 1);
}

StderrCapture::StderrCapture(const std::string& file) : file_(file) {
    fflush(stderr);
    savedFd_ = dup(STDERR_FILENO);
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
}

std::string StderrCapture::finish() {
    if (savedFd_ >= 0) {
        fflush(stderr);
        dup2(savedFd_, STDERR_FILENO);
        close(savedFd_);
        savedFd_ = -1;
    }
    return readWholeFile(file_);
}

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

Lines splitLines(const std::string& text) {
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace vantrel::test
