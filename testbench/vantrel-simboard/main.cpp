// vantrel-simboard: a simulated sensor board on a pseudo-terminal, for trying
// the daemon by hand and for the demo. Prints the slave path, optionally links
// it (e.g. to $VANTREL_ROOT/dev/ttymxc1), then answers the daemon and sends
// readings until SIGINT or SIGTERM, printing every exchange as a line.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "simboard/simulated_board.h"

namespace {

using namespace vantrel::simboard;

struct Options {
    std::string link;
    std::string imagePath;  // --write-image: write the firmware image there and end
    FirmwareVersion firmware;
    int commError = 0;
    BoardMode mode = BoardMode::Firmware;
    bool ackWithoutVersion = false;
    int garbageBeforeAck = 0;
    double motionPerSecond = 0;
    double lightPerSecond = 0;
    double nfcEvery = 0;
    double logEvery = 0;
    std::string logText = "sensor board ok";
    double garbageEvery = 0;
    bool quietStreams = false;
};

void usage(FILE* out) {
    fputs(
        "Usage: vantrel-simboard [options]\n"
        "A simulated sensor board on the master side of a pseudo-terminal.\n"
        "  --link PATH              also make PATH a symbolic link to the slave (removed at exit)\n"
        "  --write-image PATH       write an image of the board's firmware to PATH and end\n"
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
        "  -h, --help               this text\n"
        "Periodic messages are sent only while the board runs its firmware.\n",
        out);
}

bool number(const char* text, double* value) {
    char* end = nullptr;
    *value = strtod(text, &end);
    return end != text && *end == '\0' && *value >= 0;
}

// Returns 0 when the options were read, else the exit status.
int parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "-h" || name == "--help") {
            usage(stdout);
            return -1;
        }
        if (name == "--ack-without-version") {
            options->ackWithoutVersion = true;
            continue;
        }
        if (name == "--quiet-streams") {
            options->quietStreams = true;
            continue;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "vantrel-simboard: %s needs a value (or is unknown)\n", name.c_str());
            return 2;
        }
        const char* value = argv[++i];
        double n = 0;
        bool ok = true;
        if (name == "--link") {
            options->link = value;
        } else if (name == "--write-image") {
            options->imagePath = value;
        } else if (name == "--version") {
            auto parsed = FirmwareVersion::parse(value);
            ok = parsed.has_value();
            if (ok) options->firmware = *parsed;
        } else if (name == "--mode") {
            auto parsed = parseMode(value);
            ok = parsed.has_value();
            if (ok) options->mode = *parsed;
        } else if (name == "--log-text") {
            options->logText = value;
        } else if (!number(value, &n)) {
            ok = false;
        } else if (name == "--comm-error") {
            options->commError = static_cast<int>(n) & 0xFF;
        } else if (name == "--garbage-before-ack") {
            options->garbageBeforeAck = static_cast<int>(n);
        } else if (name == "--motion-hz") {
            options->motionPerSecond = n;
        } else if (name == "--light-hz") {
            options->lightPerSecond = n;
        } else if (name == "--nfc-every") {
            options->nfcEvery = n;
        } else if (name == "--log-every") {
            options->logEvery = n;
        } else if (name == "--garbage-every") {
            options->garbageEvery = n;
        } else {
            fprintf(stderr, "vantrel-simboard: unknown option %s\n", name.c_str());
            usage(stderr);
            return 2;
        }
        if (!ok) {
            fprintf(stderr, "vantrel-simboard: bad value for %s: %s\n", name.c_str(), value);
            return 2;
        }
    }
    return 0;
}

std::mutex printMutex;

void printLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(printMutex);
    fprintf(stdout, "%s\n", line.c_str());
    fflush(stdout);
}

SimulatedBoard::Millis every(double seconds) {
    return SimulatedBoard::Millis(static_cast<long>(seconds * 1000.0 + 0.5));
}

