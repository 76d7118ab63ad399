// What a running daemon's own log says it is doing: its records cut out of
// the log text (the host's "E/Vantrel: text", logcat's brief
// "E/Vantrel( 1234): text"), the records of its current run, the phase its
// last records name and the troubles counted in them. Pure: the text comes
// from the platform (daemonLogText, doctor.h), the verdict from the activity
// row.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vantrel::doctor {

// One line of the daemon's: a record of its tag, or one of the console lines
// it writes to standard error (a stray lead byte, a failed LED or NFC command),
// which a log on standard error holds among the records.
struct LogLine {
    char priority = 0;  // V, D, I, W, E, F; 0 for a console line
    std::string text;   // the message, without the tag's prefix
};

// The daemon's lines in `text`, oldest first. Other tags' records and other
// text are left out, and so is a last line without its line feed: it is still
// being written.
std::vector<LogLine> daemonLines(const std::string& text);

// The lines of the current run. Every run of the daemon begins with its record
// about the proximity FIFO ("openPipe Fifo [P] created successfully.", "Pipe
// [P] already exists." or "Error creating pipe [P]: ..."), written before
// anything else: the run begins at the last such record. Without one, the
// lines read are all after the run's start or the start is not among them;
// either way nothing can be counted "since the start".
struct RunLines {
    bool startSeen = false;      // the run's first record is among the lines
    size_t earlierLines = 0;     // lines of earlier runs, left out
    std::vector<LogLine> lines;  // the run's lines (all, without its start)
};
RunLines currentRun(const std::vector<LogLine>& lines, const std::string& proximityFifo);

// What the last records say the daemon is doing, in the order a run goes.
enum class Phase {
    Unknown,         // no record read names one, and the run's start is not read
    Starting,        // FIFOs made: start-up pause, port opening, first attempt
    Identifying,     // an identification attempt failed, the next one runs
    CheckingLoader,  // identification failed: bslsh --checkComm runs
    Flashing,        // bslsh flashes the board
    EndingFlashed,   // flashed: ends so that it starts on the new firmware
    CommError,       // gave up on the board: ends (in daemon mode after a pause)
    Switching,       // board accepted: LED and NFC commands
    Receiving,       // the receive loop
    HungUp,          // the receive loop met a hung-up line
    EndingSigint,    // SIGINT caught: ends by itself
};

// What is counted in the run's lines.
enum Tally : int {
    kChecksumFailures,
    kReceiveTimeouts,
    kHangUps,
    kStrayLeadBytes,
    kParseFailures,
    kFailedNfcCommands,
    kFailedLedCommands,
    kVersionBroadcasts,
    kNfcEvents,
    kTallyCount,
    kNoTally = kTallyCount,
};
// "checksum failures", ... for a report.
const char* tallyName(Tally tally);
// Whether the tally counts a trouble (version broadcasts and NFC events are
// the daemon doing its work).
bool isTrouble(Tally tally);

struct Activity {
    Phase phase = Phase::Unknown;
    std::string phaseRecord;           // the record the phase was read from
    int failedAttempt = 0;             // the last failed identification attempt
    int restartPauseSeconds = 0;       // the pause before ending, as logged
    int counts[kTallyCount] = {};      // per Tally, in the run's lines
    Tally repeatedTrouble = kNoTally;  // the trouble the lines end with...
    int repeats = 0;                   // ...and how often in a row
};
Activity readActivity(const RunLines& run);

// The trouble the run's lines end with at least kRecurringTrouble times in a
// row, or kNoTally.
constexpr int kRecurringTrouble = 3;
Tally recurringTrouble(const Activity& activity);

// Every text of the daemon's that readActivity() and currentRun() look for,
// for checking them against the daemon's sources.
std::vector<std::string> knownDaemonTexts();

}  // namespace vantrel::doctor
