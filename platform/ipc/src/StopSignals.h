// For daemons: blocks SIGTERM, SIGINT and SIGHUP in every thread (call it
// before any thread starts) so that the main thread can wait for them.
#pragma once

#include <pthread.h>
#include <signal.h>

namespace velmora::ipc {

class StopSignals {
public:
    StopSignals() {
        sigemptyset(&mSet);
        sigaddset(&mSet, SIGTERM);
        sigaddset(&mSet, SIGINT);
        sigaddset(&mSet, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &mSet, nullptr);
    }
    // Returns the signal that arrived.
    int wait() const {
        int signal = 0;
        sigwait(&mSet, &signal);
        return signal;
    }

private:
    sigset_t mSet;
};

}  // namespace velmora::ipc
