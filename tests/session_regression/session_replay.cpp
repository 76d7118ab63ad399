#include "session_regression/session_replay.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "session_regression/replay_report.h"
#include "support/process_harness.h"

namespace vantrel::test {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr char kBanner[] = "* Scan for messages...";
// Long enough that the board always answers within the ACK window on a
// loaded machine (4 x 50 ms), short enough for the start pause (0.5 s).
constexpr double kDefaultTimeScale = 0.1;
constexpr Millis kStartLimit{30000};  // ten identification attempts with resets fit
constexpr Millis kIdleLimit{20000};
constexpr Millis kSettle{100};
constexpr Millis kStuckSettle{300};
constexpr Millis kPoll{5};
constexpr char kTraceFile[] = "wait-trace.log";

enum class Phase { Receiving, Ended, Stuck, TooLong };

// The scenario lines of the header that may come more than once, in order
// ("# env: A=1", "# stand-in: am: sleep 1"...): the session parser keeps only
// the last one of each key.
std::multimap<std::string, std::string> headerLines(const std::string& text) {
    std::multimap<std::string, std::string> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line) && (line.empty() || line[0] != '@')) {
        if (line.rfind("# ", 0) != 0) continue;
        size_t colon = line.find(": ", 2);
        if (colon == std::string::npos || line.find(' ', 2) < colon) continue;
        lines.emplace(line.substr(2, colon - 2), line.substr(colon + 2));
    }
    return lines;
}

std::vector<std::string> valuesOf(const std::multimap<std::string, std::string>& lines,
                                  const std::string& key) {
    std::vector<std::string> values;
    auto [first, last] = lines.equal_range(key);
    for (auto it = first; it != last; ++it) values.push_back(it->second);
    return values;
}

std::string firstValue(const std::multimap<std::string, std::string>& lines,
                       const std::string& key) {
    auto it = lines.find(key);
    return it == lines.end() ? "" : it->second;
}

std::string expand(std::string text, const ProcessHarness& h) {
    for (const auto& [name, value] : {std::pair<std::string, std::string>{"$ROOT", h.root()},
                                      {"$STANDINS", ProcessHarness::standInDirectory()}}) {
        for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at)) {
            text.replace(at, name.size(), value);
            at += value.size();
        }
    }
    return text;
}

// Gives the k-th command with a letter the k-th "@on" block of that letter
// (the last block for every later one): after each command the board has
// taken, the answer for the next one is put in place.
class AnswerSequencer {
  public:
    AnswerSequencer(simboard::SimulatedBoard& board, const std::vector<session::Answer>& answers)
        : board_(board) {
        for (const session::Answer& answer : answers)
            blocks_[answer.letter].push_back(answer.bytes);
        update();
    }
    void update() {
        std::map<uint8_t, size_t> answered;
        for (const simboard::ReceivedCommand& command : board_.commands()) {
            if (command.checksumOk && command.mode == simboard::BoardMode::Firmware) {
                ++answered[command.letter()];
            }
        }
        for (const auto& [letter, blocks] : blocks_) {
            board_.setResponse(letter, blocks[std::min(answered[letter], blocks.size() - 1)]);
        }
    }

  private:
    simboard::SimulatedBoard& board_;
    std::map<uint8_t, std::vector<simboard::Bytes>> blocks_;
};

// Where the daemon is, from the outside: its process state, the last line of
// its wait trace, its read count and what waits unread on its port. The
// moment to send the stream's end SIGINT, or to look at the outputs, is when
// none of it has changed for a while.
class DaemonActivity {
  public:
    DaemonActivity(pid_t pid, const std::string& device, std::string trace)
        : pid_(pid), trace_(std::move(trace)) {
        device_ = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }
    ~DaemonActivity() {
        if (device_ >= 0) close(device_);
    }
    DaemonActivity(const DaemonActivity&) = delete;
    DaemonActivity& operator=(const DaemonActivity&) = delete;

    // True when the daemon sleeps (not running code) and its last traced
    // call is `line`, begun and not yet returned.
    bool sleepsIn(const std::string& line) const {
        return lastTraceLine() == line && state() == 'S';
    }
    // True once the daemon has waited for the link, with nothing left to
    // read, unchanged for `settle`. With `readOnly`, only a wait that no time
    // limit will end counts: a read inside a frame or a reply.
    bool settled(Millis settle, bool readOnly = false) {
        Snapshot now = take();
        bool waiting = now.state == 'S' && now.queued == 0 &&
                       (now.last == "wait end" || now.last == "child end" ||
                        (!readOnly && now.last.rfind("wait ", 0) == 0));
        if (!waiting || !quiet_ || !(*quiet_ == now)) {
            quiet_ = waiting ? std::optional<Snapshot>(now) : std::nullopt;
            quietSince_ = Clock::now();
            return false;
        }
        return Clock::now() - quietSince_ >= settle;
    }

