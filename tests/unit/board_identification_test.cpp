// Board identification and the upgrade decision, against a scripted board
// on a real pseudo-terminal and a stand-in bslsh that records its command
// lines and whether the daemon still held the serial device while it ran.
#include "firmware/board_identification.h"

#include <string>
#include <vector>

#include "common/daemon_state.h"
#include "link/serial_port.h"
#include "tests/unit/board_frames.h"
#include "tests/unit/pseudo_terminal.h"
#include "tests/unit/unit_fixture.h"

namespace vantrel::test {
namespace {

using Lines = std::vector<std::string>;

const Bytes kIdentifyFrame = {'U', 'i', 0, 0, 0, 0, 0, 'i'};

class BoardIdentificationTest : public DaemonTest {
  protected:
    void SetUp() override {
        DaemonTest::SetUp();
        selectSerialDevice(pty_.slavePath().c_str());
        ASSERT_GE(reopenSerial(), 0);
    }

    // bslsh exits with `checkStatus` for --checkComm and `upgradeStatus`
    // otherwise; it records its arguments and the daemon's open files.
    void installBsl(int checkStatus, int upgradeStatus) {
        installTool("bslsh", "for fd in /proc/$PPID/fd/*; do readlink \"$fd\"; done >> '" +
                                 rootPath("/bslsh.fds") + "'\nprintf '%s\\n' \"$*\" >> '" +
                                 rootPath("/bslsh.calls") +
                                 "'\ncase \"$*\" in *--checkComm*) exit " +
                                 std::to_string(checkStatus) + ";; esac\nexit " +
                                 std::to_string(upgradeStatus) + "\n");
    }

    Lines bslCalls() const { return splitLines(readFile("/bslsh.calls")); }
    std::string checkCall() const { return "--device " + pty_.slavePath() + " --checkComm"; }
    std::string upgradeCall() const {
        return "--device " + pty_.slavePath() + " --bsl --eraseall --reset --flash " + root() +
               "/vendor/.sensor/sensor.hex";
    }

    // Whether the daemon had the serial device open while bslsh ran.
    bool portOpenDuringTool() const {
        Lines files = splitLines(readFile("/bslsh.fds"));
        EXPECT_FALSE(files.empty()) << "bslsh did not record the daemon's files";
        for (const auto& file : files) {
            if (file == pty_.slavePath()) return true;
        }
        return false;
    }

    std::string versionProperty() const {
        return readFile("/properties/" + std::string(kVersionProperty));
    }

    // The board received exactly `count` identify commands and nothing else.
    void expectIdentifyCommands(int count) {
        Bytes expected;
        for (int i = 0; i < count; ++i) expected = joinBytes({expected, kIdentifyFrame});
        EXPECT_EQ(pty_.receive(expected.size()), expected);
        EXPECT_TRUE(pty_.receive(1, 20).empty()) << "more than " << count << " commands";
    }

    void expectPortWorks() {
        ASSERT_GE(gState.serialFd, 0);
        pty_.sendToDaemon({0x42});
        uint8_t byte = 0;
        EXPECT_EQ(readByteTimeout(&byte, 1, 0), 1);
        EXPECT_EQ(byte, 0x42);
    }

    Lines silentBoardLines() const {
        Lines lines;
        for (int attempt = 1; attempt <= 10; ++attempt) {
            lines.push_back("E/Vantrel: id query command attempt " + std::to_string(attempt) +
                            " failed");
            lines.push_back("E/Vantrel: resetSensorBoard: can not open file " + root() +
                            "/sys/class/gpio/gpio101/value");
        }
        return lines;
    }

