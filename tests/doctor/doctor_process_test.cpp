// vantrel-doctor as a process: one planted fault per row on a host root, the
// board probe against the simulated board, usage errors. Every run's JSON is
// parsed, not grepped.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>

#include "simboard/simulated_image.h"
#include "support/process_harness.h"
#include "tools/doctor/sha256.h"
#include "tools/proc/port_holders.h"
#include "tools/proc/process_figures.h"

namespace vantrel::test {
namespace {

using namespace std::chrono_literals;
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
            char c = text[at];
            if (c == '\\' && text[++at] == 'u') {
                c = static_cast<char>(std::stoi(text.substr(at + 1, 4), nullptr, 16));
                at += 4;
            } else if (c == '\\') {
                c = text[at] == 'n' ? '\n' : text[at] == 't' ? '\t' : text[at];
            }
            *out += c;
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
    std::vector<Entry> entries;
    Entry of(const std::string& check) const {
        for (const Entry& e : entries)
            if (e.at("check") == check) return e;
        return {};
    }
};

// Runs the doctor under the harness's root with `path` as its PATH and the
// time scale 0.25; killed (and the test failed) after 20 s. `during` gets
// the doctor's pid while it runs.
DoctorRun runDoctor(const ProcessHarness& h, const std::vector<std::string>& args,
                    const std::string& path, const std::function<void(pid_t)>& during = nullptr) {
    desk::Launch launch{{VANTREL_DOCTOR_PATH},
                        {"VANTREL_ROOT=" + h.root(), "PATH=" + path, "VANTREL_TIME_SCALE=0.25",
                         "VANTREL_AM_LOG=" + h.path("doctor-am.log")},
                        h.path("doctor.out"),
                        h.path("doctor.err")};
    launch.argv.insert(launch.argv.end(), args.begin(), args.end());
    for (const std::string& e : desk::currentEnvironment())
        if (e.rfind("VANTREL_", 0) != 0 && e.rfind("PATH=", 0) != 0)
            launch.environment.push_back(e);
    desk::DeskProcess doctor;
    std::string error;
    EXPECT_TRUE(doctor.start(launch, &error)) << error;
    if (during) during(doctor.pid());
    DoctorRun run;
    run.status = doctor.waitForExit(20000ms).value_or(-1);
    if (doctor.running()) ADD_FAILURE() << "vantrel-doctor still ran after 20 s";
    run.out = readWhole(launch.stdoutPath);
    run.err = readWhole(launch.stderrPath);
    if (std::find(args.begin(), args.end(), "--json") != args.end()) {
        auto entries = parseJson(run.out);
        EXPECT_TRUE(entries.has_value()) << "not the doctor's JSON (exit status " << run.status
                                         << ", stderr " << run.err << "):\n"
                                         << run.out;
        if (entries) run.entries = *entries;
    }
    return run;
}

// A host root where every check passes but `daemon` (none runs): a board at
// 1.6.25 on the link, the desk's image of 1.6.25, both streams on by property,
// both FIFOs read, the stand-ins on PATH.
struct World {
    ProcessHarness h;
    std::string path = h.path("bin") + ":" + ProcessHarness::standInDirectory() + ":/usr/bin:/bin";
    FifoReader prox, light;
    desk::DeskProcess holder;
    std::unique_ptr<ProcessHarness> other;  // a daemon that is not this setup's
    int writers[2] = {-1, -1};              // write ends alone on the FIFOs
    bool leftOut = false;                   // the row cannot be planted here

    // Another board process's pseudo-terminal, for re-pointing the node.
    std::unique_ptr<simboard::SimulatedBoard> secondBoard;

