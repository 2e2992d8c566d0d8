// ipc-attack-bench: an honest client's look-up and call times while a
// hostile process attacks the service manager and a host, as ratios to the
// same client's times without the attack, measured just before it in the
// same run; and the manager's resident memory under half-sent calls.
// Prints figures; it is not a pass/fail test.
//
//   ipc-attack-bench [SAMPLES]   SAMPLES look-ups and calls per measure
//                                (2000), five measures with each attack and
//                                five without; starts its own servicemanager
//                                and demo-services from its own directory
//
// Internal mode, run by the benchmark itself:
//   ipc-attack-bench --registrants PROCESSES NAMES LENGTH PREFIX
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <velmora/IServiceManager.h>
#include <velmora/Parcel.h>

#include "Transport.h"
#include "ipc_hostile_peers.h"
#include "ipc_roundtrip.h"
#include "process.h"
#include "temp_dir.h"

using namespace velmora;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Attack 1: as in the issue that found it, on the manager and on the host.
constexpr int FLOOD_CONNECTIONS = 40;
constexpr int FLOOD_CALLS = 20000;
// Attack 2: the manager may keep 2,048 descriptors' worth of connections.
constexpr rlim_t MANAGER_DESCRIPTORS = 4096;
constexpr int HALF_SENT_CONNECTIONS = 1000;
// Attack 3.
constexpr int HANDED_ON_CONNECTIONS = 100;
// Attack 4.
constexpr int REGISTERED_NAMES = 65000;
constexpr int LEAVING_TOGETHER = 200;
// Times each attack is made.
constexpr int ROUNDS = 5;

std::string self() { return std::filesystem::canonical("/proc/self/exe").string(); }

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::unique_ptr<testsupport::Process> start(std::vector<std::string> argv, const std::string& readyText) {
    testsupport::Command command(std::move(argv));
    command.out = readyText.empty() ? testsupport::Stream::null() : testsupport::Stream::pipe();
    auto process = std::make_unique<testsupport::Process>(command);
    if (!readyText.empty() && !process->waitForOutput(readyText, 5min)) return nullptr;
    return process;
}

struct Samples {
    std::vector<int64_t> lookUps, calls;
    size_t failures = 0;
};

struct Times {
    bench::RoundTripStats lookUp;
    bench::RoundTripStats call;
    size_t failures = 0;
};

// The honest client: looks up "echo", then calls it, `count` times.
void measure(IServiceManager& sm, IBinder& echo, int count, Samples* samples) {
    Parcel data;
    data.writeInterfaceToken(String16("velmora.demo.IEcho"));
    data.writeInt32(7);
    data.writeString16(String16("hello"));
    const String16 name("echo");
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        const bool found = sm.lookUpByName(name) != nullptr;
        const auto t1 = Clock::now();
        Parcel reply;
        const bool answered = echo.callBinder(1, data, &reply) == OK && reply.readInt32() == 7;
        const auto t2 = Clock::now();
        samples->lookUps.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count());
        samples->calls.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(t2 - t1).count());
        samples->failures += !found + !answered;
    }
}

Times summarize(Samples samples) {
    return Times{bench::summarize(std::move(samples.lookUps)), bench::summarize(std::move(samples.calls)),
                 samples.failures};
}

long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// What one attack needs: the daemons, and a note for its line.
struct Scene {
    std::string socket;
    pid_t manager = 0;
    std::string host;  // demo-services' endpoint
    uint32_t echoHandle = 0;
    std::vector<ipc::UniqueFd> handedOn;  // made by processes that have ended
    bool hostHasTheirPid = false;
    size_t managerDescriptors = 0;  // with the attacks' connections closed
    std::string note;
};

// Each attack is made ROUNDS times, the honest client measured without it
// just before each time and while it goes on, so that both see the same
// machine; the figures pool each kind's samples. Before measuring without
// it, the manager has closed what the last round left.
using Measure = std::function<void(Samples*)>;

size_t descriptorsOf(pid_t pid) {
    std::error_code error;
    size_t count = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error))
        ++count;
    return count;
}

void settle(const Scene& scene) {
    testsupport::waitUntil([&] { return descriptorsOf(scene.manager) <= scene.managerDescriptors; }, 30s);
    std::this_thread::sleep_for(200ms);
}

