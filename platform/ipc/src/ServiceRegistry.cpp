#include "ServiceRegistry.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include <velmora/IServiceManager.h>

#include "ServiceManagerProtocol.h"

namespace velmora::ipc {

namespace {

constexpr uint64_t STOP_EVENT = 0;
// Names of a departed owner removed at a time: a look-up waits behind no
// more than this, however many names the owner had and however many
// owners leave at once.
constexpr size_t DEPARTURE_CHUNK = 256;

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Whether the process listening at endpoint is the caller. The connect
// does not wait: a listener whose backlog is full does not hold the
// registry up.
status_t checkHost(const std::string& endpoint, const PeerIdentity& caller) {
    UniqueFd fd;
    if (connectTo(endpoint, &fd, 0) != OK) return DEAD_OBJECT;
    ucred listener{};
    socklen_t len = sizeof listener;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &listener, &len) != 0) return DEAD_OBJECT;
    if (listener.pid != caller.credentials.pid) return PERMISSION_DENIED;
    // The same pid, and both running: the same process.
    const UniqueFd pidfd = pidfdOfPeer(fd.get(), listener);
    if (!pidfd.valid() || !stillRunning(pidfd.get()) || !stillRunning(caller.process->get())) return PERMISSION_DENIED;
    return OK;
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
    if (watcher_.joinable()) {
        const uint64_t one = 1;
        if (::write(stop_.get(), &one, sizeof one) == sizeof one) {
            watcher_.join();
        } else {
            watcher_.detach();  // cannot happen with an eventfd; never block here
        }
    }
}

status_t ServiceRegistry::onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) {
    if (code == IBinder::INTERFACE_TRANSACTION) return LocalBinder::onTransact(code, data, reply, flags);
    return handle(code, data, reply, callingProcess());
}

status_t ServiceRegistry::handle(uint32_t code, const Parcel& data, Parcel* reply, const PeerIdentity* caller) {
    if (code == IBinder::INTERFACE_TRANSACTION) return reply->writeString16(interfaceName());
    if (!data.enforceInterface(interfaceName())) return PERMISSION_DENIED;
    switch (code) {
    case SM_LOOK_UP:
        return lookUp(data, reply);
    case SM_LIST:
        return list(data, reply);
    case SM_ADD:
        return add(data, caller);
    default:
        return UNKNOWN_TRANSACTION;
    }
}

ServiceRegistry::Entry* ServiceRegistry::find(std::u16string_view name) const {
    const auto found = index_.find(name);
    return found == index_.end() ? nullptr : found->second;
}

status_t ServiceRegistry::lookUp(const Parcel& data, Parcel* reply) {
    String16 name;
    if (status_t status = data.readString16(&name); status != OK) return status;
    std::lock_guard guard(lock_);
    const Entry* entry = find(name.view());
    if (!entry) return reply->writeStrongBinder(nullptr);
    return reply->appendFrom(entry->reference, 0, entry->reference.dataSize());
}

status_t ServiceRegistry::list(const Parcel& data, Parcel* reply) {
    int32_t first = 0;
    if (status_t status = data.readInt32(&first); status != OK) return status;
    if (first < 0) return BAD_VALUE;
    std::lock_guard guard(lock_);
    const size_t begin = std::min(static_cast<size_t>(first), entries_.size());
    const size_t end = std::min(begin + LIST_PAGE, entries_.size());
    reply->writeInt32(static_cast<int32_t>(end - begin));
    auto entry = entries_.find_by_order(begin);
    for (size_t i = begin; i < end; ++i, ++entry) reply->writeString16(entry->second.name);
    return reply->writeInt32(end < entries_.size() ? 1 : 0);
}

status_t ServiceRegistry::add(const Parcel& data, const PeerIdentity* caller) {
    String16 name;
    sp<IBinder> binder;
    if (status_t status = data.readString16(&name); status != OK) return status;
    if (status_t status = data.readStrongBinder(&binder); status != OK) return status;
    if (!isValidServiceName(name.view()) || !binder) return BAD_VALUE;
    // Every object reaches the registry as a reference to its host; the
    // registry hosts no services itself.
    auto* remote = dynamic_cast<RemoteBinder*>(binder.get());
    if (!remote) return BAD_VALUE;
    // Who registers is the process that made the connection, as the kernel
    // named it when the connection was accepted, never what the parcel
    // says; once that process has ended, whoever holds the connection
    // registers nothing.
    if (!caller || !caller->process || !stillRunning(caller->process->get())) return PERMISSION_DENIED;

    bool checked = false;
    {
        std::lock_guard guard(lock_);
        if (status_t status = mayRegister(name.view(), *caller); status != OK) return status;
        const auto known = ownerOfPid_.find(caller->credentials.pid);
        checked = known != ownerOfPid_.end() && isCaller(owners_.at(known->second), *caller) &&
                  owners_.at(known->second).endpoint == remote->endpoint();
    }
    // A host registers only objects it hosts itself. Checked without the
    // lock: it is a call to another process.
    if (!checked) {
        if (status_t status = checkHost(remote->endpoint(), *caller); status != OK) return status;
    }
    Parcel reference;
    if (status_t status = reference.writeStrongBinder(binder); status != OK) return status;

    std::lock_guard guard(lock_);
    // Things may have changed while the lock was free.
    if (status_t status = mayRegister(name.view(), *caller); status != OK) return status;
    uint64_t owner = 0;
    if (status_t status = ownerFor(*caller, &owner); status != OK) return status;
    Owner& registrant = owners_.at(owner);
    registrant.endpoint = remote->endpoint();
    if (Entry* entry = find(name.view())) {
        // Its own earlier object, or a name whose holder has ended.
        if (entry->owner != owner) registrant.numbers.push_back(entry->number);
        entry->binder = std::move(binder);
        entry->owner = owner;
        entry->reference = std::move(reference);
        return OK;
    }
    const uint64_t number = nextNumber_++;
    Entry& entry =
        entries_.insert({number, Entry{number, std::move(name), std::move(binder), owner, std::move(reference)}})
            .first->second;
    index_.emplace(entry.name.view(), &entry);
    registrant.numbers.push_back(number);
    return OK;
}

