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
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ServiceManagerProtocol.h"
#include "StopSignals.h"
#include "Transport.h"

using namespace velmora;

namespace {

// Names per SM_LIST reply; far below the transaction limit even for long names.
constexpr int32_t LIST_PAGE = 256;

class ServiceRegistry : public LocalBinder {
public:
    ServiceRegistry() : LocalBinder(String16(IServiceManager::INTERFACE_NAME)) {}

protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) override {
        if (code == IBinder::INTERFACE_TRANSACTION) return LocalBinder::onTransact(code, data, reply, flags);
        if (!data.enforceInterface(interfaceName())) return PERMISSION_DENIED;
        switch (code) {
            case ipc::SM_LOOK_UP: return lookUp(data, reply);
            case ipc::SM_LIST: return list(data, reply);
            case ipc::SM_ADD: return add(data);
            default: return UNKNOWN_TRANSACTION;
        }
    }

private:
    struct Entry {
        String16 name;
        sp<IBinder> binder;
        std::string endpoint;  // of the hosting process; empty when hosted here
        Parcel reference;      // binder as written into a reply, made once
    };

    // Heterogeneous lookup: a name read from a parcel is looked up as a view.
    struct NameHash {
        using is_transparent = void;
        size_t operator()(std::u16string_view name) const {
            return std::hash<std::u16string_view>{}(name);
        }
    };
    using NameIndex = std::unordered_map<std::u16string, size_t, NameHash, std::equal_to<>>;

    status_t lookUp(const Parcel& data, Parcel* reply) {
        String16 name;
        if (status_t status = data.readString16(&name); status != OK) return status;
        std::lock_guard guard(mLock);
        const auto found = mIndex.find(name.view());
        if (found == mIndex.end()) return reply->writeStrongBinder(nullptr);
        const Parcel& reference = mEntries[found->second].reference;
        return reply->appendFrom(reference, 0, reference.dataSize());
    }

    status_t list(const Parcel& data, Parcel* reply) {
        int32_t first = 0;
        if (status_t status = data.readInt32(&first); status != OK) return status;
        if (first < 0) return BAD_VALUE;
        std::lock_guard guard(mLock);
        const size_t begin = std::min(static_cast<size_t>(first), mEntries.size());
        const size_t end = std::min(begin + LIST_PAGE, mEntries.size());
        reply->writeInt32(static_cast<int32_t>(end - begin));
        for (size_t i = begin; i < end; ++i) reply->writeString16(mEntries[i].name);
        return reply->writeInt32(end < mEntries.size() ? 1 : 0);
    }

    status_t add(const Parcel& data) {
        String16 name;
        sp<IBinder> binder;
        if (status_t status = data.readString16(&name); status != OK) return status;
        if (status_t status = data.readStrongBinder(&binder); status != OK) return status;
        if (name.empty() || !binder) return BAD_VALUE;
        auto* remote = dynamic_cast<ipc::RemoteBinder*>(binder.get());
        const std::string endpoint = remote ? remote->endpoint() : std::string();

        // One lock over watch and insert: a host that dies in between is
        // then forgotten after its entry exists, never before.
        std::lock_guard guard(mLock);
        if (!endpoint.empty()) {
            if (status_t status = watch(endpoint); status != OK) return status;
        }
        Parcel reference;
        if (status_t status = reference.writeStrongBinder(binder); status != OK) return status;
        if (const auto found = mIndex.find(name.view()); found != mIndex.end()) {
            Entry& entry = mEntries[found->second];
            // The host that holds the name may replace its own object; a
            // name held by a live host is not taken away from it.
            if (entry.endpoint != endpoint && isAlive(entry.endpoint)) return ALREADY_EXISTS;
            entry.binder = std::move(binder);
            entry.endpoint = endpoint;
            entry.reference = std::move(reference);
            return OK;
        }
        mIndex.emplace(std::u16string(name.view()), mEntries.size());
        mEntries.push_back(Entry{std::move(name), std::move(binder), endpoint, std::move(reference)});
        return OK;
    }

    static bool isAlive(const std::string& endpoint) {
        if (endpoint.empty()) return true;
        ipc::UniqueFd fd;
        return ipc::connectTo(endpoint, &fd) == OK;
    }

    // Holds a connection to each hosting process; when that process ends
    // the connection reads end-of-stream and its names are dropped.
    // Called with mLock held.
    status_t watch(const std::string& endpoint) {
        if (mWatched.count(endpoint)) return OK;
        ipc::UniqueFd fd;
        if (ipc::connectTo(endpoint, &fd) != OK) return DEAD_OBJECT;
        mWatched.insert(endpoint);
        sp<ServiceRegistry> self(this);
        std::thread([self, endpoint, fd = std::move(fd)] {
            char byte;
            for (;;) {
                const ssize_t n = ::read(fd.get(), &byte, 1);
                if (n == 0 || (n < 0 && errno != EINTR)) break;
            }
            self->forget(endpoint);
        }).detach();
        return OK;
    }

    void forget(const std::string& endpoint) {
        std::lock_guard guard(mLock);
        for (const Entry& entry : mEntries)
            if (entry.endpoint == endpoint) mIndex.erase(mIndex.find(entry.name.view()));
        std::erase_if(mEntries, [&](const Entry& entry) { return entry.endpoint == endpoint; });
        // The entries after a removed one have moved up.
        for (size_t i = 0; i < mEntries.size(); ++i) mIndex.find(mEntries[i].name.view())->second = i;
        mWatched.erase(endpoint);
    }

    std::mutex mLock;
    std::vector<Entry> mEntries;  // in registration order
    NameIndex mIndex;             // name to position in mEntries
    std::set<std::string> mWatched;
};

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
        if (ipc::connectTo(path, &fd) == OK) {
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
    const status_t status = ipc::Transport::self().listenAt(path, sp<LocalBinder>(new ServiceRegistry));
    if (status != OK) {
        aerr << "servicemanager: cannot listen on " << path << ": " << std::strerror(-status) << endl;
        return 1;
    }

    stopSignals.wait();
    ::unlink(path.c_str());
    return 0;
}