void callsNeverRead(Scene& scene, const Measure& measure, Samples* idle, Samples* attacked) {
    for (int round = 0; round < ROUNDS; ++round) {
        settle(scene);
        measure(idle);
        ipcattack::OneWayConnections onManager(scene.socket, FLOOD_CONNECTIONS,
                                               ipcattack::interfaceQueries(FLOOD_CALLS, ipc::CONTEXT_HANDLE), false);
        ipcattack::OneWayConnections onHost(scene.host, FLOOD_CONNECTIONS,
                                            ipcattack::interfaceQueries(FLOOD_CALLS, scene.echoHandle), false);
        // Measured once the daemons have answered what the readers let
        // them, which a reader that never reads soon stops.
        testsupport::waitUntil([&] { return onManager.answered() + onHost.answered() >= 2 * FLOOD_CONNECTIONS; }, 1min);
        onManager.settle(200ms, 1min);
        onHost.settle(200ms, 1min);
        measure(attacked);
        scene.note = std::to_string(onManager.opened()) + " + " + std::to_string(onHost.opened()) +
                     " connections, none reading; closed by the daemons meanwhile: " +
                     std::to_string(onManager.closedByPeer() + onHost.closedByPeer());
    }
}

void callsHalfSent(Scene& scene, const Measure& measure, Samples* idle, Samples* attacked) {
    long before = 0, most = 0;
    for (int round = 0; round < ROUNDS; ++round) {
        settle(scene);
        measure(idle);
        before = std::max(before, residentKiB(scene.manager));
        ipcattack::OneWayConnections calls(scene.socket, HALF_SENT_CONNECTIONS, ipcattack::halfSentCall(), false);
        calls.settle(1s, 2min);
        most = std::max(most, residentKiB(scene.manager));
        measure(attacked);
        scene.note = std::to_string(calls.opened()) + " connections; manager resident at most " +
                     std::to_string(before / 1024) + " MiB without, " + std::to_string(most / 1024) + " MiB with";
    }
}

// Keeps re-pointing "echo" at another of the host's objects, on
// connections whose makers have ended (the host may have one's pid); counts
// what the manager accepts.
struct Impostor {
    const std::vector<ipc::UniqueFd>& held;
    const std::string host;
    std::atomic<bool> stop{false};
    std::atomic<long> tried{0}, accepted{0};
    std::thread thread{[this] {
        while (!stop) {
            for (const ipc::UniqueFd& fd : held) {
                if (stop) return;
                ++tried;
                if (ipcattack::registerOn(fd.get(), String16("echo"), host, 2) == OK) ++accepted;
            }
        }
    }};
    ~Impostor() {
        stop = true;
        thread.join();
    }
};

void connectionHandedOn(Scene& scene, const Measure& measure, Samples* idle, Samples* attacked) {
    long tried = 0, accepted = 0;
    for (int round = 0; round < ROUNDS; ++round) {
        settle(scene);
        measure(idle);
        Impostor impostor{scene.handedOn, scene.host};
        std::this_thread::sleep_for(100ms);
        measure(attacked);
        tried += impostor.tried;
        accepted += impostor.accepted;
    }
    scene.note = std::to_string(scene.handedOn.size()) + " connections" +
                 (scene.hostHasTheirPid ? ", the host having the pid of one's maker" : "") +
                 "; registrations accepted " + std::to_string(accepted) + " of " + std::to_string(tried);
}

// One process holds many names; in each round many registrants that leave
// together, the client measured as they leave.
void departures(Scene& scene, const Measure& measure, Samples* idle, Samples* attacked, int namesEach) {
    auto many = start({self(), "--registrants", "1", std::to_string(REGISTERED_NAMES), "255", "many"}, "ready\n");
    for (int round = 0; many && round < ROUNDS; ++round) {
        auto few = start({self(), "--registrants", std::to_string(LEAVING_TOGETHER), std::to_string(namesEach), "255",
                          "few-" + std::to_string(round)},
                         "ready\n");
        if (!few) break;
        measure(idle);
        few->signal(SIGTERM);
        measure(attacked);
        few->wait();
    }
    scene.note = std::to_string(REGISTERED_NAMES) + " names held throughout; " + std::to_string(LEAVING_TOGETHER) +
                 (namesEach ? " registrants" : " hosts that never met the manager") + " leave together in each round";
}

void departuresInNumbers(Scene& scene, const Measure& measure, Samples* idle, Samples* attacked) {
    departures(scene, measure, idle, attacked, 1);
}

// The same number of processes, serving as the registrants do, leaving
// without a name: what the machine itself makes of it.
void departuresControl(Scene& scene, const Measure& measure, Samples* idle, Samples* attacked) {
    departures(scene, measure, idle, attacked, 0);
}

void printRatios(const char* name, const Times& idle, const Times& attacked) {
    std::printf(
        "  %-24s look-up p50 %5.2fx  p99 %5.2fx   call p50 %5.2fx  p99 %5.2fx   slowest: look-up %.2f ms,"
        " call %.2f ms%s\n",
        name, attacked.lookUp.p50Us / idle.lookUp.p50Us, attacked.lookUp.p99Us / idle.lookUp.p99Us,
        attacked.call.p50Us / idle.call.p50Us, attacked.call.p99Us / idle.call.p99Us, attacked.lookUp.maxUs / 1000.0,
        attacked.call.maxUs / 1000.0, attacked.failures ? "   FAILURES" : "");
}

