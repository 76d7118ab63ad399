// vantrel-doctor as a process: one planted fault per row on a host root, the
// board probe against the simulated board, usage errors. Every run's JSON is
// parsed, not grepped.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>

#include "support/process_harness.h"
#include "tools/doctor/selinux.h"
#include "tools/proc/port_holders.h"
#include "tools/proc/process_figures.h"

extern char** environ;

namespace vantrel::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Entry = std::map<std::string, std::string>;  // check, verdict, detail, fix

// The doctor's JSON: an array of objects whose values are all strings.
// nullopt on anything else.
std::optional<std::vector<Entry>> parseJson(const std::string& text) {
    size_t at = 0;
    auto skip = [&] {
        while (at < text.size() && isspace(static_cast<unsigned char>(text[at]))) ++at;
    };
    auto take = [&](char c) {
        skip();
        return at < text.size() && text[at] == c ? (++at, true) : false;
    };
    auto string = [&](std::string* out) {
        if (!take('"')) return false;
        for (; at < text.size() && text[at] != '"'; ++at) {
            if (text[at] != '\\') {
                *out += text[at];
                continue;
            }
            char c = text[++at];
            if (c == 'u') {
                *out += static_cast<char>(std::stoi(text.substr(at + 1, 4), nullptr, 16));
                at += 4;
            } else {
                *out += c == 'n' ? '\n' : c == 't' ? '\t' : c;
            }
        }
        return take('"');
    };
    std::vector<Entry> entries;
    if (!take('[')) return std::nullopt;
    while (!take(']')) {
        if (!entries.empty() && !take(',')) return std::nullopt;
        Entry entry;
        if (!take('{')) return std::nullopt;
        while (!take('}')) {
            std::string key, value;
            if ((!entry.empty() && !take(',')) || !string(&key) || !take(':') || !string(&value))
                return std::nullopt;
            entry[key] = value;
        }
        entries.push_back(entry);
    }
    skip();
    if (at != text.size()) return std::nullopt;
    return entries;
}

struct DoctorRun {
    int status = -1;
    std::string out, err;
    double seconds = 0;
    std::vector<Entry> entries;
    Entry of(const std::string& check) const {
        for (const Entry& e : entries)
            if (e.at("check") == check) return e;
        return {};
    }
};

// Runs the doctor under the harness's root with `path` as its PATH and the
// time scale 0.25; killed (and the test failed) after 20 s.
DoctorRun runDoctor(const ProcessHarness& h, std::vector<std::string> args,
                    const std::string& path) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        if (strncmp(*e, "VANTREL_", 8) != 0 && strncmp(*e, "PATH=", 5) != 0) env.emplace_back(*e);
    for (const std::string& e :
         {"VANTREL_ROOT=" + h.root(), "PATH=" + path, std::string("VANTREL_TIME_SCALE=0.25"),
          "VANTREL_AM_LOG=" + h.path("doctor-am.log")})
        env.push_back(e);
    args.insert(args.begin(), VANTREL_DOCTOR_PATH);
    std::vector<char*> argv, envp;
    for (std::string& a : args) argv.push_back(a.data());
    for (std::string& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    std::string out = h.path("doctor.out"), err = h.path("doctor.err");
    int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    DoctorRun run;
    auto started = Clock::now();
    pid_t child = fork();
    if (child == 0) {
        dup2(outFd, STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(outFd);
    close(errFd);
    int status = 0;
    if (!waitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }, 20000ms, 5ms)) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        ADD_FAILURE() << "vantrel-doctor still ran after 20 s";
    }
    run.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = readWhole(out);
    run.err = readWhole(err);
    if (std::find(args.begin(), args.end(), "--json") != args.end()) {
        auto entries = parseJson(run.out);
        EXPECT_TRUE(entries.has_value())
            << "not the doctor's JSON (wait status " << status << ", stderr " << run.err << "):\n"
            << run.out;
        if (entries) run.entries = *entries;
    }
    return run;
}

// A host root where every check passes but `daemon` (none runs): a board at
// 1.6.25 on the link, an image naming 1.6.25, both streams on by property,
// both FIFOs read, the stand-ins on PATH.
struct World {
    ProcessHarness h;
    std::string path = h.path("bin") + ":" + ProcessHarness::standInDirectory() + ":/usr/bin:/bin";
    FifoReader prox, light;
    pid_t holder = -1;
    std::unique_ptr<ProcessHarness> other;  // a daemon that is not this setup's
    int writers[2] = {-1, -1};              // write ends alone on the FIFOs

