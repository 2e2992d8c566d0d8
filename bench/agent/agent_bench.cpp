// agent_bench: how long the daemon waits for the agent's passkey answer,
// next to the floor of the same bus (Peer.Ping, answered by libdbus inside
// the agent's own loop), and how long the agent takes from process start to
// a standing registration next to the floor of starting it at all.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "testbed.h"

using namespace testbed;

namespace {

struct Latency {
    double p50 = 0;
    double p99 = 0;
};

Latency readLatency(const std::string& log, const std::string& what) {
    Latency latency;
    for (const std::string& line : linesWith(log, "measure " + what + " "))
        sscanf(strstr(line.c_str(), "p50_us="), "p50_us=%lf p99_us=%lf", &latency.p50, &latency.p99);
    return latency;
}

int64_t monotonicNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

int measureRoundTrips(long calls) {
    Testbed bed;
    bed.startSim({"--timeout", "20000", "--on-register", "measure " + std::to_string(calls) + "; release"});
    auto agent = bed.startAgent({"123456"});
    if (!bed.sim().waitForOutput("measure failures=", 600s)) {
        fprintf(stderr, "agent_bench: no figures from bluetooth-sim\n");
        return 1;
    }
    agent->wait(20s);
    std::string log = bed.sim().out();
    if (linesWith(log, "measure failures=0").empty()) {
        fprintf(stderr, "agent_bench: some calls failed:\n%s", log.c_str());
        return 1;
    }
    Latency passkey = readLatency(log, "RequestPasskey");
    Latency ping = readLatency(log, "Ping");
    printf("round trips as the daemon sees them, %ld calls each, interleaved:\n", calls);
    printf("  RequestPasskey   p50 %8.1f us   p99 %8.1f us\n", passkey.p50, passkey.p99);
    printf("  Peer.Ping floor  p50 %8.1f us   p99 %8.1f us\n", ping.p50, ping.p99);
    printf("  ratio            p50 %8.2f x    p99 %8.2f x    (target: p50 at most 1.30 x)\n", passkey.p50 / ping.p50,
           passkey.p99 / ping.p99);
    return 0;
}

int measureStartUp(int starts) {
    Testbed bed;
    bed.startSim({"--clock"});
    std::vector<double> registered;
    std::vector<double> floor;
    for (int i = 0; i < starts; ++i) {
        int64_t start = monotonicNs();
        auto help = bed.startAgent({"-h"});
        help->wait(20s);
        floor.push_back((monotonicNs() - start) / 1e6);

        start = monotonicNs();
        auto agent = bed.startAgent({"123456"});
        std::string marker = "answered RegisterAgent ";
        auto countDone = [&] { return linesWith(bed.sim().out(), marker).size() > size_t(i); };
        auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!countDone() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
        if (!countDone()) {
            fprintf(stderr, "agent_bench: the agent did not register\n");
            return 1;
        }
        std::string line = linesWith(bed.sim().out(), marker)[i];
        registered.push_back((atoll(line.c_str() + marker.size()) - start) / 1e6);
        agent->signal(SIGTERM);
        agent->wait(20s);
    }
    double reg = median(registered);
    double base = median(floor);
    printf("process start to \"registered\" (RegisterAgent answered), median of %d runs:\n", starts);
    printf("  registered       %8.2f ms\n", reg);
    printf("  floor            %8.2f ms   (agent -h: start to exit)\n", base);
    printf("  ratio            %8.2f x\n", reg / base);
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    long calls = 10000;
    int starts = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--calls") == 0)
            calls = atol(argv[i + 1]);
        else if (strcmp(argv[i], "--starts") == 0)
            starts = atoi(argv[i + 1]);
    }
    if (calls <= 0 || starts <= 0) {
        fprintf(stderr, "usage: agent_bench [--calls N] [--starts N]\n");
        return 2;
    }
    try {
        int status = measureRoundTrips(calls);
        return status != 0 ? status : measureStartUp(starts);
    } catch (const std::exception& error) {
        fprintf(stderr, "agent_bench: %s\n", error.what());
        return 1;
    }
}
