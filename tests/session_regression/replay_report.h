// The stable text form of what the daemon did during one replayed session,
// the content of a session's .chk file. Everything timing-dependent is left
// out or replaced: the throw-away root becomes $ROOT, the board's pty $PTY,
// and the receive loop's "select timedout!" records (how many there are
// depends on how fast the machine is) are dropped.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "simboard/simulated_board.h"
#include "support/process_harness.h"

namespace vantrel::test {

struct ReplayFacts {
    std::string root;
    std::string pty;
    std::string progress;  // how far the run went: receive phase, stream, end
    std::optional<int> exitStatus;
    std::vector<simboard::ReceivedCommand> commands;
    std::vector<std::string> loaderEvents;
    std::vector<std::string> bslshCalls;
    std::optional<std::string> versionProperty;
    std::string resetLine;               // what the daemon wrote to the reset line's value file
    std::vector<std::string> pipeKinds;  // "pipeProx fifo 666"
    std::map<std::string, std::vector<int32_t>> values;  // what each FIFO's reader got
    std::vector<std::string> churned;                    // FIFOs whose reader came and went
    std::vector<std::string> waitTrace;                  // the daemon's traced waits
    std::vector<std::string> amLines;
    std::string stdoutText;  // the daemon's own lines (no am or bslsh lines)
    std::string stderrText;
    std::vector<LogRecord> log;
};

// Every `from` in *text becomes `to`.
void replaceAll(std::string* text, const std::string& from, const std::string& to);

std::string formatReport(const std::string& sessionName, const ReplayFacts& facts);

}  // namespace vantrel::test
