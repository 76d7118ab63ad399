#include "session_regression/replay_report.h"

#include <sys/stat.h>

#include <algorithm>
#include <sstream>

namespace vantrel::test {

namespace {

using namespace std::chrono_literals;

const std::string kChildRecordEnd = " exec failed!";

// Writes one output line: paths made stable, bytes outside printable ASCII
// shown as \xHH so the file stays plain text whatever the board sent.
class ReportWriter {
  public:
    ReportWriter(std::string root, std::string pty)
        : root_(std::move(root)), pty_(std::move(pty)) {}

    void line(const std::string& text) { out_ << stable(text) << '\n'; }
    void item(const std::string& text) { out_ << "  " << stable(text) << '\n'; }
    // A line repeated right after itself is shown once, with its count.
    void section(const std::string& title, const std::vector<std::string>& items) {
        line(title + (items.empty() ? ": none" : ":"));
        for (size_t i = 0; i < items.size();) {
            size_t same = 1;
            while (i + same < items.size() && items[i + same] == items[i]) ++same;
            item(same == 1 ? items[i] : items[i] + "  (x" + std::to_string(same) + ")");
            i += same;
        }
    }
    std::string text() const { return out_.str(); }

  private:
    std::string stable(std::string text) const {
        replaceAll(&text, root_, "$ROOT");
        replaceAll(&text, pty_, "$PTY");
        std::string shown;
        for (unsigned char c : text) {
            if ((c >= 0x20 && c < 0x7F) || c == '\t') {
                shown += static_cast<char>(c);
            } else {
                char escaped[8];
                snprintf(escaped, sizeof escaped, "\\x%02X", c);
                shown += escaped;
            }
        }
        return shown;
    }

