// The serving side of a listener. One thread waits on every connection
// with epoll and reads what arrives without blocking; a whole call frame
// goes to a small pool of workers, which answer it and hand the connection
// back. An idle connection costs a descriptor and a small buffer, never a
// thread, and a peer that sends half a frame and stops holds up nobody.
#include <fcntl.h>
#include <malloc.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "Transport.h"

namespace velmora::ipc {

namespace {

// Workers answering calls at once. The pool grows on demand up to this and
// shrinks back to one when idle.
constexpr size_t MAX_WORKERS = 32;
constexpr auto WORKER_IDLE = std::chrono::seconds(2);
// A client that does not take its reply in this time loses the connection.
constexpr int REPLY_TIMEOUT_MS = 10000;
// Frames one connection may have answered before the others get a turn.
constexpr int FRAMES_PER_TURN = 16;
constexpr int ACCEPT_BATCH = 64;
constexpr uint64_t LISTENER_ID = 0;

// Connections kept open at once: half the descriptors the process may
// have, so that the rest stays free for its own work.
size_t connectionLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 4096;
    return std::clamp<size_t>(limit.rlim_cur / 2, 8, 4096);
}

class Server {
public:
    Server(UniqueFd listener, sp<LocalBinder> context)
        : mListener(std::move(listener)), mContext(std::move(context)), mLimit(connectionLimit()) {}

    status_t start() {
        mEpoll.reset(::epoll_create1(EPOLL_CLOEXEC));
        if (!mEpoll.valid()) return -errno;
        if (::fcntl(mListener.get(), F_SETFL, ::fcntl(mListener.get(), F_GETFL) | O_NONBLOCK) != 0)
            return -errno;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = LISTENER_ID;
        if (::epoll_ctl(mEpoll.get(), EPOLL_CTL_ADD, mListener.get(), &event) != 0) return -errno;
        mSpare.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        // The loop and one worker always run; more workers are a bonus.
        try {
            std::thread(&Server::workerMain, this).detach();
        } catch (const std::system_error& error) {
            return -error.code().value();
        }
        mWorkers = 1;
        try {
            std::thread(&Server::loop, this).detach();
        } catch (const std::system_error& error) {
            // The worker waits for work that never comes; this object stays.
            mListener.reset();
            return -error.code().value();
        }
        return OK;
    }

    // False once a thread runs that uses this object.
    bool deletable() const { return mWorkers == 0; }

private:
    struct Connection {
        uint64_t id = 0;
        UniqueFd fd;
        ucred peer{};
        bool peerKnown = false;
        FrameReader reader;
        FrameHeader header;              // the call being answered
        const uint8_t* payload = nullptr;
        std::list<Connection*>::iterator idle;  // valid while not busy
    };

    void loop() {
        epoll_event events[64];
        for (;;) {
            const int n = ::epoll_wait(mEpoll.get(), events, 64, -1);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return;
            for (int i = 0; i < n; ++i) {
                if (events[i].data.u64 == LISTENER_ID)
                    acceptAll();
                else
                    readable(events[i].data.u64);
            }
        }
    }

