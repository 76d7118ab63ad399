// The recorder's side of the link: opens a serial device the way the daemon
// does (raw, 115200 baud, 8N1), plays the daemon's start-up commands to
// capture the board's answers, and writes what the board then sends unasked
// as session lines with @delay lines for its pauses.
#pragma once

#include <signal.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "session/session_file.h"

namespace vantrel::session {

// Raw 115200 8N1, no flow control, non-blocking reads; -1 with `error` set.
int openRawSerial(const std::string& path, std::string* error);

// What the board sent after one command of the daemon's start-up exchange.
struct CapturedAnswer {
    uint8_t letter = 0;
    Bytes bytes;
};

// Sends the standard command `letter` with `argument` and collects what comes
// back until the line has been quiet for a while (empty when nothing came).
CapturedAnswer captureAnswer(int fd, uint8_t letter, uint8_t argument);

// The version a good version frame in `bytes` reports, else "unknown".
std::string versionIn(const Bytes& bytes);

// How much of the stream has been written so far.
struct StreamProgress {
    size_t lines = 0;  // hex lines, @delay lines not counted
    size_t bytes = 0;
};
using ProgressReport = std::function<void(const StreamProgress&)>;

// Writes the bytes that arrive during `duration` to `out`, one frame a line
// with what it is as a comment (as sessionLines), and a pause of at least
// `minGap` as an @delay line. Ends early when `stop` is set (by a signal
// handler). `progress`, when given, hears about every second and at the end.
void captureStream(int fd, Millis duration, Millis minGap, const volatile sig_atomic_t* stop,
                   FILE* out, const ProgressReport& progress = {});

// `bytes` as session lines, one frame a line, each with a comment saying what
// it is:
//     55 41 00 00 00 00 00 41   # ACK
// Bytes that are not one whole good frame are "# not a whole frame".
std::vector<std::string> sessionLines(const Bytes& bytes);

}  // namespace vantrel::session
