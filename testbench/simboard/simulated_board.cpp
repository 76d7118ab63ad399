#include "simboard/simulated_board.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>

#include "simboard/bsl_protocol.h"

namespace vantrel::simboard {

namespace {

using Clock = std::chrono::steady_clock;

std::runtime_error systemError(const std::string& what) {
    return std::runtime_error(what + ": " + strerror(errno));
}

// The modes by the names a command line gives them.
struct ModeName {
    BoardMode mode;
    const char* name;
};
constexpr ModeName kModeNames[] = {
    {BoardMode::Firmware, "firmware"},
    {BoardMode::BootstrapLoader, "bsl"},
    {BoardMode::Silent, "silent"},
};

// The host has read everything once the slave's input queue stays empty this
// long: bytes written to the master reach that queue a little later.
constexpr SimulatedBoard::Millis kQueuePoll{2};
constexpr int kEmptyPollsNeeded = 10;
constexpr SimulatedBoard::Millis kDrainLimit{2000};
constexpr SimulatedBoard::Millis kCloseLimit{5000};

SimulatedBoard::Millis every(double seconds) {
    return SimulatedBoard::Millis(std::max(1L, std::lround(seconds * 1000.0)));
}

}  // namespace

void makeRaw(int fd) {
    struct termios settings;
    if (tcgetattr(fd, &settings) != 0) return;
    cfmakeraw(&settings);
    cfsetispeed(&settings, B115200);
    cfsetospeed(&settings, B115200);
    tcsetattr(fd, TCSANOW, &settings);
}

bool writeAll(int fd, const uint8_t* bytes, size_t size, std::chrono::milliseconds roomWait,
              bool steady) {
    size_t done = 0;
    auto deadline = Clock::now() + roomWait;
    while (done < size) {
        ssize_t wrote = write(fd, bytes + done, size - done);
        if (wrote > 0) {
            done += static_cast<size_t>(wrote);
            if (steady) deadline = Clock::now() + roomWait;
            continue;
        }
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote < 0 && errno != EAGAIN) return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;  // nobody reads: drop the rest
        struct pollfd room = {fd, POLLOUT, 0};
        poll(&room, 1, static_cast<int>(left.count()));
    }
    return true;
}

const char* modeName(BoardMode mode) {
    for (const ModeName& known : kModeNames) {
        if (known.mode == mode) return known.name;
    }
    return "?";
}

std::optional<BoardMode> parseMode(const std::string& name) {
    for (const ModeName& known : kModeNames) {
        if (name == known.name) return known.mode;
    }
    return std::nullopt;
}

SimulatedBoard::SimulatedBoard(FirmwareVersion firmware) : firmware_(firmware) {
    openPty();
    receiver_ = std::thread(&SimulatedBoard::receiveLoop, this);
    streamer_ = std::thread(&SimulatedBoard::streamLoop, this);
}

SimulatedBoard::~SimulatedBoard() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    uint8_t wake = 1;
    (void)!write(wakeWrite_, &wake, 1);
    receiver_.join();
    streamer_.join();
    if (!linkPath_.empty()) unlink(linkPath_.c_str());
    for (int fd : {master_, slaveKeeper_, wakeRead_, wakeWrite_}) {
        if (fd >= 0) close(fd);
    }
}

void SimulatedBoard::openPty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) throw systemError("posix_openpt");
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) throw systemError("grantpt/unlockpt");
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) throw systemError("ptsname");
    slavePath_ = name;
    makeRaw(master_);
    slaveKeeper_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slaveKeeper_ < 0) throw systemError("open " + slavePath_);
    makeRaw(slaveKeeper_);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) throw systemError("pipe2");
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
}

bool SimulatedBoard::linkAt(const std::string& path) {
    struct stat existing;
    if (lstat(path.c_str(), &existing) == 0 && !S_ISDIR(existing.st_mode)) unlink(path.c_str());
    if (symlink(slavePath_.c_str(), path.c_str()) != 0) return false;
    if (!linkPath_.empty() && linkPath_ != path) unlink(linkPath_.c_str());
    linkPath_ = path;
    return true;
}

