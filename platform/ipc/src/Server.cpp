// The serving side of a listener. A small pool of threads takes turns
// waiting on one epoll set that holds the listener and every connection;
// the thread that finds a call readable answers it itself, so a call costs
// no hand-over between threads. Connections are armed one-shot: one thread
// at a time serves a connection, and its calls are answered in order.
//
// No thread waits on a peer: reads and writes never block. A reply the peer
// does not take is held for it and the connection is not read meanwhile; a
// frame is received as its bytes come. What a connection holds beyond a
// small allowance comes from one budget for the listener, and a connection
// that stalls half-way through a frame or a reply is closed after a while.
#include <fcntl.h>
#include <malloc.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "Transport.h"

namespace velmora::ipc {

namespace {

using Clock = std::chrono::steady_clock;

// Threads waiting on the event set or answering calls. One more is started
// whenever a call is to be answered and no other thread waits, up to the
// most; above the fewest, a thread that has waited this long for an event
// ends.
constexpr size_t FEWEST_THREADS = 2;
constexpr size_t MOST_THREADS = 32;
constexpr int THREAD_IDLE_MS = 2000;
// Frames one connection may have answered before the others get a turn.
constexpr int FRAMES_PER_TURN = 16;
constexpr int ACCEPT_BATCH = 64;
// A frame must arrive whole, and a reply be taken whole, within this.
constexpr auto STALL_LIMIT = std::chrono::seconds(10);
// How often stalled connections are looked for while there may be some.
constexpr auto SWEEP_INTERVAL = std::chrono::seconds(1);
// A connection may receive a frame of this size, and hold replies of this
// size its peer has not taken, on its own; the rest comes from the budget
// that all connections of a listener share.
constexpr size_t ALLOWANCE = 4096;
constexpr size_t SHARED_BUDGET = size_t{32} << 20;
static_assert(SHARED_BUDGET >= FRAME_HEADER_SIZE + MAX_TRANSACTION_SIZE, "room for the largest frame");

constexpr uint64_t LISTENER_ID = 0;
constexpr uint64_t TIMER_ID = 1;
constexpr auto NO_DEADLINE = Clock::time_point::max();

// Descriptors kept for connections, theirs and the pidfds naming their
// processes: half what the process may have, so that the rest stays free
// for its own work.
size_t descriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 8192;
    return std::clamp<size_t>(limit.rlim_cur / 2, 16, 8192);
}
constexpr size_t MOST_CONNECTIONS = 4096;

class Server {
public:
    Server(UniqueFd listener, sp<LocalBinder> context)
        : listener_(std::move(listener)), context_(std::move(context)), descriptorLimit_(descriptorLimit()) {}

