// Replays one session (tests/sessions/NAME.log) into the daemon: a simulated
// board gives the session's answers to the start-up commands, the daemon runs
// with the session's command line, properties and firmware image in a
// throw-away root, and once it reads in its receive phase the board sends the
// session's stream. When the daemon has taken in everything (or has ended by
// itself) it gets SIGINT, and its outputs are returned in their stable text
// form, the content of NAME.chk.
//
// Besides the header lines of the session format (tools/README.md), a
// scenario may set up the world and the run with these, each as often as
// needed ($ROOT: the throw-away root, $STANDINS: the am and bslsh stand-ins;
// both are replaced in "# args:" too):
//
//   # mode: silent | bsl             the board's mode at start (firmware)
//   # remove: sys/class/gpio         removed from the root before the start
//   # write: data/pipeProx=text      a file under the root with this text
//   # mkfifo: properties/KEY         a FIFO under the root
//   # link: dev/serial0              the board's device is there instead
//   # env: VANTREL_TIME_SCALE=-1     the daemon's environment
//   # stand-in: bslsh: exit 3        root/bin/bslsh (first in PATH) is this
//                                    shell script
//   # fifo: pipeProx none | small    no reader on that FIFO, or one that
//                                    reads only at the end from a 4 KiB FIFO
//   # vanish: on D | after stream    the board is unplugged when the command
//                                    arrives, or once the stream is read; then
//                                    the daemon is followed for two passes of
//                                    its loop and its CPU time bounded
//   # sigint: pause 5 | wait 10 | child
//                                    SIGINT (instead of the one after the
//                                    stream) once the daemon sleeps in that
//                                    pause, port wait or wait for am/bslsh
//
// In the stream, "@mkfifo PATH" and "@write PATH=TEXT" make files under the
// root once the daemon has taken in what came before; a "@delay" longer than
// twice the receive wait is a quiet stretch, watched for a time-out record.
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
