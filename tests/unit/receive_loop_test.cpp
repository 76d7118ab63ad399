// The receive loop against a board on a real pseudo-terminal. A helper thread
// ends each run by clearing `running` (or by a real SIGINT) once the loop
// has taken what the test queued; the loop's waits are scaled down.
#include "link/receive_loop.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/daemon_state.h"
#include "tests/unit/board_frames.h"
#include "tests/unit/pseudo_terminal.h"
#include "tests/unit/unit_fixture.h"

namespace vantrel::test {
namespace {

using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

const char kTimedOut[] = "E/Vantrel: readData()::select timedout!";

class ReceiveLoopTest : public DaemonTest {
  protected:
    void SetUp() override {
        DaemonTest::SetUp();
        pty_.attachDaemonPort();
    }

    // Runs readData until `done` holds (or 5 s have passed), then clears
    // `running`. Returns what readData returned.
    int runLoopUntil(const std::function<bool()>& done) {
        std::thread stopper([&] {
            auto deadline = Clock::now() + std::chrono::seconds(5);
            while (!done() && Clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            gState.running = false;
        });
        int result = readData();
        stopper.join();
        return result;
    }

    // Runs the loop until it has taken every queued byte and waited once more.
    int runLoopUntilDrained() {
        int port = gState.serialFd;
        return runLoopUntil(
            [this, port] { return queuedBytes(port) == 0 && countLogLines(kTimedOut) > 0; });
    }

    Lines linesOtherThanTimeouts() const {
        Lines other;
        for (const auto& line : logLines()) {
            if (line != kTimedOut) other.push_back(line);
        }
        return other;
    }

    PseudoTerminal pty_;
};

TEST_F(ReceiveLoopTest, StoppedLoopReturnsWithoutReading) {
    setTimeScale("1");
    gState.running = false;
    pty_.sendToDaemon({'U'});
    EXPECT_EQ(readData(), 1);
    EXPECT_EQ(queuedBytes(gState.serialFd), 1);
    EXPECT_TRUE(logLines().empty());
}

TEST_F(ReceiveLoopTest, ClosedPortEndsLoop) {
    setTimeScale("1");
    int port = gState.serialFd;
    gState.serialFd = -1;
    EXPECT_EQ(readData(), 1);
    gState.serialFd = port;
    EXPECT_TRUE(logLines().empty());
}

TEST_F(ReceiveLoopTest, QuietLinkLogsOnlyTimeouts) {
    StderrCapture capture(rootPath("/stderr.txt"));
    EXPECT_EQ(runLoopUntil([this] { return countLogLines(kTimedOut) >= 3; }), 1);
    EXPECT_EQ(capture.finish(), "");
    EXPECT_GE(countLogLines(kTimedOut), 3);
    EXPECT_EQ(linesOtherThanTimeouts(), Lines{});
}

TEST_F(ReceiveLoopTest, UnknownLeadBytesGoToStandardErrorOnly) {
    pty_.sendToDaemon({0x00, 0x41, 0xFF});
    StderrCapture capture(rootPath("/stderr.txt"));
    EXPECT_EQ(runLoopUntilDrained(), 1);
    EXPECT_EQ(capture.finish(),
              "Unknown lead in byte [0x00]\n"
              "Unknown lead in byte [0x41]\n"
              "Unknown lead in byte [0xFF]\n");
    EXPECT_EQ(linesOtherThanTimeouts(), Lines{});
}

TEST_F(ReceiveLoopTest, FrameAfterGarbageIsHandled) {
    gState.ignoreLight = false;
    FifoReader light(rootPath("/data/pipeLight"));
    pty_.sendToDaemon(joinBytes({{0x13, 0x37}, standardFrame({'L', 1, 2, 3, 4, 5})}));
    StderrCapture capture(rootPath("/stderr.txt"));
    EXPECT_EQ(runLoopUntilDrained(), 1);
    capture.finish();
    EXPECT_EQ(light.values(), std::vector<int32_t>{258});
}

TEST_F(ReceiveLoopTest, BadChecksumLeavesOnlyTheFramingError) {
    Bytes bad = {'U', 'A', 0, 0, 0, 0, 0, 0x40};
    pty_.sendToDaemon(joinBytes({bad, extendedFrame({0x01, 'o', 'k'})}));
    EXPECT_EQ(runLoopUntilDrained(), 1);
    EXPECT_EQ(linesOtherThanTimeouts(),
              (Lines{"E/Vantrel: readPacket: checksum failure rec[0x40] cal[0x41]",
                     "D/Vantrel: TavrixLog: [ok]"}));
}

TEST_F(ReceiveLoopTest, RejectedPacketsAreReported) {
    pty_.sendToDaemon(joinBytes({standardFrame({'B'}), extendedFrame({}), extendedFrame({0x03})}));
    EXPECT_EQ(runLoopUntilDrained(), 1);
    EXPECT_EQ(linesOtherThanTimeouts(),
              (Lines{"E/Vantrel: readData()::failed to parseStandardData()",
                     "E/Vantrel: readData()::failed to parseExtendedData()",
                     "E/Vantrel: readData()::failed to parseExtendedData()"}));
}

// The syscall the thread `tid` of this process is blocked in, or -1.
long blockedSyscall(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    in >> number;
    return number;
}

bool isWaitSyscall(long number) {
#ifdef SYS_select
    if (number == SYS_select) return true;
#endif
    return number == SYS_pselect6;
}

// A SIGINT while the loop waits: the wait fails, the loop pauses, and then
// ends because the handler cleared `running`; the handler closed the port.
TEST_F(ReceiveLoopTest, SigintWhileWaitingEndsLoop) {
    setTimeScale("0.05");
    ScopedSigintHandler sigint;
    pid_t loopThread = static_cast<pid_t>(syscall(SYS_gettid));
    pthread_t loopHandle = pthread_self();
    std::thread interrupter([&] {
        auto deadline = Clock::now() + std::chrono::seconds(5);
        while (!isWaitSyscall(blockedSyscall(loopThread)) && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        pthread_kill(loopHandle, SIGINT);
    });
    EXPECT_EQ(readData(), 1);
    interrupter.join();

    EXPECT_FALSE(gState.running);
    EXPECT_EQ(gState.serialFd, -1);
    EXPECT_EQ(logLines(),
              (Lines{"E/Vantrel: Signal <2> Caught!",
                     "E/Vantrel: readData()::select failed : -1 (Interrupted system call)"}));
}

}  // namespace
}  // namespace vantrel::test
