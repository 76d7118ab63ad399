// A simulated sensor board on the master side of a pseudo-terminal.
//
// The daemon (or `bslsh`) opens the slave side as its serial device. A
// background thread reads what they send and answers as the board would:
//
//   firmware mode        every good standard packet from the host is recorded
//                        and answered: [bytes before ACK] ACK, then the reply:
//                        the version message for 'i', a second ACK for 'D',
//                        'N' and any other letter; setResponse() replaces all
//                        of it for one letter. The BSL entry sequence switches
//                        to the bootstrap loader.
//   bootstrap loader     answers only the BSL protocol (bsl_protocol.h);
//                        standard packets are recorded, never answered.
//   silent               records what arrives, never answers anything.
//
// Periodic streams (startStream and the helpers) send only in firmware mode;
// the send* calls send in any mode, from any thread, whole frames at a time
// (a frame is never interleaved with another).
//
// The board keeps its own slave descriptor open, so the link never hangs up
// when the daemon closes the port and opens it again; what the board sends
// while nobody reads waits in the terminal's buffer (the daemon flushes it
// when it opens the port) and is dropped once that buffer is full. Only
// vanish() (the board unplugged) hangs the link up, for good.
//
// Everything here is for tests and tools: threads, heap and exceptions are
// fine. The constructor throws std::runtime_error when no pseudo-terminal can
// be had.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "wire/frames.h"

namespace vantrel::simboard {

// The board speaks the wire's frames: simboard::motion() is wire::motion().
using namespace vantrel::wire;

enum class BoardMode { Firmware, BootstrapLoader, Silent };

// "firmware", "bsl", "silent".
const char* modeName(BoardMode mode);
std::optional<BoardMode> parseMode(const std::string& name);

// How the firmware answers a command, besides the ACK.
struct Answers {
    uint8_t commError = 0;           // sensor_comm_error byte of the version message
    bool ackWithoutVersion = false;  // 'i' gets an ACK and a motion message (ps1 0, ps2 0)
    Bytes beforeAck;                 // sent before every ACK (garbage, a broken frame...)
};

// One standard packet the host sent, as the board saw it.
struct ReceivedCommand {
    StandardPayload payload{};             // payload[0] is the letter, payload[1] the on/off byte
    bool checksumOk = true;                // a bad checksum is recorded but never answered
    BoardMode mode = BoardMode::Firmware;  // the board's mode when it arrived

    uint8_t letter() const { return payload[0]; }
};

class SimulatedBoard {
  public:
    using Millis = std::chrono::milliseconds;
    using Listener = std::function<void(const std::string& line)>;

    explicit SimulatedBoard(FirmwareVersion firmware = FirmwareVersion{});
    ~SimulatedBoard();  // stops the threads, removes the link, closes the pty
    SimulatedBoard(const SimulatedBoard&) = delete;
    SimulatedBoard& operator=(const SimulatedBoard&) = delete;

    // ---- the device
    // The slave side, e.g. /dev/pts/7: the path to hand to the daemon.
    const std::string& slavePath() const { return slavePath_; }
    // Makes `path` a symbolic link to the slave, replacing a link or file
    // there; the link is removed again by the destructor. False on failure.
    bool linkAt(const std::string& path);

    // ---- behaviour (may be changed at any time)
    // Firmware mode also counts as firmware present (after a loader erase).
    void setMode(BoardMode mode);
    BoardMode mode() const { return locked(mode_); }
    // The version the firmware reports; flashing through the loader sets it too.
    void setVersion(FirmwareVersion firmware) { setLocked(firmware_, firmware); }
    FirmwareVersion version() const { return locked(firmware_); }
    void setAnswers(Answers answers) { setLocked(answers_, std::move(answers)); }
    // Everything sent in answer to command `letter` (ACK included; empty: no
    // answer at all). Overrides the default answer and the settings above.
    void setResponse(uint8_t letter, Bytes bytes);

    // ---- what the host sent
    std::vector<ReceivedCommand> commands() const { return locked(commands_); }
    size_t commandCount(uint8_t letter) const;
    // Waits until the `occurrence`-th command with this letter (1 = the first
    // ever recorded, not the next one) has arrived; nullopt after `timeout`.
    std::optional<ReceivedCommand> waitForCommand(uint8_t letter, Millis timeout,
                                                  size_t occurrence = 1) const;
    // Loader events in order: "entry", "sync", "erase", "flash 1.6.25",
    // "flash refused", "reset".
    std::vector<std::string> bslEvents() const { return locked(bslEvents_); }
    // Bytes that were neither part of a packet nor of the loader protocol.
    size_t strayBytes() const { return locked(strayBytes_); }

    // Called with one readable line per event ("<- D 01 (LED on)", "-> ACK",
    // "<- BSL sync -> ACK", ...), from the board's threads, one at a time.
    void setListener(Listener listener);