    status_t start() {
        epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
        timer_.reset(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
        if (!epoll_.valid() || !timer_.valid()) return -errno;
        if (::fcntl(listener_.get(), F_SETFL, ::fcntl(listener_.get(), F_GETFL) | O_NONBLOCK) != 0) return -errno;
        if (!watch(listener_.get(), LISTENER_ID, EPOLLIN, EPOLL_CTL_ADD) ||
            !watch(timer_.get(), TIMER_ID, EPOLLIN, EPOLL_CTL_ADD))
            return -errno;
        spare_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        // One thread must run; the second is a bonus.
        threads_ = 1;
        try {
            std::thread(&Server::run, this).detach();
        } catch (const std::system_error& error) {
            threads_ = 0;
            return -error.code().value();
        }
        addThread();
        return OK;
    }

    // False once a thread runs that uses this object.
    bool deletable() const { return threads_ == 0; }

private:
    enum class Next { READ, WRITE, YIELD, PARK, CLOSE };

    struct Connection {
        uint64_t id = 0;
        UniqueFd fd;
        PeerIdentity peer;
        FrameReader reader;
        size_t room = ALLOWANCE;      // the largest frame it may receive now
        size_t frameShare = 0;        // drawn from the budget for that frame
        size_t wanted = 0;            // the frame it waits to receive, when parked
        std::vector<uint8_t> unsent;  // reply bytes the peer has not taken
        size_t unsentFrom = 0;
        size_t unsentShare = 0;  // drawn from the budget for them
        Clock::time_point deadline = NO_DEADLINE;
        bool busy = false;
        bool parked = false;
        std::list<Connection*>::iterator idle;     // valid while not busy
        std::list<Connection*>::iterator waiting;  // valid while parked
    };

    bool watch(int fd, uint64_t id, uint32_t events, int op) {
        epoll_event event{};
        event.events = events | EPOLLONESHOT;
        event.data.u64 = id;
        return ::epoll_ctl(epoll_.get(), op, fd, &event) == 0;
    }

    void run() {
        for (;;) {
            const int timeout = threads_ > FEWEST_THREADS ? THREAD_IDLE_MS : -1;
            epoll_event event{};
            ++waiting_;
            const int n = ::epoll_wait(epoll_.get(), &event, 1, timeout);
            --waiting_;
            if (n < 0 && errno == EINTR) continue;
            if (n == 0 && !leaveIfSpare()) continue;
            if (n < 0) --threads_;  // the event set is gone; cannot happen
            if (n <= 0) return;
            if (event.data.u64 == LISTENER_ID) {
                acceptSome();
            } else if (event.data.u64 == TIMER_ID) {
                sweep();
            } else {
                serve(event.data.u64);
            }
        }
    }

    void addThread() {
        size_t threads = threads_;
        do {
            if (threads >= MOST_THREADS) return;
        } while (!threads_.compare_exchange_weak(threads, threads + 1));
        try {
            std::thread(&Server::run, this).detach();
        } catch (const std::system_error&) {
            --threads_;  // none to be had: the running threads go on
        }
    }

    bool leaveIfSpare() {
        size_t threads = threads_;
        do {
            if (threads <= FEWEST_THREADS) return false;
        } while (!threads_.compare_exchange_weak(threads, threads - 1));
        // The last helper to go gives back what the busy spell left in
        // malloc's per-thread arenas.
        if (threads - 1 == FEWEST_THREADS) ::malloc_trim(0);
        return true;
    }

    // ---- connections coming and going

    void acceptSome() {
        // A bounded batch: a flood of newcomers must not keep this thread
        // from the connections there are.
        for (int batch = 0; batch < ACCEPT_BATCH; ++batch) {
            UniqueFd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (fd.valid()) {
                admit(std::move(fd));
                continue;
            }
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EMFILE && errno != ENFILE && errno != ENOBUFS && errno != ENOMEM) break;
            // Out of descriptors or memory: make room by closing the least
            // recently active idle connection, or else turn the newcomer
            // away, so that the listener does not stay ready for ever.
            std::lock_guard guard(lock_);
            if (evictIdle()) continue;
            if (!refuseOne()) {
                ::usleep(10000);  // nothing to free here; let the system recover
                break;
            }
        }
        watch(listener_.get(), LISTENER_ID, EPOLLIN, EPOLL_CTL_MOD);
    }

    // Closes a waiting connection with the spare descriptor's help.
    bool refuseOne() {
        if (!spare_.valid()) return false;
        spare_.reset();
        UniqueFd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        spare_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        return true;
    }

    void admit(UniqueFd fd) {
        auto connection = std::make_unique<Connection>();
        Connection* c = connection.get();
        c->fd = std::move(fd);
        // Who connected is fixed now, for as long as the connection lasts.
        socklen_t len = sizeof c->peer.credentials;
        const bool known = ::getsockopt(c->fd.get(), SOL_SOCKET, SO_PEERCRED, &c->peer.credentials, &len) == 0 &&
                           c->peer.credentials.pid > 0;
        UniqueFd pidfd = known ? pidfdOfPeer(c->fd.get(), c->peer.credentials) : UniqueFd();

        std::lock_guard guard(lock_);
        while (overLimit() && evictIdle()) {
        }
        if (overLimit()) return;  // every one busy: refuse
        if (known) c->peer.process = processOf(c->peer.credentials.pid, std::move(pidfd));
        c->id = nextId_++;
        c->idle = idle_.insert(idle_.end(), c);
        connections_.emplace(c->id, std::move(connection));
        if (!watch(c->fd.get(), c->id, EPOLLIN, EPOLL_CTL_ADD)) close(c);
    }

