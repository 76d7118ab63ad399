// vantrel-monitor as a process, in plain mode: it waits for a FIFO that is
// not there yet, prints one line per value (assembled from bytes that come in
// pieces) with its sparkline, does not spin once a writer has gone, and ends
// on SIGINT with status 0 and a summary.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "support/process_harness.h"

namespace vantrel::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string readWhole(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Writes `bytes` into the FIFO through a write end of our own, then closes it.
bool writeFifo(const std::string& path, const void* bytes, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = write(fd, bytes, size) == static_cast<ssize_t>(size);
    close(fd);
    return ok;
}

bool writeValues(const std::string& path, const std::vector<int32_t>& values) {
    return writeFifo(path, values.data(), values.size() * sizeof(int32_t));
}

// CPU time the process has used, in clock ticks (user + system).
long cpuTicks(pid_t pid) {
    std::string stat = readWhole("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long user = 0, system = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) user = std::stol(field);
        if (index == 15) system = std::stol(field);
    }
    return user + system;
}

class MonitorProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/vantrel-monitor-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        prox = dir + "/pipeProx";
        light = dir + "/pipeLight";
    }
    void TearDown() override {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        fs::remove_all(dir);
    }

    void launch(const std::vector<std::string>& args) {
        std::vector<std::string> all{VANTREL_MONITOR_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : all) argv.push_back(arg.data());
        argv.push_back(nullptr);
        std::string out = dir + "/out", err = dir + "/err";
        pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(o, STDOUT_FILENO);
            dup2(e, STDERR_FILENO);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    std::string output() const { return readWhole(dir + "/out"); }
    std::string errors() const { return readWhole(dir + "/err"); }
    bool waitForOutput(const std::string& text) {
        return waitUntil([&] { return output().find(text) != std::string::npos; }, 5000ms);
    }
    // The exit status, or -1 when it had to be killed after the wait.
    int waitForExit() {
        int status = 0;
        bool ended = waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 5000ms);
        if (!ended) return -1;
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::string dir, prox, light;
    pid_t pid = -1;
};

TEST_F(MonitorProcess, PlainLinesPerValueAndACleanEndOnSigint) {
    ASSERT_EQ(mkfifo(prox.c_str(), 0666), 0);
    launch({"--plain", "--width", "3", prox, light});
    ASSERT_TRUE(waitForOutput("pipeLight: waiting for " + light + "\n")) << output();
    ASSERT_TRUE(waitForOutput("pipeProx: open " + prox + "\n")) << output();

    ASSERT_TRUE(writeValues(prox, {10, 20, 30, 40}));
    ASSERT_TRUE(waitForOutput("pipeProx 40 ")) << output();
    // The sparkline keeps the newest three values, scaled between them.
    std::regex lines(
        "pipeProx 10 [0-9.]+/s ▁\n"
        "pipeProx 20 [0-9.]+/s ▁█\n"
        "pipeProx 30 [0-9.]+/s ▁▅█\n"
        "pipeProx 40 [0-9.]+/s ▁▅█\n");
    EXPECT_TRUE(std::regex_search(output(), lines)) << output();

    ASSERT_EQ(mkfifo(light.c_str(), 0666), 0);
    ASSERT_TRUE(waitForOutput("pipeLight: open " + light + "\n")) << output();
    int32_t negative = -5;
    ASSERT_TRUE(writeFifo(light, &negative, 2));  // a value in two pieces is one value
    ASSERT_TRUE(writeFifo(light, reinterpret_cast<char*>(&negative) + 2, 2));
    ASSERT_TRUE(waitForOutput("pipeLight -5 ")) << output();

    // Every writer has gone: a reader without a write end of its own would
    // now see end-of-file at every poll and burn the CPU.
    long before = cpuTicks(pid);
    std::this_thread::sleep_for(500ms);
    EXPECT_LT(cpuTicks(pid) - before, sysconf(_SC_CLK_TCK) / 4);

    kill(pid, SIGINT);
    EXPECT_EQ(waitForExit(), 0);
    std::string text = output();
    EXPECT_NE(text.find("pipeProx: 4 values, last 40\npipeLight: 1 value, last -5\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("\x1b["), std::string::npos);  // no terminal escapes in plain mode
    EXPECT_EQ(errors(), "");
}

TEST_F(MonitorProcess, GivesUpOnAMissingFifoOnlyWhenAskedTo) {
    launch({"--wait", "0.3", prox});
    EXPECT_EQ(waitForExit(), 1);
    EXPECT_NE(errors().find("did not appear within 0.3 s"), std::string::npos) << errors();
    EXPECT_NE(output().find("pipeProx: never appeared at " + prox), std::string::npos);

    launch({prox});
    ASSERT_TRUE(waitForOutput("pipeProx: waiting for"));
    std::this_thread::sleep_for(400ms);
    kill(pid, SIGTERM);
    EXPECT_EQ(waitForExit(), 0) << "it waits for ever unless told otherwise";
}

TEST_F(MonitorProcess, PathThatIsNotAFifoIsRefused) {
    std::ofstream(prox) << "plain file";
    launch({prox});
    EXPECT_EQ(waitForExit(), 1);
    EXPECT_EQ(errors(), "vantrel-monitor: " + prox + " is not a FIFO\n");
}

TEST_F(MonitorProcess, DefaultFifosLieUnderVantrelRoot) {
    fs::create_directories(dir + "/data");
    ASSERT_EQ(mkfifo((dir + "/data/pipeLight").c_str(), 0666), 0);
    setenv("VANTREL_ROOT", dir.c_str(), 1);
    launch({"--plain"});
    unsetenv("VANTREL_ROOT");
    EXPECT_TRUE(waitForOutput("pipeProx: waiting for " + dir + "/data/pipeProx\n")) << output();
    EXPECT_TRUE(waitForOutput("pipeLight: open " + dir + "/data/pipeLight\n")) << output();
    kill(pid, SIGINT);
    EXPECT_EQ(waitForExit(), 0);
}

}  // namespace
}  // namespace vantrel::test
