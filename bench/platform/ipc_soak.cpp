// ipc-soak: the service manager under a long mixed load. Prints figures;
// it is not a pass/fail test.
//
//   ipc-soak [SECONDS [ROUNDS]]
//                          starts its own servicemanager and demo-services
//                          from its own directory, then for SECONDS (30)
//                          runs 100 client processes doing look-ups, lists
//                          and calls, one host process after another
//                          registering and dropping 10,000 names in all, and
//                          holds 500 idle connections to the manager; ROUNDS
//                          (1) times over, with the manager's figures after
//                          each.
//
// Internal modes, run by the soak itself:
//   ipc-soak --client SECONDS        one client; prints its counts
//   ipc-soak --host PREFIX COUNT     registers PREFIX0...; "ready"; waits
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <velmora/IServiceManager.h>
#include <velmora/Parcel.h>

#include "Transport.h"
#include "process.h"
#include "temp_dir.h"

using namespace velmora;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int CLIENTS = 100;
constexpr int IDLE_CONNECTIONS = 500;
constexpr int CHURN_NAMES = 10000;
constexpr int NAMES_PER_HOST = 500;

class Echo : public LocalBinder {
public:
    Echo() : LocalBinder(String16("velmora.soak.IHost")) {}
};

int runHost(const char* prefix, int count) {
    sp<IServiceManager> sm = defaultServiceManager();
    if (!sm) return 1;
    const sp<IBinder> object(new Echo);
    for (int i = 0; i < count; ++i)
        if (sm->addService(String16((prefix + std::to_string(i)).c_str()), object) != OK) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    pause();
    return 0;
}

// Look-up, list and call in turn until the time is up. Prints
// "OPERATIONS SLOWEST_LOOKUP_US ERRORS".
int runClient(int seconds) {
    sp<IServiceManager> sm = defaultServiceManager();
    if (!sm) return 1;
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    long operations = 0, errors = 0;
    Clock::duration slowest{};
    const String16 token("velmora.demo.IEcho");
    while (Clock::now() < end) {
        const auto start = Clock::now();
        const sp<IBinder> echo = sm->lookUpByName(String16("echo"));
        slowest = std::max(slowest, Clock::now() - start);
        if (sm->registeredNames().size() < 5) ++errors;
        Parcel data, reply;
        data.writeInterfaceToken(token);
        data.writeInt32(static_cast<int32_t>(operations));
        if (!echo || echo->callBinder(1, data, &reply) != OK || reply.readInt32() != operations) ++errors;
        operations += 3;
    }
    std::printf("%ld %ld %ld\n", operations,
                static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(slowest).count()), errors);
    return 0;
}

struct Usage {
    size_t fds = 0;
    long threads = 0;
    long rssKiB = 0;
};

Usage usageOf(pid_t pid) {
    Usage usage;
    const auto proc = std::filesystem::path("/proc") / std::to_string(pid);
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator(proc / "fd", error); !error && it != decltype(it){};
         it.increment(error))
        ++usage.fds;
    std::ifstream status(proc / "status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Threads:", 0) == 0) usage.threads = std::atol(line.c_str() + 8);
        if (line.rfind("VmRSS:", 0) == 0) usage.rssKiB = std::atol(line.c_str() + 6);
    }
    return usage;
}

void print(const char* when, const Usage& usage) {
    std::printf("  %-28s descriptors %5zu   threads %4ld   resident %7ld KiB\n", when, usage.fds, usage.threads,
                usage.rssKiB);
}

std::unique_ptr<testsupport::Process> start(std::vector<std::string> argv, bool piped) {
    testsupport::Command command(std::move(argv));
    command.out = piped ? testsupport::Stream::pipe() : testsupport::Stream::null();
    return std::make_unique<testsupport::Process>(command);
}

struct Load {
    long operations = 0;
    long slowestUs = 0;
    long errors = 0;
    long clients = 0;
    int dropped = 0;
    size_t held = 0;
    Usage peak;
};

