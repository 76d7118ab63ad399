// The host platform layer: log records, the property store, the path root
// and the time scale, and the settings it refuses at start.
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/log.h"
#include "daemon/run.h"
#include "platform/host/host_env.h"
#include "platform/platform.h"
#include "tests/unit/unit_fixture.h"

namespace vantrel::test {
namespace {

using HostPlatformTest = DaemonTest;

std::string property(const char* key, const char* defaultValue = "") {
    char value[kPropertyValueMax];
    memset(value, 0x5A, sizeof value);
    int length = platformPropertyGet(key, value, defaultValue);
    EXPECT_EQ(length, static_cast<int>(strlen(value)));
    return value;
}

TEST_F(HostPlatformTest, LogRecordsArePrefixedPerLineAndAppended) {
    writeFile("/vantrel.log", "an earlier record\n");
    logDebug("debug %d", 1);
    logError("Signal <%d> Caught!\n\n", 2);
    logInfo("first\n\nthird\n");
    EXPECT_EQ(logLines(),
              (Lines{"an earlier record", "D/Vantrel: debug 1", "E/Vantrel: Signal <2> Caught!",
                     "I/Vantrel: first", "I/Vantrel: ", "I/Vantrel: third"}));
    unsetenv("VANTREL_LOG");
    StderrCapture capture(rootPath("/stderr.txt"));
    logError("to standard error\n");
    EXPECT_EQ(capture.finish(), "E/Vantrel: to standard error\n");
}

TEST_F(HostPlatformTest, PropertyStoreReadsAsThePlatformDoes) {
    struct Row {
        const char* file;  // nullptr: no file
        std::string content;
        std::string value;
    } rows[] = {
        {nullptr, "", "fallback"},
        {"one", "true\n", "true"},  // one trailing line feed is not part of the value
        {"two", "two\n\n", "two\n"},
        {"long", std::string(120, 'x'), std::string(91, 'x')},
        {"exact", std::string(91, 'y') + "\n", std::string(91, 'y')},
        {"sub/key", "true", "fallback"},  // a key cannot leave the store
    };
    for (const Row& row : rows) {
        if (row.file == nullptr) {
            EXPECT_EQ(property("com.zyn.vantrel.led", "fallback"), row.value);
            continue;
        }
        writeFile(std::string("/properties/") + row.file, row.content);
        EXPECT_EQ(property(row.file, "fallback"), row.value) << row.file;
    }
}

// A reader holding the old file keeps the old value: the new one arrives as a
// new file renamed into place, and no temporary file stays behind.
TEST_F(HostPlatformTest, PropertySetReplacesTheFileAtomically) {
    writeFile("/properties/key", "old value");
    ASSERT_EQ(link(rootPath("/properties/key").c_str(), rootPath("/held").c_str()), 0);
    ASSERT_EQ(platformPropertySet("key", "new"), 0);
    EXPECT_EQ(readFile("/properties/key"), "new");
    EXPECT_EQ(readFile("/held"), "old value");
    ASSERT_EQ(platformPropertySet("empty", ""), 0);
    EXPECT_EQ(readFile("/properties/empty"), "");
    Lines names;
    for (const auto& entry : std::filesystem::directory_iterator(rootPath("/properties"))) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (Lines{"empty", "key"}));
}

TEST_F(HostPlatformTest, PropertySetRefusals) {
    EXPECT_EQ(platformPropertySet("key", std::string(92, 'v').c_str()), -1);
    EXPECT_EQ(platformPropertySet("../escaped", "x"), -1);
    EXPECT_EQ(platformPropertySet("..", "x"), -1);
    EXPECT_FALSE(fileExists("/properties/key") || fileExists("/escaped"));
    writeFile("/properties", "a file where the store directory belongs");
    EXPECT_EQ(platformPropertySet("sys.com.zyn.sensor.version", "1.6.25"), -1);
}

TEST_F(HostPlatformTest, RootGoesInFrontOfFixedPathsAndNeverFallsAway) {
    char buffer[PATH_MAX];
    EXPECT_EQ(std::string(resolvePath("/dev/ttymxc1", buffer, sizeof buffer)),
              root() + "/dev/ttymxc1");
    char small[8];
    EXPECT_STREQ(resolvePath("/vendor/.sensor/sensor.hex", small, sizeof small), "");
    setenv("VANTREL_ROOT", "", 1);
    const char* fixed = "/data/pipeProx";
    EXPECT_EQ(resolvePath(fixed, buffer, sizeof buffer), fixed);
}

TEST_F(HostPlatformTest, TimeScaleMultipliesEveryLimit) {
    struct Row {
        const char* scale;  // nullptr: unset
        long seconds, microseconds;
        long long expected;
    } rows[] = {
        {nullptr, 10, 0, 10000000},
        {"", 0, 500000, 500000},
        {"0.5", 10, 0, 5000000},
        {"0.001", 0, 500000, 500},
        {"2", 1, 250000, 2500000},
        {"0.000000001", 0, 500000, 1},  // never zero by rounding
        {"0", 10, 0, 0},                // no time limit at all
    };
    for (const Row& row : rows) {
        if (row.scale == nullptr) {
            unsetenv("VANTREL_TIME_SCALE");
        } else {
            setTimeScale(row.scale);
        }
        struct timeval limit = scaledTimeout(row.seconds, row.microseconds);
        EXPECT_EQ(limit.tv_sec * 1000000LL + limit.tv_usec, row.expected)
            << (row.scale ? row.scale : "unset");
    }
}

// Settings the host layer refuses: the daemon ends with status 1 and a line
// on standard error before it creates its FIFOs.
TEST_F(HostPlatformTest, UnusableSettingsAreRefusedAtStart) {
    const std::string longest(hostRootMaxLength(), 'r');
    struct Row {
        const char* variable;
        std::string value;
        bool usable;
    } rows[] = {
        {"VANTREL_TIME_SCALE", "0", true},      {"VANTREL_TIME_SCALE", "0.05", true},
        {"VANTREL_TIME_SCALE", "1e6", true},    {"VANTREL_TIME_SCALE", "abc", false},
        {"VANTREL_TIME_SCALE", "-0.5", false},  {"VANTREL_TIME_SCALE", "0.5x", false},
        {"VANTREL_TIME_SCALE", " 1 ", false},   {"VANTREL_TIME_SCALE", "nan", false},
        {"VANTREL_TIME_SCALE", "inf", false},   {"VANTREL_TIME_SCALE", "1e7", false},
        {"VANTREL_ROOT", "/" + longest, false}, {"VANTREL_ROOT", longest, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.variable) + "=" + row.value.substr(0, 20));
        const char* before = getenv(row.variable);
        std::string saved = before != nullptr ? before : "";
        setenv(row.variable, row.value.c_str(), 1);
        StderrCapture capture(rootPath("/stderr.txt"));
        if (row.usable) {
            EXPECT_TRUE(platformSettingsUsable());
        } else {
            char name[] = "vantrel", option[] = "-m";
            char* argv[] = {name, option, nullptr};
            EXPECT_EQ(runDaemon(2, argv), 1);
        }
        std::string message = capture.finish();
        setenv(row.variable, saved.c_str(), 1);
        if (row.usable) {
            EXPECT_EQ(message, "");
            continue;
        }
        EXPECT_EQ(message.rfind(std::string("vantrel: ") + row.variable, 0), 0u) << message;
        EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
        EXPECT_FALSE(fileExists("/data/pipeProx"));
    }
}

}  // namespace
}  // namespace vantrel::test
