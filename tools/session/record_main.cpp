// vantrel-session-record: records a session (tools/README.md) from a serial
// device or from a simulated board. It plays the daemon's start-up exchange
// (identify, LED, NFC) and keeps each answer as an "@on" block, then writes
// what the board sends unasked for a while as the "@stream" part. What it is
// doing goes to standard error as it goes, the session to --output or to
// standard output.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "common/paths.h"
#include "session/serial_capture.h"
#include "session/simulated_source.h"
#include "tools/cli/options.h"
#include "tools/cli/stop_signals.h"
#include "tools/proc/port_holders.h"

namespace {

using namespace vantrel;
using session::Millis;
using wire::Bytes;

constexpr char kTool[] = "vantrel-session-record";

// One line on standard error: what it is doing, or what went wrong.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
    fprintf(stderr, "%s: ", kTool);
    va_list args;
    va_start(args, format);
    // clang 14's analyzer loses the va_start above on one of this file's paths.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
}

struct Options {
    std::string device;
    bool simulated = false;
    bool exchange = true;
    double seconds = 5;
    double led = 1;  // on when not 0, as the daemon's -e and -n
    double nfc = 0;
    std::string args;
    std::string what;
    std::string board;
    double minGapMillis = 20;
    std::string output;
    // The simulated board.
    wire::FirmwareVersion firmware;
    session::SimulatedStreams streams;
};

void usage(FILE* out) {
    fputs(
        "Usage: vantrel-session-record (--device PATH | --simulated) [options]\n"
        "  --device PATH     a serial device, opened raw at 115200 baud, 8N1\n"
        "  --simulated       a simulated board on a pseudo-terminal (options below)\n"
        "  --seconds S       how long to record what the board sends unasked (default 5;\n"
        "                    Ctrl-C ends sooner)\n"
        "  --no-exchange     send no start-up commands; record the stream only\n"
        "  --led N, --nfc N  LED and NFC reader on when N is not 0 (default 1 and 0)\n"
        "  --args TEXT       the daemon's command line for the replay\n"
        "                    (default \"-m -l -e LED -n NFC\")\n"
        "  --what TEXT       what the session shows (its \"# what:\" line)\n"
        "  --board TEXT      which board it is (its \"# board:\" line)\n"
        "  --min-gap MS      a pause this long or longer becomes an @delay line (default 20)\n"
        "  --output FILE     write the session there (default: standard output)\n"
        "Simulated board: --version X.Y.Z, --motion-hz R, --light-hz R, --nfc-every S,\n"
        "  --log-every S (readings change a little each time).\n",
        out);
}

std::vector<cli::Option> optionTable(Options* o) {
    return {cli::text("--device", &o->device),
            cli::flag("--simulated", &o->simulated),
            cli::flag("--no-exchange", &o->exchange, false),
            cli::number("--seconds", &o->seconds),
            cli::number("--led", &o->led),
            cli::number("--nfc", &o->nfc),
            cli::text("--args", &o->args),
            cli::text("--what", &o->what),
            cli::text("--board", &o->board),
            cli::number("--min-gap", &o->minGapMillis),
            cli::text("--output", &o->output),
            cli::parsed("--version", &o->firmware, wire::FirmwareVersion::parse),
            cli::number("--motion-hz", &o->streams.motionHz),
            cli::number("--light-hz", &o->streams.lightHz),
            cli::number("--nfc-every", &o->streams.nfcEvery),
            cli::number("--log-every", &o->streams.logEvery)};
}

// Nothing when the options were read, else the exit status.
std::optional<int> parseOptions(int argc, char** argv, Options* o) {
    if (std::optional<int> status = cli::readOptions(argc, argv, kTool, optionTable(o), usage)) {
        return status;
    }
    if (o->simulated == !o->device.empty()) {
        say("give either --device PATH or --simulated");
        return cli::kStatusUsage;
    }
    return std::nullopt;
}

// The argument of the LED and NFC commands.
uint8_t onByte(double option) {
    return option != 0 ? 1 : 0;
}

std::string utcNow() {
    char text[32];
    time_t now = time(nullptr);
    struct tm parts;
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&now, &parts));
    return text;
}

