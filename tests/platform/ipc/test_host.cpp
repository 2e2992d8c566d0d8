// ipc-test-host: a service host and client for the IPC integration tests.
//
//   ipc-test-host NAME...      registers each NAME, prints "NAME: STATUS"
//                              per name, then "ready", serves until SIGTERM.
//                              "stall" prints "called" on a call and never
//                              answers; "crash" ends the process mid-call;
//                              "big" replies with more than 1 MiB;
//                              any other name answers with its pid.
//   ipc-test-host --client N   makes N echo calls with values of its own and
//                              checks each reply; exit status 0 when all match.
//   ipc-test-host --registrants PROCESSES NAMES LENGTH PREFIX
//                              PROCESSES registrants of NAMES names each, which
//                              end together on SIGTERM (see ipc_hostile_peers.h).
#include <velmora/IServiceManager.h>
#include <velmora/Parcel.h>
#include <velmora/TextOutput.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "StopSignals.h"
#include "ipc_hostile_peers.h"

using namespace velmora;

namespace {

class TestService : public LocalBinder {
public:
    explicit TestService(std::string name) : LocalBinder(String16("velmora.test.IHost")), name_(std::move(name)) {}

protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) override {
        if (code == INTERFACE_TRANSACTION) return LocalBinder::onTransact(code, data, reply, flags);
        if (name_ == "stall") {
            aout << "called" << endl;
            for (;;) pause();
        }
        if (name_ == "crash") _exit(3);
        if (name_ == "big") {
            for (size_t i = 0; i <= MAX_TRANSACTION_SIZE / 4; ++i) reply->writeInt32(0);
            return OK;
        }
        return reply->writeInt32(static_cast<int32_t>(getpid()));
    }

private:
    std::string name_;
};

int runClient(int calls) {
    sp<IServiceManager> sm = defaultServiceManager();
    if (!sm) return 2;
    const String16 token("velmora.demo.IEcho");
    const int32_t pid = getpid();
    for (int i = 0; i < calls; ++i) {
        sp<IBinder> echo = sm->lookUpByName(String16("echo"));
        if (!echo) return 3;
        const std::string text = "client-" + std::to_string(pid) + "-" + std::to_string(i);
        Parcel data, reply;
        data.writeInterfaceToken(token);
        data.writeInt32(pid);
        data.writeInt32(i);
        data.writeString16(String16(text.c_str()));
        if (echo->callBinder(IBinder::FIRST_CALL_TRANSACTION, data, &reply) != OK) return 4;
        if (reply.readInt32() != pid || reply.readInt32() != i || reply.readString16() != String16(text.c_str()) ||
            reply.dataAvail() != 0) {
            aerr << "mismatch in call " << i << endl;
            return 5;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && !std::strcmp(argv[1], "--client")) return runClient(std::atoi(argv[2]));
    if (argc == 6 && !std::strcmp(argv[1], "--registrants"))
        return ipcattack::runRegistrants(std::atoi(argv[2]), std::atoi(argv[3]), std::strtoul(argv[4], nullptr, 10),
                                         argv[5]);

    const ipc::StopSignals stopSignals;
    sp<IServiceManager> sm = defaultServiceManager();
    if (!sm) return 2;
    for (int i = 1; i < argc; ++i) {
        const status_t status = sm->addService(String16(argv[i]), sp<IBinder>(new TestService(argv[i])));
        aout << argv[i] << ": " << statusToString(status) << endl;
    }
    aout << "ready" << endl;
    stopSignals.wait();
    return 0;
}
