// End-to-end benchmark of the receive path: the real daemon and the floor
// program (bench/floor.c), each fed motion frames by a simulated board on a
// pseudo-terminal, each with a reader on its FIFO. Prints one key=value line
// per figure and a summary line.
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
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
#include "tools/cli/options.h"
#include "tools/fifo/fifo_reader.h"
#include "tools/proc/process_figures.h"
#include "wire/frames.h"

namespace {

using Clock = std::chrono::steady_clock;
using vantrel::proc::cpuTicks;
using vantrel::proc::statusField;
using vantrel::simboard::Bytes;
using vantrel::simboard::SimulatedBoard;

constexpr double kLineRateFrames = vantrel::kLineStandardFramesPerSecond;
constexpr double kTimeScale = 0.01;  // start pause 50 ms, receive limit 100 ms
constexpr size_t kFramesPerWrite = 256;
constexpr std::chrono::milliseconds kReaderPoll{50};  // how soon a reader sees it should stop
constexpr std::chrono::milliseconds kStartLimit{20000};
constexpr std::chrono::milliseconds kEndLimit{10000};

void sleepFor(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// ---- the reader on a FIFO: every value with its arrival time

class TimedReader {
  public:
    explicit TimedReader(const std::string& path) {
        std::string error;
        if (!fifo_.open(path, &error)) fprintf(stderr, "%s\n", error.c_str());
        values_.reserve(1 << 21);
        thread_ = std::thread([this] { run(); });
    }
    ~TimedReader() {
        stopping_ = true;
        thread_.join();
    }
    bool ok() const { return fifo_.isOpen(); }
    size_t count() const { return count_.load(); }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        values_.clear();
        count_ = 0;
    }
    // (value, arrival) pairs so far.
    std::vector<std::pair<int32_t, Clock::time_point>> values() {
        std::lock_guard<std::mutex> lock(mutex_);
        return values_;
    }

  private:
    void run() {
        while (!stopping_) {
            if (!fifo_.waitReadable(kReaderPoll)) continue;
            std::vector<int32_t> arrived = fifo_.readValues();
            Clock::time_point now = Clock::now();
            std::lock_guard<std::mutex> lock(mutex_);
            for (int32_t value : arrived) values_.emplace_back(value, now);
            count_ = values_.size();
        }
    }

    vantrel::fifo::FifoReader fifo_;
    std::atomic<bool> stopping_{false};
    std::atomic<size_t> count_{0};
    std::mutex mutex_;
    std::vector<std::pair<int32_t, Clock::time_point>> values_;
    std::thread thread_;
};

// The daemon's own process: under strace, the tracer's child.
pid_t daemonProcess(pid_t started) {
    if (getenv("VANTREL_BENCH_STRACE") == nullptr) return started;
    std::vector<vantrel::proc::Child> children = vantrel::proc::children(started);
    return children.empty() ? started : children[0].pid;
}

// ---- one process under test with its board, root and reader

struct Target {
    vantrel::desk::DaemonRoot root{"vantrel-bench"};
    SimulatedBoard board;
    vantrel::desk::DeskProcess process;
    std::unique_ptr<TimedReader> reader;

