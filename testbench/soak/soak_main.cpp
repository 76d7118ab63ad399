// vantrel-soak: the daemon as shipped against the simulated board for a long
// run, at the wire's full rate of motion and light frames, with a reader on
// each FIFO and a fault about every 30 s. One line a minute on standard
// output and in a CSV file; status 1 when the run shows a leak, a lost value,
// a child left unreaped or a dead daemon (scripts/soak runs it).
//
//   vantrel-soak --daemon PATH --stand-ins DIR [--minutes N] [--csv FILE]
//                [--time-scale S]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/paths.h"
#include "link/protocol.h"
#include "simboard/simulated_board.h"
#include "soak/fifo_reader.h"
#include "soak/wire_sender.h"
#include "tools/proc/process_figures.h"

extern char** environ;

namespace vantrel::soak {

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;
using std::chrono::milliseconds;

constexpr long kRssGrowthKib = 16;  // four pages
constexpr double kReaderAway = 2.0;
constexpr double kReaderStall = 5.0;
constexpr double kQuietEnd = 8.0;  // no fault this close to the end

struct Options {
    std::string daemon;
    std::string standIns;
    double minutes = 60;
    std::string csv;
    std::string timeScale = "0.1";
};

enum class Fault { Garbage, Reset, NfcBurst, ReaderLeaves, ReaderStalls, CutFrame };
constexpr int kFaultKinds = 6;
const char* const kFaultNames[kFaultKinds] = {"garbage",       "reset",         "nfc-burst",
                                              "reader-leaves", "reader-stalls", "cut-frame"};

bool parseOptions(int argc, char** argv, Options* o) {
    if (argc % 2 == 0) return false;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string key = argv[i];
        std::string value = argv[i + 1];
        if (key == "--daemon") {
            o->daemon = value;
        } else if (key == "--stand-ins") {
            o->standIns = value;
        } else if (key == "--minutes") {
            o->minutes = atof(value.c_str());
        } else if (key == "--csv") {
            o->csv = value;
        } else if (key == "--time-scale") {
            o->timeScale = value;
        } else {
            return false;
        }
    }
    return !o->daemon.empty() && !o->standIns.empty() && o->minutes > 0;
}

// A throw-away root with what the daemon expects under VANTREL_ROOT.
std::string makeRoot() {
    char pattern[] = "/tmp/vantrel-soak-XXXXXX";
    std::string root = mkdtemp(pattern);
    for (const char* fixedPath :
         {kPathPipeProximity, kPathSerialPort, kPathResetLine, kPathFirmwareImage}) {
        std::string path = root + fixedPath;
        std::filesystem::create_directories(path.substr(0, path.find_last_of('/')));
    }
    std::filesystem::create_directories(root + "/properties");  // the host's property store
    std::ofstream(root + kPathResetLine) << "0";
    return root;
}

pid_t startDaemon(const Options& o, const std::string& root) {
    std::vector<std::string> env = {"VANTREL_ROOT=" + root, "VANTREL_LOG=" + root + "/vantrel.log",
                                    "VANTREL_AM_LOG=" + root + "/am.log",
                                    "VANTREL_TIME_SCALE=" + o.timeScale,
                                    "PATH=" + o.standIns + ":/usr/bin:/bin"};
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (strncmp(*entry, "VANTREL_", 8) != 0 && strncmp(*entry, "PATH=", 5) != 0) {
            env.push_back(*entry);
        }
    }
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = {o.daemon, "-m", "-l", "-e", "1", "-n", "1"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, (root + "/stdout").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, 2, (root + "/stderr").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&files);
    return pid;
}

std::string fileText(const std::string& path) {
    std::ifstream file(path);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

bool waitForBanner(const std::string& root, pid_t pid) {
    for (int i = 0; i < 600; ++i) {
        if (fileText(root + "/stdout").find("* Scan for messages") != std::string::npos)
            return true;
        if (waitpid(pid, nullptr, WNOHANG) == pid) return false;
        std::this_thread::sleep_for(milliseconds(50));
    }
    return false;
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
    std::string text = fileText(path);
    size_t lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
}

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

// When the faults come: the first minute (the first half of a shorter run)
// brings each kind once, one after another, so that every path they take is
// in memory before the figures that later ones are held to; from then on one
// fault every 30 s (six to the rest of a shorter run), in turn.
class FaultSchedule {
  public:
    FaultSchedule(double total) : total_(total) {
        warmUp_ = std::min(60.0, total / 2);
        every_ = std::min(30.0, (total - warmUp_) / kFaultKinds);
    }
    double warmUp() const { return warmUp_; }
    double timeOf(int index) const {
        if (index < kFaultKinds) return warmUp_ * (index + 1) / (kFaultKinds + 1);
        return warmUp_ + every_ * (index - kFaultKinds + 1);
    }
    bool due(int index, double elapsed) const {
        double at = timeOf(index);
        return at <= elapsed && at < total_ - kQuietEnd;
    }

  private:
    double total_;
    double warmUp_;
    double every_;
};

class Soak {
  public:
    Soak(const Options& o) : o_(o), root_(makeRoot()), total_(o.minutes * 60), schedule_(total_) {
        board_.linkAt(root_ + kPathSerialPort);
    }
    ~Soak() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        readers_[0].reset();
        readers_[1].reset();
        if (failed_) {
            printf("soak: the daemon's root, with its log, stdout and stderr, is kept: %s\n",
                   root_.c_str());
            return;
        }
        std::string command = "rm -rf '" + root_ + "'";
        if (system(command.c_str()) != 0) perror("rm");
    }

    int run();

  private:
    void fault(int index);
    Sample sample(double elapsed);
    void report(int minute, const Sample& now, const Sample& before, const std::string& faults);
    void check(const Sample& now);
    void fail(const std::string& why) {
        printf("soak: FAIL: %s\n", why.c_str());
        failed_ = true;
    }
    bool finish();

    Options o_;
    std::string root_;
    double total_;
    FaultSchedule schedule_;
    simboard::SimulatedBoard board_;
    SpoilLedger spoils_;
    std::unique_ptr<WireSender> sender_;
    std::unique_ptr<FifoReader> readers_[2];
    pid_t pid_ = -1;
    FILE* csv_ = nullptr;
    bool failed_ = false;
    bool dead_ = false;
    Sample baseline_;
    bool haveBaseline_ = false;
};

