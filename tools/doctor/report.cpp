#include "tools/doctor/report.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace vantrel::doctor {

namespace {

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
    size_t at = 0;
    while (at < text.size()) {
        size_t end = at + width;
        if (end >= text.size()) {
            lines.push_back(text.substr(at));
            break;
        }
        size_t blank = text.rfind(' ', end);
        if (blank == std::string::npos || blank <= at) blank = end;
        lines.push_back(text.substr(at, blank - at));
        at = blank;
        while (at < text.size() && text[at] == ' ') ++at;
    }
    if (lines.empty()) lines.emplace_back();
    return lines;
}

void printIndented(FILE* out, const std::string& text, const std::string& lead, size_t width) {
    bool first = true;
    for (const std::string& line : wrap(text, width - kTextColumn)) {
        fprintf(out, "%s%s\n", first ? lead.c_str() : std::string(kTextColumn, ' ').c_str(),
                line.c_str());
        first = false;
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

}  // namespace

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

void printTable(FILE* out, const std::vector<CheckResult>& results, size_t width, bool colour) {
    fprintf(out, "%-*s%-*s%s\n", static_cast<int>(kCheckColumn), "check",
            static_cast<int>(kVerdictColumn), "", "what it saw");
    for (const CheckResult& r : results) {
        std::string verdict = verdictName(r.verdict);
        std::string padding(kVerdictColumn - verdict.size(), ' ');
        if (colour) verdict = std::string(colourOf(r.verdict)).append(verdict).append("\033[0m");
        std::string name =
            r.check + std::string(kCheckColumn - std::min(kCheckColumn - 1, r.check.size()), ' ');
        name += verdict;
        printIndented(out, r.detail, name + padding, width);
        if (!r.fix.empty()) {
            printIndented(out, "fix: " + r.fix, std::string(kTextColumn, ' '), width);
        }
    }
}

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

}  // namespace vantrel::doctor