    void acceptAll() {
        // A bounded batch: a flood of newcomers must not keep the loop
        // from the connections it has.
        for (int batch = 0; batch < ACCEPT_BATCH; ++batch) {
            UniqueFd fd(::accept4(mListener.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (fd.valid()) {
                admit(std::move(fd));
                continue;
            }
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EMFILE && errno != ENFILE && errno != ENOBUFS && errno != ENOMEM) return;
            // Out of descriptors or memory: make room by closing the least
            // recently active idle connection, or else turn the newcomer
            // away, so that the listener does not stay ready for ever.
            std::lock_guard guard(mLock);
            if (evictIdle()) continue;
            if (!refuseOne()) {
                ::usleep(10000);  // nothing to free here; let the system recover
                return;
            }
        }
    }

    // Closes a waiting connection with the spare descriptor's help.
    bool refuseOne() {
        if (!mSpare.valid()) return false;
        mSpare.reset();
        UniqueFd(::accept4(mListener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        mSpare.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        return true;
    }

    void admit(UniqueFd fd) {
        auto connection = std::make_unique<Connection>();
        Connection* c = connection.get();
        c->fd = std::move(fd);
        socklen_t len = sizeof c->peer;
        c->peerKnown = ::getsockopt(c->fd.get(), SOL_SOCKET, SO_PEERCRED, &c->peer, &len) == 0;

        std::lock_guard guard(mLock);
        if (mConnections.size() >= mLimit && !evictIdle()) return;  // every one busy: refuse
        c->id = mNextId++;
        c->idle = mIdle.insert(mIdle.end(), c);
        mConnections.emplace(c->id, std::move(connection));
        if (!arm(c, EPOLL_CTL_ADD)) close(c);
    }

    // Called with mLock held.
    bool arm(Connection* c, int op) {
        epoll_event event{};
        event.events = EPOLLIN | EPOLLONESHOT;
        event.data.u64 = c->id;
        return ::epoll_ctl(mEpoll.get(), op, c->fd.get(), &event) == 0;
    }

    // Called with mLock held, for a connection that is not busy.
    void close(Connection* c) {
        mIdle.erase(c->idle);
        mConnections.erase(c->id);
    }

    // Called with mLock held. Idle connections are those of clients that
    // keep them for later calls, or of peers that never send: either kind
    // copes with the close. One with nothing on its way is taken first, so
    // that no call that has been sent is lost.
    bool evictIdle() {
        if (mIdle.empty()) return false;
        constexpr int CANDIDATES = 64;
        int looked = 0;
        for (Connection* c : mIdle) {
            if (++looked > CANDIDATES) break;
            int pending = -1;
            if (c->reader.buffered() == 0 && ::ioctl(c->fd.get(), FIONREAD, &pending) == 0 && pending == 0) {
                close(c);
                return true;
            }
        }
        close(mIdle.front());
        return true;
    }

    // Only this thread touches a connection that is not busy, and a
    // one-shot event fires once per arming.
    void readable(uint64_t id) {
        Connection* c;
        {
            std::lock_guard guard(mLock);
            const auto found = mConnections.find(id);
            if (found == mConnections.end()) return;
            c = found->second.get();
        }
        const status_t status = c->reader.take(c->fd.get(), &c->header, &c->payload);
        std::lock_guard guard(mLock);
        if (status == OK && c->header.type == FRAME_CALL) {
            mIdle.erase(c->idle);
            submit(c);
        } else if (status == WOULD_BLOCK) {
            mIdle.splice(mIdle.end(), mIdle, c->idle);  // most recently active last
            if (!arm(c, EPOLL_CTL_MOD)) close(c);
        } else {
            close(c);  // end of stream, a read error or a malformed frame
        }
    }

    // Called with mLock held.
    void submit(Connection* c) {
        mQueue.push_back(c);
        if (mQueue.size() > mIdleWorkers && mWorkers < MAX_WORKERS) {
            try {
                std::thread(&Server::workerMain, this).detach();
                ++mWorkers;
            } catch (const std::system_error&) {
                // No thread to be had: the running workers will get to it.
            }
        }
        mWork.notify_one();
    }

    void workerMain() {
        std::unique_lock lock(mLock);
        for (;;) {
            ++mIdleWorkers;
            const bool work = mWork.wait_for(lock, WORKER_IDLE, [&] { return !mQueue.empty(); });
            --mIdleWorkers;
            if (!work) {
                if (mWorkers > 1) {
                    // The last helper to go gives back what the busy spell
                    // left in malloc's per-thread arenas.
                    if (--mWorkers == 1) {
                        lock.unlock();
                        ::malloc_trim(0);
                    }
                    return;
                }
                continue;
            }
            Connection* c = mQueue.front();
            mQueue.pop_front();
            lock.unlock();
            answer(c);
            lock.lock();
        }
    }

    // Answers the connection's call and any that follow it at once; the
    // connection is busy and this worker's alone until it is handed back.
    void answer(Connection* c) {
        for (int turn = 1;; ++turn) {
            FrameHeader replyHeader;
            Parcel reply;
            Transport::self().dispatch(c->header, c->payload, mContext, c->peerKnown ? &c->peer : nullptr,
                                       &replyHeader, &reply);
            status_t status = OK;
            if (!(c->header.flags & IBinder::FLAG_ONEWAY))
                status = writeFrame(c->fd.get(), replyHeader, reply.data(), reply.dataSize(), nullptr,
                                    REPLY_TIMEOUT_MS);
            if (status == OK) status = c->reader.take(c->fd.get(), &c->header, &c->payload);
            if (status == OK && c->header.type != FRAME_CALL) status = BAD_PARCEL;
            if (status == OK && turn < FRAMES_PER_TURN) continue;

            std::lock_guard guard(mLock);
            if (status == OK) {
                submit(c);  // more calls waiting: after the others
                return;
            }
            c->idle = mIdle.insert(mIdle.end(), c);
            if (status != WOULD_BLOCK || !arm(c, EPOLL_CTL_MOD)) close(c);
            return;
        }
    }

    UniqueFd mListener;
    sp<LocalBinder> mContext;
    const size_t mLimit;
    UniqueFd mEpoll;
    UniqueFd mSpare;  // given up to accept and close a connection when out of descriptors

    std::mutex mLock;
    uint64_t mNextId = LISTENER_ID + 1;
    std::unordered_map<uint64_t, std::unique_ptr<Connection>> mConnections;
    std::list<Connection*> mIdle;  // not busy, least recently active first
    std::deque<Connection*> mQueue;
    std::condition_variable mWork;
    size_t mWorkers = 0;
    size_t mIdleWorkers = 0;
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
