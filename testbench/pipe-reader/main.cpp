// vantrel-pipe-reader: prints every 4-byte value that arrives in one of the
// daemon's sensor FIFOs, one line per value: "1030 (bytes 06 04 00 00)".
//
// The daemon opens the FIFO without blocking for every value and drops the
// value when no reader has it open, so this reader keeps the FIFO open all the
// time (and holds a write end of its own, so that it waits instead of seeing
// end-of-file between two values). Ends on SIGINT or SIGTERM.
//
// Usage: vantrel-pipe-reader FIFO [--wait SECONDS]
//   --wait   how long to wait for FIFO to appear (default 30 s)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

volatile sig_atomic_t stopRequested = 0;

void onStop(int) {
    stopRequested = 1;
}

bool isFifo(const char* path) {
    struct stat info;
    return stat(path, &info) == 0 && S_ISFIFO(info.st_mode);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && !(argc == 4 && strcmp(argv[2], "--wait") == 0)) {
        fputs("usage: vantrel-pipe-reader FIFO [--wait SECONDS]\n", stderr);
        return 2;
    }
    const char* path = argv[1];
    double waitSeconds = argc == 4 ? atof(argv[3]) : 30.0;

    struct sigaction action = {};
    action.sa_handler = onStop;  // no SA_RESTART: poll returns at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    for (int waited = 0; !isFifo(path); waited += 20) {
        if (stopRequested) return 0;
        if (waited >= waitSeconds * 1000) {
            fprintf(stderr, "vantrel-pipe-reader: no FIFO at %s\n", path);
            return 1;
        }
        usleep(20000);
    }
    int reader = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int keeper = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (reader < 0 || keeper < 0) {
        fprintf(stderr, "vantrel-pipe-reader: cannot open %s: %s\n", path, strerror(errno));
        return 1;
    }
    uint8_t value[4];
    size_t have = 0;
    while (!stopRequested) {
        struct pollfd readable = {reader, POLLIN, 0};
        if (poll(&readable, 1, 500) <= 0) continue;
        ssize_t got = read(reader, value + have, sizeof value - have);
        if (got <= 0) continue;
        have += static_cast<size_t>(got);
        if (have < sizeof value) continue;
        int32_t number;
        memcpy(&number, value, sizeof number);  // host byte order, as the daemon wrote it
        printf("%d (bytes %02X %02X %02X %02X)\n", number, value[0], value[1], value[2], value[3]);
        fflush(stdout);
        have = 0;
    }
    close(keeper);
    close(reader);
    return 0;
}
