// vantrel-simboard: a simulated sensor board on a pseudo-terminal, for trying
// the daemon by hand and for the demo. Prints the slave path, optionally links
// it (e.g. to $VANTREL_ROOT/dev/ttymxc1), then answers the daemon and sends
// readings until SIGINT or SIGTERM, printing every exchange as a line. With
// --write-image it only writes the desk's firmware image for a script.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "simboard/simulated_board.h"
#include "simboard/simulated_image.h"
#include "tools/cli/options.h"

namespace {

using namespace vantrel::simboard;
namespace cli = vantrel::cli;

struct Options {
    std::string link;
    std::string imagePath;  // --write-image: write the image and end
    FirmwareVersion firmware;
    int commError = 0;  // its low byte goes into the version message
    BoardMode mode = BoardMode::Firmware;
    bool ackWithoutVersion = false;
    int garbageBeforeAck = 0;
    SimulatedBoard::VaryingStreams streams;
};

void usage(FILE* out) {
    fputs(
        "Usage: vantrel-simboard [options]\n"
        "A simulated sensor board on the master side of a pseudo-terminal.\n"
        "  --link PATH              also make PATH a symbolic link to the slave (removed at exit)\n"
        "  --version X.Y.Z          firmware version the board reports (default 1.6.25)\n"
        "  --comm-error N           sensor_comm_error byte of the version message (default 0)\n"
        "  --mode MODE              firmware | bsl | silent (default firmware)\n"
        "  --ack-without-version    answer 'i' with ACK and a motion message, no version\n"
        "  --garbage-before-ack N   send N garbage bytes before every ACK\n"
        "  --motion-hz R            motion readings per second (default 0: none)\n"
        "  --light-hz R             light readings per second (default 0: none)\n"
        "  --nfc-every S            an NFC tap every S seconds\n"
        "  --log-every S            a board log line every S seconds\n"
        "  --log-text TEXT          text of the board log line (default \"sensor board ok\")\n"
        "  --garbage-every S        4 garbage bytes every S seconds\n"
        "  --quiet-streams          do not print the periodic messages\n"
        "  --write-image FILE       write the desk's firmware image of --version to FILE (the\n"
        "                           version the bslsh stand-in flashes) and end\n"
        "  -h, --help               this text\n"
        "Periodic messages are sent only while the board runs its firmware.\n",
        out);
}

std::vector<cli::Option> optionTable(Options* o) {
    return {cli::text("--link", &o->link),
            cli::text("--write-image", &o->imagePath),
            cli::parsed("--version", &o->firmware, FirmwareVersion::parse),
            cli::number("--comm-error", &o->commError),
            cli::parsed("--mode", &o->mode, parseMode),
            cli::flag("--ack-without-version", &o->ackWithoutVersion),
            cli::number("--garbage-before-ack", &o->garbageBeforeAck),
            cli::number("--motion-hz", &o->streams.motionHz),
            cli::number("--light-hz", &o->streams.lightHz),
            cli::number("--nfc-every", &o->streams.nfcEvery),
            cli::number("--log-every", &o->streams.logEvery),
            cli::text("--log-text", &o->streams.logText),
            cli::number("--garbage-every", &o->streams.garbageEvery),
            cli::flag("--quiet-streams", &o->streams.quiet)};
}

std::mutex printMutex;

void printLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(printMutex);
    fprintf(stdout, "%s\n", line.c_str());
    fflush(stdout);
}

int writeImage(const Options& options) {
    std::ofstream file(options.imagePath, std::ios::binary | std::ios::trunc);
    file << simulatedImage(options.firmware);
    file.close();
    if (!file) {
        fprintf(stderr, "vantrel-simboard: cannot write %s: %s\n", options.imagePath.c_str(),
                strerror(errno));
        return 1;
    }
    return 0;
}

// "motion 2/s, NFC tap every 2.5 s": only what the board sends unasked.
std::string rateText(const Options& o) {
    std::string text;
    auto add = [&text](double value, const char* format) {
        if (value <= 0) return;
        char part[64];
        snprintf(part, sizeof part, format, value);
        text += (text.empty() ? "" : ", ") + std::string(part);
    };
    add(o.streams.motionHz, "motion %g/s");
    add(o.streams.lightHz, "light %g/s");
    add(o.streams.nfcEvery, "NFC tap every %g s");
    add(o.streams.logEvery, "board log every %g s");
    add(o.streams.garbageEvery, "garbage every %g s");
    return text.empty() ? "nothing sent unasked" : text;
}

// The board as the options make it, with its link when one is asked for;
// false after saying why there is no link.
bool setUp(SimulatedBoard& board, const Options& options) {
    board.setMode(options.mode);
    board.setAnswers({static_cast<uint8_t>(options.commError), options.ackWithoutVersion,
                      garbage(static_cast<size_t>(options.garbageBeforeAck))});
    printLine("slave " + board.slavePath());
    if (options.link.empty()) return true;
    if (!board.linkAt(options.link)) {
        fprintf(stderr, "vantrel-simboard: cannot link %s: %s\n", options.link.c_str(),
                strerror(errno));
        return false;
    }
    printLine("link " + options.link + " -> " + board.slavePath());
    return true;
}

// Runs the board until one of `stopSignals` comes.
int runBoard(const Options& options, const sigset_t& stopSignals) {
    SimulatedBoard board(options.firmware);
    if (!setUp(board, options)) return 1;
    printLine("firmware " + options.firmware.text() + ", mode " + modeName(options.mode) + "; " +
              rateText(options));
    board.setListener(printLine);
    board.startVaryingStreams(options.streams);
    printLine("ready");
    int signal = 0;
    sigwait(&stopSignals, &signal);
    board.setListener(nullptr);
    printLine(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM") +
              "; firmware " + board.version().text() + ", mode " + modeName(board.mode()));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::optional<int> status =
        cli::readOptions(argc, argv, "vantrel-simboard", optionTable(&options), usage);
    if (status) return *status;
    if (!options.imagePath.empty()) return writeImage(options);

    // The board's threads inherit this mask, so only sigwait sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    try {
        return runBoard(options, stopSignals);
    } catch (const std::exception& error) {
        fprintf(stderr, "vantrel-simboard: %s\n", error.what());
        return 1;
    }
}