  private:
    struct Snapshot {
        char state = '?';
        std::string last;
        long long traceSize = -1;
        long long reads = -1;
        int queued = -1;
        bool operator==(const Snapshot& o) const {
            return state == o.state && last == o.last && traceSize == o.traceSize &&
                   reads == o.reads && queued == o.queued;
        }
    };

    char state() const {
        std::ifstream file("/proc/" + std::to_string(pid_) + "/stat");
        std::string stat;
        std::getline(file, stat);
        size_t close = stat.rfind(')');
        return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : '?';
    }
    // Only the file's tail is read: a long stream leaves a long trace, and
    // this runs every few milliseconds. Trace lines are short.
    std::string lastTraceLine() const {
        std::ifstream file(trace_, std::ios::binary | std::ios::ate);
        std::streamoff size = file ? static_cast<std::streamoff>(file.tellg()) : 0;
        file.seekg(size > 64 ? size - 64 : 0);
        std::string line;
        std::string last;
        while (std::getline(file, line)) last = line;
        return last;
    }
    Snapshot take() const {
        Snapshot s;
        s.state = state();
        s.last = lastTraceLine();
        struct stat info;
        s.traceSize = stat(trace_.c_str(), &info) == 0 ? info.st_size : -1;
        std::ifstream io("/proc/" + std::to_string(pid_) + "/io");
        std::string key;
        long long value = 0;
        while (io >> key >> value) {
            if (key == "syscr:") s.reads = value;
        }
        if (device_ < 0 || ioctl(device_, FIONREAD, &s.queued) != 0) s.queued = -1;
        return s;
    }

    pid_t pid_;
    std::string trace_;
    int device_ = -1;
    std::optional<Snapshot> quiet_;
    Clock::time_point quietSince_;
};

// A session file and the world it asks for.
struct Scenario {
    const session::Session& session;
    std::multimap<std::string, std::string> lines;
    std::string sigint;  // "pause 5", "wait 10", "child": SIGINT when the daemon sleeps there
    std::string vanish;  // "on D", "after stream"
    std::map<std::string, std::string> fifos;  // pipeProx -> "small" | "none" | "churn"
};

void prepareWorld(ProcessHarness& h, const Scenario& s) {
    // VANTREL_TEST_TIME_SCALE slows every scenario down alike, for a daemon
    // under valgrind; the report does not change with the scale.
    const char* slower = getenv("VANTREL_TEST_TIME_SCALE");
    h.setTimeScale(slower != nullptr ? atof(slower)
                                     : s.session.timeScale.value_or(kDefaultTimeScale));
    h.setEnv("VANTREL_WAIT_TRACE", h.path(kTraceFile));
    for (const auto& [key, value] : s.session.properties) h.setProperty(key, value);
    if (s.session.image == "development") {
        h.writeFirmwareImageText("development build\n:00000001FF\n");
    } else if (s.session.image) {
        h.writeFirmwareImage(*s.session.image);
    }
    std::string mode = firstValue(s.lines, "mode");
    if (!mode.empty()) {
        std::optional<simboard::BoardMode> board = simboard::parseMode(mode);
        if (board) h.board().setMode(*board);
        if (!board) ADD_FAILURE() << "unknown board mode \"" << mode << "\"";
    }
    for (const std::string& path : valuesOf(s.lines, "remove")) {
        std::filesystem::remove_all(h.path(path));
    }
    for (const std::string& path : valuesOf(s.lines, "mkfifo")) mkfifo(h.path(path).c_str(), 0666);
    std::string link = firstValue(s.lines, "link");
    if (!link.empty()) h.board().linkAt(h.path(link));
    for (const std::string& file : valuesOf(s.lines, "write")) {
        size_t equals = file.find('=');
        h.writeFile(file.substr(0, equals), file.substr(equals + 1));
    }
    for (const std::string& entry : valuesOf(s.lines, "env")) {
        size_t equals = entry.find('=');
        h.setEnv(entry.substr(0, equals), expand(entry.substr(equals + 1), h));
    }
    for (const std::string& standIn : valuesOf(s.lines, "stand-in")) {
        size_t colon = standIn.find(": ");
        h.writeStandIn(standIn.substr(0, colon),
                       "#!/bin/sh\n" + expand(standIn.substr(colon + 2), h) + "\n");
    }
    if (s.vanish.rfind("on ", 0) == 0) h.board().vanishOnCommand(s.vanish.back());
}

