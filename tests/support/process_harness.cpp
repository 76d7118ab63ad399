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

extern char** environ;

namespace vantrel::test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kLogFile[] = "vantrel.log";
constexpr char kAmLogFile[] = "am.log";
constexpr char kBslshLogFile[] = "bslsh-argv.log";
constexpr char kSignalCaught[] = "Signal <2> Caught!";
constexpr Millis kInterruptRetry{300};

std::string readWhole(const std::string& path, size_t from = 0) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return "";
    if (from > 0) file.seekg(static_cast<std::streamoff>(from));
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

size_t fileSize(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<size_t>(info.st_size) : 0;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) result.push_back(line);
    return result;
}

void writeWhole(const std::string& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
}

std::string tail(const std::string& text, size_t count) {
    std::vector<std::string> all = lines(text);
    std::string result;
    size_t first = all.size() > count ? all.size() - count : 0;
    for (size_t i = first; i < all.size(); ++i) result += all[i] + "\n";
    return result;
}

int statusOf(int waitStatus) {
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
    return -1;
}

bool isFifo(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

}  // namespace

bool waitUntil(const std::function<bool()>& condition, Millis timeout, Millis poll) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(poll);
    }
}

// ---- FifoReader

FifoReader::FifoReader(const std::string& path, Millis appearTimeout) : path_(path) {
    if (!waitUntil([&]() { return isFifo(path); }, appearTimeout)) return;
    reader_ = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (reader_ < 0) return;
    keeper_ = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
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
        path_ = std::move(other.path_);
        reader_ = other.reader_;
        keeper_ = other.keeper_;
        pending_ = std::move(other.pending_);
        other.reader_ = -1;
        other.keeper_ = -1;
    }
    return *this;
}

void FifoReader::closeAll() {
    if (keeper_ >= 0) close(keeper_);
    if (reader_ >= 0) close(reader_);
    keeper_ = reader_ = -1;
}

int FifoReader::setCapacity(int bytes) {
    if (reader_ < 0) return -1;
    fcntl(reader_, F_SETPIPE_SZ, bytes);
    return fcntl(reader_, F_GETPIPE_SZ);
}

bool FifoReader::fill(size_t count, Millis timeout) {
    if (reader_ < 0) return false;
    auto deadline = Clock::now() + timeout;
    while (pending_.size() < count) {
        uint8_t buffer[256];
        ssize_t got = read(reader_, buffer, sizeof buffer);
        if (got > 0) {
            pending_.insert(pending_.end(), buffer, buffer + got);
            continue;
        }
        auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        struct pollfd readable = {reader_, POLLIN, 0};
        poll(&readable, 1, static_cast<int>(left));
    }
    return true;
}

std::optional<std::vector<uint8_t>> FifoReader::readBytes(size_t count, Millis timeout) {
    if (!fill(count, timeout)) return std::nullopt;
    std::vector<uint8_t> bytes(pending_.begin(), pending_.begin() + static_cast<long>(count));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(count));
    return bytes;
}

std::optional<int32_t> FifoReader::readValue(Millis timeout) {
    auto bytes = readBytes(sizeof(int32_t), timeout);
    if (!bytes) return std::nullopt;
    int32_t value;
    memcpy(&value, bytes->data(), sizeof value);
    return value;
}

