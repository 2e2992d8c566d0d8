// ipc-bench: callBinder round trip against its floor, and a full listing of
// 1,000 services. Prints figures; it is not a pass/fail test.
//
//   ipc-bench                      everything (starts its own servicemanager
//                                  and demo-services from its own directory)
//   ipc-bench --floor-only BYTES [ITERATIONS]
//                                  only the floor: prints
//                                  "floor bytes=N p50_us=X p99_us=Y"
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <velmora/IServiceManager.h>
#include <velmora/Parcel.h>

#include "ipc_roundtrip.h"
#include "process.h"
#include "temp_dir.h"

using namespace velmora;
using namespace velmora::bench;

namespace {

constexpr int BLOCKS = 10;
constexpr int CALLS_PER_BLOCK = 2000;
constexpr int SERVICES = 1000;

// A daemon started for the run, stopped at the end. With waitReady, ready
// once its first line of output says so.
class Daemon {
public:
    Daemon(std::vector<std::string> args, bool waitReady) {
        testsupport::Command command(std::move(args));
        command.in = testsupport::Stream::inherit();
        command.out = waitReady ? testsupport::Stream::pipe() : testsupport::Stream::null();
        try {
            process_ = std::make_unique<testsupport::Process>(command);
        } catch (const std::runtime_error&) {
            return;
        }
        ready_ =
            !waitReady || (process_->waitForOutput("\n", std::chrono::minutes(2)) &&
                           process_->out().substr(0, process_->out().find('\n')).find("ready") != std::string::npos);
    }
    ~Daemon() {
        if (process_) process_->stop();
    }
    bool ready() const { return ready_; }

private:
    std::unique_ptr<testsupport::Process> process_;
    bool ready_ = false;
};

double millisSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

int floorOnly(int argc, char** argv) {
    const long bytes = std::atol(argv[2]);
    const int iterations = argc > 3 ? std::atoi(argv[3]) : BLOCKS * CALLS_PER_BLOCK;
    if (bytes <= 0 || iterations <= 0) {
        std::fprintf(stderr, "usage: ipc-bench --floor-only BYTES [ITERATIONS]\n");
        return 2;
    }
    const RoundTripStats floor = measureSocketPingPong(static_cast<size_t>(bytes), iterations);
    if (floor.samples == 0) return 1;
    std::printf("floor bytes=%ld p50_us=%.2f p99_us=%.2f\n", bytes, floor.p50Us, floor.p99Us);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && !std::strcmp(argv[1], "--floor-only")) return floorOnly(argc, argv);
    if (argc != 1) {
        std::fprintf(stderr, "usage: ipc-bench [--floor-only BYTES [ITERATIONS]]\n");
        return 2;
    }

    Parcel data;
    data.writeInterfaceToken(String16("velmora.demo.IEcho"));
    data.writeInt32(7);
    data.writeString16(String16("hello"));
    const size_t bytes = wireBytes(data);
    PingPongPeer peer(bytes);  // forked before any thread exists

    const std::filesystem::path bin = std::filesystem::canonical("/proc/self/exe").parent_path();
    if (!peer.ok()) return 1;
    const testsupport::TempDir tmp("velmora-ipc-bench");
    const std::string socket = tmp.file("sm.sock");
    setenv(IServiceManager::ENV_VAR, socket.c_str(), 1);
    int status = 1;
    {
        Daemon manager({(bin / "servicemanager").string(), socket}, false);
        sp<IServiceManager> sm;
        for (int i = 0; i < 500 && !(sm = defaultServiceManager()); ++i) usleep(10000);
        Daemon demo({(bin / "demo-services").string(), "-n", std::to_string(SERVICES)}, true);
        const sp<IBinder> echo = sm ? sm->lookUpByName(String16("echo")) : nullptr;
        if (demo.ready() && echo) {
            // Alternate floor and call blocks so both see the same machine load.
            std::vector<int64_t> floorNanos, callNanos;
            bool ok = true;
            for (int block = 0; block < BLOCKS && ok; ++block)
                ok = peer.measure(CALLS_PER_BLOCK, &floorNanos) &&
                     measureCallBinder(*echo, 1, data, CALLS_PER_BLOCK, &callNanos);
            const RoundTripStats floor = summarize(floorNanos), call = summarize(callNanos);

            const auto start = std::chrono::steady_clock::now();
            const Vector<String16> names = sm->registeredNames();
            size_t answered = 0;
            for (const String16& name : names) {
                const sp<IBinder> service = sm->lookUpByName(name);
                Parcel empty, reply;
                if (service && service->callBinder(IBinder::INTERFACE_TRANSACTION, empty, &reply) == OK) ++answered;
            }
            const double listMs = millisSince(start);

            std::printf("callBinder round trip, %zu bytes each way on the wire, %zu calls\n", bytes, call.samples);
            std::printf("  floor (Unix-socket ping-pong, %zu bytes): p50 %8.2f us   p99 %8.2f us\n", bytes, floor.p50Us,
                        floor.p99Us);
            std::printf("  callBinder:                                p50 %8.2f us   p99 %8.2f us\n", call.p50Us,
                        call.p99Us);
            std::printf("  ratio to floor: p50 %.2fx (target <= 1.20x)   p99 %.2fx\n", call.p50Us / floor.p50Us,
                        call.p99Us / floor.p99Us);
            std::printf(
                "listing %zu services (registeredNames, then one lookup and one interface-name query each;"
                " %zu answered, \"refusing\" declines)\n",
                names.size(), answered);
            std::printf("  total %.2f ms = %.0f callBinder round trips (p50)\n", listMs, listMs * 1000.0 / call.p50Us);
            status = ok ? 0 : 1;
        } else {
            std::fprintf(stderr, "ipc-bench: could not start servicemanager and demo-services from %s\n", bin.c_str());
        }
    }
    return status;
}