    // Called with lock_ held. One pidfd for all connections of a process:
    // a new one names the same process as a kept one when both are running
    // with the same pid.
    std::shared_ptr<const UniqueFd> processOf(pid_t pid, UniqueFd pidfd) {
        if (!pidfd.valid()) return nullptr;
        const bool running = stillRunning(pidfd.get());
        const auto kept = processes_.find(pid);
        if (running && kept != processes_.end() && stillRunning(kept->second->get())) return kept->second;
        std::shared_ptr<const UniqueFd> process(new UniqueFd(std::move(pidfd)), [this](const UniqueFd* fd) {
            --pidfds_;
            delete fd;
        });
        ++pidfds_;
        if (running) processes_[pid] = process;  // in place of one that has ended
        return process;
    }

    // Called with lock_ held.
    bool overLimit() const {
        // A newcomer may need two: its socket and a pidfd.
        return connections_.size() >= MOST_CONNECTIONS || connections_.size() + pidfds_ + 2 > descriptorLimit_;
    }

    // Called with lock_ held, for a connection that is not busy.
    void close(Connection* c) {
        idle_.erase(c->idle);
        if (c->parked) parked_.erase(c->waiting);
        used_ -= c->frameShare + c->unsentShare;
        const auto kept = processes_.find(c->peer.credentials.pid);
        const bool lastOfItsProcess =
            kept != processes_.end() && kept->second == c->peer.process && c->peer.process.use_count() == 2;
        connections_.erase(c->id);
        if (lastOfItsProcess) processes_.erase(kept);
        unpark();
    }

    // Called with lock_ held. Idle connections are those of clients that
    // keep them for later calls, of peers that never send, or that wait:
    // each kind copes with the close. One with nothing on its way is taken
    // first, so that no call that has been sent is lost.
    bool evictIdle() {
        if (idle_.empty()) return false;
        constexpr int CANDIDATES = 64;
        int looked = 0;
        for (Connection* c : idle_) {
            if (++looked > CANDIDATES) break;
            int pending = -1;
            if (c->reader.buffered() == 0 && c->unsent.empty() && ::ioctl(c->fd.get(), FIONREAD, &pending) == 0 &&
                pending == 0) {
                close(c);
                return true;
            }
        }
        close(idle_.front());
        return true;
    }

    // ---- serving a connection

    void serve(uint64_t id) {
        Connection* c;
        {
            std::lock_guard guard(lock_);
            const auto found = connections_.find(id);
            if (found == connections_.end()) return;  // closed since its event fired
            c = found->second.get();
            c->busy = true;
            idle_.erase(c->idle);
        }
        finish(c, turn(c));
    }

    // What the connection's event calls for, in this thread alone.
    Next turn(Connection* c) {
        if (!c->unsent.empty()) {
            const status_t status = flush(c);
            if (status != OK) return status == WOULD_BLOCK ? Next::WRITE : Next::CLOSE;
        }
        for (int frames = 0; frames < FRAMES_PER_TURN; ++frames) {
            FrameHeader header;
            const uint8_t* payload = nullptr;
            status_t status = c->reader.take(c->fd.get(), &header, &payload, c->room);
            if (status == NEEDS_ROOM) {
                if (!reserveFrame(c, FRAME_HEADER_SIZE + header.size)) return Next::PARK;
                status = c->reader.take(c->fd.get(), &header, &payload, c->room);
            }
            if (status == WOULD_BLOCK) return Next::READ;
            if (status != OK || header.type != FRAME_CALL) return Next::CLOSE;
            c->deadline = NO_DEADLINE;

            // An object may take its time: someone must wait for the other
            // connections meanwhile. Reads and writes never wait, so only
            // calls need this.
            if (waiting_ == 0) addThread();
            FrameHeader replyHeader;
            Parcel reply;
            Transport::self().dispatch(header, payload, context_, &c->peer, &replyHeader, &reply);
            if (c->frameShare > 0) releaseFrame(c);
            if (header.flags & IBinder::FLAG_ONEWAY) continue;
            status = send(c, replyHeader, reply);
            if (status != OK) return status == WOULD_BLOCK ? Next::WRITE : Next::CLOSE;
        }
        // Frames may wait in the reader, which no event announces.
        return c->reader.buffered() > 0 ? Next::YIELD : Next::READ;
    }