status_t ServiceRegistry::mayRegister(std::u16string_view name, const PeerIdentity& caller) {
    const Entry* entry = find(name);
    if (!entry) return entries_.size() < MAX_SERVICES ? OK : NO_MEMORY;
    const Owner& holder = owners_.at(entry->owner);
    // A live holder keeps its name from everyone else.
    return isCaller(holder, caller) || !stillRunning(holder.pidfd.get()) ? OK : ALREADY_EXISTS;
}

bool ServiceRegistry::isCaller(const Owner& owner, const PeerIdentity& caller) const {
    // Two running processes never share a pid.
    return owner.pid == caller.credentials.pid && stillRunning(owner.pidfd.get()) &&
           stillRunning(caller.process->get());
}

status_t ServiceRegistry::ownerFor(const PeerIdentity& caller, uint64_t* id) {
    if (const auto known = ownerOfPid_.find(caller.credentials.pid); known != ownerOfPid_.end()) {
        if (isCaller(owners_.at(known->second), caller)) {
            *id = known->second;
            return OK;
        }
        if (!stillRunning(caller.process->get())) return PERMISSION_DENIED;  // it ended meanwhile
        forget(known->second, SIZE_MAX);                                     // ended, and its pid is in use again
    }
    if (status_t status = startWatching(); status != OK) return status;
    // The caller's own pidfd, taken when it connected.
    UniqueFd pidfd(::fcntl(caller.process->get(), F_DUPFD_CLOEXEC, 0));
    if (!pidfd.valid()) return NO_MEMORY;
    const uint64_t owner = nextOwner_++;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = owner;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, pidfd.get(), &event) != 0) return NO_MEMORY;
    owners_.emplace(owner, Owner{caller.credentials.pid, std::move(pidfd), {}, {}});
    ownerOfPid_[caller.credentials.pid] = owner;
    *id = owner;
    return OK;
}

bool ServiceRegistry::forget(uint64_t owner, size_t most) {
    const auto found = owners_.find(owner);
    if (found == owners_.end()) return true;  // already forgotten
    Owner& departed = found->second;
    for (size_t done = 0; done < most && !departed.numbers.empty(); ++done) {
        const auto entry = entries_.find(departed.numbers.back());
        departed.numbers.pop_back();
        if (entry == entries_.end() || entry->second.owner != owner) continue;  // taken over since
        index_.erase(entry->second.name.view());
        entries_.erase(entry);
    }
    if (!departed.numbers.empty()) return false;
    if (const auto latest = ownerOfPid_.find(departed.pid); latest != ownerOfPid_.end() && latest->second == owner)
        ownerOfPid_.erase(latest);
    owners_.erase(found);  // closing the pidfd takes it out of the epoll set
    return true;
}

status_t ServiceRegistry::startWatching() {
    if (watcher_.joinable()) return OK;
    epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
    stop_.reset(::eventfd(0, EFD_CLOEXEC));
    if (!epoll_.valid() || !stop_.valid()) return NO_MEMORY;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = STOP_EVENT;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, stop_.get(), &event) != 0) return NO_MEMORY;
    try {
        watcher_ = std::thread(&ServiceRegistry::watch, this);
    } catch (const std::system_error&) {
        return NO_MEMORY;
    }
    return OK;
}

void ServiceRegistry::watch() {
    // Clearing up after departures is background work: below the threads
    // that answer look-ups, which it competes with for the processors.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
    epoll_event events[32];
    for (;;) {
        const int n = ::epoll_wait(epoll_.get(), events, 32, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return;
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == STOP_EVENT) return;
            // The lock is let go between chunks, so that look-ups and
            // registrations get in however much leaves at once.
            for (bool gone = false; !gone;) {
                std::lock_guard guard(lock_);
                gone = forget(events[i].data.u64, DEPARTURE_CHUNK);
            }
        }
    }
}

}  // namespace velmora::ipc
