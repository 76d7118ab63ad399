#include "support/process_harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "common/paths.h"
#include "simboard/simulated_image.h"

extern char** environ;

namespace vantrel::test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kLogFile[] = "vantrel.log";
constexpr char kAmLogFile[] = "am.log";
constexpr char kBslshLogFile[] = "bslsh-argv.log";
constexpr char kStdoutFile[] = "stdout";
constexpr char kStderrFile[] = "stderr";
constexpr char kSignalCaught[] = "Signal <2> Caught!";
constexpr Millis kInterruptRetry{3000};  // a second SIGINT would show in the report

void writeWhole(const std::string& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
}

int statusOf(int waitStatus) {
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
    return -1;
}

// "/sys/class/gpio/gpio101" of "/sys/class/gpio/gpio101/value".
std::string folderOf(const char* fixedPath) {
    std::string path = fixedPath;
    return path.substr(0, path.find_last_of('/'));
}

bool isFifo(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

}  // namespace

std::string readWhole(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return "";
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) result.push_back(line);
    return result;
}

bool waitUntil(const std::function<bool()>& condition, Millis timeout, Millis poll) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(poll);
    }
}

// ---- FifoReader

FifoReader::FifoReader(const std::string& path, Millis appearTimeout) {
    if (!waitUntil([&]() { return isFifo(path); }, appearTimeout)) return;
    reader_ = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (reader_ >= 0) keeper_ = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
}

FifoReader::~FifoReader() {
    closeAll();
}

FifoReader::FifoReader(FifoReader&& other) noexcept {
    *this = std::move(other);
}

FifoReader& FifoReader::operator=(FifoReader&& other) noexcept {
    if (this != &other) {
        closeAll();
        std::swap(reader_, other.reader_);
        std::swap(keeper_, other.keeper_);
    }
    return *this;
}

void FifoReader::closeAll() {
    if (keeper_ >= 0) close(keeper_);
    if (reader_ >= 0) close(reader_);
    keeper_ = reader_ = -1;
}

void FifoReader::setCapacity(int bytes) {
    if (reader_ >= 0) fcntl(reader_, F_SETPIPE_SZ, bytes);
}

std::vector<int32_t> FifoReader::drainValues(Millis quiet) {
    std::vector<uint8_t> bytes;
    struct pollfd readable = {reader_, POLLIN, 0};
    while (reader_ >= 0 && poll(&readable, 1, static_cast<int>(quiet.count())) > 0) {
        uint8_t buffer[4096];
        ssize_t got = read(reader_, buffer, sizeof buffer);
        if (got <= 0) break;
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    std::vector<int32_t> values(bytes.size() / sizeof(int32_t));
    if (!values.empty()) memcpy(values.data(), bytes.data(), values.size() * sizeof(int32_t));
    return values;
}

// ---- ProcessHarness: the world

ProcessHarness::ProcessHarness(simboard::FirmwareVersion firmware) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vantrel-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) {
        throw std::runtime_error("mkdtemp " + pattern + ": " + strerror(errno));
    }
    root_ = name.data();
    for (const std::string& folder :
         {folderOf(kPathPipeProximity), folderOf(kPathSerialPort), folderOf(kPathResetLine),
          folderOf(kPathFirmwareImage), std::string("properties"), std::string("bin")}) {
        std::filesystem::create_directories(path(folder));
    }
    writeFile(kPathResetLine, "0");
    board_ = std::make_unique<simboard::SimulatedBoard>(firmware);
    if (!board_->linkAt(path(kPathSerialPort))) {
        throw std::runtime_error(std::string("cannot link ") + kPathSerialPort + ": " +
                                 strerror(errno));
    }
}

ProcessHarness::~ProcessHarness() {
    if (running()) killGroup();
    board_.reset();
    if (getenv("VANTREL_TEST_KEEP_ROOT") == nullptr) {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    } else {
        fprintf(stderr, "[harness] kept root %s\n", root_.c_str());
    }
}

std::string ProcessHarness::path(const std::string& relative) const {
    if (!relative.empty() && relative[0] == '/') return root_ + relative;
    return root_ + "/" + relative;
}

void ProcessHarness::setProperty(const std::string& key, const std::string& value) {
    writeFile("properties/" + key, value);
}

std::optional<std::string> ProcessHarness::property(const std::string& key) const {
    struct stat info;
    if (lstat(path("properties/" + key).c_str(), &info) != 0) return std::nullopt;
    return readFile("properties/" + key);
}

void ProcessHarness::writeFile(const std::string& relative, const std::string& content) {
    writeWhole(path(relative), content);
}

std::string ProcessHarness::readFile(const std::string& relative) const {
    return readWhole(path(relative));
}

void ProcessHarness::writeFirmwareImage(simboard::FirmwareVersion firmware) {
    writeFirmwareImageText(simboard::simulatedImage(firmware));
}

void ProcessHarness::writeFirmwareImageText(const std::string& content) {
    writeFile(kPathFirmwareImage, content);
}

std::string ProcessHarness::gpioValue() const {
    return readFile(kPathResetLine);
}

void ProcessHarness::setTimeScale(double scale) {
    timeScale_ = scale;
}

void ProcessHarness::setEnv(const std::string& name, const std::string& value) {
    envOverrides_[name] = value;
}

void ProcessHarness::writeStandIn(const std::string& name, const std::string& script) {
    std::string file = path("bin/" + name);
    writeWhole(file, script);
    chmod(file.c_str(), 0755);
}

