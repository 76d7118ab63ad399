#include "session_regression/session_replay.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

#include "daemon/run.h"
#include "session_regression/replay_report.h"
#include "support/process_harness.h"
#include "tools/proc/process_figures.h"

namespace vantrel::test {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Long enough that the board always answers within the ACK window on a
// loaded machine (4 x 50 ms), short enough for the start pause (0.5 s).
constexpr double kDefaultTimeScale = 0.1;
constexpr Millis kStartLimit{30000};  // ten identification attempts with resets fit
constexpr Millis kIdleLimit{20000};
constexpr Millis kSettle{100};
constexpr Millis kStuckSettle{300};
constexpr Millis kPoll{5};
constexpr double kReceiveWaitSeconds = 10;  // the daemon's wait for a lead byte, unscaled
// An unplugged board is followed for two passes of the receive loop. A loop
// that pauses after each hang-up line takes a few milliseconds of CPU for
// them, even under emulation; one that spins takes about a second a second.
constexpr char kHangUpPause[] = "pause 10";
constexpr size_t kHangUpPasses = 2;
constexpr Millis kHangUpLimit{5000};
constexpr double kHangUpCpuBound = 0.25;

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
    replaceAll(&text, "$ROOT", h.root());
    replaceAll(&text, "$STANDINS", ProcessHarness::standInDirectory());
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
    // How many traced calls `line` the daemon has begun so far.
    size_t begun(const std::string& line) const {
        std::vector<std::string> lines = splitLines(readWhole(trace_));
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
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
    // Quiet seen so far does not count: bytes may be on their way to the port.
    void forgetQuiet() { quiet_.reset(); }

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
        std::vector<std::string> fields = proc::statFields(pid_);
        return fields.empty() ? '?' : fields[0][0];
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
        std::ifstream io(proc::procPath(pid_, "io"));
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

double timeScaleOf(const Scenario& s) {
    // VANTREL_TEST_TIME_SCALE slows every scenario down alike, for a daemon
    // under valgrind; the report does not change with the scale.
    const char* slower = getenv("VANTREL_TEST_TIME_SCALE");
    return slower != nullptr ? atof(slower) : s.session.timeScale.value_or(kDefaultTimeScale);
}

// As the daemon makes its own: mode 666 whatever the replay's umask.
void makeFifo(ProcessHarness& h, const std::string& relative) {
    std::filesystem::create_directories(std::filesystem::path(h.path(relative)).parent_path());
    mkfifo(h.path(relative).c_str(), 0666);
    chmod(h.path(relative).c_str(), 0666);
}

// "PATH=TEXT": a file under the root.
void writeUnderRoot(ProcessHarness& h, const std::string& file) {
    size_t equals = file.find('=');
    std::filesystem::create_directories(
        std::filesystem::path(h.path(file.substr(0, equals))).parent_path());
    h.writeFile(file.substr(0, equals), file.substr(equals + 1));
}

// True when a stream step makes the FIFO data/<name>: its reader comes then.
bool madeInStream(const session::Session& session, const std::string& name) {
    for (const session::StreamStep& step : session.stream) {
        if (step.mkfifo == "data/" + name) return true;
    }
    return false;
}

void prepareWorld(ProcessHarness& h, const Scenario& s) {
    h.setTimeScale(timeScaleOf(s));
    h.setEnv("VANTREL_WAIT_TRACE", h.path(kWaitTraceFile));
    for (const auto& [key, value] : s.session.properties) h.setProperty(key, value);
    if (s.session.image == "development") {
        h.writeFirmwareImageText("development build\n:00000001FF\n");
    } else if (s.session.image) {  // the session parser took only X.Y.Z besides
        h.writeFirmwareImage(*simboard::FirmwareVersion::parse(*s.session.image));
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
    for (const std::string& path : valuesOf(s.lines, "mkfifo")) makeFifo(h, path);
    std::string link = firstValue(s.lines, "link");
    if (!link.empty()) h.board().linkAt(h.path(link));
    for (const std::string& file : valuesOf(s.lines, "write")) writeUnderRoot(h, file);
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

// "" once the daemon reads in its receive phase, else why the stream is not sent.
std::string waitForReceivePhase(ProcessHarness& h, DaemonActivity& activity) {
    auto deadline = Clock::now() + kStartLimit;
    while (Clock::now() < deadline) {
        if (h.daemonStdoutText().find(kReceiveBanner) != std::string::npos) return "";
        if (!h.running()) return "ended before its receive phase; stream not sent";
        if (activity.settled(kStuckSettle, true)) {
            return "waits for a reply that never comes; stream not sent";
        }
        std::this_thread::sleep_for(kPoll);
    }
    return "no receive phase within " + std::to_string(kStartLimit.count() / 1000) +
           " s; stream not sent";
}

// What the stream did besides its bytes: the quiet stretches it held (pauses
// longer than twice the daemon's receive wait) and how many of them brought
// at least one "select timedout!" record.
struct StreamOutcome {
    size_t total = 0;   // bytes
    size_t unsent = 0;  // bytes the board could not send
    size_t quietStretches = 0;
    size_t quietWithRecord = 0;
};

size_t timeOutRecords(const ProcessHarness& h) {
    size_t count = 0;
    for (const LogRecord& record : h.logRecords()) {
        count += record.message.find(kTimeOutRecord) != std::string::npos;
    }
    return count;
}

// A pause of the stream; one that is a quiet stretch is watched for the
// daemon's time-out record.
void holdQuiet(const ProcessHarness& h, const Scenario& s, Millis delay, StreamOutcome* out) {
    double waitSeconds = kReceiveWaitSeconds * timeScaleOf(s);
    bool quietStretch = delay.count() / 1000.0 > 2 * waitSeconds;
    size_t before = quietStretch ? timeOutRecords(h) : 0;
    std::this_thread::sleep_for(delay);
    if (!quietStretch) return;
    ++out->quietStretches;
    out->quietWithRecord += timeOutRecords(h) > before;
}

// The reader the scenario gives the daemon's FIFO `name`, if any.
void attachReader(ProcessHarness& h, const Scenario& s, const std::string& name,
                  std::map<std::string, FifoReader>* readers) {
    auto mode = s.fifos.find(name);
    if (mode != s.fifos.end() && (mode->second == "none" || mode->second == "churn")) return;
    FifoReader reader = h.openFifo(name, 2s);
    if (mode != s.fifos.end() && mode->second == "small") reader.setCapacity(1);
    (*readers)[name] = std::move(reader);
}

// A file the stream makes: once the daemon has taken in what came before, so
// that the file is there for what comes after and only that. A FIFO of the
// daemon's gets its reader at once.
void makeInStream(ProcessHarness& h, const Scenario& s, const session::StreamStep& step,
                  DaemonActivity& activity, std::map<std::string, FifoReader>* readers) {
    waitUntil([&] { return !h.running() || activity.settled(kSettle); }, kIdleLimit, kPoll);
    if (!step.write.empty()) {
        writeUnderRoot(h, step.write);
        return;
    }
    makeFifo(h, step.mkfifo);
    for (const char* name : {"pipeProx", "pipeLight"}) {
        if (step.mkfifo == std::string("data/") + name) attachReader(h, s, name, readers);
    }
}

StreamOutcome sendStream(ProcessHarness& h, const Scenario& s, DaemonActivity& activity,
                         std::map<std::string, FifoReader>* readers) {
    StreamOutcome out;
    for (const session::StreamStep& step : s.session.stream) {
        if (step.isDelay) {
            holdQuiet(h, s, step.delay, &out);
        } else if (!step.mkfifo.empty() || !step.write.empty()) {
            makeInStream(h, s, step, activity, readers);
        } else {
            out.total += step.bytes.size();
            if (!h.board().sendSteadily(step.bytes)) out.unsent += step.bytes.size();
        }
    }
    return out;
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

// Whether the daemon blocks SIGPIPE (SigBlk in /proc/PID/status). The churn
// catches a write into a FIFO whose reader just left only when its timing
// meets one; the mask says every time whether such a write would end it.
bool blocksSigpipe(pid_t pid) {
    for (const std::string& line :
         splitLines(readWhole("/proc/" + std::to_string(pid) + "/status")))
        if (line.rfind("SigBlk:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> (SIGPIPE - 1) & 1) != 0;
    return false;
}

// The board unplugged in the receive phase: its port hangs up and stays
// readable with nothing to read. Returns once the daemon sleeps in its second
// pause after the vanish (or after kHangUpLimit), with the CPU time it took.
std::string unplug(ProcessHarness& h, DaemonActivity& activity) {
    double cpuBefore = proc::cpuSeconds(h.pid());
    size_t pausesBefore = activity.begun(kHangUpPause);
    h.board().vanish();
    bool paused = waitUntil(
        [&] {
            return !h.running() || (activity.begun(kHangUpPause) >= pausesBefore + kHangUpPasses &&
                                    activity.sleepsIn(kHangUpPause));
        },
        kHangUpLimit, kPoll);
    double cpu = proc::cpuSeconds(h.pid()) - cpuBefore;
    char text[160];
    snprintf(text, sizeof text, "board vanished; %s; CPU time meanwhile %s %.2f s",
             paused ? "asleep in its second pause after it" : "no second pause within 5 s",
             cpu < kHangUpCpuBound ? "under" : "at least", kHangUpCpuBound);
    return text;
}

std::string runReceivePhase(ProcessHarness& h, const Scenario& s, DaemonActivity& activity,
                            std::map<std::string, FifoReader>* readers) {
    std::string failure = waitForReceivePhase(h, activity);
    if (!failure.empty()) return failure;
    std::string progress = "receive phase reached";
    std::vector<std::unique_ptr<ChurningReader>> churners;
    for (const auto& [name, mode] : s.fifos) {
        if (mode == "churn")
            churners.push_back(std::make_unique<ChurningReader>(h.path("data/") + name));
    }
    if (!churners.empty())
        progress += blocksSigpipe(h.pid()) ? "; SIGPIPE blocked" : "; SIGPIPE not blocked";
    StreamOutcome sent = sendStream(h, s, activity, readers);
    progress += "; stream of " + std::to_string(sent.total) + " bytes sent";
    if (sent.unsent > 0) progress += " (" + std::to_string(sent.unsent) + " of them dropped)";
    if (sent.quietStretches > 0) {
        progress += "; " + std::to_string(sent.quietStretches) +
                    " quiet stretch(es) over twice the receive wait, " +
                    std::to_string(sent.quietWithRecord) + " with a time-out record";
    }
    if (s.vanish == "after stream") return progress + "; " + unplug(h, activity);
    activity.forgetQuiet();
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
        if (!madeInStream(s.session, name)) attachReader(h, s, name, readers);
    }
    DaemonActivity activity(h.pid(), h.board().slavePath(), h.path(kWaitTraceFile));
    if (!s.sigint.empty()) {
        std::string progress = interruptAt(h, activity, s.sigint);
        h.waitForExit(kStartLimit);
        return progress;
    }
    std::string progress = runReceivePhase(h, s, activity, readers);
    if (!h.running()) return progress + "; ended by itself";
    h.interrupt();
    h.waitForExit();
    return progress + "; ended after SIGINT";
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
    std::string report = formatReport(name, h, progress, readers, scenario.fifos);
    h.board().setListener(nullptr);
    return report;
}

}  // namespace vantrel::test