int run(int samples) {
    // Room for the attackers' connections here, and a known limit for the
    // manager, which inherits it.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::min(files.rlim_max, MANAGER_DESCRIPTORS);
    setrlimit(RLIMIT_NOFILE, &files);

    const std::filesystem::path bin = std::filesystem::canonical("/proc/self/exe").parent_path();
    const testsupport::TempDir tmp("velmora-ipc-attack-bench");
    Scene scene;
    scene.socket = tmp.file("sm.sock");
    setenv(IServiceManager::ENV_VAR, scene.socket.c_str(), 1);
    auto manager = start({(bin / "servicemanager").string(), scene.socket}, "");
    pid_t firstPid = 0;
    sp<IServiceManager> sm;
    for (int i = 0; i < 1000 && !(sm = defaultServiceManager()); ++i) usleep(10000);
    // Made before the host starts, which may then get the pid of the
    // first one's maker, as a restarted host may.
    for (int i = 0; sm && i < HANDED_ON_CONNECTIONS; ++i) {
        pid_t pid = 0;
        if (ipc::UniqueFd fd = ipcattack::connectionLeftByEndedProcess(scene.socket, &pid); fd.valid()) {
            if (scene.handedOn.empty()) firstPid = pid;
            scene.handedOn.push_back(std::move(fd));
        }
    }
    std::unique_ptr<testsupport::Process> demo;
    auto demoWithPid = std::make_unique<ipcattack::ProcessWithPid>(
        firstPid, std::vector<std::string>{(bin / "demo-services").string()});
    scene.hostHasTheirPid = firstPid > 0 && demoWithPid->error() == 0;
    bool demoReady = scene.hostHasTheirPid && demoWithPid->waitForLine("demo-services: ready", 2min);
    if (!scene.hostHasTheirPid) {
        demo = start({(bin / "demo-services").string()}, "demo-services: ready\n");
        demoReady = demo != nullptr;
    }
    const sp<IBinder> echo = sm && demoReady ? sm->lookUpByName(String16("echo")) : nullptr;
    if (!echo) {
        std::fprintf(stderr, "ipc-attack-bench: could not start servicemanager and demo-services from %s\n",
                     bin.c_str());
        return 1;
    }
    auto& remote = dynamic_cast<ipc::RemoteBinder&>(*echo);
    scene.manager = manager->pid();
    // The manager's own, the client's and host's connections, and the held
    // connections' pidfds.
    scene.managerDescriptors = descriptorsOf(scene.manager) + 8;
    scene.host = remote.endpoint();
    scene.echoHandle = remote.handle();

    std::printf(
        "an honest client under attack: %d look-ups of \"echo\" and %d echo calls a measure, %d\n"
        "measures with each attack and %d just before each, pooled; the figures are ratios of the\n"
        "former to the latter (load average %s)\n",
        samples, samples, ROUNDS, ROUNDS, loadAverage().c_str());
    const struct {
        const char* name;
        void (*run)(Scene&, const Measure&, Samples*, Samples*);
    } attacks[] = {
        {"1 calls never read", callsNeverRead},         {"2 calls half sent", callsHalfSent},
        {"3 connection handed on", connectionHandedOn}, {"4 departures in numbers", departuresInNumbers},
        {"  control: no names", departuresControl},
    };
    bool ok = true;
    for (const auto& attack : attacks) {
        Samples idleSamples, attackedSamples;
        scene.note.clear();
        attack.run(
            scene, [&](Samples* into) { measure(*sm, *echo, samples, into); }, &idleSamples, &attackedSamples);
        const Times idle = summarize(std::move(idleSamples));
        const Times attacked = summarize(std::move(attackedSamples));
        printRatios(attack.name, idle, attacked);
        std::printf("  %-24s without: look-up p50 %.1f us p99 %.1f us, call p50 %.1f us p99 %.1f us\n", "",
                    idle.lookUp.p50Us, idle.lookUp.p99Us, idle.call.p50Us, idle.call.p99Us);
        std::printf("  %-24s %s\n", "", scene.note.c_str());
        ok = ok && attacked.failures == 0 && attacked.lookUp.samples > 0;
    }
    std::printf("targets: p99 under attack <= 5x idle; under departures every look-up < 100 ms (load average %s)\n",
                loadAverage().c_str());
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 6 && !std::strcmp(argv[1], "--registrants"))
        return ipcattack::runRegistrants(std::atoi(argv[2]), std::atoi(argv[3]), std::strtoul(argv[4], nullptr, 10),
                                         argv[5]);
    const int samples = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (argc > 2 || samples <= 0) {
        std::fprintf(stderr, "usage: ipc-attack-bench [SAMPLES]\n");
        return 2;
    }
    return run(samples);
}
