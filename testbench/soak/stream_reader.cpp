#include "soak/stream_reader.h"

namespace vantrel::soak {

namespace {

// Two pages: about 2.8 s of one stream, so a 5 s stall loses values.
constexpr int kFifoBytes = 8192;
// After coming back and catching up: the daemon's next write may still carry
// the gap the pause made.
constexpr std::chrono::milliseconds kGrace{2000};
constexpr std::chrono::milliseconds kPoll{50};

}  // namespace

StreamReader::StreamReader(std::string path, Stream stream, const SpoilLedger& spoils)
    : path_(std::move(path)), check_(stream, spoils) {
    opened_ = open();
    lastValue_ = Clock::now();
    thread_ = std::thread([this] { run(); });
}

StreamReader::~StreamReader() {
    stopping_ = true;
    thread_.join();
}

bool StreamReader::open() {
    std::string error;
    return fifo_.open(path_, &error) && fifo_.setCapacity(kFifoBytes);
}

void StreamReader::pauseFor(std::chrono::milliseconds length, bool leave) {
    std::lock_guard<std::mutex> lock(mutex_);
    pauseUntil_ = Clock::now() + length;
    leaving_ = leave;
    disturbed_ = true;
}

SequenceCounts StreamReader::counts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return check_.counts();
}

void StreamReader::finish(uint64_t sent, std::chrono::milliseconds quiet) {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (check_.counts().next >= sent || Clock::now() - lastValue_ > quiet) {
                check_.closeAt(sent);
                return;
            }
        }
        std::this_thread::sleep_for(kPoll);
    }
}

void StreamReader::run() {
    while (!stopping_) {
        bool paused, leaving;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            paused = Clock::now() < pauseUntil_;
            leaving = leaving_;
        }
        if (paused) {
            if (leaving) fifo_.close();  // what was in the FIFO goes with it
            std::this_thread::sleep_for(kPoll);
            continue;
        }
        if (!fifo_.isOpen() && !open()) {  // back after leaving; the daemon keeps the FIFO
            fifo_.close();
            std::this_thread::sleep_for(kPoll);
            continue;
        }
        if (fifo_.waitReadable(kPoll)) readAvailable();
    }
}

// Reads what the FIFO holds; once it is empty after a pause has ended (not
// in a read that the pause began during), the reader has caught up and the
// grace period starts.
void StreamReader::readAvailable() {
    std::vector<int32_t> values = fifo_.readValues();
    if (values.empty()) return;
    int waiting = fifo_.unreadBytes();
    std::lock_guard<std::mutex> lock(mutex_);
    Clock::time_point now = Clock::now();
    bool excused = disturbed_ || now < excusedUntil_;
    for (int32_t value : values) check_.take(value, excused);
    lastValue_ = now;
    if (disturbed_ && now >= pauseUntil_ && waiting == 0) {
        disturbed_ = false;
        excusedUntil_ = now + kGrace;
    }
}

}  // namespace vantrel::soak
