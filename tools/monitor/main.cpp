// vantrel-monitor: a live view of the daemon's sensor FIFOs. For each stream
// it shows the values as they arrive, their rate and a sparkline of the
// latest ones; it waits for a FIFO that does not exist yet and ends cleanly
// on Ctrl-C (SIGINT) or SIGTERM.
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "common/paths.h"
#include "display.h"
#include "fifo_stream.h"
#include "messages/sensor_pipes.h"
#include "tools/cli/options.h"
#include "tools/cli/stop_signals.h"
#include "tools/proc/port_holders.h"

namespace {

using namespace vantrel::monitor;
namespace cli = vantrel::cli;

constexpr int kPollMillis = 100;  // also how often a missing FIFO is looked for
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

struct Options {
    bool plain = false;
    double width = 32;        // values in the sparkline
    double waitSeconds = 60;  // for a FIFO to appear; 0: wait for ever
    std::vector<std::string> paths;
};

void usage(FILE* out) {
    fprintf(out,
            "Usage: vantrel-monitor [--plain] [--width N] [--wait S] [FIFO...]\n"
            "Shows the values of the daemon's FIFOs as they arrive, their rate and a\n"
            "sparkline. Without FIFO: the daemon's %s and %s\n"
            "(on a host build under $VANTREL_ROOT when it is set).\n"
            "  --plain    one line per value even on a terminal (the default elsewhere)\n"
            "  --width N  values in the sparkline (default 32)\n"
            "  --wait S   give up (status 1) when a FIFO has not appeared after S seconds\n"
            "             (default 60; 0: wait for ever)\n"
            "Ctrl-C ends it (status 0) with a summary line per FIFO.\n",
            vantrel::kPathPipeProximity, vantrel::kPathPipeLight);
}

std::optional<int> parseOptions(int argc, char** argv, Options* o) {
    return cli::readOptions(argc, argv, "vantrel-monitor",
                            {cli::flag("--plain", &o->plain), cli::number("--width", &o->width, 1),
                             cli::number("--wait", &o->waitSeconds)},
                            usage, [o](const char* path) { o->paths.emplace_back(path); });
}

std::vector<FifoStream> streamsFor(const Options& o) {
    std::vector<std::string> paths = o.paths;
    if (paths.empty()) {
        // The daemon's own paths, as this build resolves them.
        char buffer[PATH_MAX];
        paths = {vantrel::pipePath(vantrel::kPipeProximity, buffer, sizeof buffer)};
        paths.emplace_back(vantrel::pipePath(vantrel::kPipeLight, buffer, sizeof buffer));
    }
    std::vector<FifoStream> streams;
    for (const std::string& path : paths) {
        std::string name = path.substr(path.find_last_of('/') + 1);
        streams.emplace_back(name, path, static_cast<size_t>(o.width));
    }
    return streams;
}

// Each value in a FIFO goes to one reader only. A reader that was there first
// (the panel's app, or a test reader) and the monitor split the stream: the
// monitor shows part of it, and on a panel the app loses what the monitor takes.
void warnAboutOtherReaders(const FifoStream& stream, Display& display) {
    struct stat node;
    if (fstat(stream.descriptor(), &node) != 0) return;
    std::vector<pid_t> readers = vantrel::proc::readersOf(vantrel::proc::scanProcesses(), node);
    if (readers.empty()) return;
    std::string names;
    for (pid_t pid : readers)
        names += (names.empty() ? "" : ", ") + vantrel::proc::describeProcess(pid);
    display.warn(stream.name() + " is already read by " + names +
                 ": the values are split between the readers, and on a panel the product's "
                 "app loses the ones shown here");
}

// Opens the FIFOs that have appeared; false on a path that is not a FIFO.
bool openAppeared(std::vector<FifoStream>& streams, Display& display) {
    for (FifoStream& stream : streams) {
        std::string error;
        if (stream.tryOpen(&error)) {
            display.opened(stream);
            warnAboutOtherReaders(stream, display);
        }
        if (!error.empty()) {
            fprintf(stderr, "vantrel-monitor: %s\n", error.c_str());
            return false;
        }
    }
    return true;
}

void readArrived(std::vector<FifoStream>& streams, Display& display) {
    std::vector<struct pollfd> watched;
    watched.reserve(streams.size());
    for (const FifoStream& stream : streams) watched.push_back({stream.descriptor(), POLLIN, 0});
    if (poll(watched.data(), watched.size(), kPollMillis) <= 0) return;  // a signal, or quiet
    auto now = Clock::now();
    for (size_t i = 0; i < streams.size(); ++i) {
        if ((watched[i].revents & POLLIN) == 0) continue;
        for (int32_t value : streams[i].readValues()) {
            streams[i].record(value, now);
            display.arrived(streams[i], value, now);
        }
    }
}

// Follows the streams until a stop signal (status 0) or a failure (1).
int follow(std::vector<FifoStream>& streams, Display& display, double waitSeconds) {
    auto started = Clock::now();
    auto lastDraw = started;
    while (!cli::stopRequested()) {
        if (!openAppeared(streams, display)) return 1;
        std::chrono::duration<double> waited = Clock::now() - started;
        auto missing = std::find_if(streams.begin(), streams.end(),
                                    [](const FifoStream& stream) { return !stream.isOpen(); });
        if (waitSeconds > 0 && waited.count() > waitSeconds && missing != streams.end()) {
            fprintf(stderr,
                    "vantrel-monitor: %s did not appear within %g s (the daemon makes its FIFOs "
                    "when it starts: is it running?)\n",
                    missing->path().c_str(), waitSeconds);
            return 1;
        }
        readArrived(streams, display);  // a stream not open yet (-1) is left out by poll
        if (Clock::now() - lastDraw >= kRedrawEvery) {
            lastDraw = Clock::now();
            display.redraw(streams, lastDraw);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (std::optional<int> status = parseOptions(argc, argv, &options)) return *status;

    cli::StopSignals stopSignals;  // poll returns at once, and the summary is shown
    std::vector<FifoStream> streams = streamsFor(options);
    Display display(!options.plain && isatty(STDOUT_FILENO));
    // A FIFO that is there already is opened at once: only a missing one is
    // shown as waited for.
    bool usable = openAppeared(streams, display);
    display.begin(streams);
    int status = usable ? follow(streams, display, options.waitSeconds) : 1;
    display.end(streams);
    return status;
}