void followBoard(ProcessHarness& h, AnswerSequencer& sequencer) {
    bool trace = getenv("VANTREL_TEST_TRACE") != nullptr;
    h.board().setListener([&sequencer, trace](const std::string& line) {
        if (trace) fprintf(stderr, "[board] %s\n", line.c_str());
        if (line.rfind("<- ", 0) == 0) sequencer.update();  // a command has been answered
    });
}

Phase waitForReceivePhase(ProcessHarness& h, DaemonActivity& activity) {
    auto deadline = Clock::now() + kStartLimit;
    while (Clock::now() < deadline) {
        if (h.daemonStdoutText().find(kBanner) != std::string::npos) return Phase::Receiving;
        if (!h.running()) return Phase::Ended;
        if (activity.settled(kStuckSettle, true)) return Phase::Stuck;
        std::this_thread::sleep_for(kPoll);
    }
    return Phase::TooLong;
}

// The stream as written; returns how many bytes the board could not send.
size_t sendStream(ProcessHarness& h, const session::Session& s, size_t* total) {
    size_t unsent = 0;
    for (const session::StreamStep& step : s.stream) {
        if (step.isDelay) {
            std::this_thread::sleep_for(step.delay);
            continue;
        }
        *total += step.bytes.size();
        if (!h.board().sendSteadily(step.bytes)) unsent += step.bytes.size();
    }
    return unsent;
}

std::string startText(Phase phase) {
    switch (phase) {
        case Phase::Receiving:
            return "receive phase reached";
        case Phase::Ended:
            return "ended before its receive phase; stream not sent";
        case Phase::Stuck:
            return "waits for a reply that never comes; stream not sent";
        case Phase::TooLong:
            break;
    }
    return "no receive phase within " + std::to_string(kStartLimit.count() / 1000) +
           " s; stream not sent";
}

// SIGINT once the daemon sleeps where the scenario says.
std::string interruptAt(ProcessHarness& h, DaemonActivity& activity, const std::string& where) {
    bool reached =
        waitUntil([&] { return !h.running() || activity.sleepsIn(where); }, kStartLimit, kPoll);
    if (!h.running()) return "ended before it slept in \"" + where + "\"";
    if (!reached) return "never slept in \"" + where + "\"";
    h.interrupt();
    return "SIGINT while it slept in \"" + where + "\"";
}

