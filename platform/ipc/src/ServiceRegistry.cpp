#include "ServiceRegistry.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include <velmora/IServiceManager.h>

#include "ServiceManagerProtocol.h"

namespace velmora::ipc {

namespace {

constexpr uint64_t STOP_EVENT = 0;

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

int openPidfd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

// Whether the process listening at endpoint is pid. The connect does not
// wait: a listener whose backlog is full does not hold the registry up.
status_t checkHost(const std::string& endpoint, pid_t pid) {
    UniqueFd fd;
    if (connectTo(endpoint, &fd, 0) != OK) return DEAD_OBJECT;
    ucred listener{};
    socklen_t len = sizeof listener;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &listener, &len) != 0) return DEAD_OBJECT;
    return listener.pid == pid ? OK : PERMISSION_DENIED;
}

}  // namespace

bool isValidServiceName(std::u16string_view name) {
    if (name.empty() || name.size() > MAX_NAME_LENGTH) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        const char16_t unit = name[i];
        if (unit < 0x20 || (unit >= 0x7F && unit <= 0x9F)) return false;
        if (unit == 0x2028 || unit == 0x2029) return false;
        if (isLowSurrogate(unit)) return false;
        if (isHighSurrogate(unit)) {
            if (i + 1 == name.size() || !isLowSurrogate(name[i + 1])) return false;
            ++i;
        }
    }
    return true;
}

ServiceRegistry::ServiceRegistry() : LocalBinder(String16(IServiceManager::INTERFACE_NAME)) {}

ServiceRegistry::~ServiceRegistry() {
    if (mWatcher.joinable()) {
        const uint64_t one = 1;
        if (::write(mStop.get(), &one, sizeof one) == sizeof one) {
            mWatcher.join();
        } else {
            mWatcher.detach();  // cannot happen with an eventfd; never block here
        }
    }
}

status_t ServiceRegistry::onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) {
    if (code == IBinder::INTERFACE_TRANSACTION) return LocalBinder::onTransact(code, data, reply, flags);
    return handle(code, data, reply, callingProcess());
}

status_t ServiceRegistry::handle(uint32_t code, const Parcel& data, Parcel* reply, const ucred* caller) {
    if (code == IBinder::INTERFACE_TRANSACTION) return reply->writeString16(interfaceName());
    if (!data.enforceInterface(interfaceName())) return PERMISSION_DENIED;
    switch (code) {
        case SM_LOOK_UP: return lookUp(data, reply);
        case SM_LIST: return list(data, reply);
        case SM_ADD: return add(data, caller);
        default: return UNKNOWN_TRANSACTION;
    }
}

status_t ServiceRegistry::lookUp(const Parcel& data, Parcel* reply) {
    String16 name;
    if (status_t status = data.readString16(&name); status != OK) return status;
    std::lock_guard guard(mLock);
    const auto found = mIndex.find(name.view());
    if (found == mIndex.end()) return reply->writeStrongBinder(nullptr);
    const Parcel& reference = mEntries[found->second].reference;
    return reply->appendFrom(reference, 0, reference.dataSize());
}

