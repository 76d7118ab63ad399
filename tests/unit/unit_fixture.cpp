#include "tests/unit/unit_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/daemon_state.h"
#include "daemon/run.h"
#include "link/serial_port.h"

namespace vantrel::test {

namespace fs = std::filesystem;

void SavedEnvironment::save(const char* name) {
    const char* value = getenv(name);
    saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
}

void SavedEnvironment::restore() {
    for (const auto& [name, value] : saved_) {
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
    saved_.clear();
}

void DaemonTest::SetUp() {
    std::string pattern = (fs::temp_directory_path() / "vantrel-unit-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << "cannot create a temporary root";
    root_ = pattern;
    for (const char* name : {"VANTREL_ROOT", "VANTREL_LOG", "VANTREL_TIME_SCALE", "PATH"}) {
        environment_.save(name);
    }
    const char* path = getenv("PATH");
    originalPath_ = path ? path : "/usr/bin:/bin";
    setenv("VANTREL_ROOT", root_.c_str(), 1);
    setenv("VANTREL_LOG", logFilePath().c_str(), 1);
    setTimeScale("0.001");
    setPath(rootPath("/bin") + ":" + originalPath_);
    installTool("am", "printf '%s\\n' \"$*\" >> '" + rootPath("/am.calls") + "'\n");
    savedUmask_ = umask(022);
    umask(savedUmask_);
    resetDaemonState();
    selectSerialDevice(nullptr);
}

void DaemonTest::TearDown() {
    closeSerial();
    selectSerialDevice(nullptr);
    resetDaemonState();
    umask(savedUmask_);
    environment_.restore();
    std::error_code ignored;
    if (!root_.empty()) fs::remove_all(root_, ignored);
}

std::vector<std::string> DaemonTest::logLines() const {
    return splitLines(readWholeFile(logFilePath()));
}

int DaemonTest::countLogLines(const std::string& line) const {
    auto lines = logLines();
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
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

void DaemonTest::installTool(const std::string& name, const std::string& body) const {
    std::string relative = "/bin/" + name;
    writeFile(relative, "#!/bin/sh\n" + body);
    ASSERT_EQ(chmod(rootPath(relative).c_str(), 0755), 0);
}

std::vector<std::string> DaemonTest::amCalls() const {
    return splitLines(readFile("/am.calls"));
}

void DaemonTest::setTimeScale(const char* scale) const {
    setenv("VANTREL_TIME_SCALE", scale, 1);
}

void DaemonTest::setPath(const std::string& path) const {
    setenv("PATH", path.c_str(), 1);
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

StderrCapture::~StderrCapture() {
    finish();
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

FifoReader::FifoReader(const std::string& path) {
    fs::create_directories(fs::path(path).parent_path());
    mkfifo(path.c_str(), 0666);
    fd_ = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_GE(fd_, 0) << "cannot open the FIFO " << path;
}

FifoReader::~FifoReader() {
    if (fd_ >= 0) close(fd_);
}

std::vector<int32_t> FifoReader::values() const {
    std::vector<int32_t> all;
    int32_t value;
    while (read(fd_, &value, sizeof value) == static_cast<ssize_t>(sizeof value)) {
        all.push_back(value);
    }
    return all;
}

ScopedSigintHandler::ScopedSigintHandler() {
    struct sigaction action = {};
    action.sa_handler = handleSigint;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &previous_);
}

ScopedSigintHandler::~ScopedSigintHandler() {
    sigaction(SIGINT, &previous_, nullptr);
}

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

int countOpenDescriptorsOn(const std::string& target) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        char link[PATH_MAX];
        ssize_t length = readlink(entry.path().c_str(), link, sizeof link - 1);
        if (length <= 0) continue;
        if (std::string(link, static_cast<size_t>(length)) == target) ++count;
    }
    return count;
}

}  // namespace vantrel::test
