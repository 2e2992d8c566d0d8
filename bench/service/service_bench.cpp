// service-bench: whole-process time of `service call` and `service list`,
// each next to its floor measured in the same run: one callBinder round trip
// (the IPC benchmark's measure) times the round trips the command needs.
// Prints figures; it is not a pass/fail test.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <velmora/IServiceManager.h>
#include <velmora/Parcel.h>

#include "ipc_roundtrip.h"
#include "processes.h"
#include "temp_dir.h"

using namespace velmora;

namespace {

constexpr int kRoundTripCalls = 4000;
constexpr int kCallRuns = 200;
constexpr int kListRuns = 15;
constexpr int kNamesPerPage = 256;     // the service manager's listing page
constexpr int kDemoServices = 5;       // besides the generated ones
constexpr int kRoundTripsPerCall = 4;  // manager probe, look-up, name query, call

struct Bench {
    std::string bin;
    testsupport::TempDir tmp{"service-bench"};
    std::string socket;
    std::vector<std::string> env;
    std::unique_ptr<testsupport::Process> demo;
};

double medianOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

bool waitFor(const std::function<bool()>& ready) {
    return testsupport::waitUntil(ready, std::chrono::seconds(10), std::chrono::milliseconds(5));
}

// p50 of one callBinder round trip to the echo service, in microseconds.
double roundTripUs() {
    sp<IBinder> echo = defaultServiceManager()->lookUpByName(String16("echo"));
    Parcel data;
    data.writeInterfaceToken(String16("velmora.demo.IEcho"));
    data.writeInt32(7);
    std::vector<int64_t> nanos;
    if (!echo || !bench::measureCallBinder(*echo, 1, data, kRoundTripCalls, &nanos)) return 0;
    return bench::summarize(nanos).p50Us;
}

// Median wall time of whole `service` runs, in microseconds; 0 when a run
// does not give the expected start of its output.
double serviceRunUs(const Bench& b, const std::vector<std::string>& words, const std::string& outStart, int runs) {
    std::vector<std::string> argv{b.bin + "/service"};
    argv.insert(argv.end(), words.begin(), words.end());
    std::vector<double> times;
    for (int i = 0; i < runs + 2; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const Finished run = runProgram(argv, b.env);
        const double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
        if (run.status != 0 || !run.out.starts_with(outStart)) {
            std::fprintf(stderr, "service-bench: unexpected result of service %s: %s%s", words[0].c_str(),
                         run.out.substr(0, 200).c_str(), run.err.c_str());
            return 0;
        }
        if (i >= 2) times.push_back(us);  // the first runs warm the caches
    }
    return medianOf(times);
}

bool startDemo(Bench& b, int generated) {
    if (b.demo) b.demo->stop(std::chrono::seconds(1));
    // The registry drops the old host's names once it notices it is gone.
    sp<IServiceManager> sm = defaultServiceManager();
    if (!waitFor([&] { return sm->registeredNames().size() == 0; })) return false;
    const std::string log = b.tmp.file("demo-" + std::to_string(generated) + ".log");
    b.demo = startLogged({b.bin + "/demo-services", "-n", std::to_string(generated)}, b.env, log);
    return b.demo->waitForOutput("demo-services: ready\n", std::chrono::seconds(10));
}

void benchCall(Bench& b) {
    const double rt = roundTripUs();
    const double us = serviceRunUs(b, {"call", "echo", "1", "i32", "7"}, "Result: ", kCallRuns);
    const double floor = rt * kRoundTripsPerCall;
    std::printf("service call echo 1 i32 7 (whole process, median of %d runs)\n", kCallRuns);
    std::printf("  callBinder round trip p50 %.2f us; floor %d round trips = %.2f us\n", rt, kRoundTripsPerCall, floor);
    std::printf("  process %.1f us = %.1fx floor\n", us, us / floor);
}

// The same queries as the listing, in this process: what the tool adds on
// top of them is process start and output.
double inProcessListingUs() {
    sp<IServiceManager> sm = defaultServiceManager();
    const auto start = std::chrono::steady_clock::now();
    for (const String16& name : sm->registeredNames()) {
        sp<IBinder> service = sm->lookUpByName(name);
        Parcel data;
        Parcel reply;
        if (service) service->callBinder(IBinder::INTERFACE_TRANSACTION, data, &reply);
    }
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

void benchList(Bench& b) {
    std::printf(
        "service list (whole process, median of %d runs; target <= 2.00x floor per service,"
        " linear in the count)\n",
        kListRuns);
    double firstPerService = 0;
    double firstUs = 0;
    int firstServices = 0;
    double lastUs = 0;
    int lastServices = 0;
    double lastRt = 0;
    for (int generated : {250, 500, 1000}) {
        if (!startDemo(b, generated)) {
            std::fprintf(stderr, "service-bench: demo-services -n %d did not start\n", generated);
            return;
        }
        const int services = generated + kDemoServices;
        const std::string header = "Found " + std::to_string(services) + " services:\n";
        // Blocks alternate so that every figure sees the same machine load.
        std::vector<double> rts, runs, inProcess;
        for (int block = 0; block < kListRuns; ++block) {
            rts.push_back(roundTripUs());
            runs.push_back(serviceRunUs(b, {"list"}, header, 1));
            inProcess.push_back(inProcessListingUs());
        }
        const double rt = medianOf(rts);
        const double us = medianOf(runs);
        const int pages = services / kNamesPerPage + 1;
        const int trips = 1 + pages + 2 * services;
        const double perService = us / services;
        if (firstPerService == 0) {
            firstPerService = perService;
            firstUs = us;
            firstServices = services;
        }
        lastUs = us;
        lastServices = services;
        lastRt = rt;
        std::printf(
            "  %4d services: %8.1f us = %.2fx floor (%d round trips of %.2f us);"
            " per service %.2f us = %.2fx its 2 round trips, %.2fx the figure at 255;"
            " same queries in-process %.1f us\n",
            services, us, us / (trips * rt), trips, rt, perService, perService / (2 * rt), perService / firstPerService,
            medianOf(inProcess));
    }
    // The slope leaves out what every run pays once (process start, connects).
    const double marginal = (lastUs - firstUs) / (lastServices - firstServices);
    std::printf("  each further service (%d -> %d): %.2f us = %.2fx its 2 round trips\n", firstServices, lastServices,
                marginal, marginal / (2 * lastRt));
}

}  // namespace

int main() {
    Bench b;
    b.bin = std::filesystem::canonical("/proc/self/exe").parent_path().string();
    b.socket = b.tmp.file("servicemanager");
    setenv(IServiceManager::ENV_VAR, b.socket.c_str(), 1);
    b.env = environmentWith({});
    auto manager = startLogged({b.bin + "/servicemanager", b.socket}, b.env, b.tmp.file("sm.log"));
    int status = 1;
    if (waitFor([&] { return defaultServiceManager() != nullptr; }) && startDemo(b, 0)) {
        benchCall(b);
        benchList(b);
        status = 0;
    } else {
        std::fprintf(stderr, "service-bench: could not start servicemanager and demo-services\n");
    }
    if (b.demo) b.demo->stop(std::chrono::seconds(1));
    manager->stop(std::chrono::seconds(1));
    return status;
}