std::vector<int32_t> FifoReader::drainValues(Millis quiet) {
    std::vector<int32_t> values;
    while (auto value = readValue(quiet)) values.push_back(*value);
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
    for (const char* folder :
         {"data", "dev", "sys/class/gpio/gpio101", "vendor/.sensor", "properties", "bin"}) {
        std::filesystem::create_directories(path(folder));
    }
    writeFile("sys/class/gpio/gpio101/value", "0");
    board_ = std::make_unique<simboard::SimulatedBoard>(firmware);
    if (getenv("VANTREL_TEST_TRACE") != nullptr) {
        board_->setListener(
            [](const std::string& line) { fprintf(stderr, "[board] %s\n", line.c_str()); });
    }
    if (!board_->linkAt(devicePath())) {
        throw std::runtime_error("cannot link " + devicePath() + ": " + strerror(errno));
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

void ProcessHarness::clearProperty(const std::string& key) {
    unlink(path("properties/" + key).c_str());
}

std::optional<std::string> ProcessHarness::property(const std::string& key) const {
    if (!exists("properties/" + key)) return std::nullopt;
    return readFile("properties/" + key);
}

void ProcessHarness::writeFile(const std::string& relative, const std::string& content) {
    writeWhole(path(relative), content);
}

std::string ProcessHarness::readFile(const std::string& relative) const {
    return readWhole(path(relative));
}

bool ProcessHarness::exists(const std::string& relative) const {
    struct stat info;
    return lstat(path(relative).c_str(), &info) == 0;
}

void ProcessHarness::writeFirmwareImage(const std::string& versionText) {
    writeFirmwareImageText(
        ":020000040000FA\n"
        "; version " +
        versionText +
        "\n"
        ":10C000003140004315432A14B240805A200102437E\n"
        ":00000001FF\n");
}

void ProcessHarness::writeFirmwareImageText(const std::string& content) {
    writeFile("vendor/.sensor/sensor.hex", content);
}

void ProcessHarness::setTimeScale(double scale) {
    timeScale_ = scale;
}

void ProcessHarness::setEnv(const std::string& name, const std::string& value) {
    envOverrides_[name] = value;
}

void ProcessHarness::unsetEnv(const std::string& name) {
    envOverrides_[name] = std::nullopt;
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
    for (const auto& [name, value] : envOverrides_) {
        if (value) {
            env[name] = *value;
        } else {
            env.erase(name);
        }
    }
    std::vector<std::string> result;
    for (const auto& [name, value] : env) result.push_back(name + "=" + value);
    return result;
}

std::string ProcessHarness::runFile(const char* suffix) const {
    return path("run-" + std::to_string(runs_) + suffix);
}

bool ProcessHarness::start(const std::vector<std::string>& args) {
    if (running()) {
        ADD_FAILURE() << "start: vantrel is still running (pid " << pid_ << ")";
        return false;
    }
    ++runs_;
    runLogStart_ = fileSize(path(kLogFile));
    exitStatus_.reset();

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
    int out = open(runFile(".stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = open(runFile(".stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
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

void ProcessHarness::sendSignal(int signal) {
    if (pid_ > 0) kill(pid_, signal);
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
    size_t caughtBefore = logCount(kSignalCaught);
    auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        sendSignal(SIGINT);
        bool seen =
            waitUntil([&]() { return !running() || logCount(kSignalCaught) > caughtBefore; },
                      kInterruptRetry, Millis(5));
        if (seen) return true;
    }
    return false;
}

std::optional<int> ProcessHarness::waitForExit(Millis timeout) {
    if (waitUntil([&]() { return !running(); }, timeout, Millis(5))) return exitStatus_;
    std::string state = diagnostics();
    killGroup();
    ADD_FAILURE() << "vantrel was still running after " << timeout.count()
                  << " ms and has been killed\n"
                  << state;
    return std::nullopt;
}

int ProcessHarness::stop(Millis timeout) {
    if (!interrupt(timeout)) {
        ADD_FAILURE() << "SIGINT was not taken within " << timeout.count() << " ms";
    }
    return waitForExit(timeout).value_or(-1);
}

// ---- ProcessHarness: outputs

std::string ProcessHarness::stdoutText() const {
    return readWhole(runFile(".stdout"));
}

std::string ProcessHarness::daemonStdoutText() const {
    std::string text = stdoutText();
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
    return readWhole(runFile(".stderr"));
}

std::string ProcessHarness::logText() const {
    return readWhole(path(kLogFile), runLogStart_);
}

std::string ProcessHarness::allLogText() const {
    return readWhole(path(kLogFile));
}

std::vector<LogRecord> ProcessHarness::logRecords() const {
    static const std::string kTag = "/Vantrel: ";
    std::vector<LogRecord> records;
    for (const std::string& line : lines(logText())) {
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

size_t ProcessHarness::logCount(const std::string& text) const {
    size_t count = 0;
    for (const LogRecord& record : logRecords()) {
        if (record.message.find(text) != std::string::npos) ++count;
    }
    return count;
}

std::vector<std::string> ProcessHarness::amLines() const {
    return lines(readWhole(path(kAmLogFile)));
}

std::vector<std::string> ProcessHarness::bslshCalls() const {
    return lines(readWhole(path(kBslshLogFile)));
}

bool ProcessHarness::waitForLog(const std::string& text, Millis timeout, size_t count) const {
    return waitUntil([&]() { return logCount(text) >= count; }, timeout);
}

bool ProcessHarness::waitForStdout(const std::string& text, Millis timeout) const {
    return waitUntil([&]() { return stdoutText().find(text) != std::string::npos; }, timeout);
}

bool ProcessHarness::waitForStderr(const std::string& text, Millis timeout) const {
    return waitUntil([&]() { return stderrText().find(text) != std::string::npos; }, timeout);
}

bool ProcessHarness::waitForAm(const std::string& text, Millis timeout) const {
    return waitUntil(
        [&]() {
            for (const std::string& line : amLines()) {
                if (line.find(text) != std::string::npos) return true;
            }
            return false;
        },
        timeout);
}

FifoReader ProcessHarness::openFifo(const std::string& name, Millis timeout) const {
    return FifoReader(path("data/" + name), timeout);
}

std::string ProcessHarness::diagnostics() const {
    std::ostringstream text;
    text << "--- root " << root_ << " (run " << runs_ << ")\n";
    text << "--- stdout\n" << stdoutText();
    text << "--- stderr\n" << stderrText();
    text << "--- log (last 40 lines of this run)\n" << tail(logText(), 40);
    text << "--- board: mode " << simboard::modeName(board_->mode()) << ", firmware "
         << board_->version().text() << "; commands:";
    for (const simboard::ReceivedCommand& command : board_->commands()) {
        text << " " << simboard::describeCommand(command.payload);
    }
    text << "\n--- loader events:";
    for (const std::string& event : board_->bslEvents()) text << " " << event;
    text << "\n";
    return text.str();
}

}  // namespace vantrel::test