    // ---- the board going away (unplugged, powered off)
    // Closes the pty master and the board's own slave descriptor, so the
    // host's port hangs up: from then on its reads return no byte at once
    // (bytes it has not read yet are lost) and its writes fail with EIO. The
    // board sends and records nothing more and never comes back; the link
    // made by linkAt() is removed first, so that nobody opens the pty number
    // it frees. It first waits (at most 2 s) until the host has read
    // everything already sent, so that the hang-up meets the host where
    // those bytes left it, e.g. inside a frame. Any thread; returns once the
    // link is closed.
    void vanish();
    // The next command with this letter is recorded and then, instead of
    // being answered, makes the board vanish at once: the exchange that the
    // command starts meets a hung-up link.
    void vanishOnCommand(uint8_t letter) { setLocked(vanishOn_, std::optional<uint8_t>(letter)); }
    // True once the host has read every byte the board sent (the slave's
    // input queue has stayed empty for 20 ms), or the link is gone; false
    // when bytes were still waiting after `timeout`.
    bool waitUntilHostHasRead(Millis timeout);
    // The other way round: true once the board has taken in every byte the
    // host wrote (the master's input queue has stayed empty and no command
    // was added for 50 ms), or the link is gone; false after `timeout`.
    bool waitUntilBoardHasRead(Millis timeout);

    // ---- sending (any mode, any thread); false when not all bytes could be written
    // `quiet`: not told to the listener.
    bool send(const Bytes& bytes, bool quiet = false);
    // As send(), for bursts larger than the terminal's buffer: waits for room
    // as long as the host keeps reading, and gives up only after `stall`
    // without any progress.
    bool sendSteadily(const Bytes& bytes, Millis stall = Millis(2000));

    // ---- periodic messages, sent only while in firmware mode
    // `next` builds the bytes to send each period; a rate of 0 or less starts
    // no stream.
    void startStream(Millis period, std::function<Bytes()> next, bool quiet = false);
    void startMotionStream(double perSecond, uint16_t ps1, uint16_t ps2, bool quiet = false);
    void startLightStream(double perSecond, uint16_t vis, uint16_t ir, bool quiet = false);
    // Readings that change a little each time, so that a reader can tell them
    // apart: rates in frames per second, periods in seconds, 0 for none.
    struct VaryingStreams {
        double motionHz = 0, lightHz = 0, nfcEvery = 0, logEvery = 0, garbageEvery = 0;
        std::string logText = "sensor board ok";
        bool quiet = false;  // motion and light not told to the listener
    };
    void startVaryingStreams(const VaryingStreams& streams);

  private:
    struct Stream {
        Millis period;
        std::chrono::steady_clock::time_point due;
        std::shared_ptr<std::function<Bytes()>> next;  // shared: a stream keeps its state
        bool quiet;
    };
    enum class RxState { Idle, Frame, Entry, Flash };

    void openPty();
    void receiveLoop();
    void streamLoop();
    void feed(uint8_t byte);
    void feedIdle(uint8_t byte);
    void handleFrame();
    void handleEntry();
    void handleBslCommand(uint8_t command);
    void handleFlash();
    Bytes answerFor(const StandardPayload& payload);
    // How long one send may wait for room in the terminal's buffer before the
    // rest of it is dropped.
    static constexpr Millis kWriteRoomWait{300};
    // writeAll() on the master, one caller at a time; false once the board has vanished.
    bool writeBytes(const Bytes& bytes, Millis roomWait = kWriteRoomWait, bool steady = false);
    void drainWakePipe();
    // One field read or written under the board's lock.
    template <typename Field>
    Field locked(const Field& field) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return field;
    }
    template <typename Field>
    void setLocked(Field& field, Field value) {
        std::lock_guard<std::mutex> lock(mutex_);
        field = std::move(value);
    }
    bool takeVanishOn(uint8_t letter);  // true (once) when `letter` should make the board vanish
    void closeLink();                   // receive thread only: the hang-up itself
    int unreadByHost();                 // bytes in the slave's input queue, -1 when gone
    void answerBsl(uint8_t answer, const std::string& event, const std::string& text);
    void emit(const std::string& line);

    // Both closed (-1) once the board has vanished; changed by the receive
    // thread only, under writeMutex_.
    int master_ = -1;
    int slaveKeeper_ = -1;  // our own descriptor on the slave: the link never hangs up
    int wakeRead_ = -1;     // self-pipe that ends the receive thread's wait
    int wakeWrite_ = -1;
    std::string slavePath_;
    std::string linkPath_;

    mutable std::mutex mutex_;  // everything below up to the threads
    mutable std::condition_variable changed_;
    BoardMode mode_ = BoardMode::Firmware;
    FirmwareVersion firmware_;
    bool hasFirmware_ = true;
    Answers answers_;
    std::map<uint8_t, Bytes> responses_;
    std::vector<ReceivedCommand> commands_;
    std::vector<std::string> bslEvents_;
    size_t strayBytes_ = 0;
    std::vector<Stream> streams_;
    bool stopping_ = false;
    bool vanishRequested_ = false;  // vanish() asks the receive thread to close the link
    bool vanished_ = false;
    std::optional<uint8_t> vanishOn_;

    // Owned by the receive thread.
    RxState rxState_ = RxState::Idle;
    Bytes rxBytes_;

    std::mutex writeMutex_;  // one frame at a time on the wire
    std::mutex listenerMutex_;
    Listener listener_;

    std::thread receiver_;
    std::thread streamer_;
};

}  // namespace vantrel::simboard
