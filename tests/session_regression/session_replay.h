// Replays one session (tests/sessions/NAME.log) into the daemon: a simulated
// board gives the session's answers to the start-up commands, the daemon runs
// with the session's command line, properties and firmware image in a
// throw-away root, and once it reads in its receive phase the board sends the
// session's stream. When the daemon has taken in everything (or has ended by
// itself) it gets SIGINT, and its outputs are returned in their stable text
// form, the content of NAME.chk.
//
// A scenario sets up the world and the run with the fields and stream
// directives of tools/README.md ("A session written by hand ... is a
// scenario"): mode, remove, write, mkfifo, link, env, stand-in, fifo, vanish
// and sigint in the header, @mkfifo and @write in the stream.
//
// The daemon run is vantrel-traced, which writes each pause and wait to a
// trace (wait_trace.cpp): the report lists the pauses and time limits.
#pragma once

#include <string>

#include "session/session_file.h"

namespace vantrel::test {

// `name` is the session's file name without ".log", used in the text only;
// `text` the whole file, for the scenario lines above.
std::string replaySession(const std::string& name, const session::Session& session,
                          const std::string& text);

}  // namespace vantrel::test
