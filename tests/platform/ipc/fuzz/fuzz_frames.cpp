// Feeds arbitrary bytes to both ends of the transport: a host serving a
// connection (frames in, replies out) and a client reading replies.
// The object is served on handle 0, the context, as a manager's is.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <velmora/IBinder.h>
#include <velmora/Parcel.h>

#include "Transport.h"

using namespace velmora;

namespace {

class Echo : public LocalBinder {
public:
    Echo() : LocalBinder(String16("velmora.demo.IEcho")) {}

protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) override {
        if (code == INTERFACE_TRANSACTION) return LocalBinder::onTransact(code, data, reply, flags);
        if (!data.enforceInterface(interfaceName())) return PERMISSION_DENIED;
        reply->readStrongBinder();
        return reply->appendFrom(data, data.dataPosition(), data.dataAvail());
    }
};

// A socket whose peer has written bytes and hung up.
ipc::UniqueFd streamOf(const uint8_t* data, size_t size) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) < 0) return ipc::UniqueFd();
    ipc::UniqueFd writer(pair[0]);
    ipc::UniqueFd reader(pair[1]);
    if (size > 0 && send(writer.get(), data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) return ipc::UniqueFd();
    return reader;  // closing writer marks the end of the stream
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Socket buffers must hold the input.
    if (size > 16384) return 0;
    // A host serving on its own listener, in its own threads, as a daemon.
    static const std::string endpoint = [] {
        std::string name = "@velmora-fuzz-frames-" + std::to_string(getpid());
        ipc::UniqueFd listener;
        if (ipc::listenOn(name, &listener) != OK || ipc::serve(std::move(listener), sp<LocalBinder>(new Echo)) != OK)
            std::abort();
        return name;
    }();

    // Everything goes out at once and the stream ends; then the replies
    // come, until the host closes the connection.
    ipc::UniqueFd client;
    if (ipc::connectTo(endpoint, &client, 10000) != OK) return 0;
    if (size > 0 && send(client.get(), data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) return 0;
    shutdown(client.get(), SHUT_WR);
    ipc::FrameReader replies;
    ipc::FrameHeader header;
    std::vector<uint8_t> payload;
    while (replies.read(client.get(), &header, &payload, 10000) == OK) {
    }

    ipc::UniqueFd stream = streamOf(data, size);
    if (stream.valid()) {
        ipc::FrameReader reader;
        while (reader.read(stream.get(), &header, &payload, 0) == OK) {
            Parcel reply;
            reply.setData(payload.data(), payload.size());
            reply.readString16();
        }
    }
    return 0;
}
