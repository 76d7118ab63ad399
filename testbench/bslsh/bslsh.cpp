// bslsh stand-in: the bootstrap-loader tool the daemon runs, for hosts and
// tests. It speaks the simulated board's loader protocol (see
// testbench/simboard/bsl_protocol.h) and honours exactly two command lines:
//
//   bslsh --device DEV --checkComm
//       Does the board's bootstrap loader answer on DEV? Sends the sync byte
//       (up to four times, each once the line is quiet; never the entry
//       sequence, so a board running its firmware stays there) and exits 0
//       when the loader acknowledges, 1 when not (within about 4 s).
//   bslsh --device DEV --bsl --eraseall --reset --flash IMAGE
//       Reads the firmware version from IMAGE, enters the loader, syncs,
//       erases, flashes that version and resets the board into it.
//
// IMAGE is the desk's firmware image (testbench/simboard/simulated_image.h:
// Intel HEX carrying the version in one data record). The image is read
// before the board is touched: an image without that record leaves the board
// as it was.
//
// When VANTREL_BSLSH_ARGV_LOG names a file, the command line (arguments
// joined by one blank) is appended to it as one line, tagged when the tool
// started with SIGPIPE blocked.
//
// VANTREL_TIME_SCALE multiplies its waits as it does the daemon's (a quick
// run of a test sees "no loader" in tens of milliseconds, not two seconds).
// No wait drops below a few milliseconds, so a board that answers at once
// is still heard; the 20 s limit on the whole run stays as it is: it only
// ends a run that hangs. A scale that is not a number of 0 or more is
// refused (status 2).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "platform/host/host_env.h"
#include "simboard/bsl_protocol.h"
#include "simboard/simulated_image.h"
#include "wire/frames.h"

namespace {

using vantrel::wire::FirmwareVersion;
namespace sb = vantrel::simboard;
using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

constexpr int kExitOk = 0;
constexpr int kExitNoLoader = 1;
constexpr int kExitUsage = 2;      // any other command line: usage on standard error
constexpr int kExitBadImage = 3;   // unreadable, or without the simulated image's version record
constexpr int kExitNoDevice = 4;   // the device cannot be opened
constexpr int kExitRefused = 5;    // the loader refused a step or stopped answering
constexpr int kExitTimeLimit = 6;  // the whole run's limit; every wait in it is bounded too
constexpr unsigned kTimeLimitSeconds = 20;

constexpr int kSyncTries = 4;

// The waits at real time, and the least each becomes when scaled: long
// enough for a simulated board's answer on a busy machine.
struct Wait {
    int millis;
    int leastMillis;
};
constexpr Wait kSyncWait{400, 100};
constexpr Wait kQuiet{50, 5};          // a line this long without a byte is quiet
constexpr Wait kQuietLimit{500, 100};  // give up waiting for quiet after this
constexpr Wait kCommandWait{1000, 200};

// VANTREL_TIME_SCALE as the daemon reads it; below 0 when it is no good.
const double timeScale = vantrel::hostTimeScale();

Millis scaled(Wait wait) {
    double millis = wait.millis * timeScale;
    return Millis(millis < wait.leastMillis ? wait.leastMillis : static_cast<int>(millis + 0.5));
}

void say(const std::string& text) {
    printf("bslsh: %s\n", text.c_str());
    fflush(stdout);
}

void usage() {
    fputs(
        "usage: bslsh --device DEV --checkComm\n"
        "       bslsh --device DEV --bsl --eraseall --reset --flash IMAGE\n"
        "(stand-in for the panel's bootstrap-loader tool; IMAGE is the test bench's simulated\n"
        "image, see testbench/simboard/simulated_image.h)\n",
        stderr);
}

void logArguments(int argc, char** argv) {
    const char* path = getenv("VANTREL_BSLSH_ARGV_LOG");
    if (path == nullptr || *path == '\0') return;
    std::string line;
    for (int i = 0; i < argc; ++i) line += (i ? " " : "") + std::string(argv[i]);
    // The daemon blocks SIGPIPE for itself only: a tool that inherits it
    // blocked would never be stopped by a broken pipe. Shown so a test sees it.
    sigset_t blocked;
    if (sigprocmask(SIG_BLOCK, nullptr, &blocked) == 0 && sigismember(&blocked, SIGPIPE) == 1) {
        line += " [started with SIGPIPE blocked]";
    }
    std::ofstream(path, std::ios::app) << line << '\n';
}

void onTimeLimit(int) {
    static const char kText[] = "bslsh: time limit reached\n";
    (void)!write(STDOUT_FILENO, kText, sizeof kText - 1);
    _exit(kExitTimeLimit);
}

std::optional<FirmwareVersion> readImageVersion(const std::string& path) {
    std::ifstream image(path, std::ios::binary);
    std::ostringstream text;
    text << image.rdbuf();
    if (!image) return std::nullopt;
    return sb::simulatedImageVersion(text.str());
}

class Link {
  public:
    explicit Link(const std::string& device) {
        fd_ = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ >= 0) sb::makeRaw(fd_);
    }
    ~Link() {
        if (fd_ >= 0) close(fd_);
    }
    bool isOpen() const { return fd_ >= 0; }

