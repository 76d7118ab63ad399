// A recorded session: what a sensor board sent on the link, in a plain-text
// file that people can read, write and edit by hand (tools/README.md has the
// format). The replay hands the bytes to a simulated board and runs the real
// daemon against it; the recorder writes the same format.

#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "wire/frames.h"

namespace vantrel::session {

using wire::Bytes;
using Millis = std::chrono::milliseconds;

// The bytes the board sends for a command with `letter`: the k-th block of a
// letter answers its k-th command, the last block every later one too; an
// empty block is no answer at all.
struct Answer {
    uint8_t letter = 0;
    Bytes bytes;
};

// One step of the part sent once the daemon reads in its receive phase: a
// line of bytes, a pause, or a file made in the daemon's world.
struct StreamStep {
    bool isDelay = false;
    Bytes bytes;         // a line of the file, sent in one write
    Millis delay{0};     // when isDelay
    std::string mkfifo;  // "@mkfifo data/pipeProx": a FIFO at this path (under the root)
    std::string write;   // "@write data/pipeLight=TEXT": a file with this text
};

struct Session {
    // Every "# key: value" line of the header, by key (the last one wins).
    std::map<std::string, std::string> header;
    std::vector<std::string> args;                                // "# args:", split at blanks
    std::vector<std::pair<std::string, std::string>> properties;  // "# property: KEY=VALUE"
    std::optional<wire::FirmwareVersion> firmware;                // "# firmware: X.Y.Z"
    std::optional<std::string> image;  // "# image: X.Y.Z" or "# image: development"
    std::optional<double> timeScale;   // "# time-scale: 0.05"
    std::vector<Answer> answers;       // in file order
    std::vector<StreamStep> stream;
};

struct ParseResult {
    std::optional<Session> session;
    std::string error;  // "line 12: ..." when session is empty
};

ParseResult parseSession(const std::string& text);

std::string formatDelay(Millis delay);  // "@delay 50ms"

}  // namespace vantrel::session
