// demo-services: a service host with a handful of services for the demo and
// for tests, registered with the service manager that defaultServiceManager
// finds.
//
//   demo-services [-h|--help] [--version] [-n COUNT]
//
// -n COUNT also registers COUNT generated services "gen-0" ... for load
// tests. Prints "demo-services: ready" once everything is registered and
// then serves until SIGTERM or SIGINT; a bad command line gives status 2.
#include <velmora/IServiceManager.h>
#include <velmora/Parcel.h>
#include <velmora/String8.h>
#include <velmora/TextOutput.h>

#include <getopt.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "StopSignals.h"

using namespace velmora;

namespace {

// Replies with everything the caller wrote after the interface token.
class EchoService : public LocalBinder {
public:
    using LocalBinder::LocalBinder;

protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) override {
        if (code == INTERFACE_TRANSACTION) return LocalBinder::onTransact(code, data, reply, flags);
        if (!data.enforceInterface(interfaceName())) return PERMISSION_DENIED;
        return reply->appendFrom(data, data.dataPosition(), data.dataAvail());
    }
};

// Tells its name, then fails every other call.
class FailingService : public LocalBinder {
public:
    using LocalBinder::LocalBinder;

protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) override {
        if (code == INTERFACE_TRANSACTION) return LocalBinder::onTransact(code, data, reply, flags);
        return INVALID_OPERATION;
    }
};

// Will not tell its interface name; accepts every other call.
class RefusingService : public LocalBinder {
public:
    using LocalBinder::LocalBinder;

protected:
    status_t onTransact(uint32_t code, const Parcel&, Parcel*, uint32_t) override {
        return code == INTERFACE_TRANSACTION ? PERMISSION_DENIED : OK;
    }
};

struct DemoService {
    const char* name;
    const char* interfaceName;
    sp<LocalBinder> (*make)(const char* interfaceName);
};

template <typename Service>
sp<LocalBinder> make(const char* interfaceName) {
    return sp<LocalBinder>(new Service(String16(interfaceName)));
}

const DemoService s_services[] = {
    {"echo", "velmora.demo.IEcho", make<EchoService>},
    {"failing", "velmora.demo.IFailing", make<FailingService>},
    {"no-interface", "", make<EchoService>},
    {"caf\xc3\xa9-\xf0\x9f\x98\x80", "velmora.demo.ICaf\xc3\xa9\xe2\x9c\x93", make<EchoService>},
    {"refusing", "velmora.demo.IRefusing", make<RefusingService>},
};

bool registerService(IServiceManager& sm, const char* name, const sp<LocalBinder>& service) {
    const status_t status = sm.addService(String16(name), service);
    if (status == OK) return true;
    aerr << "demo-services: cannot register " << name << ": " << statusToString(status) << endl;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    static const char usage[] = "usage: demo-services [-h|--help] [--version] [-n COUNT]";
    static const option options[] = {{"help", no_argument, nullptr, 'h'}, {"version", no_argument, nullptr, 'V'}, {}};
    long count = 0;
    for (int opt; (opt = getopt_long(argc, argv, "hn:", options, nullptr)) != -1;) {
        char* end = nullptr;
        if (opt == 'n') count = std::strtol(optarg, &end, 10);
        if (opt == 'h' || opt == 'V') {
            aout << (opt == 'h' ? usage : "demo-services " VELMORA_VERSION) << endl;
            return 0;
        }
        if (opt != 'n' || end == optarg || *end != '\0' || count < 0 || count > 1000000) {
            aerr << usage << endl;
            return 2;
        }
    }
    if (optind != argc) {
        aerr << usage << endl;
        return 2;
    }

    const ipc::StopSignals stopSignals;  // before the serving threads start

    sp<IServiceManager> sm = defaultServiceManager();
    if (!sm) {
        aerr << "demo-services: no service manager" << endl;
        return 1;
    }
    for (const DemoService& demo : s_services)
        if (!registerService(*sm, demo.name, demo.make(demo.interfaceName))) return 1;
    const sp<LocalBinder> generated = make<EchoService>("velmora.demo.IGenerated");
    for (long i = 0; i < count; ++i)
        if (!registerService(*sm, ("gen-" + std::to_string(i)).c_str(), generated)) return 1;

    aout << "demo-services: ready" << endl;
    stopSignals.wait();
    return 0;
}