// Readings that change a little each time, so a reader can tell them apart.
void startStreams(SimulatedBoard& board, const Options& options) {
    bool quiet = options.quietStreams;
    if (options.motionPerSecond > 0) {
        board.startStream(
            every(1.0 / options.motionPerSecond),
            [k = 0]() mutable {
                ++k;
                return motion(static_cast<uint16_t>(200 + (k * 37) % 400),
                              static_cast<uint16_t>(100 + (k * 11) % 100));
            },
            quiet);
    }
    if (options.lightPerSecond > 0) {
        board.startStream(
            every(1.0 / options.lightPerSecond),
            [k = 0]() mutable {
                ++k;
                uint16_t vis = static_cast<uint16_t>(300 + (k * 25) % 200);
                return light(vis, static_cast<uint16_t>(vis / 3));
            },
            quiet);
    }
    if (options.nfcEvery > 0) {
        board.startStream(every(options.nfcEvery), [k = 0]() mutable {
            ++k;
            return nfc(4, 1, Bytes{0x04, 0xA1, 0x5C, static_cast<uint8_t>(k)});
        });
    }
    if (options.logEvery > 0) {
        std::string text = options.logText;
        board.startStream(every(options.logEvery), [text, k = 0]() mutable {
            return boardLog(text + " #" + std::to_string(++k));
        });
    }
    if (options.garbageEvery > 0) {
        board.startStream(every(options.garbageEvery),
                          [k = 0u]() mutable { return garbage(4, ++k); });
    }
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
    add(o.motionPerSecond, "motion %g/s");
    add(o.lightPerSecond, "light %g/s");
    add(o.nfcEvery, "NFC tap every %g s");
    add(o.logEvery, "board log every %g s");
    add(o.garbageEvery, "garbage every %g s");
    return text.empty() ? "nothing sent unasked" : text;
}

// The image bslsh flashes: an extended-address record, the version line it
// reads, the end-of-file record.
int writeImage(const Options& options) {
    FILE* image = fopen(options.imagePath.c_str(), "w");
    if (image == nullptr) {
        fprintf(stderr, "vantrel-simboard: cannot write %s: %s\n", options.imagePath.c_str(),
                strerror(errno));
        return 1;
    }
    fprintf(image, ":020000040000FA\n; version %s\n:00000001FF\n", options.firmware.text().c_str());
    if (fclose(image) != 0) {
        fprintf(stderr, "vantrel-simboard: cannot write %s: %s\n", options.imagePath.c_str(),
                strerror(errno));
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    int parsed = parseOptions(argc, argv, &options);
    if (parsed != 0) return parsed < 0 ? 0 : parsed;
    if (!options.imagePath.empty()) return writeImage(options);

    // The board's threads inherit this mask, so only sigwait below sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        SimulatedBoard board(options.firmware);
        board.setMode(options.mode);
        board.setCommError(static_cast<uint8_t>(options.commError));
        board.setAckWithoutVersion(options.ackWithoutVersion);
        if (options.garbageBeforeAck > 0) {
            board.setBytesBeforeAck(garbage(static_cast<size_t>(options.garbageBeforeAck)));
        }
        printLine("slave " + board.slavePath());
        if (!options.link.empty()) {
            if (!board.linkAt(options.link)) {
                fprintf(stderr, "vantrel-simboard: cannot link %s: %s\n", options.link.c_str(),
                        strerror(errno));
                return 1;
            }
            printLine("link " + options.link + " -> " + board.slavePath());
        }
        printLine("firmware " + options.firmware.text() + ", mode " + modeName(options.mode) +
                  "; " + rateText(options));
        board.setListener(printLine);
        startStreams(board, options);
        printLine("ready");

        int signal = 0;
        sigwait(&stopSignals, &signal);
        board.setListener(nullptr);
        printLine(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM") +
                  "; firmware " + board.version().text() + ", mode " + modeName(board.mode()));
    } catch (const std::exception& error) {
        fprintf(stderr, "vantrel-simboard: %s\n", error.what());
        return 1;
    }
    return 0;
}
