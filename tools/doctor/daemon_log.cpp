#include "tools/doctor/daemon_log.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "daemon/run.h"
#include "platform/platform.h"

namespace vantrel::doctor {

namespace {

// Texts with a number the activity keeps.
constexpr char kAttemptFailed[] = "id query command attempt ";  // N failed
constexpr char kRestartPause[] = "Sleeping ";                   // N seconds before restart...

// What one of the daemon's texts says: the phase it starts (or none) and what
// it counts. The texts are the daemon's own, up to their first conversion.
struct KnownText {
    const char* prefix;
    bool console;  // written to standard error, not to the log
    bool setsPhase;
    Phase phase;
    Tally tally;
};

constexpr KnownText kKnownTexts[] = {
    {"Signal <", false, true, Phase::EndingSigint, kNoTally},
    {kRestartPause, false, true, Phase::CommError, kNoTally},
    {"Communication Error!", false, true, Phase::CommError, kNoTally},
    {"Upgrade Failed!", false, true, Phase::CommError, kNoTally},
    {"Didn't find BSL, skipping upgrade.", false, true, Phase::CommError, kNoTally},
    {"Upgrade Successfull, restart daemon.", false, true, Phase::EndingFlashed, kNoTally},
    {"Waiting for bslUpgrade..", false, true, Phase::Flashing, kNoTally},
    {"Found BSL, doing upgrade.", false, true, Phase::Flashing, kNoTally},
    {"Sensor version [", false, true, Phase::Flashing, kNoTally},
    {"Can't communicate with sensor fw, so trying BSL..", false, true, Phase::CheckingLoader,
     kNoTally},
    {"Waiting for bslCommCheck..", false, true, Phase::CheckingLoader, kNoTally},
    {kAttemptFailed, false, true, Phase::Identifying, kNoTally},
    {"Sensor version and Required version are the same.", false, true, Phase::Switching, kNoTally},
    {"This is a development file. No upgrade.", false, true, Phase::Switching, kNoTally},
    {"Setting NFC ", false, true, Phase::Receiving, kNoTally},
    {"readData()::serial port hung up", false, true, Phase::HungUp, kHangUps},
    {"readData()::select timedout!", false, true, Phase::Receiving, kReceiveTimeouts},
    {"readData()::failed to parse", false, true, Phase::Receiving, kParseFailures},
    {"readPacket: checksum failure", false, false, Phase::Receiving, kChecksumFailures},
    {"readExtendedPacket: checksum failure", false, false, Phase::Receiving, kChecksumFailures},
    {"failed to parseStandardData()", false, false, Phase::Receiving, kParseFailures},
    {"Unknown packet received: start byte is", false, false, Phase::Receiving, kStrayLeadBytes},
    {"NFC EVENT: ", false, false, Phase::Receiving, kNfcEvents},
    {"UPDATE_VERSION broadcase: ", false, false, Phase::Receiving, kVersionBroadcasts},
    {"Unknown lead in byte [", true, false, Phase::Receiving, kStrayLeadBytes},
    {"nfc command failed", true, false, Phase::Receiving, kFailedNfcCommands},
    {"led command failed", true, false, Phase::Receiving, kFailedLedCommands},
};

// The NFC switch logged from its property: "com.zyn.vantrel.nfc on".
const std::string& nfcPropertyRecord() {
    static const std::string text = std::string(kNfcProperty) + " ";
    return text;
}

// The run's first record names the proximity FIFO in one of these.
constexpr const char* kFifoRecords[] = {"openPipe Fifo [", "Pipe [", "Error creating pipe ["};

bool startsWith(const std::string& text, const char* prefix) {
    return text.compare(0, strlen(prefix), prefix) == 0;
}

const KnownText* knownText(const LogLine& line) {
    for (const KnownText& known : kKnownTexts) {
        if (known.console == (line.priority == 0) && startsWith(line.text, known.prefix)) {
            return &known;
        }
    }
    return nullptr;
}

// "E/Vantrel: text" or "E/Vantrel ( 1234): text" (logcat pads the tag to 8
// columns; some builds do not): the message, or false for another line.
bool parseRecord(const std::string& line, LogLine* record) {
    static const std::string tag = std::string("/") + kLogTag;
    if (line.size() < 2 || strchr("VDIWEF", line[0]) == nullptr) return false;
    if (line.compare(1, tag.size(), tag) != 0) return false;
    size_t at = 1 + tag.size();
    while (at < line.size() && line[at] == ' ') ++at;
    if (at < line.size() && line[at] == '(') {
        size_t close = line.find(')', at);
        if (close == std::string::npos) return false;
        for (size_t i = at + 1; i < close; ++i) {
            if (!isdigit(static_cast<unsigned char>(line[i])) && line[i] != ' ') return false;
        }
        at = close + 1;
    }
    if (line.compare(at, 2, ": ") != 0) return false;
    record->priority = line[0];
    record->text = line.substr(at + 2);
    return true;
}

bool isConsoleLine(const std::string& line) {
    LogLine candidate{0, line};
    return knownText(candidate) != nullptr;
}

}  // namespace

std::vector<LogLine> daemonLines(const std::string& text) {
    std::vector<LogLine> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();  // adb shell's line ends
        LogLine record;
        if (parseRecord(line, &record)) {
            lines.push_back(record);
        } else if (isConsoleLine(line)) {
            lines.push_back(LogLine{0, line});
        }
    }
    return lines;
}

RunLines currentRun(const std::vector<LogLine>& lines, const std::string& proximityFifo) {
    RunLines run;
    size_t begin = 0;
    for (size_t i = lines.size(); i-- > 0 && !run.startSeen;) {
        for (const char* record : kFifoRecords) {
            if (lines[i].priority != 0 && startsWith(lines[i].text, record) &&
                lines[i].text.compare(strlen(record), proximityFifo.size() + 1,
                                      proximityFifo + "]") == 0) {
                run.startSeen = true;
                begin = i;
            }
        }
    }
    run.earlierLines = begin;
    run.lines.assign(lines.begin() + static_cast<long>(begin), lines.end());
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

// The phase a line starts, from its text: false for a line that starts none.
bool phaseOf(const LogLine& line, Phase* phase) {
    if (line.priority != 0 && startsWith(line.text, nfcPropertyRecord().c_str())) {
        *phase = Phase::Receiving;
        return true;
    }
    const KnownText* known = knownText(line);
    if (known == nullptr || !known->setsPhase) return false;
    *phase = known->phase;
    return true;
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
        Phase ignored;
        if (tally == kNoTally && !phaseOf(lines[i], &ignored)) continue;
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
        Phase phase;
        if (!phaseOf(line, &phase)) continue;
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
