// A program of someone else's, built against the installed IPC library:
// registers a service under the name given, finds it again and calls it.
//
//   probe NAME     prints "NAME: 42"
#include <velmora/IServiceManager.h>
#include <velmora/Parcel.h>
#include <velmora/String8.h>
#include <velmora/TextOutput.h>

using namespace velmora;

namespace {

// Answers code 1 with its argument plus 22.
class AddService : public LocalBinder {
public:
    AddService() : LocalBinder(String16("velmora.test.IAdd")) {}

protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) override {
        if (code != FIRST_CALL_TRANSACTION) return LocalBinder::onTransact(code, data, reply, flags);
        return reply->writeInt32(data.readInt32() + 22);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        aerr << "usage: probe NAME" << endl;
        return 2;
    }
    sp<IServiceManager> sm = defaultServiceManager();
    if (!sm) {
        aerr << "probe: no service manager" << endl;
        return 2;
    }
    const String16 name(argv[1]);
    const status_t added = sm->addService(name, sp<IBinder>(new AddService));
    if (added != OK) {
        aerr << "probe: addService: " << statusToString(added) << endl;
        return 1;
    }
    bool listed = false;
    for (const String16& registered : sm->registeredNames()) listed = listed || registered == name;
    sp<IBinder> service = sm->lookUpByName(name);
    if (!listed || !service) {
        aerr << "probe: " << argv[1] << " is not registered" << endl;
        return 1;
    }
    Parcel data, reply;
    data.writeInt32(20);
    const status_t called = service->callBinder(IBinder::FIRST_CALL_TRANSACTION, data, &reply);
    if (called != OK) {
        aerr << "probe: call: " << statusToString(called) << endl;
        return 1;
    }
    aout << argv[1] << ": " << reply.readInt32() << endl;
    return 0;
}
