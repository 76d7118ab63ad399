// End-to-end benchmark of the receive path: the real daemon and the floor
// program (bench/floor.c), each fed motion frames by a simulated board on a
// pseudo-terminal, each with a reader on its FIFO. Prints one key=value line
// per figure and a summary line.
//
//   vantrel_e2e_bench [--frames N] [--latency-seconds S]
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/paths.h"
#include "link/protocol.h"
#include "simboard/simulated_board.h"
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

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void sleepFor(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// ---- the reader on a FIFO: every value with its arrival time

class FifoReader {
  public:
    explicit FifoReader(const std::string& path) {
        reader_ = open(path.c_str(), O_RDONLY | O_NONBLOCK);
        keeper_ = open(path.c_str(), O_WRONLY);  // no end-of-file between values
        int flags = fcntl(reader_, F_GETFL);
        fcntl(reader_, F_SETFL, flags & ~O_NONBLOCK);
        values_.reserve(1 << 21);
        thread_ = std::thread([this] { run(); });
    }
    ~FifoReader() {
        stopping_ = true;
        int32_t wake = -1;
        if (write(keeper_, &wake, sizeof wake) < 0) perror("fifo wake");
        thread_.join();
        close(reader_);
        close(keeper_);
    }
    bool ok() const { return reader_ >= 0 && keeper_ >= 0; }
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
        char buffer[65536];
        size_t carried = 0;
        while (!stopping_) {
            ssize_t got = read(reader_, buffer + carried, sizeof buffer - carried);
            if (got <= 0) continue;
            Clock::time_point now = Clock::now();
            size_t total = carried + static_cast<size_t>(got);
            size_t whole = total / 4 * 4;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (size_t i = 0; i < whole; i += 4) {
                    int32_t value;
                    memcpy(&value, buffer + i, 4);
                    values_.emplace_back(value, now);
                }
                count_ = values_.size();
            }
            carried = total - whole;
            memmove(buffer, buffer + whole, carried);
        }
    }

    int reader_ = -1;
    int keeper_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<size_t> count_{0};
    std::mutex mutex_;
    std::vector<std::pair<int32_t, Clock::time_point>> values_;
    std::thread thread_;
};

// The daemon's own process: under strace, the tracer's child.
pid_t daemonProcess(pid_t started) {
    if (getenv("VANTREL_BENCH_STRACE") == nullptr) return started;
    std::ifstream children("/proc/" + std::to_string(started) + "/task/" + std::to_string(started) +
                           "/children");
    pid_t child = -1;
    children >> child;
    return child > 0 ? child : started;
}

// ---- one process under test with its board, root and reader

struct Target {
    std::string name;
    std::string root;
    SimulatedBoard board;
    pid_t pid = -1;
    std::unique_ptr<FifoReader> reader;

