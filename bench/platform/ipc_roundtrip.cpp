#include "ipc_roundtrip.h"

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "Transport.h"

namespace velmora::bench {

namespace {

int64_t now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool readFull(int fd, uint8_t* buf, size_t len) {
    while (len > 0) {
        const ssize_t n = ::read(fd, buf, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool writeFull(int fd, const uint8_t* buf, size_t len) {
    while (len > 0) {
        const ssize_t n = ::send(fd, buf, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

RoundTripStats summarize(std::vector<int64_t> nanos) {
    RoundTripStats stats;
    stats.samples = nanos.size();
    if (nanos.empty()) return stats;
    std::sort(nanos.begin(), nanos.end());
    auto at = [&](double q) { return nanos[static_cast<size_t>(q * static_cast<double>(nanos.size() - 1))] / 1000.0; };
    stats.p50Us = at(0.50);
    stats.p99Us = at(0.99);
    stats.maxUs = nanos.back() / 1000.0;
    return stats;
}

PingPongPeer::PingPongPeer(size_t bytes) : bytes_(bytes) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) < 0) return;
    const pid_t pid = fork();
    if (pid < 0) {
        close(pair[0]);
        close(pair[1]);
        return;
    }
    if (pid == 0) {
        close(pair[0]);
        std::vector<uint8_t> buf(bytes);
        while (readFull(pair[1], buf.data(), bytes) && writeFull(pair[1], buf.data(), bytes)) {
        }
        _exit(0);
    }
    close(pair[1]);
    fd_ = pair[0];
    pid_ = pid;
}

PingPongPeer::~PingPongPeer() {
    if (fd_ >= 0) close(fd_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
}

bool PingPongPeer::measure(int iterations, std::vector<int64_t>* out) {
    std::vector<uint8_t> buf(bytes_, 0x5a);
    for (int i = 0; i < iterations; ++i) {
        const int64_t start = now();
        if (!writeFull(fd_, buf.data(), bytes_) || !readFull(fd_, buf.data(), bytes_)) return false;
        out->push_back(now() - start);
    }
    return true;
}

RoundTripStats measureSocketPingPong(size_t bytes, int iterations) {
    PingPongPeer peer(bytes);
    std::vector<int64_t> nanos;
    if (!peer.ok() || !peer.measure(iterations, &nanos)) return {};
    return summarize(std::move(nanos));
}

bool measureCallBinder(IBinder& target, uint32_t code, const Parcel& data, int iterations, std::vector<int64_t>* out) {
    Parcel reply;
    for (int i = 0; i < iterations; ++i) {
        const int64_t start = now();
        if (target.callBinder(code, data, &reply) != OK) return false;
        out->push_back(now() - start);
    }
    return true;
}

size_t wireBytes(const Parcel& data) { return ipc::FRAME_HEADER_SIZE + data.dataSize(); }

}  // namespace velmora::bench
