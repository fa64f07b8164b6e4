#include "tools/relay/stop.h"

#include <csignal>
#include <pthread.h>

namespace {
sigset_t stopSignals;
}

// SIGINT and SIGTERM are taken by sigwait, never by a handler; blocked before
// any thread starts, so every thread inherits the mask.
bool prepareStopWait() {
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    return pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) == 0;
}

void waitForStopRequest() {
    int signal = 0;
    while (sigwait(&stopSignals, &signal) != 0) {
    }
}
