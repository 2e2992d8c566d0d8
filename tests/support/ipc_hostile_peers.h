// Hostile peers of the IPC stand-in, for the attack tests and the attack
// benchmark: connections that never read or stop half-way through a call,
// a connection handed on by a process that has ended, and registrants that
// come and go in numbers. The connections speak the wire format with plain
// sockets; nothing here goes through the library's serving side.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <velmora/Parcel.h>

#include "Transport.h"
#include "process.h"

namespace ipcattack {

namespace ipc = velmora::ipc;

// Connections that only write: each sends the same stream of bytes as fast
// as the peer takes it and reads nothing. A thread does the writing until
// the object goes out of scope, which closes them all.
class OneWayConnections {
public:
    // count connections to endpoint, opened before the constructor returns
    // (fewer when the peer refuses some). With reconnect, one the peer
    // closes is opened again and starts the stream over.
    OneWayConnections(const std::string& endpoint, int count, std::vector<uint8_t> stream, bool reconnect);
    ~OneWayConnections();
    OneWayConnections(const OneWayConnections&) = delete;
    OneWayConnections& operator=(const OneWayConnections&) = delete;

    int opened() const { return opened_; }
    // Connections that the peer has closed so far.
    int closedByPeer() const { return closed_; }
    // Connections on which the peer has written bytes that wait unread.
    int answered() const { return answered_; }
    // Bytes written on all connections so far (taken by the peer or held
    // for it in the kernel).
    uint64_t written() const { return written_; }
    // Waits until nothing more could be written for `quiet` (or every
    // stream is written, or the limit passes); true unless the limit passed.
    bool settle(std::chrono::milliseconds quiet, std::chrono::milliseconds limit) const;

private:
    struct Peer;
    void pump();

    const std::string endpoint_;
    const std::vector<uint8_t> stream_;
    const bool reconnect_;
    std::vector<Peer> peers_;
    ipc::UniqueFd stop_;  // an eventfd that ends the pump
    std::atomic<int> opened_{0};
    std::atomic<int> closed_{0};
    std::atomic<int> answered_{0};
    std::atomic<uint64_t> written_{0};
    std::thread pump_;
};

// Attack 1: interface-name queries to the object with that handle on a
// listener, back to back.
std::vector<uint8_t> interfaceQueries(int calls, uint32_t handle);
// Attack 2: a call that announces the largest size and sends all of it but
// the last byte.
std::vector<uint8_t> halfSentCall();

// Attack 3: a connection to endpoint made by a child process, which asked
// one interface-name query on it (so the peer has accepted it) and then
// ended. Its pid, free again for any process, goes to *pid.
ipc::UniqueFd connectionLeftByEndedProcess(const std::string& endpoint, pid_t* pid);

// A registration sent on a connection the caller holds, for an object that
// the connection's maker may or may not host; the manager's status.
velmora::status_t registerOn(int fd, const velmora::String16& name, const std::string& endpoint, uint32_t handle);

// A program started with a pid of the caller's choice (clone3 with set_tid,
// which needs CAP_SYS_ADMIN and a kernel and emulator that know it). Its
// standard output is a pipe; killed and reaped when it goes out of scope.
class ProcessWithPid {
public:
    ProcessWithPid(pid_t pid, const std::vector<std::string>& argv);
    ~ProcessWithPid();
    ProcessWithPid(const ProcessWithPid&) = delete;
    ProcessWithPid& operator=(const ProcessWithPid&) = delete;

    // 0 once started, else the errno of the failure (EPERM without the
    // capability, ENOSYS without clone3, EEXIST when the pid is taken).
    int error() const { return error_; }
    pid_t pid() const { return pid_; }
    // Reads standard output until a line equal to line arrives; false at
    // its end or the limit.
    bool waitForLine(const std::string& line, std::chrono::milliseconds limit);

private:
    pid_t pid_ = -1;
    int error_ = 0;
    ipc::UniqueFd out_;
    std::string text_;
};

// Attack 4, run as a program's main: forks `processes` registrants before
// any thread starts; each registers `namesEach` names of nameLength
// characters (PREFIX-PROCESS-NAME, padded with 'x') with the manager that
// defaultServiceManager finds (for namesEach 0, the control, none: each
// only starts to serve, as the others do). Prints "ready" once all are
// registered, then
// on SIGTERM kills them all at once, reaps them and returns 0 (1 when one
// failed to register).
int runRegistrants(int processes, int namesEach, size_t nameLength, const std::string& prefix);
// The name runRegistrants gives a registrant's name.
std::string registrantName(const std::string& prefix, int process, int name, size_t nameLength);

}  // namespace ipcattack
