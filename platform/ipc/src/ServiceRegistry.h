// The service manager's context object: the registry of service names, and
// the rules for who may register what. Internal to the daemon, its tests
// and fuzzers.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include <velmora/IBinder.h>
#include <velmora/Parcel.h>

#include "Transport.h"

namespace velmora::ipc {

// Whether name may be registered: 1 to MAX_NAME_LENGTH code units, no
// control character (C0, DEL, C1), no line or paragraph separator, no
// surrogate outside a pair.
bool isValidServiceName(std::u16string_view name);

class ServiceRegistry : public LocalBinder {
public:
    ServiceRegistry();
    ~ServiceRegistry() override;

    // Answers one transaction as sent by caller (null: a caller the kernel
    // did not name), data read from position 0.
    status_t handle(uint32_t code, const Parcel& data, Parcel* reply, const ucred* caller);

protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) override;

private:
    // A process that registered names, known by a pidfd: it refers to that
    // process alone, even once its pid is reused.
    struct Owner {
        pid_t pid = 0;
        UniqueFd pidfd;
        std::string endpoint;  // its listener, once seen to be its own
    };
    struct Entry {
        String16 name;
        sp<IBinder> binder;
        uint64_t owner = 0;
        Parcel reference;  // binder as written into a reply, made once
    };
    // Heterogeneous lookup: a name read from a parcel is looked up as a view.
    struct NameHash {
        using is_transparent = void;
        size_t operator()(std::u16string_view name) const { return std::hash<std::u16string_view>{}(name); }
    };
    using NameIndex = std::unordered_map<std::u16string, size_t, NameHash, std::equal_to<>>;

    status_t lookUp(const Parcel& data, Parcel* reply);
    status_t list(const Parcel& data, Parcel* reply);
    status_t add(const Parcel& data, const ucred* caller);

    // The rest is called with mLock held.
    status_t mayRegister(std::u16string_view name, pid_t pid);
    bool alive(const Owner& owner) const;
    status_t ownerOf(pid_t pid, uint64_t* id);
    void forget(uint64_t owner);
    status_t startWatching();
    void watch();

    std::mutex mLock;
    std::vector<Entry> mEntries;  // in registration order
    NameIndex mIndex;             // name to position in mEntries
    std::unordered_map<uint64_t, Owner> mOwners;
    std::unordered_map<pid_t, uint64_t> mOwnerOfPid;  // the latest owner with that pid
    uint64_t mNextOwner = 1;

    // One thread waits for the owners' ends on their pidfds.
    UniqueFd mEpoll;
    UniqueFd mStop;  // an eventfd that ends the watch
    std::thread mWatcher;
};

}  // namespace velmora::ipc
