// For daemons: blocks SIGTERM, SIGINT and SIGHUP in every thread (call it
// before any thread starts) so that the main thread can wait for them.
#pragma once

#include <pthread.h>
#include <signal.h>

namespace velmora::ipc {

class StopSignals {
public:
    StopSignals() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    }
    // Returns the signal that arrived.
    int wait() const {
        int signal = 0;
        sigwait(&set_, &signal);
        return signal;
    }

private:
    sigset_t set_;
};

}  // namespace velmora::ipc