    explicit Target(std::string targetName) : name(std::move(targetName)) {
        char pattern[] = "/tmp/vantrel-bench-XXXXXX";
        root = mkdtemp(pattern);
        std::string fifoFolder = fifo();
        mkdir(fifoFolder.substr(0, fifoFolder.find_last_of('/')).c_str(), 0755);
    }
    ~Target() {
        if (pid > 0) {
            kill(daemonProcess(pid), SIGKILL);  // under strace the tracer's child
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        reader.reset();
        std::string command = "rm -rf '" + root + "'";
        if (system(command.c_str()) != 0) perror("rm");
    }
    std::string fifo() const { return root + vantrel::kPathPipeProximity; }
};

pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& env,
            const std::string& stdoutPath) {
    pid_t child = fork();
    if (child != 0) return child;
    int out = open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int null = open("/dev/null", O_RDWR);
    dup2(null, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    for (const std::string& entry : env) putenv(strdup(entry.c_str()));
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

bool waitForFile(const std::string& path, const std::string& text, double seconds) {
    Clock::time_point start = Clock::now();
    while (secondsSince(start) < seconds) {
        std::ifstream file(path);
        std::string content((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
        if (content.find(text) != std::string::npos) return true;
        sleepFor(0.01);
    }
    return false;
}

// With VANTREL_BENCH_STRACE=FILE the daemon runs under `strace -c -o FILE`,
// which counts its system calls (and slows it down: figures are then void).
std::vector<std::string> daemonCommand(const std::string& device) {
    std::vector<std::string> command;
    const char* straceOutput = getenv("VANTREL_BENCH_STRACE");
    if (straceOutput != nullptr) command = {"/usr/bin/strace", "-c", "-o", straceOutput};
    for (const char* arg : {VANTREL_DAEMON_PATH, "-m", "-l", "-e", "1", "-n", "1", "-p"}) {
        command.push_back(arg);
    }
    command.push_back(device);
    return command;
}

bool startDaemon(Target& target) {
    std::string scale = std::to_string(kTimeScale);
    target.pid = spawn(daemonCommand(target.board.slavePath()),
                       {"VANTREL_ROOT=" + target.root, "VANTREL_LOG=" + target.root + "/log",
                        "VANTREL_TIME_SCALE=" + scale,
                        "PATH=" + std::string(VANTREL_STANDIN_DIR) + ":" + getenv("PATH")},
                       target.root + "/stdout");
    if (!waitForFile(target.root + "/stdout", "* Scan for messages", 20)) return false;
    target.reader = std::make_unique<FifoReader>(target.fifo());
    return target.reader->ok();
}

bool startFloor(Target& target) {
    if (mkfifo(target.fifo().c_str(), 0666) != 0) return false;
    target.pid = spawn({VANTREL_FLOOR_PATH, target.board.slavePath(), target.fifo()}, {},
                       target.root + "/stdout");
    target.reader = std::make_unique<FifoReader>(target.fifo());
    sleepFor(0.2);  // the floor opens and configures the port
    return target.reader->ok();
}

// Waits until `expected` values arrived or none came for half a second.
void waitForValues(FifoReader& reader, size_t expected) {
    size_t last = reader.count();
    Clock::time_point progress = Clock::now();
    while (reader.count() < expected && secondsSince(progress) < 0.5) {
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
        Bytes frame = vantrel::simboard::motion(static_cast<uint16_t>(i), 1);
        chunk.insert(chunk.end(), frame.begin(), frame.end());
    }
    Throughput result;
    target.reader->clear();
    long ticksBefore = cpuTicks(target.pid);
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
    long ticks = cpuTicks(target.pid) - ticksBefore;

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
        std::this_thread::sleep_until(
            start + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(static_cast<double>(i) / kLineRateFrames)));
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
    long before = statusField(target.pid, "voluntary_ctxt_switches");
    sleepFor(period * periods);
    long after = statusField(target.pid, "voluntary_ctxt_switches");
    return static_cast<double>(after - before) / periods;
}

// SIGINT, then a bounded wait, so that a tracer can write its counts.
void stopDaemon(Target& target) {
    kill(daemonProcess(target.pid), SIGINT);
    Clock::time_point start = Clock::now();
    while (secondsSince(start) < 10) {
        if (waitpid(target.pid, nullptr, WNOHANG) == target.pid) {
            target.pid = -1;
            return;
        }
        sleepFor(0.01);
    }
}

long fileSize(const char* path) {
    struct stat info;
    return stat(path, &info) == 0 ? static_cast<long>(info.st_size) : -1;
}

void print(const char* key, double value) {
    printf("%s=%.3f\n", key, value);
}
void print(const char* key, long value) {
    printf("%s=%ld\n", key, value);
}

}  // namespace

int main(int argc, char** argv) {
    size_t frames = 200000;
    double latencySeconds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--frames") == 0) frames = strtoul(argv[i + 1], nullptr, 10);
        if (strcmp(argv[i], "--latency-seconds") == 0) latencySeconds = atof(argv[i + 1]);
    }
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);

    Target daemon("daemon");
    Target floor("floor");
    if (!startDaemon(daemon)) {
        fprintf(stderr, "the daemon did not reach its receive phase\n");
        return 1;
    }
    if (!startFloor(floor)) {
        fprintf(stderr, "the floor did not start\n");
        return 1;
    }
    printf("machine.cores=%ld\n", sysconf(_SC_NPROCESSORS_ONLN));

    Throughput daemonRate = measureThroughput(daemon, frames);
    Throughput floorRate = measureThroughput(floor, frames);
    print("daemon.frames_per_s", daemonRate.framesPerSecond);
    print("daemon.headroom_over_line_rate", daemonRate.framesPerSecond / kLineRateFrames);
    print("daemon.frames_lost", daemonRate.lost);
    print("daemon.link_stalled", static_cast<long>(daemonRate.stalled));
    print("daemon.cpu_us_per_1000_frames", daemonRate.cpuMicrosPerFrame * 1000);
    print("floor.frames_per_s", floorRate.framesPerSecond);
    print("floor.frames_lost", floorRate.lost);
    print("floor.link_stalled", static_cast<long>(floorRate.stalled));
    print("floor.cpu_us_per_1000_frames", floorRate.cpuMicrosPerFrame * 1000);
    double throughputRatio = daemonRate.framesPerSecond / floorRate.framesPerSecond;
    double cpuRatio = daemonRate.cpuMicrosPerFrame / floorRate.cpuMicrosPerFrame;
    print("ratio.throughput_daemon_over_floor", throughputRatio);
    print("ratio.cpu_daemon_over_floor", cpuRatio);

    Latency daemonLatency = measureLatency(daemon, latencySeconds);
    Latency floorLatency = measureLatency(floor, latencySeconds);
    print("daemon.latency_p50_us", daemonLatency.p50);
    print("daemon.latency_p99_us", daemonLatency.p99);
    print("daemon.latency_max_us", daemonLatency.max);
    print("daemon.latency_frames_lost", daemonLatency.lost);
    print("floor.latency_p50_us", floorLatency.p50);
    print("floor.latency_p99_us", floorLatency.p99);
    print("floor.latency_max_us", floorLatency.max);

    double wakeups = measureIdleWakeups(daemon, 20);
    print("daemon.idle_wakeups_per_period", wakeups);
    long daemonHwm = statusField(daemon.pid, "VmHWM");
    long floorHwm = statusField(floor.pid, "VmHWM");
    print("daemon.vm_hwm_kib", daemonHwm);
    print("daemon.vm_rss_kib", statusField(daemon.pid, "VmRSS"));
    print("floor.vm_hwm_kib", floorHwm);
    print("floor.vm_rss_kib", statusField(floor.pid, "VmRSS"));
    print("daemon.binary_bytes", fileSize(VANTREL_DAEMON_PATH));
    print("floor.binary_bytes", fileSize(VANTREL_FLOOR_PATH));

    printf(
        "summary: daemon %.0f frames/s (%.2fx floor, %.0fx line rate), cpu %.2fx floor, "
        "latency p99 %.0f us, lost %ld+%ld, idle %.2f wake-ups/period, hwm +%ld KiB over "
        "floor\n",
        daemonRate.framesPerSecond, throughputRatio, daemonRate.framesPerSecond / kLineRateFrames,
        cpuRatio, daemonLatency.p99, daemonRate.lost, daemonLatency.lost, wakeups,
        daemonHwm - floorHwm);
    stopDaemon(daemon);
    kill(floor.pid, SIGTERM);
    return 0;
}