    ~Target() {
        reader.reset();
        // Under strace the tracer's child, which outlives a killed tracer.
        if (process.running()) kill(daemonProcess(process.pid()), SIGKILL);
    }
    std::string fifo() const { return root.path(vantrel::kPathPipeProximity); }
    pid_t pid() const { return process.pid(); }
};

// With VANTREL_BENCH_STRACE=FILE the daemon runs under `strace -c -o FILE`,
// which counts its system calls (and slows it down: figures are then void).
std::vector<std::string> daemonCommand(const std::string& device) {
    std::vector<std::string> command = {
        VANTREL_DAEMON_PATH, "-m", "-l", "-e", "1", "-n", "1", "-p", device};
    const char* straceOutput = getenv("VANTREL_BENCH_STRACE");
    if (straceOutput != nullptr) {
        command.insert(command.begin(), {"/usr/bin/strace", "-c", "-o", straceOutput});
    }
    return command;
}

// Both run in the bench's process group, so that a Ctrl-C at the bench ends them too.
bool startDaemon(Target& target) {
    vantrel::desk::DaemonSettings settings{VANTREL_STANDIN_DIR, std::to_string(kTimeScale), {}};
    vantrel::desk::Launch launch =
        target.root.launch(daemonCommand(target.board.slavePath()), settings);
    std::string error;
    if (!vantrel::desk::startToReceivePhase(target.process, launch, kStartLimit, &error)) {
        if (!error.empty()) fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    target.reader = std::make_unique<TimedReader>(target.fifo());
    return target.reader->ok();
}

bool startFloor(Target& target) {
    if (mkfifo(target.fifo().c_str(), 0666) != 0) return false;
    vantrel::desk::Launch launch =
        target.root.launch({VANTREL_FLOOR_PATH, target.board.slavePath(), target.fifo()}, {});
    launch.environment = vantrel::desk::currentEnvironment();
    std::string error;
    if (!target.process.start(launch, &error)) {
        fprintf(stderr, "cannot start %s: %s\n", VANTREL_FLOOR_PATH, error.c_str());
        return false;
    }
    target.reader = std::make_unique<TimedReader>(target.fifo());
    sleepFor(0.2);  // the floor opens and configures the port
    return target.reader->ok();
}

// Waits until `expected` values arrived or none came for half a second.
void waitForValues(TimedReader& reader, size_t expected) {
    size_t last = reader.count();
    Clock::time_point progress = Clock::now();
    while (reader.count() < expected && Clock::now() - progress < std::chrono::milliseconds(500)) {
        sleepFor(0.005);
        if (reader.count() != last) {
            last = reader.count();
            progress = Clock::now();
        }
    }
}

struct Throughput {
    double framesPerSecond = 0;
    long lost = 0;
    double cpuMicrosPerFrame = 0;
    bool stalled = false;  // the target stopped reading the link for 300 ms
};

Throughput measureThroughput(Target& target, size_t frames) {
    Bytes chunk;
    for (size_t i = 0; i < kFramesPerWrite; ++i) {
        chunk = vantrel::wire::concat(chunk, vantrel::wire::motion(static_cast<uint16_t>(i), 1));
    }
    Throughput result;
    target.reader->clear();
    long ticksBefore = cpuTicks(target.pid());
    Clock::time_point start = Clock::now();
    size_t sent = 0;
    while (sent < frames) {
        if (!target.board.send(chunk)) {
            result.stalled = true;  // part of this chunk may have gone out
            break;
        }
        sent += kFramesPerWrite;
    }
    waitForValues(*target.reader, sent);
    auto values = target.reader->values();
    long ticks = cpuTicks(target.pid()) - ticksBefore;

    result.lost = static_cast<long>(sent) - static_cast<long>(values.size());
    if (!values.empty()) {
        double seconds = std::chrono::duration<double>(values.back().second - start).count();
        result.framesPerSecond = static_cast<double>(values.size()) / seconds;
        result.cpuMicrosPerFrame =
            ticks * 1e6 / sysconf(_SC_CLK_TCK) / static_cast<double>(values.size());
    }
    return result;
}

struct Latency {
    double p50 = 0, p99 = 0, max = 0;
    long lost = 0;
};

// Frames paced at the line rate; each carries its number as ps1 (ps2 0), so
// the value read from the FIFO names the frame it came from.
Latency measureLatency(Target& target, double seconds) {
    size_t frames = static_cast<size_t>(seconds * kLineRateFrames);
    std::vector<Clock::time_point> sentAt(frames);
    target.reader->clear();
    Clock::time_point start = Clock::now();
    for (size_t i = 0; i < frames; ++i) {
        auto due = std::chrono::duration<double>(static_cast<double>(i) / kLineRateFrames);
        std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(due));
        target.board.send(vantrel::simboard::motion(static_cast<uint16_t>(i), 0));
        sentAt[i] = Clock::now();
    }
    waitForValues(*target.reader, frames);
    std::vector<double> micros;
    for (const auto& [value, arrived] : target.reader->values()) {
        if (value < 0 || static_cast<size_t>(value) >= frames) continue;
        micros.push_back(
            std::chrono::duration<double, std::micro>(arrived - sentAt[value]).count());
    }
    Latency result;
    result.lost = static_cast<long>(frames) - static_cast<long>(micros.size());
    if (micros.empty()) return result;
    std::sort(micros.begin(), micros.end());
    result.p50 = micros[micros.size() / 2];
    result.p99 = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    result.max = micros.back();
    return result;
}

// Voluntary context switches per receive time-out period on a silent link:
// the receive loop should sleep in select and wake once per period.
double measureIdleWakeups(Target& target, int periods) {
    double period = 10.0 * kTimeScale;
    sleepFor(period);
    long before = statusField(target.pid(), "voluntary_ctxt_switches");
    sleepFor(period * periods);
    long after = statusField(target.pid(), "voluntary_ctxt_switches");
    return static_cast<double>(after - before) / periods;
}

// SIGINT, then a bounded wait, so that a tracer can write its counts.
void stopDaemon(Target& target) {
    if (!target.process.running()) return;
    kill(daemonProcess(target.pid()), SIGINT);
    target.process.waitForExit(kEndLimit);
}

long fileSize(const char* path) {
    struct stat info;
    return stat(path, &info) == 0 ? static_cast<long>(info.st_size) : -1;
}

void print(const std::string& key, double value) {
    printf("%s=%.3f\n", key.c_str(), value);
}
void print(const std::string& key, long value) {
    printf("%s=%ld\n", key.c_str(), value);
}

struct BenchOptions {
    double frames = 200000;
    double latencySeconds = 3;
};

void usage(FILE* out) {
    fputs("usage: vantrel_e2e_bench [--frames N] [--latency-seconds S]\n", out);
}

// What the summary line takes from the figures printed before it.
struct Summary {
    Throughput daemonRate;
    double throughputRatio = 0;
    double cpuRatio = 0;
    Latency daemonLatency;
    double wakeups = 0;
    long hwmOverFloor = 0;
};

// Only the daemon is weighed against the line rate and has its latency run's
// losses counted: the floor is the measure, not the subject.
void printRate(const std::string& who, const Throughput& rate) {
    print(who + ".frames_per_s", rate.framesPerSecond);
    if (who == "daemon")
        print("daemon.headroom_over_line_rate", rate.framesPerSecond / kLineRateFrames);
    print(who + ".frames_lost", rate.lost);
    print(who + ".link_stalled", static_cast<long>(rate.stalled));
    print(who + ".cpu_us_per_1000_frames", rate.cpuMicrosPerFrame * 1000);
}

void printLatency(const std::string& who, const Latency& latency) {
    print(who + ".latency_p50_us", latency.p50);
    print(who + ".latency_p99_us", latency.p99);
    print(who + ".latency_max_us", latency.max);
    if (who == "daemon") print("daemon.latency_frames_lost", latency.lost);
}

void printThroughput(Target& daemon, Target& floor, size_t frames, Summary* summary) {
    Throughput daemonRate = measureThroughput(daemon, frames);
    Throughput floorRate = measureThroughput(floor, frames);
    printRate("daemon", daemonRate);
    printRate("floor", floorRate);
    summary->daemonRate = daemonRate;
    summary->throughputRatio = daemonRate.framesPerSecond / floorRate.framesPerSecond;
    summary->cpuRatio = daemonRate.cpuMicrosPerFrame / floorRate.cpuMicrosPerFrame;
    print("ratio.throughput_daemon_over_floor", summary->throughputRatio);
    print("ratio.cpu_daemon_over_floor", summary->cpuRatio);
}

void printLatencies(Target& daemon, Target& floor, double seconds, Summary* summary) {
    summary->daemonLatency = measureLatency(daemon, seconds);
    printLatency("daemon", summary->daemonLatency);
    printLatency("floor", measureLatency(floor, seconds));
}

// Idle wake-ups, memory and binary sizes.
void printFootprint(Target& daemon, Target& floor, Summary* summary) {
    summary->wakeups = measureIdleWakeups(daemon, 20);
    print("daemon.idle_wakeups_per_period", summary->wakeups);
    long daemonHwm = statusField(daemon.pid(), "VmHWM");
    long floorHwm = statusField(floor.pid(), "VmHWM");
    print("daemon.vm_hwm_kib", daemonHwm);
    print("daemon.vm_rss_kib", statusField(daemon.pid(), "VmRSS"));
    print("floor.vm_hwm_kib", floorHwm);
    print("floor.vm_rss_kib", statusField(floor.pid(), "VmRSS"));
    print("daemon.binary_bytes", fileSize(VANTREL_DAEMON_PATH));
    print("floor.binary_bytes", fileSize(VANTREL_FLOOR_PATH));
    summary->hwmOverFloor = daemonHwm - floorHwm;
}

void printSummary(const Summary& s) {
    printf(
        "summary: daemon %.0f frames/s (%.2fx floor, %.0fx line rate), cpu %.2fx floor, "
        "latency p99 %.0f us, lost %ld+%ld, idle %.2f wake-ups/period, hwm +%ld KiB over "
        "floor\n",
        s.daemonRate.framesPerSecond, s.throughputRatio,
        s.daemonRate.framesPerSecond / kLineRateFrames, s.cpuRatio, s.daemonLatency.p99,
        s.daemonRate.lost, s.daemonLatency.lost, s.wakeups, s.hwmOverFloor);
}

int runBench(const BenchOptions& options) {
    Target daemon;
    Target floor;
    if (!startDaemon(daemon)) {
        fprintf(stderr, "the daemon did not reach its receive phase\n");
        return 1;
    }
    if (!startFloor(floor)) {
        fprintf(stderr, "the floor did not start\n");
        return 1;
    }
    printf("machine.cores=%ld\n", sysconf(_SC_NPROCESSORS_ONLN));
    Summary summary;
    printThroughput(daemon, floor, static_cast<size_t>(options.frames), &summary);
    printLatencies(daemon, floor, options.latencySeconds, &summary);
    printFootprint(daemon, floor, &summary);
    printSummary(summary);
    stopDaemon(daemon);
    floor.process.signal(SIGTERM);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    BenchOptions options;
    std::vector<vantrel::cli::Option> table = {
        vantrel::cli::number("--frames", &options.frames),
        vantrel::cli::number("--latency-seconds", &options.latencySeconds)};
    if (std::optional<int> status =
            vantrel::cli::readOptions(argc, argv, "vantrel_e2e_bench", table, usage)) {
        return *status;
    }
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    try {
        return runBench(options);
    } catch (const std::runtime_error& error) {  // no root, no pseudo-terminal
        fprintf(stderr, "vantrel_e2e_bench: %s\n", error.what());
        return 1;
    }
}
