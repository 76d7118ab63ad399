// Helpers shared by the fault tests (fault_*_test.cpp): what a run wrote
// after a given point, the receive loop's lines for skipped bytes, and
// stand-in scripts that hold the daemon until the test lets them go.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "simboard/frames.h"
#include "support/process_harness.h"

namespace vantrel::test {

// The receive loop's error line for a quiet link. It comes whenever a test
// step takes longer than the scaled 10 s wait, so checks for "nothing was
// logged" leave it out.
constexpr char kQuietLinkLine[] = "readData()::select timedout!";
constexpr char kSignalCaught[] = "Signal <2> Caught!";
constexpr char kBanner[] = "* Scan for messages...";

// A point in the current run's log: the number of records so far.
size_t logMark(const ProcessHarness& h);
// Messages of the records written since `mark`, less the quiet link's line.
std::vector<std::string> messagesSince(const ProcessHarness& h, size_t mark);

// The next `count` values (fewer when one does not come within the usual
// wait): unlike drainValues(), a slow step between two values cuts nothing.
std::vector<int32_t> readValues(FifoReader& reader, size_t count);

size_t countLines(const std::string& text);
// The receive loop's standard-error lines for these skipped bytes, in order.
std::string unknownLeadLines(const simboard::Bytes& bytes);
// "" when `actual` equals `expected`, else where they first differ (big
// texts: the difference, not the whole text, goes into the failure message).
std::string firstDifference(const std::string& actual, const std::string& expected);

// A stand-in script that appends "started <arguments>" to the file
// `journal`, waits (at most 10 s) until the file `release` exists, appends
// "ended" and exits with `status`: the daemon waits for it meanwhile. Both
// paths are absolute. With `onlyWhen`, a call whose arguments do not hold
// that text exits 0 at once.
std::string heldStandIn(const std::string& journal, const std::string& release, int status,
                        const std::string& onlyWhen = "");
// Creates the file that lets a held stand-in go.
void releaseStandIn(const std::string& release);

// A daemon in its receive phase, forwarding motion readings to a reader.
class MotionReceivingDaemon : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(h.start({"-m", "-e", "1", "-n", "1"}));
        ASSERT_TRUE(h.waitForStdout(kBanner)) << h.diagnostics();
        proximity = h.openFifo("pipeProx");
        ASSERT_TRUE(proximity.isOpen());
    }

    ProcessHarness h;
    FifoReader proximity;
};

// A FIFO again at data/<name>, as the platform would make it (0666).
bool makeFifo(const ProcessHarness& h, const std::string& name);

}  // namespace vantrel::test
