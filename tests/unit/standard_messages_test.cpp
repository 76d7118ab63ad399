// Standard messages: dispatch by letter, the stream filters, the light and
// motion values in their pipes, and the version with its broadcast.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/daemon_state.h"
#include "messages/tavrix_protocol_parser.h"
#include "tests/unit/unit_fixture.h"

namespace vantrel::test {
namespace {

using Lines = std::vector<std::string>;
using Parser = TavrixProtocolParser;

class StandardMessagesTest : public DaemonTest {
  protected:
    void SetUp() override {
        DaemonTest::SetUp();
        light_ = std::make_unique<FifoReader>(rootPath("/data/pipeLight"));
        proximity_ = std::make_unique<FifoReader>(rootPath("/data/pipeProx"));
    }
    void TearDown() override {
        light_.reset();
        proximity_.reset();
        DaemonTest::TearDown();
    }

    static int dispatch(std::vector<uint8_t> payload) {
        payload.resize(6, 0);
        return Parser::parseStandardData(payload.data());
    }

    std::unique_ptr<FifoReader> light_;
    std::unique_ptr<FifoReader> proximity_;
};

TEST_F(StandardMessagesTest, AckIsAcceptedWithoutEffect) {
    gState.verbose = true;
    EXPECT_EQ(dispatch({'A', 0xFF, 0x49, 0x4C, 0x4D, 0x01}), 1);
    EXPECT_TRUE(logLines().empty());
    EXPECT_FALSE(gState.versionReceived);
    EXPECT_FALSE(fileExists("/am.calls"));
}

TEST_F(StandardMessagesTest, OnlyFourLettersAreKnown) {
    gState.verbose = true;
    gState.ignoreLight = false;
    gState.ignoreMotion = false;
    for (int letter = 0; letter < 256; ++letter) {
        if (letter == 'A' || letter == 'I' || letter == 'L' || letter == 'M') continue;
        EXPECT_EQ(dispatch({static_cast<uint8_t>(letter), 1, 2, 3, 4, 5}), 0)
            << "letter " << letter;
    }
    EXPECT_TRUE(logLines().empty());
    EXPECT_TRUE(light_->values().empty());
    EXPECT_TRUE(proximity_->values().empty());
    EXPECT_FALSE(fileExists("/am.calls"));
}

TEST_F(StandardMessagesTest, FilteredStreamsCountAsHandled) {
    gState.verbose = true;
    EXPECT_EQ(dispatch({'L', 1, 2, 3, 4, 5}), 1);
    EXPECT_EQ(dispatch({'M', 1, 2, 3, 4, 5}), 1);
    EXPECT_TRUE(light_->values().empty());
    EXPECT_TRUE(proximity_->values().empty());
    EXPECT_TRUE(logLines().empty());
}

TEST_F(StandardMessagesTest, LightWritesVisibleValue) {
    gState.ignoreLight = false;
    gState.verbose = true;
    EXPECT_EQ(dispatch({'L', 0x01, 0x02, 0x03, 0x04, 0x05}), 1);
    EXPECT_EQ(light_->values(), std::vector<int32_t>{258});
    EXPECT_TRUE(proximity_->values().empty());
    EXPECT_EQ(logLines(), (Lines{"D/Vantrel: Light Message vis=258, ir=772"}));
}

TEST_F(StandardMessagesTest, MotionSumIsNotClamped) {
    gState.ignoreMotion = false;
    gState.verbose = true;
    EXPECT_EQ(dispatch({'M', 0xFF, 0xFF, 0xFF, 0xFF, 0x00}), 1);
    EXPECT_EQ(dispatch({'M', 0x00, 0x01, 0x01, 0x00, 0x00}), 1);
    EXPECT_EQ(proximity_->values(), (std::vector<int32_t>{131070, 257}));
    EXPECT_TRUE(light_->values().empty());
    EXPECT_EQ(logLines(), (Lines{"D/Vantrel: Motion Message ps1=65535, ps2=65535, psFinal=131070",
                                 "D/Vantrel: Motion Message ps1=1, ps2=256, psFinal=257"}));
}

TEST_F(StandardMessagesTest, VersionIsRecordedAndBroadcast) {
    EXPECT_EQ(dispatch({'I', 0x01, 0x06, 0x19, 0x00, 0x03}), 1);
    EXPECT_STREQ(gState.boardVersion, "1.6.25");
    EXPECT_TRUE(gState.versionReceived);
    const std::string command =
        "am broadcast -a com.zyn.vantrel.UPDATE_VERSION --es version 1.6.25";
    EXPECT_EQ(logLines(),
              (Lines{"I/Vantrel: Sensor board version: 1.6.25", "D/Vantrel: sensor_comm_error=3",
                     "I/Vantrel: UPDATE_VERSION broadcase: " + command}));
    EXPECT_EQ(amCalls(), Lines{command.substr(3)});
}

TEST_F(StandardMessagesTest, LongestVersionFits) {
    EXPECT_EQ(dispatch({'I', 0xFF, 0xFF, 0xFF, 0x00, 0xFF}), 1);
    EXPECT_STREQ(gState.boardVersion, "255.255.255");
    EXPECT_TRUE(logHas("D/Vantrel: sensor_comm_error=255"));
    EXPECT_EQ(amCalls(),
              Lines{"broadcast -a com.zyn.vantrel.UPDATE_VERSION --es version 255.255.255"});
}

TEST_F(StandardMessagesTest, ShorterVersionLeavesNoTailOfTheLonger) {
    dispatch({'I', 0xFF, 0xFF, 0xFF});
    dispatch({'I', 1, 2, 3});
    const char expected[12] = "1.2.3";
    EXPECT_EQ(memcmp(gState.boardVersion, expected, sizeof expected), 0);
    EXPECT_EQ(amCalls().size(), 2u) << "every version message is broadcast";
}

// SIGINT is not held back while the broadcast runs: a SIGINT sent meanwhile
// reaches the handler before the version message is done.
TEST_F(StandardMessagesTest, SigintDuringBroadcastReachesTheHandler) {
    ScopedSigintHandler sigint;
    installTool("am", "kill -INT " + std::to_string(getpid()) + "\n");
    EXPECT_EQ(dispatch({'I', 1, 6, 25}), 1);
    EXPECT_FALSE(gState.running);
    EXPECT_TRUE(logHas("E/Vantrel: Signal <2> Caught!"));
    EXPECT_TRUE(
        logHas("I/Vantrel: UPDATE_VERSION broadcase: am broadcast -a "
               "com.zyn.vantrel.UPDATE_VERSION --es version 1.6.25"));
}

}  // namespace
}  // namespace vantrel::test