std::string ProcessHarness::daemonPath() {
    const char* custom = getenv("VANTREL_TEST_DAEMON");
    return custom != nullptr && *custom != '\0' ? custom : VANTREL_TEST_DAEMON_PATH;
}

std::string ProcessHarness::standInDirectory() {
    return VANTREL_TEST_STANDIN_DIR;
}

// ---- ProcessHarness: the daemon

std::vector<std::string> ProcessHarness::buildEnvironment() const {
    std::map<std::string, std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        size_t equals = text.find('=');
        if (equals == std::string::npos) continue;
        std::string name = text.substr(0, equals);
        if (name.compare(0, 8, "VANTREL_") == 0) continue;
        env[name] = text.substr(equals + 1);
    }
    char scale[32];
    snprintf(scale, sizeof scale, "%g", timeScale_);
    std::string outerPath = env.count("PATH") ? env["PATH"] : "/usr/bin:/bin";
    env["PATH"] = path("bin") + ":" + standInDirectory() + ":" + outerPath;
    env["VANTREL_ROOT"] = root_;
    env["VANTREL_LOG"] = path(kLogFile);
    env["VANTREL_TIME_SCALE"] = scale;
    env["VANTREL_AM_LOG"] = path(kAmLogFile);
    env["VANTREL_BSLSH_ARGV_LOG"] = path(kBslshLogFile);
    for (const auto& [name, value] : envOverrides_) env[name] = value;
    std::vector<std::string> result;
    for (const auto& [name, value] : env) result.push_back(name + "=" + value);
    return result;
}

bool ProcessHarness::start(const std::vector<std::string>& args) {
    // Everything the child needs is built before fork: the board's threads
    // run on, so the child may only make async-signal-safe calls.
    std::string program = daemonPath();
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<std::string> envStrings = buildEnvironment();
    std::vector<char*> argv;
    for (std::string& arg : argStrings) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& entry : envStrings) envp.push_back(entry.data());
    envp.push_back(nullptr);

    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int out = open(path(kStdoutFile).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = open(path(kStderrFile).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (in < 0 || out < 0 || err < 0) {
        ADD_FAILURE() << "start: cannot open the output files in " << root_;
        return false;
    }
    pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGINT, SIG_DFL);
        signal(SIGPIPE, SIG_DFL);
        execve(argv[0], argv.data(), envp.data());
        static const char kFailed[] = "harness: exec of vantrel failed\n";
        (void)!write(STDERR_FILENO, kFailed, sizeof kFailed - 1);
        _exit(127);
    }
    close(in);
    close(out);
    close(err);
    if (child < 0) {
        ADD_FAILURE() << "start: fork failed: " << strerror(errno);
        return false;
    }
    setpgid(child, child);  // also here, so the group exists before any kill
    pid_ = child;
    return true;
}

bool ProcessHarness::running() {
    if (pid_ < 0) return false;
    int status = 0;
    pid_t ended = waitpid(pid_, &status, WNOHANG);
    if (ended == 0) return true;
    if (ended == pid_) exitStatus_ = statusOf(status);
    pid_ = -1;
    return false;
}

void ProcessHarness::killGroup() {
    if (pid_ < 0) return;
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    int status = 0;
    if (waitpid(pid_, &status, 0) == pid_) exitStatus_ = statusOf(status);
    pid_ = -1;
}

bool ProcessHarness::interrupt(Millis timeout) {
    if (!running()) return true;
    auto caught = [&]() {
        size_t count = 0;
        for (const LogRecord& record : logRecords()) count += record.message == kSignalCaught;
        return count;
    };
    size_t caughtBefore = caught();
    auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        kill(pid_, SIGINT);
        bool seen = waitUntil([&]() { return !running() || caught() > caughtBefore; },
                              kInterruptRetry, Millis(5));
        if (seen) return true;
    }
    return false;
}

std::optional<int> ProcessHarness::waitForExit(Millis timeout) {
    if (waitUntil([&]() { return !running(); }, timeout, Millis(5))) return exitStatus_;
    killGroup();
    ADD_FAILURE() << "vantrel was still running after " << timeout.count()
                  << " ms and has been killed; its root: " << root_;
    return std::nullopt;
}

// ---- ProcessHarness: outputs

std::string ProcessHarness::daemonStdoutText() const {
    std::string text = readWhole(path(kStdoutFile));
    std::string kept;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(start, end - start);
        if (line.rfind("am: ", 0) != 0 && line.rfind("bslsh: ", 0) != 0) kept += line;
        start = end;
    }
    return kept;
}

std::string ProcessHarness::stderrText() const {
    return readWhole(path(kStderrFile));
}

std::vector<LogRecord> ProcessHarness::logRecords() const {
    static const std::string kTag = "/Vantrel: ";
    std::vector<LogRecord> records;
    for (const std::string& line : splitLines(readWhole(path(kLogFile)))) {
        LogRecord record;
        if (line.size() >= 1 + kTag.size() && line.compare(1, kTag.size(), kTag) == 0) {
            record.priority = line[0];
            record.message = line.substr(1 + kTag.size());
        } else {
            record.message = line;
        }
        records.push_back(record);
    }
    return records;
}

std::vector<std::string> ProcessHarness::amLines() const {
    return splitLines(readWhole(path(kAmLogFile)));
}

std::vector<std::string> ProcessHarness::bslshCalls() const {
    return splitLines(readWhole(path(kBslshLogFile)));
}

FifoReader ProcessHarness::openFifo(const std::string& name, Millis timeout) const {
    return FifoReader(path(folderOf(kPathPipeProximity) + "/" + name), timeout);
}

}  // namespace vantrel::test
