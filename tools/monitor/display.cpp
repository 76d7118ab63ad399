#include "display.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace vantrel::monitor {

namespace {

constexpr char kHideCursor[] = "\x1b[?25l";
constexpr char kShowCursor[] = "\x1b[?25h";
constexpr char kClearLine[] = "\r\x1b[2K";
constexpr char kClearBelow[] = "\x1b[J";
// From this many columns on, the value and count columns have room for any
// int32 and for a count in the millions.
constexpr int kWideColumns = 60;
constexpr int kLongestName = 12;

// The terminal's width less its last column: a terminal that wraps there
// would scroll the redraw.
int usableColumns() {
    struct winsize size;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80 - 1;
    return size.ws_col - 1;
}

bool continuesCharacter(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Columns a UTF-8 text takes (every character here takes one).
int displayWidth(const std::string& text) {
    return static_cast<int>(
        std::count_if(text.begin(), text.end(), [](char c) { return !continuesCharacter(c); }));
}

// Where the character after the first `count` characters of `text` begins.
size_t offsetAfter(const std::string& text, int count) {
    for (size_t at = 0; at < text.size(); ++at) {
        if (!continuesCharacter(text[at]) && count-- == 0) return at;
    }
    return text.size();
}

// The first `columns` characters of `text`.
std::string cutTo(const std::string& text, int columns) {
    return text.substr(0, offsetAfter(text, columns));
}

// `text` in `columns` characters: its end kept, "…" in front when cut.
std::string keepEnd(const std::string& text, int columns) {
    int width = displayWidth(text);
    if (width <= columns) return text;
    return columns <= 0 ? "" : "\u2026" + text.substr(offsetAfter(text, width - columns + 1));
}

// The newest `room` values, or all of them when they fit.
std::deque<int32_t> newest(const std::deque<int32_t>& values, int room) {
    size_t keep = std::min(values.size(), static_cast<size_t>(std::max(room, 0)));
    return std::deque<int32_t>(values.end() - static_cast<long>(keep), values.end());
}

// Columns of a stream line: name, last value, rate, count, then the sparkline.
std::string fixedColumns(int nameWidth, bool wide, const char* name, const char* value,
                         const char* rate, const char* count) {
    char text[160];
    snprintf(text, sizeof text, "%-*s %*s %*s %*s  ", nameWidth, name, wide ? 11 : 6, value,
             wide ? 8 : 7, rate, wide ? 8 : 5, count);
    return text;
}

// Whether both descriptors write to the same terminal.
bool sameTerminal(int a, int b) {
    struct stat first, second;
    return isatty(a) && isatty(b) && fstat(a, &first) == 0 && fstat(b, &second) == 0 &&
           first.st_rdev == second.st_rdev;
}

}  // namespace

void Display::begin(std::vector<FifoStream>& streams) {
    nameWidth_ = 4;
    for (const FifoStream& stream : streams) {
        nameWidth_ = std::max(nameWidth_, std::min(kLongestName, displayWidth(stream.name())));
    }
    if (terminal_) {
        int columns = usableColumns();
        std::string labels =
            fixedColumns(nameWidth_, columns >= kWideColumns, "FIFO", "last", "rate", "count");
        printf("%s%s\n%s\n", kHideCursor, cutTo("vantrel-monitor: Ctrl-C to stop", columns).c_str(),
               cutTo(labels + "recent", columns).c_str());
        redraw(streams, Clock::now());
        return;
    }
    for (const FifoStream& stream : streams) {
        if (!stream.isOpen())
            printf("%s: waiting for %s\n", stream.name().c_str(), stream.path().c_str());
    }
    fflush(stdout);
}

void Display::opened(const FifoStream& stream) {
    if (terminal_) return;  // the next redraw shows it
    printf("%s: open %s\n", stream.name().c_str(), stream.path().c_str());
    fflush(stdout);
}

void Display::arrived(FifoStream& stream, int32_t value, Clock::time_point now) {
    if (terminal_) return;
    printf("%s %d %.1f/s %s\n", stream.name().c_str(), value, stream.rate(now),
           sparkline(stream.history()).c_str());
    fflush(stdout);
}

std::string Display::terminalLine(FifoStream& stream, Clock::time_point now, int columns) const {
    std::string name = cutTo(stream.name(), nameWidth_);
    name.append(static_cast<size_t>(nameWidth_ - displayWidth(name)), ' ');
    if (!stream.isOpen()) {
        std::string waiting = name + " waiting for ";
        return cutTo(waiting + keepEnd(stream.path(), columns - displayWidth(waiting)), columns);
    }
    std::optional<int32_t> last = stream.last();
    char rate[32];
    char count[32];
    snprintf(rate, sizeof rate, "%.1f/s", stream.rate(now));
    snprintf(count, sizeof count, "%zu", stream.count());
    std::string fixed = fixedColumns(nameWidth_, columns >= kWideColumns, name.c_str(),
                                     last ? std::to_string(*last).c_str() : "-", rate, count);
    int room = columns - displayWidth(fixed);
    return cutTo(fixed + sparkline(newest(stream.history(), room)), columns);
}

void Display::redraw(std::vector<FifoStream>& streams, Clock::time_point now) {
    if (!terminal_) return;
    if (drawn_) printf("\x1b[%dA", drawnRows_);  // back to the first stream's line
    int columns = usableColumns();
    for (FifoStream& stream : streams) {
        printf("%s%s\n", kClearLine, terminalLine(stream, now, columns).c_str());
    }
    drawn_ = true;
    drawnRows_ = static_cast<int>(streams.size());
    fflush(stdout);
}

void Display::warn(const std::string& text) {
    if (terminal_) {
        // The rows move down below the warning; the next redraw puts them back.
        if (drawn_) printf("\x1b[%dA", drawnRows_);
        printf("%s%s", kClearLine, kClearBelow);
        fflush(stdout);
        drawn_ = false;
    }
    fprintf(stderr, "vantrel-monitor: %s\n", text.c_str());
    // Standard error elsewhere (a file, a pipe): the terminal shows it as well.
    if (terminal_ && !sameTerminal(STDOUT_FILENO, STDERR_FILENO)) {
        printf("vantrel-monitor: %s\n", text.c_str());
        fflush(stdout);
    }
}

void Display::end(std::vector<FifoStream>& streams) {
    if (terminal_) printf("%s%s", kClearLine, kShowCursor);  // a "^C" echoed by the terminal goes
    for (const FifoStream& stream : streams) {
        std::optional<int32_t> last = stream.last();
        if (!stream.isOpen()) {
            printf("%s: never appeared at %s\n", stream.name().c_str(), stream.path().c_str());
        } else if (last) {
            printf("%s: %zu value%s, last %d\n", stream.name().c_str(), stream.count(),
                   stream.count() == 1 ? "" : "s", *last);
        } else {
            printf("%s: no values\n", stream.name().c_str());
        }
    }
    fflush(stdout);
}

}  // namespace vantrel::monitor
