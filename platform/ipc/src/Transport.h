// The process's side of the socket transport: the frame format on the wire,
// the table of objects this process exports, the listeners that serve them,
// the proxies for objects in other processes, and the pool of connections
// to other processes. Internal to the library, its daemons and its tests.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <velmora/Errors.h>
#include <velmora/IBinder.h>
#include <velmora/Parcel.h>

namespace velmora::ipc {

// Owns one file descriptor.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// A point in time after which an operation gives up; none for -1 ms.
class Deadline {
public:
    explicit Deadline(int timeoutMs);
    // Whole milliseconds left (rounded up, 0 once passed), or -1 for none.
    int remainingMs() const;

private:
    std::optional<std::chrono::steady_clock::time_point> at_;
};

// What FrameReader::take says when a whole frame has not arrived yet.
inline constexpr status_t WOULD_BLOCK = -EAGAIN;
// What it says when the frame that has begun to arrive is larger than the
// room it was given.
inline constexpr status_t NEEDS_ROOM = -ENOBUFS;

// Every message on a connection is a frame: a 24-byte header followed by
// `size` bytes of parcel data. All header fields are 32-bit, host order.
inline constexpr uint32_t FRAME_MAGIC = 0x43504956;  // "VIPC" in memory
inline constexpr size_t FRAME_HEADER_SIZE = 24;

enum FrameType : uint32_t {
    FRAME_CALL = 1,   // client to host: target is the object's handle
    FRAME_REPLY = 2,  // host to client: code holds the status
};

struct FrameHeader {
    uint32_t magic = FRAME_MAGIC;
    uint32_t type = 0;
    uint32_t target = 0;
    uint32_t code = 0;
    uint32_t flags = 0;
    uint32_t size = 0;
};

void encodeHeader(const FrameHeader& header, uint8_t out[FRAME_HEADER_SIZE]);
// BAD_PARCEL for a wrong magic or type, TOO_LARGE for a size over the limit.
status_t decodeHeader(const uint8_t* bytes, size_t len, FrameHeader* out);

// Reads whole frames from a stream socket, buffering what arrives early.
class FrameReader {
public:
    // OK with one frame; DEAD_OBJECT on end of stream or a read error,
    // TIMED_OUT once timeoutMs have passed since the call (-1 waits for
    // ever), NO_MEMORY, or decodeHeader's status for a malformed header.
    status_t read(int fd, FrameHeader* header, std::vector<uint8_t>* payload, int timeoutMs = -1);
    // The same without a copy: *payload points at header->size bytes in the
    // reader's buffer, valid until the next read.
    status_t read(int fd, FrameHeader* header, const uint8_t** payload, int timeoutMs = -1);

