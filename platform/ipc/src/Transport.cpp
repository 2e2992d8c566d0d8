#include "Transport.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <random>
#include <thread>
#include <unordered_map>

namespace velmora::ipc {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

int UniqueFd::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

void encodeHeader(const FrameHeader& header, uint8_t out[FRAME_HEADER_SIZE]) {
    const uint32_t fields[6] = {header.magic, header.type, header.target, header.code, header.flags, header.size};
    std::memcpy(out, fields, FRAME_HEADER_SIZE);
}

status_t decodeHeader(const uint8_t* bytes, size_t len, FrameHeader* out) {
    if (len < FRAME_HEADER_SIZE) return NOT_ENOUGH_DATA;
    uint32_t fields[6];
    std::memcpy(fields, bytes, FRAME_HEADER_SIZE);
    *out = FrameHeader{fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]};
    if (out->magic != FRAME_MAGIC) return BAD_PARCEL;
    if (out->type != FRAME_CALL && out->type != FRAME_REPLY) return BAD_PARCEL;
    if (out->size > MAX_TRANSACTION_SIZE) return TOO_LARGE;
    return OK;
}

Deadline::Deadline(int timeoutMs) {
    if (timeoutMs >= 0) at_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
}

int Deadline::remainingMs() const {
    if (!at_) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*at_ - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

bool FrameReader::makeRoom(size_t want) {
    if (capacity_ - start_ >= want) return true;
    // What arrived early moves to the front.
    const size_t capacity = std::max<size_t>({want, capacity_, FIRST_CAPACITY});
    if (capacity > capacity_) {
        std::unique_ptr<uint8_t[]> bigger(new (std::nothrow) uint8_t[capacity]);
        if (!bigger) return false;
        if (end_ > start_) std::memcpy(bigger.get(), buf_.get() + start_, end_ - start_);
        buf_ = std::move(bigger);
        capacity_ = capacity;
    } else {
        std::memmove(buf_.get(), buf_.get() + start_, end_ - start_);
    }
    end_ -= start_;
    start_ = 0;
    return true;
}

status_t FrameReader::fill(int fd, size_t want, const Deadline& deadline) {
    if (end_ - start_ >= want) return OK;
    if (!makeRoom(want)) return NO_MEMORY;  // room for the whole frame at once
    while (end_ - start_ < want) {
        if (const int timeoutMs = deadline.remainingMs(); timeoutMs >= 0) {
            pollfd p{fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, timeoutMs);
            if (ready < 0 && errno == EINTR) continue;
            if (ready == 0) return TIMED_OUT;
            if (ready < 0) return DEAD_OBJECT;
        }
        const ssize_t n = ::recv(fd, buf_.get() + end_, capacity_ - end_, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return DEAD_OBJECT;
        end_ += static_cast<size_t>(n);
    }
    return OK;
}

const uint8_t* FrameReader::consume(const FrameHeader& header) {
    const uint8_t* payload = buf_.get() + start_ + FRAME_HEADER_SIZE;
    start_ += FRAME_HEADER_SIZE + header.size;
    return payload;
}

status_t FrameReader::read(int fd, FrameHeader* header, const uint8_t** payload, int timeoutMs) {
    const Deadline deadline(timeoutMs);
    if (start_ == end_) start_ = end_ = 0;  // start at the front when nothing waits
    status_t status = fill(fd, FRAME_HEADER_SIZE, deadline);
    if (status != OK) return status;
    status = decodeHeader(buf_.get() + start_, FRAME_HEADER_SIZE, header);
    if (status != OK) return status;
    status = fill(fd, FRAME_HEADER_SIZE + header->size, deadline);
    if (status != OK) return status;
    *payload = consume(*header);
    return OK;
}

status_t FrameReader::take(int fd, FrameHeader* header, const uint8_t** payload, size_t room) {
    if (start_ == end_) start_ = end_ = 0;
    // One read at most, and only when what is here is not a whole frame.
    for (bool didRead = false;; didRead = true) {
        // Room as the bytes come, not as the header claims: a server holds
        // many connections, each may announce a frame and send nothing.
        // Nothing past the frame is read, so the buffer never holds more.
        size_t limit = FIRST_CAPACITY;
        if (buffered() >= FRAME_HEADER_SIZE) {
            if (status_t status = decodeHeader(buf_.get() + start_, FRAME_HEADER_SIZE, header); status != OK)
                return status;
            const size_t want = FRAME_HEADER_SIZE + header->size;
            if (buffered() >= want) {
                *payload = consume(*header);
                return OK;
            }
            limit = std::min(want, room);
            if (buffered() >= limit) return NEEDS_ROOM;
        }
        if (didRead) return WOULD_BLOCK;
        if (!makeRoom(std::min(limit, std::max(2 * capacity_, FIRST_CAPACITY)))) return NO_MEMORY;
        ssize_t n;
        do {
            n = ::recv(fd, buf_.get() + end_, std::min(capacity_ - end_, limit - buffered()), MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return WOULD_BLOCK;
        if (n <= 0) return DEAD_OBJECT;
        end_ += static_cast<size_t>(n);
    }
}

void FrameReader::shrink() {
    if (start_ != end_ || capacity_ <= FIRST_CAPACITY) return;
    buf_.reset();
    capacity_ = 0;
    start_ = end_ = 0;
}

status_t FrameReader::read(int fd, FrameHeader* header, std::vector<uint8_t>* payload, int timeoutMs) {
    const uint8_t* bytes = nullptr;
    const status_t status = read(fd, header, &bytes, timeoutMs);
    if (status == OK) payload->assign(bytes, bytes + header->size);
    return status;
}

status_t writeFrame(int fd, const FrameHeader& header, const uint8_t* payload, size_t len, bool* nothingSent,
                    int timeoutMs) {
    const Deadline deadline(timeoutMs);
    uint8_t head[FRAME_HEADER_SIZE];
    encodeHeader(header, head);
    iovec parts[2] = {{head, sizeof head}, {const_cast<uint8_t*>(payload), len}};
    msghdr msg{};
    msg.msg_iov = parts;
    msg.msg_iovlen = len > 0 ? 2 : 1;
    if (nothingSent) *nothingSent = true;
    const int flags = MSG_NOSIGNAL | (timeoutMs >= 0 ? MSG_DONTWAIT : 0);
    while (msg.msg_iovlen > 0) {
        const ssize_t n = ::sendmsg(fd, &msg, flags);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && timeoutMs >= 0) {
            pollfd p{fd, POLLOUT, 0};
            const int ready = ::poll(&p, 1, deadline.remainingMs());
            if (ready == 0) return TIMED_OUT;
            if (ready < 0 && errno != EINTR) return DEAD_OBJECT;
            continue;
        }
        if (n <= 0) return DEAD_OBJECT;
        if (nothingSent) *nothingSent = false;
        size_t sent = static_cast<size_t>(n);
        while (msg.msg_iovlen > 0 && sent >= msg.msg_iov[0].iov_len) {
            sent -= msg.msg_iov[0].iov_len;
            ++msg.msg_iov;
            --msg.msg_iovlen;
        }
        if (msg.msg_iovlen > 0) {
            msg.msg_iov[0].iov_base = static_cast<uint8_t*>(msg.msg_iov[0].iov_base) + sent;
            msg.msg_iov[0].iov_len -= sent;
        }
    }
    return OK;
}

status_t socketAddress(const std::string& endpoint, sockaddr_un* addr, socklen_t* len) {
    *addr = sockaddr_un{};
    addr->sun_family = AF_UNIX;
    if (endpoint.empty() || endpoint.size() >= sizeof addr->sun_path) return BAD_VALUE;
    std::memcpy(addr->sun_path, endpoint.data(), endpoint.size());
    if (endpoint[0] == '@') addr->sun_path[0] = '\0';
    *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + endpoint.size() + (endpoint[0] == '@' ? 0 : 1));
    return OK;
}

namespace {

// A new stream socket and the address that endpoint names.
status_t openSocket(const std::string& endpoint, sockaddr_un* addr, socklen_t* len, UniqueFd* fd) {
    if (socketAddress(endpoint, addr, len) != OK) return BAD_VALUE;
    fd->reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return fd->valid() ? OK : -errno;
}

// How long a connect may wait for room in the listener's backlog; a socket
// without it waits for ever, a non-blocking one not at all.
bool limitConnectWait(int fd, int timeoutMs) {
    if (timeoutMs == 0) return ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) == 0;
    timeval limit{};
    limit.tv_sec = timeoutMs / 1000;
    limit.tv_usec = (timeoutMs % 1000) * 1000;
    return ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0;
}

}  // namespace

status_t connectTo(const std::string& endpoint, UniqueFd* out, int timeoutMs) {
    const Deadline deadline(timeoutMs);
    sockaddr_un addr;
    socklen_t len;
    UniqueFd fd;
    if (status_t status = openSocket(endpoint, &addr, &len, &fd); status != OK) return status;
    int rc;
    for (;;) {
        // Set again after a signal, so that it does not restart the wait.
        const int left = deadline.remainingMs();
        if (left >= 0 && !limitConnectWait(fd.get(), left)) return -errno;
        rc = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), len);
        if (rc == 0 || errno != EINTR) break;
    }
    if (rc < 0) {
        // A Unix socket reports a full backlog this way once the wait is over.
        return errno == EAGAIN || errno == EINPROGRESS ? TIMED_OUT : DEAD_OBJECT;
    }
    if (timeoutMs >= 0) {
        // The connection may be kept for calls without a time limit.
        const timeval forever{};
        if (::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK) != 0 ||
            ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &forever, sizeof forever) != 0)
            return -errno;
    }
    *out = std::move(fd);
    return OK;
}

