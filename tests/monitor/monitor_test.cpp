// vantrel-monitor as a process on a pseudo-terminal: plain lines per value,
// the redraw on a narrow terminal, waiting for FIFOs, a FIFO it shares with
// another reader, the end on a signal.
#include <fcntl.h>
#include <fnmatch.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "desk/desk_process.h"
#include "support/process_harness.h"

namespace vantrel::test {
namespace {

using namespace std::chrono_literals;

// Writes `bytes` into the FIFO through a write end of our own, then closes it.
bool writeFifo(const std::string& path, const void* bytes, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    bool ok = fd >= 0 && write(fd, bytes, size) == static_cast<ssize_t>(size);
    return fd >= 0 && close(fd) == 0 && ok;
}

// A shell pattern over a whole line: '*' also stands for '/'.
bool matches(const char* pattern, const std::string& line) {
    return fnmatch(pattern, line.c_str(), 0) == 0;
}

// A terminal's rows after `output` (cursor up, clear line, clear below, line feed).
std::vector<std::string> screen(const std::string& output) {
    std::vector<std::string> rows(1);
    size_t row = 0;
    for (size_t at = 0; at < output.size(); ++at) {
        if (output[at] == '\x1b') {
            size_t end = output.find_first_of("AKJhl", at);
            if (output[end] == 'A') row -= std::min<size_t>(row, std::stoul(output.substr(at + 2)));
            if (output[end] == 'K') rows[row].clear();
            if (output[end] == 'J') rows.resize(row + 1);
            at = end;
        } else if (output[at] == '\n' && ++row == rows.size()) {
            rows.emplace_back();
        } else if (output[at] != '\n' && output[at] != '\r') {
            rows[row] += output[at];
        }
    }
    return rows;
}

class MonitorProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(mkdtemp(dir.data()), dir.data());
        prox = dir + "/pipeProx", light = dir + "/pipeLight";
    }
    void TearDown() override {  // the monitor and the other reader are killed as they go
        if (terminal >= 0) close(terminal);
        std::filesystem::remove_all(dir);
    }
    // Standard output on a terminal `columns` wide, standard error in a file.
    void launch(std::vector<std::string> args, unsigned short columns = 80) {
        args.insert(args.begin(), VANTREL_MONITOR_PATH);
        if (terminal >= 0) close(terminal);
        terminal = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_TRUE(terminal >= 0 && grantpt(terminal) == 0 && unlockpt(terminal) == 0);
        struct winsize size = {24, columns, 0, 0};
        ASSERT_EQ(ioctl(terminal, TIOCSWINSZ, &size), 0);
        shown.clear();
        start(monitor, args, ptsname(terminal), dir + "/err");
    }
    void start(desk::DeskProcess& process, const std::vector<std::string>& argv,
               const std::string& out, const std::string& err) {
        std::string error;
        ASSERT_TRUE(process.start({argv, desk::currentEnvironment(), out, err}, &error)) << error;
    }
    std::string output() {
        char buffer[4096];
        for (ssize_t got; (got = read(terminal, buffer, sizeof buffer)) > 0;)
            shown.append(buffer, static_cast<size_t>(got));
        std::string text;  // the terminal's CR LF as LF
        for (char c : shown) {
            if (c == '\n' && !text.empty() && text.back() == '\r') text.pop_back();
            text += c;
        }
        return text;
    }
    std::string errors() const { return readWhole(dir + "/err"); }
    bool waitForOutput(const std::string& text) {
        return waitUntil([&] { return output().find(text) != std::string::npos; }, 5000ms);
    }
    // The exit status after `signal` (none: 0), or -1 when it had to be killed.
    int waitForExit(int signal = 0) { return monitor.end(signal, 5000ms).value_or(-1); }

    std::string dir = "/tmp/vantrel-monitor-XXXXXX", prox, light, shown;
    desk::DeskProcess monitor;
    desk::DeskProcess other;  // another reader of a FIFO
    int terminal = -1;
};