    // Sends a reply without waiting; what the peer does not take now is
    // kept for it (WOULD_BLOCK), or the connection is closed when the
    // budget cannot hold it (NO_MEMORY).
    status_t send(Connection* c, const FrameHeader& header, const Parcel& reply) {
        uint8_t head[FRAME_HEADER_SIZE];
        encodeHeader(header, head);
        iovec parts[2] = {{head, sizeof head}, {const_cast<uint8_t*>(reply.data()), reply.dataSize()}};
        msghdr msg{};
        msg.msg_iov = parts;
        msg.msg_iovlen = reply.dataSize() > 0 ? 2 : 1;
        ssize_t sent;
        do {
            sent = ::sendmsg(c->fd.get(), &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        } while (sent < 0 && errno == EINTR);
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return DEAD_OBJECT;
        const size_t total = sizeof head + reply.dataSize();
        size_t from = sent > 0 ? static_cast<size_t>(sent) : 0;
        if (from == total) return OK;

        const size_t left = total - from;
        if (left > ALLOWANCE) {
            std::lock_guard guard(lock_);
            if (used_ + (left - ALLOWANCE) > SHARED_BUDGET) return NO_MEMORY;
            c->unsentShare = left - ALLOWANCE;
            used_ += c->unsentShare;
        }
        try {
            c->unsent.reserve(left);
        } catch (const std::bad_alloc&) {
            return NO_MEMORY;  // closing gives back its share
        }
        for (const iovec& part : parts) {
            const auto* bytes = static_cast<const uint8_t*>(part.iov_base);
            if (from < part.iov_len) c->unsent.insert(c->unsent.end(), bytes + from, bytes + part.iov_len);
            from -= std::min(from, part.iov_len);
        }
        c->unsentFrom = 0;
        c->deadline = Clock::now() + STALL_LIMIT;
        return WOULD_BLOCK;
    }

    // Sends what the peer has not taken yet: OK once all has gone.
    status_t flush(Connection* c) {
        while (c->unsentFrom < c->unsent.size()) {
            const ssize_t sent = ::send(c->fd.get(), c->unsent.data() + c->unsentFrom, c->unsent.size() - c->unsentFrom,
                                        MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0 && errno == EINTR) continue;
            if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return WOULD_BLOCK;
            if (sent <= 0) return DEAD_OBJECT;
            c->unsentFrom += static_cast<size_t>(sent);
        }
        std::vector<uint8_t>().swap(c->unsent);
        c->deadline = NO_DEADLINE;
        if (c->unsentShare > 0) {
            std::lock_guard guard(lock_);
            used_ -= c->unsentShare;
            c->unsentShare = 0;
            unpark();
        }
        return OK;
    }

    // Room for a frame larger than the allowance, from the budget; false
    // when it has none to spare (or others wait for it already).
    bool reserveFrame(Connection* c, size_t frameSize) {
        std::lock_guard guard(lock_);
        const size_t share = frameSize - ALLOWANCE;
        if (!parked_.empty() || used_ + share > SHARED_BUDGET) {
            c->wanted = frameSize;
            return false;
        }
        grant(c, frameSize);
        return true;
    }

    // Called with lock_ held.
    void grant(Connection* c, size_t frameSize) {
        c->frameShare = frameSize - ALLOWANCE;
        c->room = frameSize;
        used_ += c->frameShare;
    }

    void releaseFrame(Connection* c) {
        c->reader.shrink();
        std::lock_guard guard(lock_);
        used_ -= c->frameShare;
        c->frameShare = 0;
        c->room = ALLOWANCE;
        unpark();
    }

    // Called with lock_ held: connections that wait for room get it in
    // the order they came, as far as the budget goes.
    void unpark() {
        while (!parked_.empty()) {
            Connection* c = parked_.front();
            if (used_ + (c->wanted - ALLOWANCE) > SHARED_BUDGET) return;
            parked_.pop_front();
            c->parked = false;
            grant(c, c->wanted);
            c->deadline = Clock::now() + STALL_LIMIT;  // for the rest of its frame
            // Its frame is taken up where it stopped; one that cannot be
            // armed stays idle until its time runs out.
            watch(c->fd.get(), c->id, EPOLLIN, EPOLL_CTL_MOD);
        }
    }

    // Hands the connection back to the event set, or closes it.
    void finish(Connection* c, Next next) {
        std::lock_guard guard(lock_);
        c->busy = false;
        c->idle = idle_.insert(idle_.end(), c);
        if (next == Next::CLOSE) {
            close(c);
            return;
        }
        // A frame's time runs from its first bytes, even while it waits
        // for room: who holds room holds it for a while only, and who waits
        // for it in vain is told so.
        if (c->deadline == NO_DEADLINE && c->reader.buffered() > 0) c->deadline = Clock::now() + STALL_LIMIT;
        if (c->deadline != NO_DEADLINE) startSweeping();
        if (next == Next::PARK) {
            c->parked = true;
            c->waiting = parked_.insert(parked_.end(), c);
            return;
        }
        // Waiting to write, the connection is not read; yielding, it comes
        // back behind the others as soon as it can be written to.
        const uint32_t events = next == Next::READ ? EPOLLIN : next == Next::WRITE ? EPOLLOUT : EPOLLIN | EPOLLOUT;
        if (!watch(c->fd.get(), c->id, events, EPOLL_CTL_MOD)) close(c);
    }

    // ---- connections that stall

    // Called with lock_ held.
    void startSweeping() {
        if (sweeping_) return;
        const auto interval = std::chrono::duration_cast<std::chrono::nanoseconds>(SWEEP_INTERVAL).count();
        itimerspec every{};
        every.it_interval.tv_sec = every.it_value.tv_sec = interval / 1000000000;
        every.it_interval.tv_nsec = every.it_value.tv_nsec = interval % 1000000000;
        sweeping_ = ::timerfd_settime(timer_.get(), 0, &every, nullptr) == 0;
    }

    void sweep() {
        uint64_t expirations;
        while (::read(timer_.get(), &expirations, sizeof expirations) < 0 && errno == EINTR) {
        }
        std::lock_guard guard(lock_);
        const auto now = Clock::now();
        std::vector<Connection*> stalled;
        bool more = false;
        for (const auto& [id, c] : connections_) {
            // A busy one is its thread's alone; handing it back starts the
            // sweeps again if it needs them.
            if (c->busy || c->deadline == NO_DEADLINE) continue;
            if (c->deadline <= now)
                stalled.push_back(c.get());
            else
                more = true;
        }
        for (Connection* c : stalled) close(c);
        if (!more) {
            const itimerspec off{};
            ::timerfd_settime(timer_.get(), 0, &off, nullptr);
            sweeping_ = false;
        }
        watch(timer_.get(), TIMER_ID, EPOLLIN, EPOLL_CTL_MOD);
    }

    UniqueFd listener_;
    sp<LocalBinder> context_;
    const size_t descriptorLimit_;
    UniqueFd epoll_;
    UniqueFd timer_;  // ticks while connections may stall
    UniqueFd spare_;  // given up to accept and close a connection when out of descriptors

    std::atomic<size_t> threads_{0};
    std::atomic<size_t> waiting_{0};

    std::mutex lock_;
    uint64_t nextId_ = TIMER_ID + 1;
    std::unordered_map<uint64_t, std::unique_ptr<Connection>> connections_;
    std::list<Connection*> idle_;                                           // not busy, least recently active first
    std::list<Connection*> parked_;                                         // waiting for room, first come first
    std::unordered_map<pid_t, std::shared_ptr<const UniqueFd>> processes_;  // those with connections here
    std::atomic<size_t> pidfds_{0};                                         // held for the connections' processes
    size_t used_ = 0;                                                       // of the shared budget
    bool sweeping_ = false;
};

}  // namespace

status_t serve(UniqueFd listener, const sp<LocalBinder>& context) {
    // Lives as long as the process: its threads never end.
    auto* server = new Server(std::move(listener), context);
    const status_t status = server->start();
    if (status != OK && server->deletable()) delete server;
    return status;
}

}  // namespace velmora::ipc
