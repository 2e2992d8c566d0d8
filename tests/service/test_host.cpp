// service-test-host: registers services whose behaviour the demo host does
// not offer, for the service tool's tests.
//
//   service-test-host NAME:KIND ...
//
// KIND is one of
//   code            replies with the transaction code it received, then the
//                   data after the interface token; refuses a name query
//                   that carries data
//   dies-on-query   ends its whole process when asked for its interface name
//   dies-on-call    tells its interface name; ends its process on any call
// Prints "ready" once every name is registered, then serves until killed.
#include <velmora/IServiceManager.h>
#include <velmora/Parcel.h>
#include <velmora/TextOutput.h>

#include <unistd.h>

#include <cstring>
#include <string>

using namespace velmora;

namespace {

class TestService : public LocalBinder {
public:
    TestService(const std::string& kind) : LocalBinder(String16(("velmora.test.I" + kind).c_str())), kind_(kind) {}

protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) override {
        if (code == INTERFACE_TRANSACTION) {
            if (kind_ == "dies-on-query") _exit(0);
            // The name query carries nothing, not even a token.
            if (data.dataSize() != 0) return BAD_VALUE;
            return LocalBinder::onTransact(code, data, reply, flags);
        }
        if (kind_ == "dies-on-call") _exit(0);
        if (!data.enforceInterface(interfaceName())) return PERMISSION_DENIED;
        reply->writeUint32(code);
        return reply->appendFrom(data, data.dataPosition(), data.dataAvail());
    }

private:
    std::string kind_;
};

}  // namespace

int main(int argc, char** argv) {
    sp<IServiceManager> sm = defaultServiceManager();
    if (!sm) {
        aerr << "service-test-host: no service manager" << endl;
        return 1;
    }
    for (int i = 1; i < argc; ++i) {
        const char* colon = std::strchr(argv[i], ':');
        if (colon == nullptr) {
            aerr << "usage: service-test-host NAME:KIND ..." << endl;
            return 2;
        }
        const std::string name(argv[i], static_cast<size_t>(colon - argv[i]));
        const status_t status = sm->addService(String16(name.c_str()), sp<IBinder>(new TestService(colon + 1)));
        if (status != OK) {
            aerr << "service-test-host: cannot register " << name.c_str() << endl;
            return 1;
        }
    }
    aout << "ready" << endl;
    for (;;) pause();
}
