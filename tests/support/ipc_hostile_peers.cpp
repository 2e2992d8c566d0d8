#include "ipc_hostile_peers.h"

#include <fcntl.h>
#include <linux/sched.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <velmora/IServiceManager.h>
#include <velmora/String8.h>

#include "ServiceManagerProtocol.h"
#include "StopSignals.h"

extern char** environ;

using namespace velmora;
using Clock = std::chrono::steady_clock;

namespace ipcattack {

namespace {

std::vector<uint8_t> frameBytes(uint32_t code, size_t size, uint32_t handle = ipc::CONTEXT_HANDLE) {
    ipc::FrameHeader header;
    header.type = ipc::FRAME_CALL;
    header.target = handle;
    header.code = code;
    header.size = static_cast<uint32_t>(size);
    std::vector<uint8_t> bytes(ipc::FRAME_HEADER_SIZE);
    ipc::encodeHeader(header, bytes.data());
    return bytes;
}

ipc::UniqueFd openNonBlocking(const std::string& endpoint) {
    ipc::UniqueFd fd;
    if (ipc::connectTo(endpoint, &fd, 0) != OK) return {};
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) | O_NONBLOCK);
    return fd;
}

}  // namespace

std::vector<uint8_t> interfaceQueries(int calls, uint32_t handle) {
    const std::vector<uint8_t> one = frameBytes(IBinder::INTERFACE_TRANSACTION, 0, handle);
    std::vector<uint8_t> stream;
    stream.reserve(one.size() * static_cast<size_t>(calls));
    for (int i = 0; i < calls; ++i) stream.insert(stream.end(), one.begin(), one.end());
    return stream;
}

std::vector<uint8_t> halfSentCall() {
    std::vector<uint8_t> stream = frameBytes(1, MAX_TRANSACTION_SIZE);
    stream.resize(stream.size() + MAX_TRANSACTION_SIZE - 1, 0);
    return stream;
}

struct OneWayConnections::Peer {
    ipc::UniqueFd fd;
    size_t sent = 0;
};

OneWayConnections::OneWayConnections(const std::string& endpoint, int count, std::vector<uint8_t> stream,
                                     bool reconnect)
    : endpoint_(endpoint), stream_(std::move(stream)), reconnect_(reconnect), peers_(static_cast<size_t>(count)) {
    for (Peer& peer : peers_) {
        // Waits for room in the backlog: the peer accepts in batches.
        if (ipc::connectTo(endpoint_, &peer.fd, 10000) != OK) continue;
        ::fcntl(peer.fd.get(), F_SETFL, ::fcntl(peer.fd.get(), F_GETFL) | O_NONBLOCK);
        ++opened_;
    }
    stop_.reset(::eventfd(0, EFD_CLOEXEC));
    pump_ = std::thread(&OneWayConnections::pump, this);
}

OneWayConnections::~OneWayConnections() {
    const uint64_t one = 1;
    if (::write(stop_.get(), &one, sizeof one) != sizeof one) std::abort();  // cannot happen with an eventfd
    pump_.join();
}

void OneWayConnections::pump() {
    std::vector<pollfd> polls;
    std::vector<Peer*> polled;
    auto lastCount = Clock::now();
    for (;;) {
        polls.assign(1, pollfd{stop_.get(), POLLIN, 0});
        polled.clear();
        for (Peer& peer : peers_) {
            if (!peer.fd.valid() && reconnect_) {
                peer.fd = openNonBlocking(endpoint_);
                peer.sent = 0;
            }
            if (!peer.fd.valid()) continue;
            const short out = peer.sent < stream_.size() ? POLLOUT : 0;
            polls.push_back(pollfd{peer.fd.get(), static_cast<short>(out | POLLRDHUP), 0});
            polled.push_back(&peer);
        }
        if (::poll(polls.data(), polls.size(), 100) < 0 && errno != EINTR) return;
        if (polls[0].revents) return;
        for (size_t i = 1; i < polls.size(); ++i) {
            Peer& peer = *polled[i - 1];
            bool closed = polls[i].revents & (POLLRDHUP | POLLHUP | POLLERR);
            if (!closed && (polls[i].revents & POLLOUT)) {
                const ssize_t n = ::send(peer.fd.get(), stream_.data() + peer.sent, stream_.size() - peer.sent,
                                         MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n > 0) {
                    peer.sent += static_cast<size_t>(n);
                    written_ += static_cast<uint64_t>(n);
                } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    closed = true;
                }
            }
            if (closed) {
                peer.fd.reset();
                ++closed_;
            }
        }
        if (Clock::now() - lastCount >= std::chrono::milliseconds(100)) {
            int answered = 0;
            for (Peer& peer : peers_) {
                int unread = 0;
                if (peer.fd.valid() && ::ioctl(peer.fd.get(), FIONREAD, &unread) == 0 && unread > 0) ++answered;
            }
            answered_ = answered;
            lastCount = Clock::now();
        }
    }
}