status_t listenOn(const std::string& endpoint, UniqueFd* out) {
    sockaddr_un addr;
    socklen_t len;
    UniqueFd fd;
    if (status_t status = openSocket(endpoint, &addr, &len, &fd); status != OK) return status;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) < 0) return -errno;
    if (::listen(fd.get(), SOMAXCONN) < 0) return -errno;
    *out = std::move(fd);
    return OK;
}

status_t RemoteBinder::callBinder(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) {
    return callBinder(code, data, reply, flags, -1);
}

status_t RemoteBinder::callBinder(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags, int timeoutMs) {
    if (reply) reply->freeData();
    if (data.dataSize() > MAX_TRANSACTION_SIZE) return TOO_LARGE;
    // One limit for the whole call: connecting, sending and the answer.
    const Deadline deadline(timeoutMs);
    Transport& transport = Transport::self();
    status_t status = OK;
    bool reused = false;
    UniqueFd fd = transport.takeConnection(endpoint_, &status, &reused, timeoutMs);
    if (!fd.valid()) return status;

    FrameHeader request;
    request.type = FRAME_CALL;
    request.target = handle_;
    request.code = code;
    request.flags = flags;
    request.size = static_cast<uint32_t>(data.dataSize());
    bool nothingSent = true;
    status = writeFrame(fd.get(), request, data.data(), data.dataSize(), &nothingSent, deadline.remainingMs());
    if (status == DEAD_OBJECT && reused && nothingSent) {
        // The peer of an idle connection has gone; whoever listens at the
        // address now has seen nothing of this call, so it is safe to send
        // it once more on a new connection.
        fd.reset();
        status = connectTo(endpoint_, &fd, deadline.remainingMs());
        if (status != OK) return status;
        status = writeFrame(fd.get(), request, data.data(), data.dataSize(), nullptr, deadline.remainingMs());
    }
    if (status != OK) return status;
    if (flags & FLAG_ONEWAY) {
        transport.returnConnection(endpoint_, std::move(fd));
        return OK;
    }

    FrameReader reader;
    FrameHeader answer;
    const uint8_t* payload = nullptr;
    status = reader.read(fd.get(), &answer, &payload, deadline.remainingMs());
    if (status != OK) return status;  // the connection is dropped with fd
    if (answer.type != FRAME_REPLY) return BAD_PARCEL;
    if (reply) reply->setData(payload, answer.size);
    transport.returnConnection(endpoint_, std::move(fd));
    return static_cast<status_t>(answer.code);
}

