#include "tools/doctor/daemon_log.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <sstream>

#include "common/paths.h"

namespace vantrel::doctor {

namespace {

// Texts with a number the activity keeps.
constexpr char kAttemptFailed[] = "id query command attempt ";  // N failed
constexpr char kRestartPause[] = "Sleeping ";                   // N seconds before restart...

// What one of the daemon's texts says: the phase it starts (Unknown: none)
// and what it counts. The texts are the daemon's own, up to their first
// conversion.
struct KnownText {
    const char* prefix;
    bool console;  // written to standard error, not to the log
    Phase phase;
    Tally tally;
};

constexpr KnownText kKnownTexts[] = {
    {"Signal <", false, Phase::EndingSigint, kNoTally},
    {kRestartPause, false, Phase::CommError, kNoTally},
    {"Communication Error!", false, Phase::CommError, kNoTally},
    {"Upgrade Failed!", false, Phase::CommError, kNoTally},
    {"Didn't find BSL, skipping upgrade.", false, Phase::CommError, kNoTally},
    {"Upgrade Successfull, restart daemon.", false, Phase::EndingFlashed, kNoTally},
    {"Waiting for bslUpgrade..", false, Phase::Flashing, kNoTally},
    {"Found BSL, doing upgrade.", false, Phase::Flashing, kNoTally},
    {"Sensor version [", false, Phase::Flashing, kNoTally},
    {"Can't communicate with sensor fw, so trying BSL..", false, Phase::CheckingLoader, kNoTally},
    {"Waiting for bslCommCheck..", false, Phase::CheckingLoader, kNoTally},
    {kAttemptFailed, false, Phase::Identifying, kNoTally},
    {"Sensor version and Required version are the same.", false, Phase::Switching, kNoTally},
    {"This is a development file. No upgrade.", false, Phase::Switching, kNoTally},
    {"Setting NFC ", false, Phase::Receiving, kNoTally},
    {"readData()::serial port hung up", false, Phase::HungUp, kHangUps},
    {"readData()::select timedout!", false, Phase::Receiving, kReceiveTimeouts},
    {"readData()::failed to parse", false, Phase::Receiving, kParseFailures},
    {"readPacket: checksum failure", false, Phase::Unknown, kChecksumFailures},
    {"readExtendedPacket: checksum failure", false, Phase::Unknown, kChecksumFailures},
    {"failed to parseStandardData()", false, Phase::Unknown, kParseFailures},
    {"Unknown packet received: start byte is", false, Phase::Unknown, kStrayLeadBytes},
    {"NFC EVENT: ", false, Phase::Unknown, kNfcEvents},
    {"UPDATE_VERSION broadcase: ", false, Phase::Unknown, kVersionBroadcasts},
    {"Unknown lead in byte [", true, Phase::Unknown, kStrayLeadBytes},
    {"nfc command failed", true, Phase::Unknown, kFailedNfcCommands},
    {"led command failed", true, Phase::Unknown, kFailedLedCommands},
};

// The NFC switch logged from its property: "com.zyn.vantrel.nfc on".
constexpr auto kNfcPropertyRecord = joinNames(kNfcProperty, " ");

// The run's first record names the proximity FIFO in one of these.
constexpr const char* kFifoRecords[] = {"openPipe Fifo [", "Pipe [", "Error creating pipe ["};

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

const KnownText* knownText(const LogLine& line) {
    for (const KnownText& known : kKnownTexts) {
        if (known.console == (line.priority == 0) && startsWith(line.text, known.prefix))
            return &known;
    }
    return nullptr;
}

// "E/Vantrel: text" or "E/Vantrel ( 1234): text" (logcat pads the tag to 8
// columns; some builds do not): the message, or false for another line.
bool parseRecord(const std::string& line, LogLine* record) {
    static const std::regex prefix(std::string("[VDIWEF]/") + kLogTag + R"( *(\([0-9 ]*\))?: )");
    std::smatch match;
    if (!std::regex_search(line, match, prefix, std::regex_constants::match_continuous))
        return false;
    record->priority = line[0];
    record->text = match.suffix();
    return true;
}

}  // namespace

std::vector<LogLine> daemonLines(const std::string& text) {
    std::vector<LogLine> lines;
    std::istringstream in(text);
    // A last line without its line feed ends at the end of the text: getline
    // then sets eof, and the line is left for the next look.
    for (std::string line; std::getline(in, line) && !in.eof();) {
        if (!line.empty() && line.back() == '\r') line.pop_back();  // adb shell's line ends
        LogLine record{0, line};
        if (parseRecord(line, &record) || knownText(record) != nullptr) lines.push_back(record);
    }
    return lines;
}

RunLines currentRun(const std::vector<LogLine>& lines, const std::string& proximityFifo) {
    RunLines run;
    for (size_t i = lines.size(); i-- > 0 && !run.startSeen;) {
        for (const char* record : kFifoRecords) {
            if (lines[i].priority != 0 && startsWith(lines[i].text, record + proximityFifo + "]")) {
                run.startSeen = true;
                run.earlierLines = i;
            }
        }
    }
    run.lines.assign(lines.begin() + static_cast<long>(run.earlierLines), lines.end());
    return run;
}

const char* tallyName(Tally tally) {
    static const char* const kNames[] = {
        "checksum failures",   "receive time-outs",  "hang-ups",
        "stray lead bytes",    "parse failures",     "failed NFC commands",
        "failed LED commands", "version broadcasts", "NFC events"};  // in Tally's order
    return tally < kTallyCount ? kNames[tally] : "";
}

bool isTrouble(Tally tally) {
    return tally < kTallyCount && tally != kVersionBroadcasts && tally != kNfcEvents;
}

namespace {

// The phase a line starts, from its text: Unknown for a line that starts none.
Phase phaseOf(const LogLine& line) {
    if (line.priority != 0 && startsWith(line.text, kNfcPropertyRecord.data()))
        return Phase::Receiving;
    const KnownText* known = knownText(line);
    return known != nullptr ? known->phase : Phase::Unknown;
}

Tally tallyOf(const LogLine& line) {
    const KnownText* known = knownText(line);
    return known != nullptr ? known->tally : kNoTally;
}

// The number after `prefix` in the line, 0 when there is none.
int numberAfter(const std::string& text, const char* prefix) {
    if (!startsWith(text, prefix)) return 0;
    long number = strtol(text.c_str() + strlen(prefix), nullptr, 10);
    return number > 0 && number < INT_MAX ? static_cast<int>(number) : 0;
}

// The trouble the lines end with and how often in a row; lines that count
// nothing and start no phase (a board's log text, a hex dump) do not break a row.
void findRepeatedTrouble(const std::vector<LogLine>& lines, Activity* activity) {
    for (size_t i = lines.size(); i-- > 0;) {
        Tally tally = tallyOf(lines[i]);
        if (tally == kNoTally && phaseOf(lines[i]) == Phase::Unknown) continue;
        if (!isTrouble(tally)) return;
        if (activity->repeats > 0 && tally != activity->repeatedTrouble) return;
        activity->repeatedTrouble = tally;
        ++activity->repeats;
    }
}

}  // namespace

Activity readActivity(const RunLines& run) {
    Activity activity;
    if (run.startSeen) {  // until a later record says more
        activity.phase = Phase::Starting;
        activity.phaseRecord = run.lines.front().text;
    }
    bool interrupted = false;
    for (const LogLine& line : run.lines) {
        Tally tally = tallyOf(line);
        if (tally != kNoTally) ++activity.counts[tally];
        if (int attempt = numberAfter(line.text, kAttemptFailed)) activity.failedAttempt = attempt;
        if (int pause = numberAfter(line.text, kRestartPause)) activity.restartPauseSeconds = pause;
        Phase phase = phaseOf(line);
        if (phase == Phase::Unknown) continue;
        interrupted = interrupted || phase == Phase::EndingSigint;
        // After SIGINT the run only finishes what it was doing, then ends.
        if (interrupted && phase != Phase::EndingSigint) continue;
        activity.phase = phase;
        activity.phaseRecord = line.text;
    }
    findRepeatedTrouble(run.lines, &activity);
    return activity;
}

Tally recurringTrouble(const Activity& activity) {
    return activity.repeats >= kRecurringTrouble ? activity.repeatedTrouble : kNoTally;
}

std::vector<std::string> knownDaemonTexts() {
    std::vector<std::string> texts(std::begin(kFifoRecords), std::end(kFifoRecords));
    for (const KnownText& known : kKnownTexts) texts.emplace_back(known.prefix);
    return texts;
}

}  // namespace vantrel::doctor
