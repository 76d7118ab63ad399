#include "tools/fifo/fifo_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace vantrel::fifo {

bool isFifo(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

FifoReader::~FifoReader() {
    close();
}

FifoReader::FifoReader(FifoReader&& other) noexcept {
    *this = std::move(other);
}

FifoReader& FifoReader::operator=(FifoReader&& other) noexcept {
    if (this != &other) {
        close();
        std::swap(reader_, other.reader_);
        std::swap(keeper_, other.keeper_);
        std::swap(partial_, other.partial_);
        std::swap(partialSize_, other.partialSize_);
    }
    return *this;
}

bool FifoReader::open(const std::string& path, std::string* error) {
    close();
    auto fail = [&](const std::string& why) {
        *error = why;
        close();
        return false;
    };
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return fail(path + ": " + strerror(errno));
    if (!S_ISFIFO(info.st_mode)) return fail(path + " is not a FIFO");
    reader_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (reader_ < 0) return fail(path + ": " + strerror(errno));
    keeper_ = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (keeper_ < 0) return fail(path + " (its write end): " + strerror(errno));
    return true;
}

void FifoReader::close() {
    if (keeper_ >= 0) ::close(keeper_);
    if (reader_ >= 0) ::close(reader_);
    keeper_ = reader_ = -1;
    partialSize_ = 0;
}

bool FifoReader::setCapacity(int bytes) {
    return isOpen() && fcntl(reader_, F_SETPIPE_SZ, bytes) >= 0;
}

bool FifoReader::waitReadable(std::chrono::milliseconds timeout) const {
    struct pollfd readable = {reader_, POLLIN, 0};
    if (!isOpen() || poll(&readable, 1, static_cast<int>(timeout.count())) <= 0) return false;
    return (readable.revents & POLLIN) != 0;
}

int FifoReader::unreadBytes() const {
    int waiting = 0;
    if (!isOpen() || ioctl(reader_, FIONREAD, &waiting) != 0) return 0;
    return waiting;
}

std::vector<int32_t> FifoReader::readValues() {
    std::vector<int32_t> values;
    uint8_t buffer[4096];
    ssize_t got;
    while (isOpen() && (got = read(reader_, buffer, sizeof buffer)) > 0) {
        for (ssize_t i = 0; i < got; ++i) {
            partial_[partialSize_++] = buffer[i];
            if (partialSize_ < sizeof partial_) continue;
            int32_t value;
            memcpy(&value, partial_, sizeof value);  // host byte order, as the daemon wrote it
            partialSize_ = 0;
            values.push_back(value);
        }
    }
    return values;
}

std::vector<int32_t> FifoReader::drainValues(std::chrono::milliseconds quiet) {
    std::vector<int32_t> values;
    while (waitReadable(quiet)) {
        std::vector<int32_t> more = readValues();
        values.insert(values.end(), more.begin(), more.end());
    }
    partialSize_ = 0;
    return values;
}

}  // namespace vantrel::fifo