// One spell of the whole load on the manager at socket.
Load runLoad(const std::string& self, const std::string& socket, pid_t manager, int seconds, int round) {
    std::vector<std::unique_ptr<testsupport::Process>> clients;
    for (int i = 0; i < CLIENTS; ++i) clients.push_back(start({self, "--client", std::to_string(seconds)}, true));

    // Hosts come and go, NAMES_PER_HOST names each, spread over the run.
    Load load;
    std::thread churn([&] {
        const int hosts = CHURN_NAMES / NAMES_PER_HOST;
        const auto end = Clock::now() + std::chrono::seconds(seconds);
        for (int h = 0; h < hosts; ++h) {
            const std::string prefix = "churn-" + std::to_string(round) + "-" + std::to_string(h) + "-";
            auto host = start({self, "--host", prefix, std::to_string(NAMES_PER_HOST)}, true);
            if (host->waitForOutput("ready\n", 1min)) load.dropped += NAMES_PER_HOST;
            host->stop();
            const auto pause = (end - Clock::now()) / (hosts - h);
            if (pause > 0s) std::this_thread::sleep_for(pause);
        }
    });

    std::vector<ipc::UniqueFd> idle(IDLE_CONNECTIONS);
    for (auto& fd : idle) load.held += ipc::connectTo(socket, &fd) == OK;

    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
        const Usage now = usageOf(manager);
        load.peak = {std::max(load.peak.fds, now.fds), std::max(load.peak.threads, now.threads),
                     std::max(load.peak.rssKiB, now.rssKiB)};
        std::this_thread::sleep_for(500ms);
    }

    for (auto& client : clients) {
        const testsupport::Exit exit = client->finish(2min);
        long ops = 0, slow = 0, errs = 0;
        if (exit == testsupport::exitedWith(0) &&
            std::sscanf(client->out().c_str(), "%ld %ld %ld", &ops, &slow, &errs) == 3) {
            ++load.clients;
            load.operations += ops;
            load.slowestUs = std::max(load.slowestUs, slow);
            load.errors += errs;
        }
    }
    churn.join();
    return load;
}

int soak(int seconds, int rounds) {
    // Room for the idle connections and everything else, here and in the
    // manager, which inherits it.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 8192);
    setrlimit(RLIMIT_NOFILE, &files);

    const std::filesystem::path bin = std::filesystem::canonical("/proc/self/exe").parent_path();
    const std::string self = (bin / "ipc-soak").string();
    const testsupport::TempDir tmp("velmora-ipc-soak");
    const std::string socket = tmp.file("sm.sock");
    setenv(IServiceManager::ENV_VAR, socket.c_str(), 1);

    auto manager = start({(bin / "servicemanager").string(), socket}, false);
    sp<IServiceManager> sm;
    for (int i = 0; i < 1000 && !(sm = defaultServiceManager()); ++i) usleep(10000);
    auto demo = start({(bin / "demo-services").string()}, true);
    if (!sm || !demo->waitForOutput("demo-services: ready\n", 2min)) {
        std::fprintf(stderr, "ipc-soak: could not start servicemanager and demo-services from %s\n", bin.c_str());
        return 1;
    }
    std::this_thread::sleep_for(3s);  // the workers of the registrations have left
    const Usage before = usageOf(manager->pid());
    std::printf(
        "servicemanager soak: %d clients doing look-ups, lists and echo calls, hosts registering and\n"
        "dropping %d names, %d idle connections; %d s a round\n",
        CLIENTS, CHURN_NAMES, IDLE_CONNECTIONS, seconds);
    print("manager at the start", before);

    bool ok = true;
    for (int round = 1; round <= rounds; ++round) {
        const Load load = runLoad(self, socket, manager->pid(), seconds, round);
        // Idle workers leave after a while; give them time, then look.
        Usage after = usageOf(manager->pid());
        for (int i = 0; i < 100 && (after.fds != before.fds || after.threads != before.threads); ++i) {
            std::this_thread::sleep_for(100ms);
            after = usageOf(manager->pid());
        }
        std::printf(
            "round %d: %ld calls served by %ld clients (%ld errors), slowest look-up %.1f ms,\n"
            "  %d names registered and dropped, %zu idle connections held\n",
            round, load.operations, load.clients, load.errors, load.slowestUs / 1000.0, load.dropped, load.held);
        print("manager at its peak", load.peak);
        print("manager at the end", after);
        const bool back = after.fds == before.fds && after.threads == before.threads;
        std::printf("  descriptors and threads %s\n", back ? "back where they started" : "NOT back where they started");
        ok = ok && back && load.clients == CLIENTS && load.errors == 0;
    }
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && !std::strcmp(argv[1], "--client")) return runClient(std::atoi(argv[2]));
    if (argc == 4 && !std::strcmp(argv[1], "--host")) return runHost(argv[2], std::atoi(argv[3]));
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 1;
    if (argc > 3 || seconds <= 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: ipc-soak [SECONDS [ROUNDS]]\n");
        return 2;
    }
    return soak(seconds, rounds);
}
