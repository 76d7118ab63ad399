/*
 * The floor: the least a process can do to take motion frames off the link
 * and hand each value to its FIFO. Per frame it makes exactly the calls the
 * daemon's receive path must make: one select, eight one-byte reads (lead
 * byte, six payload bytes, checksum), one open, one write, one close.
 *
 * Usage: floor <serial device> <fifo>    (ends at SIGINT or SIGTERM)
 * It answers no start-up exchange: the benchmark only streams frames at it.
 */
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

static volatile sig_atomic_t running = 1;

static void stop(int signal) {
    (void)signal;
    running = 0;
}

static int readByte(int fd, uint8_t* byte) {
    return read(fd, byte, 1) == 1;
}

static void handleFrame(int port, const char* fifo) {
    uint8_t payload[6];
    uint8_t sum = 0, checksum = 0;
    for (int i = 0; i < 6; ++i) {
        if (!readByte(port, &payload[i])) return;
        sum = (uint8_t)(sum + payload[i]);
    }
    if (!readByte(port, &checksum) || checksum != sum || payload[0] != 'M') return;
    int32_t value = (payload[1] << 8 | payload[2]) + (payload[3] << 8 | payload[4]);
    int out = open(fifo, O_WRONLY | O_NONBLOCK);
    if (out < 0) return;
    if (write(out, &value, sizeof value) < 0) { /* dropped, like the daemon */
    }
    close(out);
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: floor <serial device> <fifo>\n");
        return 2;
    }
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = stop;
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);
    signal(SIGPIPE, SIG_IGN);

    int port = open(argv[1], O_RDWR | O_NOCTTY);
    if (port < 0) {
        perror(argv[1]);
        return 1;
    }
    struct termios settings;
    if (tcgetattr(port, &settings) == 0) {
        cfmakeraw(&settings);
        settings.c_cc[VMIN] = 1;
        settings.c_cc[VTIME] = 1;
        tcsetattr(port, TCSANOW, &settings);
    }
    while (running) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(port, &readable);
        struct timeval limit = {10, 0};
        if (select(port + 1, &readable, NULL, NULL, &limit) <= 0) continue;
        uint8_t lead;
        if (!readByte(port, &lead)) continue;
        if (lead == 'U') handleFrame(port, argv[2]);
    }
    close(port);
    return 0;
}
