// The command line, the properties behind it and the run's end, seen from
// outside the process: usage and exit statuses, the start pause, the LED and
// NFC settings, which streams are forwarded and the banner that says so.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "support/process_harness.h"

namespace vantrel::test {
namespace {

using namespace std::chrono_literals;

constexpr char kUsage[] =
    "vantrel \n\n"
    "Usage: ./vantrel  \n\n"
    "Options:\n"
    "\t-v\tenable extra debug messages\n"
    "\t-h\tdisplay help\n"
    "\t-m\tscan for incoming Motion Sensor Messages\n"
    "\t-l\tscan for incoming Light Sensor Messages\n"
    "\t-e\tturn debug LED 0:off, 1: on\n"
    "\t-n\tturn NFC 0:off, 1: on\n"
    "\t-d\trun in daemon mode (sleep after crash)\n";

bool isFifo(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode) &&
           (info.st_mode & 0777) == 0666;
}

// ---- usage

class UsageProcess : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(UsageProcess, PrintsTheUsageAndEndsWithOneBeforeThePause) {
    ProcessHarness h;
    h.setTimeScale(100);  // a start pause would take 500 s: the run must end before it
    ASSERT_TRUE(h.start(GetParam()));
    EXPECT_EQ(h.waitForExit(10s), 1) << h.diagnostics();
    EXPECT_EQ(h.stderrText(), kUsage);
    EXPECT_EQ(h.daemonStdoutText(), "");
    EXPECT_TRUE(isFifo(h.path("data/pipeProx")));
    EXPECT_TRUE(isFifo(h.path("data/pipeLight")));
    EXPECT_FALSE(h.exists("data/pipeNfc"));
    EXPECT_TRUE(h.board().commands().empty());
}

INSTANTIATE_TEST_SUITE_P(
    BadOrHelpCommandLines, UsageProcess,
    ::testing::Values(std::vector<std::string>{"-h"}, std::vector<std::string>{"-?"},
                      std::vector<std::string>{"-m", "-x"}, std::vector<std::string>{"-e"},
                      std::vector<std::string>{"-m", "-n"}, std::vector<std::string>{"-v", "-p"}));

TEST(CommandLineProcess, EmptyCommandLineIsRefusedAfterThePauseWithoutOpeningThePort) {
    ProcessHarness h;
    ASSERT_TRUE(h.start({}));
    EXPECT_EQ(h.waitForExit(), 1) << h.diagnostics();
    EXPECT_TRUE(h.logContains("Invalid syntax!"));
    EXPECT_EQ(h.stderrText(), kUsage);
    EXPECT_TRUE(h.board().commands().empty());
    EXPECT_FALSE(h.property("sys.com.zyn.sensor.version").has_value());
}

TEST(CommandLineProcess, PortPathIsLoggedOnlyWhenVerboseComesFirst) {
    ProcessHarness h;
    ASSERT_TRUE(h.start({"-v", "-p", h.devicePath()}));
    EXPECT_EQ(h.waitForExit(), 0) << h.diagnostics();
    EXPECT_TRUE(h.logContains("serialPort=[" + h.devicePath() + "]"));

    ASSERT_TRUE(h.start({"-p", h.devicePath(), "-v"}));
    EXPECT_EQ(h.waitForExit(), 0) << h.diagnostics();
    EXPECT_FALSE(h.logContains("serialPort="));
    EXPECT_TRUE(h.logContains("Query ID"));  // verbose all the same
}

TEST(CommandLineProcess, PortGivenWithPIsTheOneOpened) {
    ProcessHarness h;
    ASSERT_EQ(unlink(h.devicePath().c_str()), 0);  // no board behind the default device
    h.writeFile("dev/ttymxc1", "");
    ASSERT_TRUE(h.start({"-m", "-p", h.board().slavePath()}));
    ASSERT_TRUE(h.waitForStdout("* Scan for messages...")) << h.diagnostics();
    EXPECT_EQ(h.board().commandCount('i'), 1u);
    EXPECT_EQ(h.stop(), 0);
}

TEST(CommandLineProcess, VerboseAloneWithNoPropertiesSwitchesBothOffAndEndsAtOnce) {
    ProcessHarness h;
    ASSERT_TRUE(h.start({"-v"}));
    EXPECT_EQ(h.waitForExit(), 0) << h.diagnostics();
    EXPECT_EQ(h.daemonStdoutText(),
              "com.zyn.vantrel.led=\nSetting LED off\ncom.zyn.vantrel.nfc=\n");
    EXPECT_TRUE(h.logContains("com.zyn.vantrel.nfc off"));
    EXPECT_FALSE(h.logContains("Setting NFC"));
    auto led = h.board().waitForCommand('D', 1s);
    auto nfc = h.board().waitForCommand('N', 1s);
    ASSERT_TRUE(led && nfc);
    EXPECT_EQ(led->argument(), 0);
    EXPECT_EQ(nfc->argument(), 0);
}

// ---- properties behind the options

TEST(CommandLineProcess, PropertiesSwitchTheLedNfcAndStreamsWhenNoOptionDecides) {
    ProcessHarness h;
    h.setProperty("com.zyn.vantrel.led", "true\n");
    h.setProperty("com.zyn.vantrel.nfc", "7");
    h.setProperty("com.zyn.vantrel.motion", "true");
    h.setProperty("com.zyn.vantrel.light", "TRUE");
    ASSERT_TRUE(h.start({"-d"}));
    ASSERT_TRUE(h.waitForStdout("* Scan for messages...")) << h.diagnostics();
    EXPECT_EQ(h.board().waitForCommand('D', 1s)->argument(), 1);
    EXPECT_EQ(h.board().waitForCommand('N', 1s)->argument(), 1);
    EXPECT_TRUE(h.logContains("com.zyn.vantrel.nfc on"));
    EXPECT_NE(h.daemonStdoutText().find("com.zyn.vantrel.led=true\nSetting LED on\n"
                                        "com.zyn.vantrel.nfc=7\n"),
              std::string::npos)
        << h.daemonStdoutText();
    EXPECT_NE(h.daemonStdoutText().find("*   Motion Sensor Messages  [DISPLAY]\n"
                                        "*   Light Sensor Messages   [IGNORE]\n"),
              std::string::npos);

    FifoReader proximity = h.openFifo("pipeProx");
    h.board().sendLight(500, 1);  // light is not forwarded: no value for anybody
    h.board().sendMotion(40, 2);
    EXPECT_EQ(proximity.readValue(), 42) << h.diagnostics();
    EXPECT_EQ(h.stop(), 0);
}

TEST(CommandLineProcess, OptionsOverrulePropertiesAndStreamPropertiesOnlyTurnOn) {
    ProcessHarness h;
    h.setProperty("com.zyn.vantrel.led", "true");
    h.setProperty("com.zyn.vantrel.nfc", "true");
    h.setProperty("com.zyn.vantrel.motion", "false");
    h.setProperty("com.zyn.vantrel.light", "1");
    ASSERT_TRUE(h.start({"-e", "0", "-n", "off", "-m"}));
    ASSERT_TRUE(h.waitForStdout("* Scan for messages...")) << h.diagnostics();
    EXPECT_EQ(h.board().waitForCommand('D', 1s)->argument(), 0);
    EXPECT_EQ(h.board().waitForCommand('N', 1s)->argument(), 0);  // "off" converts to 0
    EXPECT_EQ(h.daemonStdoutText().find("com.zyn.vantrel."), std::string::npos)
        << h.daemonStdoutText();
    EXPECT_NE(h.daemonStdoutText().find("Setting LED off\nSetting NFC off\n"), std::string::npos);
    EXPECT_TRUE(h.logContains("Setting NFC off"));
    EXPECT_NE(h.daemonStdoutText().find("*   Motion Sensor Messages  [DISPLAY]\n"
                                        "*   Light Sensor Messages   [DISPLAY]\n"),
              std::string::npos)
        << h.daemonStdoutText();
    EXPECT_EQ(h.stop(), 0);
}

TEST(CommandLineProcess, LedOptionTakesAnyNonZeroNumberAsOn) {
    ProcessHarness h;
    ASSERT_TRUE(h.start({"-e", "-1", "-n", "2"}));
    EXPECT_EQ(h.waitForExit(), 0) << h.diagnostics();
    EXPECT_EQ(h.board().waitForCommand('D', 1s)->argument(), 1);
    EXPECT_EQ(h.board().waitForCommand('N', 1s)->argument(), 1);
    EXPECT_EQ(h.daemonStdoutText(), "Setting LED on\nSetting NFC on\n");
}

// ---- SIGINT before the receive phase

TEST(CommandLineProcess, SigintDuringTheStartPauseEndsThePauseButNotTheRun) {
    ProcessHarness h;
    h.setTimeScale(60);  // the start pause alone would take 300 s
    ASSERT_TRUE(h.start({"-m"}));
    ASSERT_TRUE(h.waitForLog("pipeLight] created successfully.")) << h.diagnostics();
    std::this_thread::sleep_for(200ms);  // the handler is installed right after the FIFOs
    ASSERT_TRUE(h.interrupt());
    EXPECT_EQ(h.waitForExit(30s), 0) << h.diagnostics();
    EXPECT_EQ(h.board().commandCount('i'), 1u);  // the run went on: identification,
    EXPECT_NE(h.daemonStdoutText().find("* Scan for messages..."), std::string::npos);  // banner
    EXPECT_FALSE(h.logContains("readData()::select"));  // and a receive loop that never waited
}

TEST(CommandLineProcess, CommunicationErrorInDaemonModeWaitsThenEndsWithOne) {
    ProcessHarness h;
    h.board().setMode(simboard::BoardMode::Silent);
    h.setTimeScale(0.005);
    ASSERT_TRUE(h.start({"-d", "-m"}));
    EXPECT_EQ(h.waitForExit(30s), 1) << h.diagnostics();
    EXPECT_TRUE(h.logContains("Communication Error!"));
    EXPECT_TRUE(h.logContains("Sleeping 60 seconds before restart..."));
    EXPECT_EQ(h.board().commandCount('D'), 0u);
    EXPECT_EQ(h.daemonStdoutText(), "");
}

}  // namespace
}  // namespace vantrel::test
