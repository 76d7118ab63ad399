#include "display.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

namespace vantrel::monitor {

namespace {

constexpr char kHideCursor[] = "\x1b[?25l";
constexpr char kShowCursor[] = "\x1b[?25h";
constexpr char kClearLine[] = "\r\x1b[2K";
// Name, value, rate and count take this much of a terminal line.
constexpr int kColumnsBeforeSparkline = 42;

int terminalColumns() {
    struct winsize size;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
    return size.ws_col;
}

// The newest `room` values, or all of them when they fit.
std::deque<int32_t> newest(const std::deque<int32_t>& values, int room) {
    if (room <= 0) return {};
    size_t keep = static_cast<size_t>(room);
    if (values.size() <= keep) return values;
    return std::deque<int32_t>(values.end() - static_cast<long>(keep), values.end());
}

}  // namespace

void Display::begin(std::vector<FifoStream>& streams) {
    if (terminal_) {
        printf("%svantrel-monitor: Ctrl-C to stop\n", kHideCursor);
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

std::string Display::terminalLine(FifoStream& stream, Clock::time_point now) const {
    char columns[128];
    if (!stream.isOpen()) {
        snprintf(columns, sizeof columns, "%-10s waiting for ", stream.name().c_str());
        return columns + stream.path();
    }
    std::optional<int32_t> last = stream.last();
    snprintf(columns, sizeof columns, "%-10s %11s %7.1f/s %6zu  ", stream.name().c_str(),
             last ? std::to_string(*last).c_str() : "-", stream.rate(now), stream.count());
    int room = terminalColumns() - kColumnsBeforeSparkline;
    return columns + sparkline(newest(stream.history(), room));
}

void Display::redraw(std::vector<FifoStream>& streams, Clock::time_point now) {
    if (!terminal_) return;
    if (drawn_) printf("\x1b[%zuA", streams.size());  // back to the first stream's line
    for (FifoStream& stream : streams) {
        printf("%s%s\n", kClearLine, terminalLine(stream, now).c_str());
    }
    drawn_ = true;
    fflush(stdout);
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