TEST_F(MonitorProcess, PlainLinesPerValueAndACleanEndOnSigint) {
    ASSERT_EQ(mkfifo(prox.c_str(), 0666), 0);
    launch({"--plain", "--width", "3", prox, light});
    ASSERT_TRUE(waitForOutput("pipeLight: waiting for " + light + "\n")) << output();
    ASSERT_TRUE(waitForOutput("pipeProx: open " + prox + "\n")) << output();
    int32_t values[] = {10, 20, 30, 40, -5};
    ASSERT_TRUE(writeFifo(prox, values, 16));
    ASSERT_TRUE(waitForOutput("pipeProx 40 ")) << output();
    // A FIFO that is there is opened at once, not waited for. The sparkline
    // keeps the newest three values, scaled between them.
    std::vector<std::string> lines = splitLines(output());
    ASSERT_GE(lines.size(), 6u) << output();
    EXPECT_EQ(lines[0], "pipeProx: open " + prox);
    EXPECT_EQ(lines[1], "pipeLight: waiting for " + light);
    auto first = lines.begin() + 2;
    const char* expected[] = {"pipeProx 10 *[0-9]/s ▁", "pipeProx 20 *", "pipeProx 30 *▁▅█",
                              "pipeProx 40 *[0-9]/s ▁▅█"};
    for (const char* pattern : expected) EXPECT_TRUE(matches(pattern, *first++)) << output();

    ASSERT_EQ(mkfifo(light.c_str(), 0666), 0);
    ASSERT_TRUE(waitForOutput("pipeLight: open " + light + "\n")) << output();
    ASSERT_TRUE(writeFifo(light, &values[4], 2));  // a value in two pieces is one value
    ASSERT_TRUE(writeFifo(light, reinterpret_cast<char*>(&values[4]) + 2, 2));
    ASSERT_TRUE(waitForOutput("pipeLight -5 ")) << output();

    EXPECT_EQ(waitForExit(SIGINT), 0);
    EXPECT_NE(output().find("pipeProx: 4 values, last 40\npipeLight: 1 value, last -5\n"),
              std::string::npos)
        << output();
    EXPECT_EQ(output().find("\x1b["), std::string::npos);  // no terminal escapes in plain mode
    EXPECT_EQ(errors(), "");
}

// A pane of a split terminal, and a long FIFO path on a wider one: after many
// redraws the screen holds the title, the column labels and one row per FIFO.
TEST_F(MonitorProcess, NarrowTerminalKeepsOneRowPerFifo) {
    for (auto [columns, depth] : {std::pair{40, 5}, std::pair{60, 120}}) {
        SCOPED_TRACE(columns);
        std::string deep = dir + "/" + std::string(depth, 'd');
        ASSERT_TRUE(std::filesystem::create_directory(deep));
        ASSERT_EQ(mkfifo((deep + "/pipeProx").c_str(), 0666), 0);
        launch({deep + "/pipeProx", deep + "/pipeLight"}, static_cast<unsigned short>(columns));
        for (int32_t value : {7, -2147483647, 3, 1234567, 9, 12}) {
            // The first write waits for the monitor's read end (the title row
            // can be drawn before the FIFO is open); it stays open from then on.
            ASSERT_TRUE(waitUntil(
                [&] { return writeFifo(deep + "/pipeProx", &value, sizeof value); }, 5000ms));
            std::this_thread::sleep_for(120ms);  // a redraw between values
        }
        // The redraw that shows 12 has reached us when its pipeLight row has.
        ASSERT_TRUE(waitUntil(
            [&] {
                std::string text = output();
                size_t at = text.find("pipeLight", std::min(text.find(" 12 "), text.size()));
                return at != std::string::npos && text.find('\n', at) != std::string::npos;
            },
            5000ms))
            << output();
        std::vector<std::string> rows = screen(output());
        ASSERT_EQ(rows.size(), 5u) << output();
        for (const std::string& row : rows) {  // a row as wide as the terminal wraps
            auto width =
                std::count_if(row.begin(), row.end(), [](char c) { return (c & 0xC0) != 0x80; });
            EXPECT_LT(width, columns) << row;
        }
        EXPECT_EQ(rows[0], "vantrel-monitor: Ctrl-C to stop");
        EXPECT_TRUE(matches("FIFO *last *rate *count *recent", rows[1])) << rows[1];
        EXPECT_TRUE(matches("pipeProx *12 *[0-9]/s *6  *", rows[2])) << rows[2];
        std::string recent = rows[2].substr(rows[2].rfind("  ") + 2);  // block glyphs only
        EXPECT_TRUE(!recent.empty() && recent.find_first_not_of("▁▂▃▄▅▆▇█") == std::string::npos)
            << rows[2];
        EXPECT_TRUE(matches("pipeLight waiting for …*/pipeLight", rows[3])) << rows[3];
        EXPECT_EQ(rows[4], "");
        EXPECT_EQ(waitForExit(columns == 40 ? SIGINT : SIGTERM), 0);
    }
}

