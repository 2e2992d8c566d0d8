#include "private_bus.h"

#include <csignal>
#include <stdexcept>

namespace testsupport {

using namespace std::chrono_literals;

PrivateBus::PrivateBus(const TempDir& dir) : address_("unix:path=" + dir.file("bus")) {
    Command write({VELMORA_USER_BUS_CONF, VELMORA_BUS_CONF});
    write.out = Stream::file(dir.file("bus.conf"));
    write.err = Stream::file(dir.file("bus-conf.err"));
    Process writer(write);
    if (writer.finish(1min) != exitedWith(0))
        throw std::runtime_error("cannot name the daemon's user in " VELMORA_BUS_CONF ": " + writer.err());

    Command daemon({"dbus-daemon", "--config-file=" + dir.file("bus.conf"), "--address=" + address_, "--nofork",
                    "--print-address=1"});
    daemon.out = Stream::file(dir.file("bus.out"));
    daemon.err = Stream::file(dir.file("bus.err"));
    daemon_ = std::make_unique<Process>(daemon);
    if (!daemon_->waitForOutput(address_, 60s))
        throw std::runtime_error("dbus-daemon did not start: " + daemon_->err());
}

void PrivateBus::kill() {
    daemon_->signal(SIGKILL);
    daemon_->wait(5s);
}

}  // namespace testsupport
