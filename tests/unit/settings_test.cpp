// Where the daemon's settings come from: the command line, boolean system
// properties, and the development marker in place of the firmware image.
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "common/daemon_state.h"
#include "daemon/bool_property.h"
#include "daemon/options.h"
#include "firmware/image_marker.h"
#include "platform/platform.h"
#include "tests/unit/unit_fixture.h"

namespace vantrel::test {
namespace {

using SettingsTest = DaemonTest;

// The settings in words: "usage" for a refused command line, else the options
// seen, the streams forwarded, the switch values given and the port path.
std::string describe(bool accepted, const RunSettings& settings) {
    if (!accepted) return "usage";
    std::string text;
    auto add = [&text](bool on, const std::string& word) {
        if (on) text += (text.empty() ? "" : " ") + word;
    };
    add(settings.optionSeen, "seen");
    add(gState.verbose, "verbose");
    add(settings.daemonMode, "daemon");
    add(settings.motionGiven, "-m");
    add(!gState.ignoreMotion, "motion");
    add(settings.lightGiven, "-l");
    add(!gState.ignoreLight, "light");
    add(settings.ledGiven, settings.ledOn ? "led=1" : "led=0");
    add(settings.nfcGiven, settings.nfcOn ? "nfc=1" : "nfc=0");
    add(settings.portPath != nullptr,
        "port=" + std::string(settings.portPath ? settings.portPath : ""));
    return text;
}

struct OptionsRow {
    std::vector<std::string> args;
    std::string settings;
    Lines log = {};
};

TEST_F(SettingsTest, CommandLine) {
    // clang-format off
    const OptionsRow rows[] = {
        {{}, ""}, {{"operand"}, ""},
        {{"-h"}, "usage"}, {{"-?"}, "usage"}, {{"-x"}, "usage"}, {{"-e"}, "usage"},
        {{"-v", "-p"}, "usage"}, {{"-d", "-h", "-m"}, "usage"},
        {{"-v"}, "seen verbose"}, {{"-d"}, "seen daemon"},
        {{"-m"}, "seen -m motion"}, {{"-l"}, "seen -l light"},
        {{"-e", "1"}, "seen led=1"}, {{"-e", "2"}, "seen led=1"}, {{"-e", "-1"}, "seen led=1"},
        {{"-e", "1abc"}, "seen led=1"}, {{"-e", "on"}, "seen led=0"},
        {{"-n1"}, "seen nfc=1"}, {{"-n", "0"}, "seen nfc=0"},
        {{"-e", "1", "-e", "0", "-n", "0", "-n", "3", "-p", "/a", "-p", "/b"},
         "seen led=0 nfc=1 port=/b"},
        {{"-v", "-p", "/tmp/board"}, "seen verbose port=/tmp/board",
         {"D/Vantrel: serialPort=[/tmp/board]"}},
        {{"-p", "/tmp/board", "-v"}, "seen verbose port=/tmp/board"},
    };
    // clang-format on
    for (const OptionsRow& row : rows) {
        std::vector<std::string> args = {"vantrel"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        std::vector<char*> argv;
        std::string line;
        for (std::string& arg : args) {
            line += " " + arg;
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        SCOPED_TRACE(line);
        resetDaemonState();
        clearLog();
        RunSettings settings;
        optind = 0;
        StderrCapture capture(rootPath("/stderr.txt"));
        bool accepted = parseOptions(static_cast<int>(args.size()), argv.data(), &settings);
        EXPECT_EQ(capture.finish(), "") << "getopt printed a message of its own";
        EXPECT_EQ(describe(accepted, settings), row.settings);
        EXPECT_EQ(logLines(), row.log);
        releaseRunSettings(&settings);
    }
}

TEST_F(SettingsTest, BooleanProperty) {
    // clang-format off
    const std::pair<const char*, int> rows[] = {  // the file's content (nullptr: unset), result
        {nullptr, 0}, {"", 0}, {"true", 1}, {"true\n", 1}, {"false", 0}, {"TRUE", 0}, {"True", 0},
        {"yes", 0}, {"on", 0}, {"trueish", 0}, {"1", 1}, {"5", 1}, {"+3", 1}, {"007", 1}, {"0", 0},
        {"-1", 0}, {"-5", 0}, {"5abc", 1}, {"   7", 1}, {"0x10", 0}, {"2147483647", 1},
        {"2147483648", 0}, {"99999999999999999999999", 0}, {"-2147483649", 0},
    };
    // clang-format on
    const char key[] = "com.zyn.vantrel.led";
    const std::string file = std::string("/properties/") + key;
    for (const auto& [stored, result] : rows) {
        SCOPED_TRACE(stored ? '"' + std::string(stored) + '"' : "unset");
        std::filesystem::remove(rootPath(file));
        if (stored != nullptr) writeFile(file, stored);
        char buffer[kPropertyValueMax];
        memset(buffer, 0xAA, sizeof buffer);
        EXPECT_EQ(getBoolProperty(buffer, sizeof buffer, key), result);
        std::string text = stored ? stored : "";
        if (!text.empty() && text.back() == '\n') text.pop_back();
        text.resize(sizeof buffer, '\0');
        EXPECT_EQ(std::string(buffer, sizeof buffer), text) << "the raw text, zero-padded";
        EXPECT_EQ(queryBoolProperty(key), result);
    }
    // A buffer too small for what the platform writes is refused unread.
    writeFile(file, "true");
    for (int size : {-1, 0, 1, 2, kPropertyValueMax - 1}) {
        char buffer[kPropertyValueMax];
        memset(buffer, 0xAA, sizeof buffer);
        EXPECT_EQ(getBoolProperty(buffer, size, key), 0) << size;
        EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '\xAA')) << size;
    }
    EXPECT_EQ(getBoolProperty(nullptr, kPropertyValueMax, key), 0);
}

struct MarkerRow {
    const char* name;
    std::string content;
    bool development;
};

TEST_F(SettingsTest, DevelopmentImageMarker) {
    const MarkerRow rows[] = {
        {"marker line", "development build\n", true},
        {"marker, then more lines", std::string("development build\n\x00\xFF:1000\n", 27), true},
        {"marker without line end", "development build", true},
        {"empty file", "", false},
        {"carriage return before the line end", "development build\r\n", false},
        {"trailing blank", "development build \n", false},
        {"leading blank", " development build\n", false},
        {"capital letter", "Development build\n", false},
        {"longer line", "development builds\n", false},
        {"shorter line", "development buil\n", false},
        {"marker on the second line", "\ndevelopment build\n", false},
        {"image record", ":10010000214601360121470136007EFE09D2190140\n", false},
    };
    const std::string image = rootPath("/vendor/.sensor/sensor.hex");
    auto openFiles = [] {
        auto entries = std::filesystem::directory_iterator("/proc/self/fd");
        return std::distance(begin(entries), end(entries));
    };
    auto filesBefore = openFiles();
    EXPECT_FALSE(isDevelopmentImage(image.c_str())) << "missing file";
    for (const MarkerRow& row : rows) {
        writeFile("/vendor/.sensor/sensor.hex", row.content);
        EXPECT_EQ(isDevelopmentImage(image.c_str()), row.development) << row.name;
    }
    std::filesystem::remove(image);
    makeDirectory("/vendor/.sensor/sensor.hex");
    EXPECT_FALSE(isDevelopmentImage(image.c_str())) << "a directory";
    EXPECT_EQ(openFiles(), filesBefore) << "a file was left open";
    EXPECT_TRUE(logLines().empty());
}

}  // namespace
}  // namespace vantrel::test