// ---- behaviour

void SimulatedBoard::setMode(BoardMode mode) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        mode_ = mode;
        if (mode == BoardMode::Firmware) hasFirmware_ = true;
    }
    changed_.notify_all();
}

void SimulatedBoard::setResponse(uint8_t letter, Bytes bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    responses_[letter] = std::move(bytes);
}

// ---- observation

size_t SimulatedBoard::commandCount(uint8_t letter) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(
        std::count_if(commands_.begin(), commands_.end(),
                      [letter](const ReceivedCommand& c) { return c.letter() == letter; }));
}

std::optional<ReceivedCommand> SimulatedBoard::waitForCommand(uint8_t letter, Millis timeout,
                                                              size_t occurrence) const {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<ReceivedCommand> found;
    auto seen = [&]() {
        size_t count = 0;
        for (const ReceivedCommand& command : commands_) {
            if (command.letter() == letter && ++count == occurrence) {
                found = command;
                return true;
            }
        }
        return false;
    };
    changed_.wait_for(lock, timeout, seen);
    return found;
}

void SimulatedBoard::setListener(Listener listener) {
    std::lock_guard<std::mutex> lock(listenerMutex_);
    listener_ = std::move(listener);
}

void SimulatedBoard::emit(const std::string& line) {
    std::lock_guard<std::mutex> lock(listenerMutex_);
    if (listener_) listener_(line);
}

// ---- sending

bool SimulatedBoard::writeBytes(const Bytes& bytes, Millis roomWait, bool steady) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    if (master_ < 0) return false;  // the board has vanished
    return writeAll(master_, bytes.data(), bytes.size(), roomWait, steady);
}

bool SimulatedBoard::send(const Bytes& bytes, bool quiet) {
    bool written = writeBytes(bytes);
    if (!quiet) {
        emit("-> " + describeBoardBytes(bytes) +
             (written ? "" : " [not all sent: nobody reads the link]"));
    }
    return written;
}

bool SimulatedBoard::sendSteadily(const Bytes& bytes, Millis stall) {
    bool written = writeBytes(bytes, stall, true);
    emit("-> " + std::to_string(bytes.size()) + " bytes in one burst" +
         (written ? "" : " [not all sent: the host stopped reading]"));
    return written;
}

// ---- periodic messages

void SimulatedBoard::startStream(Millis period, std::function<Bytes()> next, bool quiet) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        streams_.push_back({period, Clock::now() + period,
                            std::make_shared<std::function<Bytes()>>(std::move(next)), quiet});
    }
    changed_.notify_all();
}

void SimulatedBoard::startMotionStream(double perSecond, uint16_t ps1, uint16_t ps2, bool quiet) {
    if (perSecond <= 0) return;
    startStream(
        every(1 / perSecond), [=] { return motion(ps1, ps2); }, quiet);
}

void SimulatedBoard::startLightStream(double perSecond, uint16_t vis, uint16_t ir, bool quiet) {
    if (perSecond <= 0) return;
    startStream(
        every(1 / perSecond), [=] { return light(vis, ir); }, quiet);
}

void SimulatedBoard::startVaryingStreams(const VaryingStreams& s) {
    if (s.motionHz > 0) {
        startStream(
            every(1 / s.motionHz),
            [k = 0]() mutable {
                ++k;
                return motion(static_cast<uint16_t>(200 + (k * 37) % 400),
                              static_cast<uint16_t>(100 + (k * 11) % 100));
            },
            s.quiet);
    }
    if (s.lightHz > 0) {
        startStream(
            every(1 / s.lightHz),
            [k = 0]() mutable {
                uint16_t vis = static_cast<uint16_t>(300 + (++k * 25) % 200);
                return light(vis, static_cast<uint16_t>(vis / 3));
            },
            s.quiet);
    }
    if (s.nfcEvery > 0) {
        startStream(every(s.nfcEvery), [k = 0]() mutable {
            return nfc(4, 1, Bytes{0x04, 0xA1, 0x5C, static_cast<uint8_t>(++k)});
        });
    }
    if (s.logEvery > 0) {
        startStream(every(s.logEvery), [text = s.logText, k = 0]() mutable {
            return boardLog(text + " #" + std::to_string(++k));
        });
    }
    if (s.garbageEvery > 0) {
        startStream(every(s.garbageEvery), [k = 0u]() mutable { return garbage(4, ++k); });
    }
}

