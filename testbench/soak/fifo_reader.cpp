#include "soak/fifo_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>

namespace vantrel::soak {

namespace {

// Two pages: about 2.8 s of one stream, so a 5 s stall loses values.
constexpr int kFifoBytes = 8192;
// After coming back and catching up: the daemon's next write may still carry
// the gap the pause made.
constexpr std::chrono::milliseconds kGrace{2000};
constexpr int kPollMillis = 50;

}  // namespace

FifoReader::FifoReader(std::string path, Stream stream, const SpoilLedger& spoils)
    : path_(std::move(path)), check_(stream, spoils) {
    opened_ = open();
    lastValue_ = Clock::now();
    thread_ = std::thread([this] { run(); });
}

FifoReader::~FifoReader() {
    stopping_ = true;
    thread_.join();
    close();
}

bool FifoReader::open() {
    reader_ = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (reader_ < 0) return false;
    keeper_ = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    fcntl(reader_, F_SETPIPE_SZ, kFifoBytes);
    return keeper_ >= 0;
}

void FifoReader::close() {
    if (reader_ >= 0) ::close(reader_);
    if (keeper_ >= 0) ::close(keeper_);
    reader_ = keeper_ = -1;
    carried_ = 0;  // what was in the FIFO goes with it
}

void FifoReader::leaveFor(std::chrono::milliseconds away) {
    disturb(away, true);
}

void FifoReader::stallFor(std::chrono::milliseconds stall) {
    disturb(stall, false);
}

void FifoReader::disturb(std::chrono::milliseconds length, bool leave) {
    std::lock_guard<std::mutex> lock(mutex_);
    pauseUntil_ = Clock::now() + length;
    leaving_ = leave;
    disturbed_ = true;
}

SequenceCounts FifoReader::counts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return check_.counts();
}

void FifoReader::finish(uint64_t sent, std::chrono::milliseconds quiet) {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (check_.counts().next >= sent || Clock::now() - lastValue_ > quiet) {
                check_.closeAt(sent);
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMillis));
    }
}

void FifoReader::run() {
    while (!stopping_) {
        bool paused, leaving;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            paused = Clock::now() < pauseUntil_;
            leaving = leaving_;
        }
        if (paused) {
            if (leaving && reader_ >= 0) close();
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollMillis));
            continue;
        }
        if (reader_ < 0 && !open()) {  // back after leaving; the daemon keeps the FIFO
            close();
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollMillis));
            continue;
        }
        struct pollfd ready = {reader_, POLLIN, 0};
        if (poll(&ready, 1, kPollMillis) > 0) readAvailable();
    }
}

// Reads what the FIFO holds; once it is empty after a pause has ended (not
// in a read that the pause began during), the reader has caught up and the
// grace period starts.
void FifoReader::readAvailable() {
    unsigned char buffer[4096];
    ssize_t got = read(reader_, buffer, sizeof buffer);
    if (got <= 0) return;
    int waiting = 0;
    ioctl(reader_, FIONREAD, &waiting);
    std::lock_guard<std::mutex> lock(mutex_);
    Clock::time_point now = Clock::now();
    bool excused = disturbed_ || now < excusedUntil_;
    for (ssize_t i = 0; i < got; ++i) {
        partial_[carried_++] = buffer[i];
        if (carried_ < 4) continue;
        int32_t value;
        memcpy(&value, partial_, sizeof value);
        check_.take(value, excused);
        carried_ = 0;
    }
    lastValue_ = now;
    if (disturbed_ && now >= pauseUntil_ && waiting == 0) {
        disturbed_ = false;
        excusedUntil_ = now + kGrace;
    }
}

}  // namespace vantrel::soak