    PseudoTerminal pty_;
};

TEST_F(BoardIdentificationTest, RequiredVersionIsAccepted) {
    installBsl(0, 0);
    gState.verbose = true;
    pty_.sendToDaemon(joinBytes({ackFrame(), versionFrame(1, 6, 25)}));
    EXPECT_EQ(identifyAndUpgradeBoard(), 1);
    EXPECT_EQ(versionProperty(), "1.6.25");
    EXPECT_EQ(logLines().front(), "D/Vantrel: Query ID");
    EXPECT_EQ(logLines().back(),
              "I/Vantrel: Sensor version and Required version are the same. Skipping upgrade.");
    expectIdentifyCommands(1);
    EXPECT_FALSE(fileExists("/bslsh.calls"));
    expectPortWorks();
}

TEST_F(BoardIdentificationTest, SilentBoardFallsBackToBootstrapLoader) {
    installBsl(1, 0);
    EXPECT_EQ(identifyAndUpgradeBoard(), 0);
    Lines expected = silentBoardLines();
    expected.insert(expected.end(),
                    {"I/Vantrel: Can't communicate with sensor fw, so trying BSL..",
                     "I/Vantrel: Waiting for bslCommCheck..", "I/Vantrel: bslCommCheck ret = 1",
                     "I/Vantrel: Didn't find BSL, skipping upgrade."});
    EXPECT_EQ(logLines(), expected);
    EXPECT_TRUE(fileExists("/properties/sys.com.zyn.sensor.version"));
    EXPECT_EQ(versionProperty(), "");
    expectIdentifyCommands(10);
    EXPECT_EQ(bslCalls(), Lines{checkCall()});
    EXPECT_FALSE(portOpenDuringTool());
    EXPECT_EQ(gState.serialFd, -1);
}

// Every exchange is acknowledged but answered with a motion message: ten
// attempts at once, no failures and no resets, then the bootstrap loader.
TEST_F(BoardIdentificationTest, AnswersWithoutVersionUseAllAttempts) {
    installBsl(2, 0);
    Bytes answers;
    for (int attempt = 0; attempt < 10; ++attempt) {
        answers = joinBytes({answers, ackFrame(), standardFrame({'M', 0, 1, 0, 1})});
    }
    pty_.sendToDaemon(answers);
    EXPECT_EQ(identifyAndUpgradeBoard(), 0);
    expectIdentifyCommands(10);
    EXPECT_EQ(logLines(),
              (Lines{"I/Vantrel: Can't communicate with sensor fw, so trying BSL..",
                     "I/Vantrel: Waiting for bslCommCheck..", "I/Vantrel: bslCommCheck ret = 2",
                     "I/Vantrel: Didn't find BSL, skipping upgrade."}));
    EXPECT_EQ(versionProperty(), "");
}

TEST_F(BoardIdentificationTest, UnopenedPortBehavesLikeSilentBoard) {
    installBsl(1, 0);
    closeSerial();
    EXPECT_EQ(identifyAndUpgradeBoard(), 0);
    EXPECT_EQ(countLogLines("E/Vantrel: sendCommand: failed to send packet"), 10);
    EXPECT_EQ(countLogLines("E/Vantrel: id query command attempt 10 failed"), 1);
    EXPECT_EQ(bslCalls(), Lines{checkCall()});
    EXPECT_EQ(gState.serialFd, -1);
}

TEST_F(BoardIdentificationTest, DevelopmentImageWithSilentBoardSkipsBootstrapLoader) {
    installBsl(0, 0);
    writeFile("/vendor/.sensor/sensor.hex", "development build\n");
    int port = gState.serialFd;
    EXPECT_EQ(identifyAndUpgradeBoard(), 0);
    Lines expected = silentBoardLines();
    expected.push_back("I/Vantrel: This is a development file. No upgrade.");
    EXPECT_EQ(logLines(), expected);
    EXPECT_EQ(versionProperty(), "");
    EXPECT_FALSE(fileExists("/bslsh.calls"));
    EXPECT_EQ(gState.serialFd, port);
}

TEST_F(BoardIdentificationTest, DevelopmentImageWithIdentifiedBoardSkipsUpgrade) {
    installBsl(0, 0);
    writeFile("/vendor/.sensor/sensor.hex", "development build");
    pty_.sendToDaemon(joinBytes({ackFrame(), versionFrame(1, 6, 24)}));
    EXPECT_EQ(identifyAndUpgradeBoard(), 1);
    EXPECT_EQ(versionProperty(), "1.6.24");
    EXPECT_EQ(logLines().back(), "I/Vantrel: This is a development file. No upgrade.");
    EXPECT_FALSE(fileExists("/bslsh.calls"));
    expectPortWorks();
}

class FailedUpgradeTest : public BoardIdentificationTest,
                          public ::testing::WithParamInterface<int> {};

// Older and newer versions alike are flashed; a failed flash reopens the port.
TEST_P(FailedUpgradeTest, PortIsReopenedAfterFailedFlash) {
    installBsl(0, 2);
    int patch = GetParam();
    std::string version = "1.6." + std::to_string(patch);
    pty_.sendToDaemon(joinBytes({ackFrame(), versionFrame(1, 6, static_cast<uint8_t>(patch))}));
    EXPECT_EQ(identifyAndUpgradeBoard(), 0);
    EXPECT_EQ(versionProperty(), version);
    Lines lines = logLines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(Lines(lines.end() - 4, lines.end()),
              (Lines{"I/Vantrel: Sensor version [" + version +
                         "] != Required version [1.6.25]. Do upgrade.",
                     "I/Vantrel: Waiting for bslUpgrade..", "I/Vantrel: bspUpgrade ret = 2",
                     "E/Vantrel: Upgrade Failed!"}));
    EXPECT_EQ(bslCalls(), Lines{upgradeCall()});
    EXPECT_FALSE(portOpenDuringTool());
    expectPortWorks();
}

INSTANTIATE_TEST_SUITE_P(OlderAndNewer, FailedUpgradeTest, ::testing::Values(24, 26));

TEST_F(BoardIdentificationTest, BootstrapLoaderFoundButFlashFails) {
    installBsl(0, 4);
    EXPECT_EQ(identifyAndUpgradeBoard(), 0);
    Lines lines = logLines();
    ASSERT_GE(lines.size(), 7u);
    EXPECT_EQ(Lines(lines.end() - 7, lines.end()),
              (Lines{"I/Vantrel: Can't communicate with sensor fw, so trying BSL..",
                     "I/Vantrel: Waiting for bslCommCheck..", "I/Vantrel: bslCommCheck ret = 0",
                     "I/Vantrel: Found BSL, doing upgrade.", "I/Vantrel: Waiting for bslUpgrade..",
                     "I/Vantrel: bspUpgrade ret = 4", "E/Vantrel: Upgrade Failed!"}));
    EXPECT_EQ(bslCalls(), (Lines{checkCall(), upgradeCall()}));
    EXPECT_FALSE(portOpenDuringTool());
    expectPortWorks();
}

using BoardUpgradeDeathTest = BoardIdentificationTest;

TEST_F(BoardUpgradeDeathTest, SuccessfulFlashEndsProcess) {
    installBsl(1, 0);
    pty_.sendToDaemon(joinBytes({ackFrame(), versionFrame(1, 5, 0)}));
    EXPECT_EXIT(identifyAndUpgradeBoard(), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(logLines().back(), "I/Vantrel: Upgrade Successfull, restart daemon.");
    EXPECT_TRUE(logHas("I/Vantrel: bspUpgrade ret = 0"));
    EXPECT_EQ(bslCalls(), Lines{upgradeCall()});
    EXPECT_FALSE(portOpenDuringTool());
}

}  // namespace
}  // namespace vantrel::test
