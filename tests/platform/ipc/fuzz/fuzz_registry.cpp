// Drives the service manager's transaction handler with look-ups, lists
// and registrations, as this process, as another live process, as one
// that has ended and as an unknown caller, with parcels that are well formed around random fields
// or random throughout. The registry lives across inputs, as in the daemon.
//
// Input: records of an op byte, a length byte (times 4 bytes) and a body.
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include <velmora/IServiceManager.h>
#include <velmora/Parcel.h>

#include "ServiceManagerProtocol.h"
#include "ServiceRegistry.h"
#include "Transport.h"

using namespace velmora;

namespace {

class Local : public LocalBinder {
public:
    Local() : LocalBinder(String16("velmora.test.ILocal")) {}
};

ipc::PeerIdentity identity(pid_t pid) {
    ipc::PeerIdentity peer;
    peer.credentials = ucred{pid, getuid(), getgid()};
    peer.process = std::make_shared<const ipc::UniqueFd>(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    return peer;
}

// A child that has ended and been reaped.
ipc::PeerIdentity endedIdentity() {
    const pid_t child = fork();
    if (child == 0) _exit(0);
    ipc::PeerIdentity peer = identity(child);
    waitpid(child, nullptr, 0);
    return peer;
}

String16 unitsOf(const uint8_t* bytes, size_t len) {
    std::u16string units(len / 2, u'\0');
    std::memcpy(units.data(), bytes, units.size() * sizeof(char16_t));
    return String16(std::move(units));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const sp<ipc::ServiceRegistry> registry(new ipc::ServiceRegistry);
    static const sp<LocalBinder> object(new Local);
    static std::string endpoint;
    static uint32_t handle = 0;
    if (endpoint.empty() && ipc::Transport::self().exportObject(object, &endpoint, &handle) != OK) return 0;
    // As this process, as another that is running, and as one that has
    // ended (a connection handed on by its maker).
    static const ipc::PeerIdentity self = identity(getpid());
    static const ipc::PeerIdentity other = identity(getppid());
    static const ipc::PeerIdentity ended = endedIdentity();

    while (size >= 2) {
        const uint8_t op = data[0];
        const size_t len = std::min<size_t>(size_t{data[1]} * 4, size - 2);
        const uint8_t* body = data + 2;
        data += 2 + len;
        size -= 2 + len;

        static constexpr uint32_t codes[] = {ipc::SM_LOOK_UP, ipc::SM_LIST, ipc::SM_ADD,
                                             IBinder::INTERFACE_TRANSACTION};
        const uint32_t code = codes[op & 3];
        const ipc::PeerIdentity* caller = (op & 0x04) ? ((op & 0x08) ? &ended : &other) : (op & 0x08) ? nullptr : &self;
        Parcel parcel;
        if (op & 0x10) {
            parcel.setData(body, len);
        } else {
            parcel.writeInterfaceToken(String16(IServiceManager::INTERFACE_NAME));
            const size_t half = len / 2;
            if (code == ipc::SM_LIST) {
                int32_t first = 0;
                std::memcpy(&first, body, std::min(len, sizeof first));
                parcel.writeInt32(op & 0x20 ? first : first & 0x3FF);
            } else {
                parcel.writeString16(unitsOf(body, op & 0x20 ? len : std::min<size_t>(len, 16)));
            }
            if (code == ipc::SM_ADD) {
                if (op & 0x40) {
                    // This process's own object: the registration can succeed.
                    parcel.writeUint32(1);
                    parcel.writeUint32(op & 0x80 ? handle : handle + 1);
                    parcel.writeString16(String16(endpoint.c_str()));
                } else {
                    Parcel raw;
                    raw.setData(body + half, len - half);
                    parcel.appendFrom(raw, 0, raw.dataSize());
                }
            }
        }
        Parcel reply;
        registry->handle(code, parcel, &reply, caller);
        if (code == ipc::SM_LOOK_UP) reply.readStrongBinder();
    }
    return 0;
}
