// vantrel-soak: the daemon as shipped against the simulated board for a long
// run, at the wire's full rate of motion and light frames, with a reader on
// each FIFO and a fault about every 30 s. One line a minute on standard
// output and in a CSV file; status 1 when the run shows a leak, a lost value,
// a child left unreaped or a dead daemon (scripts/soak runs it).
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/paths.h"
#include "desk/daemon_root.h"
#include "desk/desk_process.h"
#include "link/protocol.h"
#include "simboard/simulated_board.h"
#include "soak/sequence.h"
#include "soak/stream_reader.h"
#include "soak/wire_sender.h"
#include "tools/cli/options.h"
#include "tools/proc/process_figures.h"

namespace vantrel::soak {

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;
using std::chrono::milliseconds;
namespace cli = vantrel::cli;

constexpr long kRssGrowthKib = 16;  // four pages
constexpr milliseconds kReaderAway{2000};
constexpr milliseconds kReaderStall{5000};
constexpr double kQuietEnd = 8.0;           // no fault this close to the end
constexpr milliseconds kStartLimit{30000};  // to the receive phase
constexpr milliseconds kEndLimit{15000};    // from SIGINT to the exit
constexpr char kCsvHeader[] =
    "minute,elapsed_s,frames_sent,prox_values,light_values,lost,dropped_at_readers,"
    "spoiled_on_wire,stray,broadcasts,rss_kib,fds,children,cpu_us_per_frame,faults\n";

struct Options {
    std::string daemon;
    std::string standIns;
    double minutes = 60;
    std::string csv;
    std::string timeScale = "0.1";
};

// The faults in the order the schedule takes them: one on the wire, or a
// reader's pause (away from its FIFO, or stalled on it).
struct FaultKind {
    const char* name;
    std::optional<WireFault> wire;
    milliseconds readerPause;  // for a reader's fault
    bool readerLeaves;
};
const FaultKind kFaults[] = {
    {"garbage", WireFault::Garbage, {}, false},
    {"reset", WireFault::Reset, {}, false},
    {"nfc-burst", WireFault::NfcBurst, {}, false},
    {"reader-leaves", std::nullopt, kReaderAway, true},
    {"reader-stalls", std::nullopt, kReaderStall, false},
    {"cut-frame", WireFault::CutFrame, {}, false},
};
constexpr int kFaultKinds = sizeof kFaults / sizeof kFaults[0];

void usage(FILE* out) {
    fputs(
        "Usage: vantrel-soak --daemon PATH --stand-ins DIR [--minutes N] [--csv FILE] "
        "[--time-scale S]\n",
        out);
}

// Nothing when the run goes on, else the exit status.
std::optional<int> parseOptions(int argc, char** argv, Options* o) {
    std::vector<cli::Option> table = {
        cli::text("--daemon", &o->daemon), cli::text("--stand-ins", &o->standIns),
        cli::number("--minutes", &o->minutes), cli::text("--csv", &o->csv),
        cli::text("--time-scale", &o->timeScale)};
    if (std::optional<int> status = cli::readOptions(argc, argv, "vantrel-soak", table, usage)) {
        return status;
    }
    if (!o->daemon.empty() && !o->standIns.empty() && o->minutes > 0) return std::nullopt;
    usage(stderr);
    return cli::kStatusUsage;
}

// The fewest descriptors seen in a few looks: a value's FIFO is open for an
// instant at every write.
int steadyDescriptors(pid_t pid) {
    int fewest = proc::openDescriptors(pid);
    for (int i = 0; i < 4; ++i) {
        std::this_thread::sleep_for(milliseconds(2));
        int now = proc::openDescriptors(pid);
        if (now >= 0 && (fewest < 0 || now < fewest)) fewest = now;
    }
    return fewest;
}

// A child the daemon has not waited for, still there a second later.
bool childLeftUnreaped(pid_t pid) {
    std::vector<pid_t> zombies;
    for (const proc::Child& child : proc::children(pid)) {
        if (child.state == 'Z') zombies.push_back(child.pid);
    }
    if (zombies.empty()) return false;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    for (const proc::Child& child : proc::children(pid)) {
        for (pid_t zombie : zombies) {
            if (child.pid == zombie && child.state == 'Z') return true;
        }
    }
    return false;
}

size_t lineCount(const std::string& path) {
    std::ifstream file(path);
    return std::count(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>(), '\n');
}

// The counts of a minute line, as printf takes them.
struct Totals {
    unsigned long long frames, prox, light, lost, dropped, spoiled, stray;
};

struct Sample {
    double elapsed = 0;
    uint64_t frames = 0;
    SequenceCounts values[2];
    size_t broadcasts = 0;
    long rssKib = -1;
    int descriptors = -1;
    size_t children = 0;
    long cpuTicks = 0;
};

Totals totalsOf(const Sample& s) {
    const SequenceCounts& prox = s.values[kMotion];
    const SequenceCounts& light = s.values[kLight];
    return {s.frames,
            prox.received,
            light.received,
            prox.lost + light.lost,
            prox.dropped + light.dropped,
            prox.spoiled + light.spoiled,
            prox.stray + light.stray};
}

// When the faults come: the first minute (the first half of a shorter run)
// brings each kind once, one after another, so that every path they take is
// in memory before the figures that later ones are held to; from then on one
// fault every 30 s (six to the rest of a shorter run), in turn.
struct FaultSchedule {
    explicit FaultSchedule(double total)
        : total(total),
          warmUp(std::min(60.0, total / 2)),
          every(std::min(30.0, (total - warmUp) / kFaultKinds)) {}
    double timeOf(int index) const {
        if (index < kFaultKinds) return warmUp * (index + 1) / (kFaultKinds + 1);
        return warmUp + every * (index - kFaultKinds + 1);
    }
    bool due(int index, double elapsed) const {
        double at = timeOf(index);
        return at <= elapsed && at < total - kQuietEnd;
    }

