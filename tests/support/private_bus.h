// A private system bus for tests and benchmarks: dbus-daemon with the
// project's bus configuration, written for whoever runs them by the same
// program as the sandbox uses, so that their bluetooth-sim may own its name.
#pragma once

#include <memory>
#include <string>

#include "process.h"
#include "temp_dir.h"

namespace testsupport {

class PrivateBus {
public:
    // Starts the bus with its configuration, socket and logs in `dir`, which
    // must outlive it. Throws std::runtime_error when the configuration cannot
    // be written or the bus is not up within a minute.
    explicit PrivateBus(const TempDir& dir);
    // The daemon is killed and reaped.
    ~PrivateBus() = default;
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Where clients connect: "unix:path=DIR/bus".
    const std::string& address() const { return address_; }
    // Kills the daemon (SIGKILL) and reaps it, as a crash would end it.
    void kill();

private:
    std::string address_;
    std::unique_ptr<Process> daemon_;
};

}  // namespace testsupport