void Soak::fault(int index) {
    Fault kind = static_cast<Fault>(index % kFaultKinds);
    // The readers' faults take turns between the two FIFOs.
    FifoReader& reader = *readers_[(index / kFaultKinds) % 2];
    switch (kind) {
        case Fault::Garbage:
            sender_->inject(WireFault::Garbage);
            break;
        case Fault::Reset:
            sender_->inject(WireFault::Reset);
            break;
        case Fault::NfcBurst:
            sender_->inject(WireFault::NfcBurst);
            break;
        case Fault::CutFrame:
            sender_->inject(WireFault::CutFrame);
            break;
        case Fault::ReaderLeaves:
            reader.leaveFor(std::chrono::duration_cast<milliseconds>(Seconds(kReaderAway)));
            break;
        case Fault::ReaderStalls:
            reader.stallFor(std::chrono::duration_cast<milliseconds>(Seconds(kReaderStall)));
            break;
    }
}

Sample Soak::sample(double elapsed) {
    Sample s;
    s.elapsed = elapsed;
    s.frames = sender_->frames();
    for (int i = 0; i < 2; ++i) s.values[i] = readers_[i]->counts();
    s.broadcasts = lineCount(root_ + "/am.log");
    s.rssKib = proc::statusField(pid_, "VmRSS");
    s.descriptors = steadyDescriptors(pid_);
    s.children = proc::children(pid_).size();
    s.cpuTicks = proc::cpuTicks(pid_);
    return s;
}

void Soak::report(int minute, const Sample& now, const Sample& before, const std::string& faults) {
    uint64_t frames = now.frames - before.frames;
    double cpuMicros = frames == 0 ? 0
                                   : (now.cpuTicks - before.cpuTicks) * 1e6 / sysconf(_SC_CLK_TCK) /
                                         static_cast<double>(frames);
    const SequenceCounts& prox = now.values[kMotion];
    const SequenceCounts& light = now.values[kLight];
    printf(
        "soak: minute %d: frames %llu, values prox %llu light %llu, lost %llu, dropped at "
        "readers %llu, spoiled on the wire %llu, stray %llu, broadcasts %zu, rss %ld KiB, "
        "fds %d, children %zu, cpu %.2f us/frame; faults: %s\n",
        minute, (unsigned long long)now.frames, (unsigned long long)prox.received,
        (unsigned long long)light.received, (unsigned long long)(prox.lost + light.lost),
        (unsigned long long)(prox.dropped + light.dropped),
        (unsigned long long)(prox.spoiled + light.spoiled),
        (unsigned long long)(prox.stray + light.stray), now.broadcasts, now.rssKib, now.descriptors,
        now.children, cpuMicros, faults.empty() ? "none" : faults.c_str());
    if (csv_ != nullptr) {
        fprintf(csv_, "%d,%.1f,%llu,%llu,%llu,%llu,%llu,%llu,%llu,%zu,%ld,%d,%zu,%.3f,%s\n", minute,
                now.elapsed, (unsigned long long)now.frames, (unsigned long long)prox.received,
                (unsigned long long)light.received, (unsigned long long)(prox.lost + light.lost),
                (unsigned long long)(prox.dropped + light.dropped),
                (unsigned long long)(prox.spoiled + light.spoiled),
                (unsigned long long)(prox.stray + light.stray), now.broadcasts, now.rssKib,
                now.descriptors, now.children, cpuMicros, faults.c_str());
        fflush(csv_);
    }
}

void Soak::check(const Sample& now) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        dead_ = true;
        fail("the daemon has died");
        return;
    }
    if (!sender_->linkFlowing()) fail("the daemon stopped reading its port for 5 s");
    for (const SequenceCounts& values : now.values) {
        if (values.lost > 0) fail(std::to_string(values.lost) + " values lost so far");
        if (values.stray > 0) fail(std::to_string(values.stray) + " stray values so far");
    }
    if (childLeftUnreaped(pid_)) fail("a child left unreaped");
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