bool OneWayConnections::settle(std::chrono::milliseconds quiet, std::chrono::milliseconds limit) const {
    const auto end = Clock::now() + limit;
    const uint64_t all = stream_.size() * static_cast<uint64_t>(peers_.size());
    uint64_t seen = written_;
    auto since = Clock::now();
    while (Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (written_ != seen) {
            seen = written_;
            since = Clock::now();
        } else if (Clock::now() - since >= quiet || seen >= all) {
            return true;
        }
    }
    return false;
}

ipc::UniqueFd connectionLeftByEndedProcess(const std::string& endpoint, pid_t* pid) {
    sockaddr_un addr;
    socklen_t len;
    if (ipc::socketAddress(endpoint, &addr, &len) != OK) return {};
    ipc::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return {};
    // Made before the fork: the child may only make system calls.
    const std::vector<uint8_t> query = frameBytes(IBinder::INTERFACE_TRANSACTION, 0);
    const pid_t child = ::fork();
    if (child < 0) return {};
    if (child == 0) {
        // The socket is shared with the parent; the connection is this
        // process's, as the kernel records who connects. The whole reply is
        // read so that the parent's next call finds nothing left over.
        uint8_t reply[1024];
        size_t got = 0;
        if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            ::send(fd.get(), query.data(), query.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(query.size()))
            ::_exit(1);
        for (;;) {
            uint32_t size = 0;
            if (got >= ipc::FRAME_HEADER_SIZE) {
                std::memcpy(&size, reply + ipc::FRAME_HEADER_SIZE - sizeof size, sizeof size);
                if (size > sizeof reply - ipc::FRAME_HEADER_SIZE) ::_exit(1);
                if (got == ipc::FRAME_HEADER_SIZE + size) ::_exit(0);
            }
            const size_t want = got < ipc::FRAME_HEADER_SIZE ? ipc::FRAME_HEADER_SIZE : ipc::FRAME_HEADER_SIZE + size;
            const ssize_t n = ::recv(fd.get(), reply + got, want - got, 0);
            if (n <= 0) ::_exit(1);
            got += static_cast<size_t>(n);
        }
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
    *pid = child;
    return fd;
}

status_t registerOn(int fd, const String16& name, const std::string& endpoint, uint32_t handle) {
    Parcel data;
    data.writeInterfaceToken(String16(IServiceManager::INTERFACE_NAME));
    data.writeString16(name);
    data.writeUint32(1);  // an object reference: handle and endpoint
    data.writeUint32(handle);
    data.writeString16(String16(endpoint.c_str()));
    ipc::FrameHeader call;
    call.type = ipc::FRAME_CALL;
    call.target = ipc::CONTEXT_HANDLE;
    call.code = ipc::SM_ADD;
    call.size = static_cast<uint32_t>(data.dataSize());
    if (status_t status = ipc::writeFrame(fd, call, data.data(), data.dataSize(), nullptr, 10000); status != OK)
        return status;
    ipc::FrameReader reader;
    ipc::FrameHeader answer;
    std::vector<uint8_t> payload;
    if (status_t status = reader.read(fd, &answer, &payload, 30000); status != OK) return status;
    return static_cast<status_t>(answer.code);
}

ProcessWithPid::ProcessWithPid(pid_t pid, const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& word : argv) args.push_back(const_cast<char*>(word.c_str()));
    args.push_back(nullptr);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        error_ = errno;
        return;
    }
    out_.reset(out[0]);
    ipc::UniqueFd writeEnd(out[1]);

    pid_t tid = pid;
    clone_args clone{};
    clone.exit_signal = SIGCHLD;
    clone.set_tid = reinterpret_cast<uintptr_t>(&tid);
    clone.set_tid_size = 1;
    const long child = ::syscall(SYS_clone3, &clone, sizeof clone);
    if (child < 0) {
        error_ = errno;
        return;
    }
    if (child == 0) {
        // As after fork in a process with threads: system calls only.
        if (::dup2(writeEnd.get(), 1) < 0) ::_exit(127);
        ::execve(args[0], args.data(), environ);
        ::_exit(127);
    }
    pid_ = static_cast<pid_t>(child);
}

