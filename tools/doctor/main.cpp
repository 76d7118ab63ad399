// vantrel-doctor: says, in one run, why the daemon cannot work where it is
// about to run. It reads the daemon's surroundings as the daemon sees them;
// only --probe-board talks to the board.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "common/version.h"
#include "platform/platform.h"
#include "tools/cli/options.h"
#include "tools/doctor/doctor.h"

namespace {

using namespace vantrel;
using namespace vantrel::doctor;
namespace cli = vantrel::cli;

// ---- the report: a table for a person, a JSON array for scripts

constexpr size_t kDefaultWidth = 80;
constexpr size_t kNarrowestText = 12;
constexpr size_t kCheckColumn = 15;  // "serial-device" and a blank
constexpr size_t kVerdictColumn = 6;
constexpr size_t kTextColumn = kCheckColumn + kVerdictColumn;

const char* colourOf(Verdict verdict) {
    // green, yellow, red, dim: in Verdict's order
    static const char* const kColours[] = {"\033[32m", "\033[33m", "\033[31m", "\033[2m"};
    return kColours[static_cast<int>(verdict)];
}

// Cuts `text` into lines of at most `width` characters at blanks (a longer
// word is cut where it must be).
std::vector<std::string> wrap(const std::string& text, size_t width) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = at + width;
        if (end >= text.size()) {
            lines.push_back(text.substr(at));
            break;
        }
        size_t blank = text.rfind(' ', end);
        if (blank == std::string::npos || blank <= at) blank = end;
        lines.push_back(text.substr(at, blank - at));
        at = std::min(text.find_first_not_of(' ', blank), text.size());
    }
    if (lines.empty()) lines.emplace_back();
    return lines;
}

// The first line after `lead`, the others under the text column.
void printIndented(FILE* out, const std::string& text, std::string lead, size_t width) {
    for (const std::string& line : wrap(text, width - kTextColumn)) {
        fprintf(out, "%s%s\n", lead.c_str(), line.c_str());
        lead.assign(kTextColumn, ' ');
    }
}

void printJsonString(FILE* out, const std::string& text) {
    fputc('"', out);
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            fprintf(out, "\\%c", c);
        } else if (c < 0x20 || c >= 0x7f) {
            fprintf(out, "\\u%04x", c);
        } else {
            fputc(c, out);
        }
    }
    fputc('"', out);
}

// The width a table for `fd` gets: the terminal's own when `fd` is one,
// else COLUMNS when it holds a number, else 80; never narrower than the
// check and verdict columns and a dozen characters of text.
size_t tableWidth(int fd) {
    struct winsize size = {};
    size_t width = kDefaultWidth;
    const char* columns = getenv("COLUMNS");
    char* end = nullptr;
    long fromEnvironment = columns != nullptr ? strtol(columns, &end, 10) : 0;
    if (isatty(fd) && ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        width = size.ws_col;
    } else if (columns != nullptr && end != columns && *end == '\0' && fromEnvironment > 0) {
        width = static_cast<size_t>(fromEnvironment);
    }
    return std::max(width, kTextColumn + kNarrowestText);
}

// One row per check within `width` columns: the check and verdict columns
// kept, the details and a fix line under each warn and fail wrapped at
// blanks; verdicts in colour when `colour`.
void printTable(FILE* out, const std::vector<CheckResult>& results, size_t width, bool colour) {
    fprintf(out, "%-*s%-*s%s\n", static_cast<int>(kCheckColumn), "check",
            static_cast<int>(kVerdictColumn), "", "what it saw");
    for (const CheckResult& r : results) {
        std::string verdict = verdictName(r.verdict);
        std::string padding(kVerdictColumn - verdict.size(), ' ');
        if (colour) verdict = std::string(colourOf(r.verdict)).append(verdict).append("\033[0m");
        std::string name =
            r.check + std::string(kCheckColumn - std::min(kCheckColumn - 1, r.check.size()), ' ');
        name.append(verdict).append(padding);
        printIndented(out, r.detail, name, width);
        if (!r.fix.empty())
            printIndented(out, "fix: " + r.fix, std::string(kTextColumn, ' '), width);
    }
}