// Stops the stream, waits for the last values, counts what never came and
// ends the daemon with SIGINT: it must end with status 0.
bool Soak::finish() {
    sender_->stop();
    for (int i = 0; i < 2; ++i) {
        readers_[i]->finish(sender_->sent(static_cast<Stream>(i)), milliseconds(3000));
    }
    if (dead_) return false;
    kill(pid_, SIGINT);
    int status = 0;
    pid_t ended = 0;
    for (int i = 0; i < 300 && (ended = waitpid(pid_, &status, WNOHANG)) == 0; ++i) {
        std::this_thread::sleep_for(milliseconds(50));
    }
    if (ended != pid_) return false;  // still running: the destructor kills it
    pid_ = -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int Soak::run() {
    pid_ = startDaemon(o_, root_);
    if (pid_ < 0 || !waitForBanner(root_, pid_)) {
        fail("the daemon did not reach its receive phase");
        return 1;
    }
    for (int i = 0; i < 2; ++i) {
        const char* name = i == kMotion ? kPathPipeProximity : kPathPipeLight;
        readers_[i] = std::make_unique<FifoReader>(root_ + name, static_cast<Stream>(i), spoils_);
        if (!readers_[i]->ok()) {
            fail(std::string("cannot open ") + name);
            return 1;
        }
    }
    if (!o_.csv.empty()) {
        csv_ = fopen(o_.csv.c_str(), "w");
        if (csv_ == nullptr) perror(o_.csv.c_str());
    }
    if (csv_ != nullptr) {
        fputs(
            "minute,elapsed_s,frames_sent,prox_values,light_values,lost,dropped_at_readers,"
            "spoiled_on_wire,stray,broadcasts,rss_kib,fds,children,cpu_us_per_frame,faults\n",
            csv_);
    }
    printf(
        "soak: %.0f min at %d frames/s, a fault every %.0f s after a warm-up of %.0f s; "
        "daemon %s (pid %d), root %s\n",
        o_.minutes, kLineStandardFramesPerSecond,
        schedule_.timeOf(kFaultKinds + 1) - schedule_.timeOf(kFaultKinds), schedule_.warmUp(),
        o_.daemon.c_str(), pid_, root_.c_str());
    sender_ = std::make_unique<WireSender>(board_, spoils_);
    Clock::time_point start = Clock::now();
    sender_->start();
    Sample before = sample(0);
    std::string faults;
    int next = 0;
    int minute = 1;
    double nextSample = std::min(60.0, total_);
    while (!dead_) {
        double elapsed = Seconds(Clock::now() - start).count();
        while (schedule_.due(next, elapsed)) {
            fault(next);
            faults += (faults.empty() ? "" : " ") + std::string(kFaultNames[next % kFaultKinds]);
            ++next;
        }
        if (!haveBaseline_ && elapsed >= schedule_.warmUp()) {
            baseline_ = sample(elapsed);
            haveBaseline_ = true;
        }
        if (elapsed >= nextSample) {
            if (nextSample >= total_) break;
            Sample now = sample(elapsed);
            report(minute++, now, before, faults);
            check(now);
            before = now;
            faults.clear();
            nextSample = std::min(nextSample + 60, total_);
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
    if (dead_) return 1;
    Sample last = sample(total_);  // the daemon's figures while the stream still runs
    check(last);
    bool clean = finish();
    for (int i = 0; i < 2; ++i) last.values[i] = readers_[i]->counts();
    last.broadcasts = lineCount(root_ + "/am.log");
    report(minute, last, before, faults);
    for (const SequenceCounts& values : last.values) {
        if (values.lost > 0) fail(std::to_string(values.lost) + " values lost");
    }
    if (last.broadcasts != sender_->broadcastsOwed()) {
        fail(std::to_string(last.broadcasts) + " broadcasts, " +
             std::to_string(sender_->broadcastsOwed()) + " owed (version messages and taps)");
    }
    if (!clean) fail("the daemon did not end with status 0 after SIGINT");
    printf(
        "soak: baseline after the warm-up: rss %ld KiB, fds %d; at the end: rss %ld KiB, fds "
        "%d; %s\n",
        baseline_.rssKib, baseline_.descriptors, last.rssKib, last.descriptors,
        failed_ ? "FAILED" : "passed");
    if (csv_ != nullptr) fclose(csv_);
    return failed_ ? 1 : 0;
}

}  // namespace

}  // namespace vantrel::soak

int main(int argc, char** argv) {
    vantrel::soak::Options options;
    if (!vantrel::soak::parseOptions(argc, argv, &options)) {
        fputs(
            "Usage: vantrel-soak --daemon PATH --stand-ins DIR [--minutes N] [--csv FILE] "
            "[--time-scale S]\n",
            stderr);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    vantrel::soak::Soak soak(options);
    return soak.run();
}