status_t ServiceRegistry::list(const Parcel& data, Parcel* reply) {
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

status_t ServiceRegistry::add(const Parcel& data, const ucred* caller) {
    String16 name;
    sp<IBinder> binder;
    if (status_t status = data.readString16(&name); status != OK) return status;
    if (status_t status = data.readStrongBinder(&binder); status != OK) return status;
    if (!isValidServiceName(name.view()) || !binder) return BAD_VALUE;
    // Every object reaches the registry as a reference to its host; the
    // registry hosts no services itself.
    auto* remote = dynamic_cast<RemoteBinder*>(binder.get());
    if (!remote) return BAD_VALUE;
    // Who registers is what the kernel says, never what the parcel says.
    if (!caller || caller->pid <= 0) return PERMISSION_DENIED;
    const pid_t pid = caller->pid;

    bool checked = false;
    {
        std::lock_guard guard(mLock);
        if (status_t status = mayRegister(name.view(), pid); status != OK) return status;
        const auto known = mOwnerOfPid.find(pid);
        checked = known != mOwnerOfPid.end() && alive(mOwners.at(known->second)) &&
                  mOwners.at(known->second).endpoint == remote->endpoint();
    }
    // A host registers only objects it hosts itself. Checked without the
    // lock: it is a call to another process.
    if (!checked) {
        if (status_t status = checkHost(remote->endpoint(), pid); status != OK) return status;
    }
    Parcel reference;
    if (status_t status = reference.writeStrongBinder(binder); status != OK) return status;

    std::lock_guard guard(mLock);
    // Things may have changed while the lock was free.
    if (status_t status = mayRegister(name.view(), pid); status != OK) return status;
    uint64_t owner = 0;
    if (status_t status = ownerOf(pid, &owner); status != OK) return status;
    mOwners.at(owner).endpoint = remote->endpoint();
    if (const auto found = mIndex.find(name.view()); found != mIndex.end()) {
        // Its own earlier object, or a name whose holder has ended.
        Entry& entry = mEntries[found->second];
        entry.binder = std::move(binder);
        entry.owner = owner;
        entry.reference = std::move(reference);
        return OK;
    }
    mIndex.emplace(std::u16string(name.view()), mEntries.size());
    mEntries.push_back(Entry{std::move(name), std::move(binder), owner, std::move(reference)});
    return OK;
}

status_t ServiceRegistry::mayRegister(std::u16string_view name, pid_t pid) {
    const auto found = mIndex.find(name);
    if (found == mIndex.end()) return mEntries.size() < MAX_SERVICES ? OK : NO_MEMORY;
    const Owner& holder = mOwners.at(mEntries[found->second].owner);
    // A live holder keeps its name from everyone else.
    return holder.pid != pid && alive(holder) ? ALREADY_EXISTS : OK;
}

bool ServiceRegistry::alive(const Owner& owner) const {
    pollfd p{owner.pidfd.get(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;  // a pidfd turns readable when its process ends
}

status_t ServiceRegistry::ownerOf(pid_t pid, uint64_t* id) {
    if (const auto known = mOwnerOfPid.find(pid); known != mOwnerOfPid.end()) {
        if (alive(mOwners.at(known->second))) {
            *id = known->second;
            return OK;
        }
        forget(known->second);  // ended, and its pid is in use again
    }
    if (status_t status = startWatching(); status != OK) return status;
    UniqueFd pidfd(openPidfd(pid));
    if (!pidfd.valid()) return errno == ESRCH ? DEAD_OBJECT : NO_MEMORY;
    const uint64_t owner = mNextOwner++;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = owner;
    if (::epoll_ctl(mEpoll.get(), EPOLL_CTL_ADD, pidfd.get(), &event) != 0) return NO_MEMORY;
    mOwners.emplace(owner, Owner{pid, std::move(pidfd), {}});
    mOwnerOfPid[pid] = owner;
    *id = owner;
    return OK;
}

void ServiceRegistry::forget(uint64_t owner) {
    const auto found = mOwners.find(owner);
    if (found == mOwners.end()) return;  // already forgotten
    for (const Entry& entry : mEntries)
        if (entry.owner == owner) mIndex.erase(mIndex.find(entry.name.view()));
    std::erase_if(mEntries, [&](const Entry& entry) { return entry.owner == owner; });
    // The entries after a removed one have moved up.
    for (size_t i = 0; i < mEntries.size(); ++i) mIndex.find(mEntries[i].name.view())->second = i;
    if (const auto latest = mOwnerOfPid.find(found->second.pid);
        latest != mOwnerOfPid.end() && latest->second == owner)
        mOwnerOfPid.erase(latest);
    mOwners.erase(found);  // closing the pidfd takes it out of the epoll set
}

status_t ServiceRegistry::startWatching() {
    if (mWatcher.joinable()) return OK;
    mEpoll.reset(::epoll_create1(EPOLL_CLOEXEC));
    mStop.reset(::eventfd(0, EFD_CLOEXEC));
    if (!mEpoll.valid() || !mStop.valid()) return NO_MEMORY;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = STOP_EVENT;
    if (::epoll_ctl(mEpoll.get(), EPOLL_CTL_ADD, mStop.get(), &event) != 0) return NO_MEMORY;
    try {
        mWatcher = std::thread(&ServiceRegistry::watch, this);
    } catch (const std::system_error&) {
        return NO_MEMORY;
    }
    return OK;
}

void ServiceRegistry::watch() {
    epoll_event events[32];
    for (;;) {
        const int n = ::epoll_wait(mEpoll.get(), events, 32, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return;
        std::lock_guard guard(mLock);
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == STOP_EVENT) return;
            forget(events[i].data.u64);
        }
    }
}

}  // namespace velmora::ipc
