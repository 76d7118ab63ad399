// Signal mask handling around the daemon's children.
//
// A FIFO reader that goes away between the daemon's open and its write makes
// the write raise SIGPIPE, whose default action would end the daemon. The
// daemon keeps SIGPIPE blocked and takes a pending one back when a write fails
// with EPIPE; children get the mask the daemon started with.
#pragma once

namespace vantrel {

// Blocks SIGPIPE for the daemon; remembers the mask it started with.
void blockSigpipe();

// Takes a pending SIGPIPE off the daemon, after a write failed with EPIPE.
void consumePendingSigpipe();

// In a child, before exec: the signal mask the daemon started with.
void restoreStartMask();

// Runs `command` with the platform shell, as system() does, and waits for it.
// Unlike system(), SIGINT is not ignored meanwhile, so a SIGINT that comes
// while `am` runs still reaches handleSigint; and the shell gets the signal
// mask the daemon started with. Returns the wait status, or -1.
int runShellCommand(const char* command);

// What runs the daemon's shell commands (the am broadcasts). The daemon keeps
// the platform shell; a tool that reuses the message handlers without sending
// anything (the doctor's board probe) installs its own, and nullptr puts the
// shell back.
using ShellRunner = int (*)(const char* command);
void setShellRunner(ShellRunner runner);

}  // namespace vantrel