    World() {
        h.writeFirmwareImage({1, 6, 25});
        h.setProperty(kMotionProperty, "true");
        h.setProperty(kLightProperty, "true");
        for (const char* fifo : {kPathPipeProximity, kPathPipeLight})
            mkfifo(h.path(fifo).c_str(), 0666);
        prox = h.openFifo("pipeProx", 1000ms);
        light = h.openFifo("pipeLight", 1000ms);
    }
    ~World() {
        for (int writer : writers)
            if (writer >= 0) close(writer);
    }
    std::string device() const {
        std::error_code unresolved;
        return std::filesystem::canonical(h.path(kPathSerialPort), unresolved);
    }
    // `sleep` holding the serial device open on its standard input.
    void holdDevice() {
        desk::Launch launch{{"/bin/sh", "-c", "exec sleep 30 <>" + device()},
                            {"PATH=/usr/bin:/bin"},
                            h.path("holder.out"),
                            h.path("holder.err")};
        std::string error;
        ASSERT_TRUE(holder.start(launch, &error)) << error;
        ASSERT_TRUE(waitUntil([&] {
            return readWhole("/proc/" + std::to_string(holder.pid()) + "/comm") == "sleep\n";
        }));
    }
    // The daemon with `args`, once it has asked the board for its version.
    void startDaemon(const std::vector<std::string>& args = {"-m", "-l"}) {
        ASSERT_TRUE(h.start(args));
        ASSERT_TRUE(h.board().waitForCommand('N', 10000ms).has_value());
    }
};

std::string withoutLastLine(const ProcessHarness& h) {
    std::string text = h.readFile(kPathFirmwareImage);
    return text.substr(0, text.rfind('\n', text.size() - 2) + 1);
}

const std::vector<std::string> kChecks = {
    "daemon",         "activity",   "serial-device", "serial-holder", "reset-line", "bslsh",
    "firmware-image", "properties", "streams",       "pipes",         "am",         "selinux"};

// What one row of a run must show: its verdict, texts its detail must
// contain and, for a warn or fail, one its fix must contain (only they have a fix).
struct Expected {
    const char* check;
    const char* verdict;
    std::vector<std::string> detail;
    const char* fix = "";
};

// What a test plants in a World before the doctor runs, and what the rows
// it names must show (the loop that runs it says what the others must).
struct Scenario {
    const char* name;
    std::function<void(World&)> plant;
    std::vector<Expected> expected;
    // Board probe rows only: what to do while the doctor runs, given its pid.
    std::function<void(World&, pid_t)> whileItRuns = nullptr;
};

bool expects(const Scenario& row, const std::string& check) {
    return std::any_of(row.expected.begin(), row.expected.end(),
                       [&](const Expected& e) { return e.check == check; });
}

void expectRow(const DoctorRun& run, const Expected& expected) {
    Entry e = run.of(expected.check);
    EXPECT_EQ(e["verdict"], expected.verdict) << expected.check << ": " << e["detail"];
    for (const std::string& text : expected.detail)
        EXPECT_NE(e["detail"].find(text), std::string::npos) << text << " in " << e["detail"];
    EXPECT_NE(e["fix"].find(expected.fix), std::string::npos) << e["fix"];
    EXPECT_EQ(e["fix"].empty(), e["verdict"] == "ok" || e["verdict"] == "skip") << e["fix"];
}

// A table's lines within `width` columns, each row's first line led by its
// check name and verdict.
void expectTableFits(const DoctorRun& table, size_t width) {
    for (const std::string& line : splitLines(table.out)) {
        EXPECT_LE(line.size(), width) << line;
        bool continuation = line.compare(0, 21, std::string(21, ' ')) == 0;
        bool led = std::any_of(kChecks.begin(), kChecks.end(), [&](const std::string& check) {
            return line.compare(0, check.size() + 1, check + " ") == 0;
        });
        EXPECT_TRUE(continuation || led || line.rfind("check", 0) == 0) << line;
    }
}

TEST(DoctorProcess, EachPlantedFaultShowsInItsRow) {
    const Scenario rows[] = {
        {"device missing",
         [](World& s) { unlink(s.h.path(kPathSerialPort).c_str()); },
         {{"serial-device",
           "fail",
           {"No such file"},
           "device tree (status \"okay\") so that /dev/ttymxc1 appears at boot, or start the "
           "daemon with -p and the right device; now: adb shell ls -lZ /dev/ttymxc*"}}},
        {"device a regular file",
         [](World& s) {
             unlink(s.h.path(kPathSerialPort).c_str());
             s.h.writeFile(kPathSerialPort, "");
         },
         {{"serial-device", "fail", {"a regular file"}, "remove what sits at /dev/ttymxc1"}}},
        {"device 0600, another owner",
         [](World& s) {
             if (geteuid() != 0) {
                 std::cout << "[ note ] giving a node away needs root\n";
                 s.leftOut = true;
                 return;
             }
             chmod(s.device().c_str(), 0600);
             ASSERT_EQ(chown(s.device().c_str(), 4321, 4321), 0);
         },
         {{"serial-device", "fail", {"may not read and write"}, "now: adb shell chown system"}}},
        {"device read-only",
         [](World& s) { chmod(s.device().c_str(), 0444); },
         {{"serial-device", "fail", {"may not read and write"}, "0660 system system"}}},
        {"port held",
         [](World& s) { s.holdDevice(); },
         {{"serial-holder", "fail", {"(sleep)"}, "split the board's bytes"}}},
        {"two daemons on one port",
         [](World& s) {
             s.startDaemon();
             s.other = std::make_unique<ProcessHarness>();  // with the options on this board
             s.other->setEnv("VANTREL_ROOT", s.h.root());
             ASSERT_TRUE(s.other->start({"-m", "-l", "-p", s.device()}));
             ASSERT_TRUE(waitUntil([&] { return s.h.board().commandCount('i') >= 2; }));
         },
         {{"daemon", "fail", {"more than one daemon"}, "kill -INT"},
          {"serial-holder", "fail", {"the daemon: pid"}, "split the board's bytes"}}},
        {"reset line not exported",
         [](World& s) { unlink(s.h.path(kPathResetLine).c_str()); },
         {{"reset-line", "fail", {"not exported"}, "echo 101 > /sys/class/gpio/export"}}},
        {"reset value readable, not writable",
         [](World& s) { chmod(s.h.path(kPathResetLine).c_str(), 0444); },
         {{"reset-line", "fail", {"may not write it"}, "gpio101 value 0660 system system"}}},
        {"reset value holding a control byte",
         [](World& s) { s.h.writeFile(kPathResetLine, "\x01"); },
         {{"reset-line", "ok", {"value \"\\x01\""}}}},
        {"reset line an input",
         [](World& s) { s.h.writeFile("sys/class/gpio/gpio101/direction", "in\n"); },
         {{"reset-line", "warn", {"would not reach the board"}, "echo out > "}}},
        {"no bslsh on PATH",
         [](World& s) {
             s.h.writeStandIn("am", "#!/bin/sh\n");
             s.path = s.h.path("bin") + ":/usr/bin:/bin";
         },
         {{"bslsh", "fail", {"not found"}, "install bslsh in /vendor/bin"}}},
        {"bslsh not executable",
         [](World& s) {
             s.h.writeStandIn("bslsh", "#!/bin/sh\n");
             chmod(s.h.path("bin/bslsh").c_str(), 0644);
             s.h.writeStandIn("am", "#!/bin/sh\n");
             s.path = s.h.path("bin") + ":/usr/bin:/bin";
         },
         {{"bslsh", "fail", {"is not executable"}, "chmod 0755"}}},
        {"development image",
         [](World& s) { s.h.writeFirmwareImageText("development build\n"); },
         {{"firmware-image", "warn", {"development marker"}}}},
        {"no image",
         [](World& s) { unlink(s.h.path(kPathFirmwareImage).c_str()); },
         {{"firmware-image", "fail", {"no image"}}}},
        {"no properties, a daemon of another root only",
         [](World& s) {
             std::filesystem::remove_all(s.h.path("properties"));
             s.other = std::make_unique<ProcessHarness>();
             ASSERT_TRUE(s.other->start({"-m", "-l"}));
             ASSERT_TRUE(s.other->openFifo("pipeProx", 5000ms).isOpen());  // it runs by now
         },
         {{"streams", "fail", {"none forwarded"}}}},
        {"service stopped, its init file forwards both",
         [](World& s) {
             std::filesystem::remove_all(s.h.path("properties"));
             std::filesystem::create_directories(s.h.path("vendor/etc/init"));
             s.h.writeFile(kPathInitFile,
                           readWhole(std::string(VANTREL_SOURCE_DIR) + "/android/vantrel.rc"));
         },
         {{"streams", "ok", {"light forwarded (-l), no daemon running: the options of"}}}},
        {"motion alone forwarded, light unread",
         [](World& s) {
             s.h.setProperty(kLightProperty, "false");
             s.light = {};
         },
         {{"pipes", "ok", {"no reader (stream not forwarded)"}}}},
        {"property neither true, false nor a number",
         [](World& s) { s.h.setProperty(kNfcProperty, "yes"); },
         {{"properties", "warn", {"com.zyn.vantrel.nfc read as no"}}}},
        {"no folder for the FIFOs",
         [](World& s) {
             s.prox = {};
             s.light = {};
             std::filesystem::remove_all(s.h.path("data"));
         },
         {{"pipes", "fail", {"no folder"}, "mkdir -p "}}},
        {"image record with a wrong checksum",
         [](World& s) {
             std::string image = s.h.readFile(kPathFirmwareImage);
             char& digit = image.at(image.find('\n', image.find('\n') + 1) - 1);  // line 2's last
             digit = digit == '0' ? '1' : '0';
             s.h.writeFirmwareImageText(image);
         },
         {{"firmware-image", "fail", {"damaged at line 2: checksum"}}}},
        {"image without its end record",
         [](World& s) { s.h.writeFirmwareImageText(withoutLastLine(s.h)); },
         {{"firmware-image", "fail", {"without its end-of-file record"}}}},
        {"image with blank lines past the doctor's first read",
         [](World& s) {
             s.h.writeFirmwareImageText(withoutLastLine(s.h) + std::string(5000, '\n') +
                                        splitLines(s.h.readFile(kPathFirmwareImage)).back() + "\n");
         },
         {{"firmware-image", "ok", {"Intel HEX: 4 records"}}}},
        {"image of 1.6.24 from vantrel-simboard --write-image",
         [](World& s) {
             std::string command = std::string(VANTREL_SIMBOARD_PATH) +
                                   " --version 1.6.24 --write-image " +
                                   s.h.path(kPathFirmwareImage);
             ASSERT_EQ(std::system(command.c_str()), 0) << command;
             EXPECT_EQ(simboard::simulatedImageVersion(s.h.readFile(kPathFirmwareImage)),
                       simboard::FirmwareVersion({1, 6, 24}));
         },
         {{"firmware-image", "ok", {"Intel HEX: 4 records"}}}},
        {"image not Intel HEX",
         [](World& s) { s.h.writeFirmwareImageText(std::string("\177ELF\1\1\0\0", 8)); },
         {{"firmware-image", "warn", {"not an Intel HEX image: the doctor cannot check it"}}}},
        {"FIFO a regular file",
         [](World& s) {
             s.prox = {};
             unlink(s.h.path(kPathPipeProximity).c_str());
             s.h.writeFile(kPathPipeProximity, "");
         },
         {{"pipes", "fail", {"a regular file"}, "remove it"}}},
        {"FIFOs with a writer and no reader",
         [](World& s) {
             s.prox = {};
             s.light = {};
             for (int i = 0; i < 2; ++i) {
                 std::string fifo = s.h.path(i == 0 ? kPathPipeProximity : kPathPipeLight);
                 int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
                 s.writers[i] = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
                 close(reader);
             }
         },
         {{"pipes", "warn", {"no reader"}, "start the panel's reader"}}},
        {"clean, daemon running",
         [](World& s) {
             std::filesystem::remove_all(s.h.path("properties"));  // streams from the options alone
             s.h.board().startMotionStream(20, 1, 2, true);        // no receive time-outs
             s.startDaemon();
         },
         {{"daemon", "ok", {"options -m -l"}},
          {"streams", "ok", {"motion forwarded (-m), light forwarded (-l), from pid"}}}},
    };
    for (const Scenario& row : rows) {
        SCOPED_TRACE(row.name);
        World s;
        row.plant(s);
        if (s.leftOut) continue;
        DoctorRun run = runDoctor(s.h, {"--json"}, s.path);
        EXPECT_EQ(run.entries.size(), kChecks.size()) << run.out;
        bool failed = false;
        for (size_t i = 0; i < std::min(kChecks.size(), run.entries.size()); ++i) {
            Entry& e = run.entries[i];
            EXPECT_EQ(e["check"], kChecks[i]);
            bool quiet = e["verdict"] == "ok" || e["verdict"] == "skip";
            failed = failed || e["verdict"] == "fail";
            // Every other check stays as in the clean setup (daemon: none runs).
            if (!expects(row, e["check"]) && e["check"] != "daemon") {
                EXPECT_TRUE(quiet) << e["check"] << ": " << e["detail"];
            }
            // The image's sha256 is shown wherever the image is ok.
            if (e["check"] == "firmware-image" &&
                (!expects(row, "firmware-image") || e["verdict"] == "ok")) {
                EXPECT_NE(e["detail"].find("sha256 " +
                                           doctor::sha256Hex(s.h.readFile(kPathFirmwareImage))),
                          std::string::npos)
                    << e["detail"];
            }
            EXPECT_EQ(e["fix"].empty(), quiet) << e["check"];
        }
        for (const Expected& expected : row.expected) expectRow(run, expected);
        EXPECT_EQ(run.status, failed ? 1 : 0);
        if (std::string(row.name).find("clean") == 0) {
            EXPECT_EQ(run.of("serial-holder")["detail"].find("held by"), std::string::npos);
            for (const char* columns : {"", "40"}) {
                setenv("COLUMNS", columns, 1);
                expectTableFits(runDoctor(s.h, {}, s.path), *columns ? 40 : 80);
            }
            unsetenv("COLUMNS");
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
    s.startDaemon({"-d", "-m", "-l"});
}

TEST(DoctorProcess, ActivityTellsWhatTheDaemonDoes) {
    const Scenario rows[] = {
        {"silent board",
         [](World& s) {
             s.h.setTimeScale(0.1);  // ten attempts with resets take 18 s
             s.h.board().setMode(simboard::BoardMode::Silent);
             ASSERT_TRUE(s.h.start({"-d", "-m", "-l"}));
             ASSERT_TRUE(waitForRecord(s.h, "id query command attempt 1 failed"));
         },
         {{"activity",
           "fail",
           {"identifying the board: attempt ", " of 10 failed", "holds /dev/pts/"}}}},
        {"node re-pointed to another board process",
         [](World& s) {
             startReceiving(s);
             s.secondBoard = std::make_unique<simboard::SimulatedBoard>();
             ASSERT_TRUE(s.secondBoard->linkAt(s.h.path(kPathSerialPort)));
         },
         {{"activity", "fail", {"receiving", ", but ", " now"}},
          {"serial-holder", "fail", {"not to it"}}}},
        {"communication-error pause",
         [](World& s) {
             s.h.setTimeScale(0.1);  // the pause before ending lasts 6 s
             s.h.board().setVersion({1, 6, 24});
             s.h.writeStandIn("bslsh", "#!/bin/sh\nexit 1\n");
             ASSERT_TRUE(s.h.start({"-d", "-m", "-l"}));
             ASSERT_TRUE(waitForRecord(s.h, "Sleeping "));
         },
         {{"activity", "fail", {"gave up on the board", "after a pause of 60 s"}}}},
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
         {{"activity", "warn", {"flashing the board: pid ", "(bslsh)", "holds no serial port"}}}},
        {"hung-up line",
         [](World& s) {
             startReceiving(s);
             s.h.board().vanish();
             ASSERT_TRUE(waitForRecord(s.h, "readData()::serial port hung up"));
         },
         {{"activity", "fail", {"hung up", "hang-ups "}}}},
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
         {{"activity", "warn", {"ending: SIGINT caught", "holds no serial port"}}}},
        {"damaged frames, the log growing meanwhile",
         [](World& s) {
             startReceiving(s);
             s.h.board().startStream(
                 2ms, [] { return simboard::withBadChecksum(simboard::motion(1, 2)); }, true);
             ASSERT_TRUE(waitForRecord(s.h, "readPacket: checksum failure", 3));
         },
         {{"activity",
           "warn",
           {"receiving", "checksum failures ", "since it started", "records are checksum"}}}},
        {"300 KiB of a crashed earlier run before this one",
         [](World& s) {
             std::string earlier =
                 "D/Vantrel: Pipe [" + s.h.path(kPathPipeProximity) + "] already exists.\n";
             while (earlier.size() < 300 * 1024)
                 earlier += "E/Vantrel: readPacket: checksum failure rec[0x01] cal[0x02]\n";
             s.h.writeFile("vantrel.log", earlier);
             startReceiving(s);
         },
         {{"activity",
           "ok",
           {"\"); version broadcasts 1 since it started", "lines of earlier runs left out",
            "its last 256 KiB"}}}},
        {"an older log put in its place (a restored copy)",
         [](World& s) {
             startReceiving(s);
             s.h.writeFile("vantrel.log", "E/Vantrel: id query command attempt 3 failed\n");
             struct timespec hourAgo[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
             ASSERT_EQ(utimensat(AT_FDCWD, s.h.path("vantrel.log").c_str(), hourAgo, 0), 0);
         },
         {{"activity", "skip", {"its records cannot be read", "has not been written since pid"}}}},
        {"its log removed meanwhile",
         [](World& s) {
             startReceiving(s);
             unlink(s.h.path("vantrel.log").c_str());
         },
         {{"activity", "skip", {"its records cannot be read", "No such file"}}}},
    };
    for (const Scenario& row : rows) {
        SCOPED_TRACE(row.name);
        World s;
        row.plant(s);
        DoctorRun run = runDoctor(s.h, {"--json"}, s.path);
        for (const Expected& expected : row.expected) expectRow(run, expected);
    }
}

// SIGINT to the doctor once the board has its identification and the
// doctor listens (listening for 30 s would outlast the run's 20 s limit).
void interruptListening(World& s, pid_t doctor) {
    EXPECT_TRUE(s.h.board().waitForCommand('i', 10000ms).has_value());
    usleep(200000);
    kill(doctor, SIGINT);
}

TEST(DoctorProcess, BoardProbeTellsTheBoardsApart) {
    namespace sb = simboard;
    auto at1624 = [](World& s) { s.h.board().setVersion({1, 6, 24}); };
    auto inLoader = [](World& s) { s.h.board().setMode(sb::BoardMode::BootstrapLoader); };
    // The board as `set` leaves it, with `image` in place of the desk's image of 1.6.25.
    auto withImage = [](std::function<void(World&)> set, std::string image) {
        return [=](World& s) {
            set(s);
            s.h.writeFirmwareImageText(image);
        };
    };
    const Scenario rows[] = {
        {"1.6.25, streaming",
         [](World& s) {
             s.h.board().startMotionStream(40, 100, 200, true);
             s.h.board().startLightStream(20, 300, 1, true);
             s.h.board().startStream(
                 50ms, [] { return sb::boardLog("ok"); }, true);
         },
         {{"board",
           "ok",
           {"firmware 1.6.25, comm error 0; the daemon would not flash it",
            "would broadcast: am broadcast -a com.zyn.vantrel.UPDATE_VERSION --es version 1.6.25",
            "standard L=", " M=", "extended 1=", "motion ", "light "}}}},
        {"1.6.24",
         at1624,
         {{"board", "warn", {"firmware 1.6.24", "would flash it with", "compare its sha256"}}}},
        {"1.6.24, development marker",
         withImage(at1624, "development build\n"),
         {{"board",
           "ok",
           {"firmware 1.6.24", "the daemon would not flash it (development marker)"}}}},
        {"1.6.24, image cut short",
         withImage(at1624, ":020000040000FA\n"),
         {{"board",
           "fail",
           {"would flash it with a damaged image", "line 1: the file ends here"}}}},
        {"1.6.24, no image",
         [&](World& s) {
             at1624(s);
             unlink(s.h.path(kPathFirmwareImage).c_str());
         },
         {{"board", "fail", {"would try to flash it and fail: image ", "No such file"}}}},
        {"in its loader",
         inLoader,
         {{"board", "warn", {"its bootstrap loader answers", "would flash it with"}}}},
        {"in its loader, development marker",
         withImage(inLoader, "development build\n"),
         {{"board",
           "fail",
           {"would not flash it (development marker), so it cannot use the board"}}}},
        {"silent",
         [](World& s) { s.h.board().setMode(sb::BoardMode::Silent); },
         {{"board", "fail", {"silent: neither"}}}},
        {"garbage flood",
         [](World& s) {
             s.h.board().setResponse('i', sb::garbage(64));
             auto flood = [] {
                 return sb::concat(sb::garbage(64, 7), sb::withBadChecksum(sb::motion(1, 2)));
             };
             // 72 bytes every 6 ms: the line's whole 115200 baud
             s.h.board().startStream(6ms, flood, true);
         },
         {{"board", "fail", {"answers with garbage", "stray bytes", "checksum failures"}}}},
        {"reply cut short",
         [](World& s) {
             s.h.board().setResponse(
                 'i', sb::concat(sb::ack(), sb::truncated(sb::version(1, 6, 25), 4)));
         },
         {{"board", "fail", {"cut short"}}}},
        {"port held",
         [](World& s) { s.holdDevice(); },
         {{"board", "fail", {"held by pid", "(sleep): not probed"}, "stop pid"}}},
        {"port held by the daemon",
         [](World& s) { s.startDaemon(); },
         {{"board",
           "fail",
           {"held by pid", ": not probed"},
           "stop the daemon, then probe again; start it afterwards; now: kill -INT "}}},
        {"Ctrl-C while listening",
         [](World& s) { s.h.board().startMotionStream(20, 100, 200, true); },
         {{"board", "ok", {"firmware 1.6.25", "standard M=", "listening ended early by a signal"}}},
         interruptListening},
    };
    for (const Scenario& row : rows) {
        SCOPED_TRACE(row.name);
        World s;
        row.plant(s);
        size_t commandsBefore = s.h.board().commands().size();
        DoctorRun run =
            runDoctor(s.h, {"--json", "--probe-board", "--listen", row.whileItRuns ? "30" : "0.5"},
                      s.path, [&](pid_t doctor) {
                          if (row.whileItRuns) row.whileItRuns(s, doctor);
                      });
        expectRow(run, row.expected.at(0));
        EXPECT_EQ(run.status, std::string(row.expected.at(0).verdict) == "fail" ? 1 : 0);
        // Every version a fix names: none but the one the daemon requires may
        // be advised, since the daemon flashes any other at every start.
        std::string fix = run.of("board")["fix"];
        static const std::regex kVersion("[0-9]+\\.[0-9]+\\.[0-9]+");
        for (auto it = std::sregex_iterator(fix.begin(), fix.end(), kVersion);
             it != std::sregex_iterator(); ++it)
            EXPECT_EQ(it->str(), "1.6.25");
        EXPECT_EQ(s.h.readFile("doctor-am.log"), "") << "the probe broadcast for real";
        // The probe's records carry its own tag, never the daemon's.
        EXPECT_EQ(run.err.find("/Vantrel"), std::string::npos) << run.err;
        // One identification and the loader's sync at most: nothing that changes the board.
        auto commands = s.h.board().commands();
        EXPECT_LE(commands.size(), commandsBefore + 1);
        for (size_t i = commandsBefore; i < commands.size(); ++i)
            EXPECT_EQ(commands[i].letter(), 'i');
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
        {{"--version"}, 0},
    };
    ProcessHarness h;
    for (const auto& [args, status] : rows) {
        SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
        DoctorRun run = runDoctor(h, args, "/usr/bin:/bin");
        EXPECT_EQ(run.status, status);
        bool version = args[0] == "--version";
        EXPECT_NE((status == 0 ? run.out : run.err)
                      .find(version ? "(the daemon requires sensor firmware 1.6.25)"
                                    : "Usage: vantrel-doctor"),
                  std::string::npos);
        if (args[0] != "-h") continue;
        for (std::string check : kChecks) {  // every row on a line of its own
            check.resize(16, ' ');
            EXPECT_NE(run.out.find("\n  " + check), std::string::npos) << check;
        }
    }
}

}  // namespace
}  // namespace vantrel::test
