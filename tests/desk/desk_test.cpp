// The desk harness (testbench/desk): the daemon's environment, its root, and
// the start and end of a program. Every process-level test stands on these.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "common/paths.h"
#include "desk/daemon_root.h"
#include "desk/desk_process.h"
#include "support/process_harness.h"  // readWhole

namespace vantrel::test {
namespace {

using namespace std::chrono_literals;
using desk::Millis;

// The value of `name` in "NAME=value" entries; "(unset)" when it has none.
std::string valueIn(const std::vector<std::string>& env, const std::string& name) {
    for (const std::string& entry : env) {
        if (entry.compare(0, name.size() + 1, name + "=") == 0)
            return entry.substr(name.size() + 1);
    }
    return "(unset)";
}

TEST(DeskEnvironment, TheDaemonSeesItsRootAndStandInsAndNothingOfAnOuterSetup) {
    const std::vector<std::string> outer = {"HOME=/home/desk", "PATH=/opt/bin:/usr/bin",
                                            "VANTREL_ROOT=/", "VANTREL_EXTRA=1"};
    const desk::DaemonSettings plain{"/stand-ins", "0.05", {}};
    const desk::DaemonSettings overridden{
        "/stand-ins", "0.05", {{"VANTREL_TIME_SCALE", "0"}, {"VANTREL_EXTRA", "2"}}};
    const struct {
        const char* what;
        std::vector<std::string> outer;
        desk::DaemonSettings settings;
        std::string name;
        std::string expected;
    } rows[] = {
        {"the root", outer, plain, "VANTREL_ROOT", "/r"},
        {"the log beside it", outer, plain, "VANTREL_LOG", "/r/vantrel.log"},
        {"the stand-ins' logs", outer, plain, "VANTREL_AM_LOG", "/r/am.log"},
        {"", outer, plain, "VANTREL_BSLSH_ARGV_LOG", "/r/bslsh-argv.log"},
        {"the time scale", outer, plain, "VANTREL_TIME_SCALE", "0.05"},
        {"an outer VANTREL_ variable is dropped", outer, plain, "VANTREL_EXTRA", "(unset)"},
        {"other variables pass", outer, plain, "HOME", "/home/desk"},
        {"the run's own stand-ins, then the desk's, then the outer PATH", outer, plain, "PATH",
         "/r/bin:/stand-ins:/opt/bin:/usr/bin"},
        {"no outer PATH", {"HOME=/h"}, plain, "PATH", "/r/bin:/stand-ins:/usr/bin:/bin"},
        {"an override comes last", outer, overridden, "VANTREL_TIME_SCALE", "0"},
        {"", outer, overridden, "VANTREL_EXTRA", "2"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.what) + " " + row.name);
        std::vector<std::string> env = desk::daemonEnvironment(row.outer, "/r", row.settings);
        EXPECT_EQ(valueIn(env, row.name), row.expected);
        EXPECT_EQ(
            std::count_if(env.begin(), env.end(),
                          [&](const std::string& e) { return e.rfind(row.name + "=", 0) == 0; }),
            row.expected == "(unset)" ? 0 : 1);
    }
}

TEST(DeskRoot, HoldsTheDaemonsTreeAndGoesUnlessKept) {
    std::string removed, kept;
    {
        desk::DaemonRoot root("vantrel-desk-test");
        removed = root.path();
        for (const char* fixed : {kPathPipeProximity, kPathSerialPort, kPathFirmwareImage}) {
            std::string folder = std::filesystem::path(root.path(fixed)).parent_path();
            EXPECT_TRUE(std::filesystem::is_directory(folder)) << folder;
        }
        EXPECT_TRUE(std::filesystem::is_directory(root.path("properties")));
        EXPECT_EQ(readWhole(root.path(kPathResetLine)), "0");
        EXPECT_EQ(root.fifo("pipeLight"), root.path(kPathPipeLight));
        desk::DaemonRoot keptRoot("vantrel-desk-test");
        kept = keptRoot.path();
        keptRoot.keep();
    }
    EXPECT_FALSE(std::filesystem::exists(removed));
    EXPECT_TRUE(std::filesystem::is_directory(kept));
    std::filesystem::remove_all(kept);
}

class DeskProcessTest : public ::testing::Test {
  protected:
    // Starts `script` under sh, with its output in the root.
    void start(const std::string& script) {
        desk::Launch launch{{"/bin/sh", "-c", script},
                            {"PATH=/usr/bin:/bin"},
                            root.path("stdout"),
                            root.path("stderr")};
        std::string error;
        ASSERT_TRUE(process.start(launch, &error)) << error;
    }
    desk::DaemonRoot root{"vantrel-desk-test"};
    desk::DeskProcess process;
};

TEST_F(DeskProcessTest, EndsByItsSignalOrIsKilledWithItsGroup) {
    const struct {
        const char* what;
        const char* script;
        std::optional<int> expected;  // end()'s result
        int status;                   // the exit status in the end
    } rows[] = {
        {"ends by itself", "exit 3", 3, 3},
        {"ends on the signal", "exec sleep 30", 128 + SIGINT, 128 + SIGINT},
        {"ignores it and is killed", "trap '' INT; exec sleep 30", std::nullopt, 128 + SIGKILL},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        start(row.script);
        // The shell sets its trap before it sleeps: wait until it sleeps.
        desk::waitUntil(
            [&]() {
                return readWhole("/proc/" + std::to_string(process.pid()) + "/cmdline")
                               .rfind("sleep", 0) == 0 ||
                       !process.running();
            },
            10s);
        EXPECT_EQ(process.end(SIGINT, 300ms), row.expected);
        EXPECT_EQ(process.exitStatus(), row.status);
        EXPECT_FALSE(process.running());
    }
}

TEST_F(DeskProcessTest, AKillTakesTheChildrenItStartedAlong) {
    start("sleep 30 & echo $! > " + root.path("child") + "; wait");
    ASSERT_TRUE(desk::waitUntil([&]() { return !readWhole(root.path("child")).empty(); }, 10s));
    pid_t child = std::stoi(readWhole(root.path("child")));
    process.kill();
    EXPECT_TRUE(desk::waitUntil([&]() { return kill(child, 0) != 0; }, 10s));
}

TEST_F(DeskProcessTest, OutputGoesToItsFilesAndWaitForTextSeesIt) {
    start("echo out; echo err >&2; echo '* Scan for messages...'; exec sleep 30");
    EXPECT_TRUE(desk::waitForText(process, root.path("stdout"), "* Scan", 10s));
    EXPECT_EQ(readWhole(root.path("stdout")), "out\n* Scan for messages...\n");
    EXPECT_EQ(readWhole(root.path("stderr")), "err\n");
    process.kill();
    // A program that ends without the text: no need to wait out the bound.
    start("echo never the banner");
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(desk::waitForText(process, root.path("stdout"), "* Scan", 60s));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
    // A program that cannot be run ends as a shell's would, and says why.
    desk::Launch missing{
        {root.path("no-such-program")}, {}, root.path("stdout"), root.path("stderr")};
    std::string error;
    ASSERT_TRUE(process.start(missing, &error)) << error;
    EXPECT_EQ(process.waitForExit(10s), 127);
    EXPECT_EQ(readWhole(root.path("stderr")), "desk: exec failed\n");
}

}  // namespace
}  // namespace vantrel::test