    // Without waiting: a frame when one is complete after at most one
    // read of what has already arrived, else WOULD_BLOCK (or the errors
    // of read). For a server watching many connections at once, so the
    // buffer grows only as bytes arrive: before a header has come it
    // holds at most FIRST_CAPACITY bytes, after it no more than its frame.
    // A frame of more than room bytes (header included) gives NEEDS_ROOM
    // and its header once room bytes of it have arrived, and no more of it
    // is read until it is given more room.
    status_t take(int fd, FrameHeader* header, const uint8_t** payload, size_t room = SIZE_MAX);
    // Bytes that have arrived and are not part of a frame handed out yet.
    size_t buffered() const { return end_ - start_; }
    // Gives back a buffer grown for a large frame once that is consumed and
    // nothing else waits in it.
    void shrink();

private:
    status_t fill(int fd, size_t want, const Deadline& deadline);
    // Makes room for want bytes from start_ on, moving or growing the
    // buffer; false when no memory is to be had.
    bool makeRoom(size_t want);
    // Consumes the frame at start_ whose header has been checked.
    const uint8_t* consume(const FrameHeader& header);
    // Bytes [start_, end_) of buf_ have arrived and are not consumed yet.
    // Not a vector: growing one would zero bytes that recv overwrites.
    std::unique_ptr<uint8_t[]> buf_;
    // Small enough for malloc's per-thread cache: a client reads one reply
    // with a new reader each call.
    static constexpr size_t FIRST_CAPACITY = 1024;
    size_t capacity_ = 0;
    size_t start_ = 0;
    size_t end_ = 0;
};

// Sends one frame; DEAD_OBJECT when the peer has gone, TIMED_OUT when it
// has not taken the frame within timeoutMs (-1 waits for ever). *nothingSent
// (when given) tells whether the failure came before any byte left.
status_t writeFrame(int fd, const FrameHeader& header, const uint8_t* payload, size_t len, bool* nothingSent = nullptr,
                    int timeoutMs = -1);

// An endpoint "@name" is an abstract socket, anything else a filesystem
// path. BAD_VALUE for one that is empty or too long for an address.
status_t socketAddress(const std::string& endpoint, sockaddr_un* addr, socklen_t* len);
// timeoutMs bounds the wait for room in a listener's backlog: -1 waits for
// ever, 0 not at all. TIMED_OUT when the backlog stayed full, DEAD_OBJECT
// when nobody listens there.
status_t connectTo(const std::string& endpoint, UniqueFd* out, int timeoutMs = -1);
status_t listenOn(const std::string& endpoint, UniqueFd* out);

// Handle 0 on a listener is its context object (the service manager).
inline constexpr uint32_t CONTEXT_HANDLE = 0;

// Who made a connection, fixed when it is accepted and never looked up
// again: the kernel's credentials of the process that connected, and a
// pidfd naming that very process, which may end while the connection lives
// on in another's hands. No pidfd when the kernel gave no pid (a peer in
// another pid namespace) or none could be had (the process had ended
// before the connection was accepted, say).
struct PeerIdentity {
    ucred credentials{};
    std::shared_ptr<const UniqueFd> process;
};

// The process on the other end of the connection whose call this thread is
// answering; null outside such a call (a call to a local object from this
// process, say).
const PeerIdentity* callingProcess();

// A pidfd for the process that made the connected socket fd, whose
// credentials are peer: the kernel's own (SO_PEERPIDFD) where it has one,
// else peer.pid opened at once, which names another process only if the
// peer has ended and its pid been given out again since it connected.
UniqueFd pidfdOfPeer(int fd, const ucred& peer);
// Whether the process a pidfd names has not ended yet.
bool stillRunning(int pidfd);

// Serves context (handle 0) and the exported objects on listener (a
// listening socket) in background threads until the process ends.
status_t serve(UniqueFd listener, const sp<LocalBinder>& context);

// A reference to an object in another process.
class RemoteBinder : public IBinder {
public:
    RemoteBinder(std::string endpoint, uint32_t handle) : endpoint_(std::move(endpoint)), handle_(handle) {}
    status_t callBinder(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags = 0) override;
    // The same, giving up with TIMED_OUT after timeoutMs.
    status_t callBinder(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags, int timeoutMs);
    const std::string& endpoint() const { return endpoint_; }
    uint32_t handle() const { return handle_; }

private:
    std::string endpoint_;
    uint32_t handle_;
};

// Gives this process's objects handles other processes can reach, and turns
// references read from parcels back into objects.
class Transport {
public:
    static Transport& self();

    // The endpoint and handle under which object can be called from other
    // processes. Starts this process's listener on first use.
    status_t exportObject(const sp<LocalBinder>& object, std::string* endpoint, uint32_t* handle);
    // The local object when endpoint is this process's own, else a proxy.
    sp<IBinder> resolve(std::string endpoint, uint32_t handle);
    // Serves context (handle 0) and the exported objects at path, in
    // background threads, until the process ends.
    status_t listenAt(const std::string& path, const sp<LocalBinder>& context);

    // Answers one call frame (header and its header.size bytes of payload)
    // from caller (may be null): the reply frame to send, or nothing for a
    // one-way call. Object lookup goes through context for handle 0.
    void dispatch(const FrameHeader& header, const uint8_t* payload, const sp<LocalBinder>& context,
                  const PeerIdentity* caller, FrameHeader* replyHeader, Parcel* reply);

    // Idle connections to other processes, reused across calls. *reused
    // tells whether the connection has served calls before: its peer may
    // have gone since (a daemon restarted at the same address). A new
    // connection waits at most timeoutMs (see connectTo).
    UniqueFd takeConnection(const std::string& endpoint, status_t* status, bool* reused, int timeoutMs = -1);
    void returnConnection(const std::string& endpoint, UniqueFd fd);

private:
    Transport() = default;
    struct State;
    State& state();
};

}  // namespace velmora::ipc
