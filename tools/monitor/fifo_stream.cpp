#include "fifo_stream.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace vantrel::monitor {

FifoStream::FifoStream(std::string name, std::string path, size_t historySize)
    : name_(std::move(name)),
      path_(std::move(path)),
      historySize_(historySize),
      rate_(Clock::now()) {}

bool FifoStream::tryOpen(std::string* error) {
    if (isOpen()) return false;
    struct stat info;
    if (stat(path_.c_str(), &info) != 0) return false;  // not there yet
    if (!reader_.open(path_, error)) return false;
    rate_ = RateMeter(Clock::now());
    return true;
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
