// servicemanager: keeps the registry of service name to binder object.
//
//   servicemanager [-h|--help] [--version] [SOCKET_PATH]
//
// SOCKET_PATH defaults to /run/velmora/servicemanager. Runs until SIGTERM
// or SIGINT, then removes its socket; a bad command line gives status 2.
#include <velmora/IServiceManager.h>
#include <velmora/Parcel.h>
#include <velmora/String8.h>
#include <velmora/TextOutput.h>

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "ServiceRegistry.h"
#include "StopSignals.h"
#include "Transport.h"

using namespace velmora;

namespace {

// Creates the socket's directory when missing; a stale socket left by a
// dead daemon is removed, a live one is left alone.
bool prepareSocketPath(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        const std::string dir = path.substr(0, slash);
        if (::mkdir(dir.c_str(), 0755) < 0 && errno != EEXIST) {
            aerr << "servicemanager: cannot create " << dir << ": " << std::strerror(errno) << endl;
            return false;
        }
    }
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            aerr << "servicemanager: " << path << " exists and is not a socket" << endl;
            return false;
        }
        ipc::UniqueFd fd;
        // A listener with a full backlog is as alive as one that accepts.
        if (ipc::connectTo(path, &fd, 1000) != DEAD_OBJECT) {
            aerr << "servicemanager: another service manager is running at " << path << endl;
            return false;
        }
        ::unlink(path.c_str());
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    static const char usage[] = "usage: servicemanager [-h|--help] [--version] [SOCKET_PATH]";
    static const option options[] = {{"help", no_argument, nullptr, 'h'}, {"version", no_argument, nullptr, 'V'}, {}};
    // '+': nothing after the path is read as an option; a path that starts
    // with '-' follows "--".
    for (int opt; (opt = getopt_long(argc, argv, "+h", options, nullptr)) != -1;) {
        if (opt == '?') {
            aerr << usage << endl;
            return 2;
        }
        aout << (opt == 'h' ? usage : "servicemanager " VELMORA_VERSION) << endl;
        return 0;
    }
    if (argc - optind > 1) {
        aerr << usage << endl;
        return 2;
    }
    const std::string path = optind < argc ? argv[optind] : IServiceManager::DEFAULT_SOCKET;
    if (path.empty() || path[0] == '@' || path.size() >= 100) {
        aerr << "servicemanager: bad socket path '" << path << "'" << endl;
        return 2;
    }

    const ipc::StopSignals stopSignals;  // before the serving threads start

    if (!prepareSocketPath(path)) return 1;
    const status_t status = ipc::Transport::self().listenAt(path, sp<LocalBinder>(new ipc::ServiceRegistry));
    if (status != OK) {
        aerr << "servicemanager: cannot listen on " << path << ": " << std::strerror(-status) << endl;
        return 1;
    }

    stopSignals.wait();
    ::unlink(path.c_str());
    return 0;
}
