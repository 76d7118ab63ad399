// The command line: options, their arguments, repeated options, the usage
// text and the port path line.
#include "daemon/options.h"

#include <unistd.h>

#include <string>
#include <vector>

#include "common/daemon_state.h"
#include "tests/unit/unit_fixture.h"

namespace vantrel::test {
namespace {

class OptionsTest : public DaemonTest {
  protected:
    void TearDown() override {
        releaseRunSettings(&settings_);
        DaemonTest::TearDown();
    }

    // Parses "vantrel <args...>" into settings_ from a fresh getopt state.
    bool parse(std::vector<std::string> args) {
        releaseRunSettings(&settings_);
        settings_ = RunSettings();
        arguments_ = std::move(args);
        arguments_.insert(arguments_.begin(), "vantrel");
        std::vector<char*> argv;
        for (auto& argument : arguments_) argv.push_back(argument.data());
        argv.push_back(nullptr);
        optind = 0;
        return parseOptions(static_cast<int>(arguments_.size()), argv.data(), &settings_);
    }

    RunSettings settings_;

  private:
    std::vector<std::string> arguments_;
};

TEST_F(OptionsTest, HelpAndBadOptionsAskForUsage) {
    const std::vector<std::vector<std::string>> commandLines = {
        {"-h"}, {"-?"}, {"-x"}, {"-e"}, {"-n"}, {"-p"}, {"-v", "-e"}, {"-d", "-h", "-m"}};
    for (const auto& commandLine : commandLines) {
        EXPECT_FALSE(parse(commandLine)) << "first option " << commandLine.front();
    }
}

TEST_F(OptionsTest, GetoptPrintsNothingOfItsOwn) {
    StderrCapture capture(rootPath("/stderr.txt"));
    parse({"-x"});
    parse({"-e"});
    EXPECT_EQ(capture.finish(), "");
}

TEST_F(OptionsTest, EmptyCommandLineSeesNoOption) {
    EXPECT_TRUE(parse({}));
    EXPECT_FALSE(settings_.optionSeen);
    EXPECT_TRUE(parse({"operand"}));
    EXPECT_FALSE(settings_.optionSeen);
}

TEST_F(OptionsTest, EveryOptionCountsAsSeen) {
    const std::vector<std::vector<std::string>> commandLines = {
        {"-v"}, {"-d"}, {"-m"}, {"-l"}, {"-e", "1"}, {"-n", "0"}, {"-p", "/tmp/port"}};
    for (const auto& commandLine : commandLines) {
        EXPECT_TRUE(parse(commandLine)) << commandLine.front();
        EXPECT_TRUE(settings_.optionSeen) << commandLine.front();
    }
}

TEST_F(OptionsTest, LedValueIsConvertedAsANumber) {
    struct Case {
        const char* argument;
        bool on;
    };
    for (const Case& value : {Case{"on", false}, Case{"0", false}, Case{"1", true}, Case{"2", true},
                              Case{"-1", true}, Case{"1abc", true}}) {
        ASSERT_TRUE(parse({"-e", value.argument}));
        EXPECT_TRUE(settings_.ledGiven);
        EXPECT_EQ(settings_.ledOn, value.on) << "-e " << value.argument;
        EXPECT_FALSE(settings_.nfcGiven);
    }
}

TEST_F(OptionsTest, NfcValueIsConvertedAsANumber) {
    ASSERT_TRUE(parse({"-n", "0"}));
    EXPECT_TRUE(settings_.nfcGiven);
    EXPECT_FALSE(settings_.nfcOn);
    ASSERT_TRUE(parse({"-n1"}));
    EXPECT_TRUE(settings_.nfcOn);
    EXPECT_FALSE(settings_.ledGiven);
}

TEST_F(OptionsTest, LastOfRepeatedOptionWins) {
    ASSERT_TRUE(parse({"-e", "1", "-e", "0", "-n", "0", "-n", "3", "-p", "/a", "-p", "/b"}));
    EXPECT_FALSE(settings_.ledOn);
    EXPECT_TRUE(settings_.nfcOn);
    ASSERT_NE(settings_.portPath, nullptr);
    EXPECT_STREQ(settings_.portPath, "/b");
}

TEST_F(OptionsTest, MotionAndLightOptionsClearTheirFilters) {
    ASSERT_TRUE(parse({"-m"}));
    EXPECT_FALSE(gState.ignoreMotion);
    EXPECT_TRUE(gState.ignoreLight);
    EXPECT_TRUE(settings_.motionGiven);
    EXPECT_FALSE(settings_.lightGiven);
    ASSERT_TRUE(parse({"-l", "-d"}));
    EXPECT_FALSE(gState.ignoreLight);
    EXPECT_TRUE(settings_.lightGiven);
    EXPECT_TRUE(settings_.daemonMode);
}

TEST_F(OptionsTest, VerboseBeforePortLogsThePath) {
    ASSERT_TRUE(parse({"-v", "-p", "/tmp/board"}));
    EXPECT_TRUE(gState.verbose);
    EXPECT_EQ(logLines(), std::vector<std::string>{"D/Vantrel: serialPort=[/tmp/board]"});
}

TEST_F(OptionsTest, PortBeforeVerboseLogsNothing) {
    ASSERT_TRUE(parse({"-p", "/tmp/board", "-v"}));
    EXPECT_TRUE(gState.verbose);
    EXPECT_STREQ(settings_.portPath, "/tmp/board");
    EXPECT_TRUE(logLines().empty());
}

TEST_F(OptionsTest, PortPathIsACopyReleasedWithTheSettings) {
    std::string path = "/tmp/board";
    ASSERT_TRUE(parse({"-p", path}));
    ASSERT_NE(settings_.portPath, nullptr);
    EXPECT_STREQ(settings_.portPath, "/tmp/board");
    releaseRunSettings(&settings_);
    EXPECT_EQ(settings_.portPath, nullptr);
}

TEST_F(OptionsTest, UsageTextIsExact) {
    StderrCapture capture(rootPath("/usage.txt"));
    printUsage();
    EXPECT_EQ(capture.finish(),
              "vantrel \n\n"
              "Usage: ./vantrel  \n\n"
              "Options:\n"
              "\t-v\tenable extra debug messages\n"
              "\t-h\tdisplay help\n"
              "\t-m\tscan for incoming Motion Sensor Messages\n"
              "\t-l\tscan for incoming Light Sensor Messages\n"
              "\t-e\tturn debug LED 0:off, 1: on\n"
              "\t-n\tturn NFC 0:off, 1: on\n"
              "\t-d\trun in daemon mode (sleep after crash)\n");
}

}  // namespace
}  // namespace vantrel::test