void SimulatedBoard::streamLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (streams_.empty()) {
            changed_.wait(lock);
            continue;
        }
        Stream& stream =
            *std::min_element(streams_.begin(), streams_.end(),
                              [](const Stream& a, const Stream& b) { return a.due < b.due; });
        auto now = Clock::now();
        if (stream.due > now) {
            // The wait reads its deadline again after waking, when a new stream
            // may have moved the table: it gets a copy, not the table's entry.
            const auto due = stream.due;
            changed_.wait_until(lock, due);
            continue;
        }
        stream.due += stream.period;
        if (stream.due < now) stream.due = now + stream.period;  // a late tick is not caught up
        if (mode_ != BoardMode::Firmware) continue;              // only running firmware streams
        auto next = stream.next;
        bool quiet = stream.quiet;
        lock.unlock();
        send((*next)(), quiet);
        lock.lock();
    }
}

// ---- receiving

void SimulatedBoard::receiveLoop() {
    uint8_t buffer[256];
    for (;;) {
        // Once the board has vanished master_ is -1, which poll() skips.
        struct pollfd watched[2] = {{master_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        int ready = poll(watched, 2, 200);
        bool vanishNow;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
            vanishNow = vanishRequested_;
        }
        if (watched[1].revents & POLLIN) drainWakePipe();
        if (vanishNow) closeLink();
        if (ready <= 0 || master_ < 0) continue;
        if (watched[0].revents & POLLIN) {
            ssize_t got = read(master_, buffer, sizeof buffer);
            for (ssize_t i = 0; i < got && master_ >= 0; ++i) feed(buffer[i]);
            if (got < 0 && errno != EAGAIN && errno != EINTR) usleep(10000);
        } else if (watched[0].revents & (POLLHUP | POLLERR)) {
            usleep(10000);  // cannot happen while we hold the slave open; do not spin
        }
    }
}

void SimulatedBoard::feed(uint8_t byte) {
    if (rxState_ == RxState::Idle) {
        feedIdle(byte);
        return;
    }
    rxBytes_.push_back(byte);
    switch (rxState_) {
        case RxState::Frame:
            if (rxBytes_.size() == kStandardPayloadSize + 1) handleFrame();
            break;
        case RxState::Entry:
            if (rxBytes_.size() == sizeof kBslEntry - 1) handleEntry();
            break;
        case RxState::Flash:
            if (rxBytes_.size() == 4) handleFlash();
            break;
        case RxState::Idle:
            break;
    }
}

void SimulatedBoard::feedIdle(uint8_t byte) {
    rxBytes_.clear();
    BoardMode current = mode();
    if (byte == kLeadStandard) {
        rxState_ = RxState::Frame;
    } else if (current == BoardMode::BootstrapLoader && byte == kBslFlash) {
        rxState_ = RxState::Flash;
    } else if (current == BoardMode::BootstrapLoader &&
               (byte == kBslSync || byte == kBslErase || byte == kBslReset)) {
        handleBslCommand(byte);
    } else if (current != BoardMode::BootstrapLoader && byte == kBslEntry[0]) {
        rxState_ = RxState::Entry;
    } else {
        std::lock_guard<std::mutex> lock(mutex_);
        ++strayBytes_;
    }
}

Bytes SimulatedBoard::answerFor(const StandardPayload& payload) {
    auto custom = responses_.find(payload[0]);
    if (custom != responses_.end()) return custom->second;
    Bytes reply = ack();
    if (payload[0] == kCommandIdentify) {
        reply = answers_.ackWithoutVersion ? motion(0, 0)
                                           : simboard::version(firmware_.major, firmware_.minor,
                                                               firmware_.patch, answers_.commError);
    }
    return concat(concat(answers_.beforeAck, ack()), reply);
}

void SimulatedBoard::handleFrame() {
    rxState_ = RxState::Idle;
    ReceivedCommand command;
    std::copy(rxBytes_.begin(), rxBytes_.begin() + kStandardPayloadSize, command.payload.begin());
    command.checksumOk =
        payloadChecksum(command.payload.data(), kStandardPayloadSize) == rxBytes_.back();
    Bytes answer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        command.mode = mode_;
        commands_.push_back(command);
        if (command.checksumOk && mode_ == BoardMode::Firmware) answer = answerFor(command.payload);
    }
    changed_.notify_all();

    std::string line = "<- " + describeCommand(command.payload);
    if (takeVanishOn(command.letter())) {
        emit(line + " [not answered: the board vanishes]");
        closeLink();
        return;
    }
    if (!command.checksumOk) {
        line += " [bad checksum: ignored]";
    } else if (command.mode != BoardMode::Firmware) {
        line += std::string(" [not answered: board in ") + modeName(command.mode) + " mode]";
    }
    emit(line);
    if (!answer.empty()) send(answer);
}