    // A write that finds no room for kCommandWait gives up.
    bool send(const uint8_t* bytes, size_t size) {
        return sb::writeAll(fd_, bytes, size, scaled(kCommandWait), true);
    }

    // The next byte within `wait`, or -1.
    int receive(Millis wait) {
        auto deadline = Clock::now() + wait;
        for (;;) {
            uint8_t byte;
            if (read(fd_, &byte, 1) == 1) return byte;
            auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
            if (left <= 0) return -1;
            struct pollfd readable = {fd_, POLLIN, 0};
            poll(&readable, 1, static_cast<int>(left));
        }
    }

    void dropInput() { tcflush(fd_, TCIFLUSH); }

    // Reads and drops bytes until the line has been quiet for a while (a
    // loader sends nothing unasked; firmware frames may still be in flight).
    void waitForQuiet() {
        auto limit = Clock::now() + scaled(kQuietLimit);
        while (receive(scaled(kQuiet)) >= 0 && Clock::now() < limit) {
        }
    }

    // Sync: on a quiet line, the first byte after the sync byte must be the ACK.
    bool sync() {
        for (int attempt = 0; attempt < kSyncTries; ++attempt) {
            dropInput();
            waitForQuiet();
            if (!send(&sb::kBslSync, 1)) return false;
            if (receive(scaled(kSyncWait)) == sb::kBslAck) return true;
        }
        return false;
    }

    // One loader command; true on ACK. Other bytes before the answer are
    // skipped; on any other outcome `failure` is said.
    bool command(const uint8_t* bytes, size_t size, const char* failure) {
        bool sent = send(bytes, size);
        Millis wait = scaled(kCommandWait);
        auto deadline = Clock::now() + wait;
        while (sent && Clock::now() < deadline) {
            int answer = receive(wait);
            if (answer == sb::kBslAck) return true;
            if (answer == sb::kBslNak || answer < 0) break;
        }
        say(failure);
        return false;
    }

  private:
    int fd_ = -1;
};

// kExitOk once the loader on an open link has answered the sync, first
// entered when `enter`; else the status to end with, after saying why.
int reachLoader(Link& link, const std::string& device, bool enter) {
    if (!link.isOpen()) {
        say("cannot open " + device + ": " + strerror(errno));
        return kExitNoDevice;
    }
    if (enter) {
        say("entering the bootstrap loader on " + device);
        link.dropInput();
        if (!link.send(sb::kBslEntry, sizeof sb::kBslEntry)) return kExitNoLoader;
    }
    if (link.sync()) return kExitOk;
    say("no bootstrap loader answers on " + device);
    return kExitNoLoader;
}

int checkComm(const std::string& device) {
    Link link(device);
    int status = reachLoader(link, device, false);
    if (status == kExitOk) say("bootstrap loader answers on " + device);
    return status;
}

int flash(const std::string& device, const std::string& image) {
    auto firmware = readImageVersion(image);
    if (!firmware) {
        say("no simulated image's version record in " + image + " (or cannot read it)");
        return kExitBadImage;
    }
    Link link(device);
    if (int status = reachLoader(link, device, true); status != kExitOk) return status;
    if (!link.command(&sb::kBslErase, 1, "erase failed")) return kExitRefused;
    say("erased; flashing " + firmware->text() + " from " + image);
    uint8_t sum = sb::bslFlashSum(firmware->major, firmware->minor, firmware->patch);
    const uint8_t flashCommand[] = {sb::kBslFlash, firmware->major, firmware->minor,
                                    firmware->patch, sum};
    if (!link.command(flashCommand, sizeof flashCommand, "flash refused") ||
        !link.command(&sb::kBslReset, 1, "reset failed")) {
        return kExitRefused;
    }
    say("flashed " + firmware->text() + "; board reset");
    return kExitOk;
}

bool is(const char* argument, const char* expected) {
    return strcmp(argument, expected) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    logArguments(argc, argv);
    signal(SIGALRM, onTimeLimit);
    alarm(kTimeLimitSeconds);
    if (timeScale < 0.0) {
        fprintf(stderr, "bslsh: VANTREL_TIME_SCALE=\"%s\" is not a number of 0 or more\n",
                getenv("VANTREL_TIME_SCALE"));
        return kExitUsage;
    }

    if (argc == 4 && is(argv[1], "--device") && is(argv[3], "--checkComm")) {
        return checkComm(argv[2]);
    }
    if (argc == 8 && is(argv[1], "--device") && is(argv[3], "--bsl") && is(argv[4], "--eraseall") &&
        is(argv[5], "--reset") && is(argv[6], "--flash")) {
        return flash(argv[2], argv[7]);
    }
    usage();
    return kExitUsage;
}