ProcessWithPid::~ProcessWithPid() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
}

bool ProcessWithPid::waitForLine(const std::string& line, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    for (;;) {
        for (size_t start = 0, nl; (nl = text_.find('\n', start)) != std::string::npos; start = nl + 1)
            if (text_.compare(start, nl - start, line) == 0) return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0 || !out_.valid()) return false;
        pollfd p{out_.get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char buf[512];
        const ssize_t n = ::read(out_.get(), buf, sizeof buf);
        if (n <= 0) return false;
        text_.append(buf, static_cast<size_t>(n));
    }
}

std::string registrantName(const std::string& prefix, int process, int name, size_t nameLength) {
    std::string text = prefix + "-" + std::to_string(process) + "-" + std::to_string(name);
    if (text.size() < nameLength) text.append(nameLength - text.size(), 'x');
    return text;
}

namespace {

class Registered : public LocalBinder {
public:
    Registered() : LocalBinder(String16("velmora.test.IRegistrant")) {}
};

bool registerAll(int process, int namesEach, size_t nameLength, const std::string& prefix) {
    const sp<LocalBinder> object(new Registered);
    if (namesEach == 0) {
        // Serves like the others, but never meets the manager.
        std::string endpoint;
        uint32_t handle = 0;
        return ipc::Transport::self().exportObject(object, &endpoint, &handle) == OK;
    }
    const sp<IServiceManager> sm = defaultServiceManager();
    if (!sm) return false;
    for (int i = 0; i < namesEach; ++i) {
        const String16 name(registrantName(prefix, process, i, nameLength).c_str());
        if (sm->addService(name, object) != OK) return false;
    }
    return true;
}

}  // namespace

int runRegistrants(int processes, int namesEach, size_t nameLength, const std::string& prefix) {
    const ipc::StopSignals stopSignals;  // the registrants end by SIGKILL alone
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return 1;
    ipc::UniqueFd readEnd(ready[0]), writeEnd(ready[1]);
    std::vector<pid_t> children;
    const pid_t farm = ::getpid();
    const auto endAll = [&] {
        for (const pid_t child : children) ::kill(child, SIGKILL);
        for (const pid_t child : children)
            while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
            }
    };
    for (int p = 0; p < processes; ++p) {
        // No thread runs here yet, so each child may use the library.
        const pid_t child = ::fork();
        if (child < 0) {
            endAll();
            return 1;
        }
        if (child == 0) {
            // Ends with the farm, however that ends.
            if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != farm) ::_exit(1);
            readEnd.reset();
            const char done = registerAll(p, namesEach, nameLength, prefix) ? 1 : 0;
            if (::write(writeEnd.get(), &done, 1) != 1 || !done) ::_exit(1);
            for (;;) ::pause();
        }
        children.push_back(child);
    }
    writeEnd.reset();
    bool ok = true;
    for (int p = 0; p < processes; ++p) {
        char done = 0;
        if (::read(readEnd.get(), &done, 1) != 1 || !done) ok = false;
        if (!ok) break;
    }
    if (!ok) {
        endAll();
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    stopSignals.wait();
    endAll();  // all at once: the manager sees them leave together
    return 0;
}

}  // namespace ipcattack
