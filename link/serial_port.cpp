// All terminal handling of the daemon lives in this file.
#include "link/serial_port.h"

#include <fcntl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "common/daemon_state.h"
#include "common/log.h"
#include "common/paths.h"
#include "platform/platform.h"

namespace vantrel {

namespace {

const char* selectedDevice = nullptr;
char defaultDevice[PATH_MAX];

constexpr uint32_t kLinkControlFlags = CS8 | CREAD | CLOCAL;
constexpr uint32_t kLinkSpeed = B115200;

}  // namespace

int openSerial(const char* path, uint32_t controlFlags, uint32_t speedFlags) {
    int fd = open(path, O_RDWR | O_NOCTTY);
    if (fd < 0) {
        logError("Cannot open serial port: %s (%s)\n", path, strerror(errno));
        return fd;
    }
    logVerbose("Opened serial port: %s.\n", path);

    struct termios settings;
    if (tcgetattr(fd, &settings) != 0) return fd;
    settings.c_iflag = 0;
    settings.c_oflag = 0;
    settings.c_lflag = 0;
    settings.c_cflag = controlFlags | speedFlags;
    settings.c_cc[VTIME] = 1;
    settings.c_cc[VMIN] = 1;
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        logError("Could not set termio on %s (%s)\n", path, strerror(errno));
        return fd;
    }
    logVerbose("%s serial port properties set\n", path);
    tcflush(fd, TCIOFLUSH);
    return fd;
}

void closeSerial() {
    int fd = gState.serialFd;
    if (fd <= 0) return;
    close(fd);
    gState.serialFd = -1;
}

const char* serialDevice() {
    if (selectedDevice != nullptr) return selectedDevice;
    return resolvePath(kPathSerialPort, defaultDevice, sizeof defaultDevice);
}

void selectSerialDevice(const char* path) {
    selectedDevice = path;
}

int reopenSerial() {
    closeSerial();
    int fd = openSerial(serialDevice(), kLinkControlFlags, kLinkSpeed);
    gState.serialFd = fd;
    return fd;
}

long readAll(int fd, uint8_t* buffer, size_t count) {
    size_t remaining = count;
    while (remaining > 0) {
        ssize_t got = read(fd, buffer + (count - remaining), remaining);
        if (got < 0) return got;
        if (got == 0) break;
        remaining -= static_cast<size_t>(got);
    }
    return static_cast<long>(count - remaining);
}

long writeAll(int fd, const uint8_t* buffer, size_t count) {
    size_t remaining = count;
    while (remaining > 0) {
        ssize_t wrote = write(fd, buffer + (count - remaining), remaining);
        if (wrote <= 0) return wrote;
        remaining -= static_cast<size_t>(wrote);
    }
    return static_cast<long>(count);
}

int waitReadable(int fd, long seconds, long microseconds) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    struct timeval limit = scaledTimeout(seconds, microseconds);
    return select(fd + 1, &readable, nullptr, nullptr, &limit);
}

int readByteTimeout(uint8_t* buffer, long seconds, long microseconds) {
    int fd = gState.serialFd;
    if (fd < 0) return 0;  // closed under us by the SIGINT handler
    if (waitReadable(fd, seconds, microseconds) <= 0) return 0;
    return readAll(fd, buffer, 1) > 0 ? 1 : 0;
}

}  // namespace vantrel