    const double total, warmUp, every;  // seconds
};

class Soak {
  public:
    // Throws std::runtime_error when the root or the board's link cannot be made.
    explicit Soak(const Options& o)
        : o_(o), root_("vantrel-soak"), total_(o.minutes * 60), schedule_(total_) {
        root_.linkBoard(board_);
    }

    ~Soak() {
        daemon_.kill();
        if (csv_ != nullptr) fclose(csv_);
        if (!failed_) return;
        root_.keep();
        printf("soak: the daemon's root, with its log, stdout and stderr, is kept: %s\n",
               root_.path().c_str());
    }

    int run() {
        if (!begin()) return 1;
        printPlan();
        stream();
        return dead_ ? 1 : conclude();
    }

  private:
    // The daemon in its receive phase (in the soak's group: a Ctrl-C that ends
    // the soak ends its daemon too), a reader on each FIFO and the CSV file.
    bool begin() {
        desk::Launch launch = root_.launch({o_.daemon, "-m", "-l", "-e", "1", "-n", "1"},
                                           {o_.standIns, o_.timeScale, {}});
        std::string error;
        if (!desk::startToReceivePhase(daemon_, launch, kStartLimit, &error)) {
            if (!error.empty()) printf("soak: %s\n", error.c_str());
            fail("the daemon did not reach its receive phase");
            return false;
        }
        for (int i = 0; i < 2; ++i) {
            const char* name = i == kMotion ? kPathPipeProximity : kPathPipeLight;
            readers_[i] =
                std::make_unique<StreamReader>(root_.path(name), static_cast<Stream>(i), spoils_);
            if (!readers_[i]->ok()) {
                fail(std::string("cannot open ") + name);
                return false;
            }
        }
        openCsv();
        return true;
    }

    void openCsv() {
        if (o_.csv.empty()) return;
        csv_ = fopen(o_.csv.c_str(), "w");
        if (csv_ == nullptr) {
            perror(o_.csv.c_str());
            return;
        }
        fputs(kCsvHeader, csv_);
    }

