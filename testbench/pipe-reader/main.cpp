// vantrel-pipe-reader: prints every 4-byte value that arrives in one of the
// daemon's sensor FIFOs, one line per value: "1030 (bytes 06 04 00 00)".
//
// It reads through the tools' FIFO reader (tools/fifo/fifo_reader.h), which
// keeps the FIFO open all the time: the daemon drops a value when nobody has
// the FIFO open. Ends on SIGINT or SIGTERM.
//
// Usage: vantrel-pipe-reader FIFO [--wait SECONDS]
//   --wait   how long to wait for FIFO to appear (default 30 s)
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/cli/stop_signals.h"
#include "tools/fifo/fifo_reader.h"

namespace {

using vantrel::fifo::FifoReader;
using Millis = std::chrono::milliseconds;

constexpr Millis kLookEvery{20};  // for a FIFO that is not there yet
constexpr Millis kPollFor{500};

// True once the FIFO is there; false after `seconds` or on a stop signal.
bool waitForFifo(const char* path, double seconds) {
    for (Millis waited{0}; !vantrel::fifo::isFifo(path); waited += kLookEvery) {
        if (vantrel::cli::stopRequested() || waited.count() >= seconds * 1000) return false;
        usleep(static_cast<useconds_t>(kLookEvery.count() * 1000));
    }
    return true;
}

void printValue(int32_t number) {
    uint8_t bytes[sizeof number];
    memcpy(bytes, &number, sizeof number);  // host byte order, as the daemon wrote it
    printf("%d (bytes %02X %02X %02X %02X)\n", number, bytes[0], bytes[1], bytes[2], bytes[3]);
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && !(argc == 4 && strcmp(argv[2], "--wait") == 0)) {
        fputs("usage: vantrel-pipe-reader FIFO [--wait SECONDS]\n", stderr);
        return 2;
    }
    const char* path = argv[1];
    double waitSeconds = argc == 4 ? atof(argv[3]) : 30.0;

    vantrel::cli::StopSignals stopSignals;  // poll returns at once

    if (!waitForFifo(path, waitSeconds)) {
        if (vantrel::cli::stopRequested()) return 0;
        fprintf(stderr, "vantrel-pipe-reader: no FIFO at %s\n", path);
        return 1;
    }
    FifoReader reader;
    std::string error;
    if (!reader.open(path, &error)) {
        fprintf(stderr, "vantrel-pipe-reader: %s\n", error.c_str());
        return 1;
    }
    while (!vantrel::cli::stopRequested()) {
        if (!reader.waitReadable(kPollFor)) continue;
        for (int32_t value : reader.readValues()) printValue(value);
    }
    return 0;
}