    std::string root_;
    std::string pty_;
    std::ostringstream out_;
};

// The frame as it came ("??" for a checksum the board did not keep) and what it is.
std::string describe(const simboard::ReceivedCommand& command) {
    const simboard::StandardPayload& payload = command.payload;
    std::string text = command.checksumOk
                           ? simboard::hexText(simboard::encodeStandard(payload))
                           : "55 " + simboard::hexText(payload.data(), payload.size()) + " ??";
    text += "  " + simboard::describeCommand(payload);
    if (!command.checksumOk) text += " [bad checksum]";
    if (command.mode != simboard::BoardMode::Firmware) {
        text += std::string(" [board in ") + simboard::modeName(command.mode) + " mode]";
    }
    return text;
}

// Every value, or for a long run its first and last eight around a count.
std::vector<std::string> numbers(const std::vector<int32_t>& values) {
    constexpr size_t kShown = 8;
    std::vector<std::string> texts;
    for (size_t i = 0; i < values.size(); ++i) {
        if (values.size() > 2 * kShown && i == kShown) {
            texts.push_back("... " + std::to_string(values.size() - 2 * kShown) + " more ...");
            i = values.size() - kShown;
        }
        texts.push_back(std::to_string(values[i]));
    }
    return texts;
}

// The traced calls `kind` ("pause", "wait") with what follows the word, in
// order; with `once`, each text only the first time.
std::string traced(const std::vector<std::string>& trace, const std::string& kind, bool once) {
    std::vector<std::string> seen;
    for (const std::string& line : trace) {
        if (line.rfind(kind + " ", 0) != 0 || line == kind + " end") continue;
        std::string rest = line.substr(kind.size() + 1);
        if (!once || std::find(seen.begin(), seen.end(), rest) == seen.end()) seen.push_back(rest);
    }
    std::string text;
    for (const std::string& item : seen) text += " " + item;
    return text.empty() ? " none" : text;
}

// The daemon's records, less those whose number or place depends on timing:
// a child that cannot start bslsh logs while the daemon logs its waiting line.
std::vector<std::string> stableRecords(const std::vector<LogRecord>& records, bool daemons) {
    std::vector<std::string> texts;
    for (const LogRecord& record : records) {
        if (record.message.find(kTimeOutRecord) != std::string::npos) continue;
        bool childs = record.message.size() > kChildRecordEnd.size() &&
                      record.message.compare(record.message.size() - kChildRecordEnd.size(),
                                             kChildRecordEnd.size(), kChildRecordEnd) == 0;
        if (childs == daemons) continue;
        texts.push_back(std::string(1, record.priority) + " " + record.message);
    }
    return texts;
}

// What went to the board and its loader, the version property, the reset
// line, and the daemon's pauses and port waits.
void reportBoardAndWaits(ProcessHarness& h, ReportWriter* out) {
    std::vector<std::string> commands;
    for (const simboard::ReceivedCommand& command : h.board().commands()) {
        commands.push_back(describe(command));
    }
    out->section("commands to the board", commands);
    // How often bslsh had to say "sync" before the loader heard it is the
    // stand-in's business, not the daemon's: repeats are shown once.
    std::vector<std::string> loaderEvents = h.board().bslEvents();
    loaderEvents.erase(std::unique(loaderEvents.begin(), loaderEvents.end()), loaderEvents.end());
    out->section("loader events", loaderEvents);
    out->section("bslsh calls", splitLines(h.readFile(desk::kBslshLogFile)));
    std::optional<std::string> version = h.property("sys.com.zyn.sensor.version");
    out->line("property sys.com.zyn.sensor.version: " +
              (version ? "\"" + *version + "\"" : "unset"));
    out->line("reset line value file: \"" + h.readFile(kPathResetLine) + "\"");
    std::vector<std::string> trace = splitLines(readWhole(h.path(kWaitTraceFile)));
    out->line("pauses (s):" + traced(trace, "pause", false));
    out->line("port wait limits (s):" + traced(trace, "wait", true));
}

// "fifo 666", "missing", "regular file: 41 42"...
std::string fileKind(const std::string& path) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) return "missing";
    if (S_ISFIFO(info.st_mode)) {
        char mode[16];
        snprintf(mode, sizeof mode, "fifo %03o", info.st_mode & 0777);
        return mode;
    }
    if (!S_ISREG(info.st_mode)) return "not a fifo";
    std::string bytes = readWhole(path);
    return "regular file: " +
           simboard::hexText(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// What each of the daemon's FIFOs is, and the values its reader got.
void reportPipes(ProcessHarness& h, std::map<std::string, FifoReader>& readers,
                 const std::map<std::string, std::string>& fifoModes, ReportWriter* out) {
    std::vector<std::string> kinds;
    for (const char* name : {"pipeProx", "pipeLight"}) {
        kinds.push_back(std::string(name) + " " + fileKind(h.path("data/") + name));
    }
    out->section("pipes", kinds);
    for (const char* name : {"pipeProx", "pipeLight"}) {
        auto reader = readers.find(name);
        auto mode = fifoModes.find(name);
        if (mode != fifoModes.end() && mode->second == "churn") {
            out->section(name, {"a reader that came and went (values not recorded)"});
        } else if (reader == readers.end() || !reader->second.isOpen()) {
            out->section(name, {"no reader"});
        } else {
            out->section(name, numbers(reader->second.drainValues(20ms)));
        }
    }
}

}  // namespace

void replaceAll(std::string* text, const std::string& from, const std::string& to) {
    if (from.empty()) return;
    for (size_t at = text->find(from); at != std::string::npos; at = text->find(from, at)) {
        text->replace(at, from.size(), to);
        at += to.size();
    }
}

std::string formatReport(const std::string& sessionName, ProcessHarness& h,
                         const std::string& progress, std::map<std::string, FifoReader>& readers,
                         const std::map<std::string, std::string>& fifoModes) {
    h.board().waitUntilBoardHasRead(2s);  // the daemon's last command may be on its way
    ReportWriter out(h.root(), h.board().slavePath());
    out.line("# what the daemon did when " + sessionName + ".log was replayed");
    out.line("# (\"select timedout!\" records are left out: their number depends on timing)");
    std::optional<int> exitStatus = h.exitStatus();
    out.line("exit status: " + (exitStatus ? std::to_string(*exitStatus) : std::string("none")));
    out.line("run: " + progress);
    reportBoardAndWaits(h, &out);
    reportPipes(h, readers, fifoModes, &out);
    out.section("am", splitLines(h.readFile(desk::kAmLogFile)));
    out.section("stdout", splitLines(h.daemonStdoutText()));
    out.section("stderr", splitLines(h.stderrText()));
    std::vector<LogRecord> log = h.logRecords();
    out.section("log", stableRecords(log, true));
    std::vector<std::string> childRecords = stableRecords(log, false);
    if (!childRecords.empty()) out.section("log of a child that could not start", childRecords);
    return out.text();
}

}  // namespace vantrel::test