    void printPlan() {
        printf(
            "soak: %.0f min at %d frames/s, a fault every %.0f s after a warm-up of %.0f s; "
            "daemon %s (pid %d), root %s\n",
            o_.minutes, kLineStandardFramesPerSecond, schedule_.every, schedule_.warmUp,
            o_.daemon.c_str(), daemon_.pid(), root_.path().c_str());
    }

    // The frames at the wire's rate, the faults when due and a line a minute,
    // until the run's time is up or the daemon has died.
    void stream() {
        sender_ = std::make_unique<WireSender>(board_, spoils_);
        Clock::time_point start = Clock::now();
        before_ = sample(0);
        double nextSample = std::min(60.0, total_);
        while (!dead_) {
            double elapsed = Seconds(Clock::now() - start).count();
            injectDue(elapsed);
            if (!haveBaseline_ && elapsed >= schedule_.warmUp) {
                baseline_ = sample(elapsed);
                haveBaseline_ = true;
            }
            if (elapsed >= nextSample) {
                if (nextSample >= total_) return;
                reportMinute(elapsed);
                nextSample = std::min(nextSample + 60, total_);
            }
            std::this_thread::sleep_for(milliseconds(20));
        }
    }

    void injectDue(double elapsed) {
        while (schedule_.due(nextFault_, elapsed)) {
            fault(nextFault_);
            faults_ +=
                (faults_.empty() ? "" : " ") + std::string(kFaults[nextFault_ % kFaultKinds].name);
            ++nextFault_;
        }
    }

    void fault(int index) {
        const FaultKind& kind = kFaults[index % kFaultKinds];
        if (kind.wire) {
            sender_->inject(*kind.wire);
            return;
        }
        // The readers' faults take turns between the two FIFOs.
        readers_[(index / kFaultKinds) % 2]->pauseFor(kind.readerPause, kind.readerLeaves);
    }

    void reportMinute(double elapsed) {
        Sample now = sample(elapsed);
        report(minute_++, now);
        check(now);
        before_ = now;
        faults_.clear();
    }

    // The last line, from figures taken while the stream still ran, and the
    // verdict on the whole run.
    int conclude() {
        Sample last = sample(total_);
        check(last);
        bool clean = finish();
        for (int i = 0; i < 2; ++i) last.values[i] = readers_[i]->counts();
        last.broadcasts = lineCount(root_.path(desk::kAmLogFile));
        report(minute_, last);
        judgeEnd(last, clean);
        printf(
            "soak: baseline after the warm-up: rss %ld KiB, fds %d; at the end: rss %ld KiB, fds "
            "%d; %s\n",
            baseline_.rssKib, baseline_.descriptors, last.rssKib, last.descriptors,
            failed_ ? "FAILED" : "passed");
        return failed_ ? 1 : 0;
    }

    Sample sample(double elapsed) {
        Sample s;
        s.elapsed = elapsed;
        s.frames = sender_->frames();
        for (int i = 0; i < 2; ++i) s.values[i] = readers_[i]->counts();
        s.broadcasts = lineCount(root_.path(desk::kAmLogFile));
        s.rssKib = proc::statusField(daemon_.pid(), "VmRSS");
        s.descriptors = steadyDescriptors(daemon_.pid());
        s.children = proc::children(daemon_.pid()).size();
        s.cpuTicks = proc::cpuTicks(daemon_.pid());
        return s;
    }

