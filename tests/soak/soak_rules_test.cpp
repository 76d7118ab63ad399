// The rules the soak's verdict rests on: what becomes of every value a
// stream's reader did not get (lost, dropped, spoiled, stray), and the
// process figures it reads from /proc.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "soak/sequence.h"
#include "tools/proc/process_figures.h"

namespace vantrel::test {
namespace {

using soak::kLight;
using soak::kMotion;

struct Value {
    int32_t value;
    bool excused = false;  // the reader was away or stalled
};

struct SequenceRow {
    const char* what;
    soak::Stream stream;
    struct Spoiled {
        soak::Stream stream;
        uint64_t first, end;
    };
    std::vector<Spoiled> spoiled;  // numbers sent right after a cut frame
    std::vector<Value> arrived;
    uint64_t sent;                  // numbers the driver sent in all
    soak::SequenceCounts expected;  // received, lost, dropped, spoiled, stray, next
};

TEST(SoakRules, EveryMissingValueIsAccountedFor) {
    // clang-format off
    const SequenceRow rows[] = {
        {"all in order", kMotion, {}, {{0}, {1}, {2}}, 3, {3, 0, 0, 0, 0, 3}},
        {"a gap while the reader kept up", kMotion, {}, {{0}, {1}, {4}}, 5, {3, 2, 0, 0, 0, 5}},
        {"a gap while the reader was away", kLight, {}, {{0}, {4, true}}, 5, {2, 0, 3, 0, 0, 5}},
        {"a gap right after a cut frame", kLight, {{kLight, 2, 3}}, {{0}, {1}, {4}}, 5,
         {3, 1, 0, 1, 0, 5}},
        {"a cut frame on the other stream spoils nothing", kLight, {{kMotion, 0, 100}},
         {{0}, {3}}, 4, {2, 2, 0, 0, 0, 4}},
        {"a gap while away is dropped, even after a cut frame", kMotion, {{kMotion, 1, 3}},
         {{0}, {3, true}}, 4, {2, 0, 2, 0, 0, 4}},
        {"values that never came at the end", kMotion, {}, {{0}}, 4, {1, 3, 0, 0, 0, 4}},
        {"far ahead: stray, not a gap", kMotion, {}, {{0}, {20000}, {1}}, 2, {2, 0, 0, 0, 1, 2}},
        {"behind the last one: stray", kLight, {}, {{0}, {1}, {2}, {1}}, 3, {3, 0, 0, 0, 1, 3}},
        {"outside what the value holds", kLight, {}, {{-1}, {65536}, {0}}, 1, {1, 0, 0, 0, 2, 1}},
        {"the light counter wraps", kLight, {},
         {{0}, {14000, true}, {28000, true}, {42000, true}, {56000, true}, {65535, true}, {0}},
         65537, {7, 0, 65530, 0, 0, 65537}},
    };
    // clang-format on
    for (const SequenceRow& row : rows) {
        SCOPED_TRACE(row.what);
        soak::SpoilLedger ledger;
        soak::SequenceCheck check(row.stream, ledger);
        for (const auto& [stream, first, end] : row.spoiled) ledger.add(stream, first, end);
        for (const Value& v : row.arrived) check.take(v.value, v.excused);
        check.closeAt(row.sent);
        auto figures = [](const soak::SequenceCounts& c) {
            return std::vector<uint64_t>{c.received, c.lost, c.dropped, c.spoiled, c.stray, c.next};
        };
        EXPECT_EQ(figures(check.counts()), figures(row.expected));
    }
}

TEST(SoakRules, NumbersTravelInTheValuesTheDaemonForwards) {
    for (uint64_t number : {0ull, 65535ull, 65536ull, 131070ull, 131071ull, 200000ull}) {
        uint16_t ps1 = 0, ps2 = 0;
        soak::motionFields(number, &ps1, &ps2);
        EXPECT_EQ(ps1 + ps2, number % 131071) << number;  // the daemon forwards ps1 + ps2
        EXPECT_EQ(soak::lightVis(number), number % 65536) << number;
    }
}

// A child that sleeps under a command name with blanks and parentheses.
pid_t oddlyNamedChild() {
    pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_NAME, "x) (y", 0, 0, 0);
        pause();
        _exit(0);
    }
    return child;
}

TEST(SoakRules, ProcessFiguresFromProc) {
    pid_t sleeper = oddlyNamedChild();
    pid_t zombie = fork();
    if (zombie == 0) _exit(0);
    pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    siginfo_t info = {};
    waitid(P_PID, static_cast<id_t>(zombie), &info, WEXITED | WNOWAIT);  // exited, not reaped
    ASSERT_EQ(prctl(PR_SET_NAME, "soak-rules", 0, 0, 0), 0);

    std::vector<std::string> fields = proc::statFields(sleeper);
    ASSERT_GT(fields.size(), 1u);
    EXPECT_EQ(fields[1], std::to_string(getpid()));  // the parent, after the odd name
    int before = proc::openDescriptors(getpid());
    int extra[2];
    ASSERT_EQ(pipe(extra), 0);
    EXPECT_EQ(proc::openDescriptors(getpid()), before + 2);
    close(extra[0]);
    close(extra[1]);
    EXPECT_GE(proc::cpuTicks(getpid()), 0);
    EXPECT_GT(proc::statusField(getpid(), "VmRSS"), 0);
    EXPECT_EQ(proc::statusField(getpid(), "VmNoSuchField"), -1);
    char zombieState = '?';
    for (const proc::Child& c : proc::children(getpid()))
        if (c.pid == zombie) zombieState = c.state;
    EXPECT_EQ(zombieState, 'Z');
    for (long figure : {proc::cpuTicks(gone), proc::statusField(gone, "VmRSS"),
                        static_cast<long>(proc::openDescriptors(gone))}) {
        EXPECT_EQ(figure, -1);
    }
    EXPECT_TRUE(proc::statFields(gone).empty());
    kill(sleeper, SIGKILL);
    waitpid(sleeper, nullptr, 0);
    waitpid(zombie, nullptr, 0);
}

}  // namespace
}  // namespace vantrel::test
