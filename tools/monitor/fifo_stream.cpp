#include "fifo_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vantrel::monitor {

FifoStream::FifoStream(std::string name, std::string path, size_t historySize)
    : name_(std::move(name)),
      path_(std::move(path)),
      historySize_(historySize),
      rate_(Clock::now()) {}

FifoStream::~FifoStream() {
    if (keeper_ >= 0) close(keeper_);
    if (reader_ >= 0) close(reader_);
}

FifoStream::FifoStream(FifoStream&& other) noexcept
    : name_(std::move(other.name_)),
      path_(std::move(other.path_)),
      historySize_(other.historySize_),
      reader_(other.reader_),
      keeper_(other.keeper_),
      partialSize_(other.partialSize_),
      count_(other.count_),
      history_(std::move(other.history_)),
      rate_(std::move(other.rate_)) {
    memcpy(partial_, other.partial_, sizeof partial_);
    other.reader_ = other.keeper_ = -1;
}

bool FifoStream::tryOpen(std::string* error) {
    if (isOpen()) return false;
    struct stat info;
    if (stat(path_.c_str(), &info) != 0) return false;  // not there yet
    if (!S_ISFIFO(info.st_mode)) {
        *error = path_ + " is not a FIFO";
        return false;
    }
    // The daemon opens without blocking and drops a value nobody reads, so the
    // read end stays open all the time; our own write end keeps end-of-file away.
    reader_ = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (reader_ < 0) {
        *error = path_ + ": " + strerror(errno);
        return false;
    }
    keeper_ = open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    rate_ = RateMeter(Clock::now());
    return true;
}

std::vector<int32_t> FifoStream::readValues() {
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

void FifoStream::record(int32_t value, Clock::time_point now) {
    ++count_;
    history_.push_back(value);
    if (history_.size() > historySize_) history_.pop_front();
    rate_.add(now);
}

std::optional<int32_t> FifoStream::last() const {
    if (history_.empty()) return std::nullopt;
    return history_.back();
}

}  // namespace vantrel::monitor