void writeHeader(FILE* out, const Options& o, const std::string& firmware) {
    std::string args = o.args.empty() ? "-m -l -e " + std::to_string(onByte(o.led)) + " -n " +
                                            std::to_string(onByte(o.nfc))
                                      : o.args;
    std::string board = !o.board.empty() ? o.board
                        : o.simulated    ? "simulated sensor board"
                                         : "sensor board on " + o.device;
    fprintf(out, "# board: %s\n# firmware: %s\n# date: %s\n", board.c_str(), firmware.c_str(),
            utcNow().c_str());
    fprintf(out, "# what: %s\n# args: %s\n",
            o.what.empty() ? "recorded by vantrel-session-record" : o.what.c_str(), args.c_str());
}

// A recording shares the port with nobody: a second reader would take bytes
// away from it (and from the daemon). False, after saying who holds it.
bool portIsFree(const std::string& device) {
    struct stat node;
    if (stat(device.c_str(), &node) != 0) return true;  // the open says what is wrong
    std::vector<pid_t> holders = proc::deviceUsers(proc::scanProcesses(), device, node).holders;
    for (pid_t pid : holders) {
        std::string who = proc::describeProcess(pid);
        if (proc::isDaemonProcess(pid)) {
            say("the daemon, %s, holds %s: stop it first (on the panel: stop %s), then record",
                who.c_str(), device.c_str(), kServiceName);
        } else {
            say("%s holds %s: end it first, then record", who.c_str(), device.c_str());
        }
    }
    return holders.empty();
}

int record(const Options& o, const std::string& device, session::SimulatedSource* board,
           FILE* out) {
    std::string error;
    int fd = session::openRawSerial(device, &error);
    if (fd < 0) {
        say("%s", error.c_str());
        return 1;
    }
    say("opened %s", device.c_str());
    std::vector<session::CapturedAnswer> answers;
    if (o.exchange) {
        const std::pair<uint8_t, uint8_t> commands[] = {
            {kCommandIdentify, 0}, {kCommandLed, onByte(o.led)}, {kCommandNfc, onByte(o.nfc)}};
        for (const auto& [letter, argument] : commands) {
            answers.push_back(session::captureAnswer(fd, letter, argument));
            const Bytes& got = answers.back().bytes;
            say("sent %c %02X, answer: %s", letter, argument,
                got.empty() ? "none" : wire::describeBoardBytes(got).c_str());
        }
    }
    if (board != nullptr) board->startStreams(o.streams);
    std::string firmware = answers.empty() ? "unknown" : session::versionIn(answers[0].bytes);
    writeHeader(out, o, firmware);
    for (const session::CapturedAnswer& answer : answers) {
        fprintf(out, "@on %c\n", answer.letter);
        for (const std::string& line : session::sessionLines(answer.bytes)) {
            fprintf(out, "%s\n", line.c_str());
        }
    }
    fputs("@stream\n", out);
    fflush(out);  // a recording in progress can be followed
    say("recording what the board sends for %g s (Ctrl-C ends sooner)", o.seconds);
    auto started = std::chrono::steady_clock::now();
    session::captureStream(
        fd, Millis(std::lround(o.seconds * 1000.0)), Millis(static_cast<long>(o.minGapMillis)),
        cli::stopFlag(), out, [&](const session::StreamProgress& done) {
            std::chrono::duration<double> spent = std::chrono::steady_clock::now() - started;
            say("%.1f s: %zu lines, %zu bytes", spent.count(), done.lines, done.bytes);
        });
    close(fd);
    say("done%s%s", o.output.empty() ? "" : ": ", o.output.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (std::optional<int> status = parseOptions(argc, argv, &options)) return *status;
    cli::StopSignals stopSignals;  // a wait ends at once, and the recording is closed

    // Before the output file is made: a refused recording leaves nothing behind.
    if (!options.simulated && !portIsFree(options.device)) return 1;
    FILE* out = options.output.empty() ? stdout : fopen(options.output.c_str(), "w");
    if (out == nullptr) {
        perror(options.output.c_str());
        return 1;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> closeAtEnd(out == stdout ? nullptr : out, fclose);
    std::unique_ptr<session::SimulatedSource> board;
    if (options.simulated) {
        std::string error;
        board = session::startSimulatedBoard(options.firmware, &error);
        if (!board) {
            say("%s", error.c_str());
            return 1;
        }
    }
    return record(options, board ? board->devicePath() : options.device, board.get(), out);
}
