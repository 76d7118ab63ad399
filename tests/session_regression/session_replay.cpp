#include "session_regression/session_replay.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <optional>
#include <thread>

#include "session_regression/daemon_activity.h"
#include "session_regression/replay_report.h"
#include "support/process_harness.h"

namespace vantrel::test {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr char kBanner[] = "* Scan for messages...";
// Long enough that the board always answers within the ACK window on a
// loaded machine (4 x 25 ms), short enough for the start pause (0.25 s).
constexpr double kDefaultTimeScale = 0.05;
constexpr Millis kStartLimit{30000};  // ten identification attempts with resets fit
constexpr Millis kIdleLimit{20000};
constexpr Millis kSettle{100};
constexpr Millis kStuckSettle{300};
constexpr Millis kPoll{10};

enum class Phase { Receiving, Ended, Stuck, TooLong };

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

void prepareWorld(ProcessHarness& h, const session::Session& s) {
    h.setTimeScale(s.timeScale.value_or(kDefaultTimeScale));
    for (const auto& [key, value] : s.properties) h.setProperty(key, value);
    if (s.image == "development") {
        h.writeFirmwareImageText("development build\n:00000001FF\n");
    } else if (s.image) {
        h.writeFirmwareImage(*s.image);
    }
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
        if (!h.board().send(step.bytes)) unsent += step.bytes.size();
    }
    return unsent;
}

bool waitForIdle(ProcessHarness& h, DaemonActivity& activity) {
    return waitUntil([&] { return !h.running() || activity.settled(kSettle); }, kIdleLimit, kPoll);
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

// Runs the session and ends the daemon; returns how far the run went.
std::string run(ProcessHarness& h, const session::Session& s, FifoReader* prox, FifoReader* light) {
    if (!h.start(s.args)) return "not started";
    *prox = h.openFifo("pipeProx", 5s);
    *light = h.openFifo("pipeLight", 5s);
    DaemonActivity activity(h.pid(), h.board().slavePath());
    Phase phase = waitForReceivePhase(h, activity);
    std::string progress = startText(phase);
    if (phase == Phase::Receiving) {
        size_t total = 0;
        size_t unsent = sendStream(h, s, &total);
        progress += "; stream of " + std::to_string(total) + " bytes sent";
        if (unsent > 0) progress += " (" + std::to_string(unsent) + " of them dropped)";
        if (!waitForIdle(h, activity)) progress += "; still busy after the stream";
    }
    if (!h.running()) return progress + "; ended by itself";
    h.interrupt();
    h.waitForExit();
    return progress + "; ended after SIGINT";
}

ReplayFacts collect(ProcessHarness& h, FifoReader& prox, FifoReader& light) {
    ReplayFacts facts;
    facts.root = h.root();
    facts.pty = h.board().slavePath();
    facts.exitStatus = h.exitStatus();
    facts.commands = h.board().commands();
    facts.loaderEvents = h.board().bslEvents();
    facts.bslshCalls = h.bslshCalls();
    facts.versionProperty = h.property("sys.com.zyn.sensor.version");
    facts.resetLine = h.gpioValue();
    if (prox.isOpen()) facts.proximity = prox.drainValues(20ms);
    if (light.isOpen()) facts.light = light.drainValues(20ms);
    facts.amLines = h.amLines();
    facts.stdoutText = h.daemonStdoutText();
    facts.stderrText = h.stderrText();
    facts.log = h.logRecords();
    return facts;
}

}  // namespace

std::string replaySession(const std::string& name, const session::Session& session) {
    std::optional<AnswerSequencer> sequencer;  // outlives the board that calls it
    ProcessHarness h(session.firmware.value_or(simboard::FirmwareVersion{}));
    prepareWorld(h, session);
    sequencer.emplace(h.board(), session.answers);
    followBoard(h, *sequencer);
    FifoReader prox;
    FifoReader light;
    std::string progress = run(h, session, &prox, &light);
    ReplayFacts facts = collect(h, prox, light);
    facts.progress = progress;
    h.board().setListener(nullptr);
    return formatReport(name, facts);
}

}  // namespace vantrel::test
