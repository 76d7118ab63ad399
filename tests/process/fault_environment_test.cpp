// Faults in what the daemon finds around it: no `am` on the search path, an
// `am` that takes its time, a property store that cannot be read, and the
// signal state its children start with.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "fault_support.h"
#include "support/process_harness.h"
#include "support/process_probe.h"

namespace vantrel::test {
namespace {

using namespace std::chrono_literals;
using simboard::Bytes;

constexpr char kVersionBroadcast[] =
    "am broadcast -a com.zyn.vantrel.UPDATE_VERSION --es version 1.6.25";

// ---- the broadcast tool

TEST(MissingAm, BroadcastsAreStillLoggedAndTheRunGoesOn) {
    ProcessHarness h;
    std::string path = h.path("bin") + ":/usr/bin:/bin";  // no stand-ins folder
    for (const char* candidate : {"/usr/bin/am", "/bin/am"}) {
        ASSERT_NE(access(candidate, X_OK), 0) << candidate << " exists: this host has an am";
    }
    h.setEnv("PATH", path);
    ASSERT_TRUE(h.start({"-m", "-e", "1", "-n", "1"}));
    ASSERT_TRUE(h.waitForStdout(kBanner)) << h.diagnostics();
    EXPECT_TRUE(h.logContains(std::string("UPDATE_VERSION broadcase: ") + kVersionBroadcast));

    FifoReader proximity = h.openFifo("pipeProx");
    ASSERT_TRUE(proximity.isOpen());
    h.board().sendNfc(4, 1, Bytes{0x01, 0x02});
    h.board().sendMotion(2, 3);
    EXPECT_EQ(proximity.readValue(), 5) << h.diagnostics();
    EXPECT_TRUE(
        h.logContains("NFC EVENT: am broadcast -a com.zyn.touchpanel.nfc.NFCEVENT --ei tagType 4 "
                      "--ei tagDataType 1 --es tagData 0102"));
    EXPECT_TRUE(h.amLines().empty());  // no broadcast happened anywhere
    EXPECT_EQ(h.stop(), 0) << h.diagnostics();
}

TEST(SlowAm, TheDaemonWaitsForItThenReadsWhatCameMeanwhile) {
    ProcessHarness h;
    std::string journal = h.path("am-journal");
    std::string release = h.path("am-release");
    // The version broadcast at start-up passes; the NFC broadcast is held.
    h.writeStandIn("am", heldStandIn(journal, release, 0, "NFCEVENT"));
    ASSERT_TRUE(h.start({"-m", "-e", "1", "-n", "1"}));
    ASSERT_TRUE(h.waitForStdout(kBanner)) << h.diagnostics();
    FifoReader proximity = h.openFifo("pipeProx");
    ASSERT_TRUE(proximity.isOpen());

    h.board().sendNfc(4, 1, Bytes{0xAB});
    ASSERT_TRUE(waitUntil([&]() { return h.readFile("am-journal").find("started") == 0; }));
    ASSERT_TRUE(waitUntilSleepingIn(h.pid(), childWaitCalls())) << h.diagnostics();
    for (uint16_t value = 1; value <= 5; ++value) h.board().sendMotion(value, 0);
    EXPECT_FALSE(proximity.readValue(200ms).has_value());  // nothing is read while am runs
    EXPECT_FALSE(h.logContains("NFC EVENT"));

    releaseStandIn(release);
    EXPECT_EQ(readValues(proximity, 5), (std::vector<int32_t>{1, 2, 3, 4, 5})) << h.diagnostics();
    EXPECT_TRUE(h.logContains("NFC EVENT: "));
    EXPECT_EQ(h.stop(), 0) << h.diagnostics();
}

// ---- the property store

// The board got the LED and the NFC command with these state bytes.
void expectSwitchCommands(ProcessHarness& h, int led, int nfc) {
    auto ledCommand = h.board().waitForCommand('D', 1s);
    auto nfcCommand = h.board().waitForCommand('N', 1s);
    ASSERT_TRUE(ledCommand && nfcCommand) << h.diagnostics();
    EXPECT_EQ(ledCommand->argument(), led);
    EXPECT_EQ(nfcCommand->argument(), nfc);
}

TEST(UnreadablePropertyStore, StoreThatIsAFileReadsAsUnset) {
    ProcessHarness h;
    std::filesystem::remove_all(h.path("properties"));
    h.writeFile("properties", "com.zyn.vantrel.led=true\n");
    ASSERT_TRUE(h.start({"-v", "-m"}));  // LED, NFC and light from the properties
    ASSERT_TRUE(h.waitForStdout("*   Light Sensor Messages   [IGNORE]")) << h.diagnostics();
    EXPECT_NE(h.daemonStdoutText().find("com.zyn.vantrel.led=\nSetting LED off\n"
                                        "com.zyn.vantrel.nfc=\n"),
              std::string::npos)
        << h.stdoutText();
    EXPECT_TRUE(h.logContains("com.zyn.vantrel.nfc off"));
    expectSwitchCommands(h, 0, 0);
    EXPECT_EQ(h.readFile("properties"), "com.zyn.vantrel.led=true\n");  // nothing published

    FifoReader proximity = h.openFifo("pipeProx");
    ASSERT_TRUE(proximity.isOpen());
    h.board().sendMotion(1, 2);
    EXPECT_EQ(proximity.readValue(), 3) << h.diagnostics();
    EXPECT_EQ(h.stop(), 0) << h.diagnostics();
}

TEST(UnreadablePropertyStore, PropertyFileThatIsADirectoryReadsAsUnset) {
    ProcessHarness h;
    ASSERT_EQ(mkdir(h.path("properties/com.zyn.vantrel.led").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(h.path("properties/com.zyn.vantrel.light").c_str(), 0755), 0);
    h.setProperty("com.zyn.vantrel.nfc", "true");
    h.setProperty("com.zyn.vantrel.motion", "1");
    ASSERT_TRUE(h.start({"-v"}));
    ASSERT_TRUE(h.waitForStdout("*   Light Sensor Messages   [IGNORE]")) << h.diagnostics();
    EXPECT_NE(h.daemonStdoutText().find("com.zyn.vantrel.led=\nSetting LED off\n"
                                        "com.zyn.vantrel.nfc=true\n"),
              std::string::npos)
        << h.stdoutText();
    EXPECT_NE(h.stdoutText().find("*   Motion Sensor Messages  [DISPLAY]"), std::string::npos);
    expectSwitchCommands(h, 0, 1);
    EXPECT_EQ(h.property("sys.com.zyn.sensor.version"), "1.6.25");

    FifoReader proximity = h.openFifo("pipeProx");
    ASSERT_TRUE(proximity.isOpen());
    h.board().sendMotion(1, 2);
    EXPECT_EQ(proximity.readValue(), 3) << h.diagnostics();
    EXPECT_EQ(h.stop(), 0) << h.diagnostics();
}

// A FIFO with no writer holds no value either. Reading the property must not
// wait for a writer that never comes: SIGINT could not end that wait, since
// the interrupted open would start again.
TEST(UnreadablePropertyStore, PropertyFileThatIsAFifoReadsAsUnset) {
    ProcessHarness h;
    ASSERT_EQ(mkfifo(h.path("properties/com.zyn.vantrel.led").c_str(), 0666), 0);
    ASSERT_TRUE(h.start({"-v", "-m", "-n", "1"}));
    ASSERT_TRUE(h.waitForStdout("com.zyn.vantrel.led=\nSetting LED off\n")) << h.diagnostics();
    ASSERT_TRUE(h.waitForStdout(kBanner)) << h.diagnostics();
    expectSwitchCommands(h, 0, 1);

    FifoReader proximity = h.openFifo("pipeProx");
    ASSERT_TRUE(proximity.isOpen());
    h.board().sendMotion(3, 4);
    EXPECT_EQ(proximity.readValue(), 7) << h.diagnostics();
    EXPECT_EQ(h.stop(), 0) << h.diagnostics();
}

// ---- the signal state of the daemon's children
//
// The daemon keeps SIGPIPE away from itself; its children must get it as
// usual, so that e.g. a pipeline in a broadcast tool ends when its reader
// does. `bslsh` is started directly, so its record shows what the daemon
// handed over. `am` runs through /bin/sh, and a shell may clear the blocked
// set of the commands it starts (dash does): there the record catches an
// ignored SIGPIPE, which every shell passes on, more surely than a blocked one.

// A stand-in that copies its own blocked and ignored signal sets into
// `record`, one "SigBlk:" and one "SigIgn:" line per call. Shell built-ins
// only: a shell may block signals of its own while it waits for a command.
std::string signalRecordingStandIn(const std::string& record, int status) {
    return "#!/bin/sh\n"
           "while read -r line; do\n"
           "    case \"$line\" in SigBlk:*|SigIgn:*) echo \"$line\" >> '" +
           record +
           "' ;; esac\n"
           "done < /proc/$$/status\n"
           "exit " +
           std::to_string(status) + "\n";
}

// Every call recorded in `recordText` started with SIGPIPE neither blocked
// nor ignored; returns the number of calls.
size_t expectOrdinarySigpipe(const std::string& recordText) {
    size_t blocked = 0;
    size_t ignored = 0;
    size_t start = 0;
    while (start < recordText.size()) {
        size_t end = recordText.find('\n', start);
        if (end == std::string::npos) end = recordText.size();
        std::string line = recordText.substr(start, end - start);
        start = end + 1;
        std::string field = line.substr(0, 6);
        std::optional<uint64_t> mask = signalMaskIn(line, field);
        EXPECT_TRUE(mask.has_value()) << line;
        if (!mask) continue;
        EXPECT_FALSE(hasSignal(*mask, SIGPIPE)) << line;
        (field == "SigBlk" ? blocked : ignored)++;
    }
    EXPECT_EQ(blocked, ignored);
    return blocked;
}

TEST(ChildSignals, AmStartsWithAnOrdinarySigpipe) {
    ProcessHarness h;
    std::string record = h.path("am-signals");
    h.writeStandIn("am", signalRecordingStandIn(record, 0));
    ASSERT_TRUE(h.start({"-m", "-e", "1", "-n", "1"}));
    ASSERT_TRUE(h.waitForStdout(kBanner)) << h.diagnostics();
    h.board().sendNfc(1, 1, Bytes{0x01});
    ASSERT_TRUE(h.waitForLog("NFC EVENT: ")) << h.diagnostics();
    EXPECT_EQ(expectOrdinarySigpipe(h.readFile("am-signals")), 2u);  // version and tag
    EXPECT_EQ(h.stop(), 0) << h.diagnostics();
}

TEST(ChildSignals, BslshStartsWithAnOrdinarySigpipe) {
    ProcessHarness h;
    h.setTimeScale(0.01);
    h.board().setMode(simboard::BoardMode::Silent);
    std::filesystem::remove_all(h.path("sys/class/gpio/gpio101"));  // resets return at once
    std::string record = h.path("bslsh-signals");
    h.writeStandIn("bslsh", signalRecordingStandIn(record, 1));
    ASSERT_TRUE(h.start({"-m", "-e", "1", "-n", "1"}));
    EXPECT_EQ(h.waitForExit(), 0) << h.diagnostics();
    EXPECT_TRUE(h.logContains("bslCommCheck ret = 1"));
    EXPECT_EQ(expectOrdinarySigpipe(h.readFile("bslsh-signals")), 1u);
}

}  // namespace
}  // namespace vantrel::test
