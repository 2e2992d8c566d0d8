// The registry of services: name to binder object.
#pragma once

#include <velmora/Errors.h>
#include <velmora/IBinder.h>
#include <velmora/RefBase.h>
#include <velmora/String16.h>
#include <velmora/Vector.h>

namespace velmora {

class IServiceManager : public RefBase {
public:
    static constexpr const char* INTERFACE_NAME = "velmora.os.IServiceManager";
    static constexpr const char* ENV_VAR = "VELMORA_SERVICE_MANAGER";
    static constexpr const char* DEFAULT_SOCKET = "/run/velmora/servicemanager";

    // The service's object, or null when no service of that name is
    // registered (or the service manager cannot be reached).
    virtual sp<IBinder> lookUpByName(const String16& name) = 0;
    // Every registered name, in registration order; empty on failure.
    virtual Vector<String16> registeredNames() = 0;
    // Registers service under name. ALREADY_EXISTS when another process
    // holds the name; the same process registering a name again replaces
    // its earlier object. BAD_VALUE for an empty name or a null service.
    // The name leaves the registry when the hosting process ends.
    virtual status_t addService(const String16& name, const sp<IBinder>& service) = 0;
};

// The service manager at $VELMORA_SERVICE_MANAGER, or at DEFAULT_SOCKET when
// the variable is unset or empty. Null, promptly, when none answers there.
sp<IServiceManager> defaultServiceManager();

// The service manager listening at the given socket path, or null.
sp<IServiceManager> serviceManagerAt(const char* socketPath);

}  // namespace velmora
