// The host platform layer: log records, the property store, the path root
// and the time scale.
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/daemon_state.h"
#include "common/log.h"
#include "platform/platform.h"
#include "tests/unit/unit_fixture.h"

namespace vantrel::test {
namespace {

using Lines = std::vector<std::string>;

using HostLogTest = DaemonTest;

TEST_F(HostLogTest, RecordsCarryPriorityLetterAndTag) {
    logDebug("debug %d", 1);
    logInfo("info %s", "text");
    logError("error");
    EXPECT_EQ(logLines(),
              (Lines{"D/Vantrel: debug 1", "I/Vantrel: info text", "E/Vantrel: error"}));
}

TEST_F(HostLogTest, TrailingLineFeedsAreDropped) {
    logError("Signal <%d> Caught!\n", 2);
    logDebug("readExtendedPacket unsupported \n\n\n");
    EXPECT_EQ(readWholeFile(logFilePath()),
              "E/Vantrel: Signal <2> Caught!\nD/Vantrel: readExtendedPacket unsupported \n");
}

TEST_F(HostLogTest, InnerLineFeedStartsPrefixedLine) {
    logInfo("first\nsecond\n\nfourth\n");
    EXPECT_EQ(readWholeFile(logFilePath()),
              "I/Vantrel: first\nI/Vantrel: second\nI/Vantrel: \nI/Vantrel: fourth\n");
}

TEST_F(HostLogTest, RecordsAreAppendedToExistingFile) {
    writeFile("/vantrel.log", "an earlier record\n");
    logInfo("one");
    logInfo("two");
    EXPECT_EQ(logLines(), (Lines{"an earlier record", "I/Vantrel: one", "I/Vantrel: two"}));
}

TEST_F(HostLogTest, WithoutLogFileRecordsGoToStandardError) {
    unsetenv("VANTREL_LOG");
    StderrCapture capture(rootPath("/stderr.txt"));
    logError("to standard error\n");
    EXPECT_EQ(capture.finish(), "E/Vantrel: to standard error\n");
    EXPECT_FALSE(fileExists("/vantrel.log"));
}

class PropertyStoreTest : public DaemonTest {
  protected:
    std::string get(const char* key, const char* defaultValue = "") {
        char value[kPropertyValueMax];
        memset(value, 0x5A, sizeof value);
        int length = platformPropertyGet(key, value, defaultValue);
        EXPECT_EQ(length, static_cast<int>(strlen(value)));
        return value;
    }
};

TEST_F(PropertyStoreTest, MissingFileReadsAsDefault) {
    EXPECT_EQ(get("com.zyn.vantrel.led"), "");
    EXPECT_EQ(get("com.zyn.vantrel.led", "fallback"), "fallback");
}

TEST_F(PropertyStoreTest, OneTrailingLineFeedIsNotPartOfValue) {
    writeFile("/properties/one", "true\n");
    writeFile("/properties/two", "two\n\n");
    writeFile("/properties/none", "plain");
    EXPECT_EQ(get("one"), "true");
    EXPECT_EQ(get("two"), "two\n");
    EXPECT_EQ(get("none"), "plain");
}

TEST_F(PropertyStoreTest, ValueIsCappedAt91Bytes) {
    writeFile("/properties/long", std::string(120, 'x'));
    writeFile("/properties/exact", std::string(91, 'y') + "\n");
    EXPECT_EQ(get("long"), std::string(91, 'x'));
    EXPECT_EQ(get("exact"), std::string(91, 'y'));
}

TEST_F(PropertyStoreTest, SetWritesValueWithoutLineFeed) {
    ASSERT_EQ(platformPropertySet("sys.com.zyn.sensor.version", "1.6.25"), 0);
    EXPECT_EQ(readFile("/properties/sys.com.zyn.sensor.version"), "1.6.25");
    EXPECT_EQ(get("sys.com.zyn.sensor.version"), "1.6.25");
    ASSERT_EQ(platformPropertySet("sys.com.zyn.sensor.version", ""), 0);
    EXPECT_TRUE(fileExists("/properties/sys.com.zyn.sensor.version"));
    EXPECT_EQ(readFile("/properties/sys.com.zyn.sensor.version"), "");
}

// A reader holding the old file keeps the old value: the new one arrives as a
// new file renamed into place, never as a rewrite of the old one.
TEST_F(PropertyStoreTest, SetReplacesFileAtomically) {
    writeFile("/properties/key", "old value");
    ASSERT_EQ(link(rootPath("/properties/key").c_str(), rootPath("/held").c_str()), 0);
    ASSERT_EQ(platformPropertySet("key", "new"), 0);
    EXPECT_EQ(readFile("/properties/key"), "new");
    EXPECT_EQ(readFile("/held"), "old value");
    // No temporary file is left behind in the store.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(rootPath("/properties"))) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, (Lines{"key"}));
}

TEST_F(PropertyStoreTest, SetFailsWhenStoreCannotBeWritten) {
    writeFile("/properties", "a file where the store directory belongs");
    EXPECT_EQ(platformPropertySet("sys.com.zyn.sensor.version", "1.6.25"), -1);
    setenv("VANTREL_ROOT", rootPath("/missing/root").c_str(), 1);
    EXPECT_EQ(platformPropertySet("sys.com.zyn.sensor.version", "1.6.25"), -1);
}

TEST_F(PropertyStoreTest, SetRefusesValueLongerThan91Bytes) {
    EXPECT_EQ(platformPropertySet("key", std::string(92, 'v').c_str()), -1);
    EXPECT_FALSE(fileExists("/properties/key"));
    EXPECT_EQ(platformPropertySet("key", std::string(91, 'v').c_str()), 0);
    EXPECT_EQ(get("key"), std::string(91, 'v'));
}

TEST_F(PropertyStoreTest, KeysThatLeaveTheStoreAreRefused) {
    makeDirectory("/properties/sub");
    writeFile("/properties/sub/key", "true");
    EXPECT_EQ(get("sub/key", "fallback"), "fallback");
    EXPECT_EQ(platformPropertySet("../escaped", "x"), -1);
    EXPECT_EQ(platformPropertySet("..", "x"), -1);
    EXPECT_FALSE(fileExists("/escaped"));
}

using ResolvePathTest = DaemonTest;

TEST_F(ResolvePathTest, RootGoesInFrontOfFixedPath) {
    char buffer[4096];
    EXPECT_EQ(std::string(resolvePath("/dev/ttymxc1", buffer, sizeof buffer)),
              root() + "/dev/ttymxc1");
}

TEST_F(ResolvePathTest, WithoutRootThePathIsUsedAsItIs) {
    unsetenv("VANTREL_ROOT");
    char buffer[4096];
    const char* fixed = "/data/pipeProx";
    EXPECT_EQ(resolvePath(fixed, buffer, sizeof buffer), fixed);
    setenv("VANTREL_ROOT", "", 1);
    EXPECT_EQ(resolvePath(fixed, buffer, sizeof buffer), fixed);
}

TEST_F(ResolvePathTest, PathThatDoesNotFitIsReturnedAsItIs) {
    char buffer[8];
    const char* fixed = "/vendor/.sensor/sensor.hex";
    EXPECT_EQ(resolvePath(fixed, buffer, sizeof buffer), fixed);
}

class TimeScaleTest : public DaemonTest {
  protected:
    static long long micros(struct timeval limit) {
        return static_cast<long long>(limit.tv_sec) * 1000000 + limit.tv_usec;
    }
};

TEST_F(TimeScaleTest, UnsetScaleKeepsLimits) {
    unsetenv("VANTREL_TIME_SCALE");
    EXPECT_EQ(micros(scaledTimeout(10, 0)), 10000000);
    EXPECT_EQ(micros(scaledTimeout(0, 500000)), 500000);
}

TEST_F(TimeScaleTest, ScaleMultipliesSecondsAndMicroseconds) {
    setTimeScale("0.5");
    struct timeval limit = scaledTimeout(10, 0);
    EXPECT_EQ(limit.tv_sec, 5);
    EXPECT_EQ(limit.tv_usec, 0);
    setTimeScale("0.001");
    EXPECT_EQ(micros(scaledTimeout(0, 500000)), 500);
    EXPECT_EQ(micros(scaledTimeout(10, 0)), 10000);
    setTimeScale("2");
    EXPECT_EQ(micros(scaledTimeout(1, 250000)), 2500000);
}

TEST_F(TimeScaleTest, UnusableScaleCountsAsOne) {
    for (const char* text : {"", "abc", "0", "-0.5", "0.5x", "inf", "nan", "1e7"}) {
        setTimeScale(text);
        EXPECT_EQ(micros(scaledTimeout(10, 0)), 10000000) << "scale \"" << text << "\"";
    }
}

TEST_F(TimeScaleTest, TinyScaleNeverTurnsWaitIntoPoll) {
    setTimeScale("0.000000001");
    EXPECT_EQ(micros(scaledTimeout(0, 500000)), 1);
}

}  // namespace
}  // namespace vantrel::test
