// The real daemon under valgrind's memcheck, against the simulated board:
// start-up, readings, board log lines, an NFC tap, a version message,
// garbage and a bad checksum, then SIGINT. Valgrind ends the run with status
// 99 on any error or any definitely or indirectly lost block; the test also
// reads valgrind's own summary. scripts/ci-memory runs it.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "support/process_harness.h"

namespace vantrel::test {
namespace {

using namespace std::chrono_literals;

constexpr int kValgrindErrorStatus = 99;
constexpr Millis kValgrindWait{60000};  // start-up under valgrind is slow

std::string readText(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The valgrind logs in `folder`, one per process valgrind ran (valgrind.<pid>.log).
std::vector<std::string> valgrindLogs(const std::string& folder) {
    std::vector<std::string> logs;
    DIR* directory = opendir(folder.c_str());
    if (directory == nullptr) return logs;
    while (dirent* entry = readdir(directory)) {
        std::string name = entry->d_name;
        if (name.rfind("valgrind.", 0) == 0) logs.push_back(folder + "/" + name);
    }
    closedir(directory);
    return logs;
}

// Lines of `text` that contain `needle`.
std::vector<std::string> linesWith(const std::string& text, const std::string& needle) {
    std::vector<std::string> found;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.find(needle) != std::string::npos) found.push_back(line);
    }
    return found;
}

// VANTREL_TEST_DAEMON for the scope: the harness starts this program instead.
class ScopedDaemonOverride {
  public:
    explicit ScopedDaemonOverride(const std::string& program) {
        setenv("VANTREL_TEST_DAEMON", program.c_str(), 1);
    }
    ~ScopedDaemonOverride() { unsetenv("VANTREL_TEST_DAEMON"); }
};

class DaemonUnderValgrind : public ::testing::Test {
  protected:
    void SetUp() override {
        // Waits scaled to 0.1: the board's answers must still come within the
        // ACK window while valgrind runs the daemon many times slower.
        h.setTimeScale(0.1);
        h.writeStandIn("vantrel-memcheck",
                       "#!/bin/sh\n"
                       "exec valgrind --tool=memcheck --leak-check=full "
                       "--errors-for-leak-kinds=definite,indirect --error-exitcode=99 "
                       "--log-file='" +
                           h.path("valgrind.%p.log") + "' '" +
                           std::string(VANTREL_MEMORY_DAEMON_PATH) + "' \"$@\"\n");
    }

    ProcessHarness h;
};

TEST_F(DaemonUnderValgrind, RunFromStartToSigintHasNoErrorsAndNoLeaks) {
    ScopedDaemonOverride memcheck(h.path("bin/vantrel-memcheck"));
    ASSERT_TRUE(h.start({"-v", "-m", "-l", "-e", "1", "-n", "1"}));
    ASSERT_TRUE(h.waitForStdout("* Scan for messages...", kValgrindWait)) << h.diagnostics();
    FifoReader proximity = h.openFifo("pipeProx");
    FifoReader light = h.openFifo("pipeLight");
    ASSERT_TRUE(proximity.isOpen() && light.isOpen());

    h.board().sendMotion(0x0102, 0x0304);
    h.board().sendLight(258, 772);
    h.board().sendBoardLog("hello from the board");
    h.board().sendNfc(4, 1, {0x04, 0xA1, 0x5C, 0x00});
    h.board().sendVersion();
    h.board().sendGarbage(5);
    h.board().sendBadChecksum(simboard::motion(1, 1));
    h.board().sendMotion(10, 20);
    EXPECT_EQ(proximity.readValue(kValgrindWait), 0x0406) << h.diagnostics();
    EXPECT_EQ(light.readValue(kValgrindWait), 258) << h.diagnostics();
    EXPECT_EQ(proximity.readValue(kValgrindWait), 30) << h.diagnostics();
    EXPECT_TRUE(h.waitForLog("TavrixLog: [hello from the board]", kValgrindWait));
    EXPECT_TRUE(h.waitForLog("NFC EVENT: ", kValgrindWait));
    EXPECT_TRUE(h.waitForLog("readPacket: checksum failure", kValgrindWait));

    EXPECT_EQ(h.stop(kValgrindWait), 0)
        << "status " << kValgrindErrorStatus << " is valgrind's: errors or lost blocks\n"
        << h.diagnostics();

    // The daemon's own log: forked children that went on to exec the shell
    // leave logs without a summary.
    std::string daemonLog;
    for (const std::string& log : valgrindLogs(h.root())) {
        std::string text = readText(log);
        for (const std::string& line : linesWith(text, "ERROR SUMMARY:")) {
            std::cout << "[valgrind] " << line << "\n";
            EXPECT_NE(line.find("ERROR SUMMARY: 0 errors"), std::string::npos) << text;
        }
        if (text.find("HEAP SUMMARY:") != std::string::npos) daemonLog = text;
    }
    ASSERT_FALSE(daemonLog.empty()) << "no valgrind summary in " << h.root();
    for (const char* kind : {"definitely lost:", "indirectly lost:"}) {
        for (const std::string& line : linesWith(daemonLog, kind)) {
            std::cout << "[valgrind] " << line << "\n";
            EXPECT_NE(line.find(" 0 bytes in 0 blocks"), std::string::npos) << daemonLog;
        }
    }
    for (const char* summary : {"in use at exit:", "All heap blocks were freed"}) {
        for (const std::string& line : linesWith(daemonLog, summary)) {
            std::cout << "[valgrind] " << line << "\n";
        }
    }
}

}  // namespace
}  // namespace vantrel::test