void SimulatedBoard::handleEntry() {
    rxState_ = RxState::Idle;
    bool entry = std::equal(rxBytes_.begin(), rxBytes_.end(), kBslEntry + 1);
    std::string line;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!entry) {
            strayBytes_ += sizeof kBslEntry;
            return;
        }
        if (mode_ == BoardMode::Firmware) {
            mode_ = BoardMode::BootstrapLoader;
            bslEvents_.push_back("entry");
            line = "<- BSL entry sequence: bootstrap loader running";
        } else {
            line = std::string("<- BSL entry sequence [ignored: board ") + modeName(mode_) + "]";
        }
    }
    changed_.notify_all();
    emit(line);
}

// The event is recorded before the answer goes out: whoever reacts to the
// answer (bslsh, then a test) must find it in bslEvents().
void SimulatedBoard::answerBsl(uint8_t answer, const std::string& event, const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bslEvents_.push_back(event);
    }
    changed_.notify_all();
    writeBytes(Bytes{answer});
    emit(text);
}

void SimulatedBoard::handleBslCommand(uint8_t command) {
    if (command == kBslSync) {
        answerBsl(kBslAck, "sync", "<- BSL sync -> ACK");
    } else if (command == kBslErase) {
        setLocked(hasFirmware_, false);
        answerBsl(kBslAck, "erase", "<- BSL erase -> ACK (firmware erased)");
    } else if (command == kBslReset) {
        // The firmware starts and the event is recorded before the ACK leaves,
        // so whoever reacts to the ACK sees the new state; holding the write
        // lock throughout keeps a stream frame from going out before the ACK.
        bool starts = locked(hasFirmware_);
        std::string running = "firmware " + version().text() + " running";
        {
            std::lock_guard<std::mutex> writeLock(writeMutex_);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                bslEvents_.push_back("reset");
                if (starts) mode_ = BoardMode::Firmware;
            }
            changed_.notify_all();
            if (master_ >= 0) writeAll(master_, &kBslAck, 1, kWriteRoomWait, false);
        }
        emit("<- BSL reset -> ACK, " + (starts ? running : "no firmware: loader stays"));
    }
}

void SimulatedBoard::handleFlash() {
    rxState_ = RxState::Idle;
    FirmwareVersion flashed{rxBytes_[0], rxBytes_[1], rxBytes_[2]};
    bool sumOk = bslFlashSum(rxBytes_[0], rxBytes_[1], rxBytes_[2]) == rxBytes_[3];
    bool accepted;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        accepted = sumOk && !hasFirmware_;
        if (accepted) {
            firmware_ = flashed;
            hasFirmware_ = true;
        }
    }
    if (accepted) {
        answerBsl(kBslAck, "flash " + flashed.text(), "<- BSL flash " + flashed.text() + " -> ACK");
    } else {
        answerBsl(kBslNak, "flash refused",
                  std::string("<- BSL flash ") + flashed.text() + " -> NAK (" +
                      (sumOk ? "not erased" : "bad sum") + ")");
    }
}

// ---- the board going away: closing its side of the pty hangs up the host's
// port, as unplugging the board does on the panel

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
