// The service manager's context object: the registry of service names, and
// the rules for who may register what. Internal to the daemon, its tests
// and fuzzers.
#pragma once

#include <ext/pb_ds/assoc_container.hpp>
#include <ext/pb_ds/tree_policy.hpp>
#include <sys/types.h>

#include <cstdint>
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
    status_t handle(uint32_t code, const Parcel& data, Parcel* reply, const PeerIdentity* caller);

protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) override;

private:
    // A process that registered names, known by a pidfd: it refers to that
    // process alone, even once its pid is reused.
    struct Owner {
        pid_t pid = 0;
        UniqueFd pidfd;
        std::string endpoint;           // its listener, once seen to be its own
        std::vector<uint64_t> numbers;  // of its entries, some maybe taken over since
    };
    struct Entry {
        uint64_t number = 0;  // of registration: the order of listing
        String16 name;
        sp<IBinder> binder;
        uint64_t owner = 0;
        Parcel reference;  // binder as written into a reply, made once
    };
    // Entries by number, which orders them as registered and, counting,
    // finds the n-th for a listing page in logarithmic time. Node-based:
    // an entry stays where it is until it is removed.
    using Entries = __gnu_pbds::tree<uint64_t, Entry, std::less<uint64_t>, __gnu_pbds::rb_tree_tag,
                                     __gnu_pbds::tree_order_statistics_node_update>;
    // Name (a view of the entry's own) to entry.
    using NameIndex = std::unordered_map<std::u16string_view, Entry*>;

    status_t lookUp(const Parcel& data, Parcel* reply);
    status_t list(const Parcel& data, Parcel* reply);
    status_t add(const Parcel& data, const PeerIdentity* caller);

    // The rest is called with lock_ held.
    Entry* find(std::u16string_view name) const;
    status_t mayRegister(std::u16string_view name, const PeerIdentity& caller);
    bool isCaller(const Owner& owner, const PeerIdentity& caller) const;
    status_t ownerFor(const PeerIdentity& caller, uint64_t* id);
    // Removes up to `most` names of an owner that has ended, and the owner
    // with its last; true once it is gone.
    bool forget(uint64_t owner, size_t most);
    status_t startWatching();
    void watch();

    std::mutex lock_;
    Entries entries_;
    NameIndex index_;
    uint64_t nextNumber_ = 1;
    std::unordered_map<uint64_t, Owner> owners_;
    std::unordered_map<pid_t, uint64_t> ownerOfPid_;  // the latest owner with that pid
    uint64_t nextOwner_ = 1;

    // One thread waits for the owners' ends on their pidfds.
    UniqueFd epoll_;
    UniqueFd stop_;  // an eventfd that ends the watch
    std::thread watcher_;
};

}  // namespace velmora::ipc
