// SIGINT in each phase of the run: it never stops the start-up sequence
// early. A pause in progress ends early, a wait on the port ends because the
// handler closed the port (so what follows fails at sending), a child still
// gets waited for, and the receive loop, once reached, returns at once.
//
// Each signal is sent only once the daemon sleeps in the very call of that
// phase (see process_probe.h). Several tests run with a time scale of 100:
// a pause or a wait that a SIGINT failed to end would outlast every bounded
// wait of the test by minutes, so the test would fail rather than pass slowly.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "fault_support.h"
#include "support/process_harness.h"
#include "support/process_probe.h"

namespace vantrel::test {
namespace {

using namespace std::chrono_literals;
using simboard::BoardMode;

constexpr double kEndlessScale = 100;  // a 5 s pause lasts 500 s

// Sends one SIGINT and waits until the handler has logged it for the
// `count`-th time in this run.
::testing::AssertionResult interruptOnce(ProcessHarness& h, size_t count) {
    h.sendSignal(SIGINT);
    if (h.waitForLog(kSignalCaught, kDefaultWait, count)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "SIGINT " << count << " not handled\n"
                                         << h.diagnostics();
}

// ---- start-up

TEST(SigintAtStart, DuringTheStartPauseTheRunGoesOnAndTheReceiveLoopReturnsAtOnce) {
    ProcessHarness h;
    h.setTimeScale(kEndlessScale);
    ASSERT_TRUE(h.start({"-m", "-e", "1", "-n", "0"}));
    ASSERT_TRUE(waitUntilSleepingIn(h.pid(), pauseCalls())) << h.diagnostics();
    ASSERT_TRUE(interruptOnce(h, 1));

    EXPECT_EQ(h.waitForExit(), 0) << h.diagnostics();
    EXPECT_EQ(h.board().commandCount('i'), 1u);
    EXPECT_EQ(h.board().commandCount('D'), 1u);
    EXPECT_EQ(h.board().commandCount('N'), 1u);
    EXPECT_NE(h.stdoutText().find(kBanner), std::string::npos);  // printed all the same
    EXPECT_FALSE(h.logContains("readData()::select"));           // not one wait
    EXPECT_EQ(h.logCount(kSignalCaught), 1u);
}

// A silent board: one SIGINT for each wait of the first failing attempt.
TEST(SigintAtStart, EachWaitOfAFailingIdentificationEndsEarly) {
    ProcessHarness h;
    h.setTimeScale(kEndlessScale);
    h.board().setMode(BoardMode::Silent);
    h.writeStandIn("bslsh", "#!/bin/sh\nexit 1\n");
    ASSERT_TRUE(h.start({"-m", "-e", "1", "-n", "1"}));

    ASSERT_TRUE(waitUntilSleepingIn(h.pid(), pauseCalls())) << h.diagnostics();
    ASSERT_TRUE(interruptOnce(h, 1));  // the start pause
    ASSERT_TRUE(h.board().waitForCommand('i', 10s)) << h.diagnostics();
    ASSERT_TRUE(waitUntilSleepingIn(h.pid(), portWaitCalls())) << h.diagnostics();
    ASSERT_TRUE(interruptOnce(h, 2));  // the wait for the ACK: the port is closed now
    ASSERT_TRUE(waitUntil([&]() { return h.gpioValue() == "1"; })) << h.diagnostics();
    ASSERT_TRUE(waitUntilSleepingIn(h.pid(), pauseCalls())) << h.diagnostics();
    ASSERT_TRUE(interruptOnce(h, 3));  // the reset line held high
    ASSERT_TRUE(waitUntil([&]() { return h.gpioValue() == "10"; })) << h.diagnostics();
    ASSERT_TRUE(waitUntilSleepingIn(h.pid(), pauseCalls())) << h.diagnostics();
    // The other nine resets cannot open the line and return at once.
    std::filesystem::remove_all(h.path("sys/class/gpio/gpio101"));
    ASSERT_TRUE(interruptOnce(h, 4));  // the board's recovery after the pulse

    EXPECT_EQ(h.waitForExit(), 0) << h.diagnostics();
    EXPECT_EQ(h.board().commandCount('i'), 1u);  // attempts 2 to 10 failed at sending
    EXPECT_EQ(h.logCount("sendCommand: failed to send packet"), 9u);
    EXPECT_EQ(h.logCount("id query command attempt 10 failed"), 1u);
    EXPECT_EQ(h.logCount("resetSensorBoard: can not open file"), 9u);
    EXPECT_TRUE(h.logContains("Didn't find BSL, skipping upgrade."));
    EXPECT_TRUE(h.logContains("Communication Error!"));
    EXPECT_EQ(h.logCount(kSignalCaught), 4u);
}

TEST(SigintAtStart, DuringTheRestartPauseOfDaemonModeTheStatusStaysOne) {
    ProcessHarness h;
    h.setTimeScale(kEndlessScale);
    h.board().setMode(BoardMode::Silent);
    std::filesystem::remove_all(h.path("sys/class/gpio/gpio101"));  // resets return at once
    h.writeStandIn("bslsh", "#!/bin/sh\nexit 1\n");
    ASSERT_TRUE(h.start({"-d", "-m", "-e", "1", "-n", "1"}));
    ASSERT_TRUE(waitUntilSleepingIn(h.pid(), pauseCalls())) << h.diagnostics();
    ASSERT_TRUE(interruptOnce(h, 1));  // the start pause
    ASSERT_TRUE(waitUntilSleepingIn(h.pid(), portWaitCalls())) << h.diagnostics();
    ASSERT_TRUE(interruptOnce(h, 2));  // the wait for the ACK

    ASSERT_TRUE(h.waitForLog("Sleeping 60 seconds before restart...")) << h.diagnostics();
    ASSERT_TRUE(waitUntilSleepingIn(h.pid(), pauseCalls())) << h.diagnostics();
    ASSERT_TRUE(interruptOnce(h, 3));
    EXPECT_EQ(h.waitForExit(), 1) << h.diagnostics();
    EXPECT_TRUE(h.logContains("Communication Error!"));
}

TEST(SigintAtStart, DuringTheBootstrapLoaderCheckTheToolIsStillWaitedFor) {
    ProcessHarness h;
    h.setTimeScale(0.01);
    h.board().setMode(BoardMode::Silent);
    std::filesystem::remove_all(h.path("sys/class/gpio/gpio101"));
    std::string journal = h.path("bslsh-journal");
    std::string release = h.path("bslsh-release");
    h.writeStandIn("bslsh", heldStandIn(journal, release, 1));
    ASSERT_TRUE(h.start({"-m", "-e", "1", "-n", "1"}));
    ASSERT_TRUE(waitUntil([&]() { return h.readFile("bslsh-journal").find("started") == 0; }))
        << h.diagnostics();
    ASSERT_TRUE(waitUntilSleepingIn(h.pid(), childWaitCalls())) << h.diagnostics();

    ASSERT_TRUE(interruptOnce(h, 1));
    // The wait restarts: the daemon sleeps on in it until the tool ends.
    EXPECT_TRUE(waitUntilSleepingIn(h.pid(), childWaitCalls())) << h.diagnostics();
    EXPECT_FALSE(h.logContains("bslCommCheck ret"));
    releaseStandIn(release);

    EXPECT_EQ(h.waitForExit(), 0) << h.diagnostics();
    EXPECT_EQ(h.readFile("bslsh-journal"),
              "started --device " + h.devicePath() + " --checkComm\nended\n");
    EXPECT_TRUE(h.logContains("bslCommCheck ret = 1"));
    EXPECT_FALSE(h.logContains("bslCommCheck waitpid failed"));
    EXPECT_TRUE(h.logContains("Didn't find BSL, skipping upgrade."));
    EXPECT_TRUE(h.logContains("Communication Error!"));
}

TEST(SigintAtStart, DuringTheReplyToTheLedCommandBothSwitchCommandsFail) {
    ProcessHarness h;
    h.board().setResponse('D', simboard::ack());  // then silence: the reply has no time limit
    ASSERT_TRUE(h.start({"-m", "-e", "1", "-n", "1"}));
    ASSERT_TRUE(h.board().waitForCommand('D', 10s)) << h.diagnostics();
    ASSERT_TRUE(waitUntilSleepingIn(h.pid(), readCalls())) << h.diagnostics();
    ASSERT_TRUE(interruptOnce(h, 1));

    EXPECT_EQ(h.waitForExit(), 1) << h.diagnostics();
    EXPECT_EQ(h.stderrText(), "led command failed\nnfc command failed\n");
    EXPECT_EQ(h.logCount("Error reading microcontroller serial stream"), 1u);
    EXPECT_EQ(h.logCount("sendCommand: failed to send packet"), 1u);
    EXPECT_EQ(h.board().commandCount('N'), 0u);
    EXPECT_NE(h.stdoutText().find(kBanner), std::string::npos);
    EXPECT_FALSE(h.logContains("readData()::select"));
}

// ---- the receive phase

class SigintWhileReceiving : public MotionReceivingDaemon {};

TEST(SigintWhileWaiting, ForALeadByteTheFailedWaitIsLoggedThenTheLoopEnds) {
    ProcessHarness h;
    h.setTimeScale(0.1);  // each wait for a lead byte, and the pause after a failed one, 1 s
    ASSERT_TRUE(h.start({"-m", "-e", "1", "-n", "1"}));
    ASSERT_TRUE(h.waitForStdout(kBanner)) << h.diagnostics();
    size_t mark = logMark(h);
    // Right after a time-out a whole wait lies ahead: the signal lands in it.
    ASSERT_TRUE(h.waitForLog(kQuietLinkLine, kDefaultWait, h.logCount(kQuietLinkLine) + 1));
    ASSERT_TRUE(waitUntilSleepingIn(h.pid(), portWaitCalls())) << h.diagnostics();
    ASSERT_TRUE(interruptOnce(h, 1));
    EXPECT_TRUE(waitUntilSleepingIn(h.pid(), pauseCalls())) << "no pause after the failed wait";

    EXPECT_EQ(h.waitForExit(), 0) << h.diagnostics();
    EXPECT_EQ(messagesSince(h, mark),
              (std::vector<std::string>{
                  kSignalCaught, "readData()::select failed : -1 (Interrupted system call)"}));
    EXPECT_EQ(h.logRecords().back().message,
              "readData()::select failed : -1 (Interrupted system call)");  // no wait after it
}

TEST_F(SigintWhileReceiving, InsideAFrameTheFrameIsDroppedAndTheLoopEnds) {
    h.board().sendTruncated(simboard::motion(1, 1), 4);
    ASSERT_TRUE(waitUntilSleepingIn(h.pid(), readCalls())) << h.diagnostics();
    size_t mark = logMark(h);
    ASSERT_TRUE(interruptOnce(h, 1));
    EXPECT_EQ(h.waitForExit(), 0) << h.diagnostics();
    EXPECT_EQ(messagesSince(h, mark), (std::vector<std::string>{kSignalCaught}));
    EXPECT_FALSE(proximity.readValue(100ms).has_value());
    EXPECT_EQ(h.stderrText(), "");
}

TEST_F(SigintWhileReceiving, DuringABroadcastTheDaemonWaitsForAmThenEnds) {
    std::string journal = h.path("am-journal");
    std::string release = h.path("am-release");
    h.writeStandIn("am", heldStandIn(journal, release, 0));
    h.board().sendNfc(4, 1, simboard::Bytes{0x42});
    ASSERT_TRUE(waitUntil([&]() { return h.readFile("am-journal").find("started") == 0; }))
        << h.diagnostics();
    ASSERT_TRUE(waitUntilSleepingIn(h.pid(), childWaitCalls())) << h.diagnostics();
    ASSERT_TRUE(interruptOnce(h, 1));
    EXPECT_TRUE(h.running());
    EXPECT_FALSE(h.logContains("NFC EVENT"));
    releaseStandIn(release);

    EXPECT_EQ(h.waitForExit(), 0) << h.diagnostics();
    EXPECT_EQ(h.readFile("am-journal"),
              "started broadcast -a com.zyn.touchpanel.nfc.NFCEVENT --ei tagType 4 "
              "--ei tagDataType 1 --es tagData 42\nended\n");
    EXPECT_TRUE(h.logContains("NFC EVENT: "));
}

}  // namespace
}  // namespace vantrel::test
