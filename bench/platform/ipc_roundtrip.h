// Round-trip measures shared by the IPC benchmarks: the floor (a plain
// Unix-socket ping-pong between two processes) and one callBinder.
// Link velmora_ipc_bench and include <ipc_roundtrip.h>.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <velmora/IBinder.h>
#include <velmora/Parcel.h>

namespace velmora::bench {

struct RoundTripStats {
    double p50Us = 0;
    double p99Us = 0;
    double maxUs = 0;
    size_t samples = 0;
};

// Percentiles of a set of round-trip times in nanoseconds.
RoundTripStats summarize(std::vector<int64_t> nanos);

// A forked process that echoes every block of `bytes` bytes it reads on a
// socketpair. Fork it before the process starts any threads.
class PingPongPeer {
public:
    explicit PingPongPeer(size_t bytes);
    ~PingPongPeer();
    PingPongPeer(const PingPongPeer&) = delete;
    PingPongPeer& operator=(const PingPongPeer&) = delete;

    bool ok() const { return fd_ >= 0; }
    // Times `iterations` round trips, in nanoseconds each; appends to out.
    bool measure(int iterations, std::vector<int64_t>* out);

private:
    size_t bytes_;
    int fd_ = -1;
    int pid_ = -1;
};

// The floor on its own: a new peer, `iterations` round trips.
RoundTripStats measureSocketPingPong(size_t bytes, int iterations);

// Times `iterations` calls of target with data; false on the first failure.
bool measureCallBinder(IBinder& target, uint32_t code, const Parcel& data, int iterations, std::vector<int64_t>* out);

// Bytes on the wire for one direction of a callBinder with this data.
size_t wireBytes(const Parcel& data);

}  // namespace velmora::bench
