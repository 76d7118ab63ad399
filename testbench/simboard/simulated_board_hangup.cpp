// The board going away: closing its side of the pty hangs up the host's port,
// as unplugging the board does on the panel.
#include <sys/ioctl.h>
#include <unistd.h>

#include <thread>

#include "simboard/simulated_board.h"

namespace vantrel::simboard {

namespace {

using Clock = std::chrono::steady_clock;

// The host has read everything once the slave's input queue stays empty this
// long: bytes written to the master reach that queue a little later.
constexpr SimulatedBoard::Millis kQueuePoll{2};
constexpr int kEmptyPollsNeeded = 10;
constexpr SimulatedBoard::Millis kDrainLimit{2000};
constexpr SimulatedBoard::Millis kCloseLimit{5000};

}  // namespace

void SimulatedBoard::vanish() {
    waitUntilHostHasRead(kDrainLimit);  // a host that stopped reading loses the rest
    if (std::this_thread::get_id() == receiver_.get_id()) {
        closeLink();
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (vanished_) return;
    vanishRequested_ = true;
    uint8_t wake = 1;
    (void)!write(wakeWrite_, &wake, 1);
    changed_.wait_for(lock, kCloseLimit, [this]() { return vanished_ || stopping_; });
}

void SimulatedBoard::vanishOnCommand(uint8_t letter) {
    setLocked(vanishOn_, std::optional<uint8_t>(letter));
}

bool SimulatedBoard::takeVanishOn(uint8_t letter) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!vanishOn_ || *vanishOn_ != letter) return false;
    vanishOn_.reset();
    return true;
}

bool SimulatedBoard::waitUntilHostHasRead(Millis timeout) {
    auto deadline = Clock::now() + timeout;
    int emptyPolls = 0;
    while (emptyPolls < kEmptyPollsNeeded) {
        int unread = unreadByHost();
        if (unread < 0) return true;  // nothing can be read any more
        emptyPolls = unread == 0 ? emptyPolls + 1 : 0;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kQueuePoll);
    }
    return true;
}

bool SimulatedBoard::waitUntilBoardHasRead(Millis timeout) {
    auto deadline = Clock::now() + timeout;
    size_t commandsSeen = commands().size();
    int quietPolls = 0;
    while (quietPolls < kEmptyPollsNeeded * 5) {
        int unread = 0;
        {
            std::lock_guard<std::mutex> lock(writeMutex_);
            if (master_ < 0 || ioctl(master_, FIONREAD, &unread) != 0) return true;
        }
        size_t commandsNow = commands().size();
        quietPolls = unread == 0 && commandsNow == commandsSeen ? quietPolls + 1 : 0;
        commandsSeen = commandsNow;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kQueuePoll);
    }
    return true;
}

int SimulatedBoard::unreadByHost() {
    std::lock_guard<std::mutex> lock(writeMutex_);
    int unread = 0;
    if (slaveKeeper_ < 0 || ioctl(slaveKeeper_, FIONREAD, &unread) != 0) return -1;
    return unread;
}

void SimulatedBoard::closeLink() {
    {
        std::lock_guard<std::mutex> lock(writeMutex_);
        if (master_ < 0) return;
        // The device node goes first, as an unplugged adapter's does: once
        // the pty is released its number may go to another process, and a
        // link left behind would lead bslsh or a restarted daemon there.
        if (!linkPath_.empty()) unlink(linkPath_.c_str());
        // Closing the master hangs the slave up; the keeper goes too, so
        // that the pty is released as a board that is gone would leave it.
        close(master_);
        close(slaveKeeper_);
        master_ = slaveKeeper_ = -1;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        vanished_ = true;
        vanishRequested_ = false;
    }
    rxState_ = RxState::Idle;
    changed_.notify_all();
    emit("-- the board has vanished: pty closed, the host's port hung up");
}

void SimulatedBoard::drainWakePipe() {
    uint8_t buffer[16];
    while (read(wakeRead_, buffer, sizeof buffer) > 0) {
    }
}

}  // namespace vantrel::simboard
