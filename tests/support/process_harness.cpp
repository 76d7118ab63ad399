#include "support/process_harness.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "simboard/simulated_image.h"

namespace vantrel::test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kRootPrefix[] = "vantrel-test";
constexpr char kSignalCaught[] = "Signal <2> Caught!";
constexpr Millis kInterruptRetry{3000};  // a second SIGINT would show in the report

// The daemon binary: VANTREL_TEST_DAEMON overrides the built one.
std::string daemonPath() {
    const char* custom = getenv("VANTREL_TEST_DAEMON");
    return custom != nullptr && *custom != '\0' ? custom : VANTREL_TEST_DAEMON_PATH;
}

}  // namespace

std::string readWhole(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) result.push_back(line);
    return result;
}

// ---- ProcessHarness: the world

ProcessHarness::ProcessHarness(simboard::FirmwareVersion firmware)
    : root_(kRootPrefix), board_(firmware) {
    root_.linkBoard(board_);
}

ProcessHarness::~ProcessHarness() {
    if (getenv("VANTREL_TEST_KEEP_ROOT") == nullptr) return;
    root_.keep();
    fprintf(stderr, "[harness] kept root %s\n", root().c_str());
}

std::optional<std::string> ProcessHarness::property(const std::string& key) const {
    struct stat info;
    if (lstat(path("properties/" + key).c_str(), &info) != 0) return std::nullopt;
    return readFile("properties/" + key);
}

void ProcessHarness::writeFile(const std::string& relative, const std::string& content) {
    std::ofstream file(path(relative), std::ios::binary | std::ios::trunc);
    file << content;
}

void ProcessHarness::writeFirmwareImage(simboard::FirmwareVersion firmware) {
    writeFirmwareImageText(simboard::simulatedImage(firmware));
}

void ProcessHarness::writeStandIn(const std::string& name, const std::string& script) {
    std::string file = std::string(desk::kOwnStandIns) + "/" + name;
    writeFile(file, script);
    chmod(path(file).c_str(), 0755);
}

std::string ProcessHarness::standInDirectory() {
    return VANTREL_TEST_STANDIN_DIR;
}

// ---- ProcessHarness: the daemon

bool ProcessHarness::start(const std::vector<std::string>& args) {
    char scale[32];
    snprintf(scale, sizeof scale, "%g", timeScale_);
    desk::Launch launch;
    launch.argv = {daemonPath()};
    launch.argv.insert(launch.argv.end(), args.begin(), args.end());
    launch.environment = desk::daemonEnvironment(desk::currentEnvironment(), root(),
                                                 {standInDirectory(), scale, envOverrides_});
    launch.stdoutPath = path(desk::kStdoutFile);
    launch.stderrPath = path(desk::kStderrFile);
    std::string error;
    if (daemon_.start(launch, &error)) return true;
    ADD_FAILURE() << "start: " << error;
    return false;
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
        daemon_.signal(SIGINT);
        bool seen = waitUntil([&]() { return !running() || caught() > caughtBefore; },
                              kInterruptRetry, Millis(5));
        if (seen) return true;
    }
    return false;
}

std::optional<int> ProcessHarness::waitForExit(Millis timeout) {
    std::optional<int> status = daemon_.waitForExit(timeout);
    if (status) return status;
    daemon_.kill();
    ADD_FAILURE() << "vantrel was still running after " << timeout.count()
                  << " ms and has been killed; its root: " << root();
    return std::nullopt;
}

// ---- ProcessHarness: outputs

std::string ProcessHarness::daemonStdoutText() const {
    std::istringstream lines(readFile(desk::kStdoutFile));
    std::string kept, line;
    while (std::getline(lines, line)) {
        if (line.rfind("am: ", 0) == 0 || line.rfind("bslsh: ", 0) == 0) continue;
        kept += lines.eof() ? line : line + "\n";  // the last line may lack its line feed
    }
    return kept;
}

std::vector<LogRecord> ProcessHarness::logRecords() const {
    static const std::string kTag = "/Vantrel: ";
    std::vector<LogRecord> records;
    for (const std::string& line : splitLines(readFile(desk::kDaemonLogFile))) {
        bool tagged = line.size() >= 1 + kTag.size() && line.compare(1, kTag.size(), kTag) == 0;
        records.push_back(tagged ? LogRecord{line[0], line.substr(1 + kTag.size())}
                                 : LogRecord{'?', line});
    }
    return records;
}

FifoReader ProcessHarness::openFifo(const std::string& name, Millis timeout) const {
    std::string fifo = root_.fifo(name);
    FifoReader reader;
    std::string error;
    if (waitUntil([&]() { return fifo::isFifo(fifo); }, timeout)) reader.open(fifo, &error);
    return reader;
}

}  // namespace vantrel::test
