// Boolean settings read from system properties: the whole table of texts,
// the buffer the raw text is left in, and the refused calls.
#include "daemon/bool_property.h"

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "tests/unit/unit_fixture.h"

namespace vantrel::test {
namespace {

constexpr char kKey[] = "com.zyn.vantrel.led";
constexpr char kPropertyFile[] = "/properties/com.zyn.vantrel.led";

struct BoolCase {
    std::string text;
    int expected;
};

void PrintTo(const BoolCase& value, std::ostream* out) {
    *out << '"' << value.text << "\" -> " << value.expected;
}

class BoolPropertyTableTest : public DaemonTest, public ::testing::WithParamInterface<BoolCase> {};

TEST_P(BoolPropertyTableTest, TextReadsAsExpected) {
    writeFile(kPropertyFile, GetParam().text);
    char buffer[kPropertyValueMax];
    EXPECT_EQ(getBoolProperty(buffer, sizeof buffer, kKey), GetParam().expected);
    EXPECT_EQ(queryBoolProperty(kKey), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, BoolPropertyTableTest,
    ::testing::Values(BoolCase{"", 0}, BoolCase{"true", 1}, BoolCase{"true\n", 1},
                      BoolCase{"false", 0}, BoolCase{"TRUE", 0}, BoolCase{"True", 0},
                      BoolCase{"yes", 0}, BoolCase{"on", 0}, BoolCase{"trueish", 0},
                      BoolCase{"true ", 0}, BoolCase{"1", 1}, BoolCase{"5", 1}, BoolCase{"+3", 1},
                      BoolCase{"007", 1}, BoolCase{"0", 0}, BoolCase{"-1", 0}, BoolCase{"-5", 0},
                      BoolCase{"5abc", 1}, BoolCase{"   7", 1}, BoolCase{"\t9", 1},
                      BoolCase{"0x10", 0}, BoolCase{"2147483647", 1}, BoolCase{"2147483648", 0},
                      BoolCase{"4294967297", 0}, BoolCase{"99999999999999999999999", 0},
                      BoolCase{"-2147483649", 0}, BoolCase{std::string(90, '0') + "1", 1},
                      BoolCase{"1" + std::string(90, '0'), 0}));

using BoolPropertyTest = DaemonTest;

TEST_F(BoolPropertyTest, UnsetPropertyLeavesBufferAllZeros) {
    char buffer[kPropertyValueMax];
    memset(buffer, 0xAA, sizeof buffer);
    EXPECT_EQ(getBoolProperty(buffer, sizeof buffer, kKey), 0);
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '\0'));
}

TEST_F(BoolPropertyTest, RawTextIsZeroPadded) {
    writeFile(kPropertyFile, "5abc\n");
    char buffer[kPropertyValueMax];
    memset(buffer, 0xAA, sizeof buffer);
    EXPECT_EQ(getBoolProperty(buffer, sizeof buffer, kKey), 1);
    std::string expected = "5abc" + std::string(sizeof buffer - 4, '\0');
    EXPECT_EQ(std::string(buffer, sizeof buffer), expected);
}

TEST_F(BoolPropertyTest, NullBufferIsRefused) {
    writeFile(kPropertyFile, "true");
    EXPECT_EQ(getBoolProperty(nullptr, kPropertyValueMax, kKey), 0);
}

// The platform writes a whole property value whatever size it is told, so a
// buffer said to be smaller than that is refused before anything is read.
TEST_F(BoolPropertyTest, SizesBelowPropertyValueMaxAreRefusedWithoutReading) {
    writeFile(kPropertyFile, "true");
    for (int size : {-1, 0, 1, 2, 91}) {
        char buffer[kPropertyValueMax];
        memset(buffer, 0xAA, sizeof buffer);
        EXPECT_EQ(getBoolProperty(buffer, size, kKey), 0) << "size " << size;
        EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '\xAA'))
            << "size " << size;
    }
    char buffer[kPropertyValueMax];
    EXPECT_EQ(getBoolProperty(buffer, kPropertyValueMax, kKey), 1);
}

}  // namespace
}  // namespace vantrel::test
