// Replays one session (tests/sessions/NAME.log) into the daemon: a simulated
// board gives the session's answers to the start-up commands, the daemon runs
// with the session's command line, properties and firmware image in a
// throw-away root, and once it reads in its receive phase the board sends the
// session's stream. When the daemon has taken in everything (or has ended by
// itself) it gets SIGINT, and its outputs are returned in their stable text
// form, the content of NAME.chk. A scenario's fields and stream directives
// (tools/README.md) set up the world and the run.
#pragma once

#include <string>

#include "session/session_file.h"

namespace vantrel::test {

// `name` is the session's file name without ".log", used in the text only;
// `text` the whole file, for the scenario lines above.
std::string replaySession(const std::string& name, const session::Session& session,
                          const std::string& text);

}  // namespace vantrel::test