// [{"check": ..., "verdict": ..., "detail": ..., "fix": ...}, ...]
void printJson(FILE* out, const std::vector<CheckResult>& results) {
    fputs("[\n", out);
    for (size_t i = 0; i < results.size(); ++i) {
        const CheckResult& r = results[i];
        fputs("  {\"check\": ", out);
        printJsonString(out, r.check);
        fputs(", \"verdict\": ", out);
        printJsonString(out, verdictName(r.verdict));
        fputs(", \"detail\": ", out);
        printJsonString(out, r.detail);
        fputs(", \"fix\": ", out);
        printJsonString(out, r.fix);
        fputs(i + 1 < results.size() ? "},\n" : "}\n", out);
    }
    fputs("]\n", out);
}

// ---- the command line

constexpr double kDefaultListenSeconds = 3;
constexpr double kLongestListenSeconds = 3600;

struct Options {
    bool json = false;
    bool probe = false;
    double listenSeconds = kDefaultListenSeconds;
    std::string device;  // -p; empty: the daemon's own
};

// Every row the doctor can print, in report order, with what it looks at.
constexpr const char* kCheckLines[][2] = {
    {"daemon", "a vantrel process of this setup, its options, init's view"},
    {"activity", "what that daemon does now and the trouble it logged"},
    {"serial-device", "the UART node: kind, owner, mode, opens as a terminal"},
    {"serial-holder", "who holds the UART: the daemon's own port, anyone else"},
    {"reset-line", "GPIO 101's value file: exported, writable, an output"},
    {"bslsh", "the bootstrap-loader tool on the daemon's PATH, executable"},
    {"firmware-image", "the image as Intel HEX: records, range, sha256"},
    {"properties", "the four switches and the published version"},
    {"streams", "which sensor streams the daemon forwards, and why"},
    {"pipes", "both FIFOs: a FIFO, writable, and read by someone"},
    {"am", "the activity manager on the daemon's PATH, executable"},
    {"selinux", "the daemon's labels and its denials in the kernel log"},
    {"board", "--probe-board: the board's version, and what it sends"},
};

void usage(FILE* out) {
    fputs(
        "Usage: vantrel-doctor [--json] [--probe-board] [--listen SECONDS] [-p DEVICE]\n"
        "                      [-h] [--version]\n"
        "Checks what the sensor daemon needs, as the daemon sees it; only\n"
        "--probe-board talks to the board.\n"
        "  --json          one JSON array of {check, verdict, detail, fix}\n"
        "  --probe-board   also identify the board with the daemon's exchange (one\n"
        "                  attempt, no reset, nothing flashed) and count what it sends\n"
        "  --listen S      seconds to count what the board sends (default 3; Ctrl-C\n"
        "                  ends it sooner and still prints the report)\n"
        "  -p DEVICE       the serial device (default: the daemon's)\n"
        "  -h, --help      this text\n"
        "  --version       the doctor's release and the firmware it expects\n"
        "Checks, in report order:\n",
        out);
    for (const auto& line : kCheckLines) fprintf(out, "  %-15s %s\n", line[0], line[1]);
    fputs("Exit status: 0 no check failed, 1 a check failed, 2 usage.\n", out);
}

// Nothing when the options were read; otherwise the exit status.
std::optional<int> parseArguments(int argc, char** argv, Options* options) {
    bool version = false;
    std::vector<cli::Option> table = {
        cli::flag("--json", &options->json),
        cli::flag("--probe-board", &options->probe),
        // An hour at most: "inf" or 1e300 would make the probe wait for ever.
        {"--listen", true,
         [options](const char* value) {
             return cli::parseNumber(value, &options->listenSeconds) &&
                    options->listenSeconds <= kLongestListenSeconds;
         },
         "a number of seconds, 0 to 3600"},
        cli::text("-p", &options->device),
        cli::flag("--version", &version),
    };
    std::optional<int> status = cli::readOptions(argc, argv, "vantrel-doctor", table, usage);
    if (status || !version) return status;
    printf("vantrel-doctor %s (the daemon requires sensor firmware %s)\n", kReleaseVersion,
           requiredFirmwareVersion().c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    platformSetLogTag("vantrel-doctor");  // the daemon's tag keeps the daemon's records alone
    Options options;
    if (std::optional<int> status = parseArguments(argc, argv, &options)) return *status;

    Survey survey = takeSurvey(options.device);
    std::vector<CheckResult> results = runLocalChecks(survey);
    if (options.probe) results.push_back(probeBoard(survey, options.listenSeconds));

    if (options.json) {
        printJson(stdout, results);
    } else {
        printTable(stdout, results, tableWidth(STDOUT_FILENO), isatty(STDOUT_FILENO) != 0);
    }
    bool failed = false;
    for (const CheckResult& r : results) failed = failed || r.verdict == Verdict::Fail;
    return failed ? 1 : 0;
}