// Each value goes to one reader of a FIFO: a reader that was there first is
// named on standard error, and on a terminal the warning stays above the rows.
// The FIFO is moved into place while the monitor waits for it, so that the
// warning comes after the first redraw.
TEST_F(MonitorProcess, AReaderAlreadyOnTheFifoIsNamed) {
    std::string aside = dir + "/aside";
    ASSERT_EQ(mkfifo(aside.c_str(), 0666), 0);
    ASSERT_EQ(mkfifo(light.c_str(), 0666), 0);
    start(other, {"/bin/sh", "-c", "exec sleep 60 3<>\"$0\"", aside}, "/dev/null", "/dev/null");
    // Named once it runs sleep, with the FIFO its shell opened as descriptor 3.
    std::string proc = "/proc/" + std::to_string(other.pid());
    bool holds = waitUntil(
        [&] {
            std::string name;
            std::ifstream(proc + "/comm") >> name;
            return name == "sleep" && std::filesystem::exists(proc + "/fd/3");
        },
        5000ms);
    std::string warning = "vantrel-monitor: pipeProx is already read by pid " +
                          std::to_string(other.pid()) + " (sleep): the values are split";
    for (bool plain : {true, false}) {
        SCOPED_TRACE(plain ? "plain" : "terminal");
        ASSERT_TRUE(holds);
        launch(plain ? std::vector<std::string>{"--plain", prox, light}
                     : std::vector<std::string>{prox, light});
        ASSERT_TRUE(waitForOutput("waiting for " + prox)) << output();
        ASSERT_EQ(rename(aside.c_str(), prox.c_str()), 0);
        ASSERT_TRUE(waitUntil([&] { return errors().find(warning) != std::string::npos; }, 5000ms))
            << errors();
        EXPECT_EQ(splitLines(errors()).size(), 1u) << errors();  // pipeLight has no other reader
        int32_t value = 77;
        ASSERT_TRUE(waitUntil([&] { return writeFifo(light, &value, sizeof value); }, 5000ms));
        ASSERT_TRUE(waitForOutput(plain ? "pipeLight 77 " : " 77 ")) << output();
        if (plain) {
            EXPECT_EQ(output().find("already read"), std::string::npos) << output();
        } else {
            ASSERT_TRUE(waitUntil([&] { return screen(output()).size() == 6; }, 5000ms))
                << output();
            std::vector<std::string> rows = screen(output());
            EXPECT_EQ(rows[2].rfind(warning, 0), 0u) << rows[2];
            EXPECT_TRUE(matches("pipeProx *- *", rows[3])) << rows[3];
            EXPECT_TRUE(matches("pipeLight *77 *", rows[4])) << rows[4];
        }
        EXPECT_EQ(waitForExit(SIGINT), 0);
        ASSERT_EQ(rename(prox.c_str(), aside.c_str()), 0);
    }
}

TEST_F(MonitorProcess, MissingOrWrongFifos) {
    launch({"--plain", "--wait", "0.3", prox});
    EXPECT_EQ(waitForExit(), 1);
    EXPECT_NE(errors().find("did not appear within 0.3 s"), std::string::npos) << errors();
    EXPECT_NE(output().find("pipeProx: never appeared at " + prox), std::string::npos);

    std::ofstream(prox) << "plain file";
    launch({"--plain", prox});
    EXPECT_EQ(waitForExit(), 1);
    EXPECT_EQ(errors(), "vantrel-monitor: " + prox + " is not a FIFO\n");
}

}  // namespace
}  // namespace vantrel::test
