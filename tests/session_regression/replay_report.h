// The stable text form of what the daemon did during one replayed session,
// the content of a session's .chk file. Everything timing-dependent is left
// out or replaced: the throw-away root becomes $ROOT, the board's pty $PTY,
// and the receive loop's "select timedout!" records (how many there are
// depends on how fast the machine is) are dropped.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "simboard/simulated_board.h"
#include "support/process_harness.h"

namespace vantrel::test {

// The daemon's traced waits (VANTREL_WAIT_TRACE), a file in the root.
constexpr char kWaitTraceFile[] = "wait-trace.log";
constexpr char kTimeOutRecord[] = "readData()::select timedout!";

// Every `from` in *text becomes `to`.
void replaceAll(std::string* text, const std::string& from, const std::string& to);

// The report of the run in `h`, which has ended: `progress` says how far it
// went, `readers` hold what the daemon's FIFOs carried, and `fifoModes` are
// the scenario's readers ("churn": one that came and went).
std::string formatReport(const std::string& sessionName, ProcessHarness& h,
                         const std::string& progress, std::map<std::string, FifoReader>& readers,
                         const std::map<std::string, std::string>& fifoModes);

}  // namespace vantrel::test