// ---------------------------------------------------------------------------

struct Transport::State {
    std::mutex lock;
    std::string endpoint;  // empty until the listener runs
    uint32_t nextHandle = CONTEXT_HANDLE + 1;
    std::unordered_map<uint32_t, sp<LocalBinder>> byHandle;
    std::unordered_map<const LocalBinder*, uint32_t> handles;
    std::map<std::string, std::vector<UniqueFd>> idle;
};

Transport& Transport::self() {
    // Never destroyed: serving threads may still run while the process exits.
    static Transport* transport = new Transport;
    return *transport;
}

Transport::State& Transport::state() {
    static State* state = new State;
    return *state;
}

namespace {

status_t startListener(const std::string& endpoint, const sp<LocalBinder>& context) {
    UniqueFd listener;
    const status_t status = listenOn(endpoint, &listener);
    if (status != OK) return status;
    return serve(std::move(listener), context);
}

thread_local const PeerIdentity* tCaller = nullptr;

// Whose call this thread answers, for as long as it exists.
class CallerScope {
public:
    explicit CallerScope(const PeerIdentity* caller) : outer_(tCaller) { tCaller = caller; }
    ~CallerScope() { tCaller = outer_; }
    CallerScope(const CallerScope&) = delete;
    CallerScope& operator=(const CallerScope&) = delete;

private:
    const PeerIdentity* outer_;
};

}  // namespace

const PeerIdentity* callingProcess() { return tCaller; }