// Opens and closes a FIFO for reading as fast as it can until destroyed: a
// value the daemon writes after its open and after this reader's close fails
// with EPIPE (and raises SIGPIPE), as when the panel's reader restarts.
class ChurningReader {
  public:
    explicit ChurningReader(const std::string& path)
        : thread_([this, path]() {
              while (!stop_) {
                  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
                  if (fd >= 0) close(fd);
              }
          }) {}
    ~ChurningReader() {
        stop_ = true;
        thread_.join();
    }
    ChurningReader(const ChurningReader&) = delete;
    ChurningReader& operator=(const ChurningReader&) = delete;

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::string runReceivePhase(ProcessHarness& h, const Scenario& s, DaemonActivity& activity) {
    Phase phase = waitForReceivePhase(h, activity);
    std::string progress = startText(phase);
    if (phase != Phase::Receiving) return progress;
    std::vector<std::unique_ptr<ChurningReader>> churners;
    for (const auto& [name, mode] : s.fifos) {
        if (mode == "churn")
            churners.push_back(std::make_unique<ChurningReader>(h.path("data/") + name));
    }
    size_t total = 0;
    size_t unsent = sendStream(h, s.session, &total);
    progress += "; stream of " + std::to_string(total) + " bytes sent";
    if (unsent > 0) progress += " (" + std::to_string(unsent) + " of them dropped)";
    if (s.vanish == "after stream") {
        h.board().vanish();  // a hung-up port stays readable: the daemon never settles
        return progress + "; board vanished";
    }
    auto idle = [&] { return !h.running() || activity.settled(kSettle); };
    if (!waitUntil(idle, kIdleLimit, kPoll)) progress += "; still busy after the stream";
    return progress;
}

// Runs the scenario and ends the daemon; returns how far the run went.
std::string run(ProcessHarness& h, const Scenario& s, std::map<std::string, FifoReader>* readers) {
    std::vector<std::string> args;
    for (const std::string& arg : s.session.args) args.push_back(expand(arg, h));
    if (!h.start(args)) return "not started";
    for (const char* name : {"pipeProx", "pipeLight"}) {
        auto mode = s.fifos.find(name);
        if (mode != s.fifos.end() && (mode->second == "none" || mode->second == "churn")) continue;
        FifoReader reader = h.openFifo(name, 2s);
        if (mode != s.fifos.end() && mode->second == "small") reader.setCapacity(1);
        (*readers)[name] = std::move(reader);
    }
    DaemonActivity activity(h.pid(), h.board().slavePath(), h.path(kTraceFile));
    if (!s.sigint.empty()) {
        std::string progress = interruptAt(h, activity, s.sigint);
        h.waitForExit(kStartLimit);
        return progress;
    }
    std::string progress = runReceivePhase(h, s, activity);
    if (!h.running()) return progress + "; ended by itself";
    h.interrupt();
    h.waitForExit();
    return progress + "; ended after SIGINT";
}

std::string fileKind(const std::string& path) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) return "missing";
    if (S_ISFIFO(info.st_mode)) {
        char mode[16];
        snprintf(mode, sizeof mode, "fifo %03o", info.st_mode & 0777);
        return mode;
    }
    if (!S_ISREG(info.st_mode)) return "not a fifo";
    std::ifstream file(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return "regular file: " +
           simboard::hexText(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

ReplayFacts collect(ProcessHarness& h, std::map<std::string, FifoReader>& readers) {
    h.board().waitUntilBoardHasRead(2s);  // the daemon's last command may be on its way
    ReplayFacts facts;
    facts.root = h.root();
    facts.pty = h.board().slavePath();
    facts.exitStatus = h.exitStatus();
    facts.commands = h.board().commands();
    facts.loaderEvents = h.board().bslEvents();
    facts.bslshCalls = h.bslshCalls();
    facts.versionProperty = h.property("sys.com.zyn.sensor.version");
    facts.resetLine = h.gpioValue();
    for (const char* name : {"pipeProx", "pipeLight"}) {
        facts.pipeKinds.push_back(std::string(name) + " " + fileKind(h.path("data/") + name));
        auto reader = readers.find(name);
        if (reader != readers.end() && reader->second.isOpen()) {
            facts.values[name] = reader->second.drainValues(20ms);
        }
    }
    std::ifstream trace(h.path(kTraceFile));
    for (std::string line; std::getline(trace, line);) facts.waitTrace.push_back(line);
    facts.amLines = h.amLines();
    facts.stdoutText = h.daemonStdoutText();
    facts.stderrText = h.stderrText();
    facts.log = h.logRecords();
    return facts;
}

}  // namespace

std::string replaySession(const std::string& name, const session::Session& session,
                          const std::string& text) {
    Scenario scenario{session, headerLines(text), {}, {}, {}};
    static const std::set<std::string> kKeys = {
        "args", "property", "firmware", "image",  "time-scale", "board",
        "date", "what",     "mode",     "remove", "write",      "mkfifo",
        "link", "env",      "stand-in", "fifo",   "vanish",     "sigint"};
    for (const auto& [key, value] : scenario.lines) {
        if (kKeys.count(key) == 0) ADD_FAILURE() << "unknown header field \"" << key << ":\"";
    }
    scenario.sigint = firstValue(scenario.lines, "sigint");
    scenario.vanish = firstValue(scenario.lines, "vanish");
    for (const std::string& fifo : valuesOf(scenario.lines, "fifo")) {
        size_t blank = fifo.find(' ');
        std::string reader = blank == std::string::npos ? "" : fifo.substr(blank + 1);
        if (reader != "none" && reader != "small" && reader != "churn") {
            ADD_FAILURE() << "fifo: " << fifo << "?";
        }
        scenario.fifos[fifo.substr(0, blank)] = reader;
    }
    const std::string& vanish = scenario.vanish;
    if (!vanish.empty() && vanish != "after stream" &&
        !(vanish.size() == 4 && vanish.rfind("on ", 0) == 0)) {
        ADD_FAILURE() << "vanish: " << vanish << "?";
    }
    std::optional<AnswerSequencer> sequencer;  // outlives the board that calls it
    ProcessHarness h(session.firmware.value_or(simboard::FirmwareVersion{}));
    prepareWorld(h, scenario);
    sequencer.emplace(h.board(), session.answers);
    followBoard(h, *sequencer);
    std::map<std::string, FifoReader> readers;
    std::string progress = run(h, scenario, &readers);
    ReplayFacts facts = collect(h, readers);
    facts.progress = progress;
    for (const auto& [fifo, mode] : scenario.fifos) {
        if (mode == "churn") facts.churned.push_back(fifo);
    }
    h.board().setListener(nullptr);
    return formatReport(name, facts);
}

}  // namespace vantrel::test
