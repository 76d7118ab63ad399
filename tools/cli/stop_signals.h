// How the tools take signals. Ctrl-C (SIGINT) and SIGTERM ask a tool to stop
// what it is doing and end cleanly (a summary, a closed recording), rather
// than end it where it stands.
#pragma once

#include <signal.h>

namespace vantrel::cli {

// While it lives, signal `number` goes to `handler`, caught without
// SA_RESTART so that a wait in poll, select or read returns at once with
// EINTR; the disposition it replaced comes back when it goes.
class CatchSignal {
  public:
    CatchSignal(int number, void (*handler)(int));
    ~CatchSignal();
    CatchSignal(const CatchSignal&) = delete;
    CatchSignal& operator=(const CatchSignal&) = delete;

  private:
    int number_;
    struct sigaction previous_ = {};
};

// While it lives, SIGINT and SIGTERM set the stop flag instead of ending the
// process. A request, once made, stays.
class StopSignals {
  public:
    StopSignals();

  private:
    CatchSignal interrupt_;
    CatchSignal terminate_;
};

bool stopRequested();
// The flag itself, for a loop that is handed it.
const volatile sig_atomic_t* stopFlag();

}  // namespace vantrel::cli
