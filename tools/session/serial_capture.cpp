#include "session/serial_capture.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "wire/frame_splitter.h"

namespace vantrel::session {

namespace {

using Clock = std::chrono::steady_clock;

// A board answers a command at once; these only bound a board that does not.
constexpr Millis kFirstAnswerByte{1000};
constexpr Millis kAnswerQuiet{200};
constexpr Millis kLongestAnswer{3000};
constexpr int kPollMillis = 50;
constexpr Millis kProgressEvery{1000};
// A standard frame's hex text; shorter lines are padded to it so comments align.
constexpr size_t kCommentColumn = 3 * kStandardFrameSize - 1;

Millis since(Clock::time_point start) {
    return std::chrono::duration_cast<Millis>(Clock::now() - start);
}

// Whatever arrives within `wait`; empty when nothing did.
Bytes readSome(int fd, Millis wait) {
    struct pollfd readable = {fd, POLLIN, 0};
    if (poll(&readable, 1, static_cast<int>(wait.count())) <= 0) return {};
    uint8_t buffer[4096];
    ssize_t got = read(fd, buffer, sizeof buffer);
    return got > 0 ? Bytes(buffer, buffer + got) : Bytes{};
}

// One session line with a comment saying what it is.
std::string commentedLine(const Bytes& line) {
    std::string text = wire::hexText(line);
    std::optional<wire::SplitFrame> frame = wire::wholeFrame(line);
    bool good = frame && frame->checksumGood;
    std::string what = good ? wire::describeBoardBytes(line) : "not a whole frame";
    // A board's log text may hold any byte; the comment must stay on its line.
    for (char& c : what) {
        if (c < 0x20 || c > 0x7E) c = '.';
    }
    if (text.size() < kCommentColumn) text.resize(kCommentColumn, ' ');
    return text + "   # " + what;
}

// Returns how many lines it wrote.
size_t writeLines(FILE* out, const std::vector<Bytes>& lines) {
    for (const Bytes& line : lines) fprintf(out, "%s\n", commentedLine(line).c_str());
    return lines.size();
}

}  // namespace

int openRawSerial(const std::string& path, std::string* error) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    auto fail = [&]() {
        *error = path + ": " + strerror(errno);
        if (fd >= 0) close(fd);
        return -1;
    };
    struct termios settings;
    if (fd < 0 || tcgetattr(fd, &settings) != 0) return fail();
    cfmakeraw(&settings);  // 8 data bits, no parity, no echo, no line editing
    settings.c_cflag &= ~(CSTOPB | CRTSCTS);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_iflag &= ~(IXON | IXOFF | IXANY);
    cfsetispeed(&settings, B115200);
    cfsetospeed(&settings, B115200);
    if (tcsetattr(fd, TCSANOW, &settings) != 0) return fail();
    return fd;
}

CapturedAnswer captureAnswer(int fd, uint8_t letter, uint8_t argument) {
    CapturedAnswer answer{letter, {}};
    tcflush(fd, TCIFLUSH);  // what came before the command is not part of its answer
    Bytes frame = wire::encodeStandard(letter, argument);
    if (write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) return answer;
    auto start = Clock::now();
    answer.bytes = readSome(fd, kFirstAnswerByte);
    while (!answer.bytes.empty() && since(start) < kLongestAnswer) {
        Bytes more = readSome(fd, kAnswerQuiet);
        if (more.empty()) break;
        answer.bytes.insert(answer.bytes.end(), more.begin(), more.end());
    }
    return answer;
}

std::string versionIn(const Bytes& bytes) {
    for (size_t at = 0; at + kStandardFrameSize <= bytes.size(); ++at) {
        auto frame =
            wire::wholeFrame(Bytes(bytes.data() + at, bytes.data() + at + kStandardFrameSize));
        if (!frame || frame->lead != kLeadStandard || !frame->checksumGood ||
            frame->payload[0] != kLetterVersion) {
            continue;
        }
        const uint8_t* fields = frame->payload.data() + kFieldsAt;
        return wire::FirmwareVersion{fields[kVersionMajor], fields[kVersionMinor],
                                     fields[kVersionPatch]}
            .text();
    }
    return "unknown";
}

void captureStream(int fd, Millis duration, Millis minGap, const volatile sig_atomic_t* stop,
                   FILE* out, const ProgressReport& progress) {
    wire::FrameSplitter splitter;
    StreamProgress done;
    auto start = Clock::now();
    auto lastByte = start;
    auto lastReport = start;
    while (!*stop && since(start) < duration) {
        if (progress && since(lastReport) >= kProgressEvery) {
            lastReport = Clock::now();
            progress(done);
        }
        Bytes got = readSome(fd, Millis(kPollMillis));
        if (got.empty()) continue;
        done.bytes += got.size();
        Millis gap = since(lastByte);
        lastByte = Clock::now();
        if (gap >= minGap) {
            Bytes cut = splitter.flush();  // the board paused inside a frame
            if (!cut.empty()) done.lines += writeLines(out, {cut});
            fprintf(out, "%s\n", formatDelay(gap).c_str());
        }
        done.lines += writeLines(out, splitter.feed(got.data(), got.size()));
        fflush(out);
    }
    Bytes rest = splitter.flush();
    if (!rest.empty()) done.lines += writeLines(out, {rest});
    if (progress) progress(done);
}

std::vector<std::string> sessionLines(const Bytes& bytes) {
    wire::FrameSplitter splitter;
    std::vector<Bytes> cut = splitter.feed(bytes.data(), bytes.size());
    Bytes rest = splitter.flush();
    if (!rest.empty()) cut.push_back(rest);
    std::vector<std::string> lines;
    lines.reserve(cut.size());
    for (const Bytes& line : cut) lines.push_back(commentedLine(line));
    return lines;
}

}  // namespace vantrel::session