UniqueFd pidfdOfPeer(int fd, const ucred& peer) {
    // Linux 6.5's SO_PEERPIDFD; older headers lack the name. The kernel
    // names the process that connected, whatever has happened since.
    constexpr int PEER_PIDFD = 77;
    int pidfd = -1;
    socklen_t len = sizeof pidfd;
    if (::getsockopt(fd, SOL_SOCKET, PEER_PIDFD, &pidfd, &len) == 0) return UniqueFd(pidfd);
    if (errno != ENOPROTOOPT) return UniqueFd();  // the peer has ended, or no descriptor is free
    return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, peer.pid, 0)));
}

bool stillRunning(int pidfd) {
    pollfd p{pidfd, POLLIN, 0};
    int ready;
    while ((ready = ::poll(&p, 1, 0)) < 0 && errno == EINTR) {
    }
    return ready == 0;  // a pidfd turns readable when its process ends
}

status_t Transport::exportObject(const sp<LocalBinder>& object, std::string* endpoint, uint32_t* handle) {
    State& s = state();
    std::lock_guard guard(s.lock);
    if (s.endpoint.empty()) {
        std::random_device random;
        char name[64];
        std::snprintf(name, sizeof name, "@velmora-%d-%08x%08x", static_cast<int>(::getpid()), random(), random());
        const status_t status = startListener(name, nullptr);
        if (status != OK) return status;
        s.endpoint = name;
    }
    auto known = s.handles.find(object.get());
    if (known == s.handles.end()) {
        // Exported objects stay alive while the process runs: other
        // processes may hold references to them that we cannot count.
        known = s.handles.emplace(object.get(), s.nextHandle++).first;
        s.byHandle.emplace(known->second, object);
    }
    *endpoint = s.endpoint;
    *handle = known->second;
    return OK;
}

sp<IBinder> Transport::resolve(std::string endpoint, uint32_t handle) {
    State& s = state();
    {
        std::lock_guard guard(s.lock);
        if (endpoint == s.endpoint) {
            auto it = s.byHandle.find(handle);
            return it == s.byHandle.end() ? nullptr : sp<IBinder>(it->second);
        }
    }
    return sp<IBinder>(new RemoteBinder(std::move(endpoint), handle));
}

status_t Transport::listenAt(const std::string& path, const sp<LocalBinder>& context) {
    return startListener(path, context);
}

void Transport::dispatch(const FrameHeader& header, const uint8_t* payload, const sp<LocalBinder>& context,
                         const PeerIdentity* caller, FrameHeader* replyHeader, Parcel* reply) {
    sp<LocalBinder> target;
    if (header.target == CONTEXT_HANDLE) {
        target = context;
    } else {
        State& s = state();
        std::lock_guard guard(s.lock);
        auto it = s.byHandle.find(header.target);
        if (it != s.byHandle.end()) target = it->second;
    }
    const CallerScope scope(caller);
    status_t status = DEAD_OBJECT;  // no such object here (any more)
    try {
        Parcel data;
        data.setData(payload, header.size);
        if (target) status = target->callBinder(header.code, data, reply, header.flags);
    } catch (const std::bad_alloc&) {
        // One call that finds no memory fails alone; the host goes on.
        reply->freeData();
        status = NO_MEMORY;
    }
    if (reply->dataSize() > MAX_TRANSACTION_SIZE) {
        reply->freeData();
        status = TOO_LARGE;
    }
    *replyHeader = FrameHeader{};
    replyHeader->type = FRAME_REPLY;
    replyHeader->target = header.target;
    replyHeader->code = static_cast<uint32_t>(status);
    replyHeader->size = static_cast<uint32_t>(reply->dataSize());
}

UniqueFd Transport::takeConnection(const std::string& endpoint, status_t* status, bool* reused, int timeoutMs) {
    State& s = state();
    {
        std::lock_guard guard(s.lock);
        auto it = s.idle.find(endpoint);
        if (it != s.idle.end() && !it->second.empty()) {
            UniqueFd fd = std::move(it->second.back());
            it->second.pop_back();
            *status = OK;
            *reused = true;
            return fd;
        }
    }
    UniqueFd fd;
    *status = connectTo(endpoint, &fd, timeoutMs);
    *reused = false;
    return fd;
}

void Transport::returnConnection(const std::string& endpoint, UniqueFd fd) {
    constexpr size_t MAX_IDLE_PER_ENDPOINT = 4;
    State& s = state();
    std::lock_guard guard(s.lock);
    auto& idle = s.idle[endpoint];
    if (idle.size() < MAX_IDLE_PER_ENDPOINT) idle.push_back(std::move(fd));
}

}  // namespace velmora::ipc
