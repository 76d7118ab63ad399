// The activity row: which phase the running daemon is in now and what went
// wrong since its run began, from its own log records (daemon_log.h) and what
// /proc shows of it: where it sleeps, its children, the port it holds.
#include <string>
#include <vector>

#include "common/paths.h"
#include "common/pipe_table.h"
#include "firmware/board_identification.h"
#include "tools/doctor/daemon_log.h"
#include "tools/doctor/doctor.h"
#include "tools/proc/process_figures.h"

namespace vantrel::doctor {

namespace {

constexpr char kRow[] = "activity";
constexpr char kInPause[] = "asleep in a pause";

// What /proc shows of the daemon now.
struct Sight {
    std::string sleep;          // where it waits, in words; "" when unknown
    std::vector<pid_t> loader;  // its bslsh children
    std::vector<pid_t> others;  // other children (a broadcast's sh and am)
    bool descriptorsVisible = false;
    std::optional<HeldPort> port;
};

// Where the kernel has it asleep, in the daemon's terms.
std::string sleepWords(pid_t pid) {
    static const std::pair<const char*, const char*> kWaits[] = {
        {"nanosleep", kInPause},
        {"select", "waiting for bytes on its port"},
        {"poll", "waiting for bytes on its port"},
        {"do_wait", "waiting for its child"},
        {"wait4", "waiting for its child"},
    };
    std::string wchan = readFirstLine("/proc/" + std::to_string(pid) + "/wchan").value_or("");
    for (const auto& [symbol, words] : kWaits)
        if (wchan.find(symbol) != std::string::npos) return words;
    return "";
}

Sight lookAt(const Survey& survey, pid_t pid) {
    Sight sight;
    sight.sleep = sleepWords(pid);
    for (const Child& child : children(pid))
        (commandName(child.pid) == kLoaderTool ? sight.loader : sight.others).push_back(child.pid);
    sight.port = heldPort(survey, pid, &sight.descriptorsVisible);
    return sight;
}

constexpr char kProbeFix[] =
    "stop vantrel, then vantrel-doctor --probe-board: it says what the board answers";

// What each phase means for the row, in Phase's order. A failing phase's fix
// also says what to type now to stop the daemon and probe the board.
struct PhaseFacts {
    const char* words;  // phaseWords adds what the records and /proc tell of it
    bool holdsPort;     // the daemon has its port open then
    Verdict verdict;
    const char* fix;
};
constexpr PhaseFacts kPhases[] = {
    {"no record read says what it does", false, Verdict::Ok, ""},
    {"starting: opening its port, first identification", false, Verdict::Ok, ""},
    {"identifying the board", true, Verdict::Fail, kProbeFix},
    {"the board did not answer its identification attempts; asking its loader", false,
     Verdict::Fail, kProbeFix},
    {"flashing the board", false, Verdict::Warn,
     "let bslsh finish: stopping vantrel now can leave the board without firmware"},
    {"flashed the board; ends, to start again on the new firmware", false, Verdict::Ok, ""},
    {"gave up on the board (communication error); ends", false, Verdict::Fail, kProbeFix},
    {"board accepted; switching its LED and NFC reader", true, Verdict::Ok, ""},
    {"receiving", true, Verdict::Ok, ""},
    {"its line hung up: the device behind its port is gone", true, Verdict::Fail,
     "reconnect the board, then restart vantrel: it never opens a hung-up port again "
     "(--probe-board first says whether the board answers)"},
    {"ending: SIGINT caught, it ends by itself", false, Verdict::Warn,
     "let it end; init starts it again unless it was stopped (then: start vantrel)"},
};
static_assert(sizeof kPhases / sizeof *kPhases == static_cast<size_t>(Phase::EndingSigint) + 1,
              "a phase without its facts");

std::string phaseWords(const Activity& activity, const Sight& sight) {
    std::string words = kPhases[static_cast<int>(activity.phase)].words;
    int pause = activity.restartPauseSeconds;
    switch (activity.phase) {
        case Phase::Starting:
            return sight.sleep == kInPause ? "starting: in its start-up pause" : words;
        case Phase::Identifying:
            return words + ": attempt " + std::to_string(activity.failedAttempt) + " of " +
                   std::to_string(kIdentifyAttempts) + " failed";
        case Phase::CheckingLoader:
        case Phase::Flashing:
            return words + ": " +
                   (sight.loader.empty() ? "no bslsh child seen" : processList(sight.loader));
        case Phase::CommError:
            return pause > 0 ? words + " after a pause of " + std::to_string(pause) + " s" : words;
        default:
            return words;
    }
}

void judgePhase(const Activity& activity, pid_t pid, CheckResult* row) {
    const PhaseFacts& facts = kPhases[static_cast<int>(activity.phase)];
    std::string now = facts.verdict == Verdict::Fail ? stopAndProbeCommand(pid) : "";
    worsen(row, facts.verdict, advice(facts.fix, now));
    if (recurringTrouble(activity) != kNoTally)
        worsen(row, Verdict::Warn, advice(kProbeFix, stopAndProbeCommand(pid)));
}

// Its port against the node it opens: a fail when the node leads elsewhere
// now, or when it holds none in a phase that needs one.
std::string judgePort(const DaemonProcess& daemon, const Sight& sight,
                      const std::optional<Phase>& phase, CheckResult* row) {
    if (!sight.descriptorsVisible) return "its descriptors cannot be read (run as root)";
    std::string probe = stopAndProbeCommand(daemon.pid);
    if (!sight.port) {
        if (phase && kPhases[static_cast<int>(*phase)].holdsPort) {
            worsen(row, Verdict::Fail,
                   advice("restart vantrel: without its port it hears nothing; the serial rows "
                          "say what is in the way",
                          probe));
        }
        return "holds no serial port";
    }
    std::string words =
        "holds " + sight.port->path + " (fd " + std::to_string(sight.port->fd) + ")";
    std::string where;
    if (!nodeLeadsTo(daemonNode(daemon), *sight.port, &where)) {
        worsen(row, Verdict::Fail,
               advice("stop whatever re-pointed the node, then restart vantrel: it reads a "
                      "device the node no longer leads to",
                      probe));
        words += ", but " + where;
    }
    return words;
}

std::string countWords(const Activity& activity, const RunLines& run) {
    std::string counted;
    for (int tally = 0; tally < kTallyCount; ++tally) {
        if (activity.counts[tally] == 0) continue;
        counted += std::string(counted.empty() ? "" : ", ") + tallyName(static_cast<Tally>(tally)) +
                   " " + std::to_string(activity.counts[tally]);
    }
    std::string text = (counted.empty() ? "nothing counted" : counted) +
                       (run.startSeen ? " since it started"
                                      : " in the records read (its start is not among them)");
    if (recurringTrouble(activity) != kNoTally) {
        text += "; its last " + std::to_string(activity.repeats) + " records are " +
                tallyName(activity.repeatedTrouble);
    }
    if (run.earlierLines > 0)
        text += "; " + std::to_string(run.earlierLines) + " lines of earlier runs left out";
    return text;
}

}  // namespace

CheckResult checkActivity(const Survey& survey) {
    if (survey.daemons.empty()) return CheckResult{kRow, Verdict::Skip, "no daemon running", ""};
    const DaemonProcess& daemon = survey.daemons[0];
    CheckResult row{kRow, Verdict::Ok, "pid " + std::to_string(daemon.pid), ""};
    if (survey.daemons.size() > 1)
        row.detail += " (the first of " + std::to_string(survey.daemons.size()) + " daemons)";
    Sight sight = lookAt(survey, daemon.pid);
    std::string source;
    std::optional<std::string> text = daemonLogText(daemon.pid, &source);
    std::optional<Phase> phase;
    if (!text) {
        row.detail += ": its records cannot be read";
    } else {
        RunLines run = currentRun(daemonLines(*text), resolved(kPipePaths[kPipeProximity]));
        Activity activity = readActivity(run);
        if (activity.phase != Phase::Unknown) phase = activity.phase;
        judgePhase(activity, daemon.pid, &row);
        row.detail +=
            ": " + phaseWords(activity, sight) +
            (activity.phaseRecord.empty() ? "" : " (" + quoted(activity.phaseRecord) + ")") + "; " +
            countWords(activity, run);
    }
    row.detail += "; " + judgePort(daemon, sight, phase, &row);
    if (!sight.sleep.empty()) row.detail += "; " + sight.sleep;
    if (!sight.others.empty()) row.detail += "; its children: " + processList(sight.others);
    row.detail += "; records from " + source;
    // Without its records the doctor cannot tell what it does: no verdict.
    if (!phase && row.verdict == Verdict::Ok) row.verdict = Verdict::Skip;
    return row;
}

}  // namespace vantrel::doctor