    // A minute line: the counts so far, and what came since the last one.
    void report(int minute, const Sample& now) {
        uint64_t frames = now.frames - before_.frames;
        double cpuMicros = frames == 0 ? 0
                                       : (now.cpuTicks - before_.cpuTicks) * 1e6 /
                                             sysconf(_SC_CLK_TCK) / static_cast<double>(frames);
        Totals t = totalsOf(now);
        printf(
            "soak: minute %d: frames %llu, values prox %llu light %llu, lost %llu, dropped at "
            "readers %llu, spoiled on the wire %llu, stray %llu, broadcasts %zu, rss %ld KiB, "
            "fds %d, children %zu, cpu %.2f us/frame; faults: %s\n",
            minute, t.frames, t.prox, t.light, t.lost, t.dropped, t.spoiled, t.stray,
            now.broadcasts, now.rssKib, now.descriptors, now.children, cpuMicros,
            faults_.empty() ? "none" : faults_.c_str());
        if (csv_ == nullptr) return;
        fprintf(csv_, "%d,%.1f,%llu,%llu,%llu,%llu,%llu,%llu,%llu,%zu,%ld,%d,%zu,%.3f,%s\n", minute,
                now.elapsed, t.frames, t.prox, t.light, t.lost, t.dropped, t.spoiled, t.stray,
                now.broadcasts, now.rssKib, now.descriptors, now.children, cpuMicros,
                faults_.c_str());
        fflush(csv_);
    }

    void check(const Sample& now) {
        if (!daemon_.running()) {
            dead_ = true;
            fail("the daemon has died");
            return;
        }
        if (!sender_->linkFlowing()) fail("the daemon stopped reading its port for 5 s");
        for (const SequenceCounts& values : now.values) {
            if (values.lost > 0) fail(std::to_string(values.lost) + " values lost so far");
            if (values.stray > 0) fail(std::to_string(values.stray) + " stray values so far");
        }
        if (childLeftUnreaped(daemon_.pid())) fail("a child left unreaped");
        if (!haveBaseline_) return;
        if (now.rssKib > baseline_.rssKib + kRssGrowthKib) {
            fail("RSS grew from " + std::to_string(baseline_.rssKib) + " to " +
                 std::to_string(now.rssKib) + " KiB");
        }
        if (now.descriptors > baseline_.descriptors) {
            fail("descriptors grew from " + std::to_string(baseline_.descriptors) + " to " +
                 std::to_string(now.descriptors));
        }
    }

    void judgeEnd(const Sample& last, bool clean) {
        for (const SequenceCounts& values : last.values) {
            if (values.lost > 0) fail(std::to_string(values.lost) + " values lost");
        }
        if (last.broadcasts != sender_->broadcastsOwed()) {
            fail(std::to_string(last.broadcasts) + " broadcasts, " +
                 std::to_string(sender_->broadcastsOwed()) + " owed (version messages and taps)");
        }
        if (!clean) fail("the daemon did not end with status 0 after SIGINT");
    }

    void fail(const std::string& why) {
        printf("soak: FAIL: %s\n", why.c_str());
        failed_ = true;
    }

    // Stops the stream, waits for the last values, counts what never came and
    // ends the daemon with SIGINT: it must end with status 0.
    bool finish() {
        sender_->stop();
        for (int i = 0; i < 2; ++i) {
            readers_[i]->finish(sender_->sent(static_cast<Stream>(i)), milliseconds(3000));
        }
        if (dead_) return false;
        return daemon_.end(SIGINT, kEndLimit) == 0;
    }

    Options o_;
    desk::DaemonRoot root_;
    double total_;
    FaultSchedule schedule_;
    simboard::SimulatedBoard board_;
    desk::DeskProcess daemon_;
    SpoilLedger spoils_;
    std::unique_ptr<WireSender> sender_;
    std::unique_ptr<StreamReader> readers_[2];
    FILE* csv_ = nullptr;
    bool failed_ = false;
    bool dead_ = false;
    Sample baseline_;
    bool haveBaseline_ = false;
    Sample before_;       // at the last minute line
    std::string faults_;  // since the last minute line
    int nextFault_ = 0;
    int minute_ = 1;
};

}  // namespace

}  // namespace vantrel::soak

int main(int argc, char** argv) {
    vantrel::soak::Options options;
    if (std::optional<int> status = vantrel::soak::parseOptions(argc, argv, &options)) {
        return *status;
    }
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    try {
        vantrel::soak::Soak soak(options);
        return soak.run();
    } catch (const std::runtime_error& error) {
        fprintf(stderr, "vantrel-soak: %s\n", error.what());
        return 1;
    }
}
