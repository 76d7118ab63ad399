#include "tools/cli/stop_signals.h"

namespace vantrel::cli {

namespace {

volatile sig_atomic_t stopFlagValue = 0;

void onStop(int) {
    stopFlagValue = 1;
}

}  // namespace

CatchSignal::CatchSignal(int number, void (*handler)(int)) : number_(number) {
    struct sigaction action = {};
    action.sa_handler = handler;  // no SA_RESTART
    sigaction(number_, &action, &previous_);
}

CatchSignal::~CatchSignal() {
    sigaction(number_, &previous_, nullptr);
}

StopSignals::StopSignals() : interrupt_(SIGINT, onStop), terminate_(SIGTERM, onStop) {}

bool stopRequested() {
    return stopFlagValue != 0;
}

const volatile sig_atomic_t* stopFlag() {
    return &stopFlagValue;
}

}  // namespace vantrel::cli
