// The client side of the service manager: a proxy that turns the
// IServiceManager calls into transactions on the daemon's context object.
#include <velmora/IServiceManager.h>
#include <velmora/Parcel.h>
#include <velmora/String8.h>

#include <cstdlib>

#include "ServiceManagerProtocol.h"
#include "Transport.h"

namespace velmora {

namespace {

// How long defaultServiceManager waits for the daemon's first answer.
constexpr int PROBE_TIMEOUT_MS = 2000;

// Decoded once: every call to the service manager starts with it.
const String16& token() {
    static const String16* name = new String16(IServiceManager::INTERFACE_NAME);
    return *name;
}

class ServiceManagerProxy : public IServiceManager {
public:
    explicit ServiceManagerProxy(sp<IBinder> remote) : remote_(std::move(remote)) {}

    sp<IBinder> lookUpByName(const String16& name) override {
        Parcel data, reply;
        data.writeInterfaceToken(token());
        data.writeString16(name);
        if (remote_->callBinder(ipc::SM_LOOK_UP, data, &reply) != OK) return nullptr;
        return reply.readStrongBinder();
    }

    Vector<String16> registeredNames() override {
        Vector<String16> names;
        // Names come in pages so that a large registry never needs one
        // reply over the transaction limit. A manager that sends more or
        // longer names than any manager accepts is not believed.
        for (;;) {
            Parcel data, reply;
            data.writeInterfaceToken(token());
            data.writeInt32(static_cast<int32_t>(names.size()));
            if (remote_->callBinder(ipc::SM_LIST, data, &reply) != OK) return {};
            int32_t count = 0;
            bool more = false;
            if (reply.readInt32(&count) != OK || count < 0) return {};
            if (static_cast<size_t>(count) > ipc::MAX_SERVICES - names.size()) return {};
            for (int32_t i = 0; i < count; ++i) {
                String16 name;
                if (reply.readString16(&name) != OK || name.size() > ipc::MAX_NAME_LENGTH) return {};
                names.add(std::move(name));
            }
            int32_t flag = 0;
            if (reply.readInt32(&flag) != OK) return {};
            more = flag != 0;
            if (!more || count == 0) return names;
        }
    }

    status_t addService(const String16& name, const sp<IBinder>& service) override {
        if (name.empty() || !service) return BAD_VALUE;
        Parcel data, reply;
        data.writeInterfaceToken(token());
        data.writeString16(name);
        status_t status = data.writeStrongBinder(service);
        if (status != OK) return status;
        return remote_->callBinder(ipc::SM_ADD, data, &reply);
    }

private:
    sp<IBinder> remote_;
};

}  // namespace

sp<IServiceManager> serviceManagerAt(const char* socketPath) {
    if (!socketPath || !*socketPath) return nullptr;
    sp<ipc::RemoteBinder> remote(new ipc::RemoteBinder(socketPath, ipc::CONTEXT_HANDLE));
    Parcel data, reply;
    if (remote->callBinder(IBinder::INTERFACE_TRANSACTION, data, &reply, 0, PROBE_TIMEOUT_MS) != OK) return nullptr;
    if (reply.readString16() != String16(IServiceManager::INTERFACE_NAME)) return nullptr;
    return sp<IServiceManager>(new ServiceManagerProxy(remote));
}

sp<IServiceManager> defaultServiceManager() {
    const char* path = std::getenv(IServiceManager::ENV_VAR);
    return serviceManagerAt(path && *path ? path : IServiceManager::DEFAULT_SOCKET);
}

}  // namespace velmora