    // Another board process's pseudo-terminal, for re-pointing the node.
    std::unique_ptr<simboard::SimulatedBoard> secondBoard;

    World() {
        h.writeFirmwareImage("1.6.25");
        h.setProperty("com.zyn.vantrel.motion", "true");
        h.setProperty("com.zyn.vantrel.light", "true");
        for (const char* fifo : {"data/pipeProx", "data/pipeLight"})
            mkfifo(h.path(fifo).c_str(), 0666);
        prox = h.openFifo("pipeProx", 1000ms);
        light = h.openFifo("pipeLight", 1000ms);
    }
    ~World() {
        if (holder > 0 && kill(holder, SIGKILL) == 0) waitpid(holder, nullptr, 0);
        for (int writer : writers) {
            if (writer >= 0) close(writer);
        }
    }
    std::string device() const {
        char real[PATH_MAX];
        return realpath(h.path("dev/ttymxc1").c_str(), real) ? real : "";
    }
    // `sleep` holding the serial device open on its standard input.
    void holdDevice() {
        std::string dev = device();
        holder = fork();
        if (holder == 0) {
            int fd = open(dev.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            dup2(fd, STDIN_FILENO);
            execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
            _exit(127);
        }
        ASSERT_TRUE(waitUntil(
            [&] { return readWhole("/proc/" + std::to_string(holder) + "/comm") == "sleep\n"; }));
    }
};

const std::vector<std::string> kChecks = {
    "daemon",         "activity",   "serial-device", "serial-holder", "reset-line", "bslsh",
    "firmware-image", "properties", "streams",       "pipes",         "am",         "selinux"};

struct FaultRow {
    const char* fault;
    std::function<void(World&)> plant;
    const char* check;
    const char* verdict;
    const char* detail;  // a text the row's detail must contain
};

TEST(DoctorProcess, EachPlantedFaultShowsInItsRow) {
    const FaultRow rows[] = {
        {"device missing", [](World& s) { unlink(s.h.path("dev/ttymxc1").c_str()); },
         "serial-device", "fail", "No such file"},
        {"device a regular file",
         [](World& s) {
             unlink(s.h.path("dev/ttymxc1").c_str());
             s.h.writeFile("dev/ttymxc1", "");
         },
         "serial-device", "fail", "a regular file"},
        {"device 0600, another owner",
         [](World& s) {
             chmod(s.device().c_str(), 0600);
             ASSERT_EQ(chown(s.device().c_str(), 4321, 4321), 0);
         },
         "serial-device", "fail", "may not read and write"},
        {"device read-only", [](World& s) { chmod(s.device().c_str(), 0444); }, "serial-device",
         "fail", "may not read and write"},
        {"port held", [](World& s) { s.holdDevice(); }, "serial-holder", "fail", "(sleep)"},
        {"reset line not exported",
         [](World& s) { unlink(s.h.path("sys/class/gpio/gpio101/value").c_str()); }, "reset-line",
         "fail", "not exported"},
        {"no bslsh on PATH",
         [](World& s) {
             s.h.writeStandIn("am", "#!/bin/sh\n");
             s.path = s.h.path("bin") + ":/usr/bin:/bin";
         },
         "bslsh", "fail", "not found"},
        {"development image", [](World& s) { s.h.writeFirmwareImageText("development build\n"); },
         "firmware-image", "warn", "development marker"},
        {"no image", [](World& s) { unlink(s.h.path("vendor/.sensor/sensor.hex").c_str()); },
         "firmware-image", "fail", "no image"},
        {"no properties, a daemon of another root only",
         [](World& s) {
             std::filesystem::remove_all(s.h.path("properties"));
             s.other = std::make_unique<ProcessHarness>();
             ASSERT_TRUE(s.other->start({"-m", "-l"}));
             ASSERT_TRUE(s.other->openFifo("pipeProx", 5000ms).isOpen());  // it runs by now
         },
         "streams", "fail", "none forwarded"},
        {"property neither true, false nor a number",
         [](World& s) { s.h.setProperty("com.zyn.vantrel.nfc", "yes"); }, "properties", "warn",
         "com.zyn.vantrel.nfc read as no"},
        {"image of another version", [](World& s) { s.h.writeFirmwareImage("1.6.24"); },
         "firmware-image", "warn", "would flash the board at every start"},
        {"reset line an input",
         [](World& s) { s.h.writeFile("sys/class/gpio/gpio101/direction", "in\n"); }, "reset-line",
         "warn", "would not reach the board"},
        {"FIFO a regular file",
         [](World& s) {
             s.prox = {};
             unlink(s.h.path("data/pipeProx").c_str());
             s.h.writeFile("data/pipeProx", "");
         },
         "pipes", "fail", "a regular file"},
        {"FIFOs with a writer and no reader",
         [](World& s) {
             s.prox = {};
             s.light = {};
             for (int i = 0; i < 2; ++i) {
                 std::string fifo = s.h.path(i == 0 ? "data/pipeProx" : "data/pipeLight");
                 int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
                 s.writers[i] = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
                 close(reader);
             }
         },
         "pipes", "warn", "no reader"},
        {"clean, daemon running",
         [](World& s) {
             std::filesystem::remove_all(s.h.path("properties"));  // streams from the options alone
             s.h.board().startMotionStream(20, 1, 2, true);        // no receive time-outs
             ASSERT_TRUE(s.h.start({"-m", "-l"}));
             ASSERT_TRUE(s.h.board().waitForCommand('N', 10000ms).has_value());
         },
         "streams", "ok", "motion forwarded (-m), light forwarded (-l), from pid"},
    };
    for (const FaultRow& row : rows) {
        SCOPED_TRACE(row.fault);
        if (std::string(row.fault).find("another owner") != std::string::npos && geteuid() != 0) {
            std::cout << "[ note ] row \"" << row.fault
                      << "\" needs root to give the device away\n";
            continue;
        }
        World s;
        row.plant(s);
        DoctorRun run = runDoctor(s.h, {"--json"}, s.path);
        ASSERT_EQ(run.entries.size(), kChecks.size()) << run.out;
        for (size_t i = 0; i < kChecks.size(); ++i) {
            const Entry& e = run.entries[i];
            EXPECT_EQ(e.at("check"), kChecks[i]);
            bool planted = e.at("check") == row.check;
            bool quiet = e.at("verdict") == "ok" || e.at("verdict") == "skip";
            // Every other check stays as in the clean setup (daemon: none runs).
            if (!planted && e.at("check") != "daemon") {
                EXPECT_TRUE(quiet) << e.at("check") << ": " << e.at("detail");
            }
            EXPECT_EQ(e.at("fix").empty(), quiet) << e.at("check");
        }
        Entry e = run.of(row.check);
        EXPECT_EQ(e["verdict"], row.verdict) << e["detail"];
        EXPECT_NE(e["detail"].find(row.detail), std::string::npos) << e["detail"];
        EXPECT_EQ(run.status, std::string(row.verdict) == "fail" ? 1 : 0);
        if (std::string(row.fault).find("clean") == 0) {
            EXPECT_EQ(run.of("serial-holder")["detail"].find("held by"), std::string::npos);
            DoctorRun table = runDoctor(s.h, {}, s.path);
            for (const std::string& line : splitLines(table.out))
                EXPECT_LE(line.size(), 80u) << line;
        }
    }
}

// Waits until the daemon has written `count` records that begin with `text`.
bool waitForRecord(const ProcessHarness& h, const std::string& text, size_t count = 1) {
    return waitUntil(
        [&] {
            size_t seen = 0;
            for (const LogRecord& record : h.logRecords())
                seen += record.message.rfind(text, 0) == 0;
            return seen >= count;
        },
        20000ms);
}

// The daemon started as init starts it, receiving from a board that streams.
void startReceiving(World& s) {
    s.h.board().startMotionStream(20, 1, 2, true);
    ASSERT_TRUE(s.h.start({"-d", "-m", "-l"}));
    ASSERT_TRUE(s.h.board().waitForCommand('N', 10000ms).has_value());
}

struct ActivityRow {
    const char* scenario;               // for the trace only
    std::function<void(World&)> plant;  // starts the daemon and brings it into its phase
    const char* verdict;
    std::vector<std::string> detail;  // texts the activity detail must contain
    const char* holderVerdict;        // serial-holder's, where the row concerns it too
    const char* holderDetail;
};

TEST(DoctorProcess, ActivityTellsWhatTheDaemonDoes) {
    const ActivityRow rows[] = {
        {"silent board",
         [](World& s) {
             s.h.setTimeScale(0.1);  // ten attempts with resets take 18 s
             s.h.board().setMode(simboard::BoardMode::Silent);
             ASSERT_TRUE(s.h.start({"-d", "-m", "-l"}));
             ASSERT_TRUE(waitForRecord(s.h, "id query command attempt 1 failed"));
         },
         "fail",
         {"identifying the board: attempt ", " of 10 failed", "holds /dev/pts/"},
         nullptr,
         nullptr},
        {"node re-pointed to another board process",
         [](World& s) {
             startReceiving(s);
             s.secondBoard = std::make_unique<simboard::SimulatedBoard>();
             ASSERT_TRUE(s.secondBoard->linkAt(s.h.path("dev/ttymxc1")));
         },
         "fail",
         {"receiving", ", but ", " now"},
         "fail",
         "not to it"},
        {"communication-error pause",
         [](World& s) {
             s.h.setTimeScale(0.1);  // the pause before ending lasts 6 s
             s.h.board().setVersion({1, 6, 24});
             s.h.writeStandIn("bslsh", "#!/bin/sh\nexit 1\n");
             ASSERT_TRUE(s.h.start({"-d", "-m", "-l"}));
             ASSERT_TRUE(waitForRecord(s.h, "Sleeping "));
         },
         "fail",
         {"gave up on the board", "after a pause of 60 s"},
         nullptr,
         nullptr},
        {"flashing",
         [](World& s) {
             s.h.board().setVersion({1, 6, 24});
             s.h.writeStandIn("bslsh", "#!/bin/sh\nsleep 30\n");
             ASSERT_TRUE(s.h.start({"-d", "-m", "-l"}));
             ASSERT_TRUE(waitForRecord(s.h, "Waiting for bslUpgrade.."));
             ASSERT_TRUE(waitUntil([&] {  // the child has become bslsh by now
                 for (const proc::Child& child : proc::children(s.h.pid()))
                     if (proc::commandName(child.pid) == "bslsh") return true;
                 return false;
             }));
         },
         "warn",
         {"flashing the board: pid ", "(bslsh)", "holds no serial port"},
         nullptr,
         nullptr},
        {"hung-up line",
         [](World& s) {
             startReceiving(s);
             s.h.board().vanish();
             ASSERT_TRUE(waitForRecord(s.h, "readData()::serial port hung up"));
         },
         "fail",
         {"hung up", "hang-ups "},
         nullptr,
         nullptr},
        {"pause after SIGINT",
         [](World& s) {
             s.h.setTimeScale(0.5);  // the receive wait and the pause after it: 5 s each
             s.h.setEnv("VANTREL_WAIT_TRACE", s.h.path("waits"));
             ASSERT_TRUE(s.h.start({"-d", "-m", "-l"}));
             // SIGINT inside the receive wait: the pause after the failed wait follows.
             ASSERT_TRUE(waitUntil(
                 [&] {
                     std::vector<std::string> waits = splitLines(s.h.readFile("waits"));
                     return !waits.empty() && waits.back() == "wait 10";
                 },
                 20000ms));
             ASSERT_TRUE(s.h.interrupt());
         },
         "warn",
         {"ending: SIGINT caught", "holds no serial port"},
         nullptr,
         nullptr},
        {"damaged frames, the log growing meanwhile",
         [](World& s) {
             startReceiving(s);
             s.h.board().startStream(
                 2ms, [] { return simboard::withBadChecksum(simboard::motion(1, 2)); }, true);
             ASSERT_TRUE(waitForRecord(s.h, "readPacket: checksum failure", 3));
         },
         "warn",
         {"receiving", "checksum failures ", "since it started", "records are checksum"},
         nullptr,
         nullptr},
        {"300 KiB of a crashed earlier run before this one",
         [](World& s) {
             std::string earlier =
                 "D/Vantrel: Pipe [" + s.h.path("data/pipeProx") + "] already exists.\n";
             while (earlier.size() < 300 * 1024)
                 earlier += "E/Vantrel: readPacket: checksum failure rec[0x01] cal[0x02]\n";
             s.h.writeFile("vantrel.log", earlier);
             startReceiving(s);
         },
         "ok",
         {"\"); version broadcasts 1 since it started", "lines of earlier runs left out",
          "its last 256 KiB"},
         nullptr,
         nullptr},
        {"its log removed meanwhile",
         [](World& s) {
             startReceiving(s);
             unlink(s.h.path("vantrel.log").c_str());
         },
         "skip",
         {"its records cannot be read", "No such file"},
         nullptr,
         nullptr},
    };
    for (const ActivityRow& row : rows) {
        SCOPED_TRACE(row.scenario);
        World s;
        row.plant(s);
        DoctorRun run = runDoctor(s.h, {"--json"}, s.path);
        Entry e = run.of("activity");
        EXPECT_EQ(e["verdict"], row.verdict) << e["detail"];
        for (const std::string& text : row.detail)
            EXPECT_NE(e["detail"].find(text), std::string::npos) << text << " in " << e["detail"];
        EXPECT_EQ(e["fix"].empty(), e["verdict"] == "ok" || e["verdict"] == "skip") << e["fix"];
        if (row.holderVerdict != nullptr) {
            Entry holder = run.of("serial-holder");
            EXPECT_EQ(holder["verdict"], row.holderVerdict) << holder["detail"];
            EXPECT_NE(holder["detail"].find(row.holderDetail), std::string::npos)
                << holder["detail"];
        }
    }
}

struct BoardRow {
    const char* board;
    std::function<void(simboard::SimulatedBoard&)> set;
    const char* verdict;
    std::vector<std::string> detail;
    bool portHeld = false;  // `sleep` holds the port meanwhile
};

TEST(DoctorProcess, BoardProbeTellsTheBoardsApart) {
    namespace sb = simboard;
    const BoardRow rows[] = {
        {"1.6.25, streaming",
         [](sb::SimulatedBoard& b) {
             b.startMotionStream(40, 100, 200, true);
             b.startLightStream(20, 300, 1, true);
             b.startStream(
                 50ms, [] { return sb::boardLog("ok"); }, true);
         },
         "ok",
         {"firmware 1.6.25, comm error 0; the daemon would not flash it",
          "would broadcast: am broadcast -a com.zyn.vantrel.UPDATE_VERSION --es version 1.6.25",
          "standard L=", " M=", "extended 1=", "motion ", "light "}},
        {"1.6.24",
         [](sb::SimulatedBoard& b) {
             b.setVersion({1, 6, 24});
         },
         "warn",
         {"firmware 1.6.24", "would flash it to 1.6.25"}},
        {"in its loader",
         [](sb::SimulatedBoard& b) { b.setMode(sb::BoardMode::BootstrapLoader); },
         "warn",
         {"its bootstrap loader answers"}},
        {"silent",
         [](sb::SimulatedBoard& b) { b.setMode(sb::BoardMode::Silent); },
         "fail",
         {"silent: neither"}},
        {"garbage flood",
         [](sb::SimulatedBoard& b) {
             b.setResponse('i', sb::garbage(64));
             b.startStream(  // 72 bytes every 6 ms: the line's whole 115200 baud
                 6ms,
                 [] {
                     return sb::concat(sb::garbage(64, 7), sb::withBadChecksum(sb::motion(1, 2)));
                 },
                 true);
         },
         "fail",
         {"answers with garbage", "stray bytes", "checksum failures"}},
        {"reply cut short",
         [](sb::SimulatedBoard& b) {
             b.setResponse('i', sb::concat(sb::ack(), sb::truncated(sb::version(1, 6, 25), 4)));
         },
         "fail",
         {"cut short"}},
        {"port held",
         [](sb::SimulatedBoard&) {},
         "fail",
         {"held by pid", "(sleep): not probed"},
         true},
    };
    for (const BoardRow& row : rows) {
        SCOPED_TRACE(row.board);
        World s;
        row.set(s.h.board());
        if (row.portHeld) s.holdDevice();
        DoctorRun run = runDoctor(s.h, {"--json", "--probe-board", "--listen", "0.5"}, s.path);
        Entry e = run.of("board");
        EXPECT_EQ(e["verdict"], row.verdict) << e["detail"];
        for (const std::string& text : row.detail)
            EXPECT_NE(e["detail"].find(text), std::string::npos) << e["detail"];
        EXPECT_EQ(run.status, std::string(row.verdict) == "fail" ? 1 : 0);
        // listen, the exchange's limit (4 s scaled) and bslsh's loader check, with room to spare
        EXPECT_LT(run.seconds, 5.0);
        EXPECT_EQ(s.h.readFile("doctor-am.log"), "") << "the probe broadcast for real";
        // One identification and the loader's sync at most: nothing that changes the board.
        EXPECT_EQ(s.h.board().commandCount('i'), s.h.board().commands().size());
        for (const std::string& event : s.h.board().bslEvents()) EXPECT_EQ(event, "sync");
    }
}

TEST(DoctorProcess, UsageErrors) {
    const std::pair<std::vector<std::string>, int> rows[] = {
        {{"--bogus"}, 2},
        {{"--listen"}, 2},
        {{"--listen", "abc"}, 2},
        {{"--listen", "-1"}, 2},
        {{"--listen", "inf"}, 2},
        {{"-p"}, 2},
        {{"-h"}, 0},
    };
    ProcessHarness h;
    for (const auto& [args, status] : rows) {
        SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
        DoctorRun run = runDoctor(h, args, "/usr/bin:/bin");
        EXPECT_EQ(run.status, status);
        EXPECT_NE((status == 0 ? run.out : run.err).find("Usage: vantrel-doctor"),
                  std::string::npos);
    }
}

}  // namespace
}  // namespace vantrel::test
