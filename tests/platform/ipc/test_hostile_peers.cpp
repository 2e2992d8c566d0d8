// Careless and hostile peers of the service manager and of its clients,
// written here on the wire format with nothing but sockets, against the
// real servicemanager, demo-services and service tool.
#include "ipc_test_util.h"

#include <fcntl.h>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <velmora/Parcel.h>
#include <velmora/String8.h>

#include "ServiceManagerProtocol.h"
#include "Transport.h"
#include "ipc_hostile_peers.h"

using namespace velmora;
using ipctest::Child;
using ipctest::eventually;
using ipctest::ServiceManagerTest;
using namespace std::chrono_literals;

namespace {

struct ServiceRun {
    testsupport::Exit exit;
    bool killedAtDeadline = false;
    std::string out;
    long maxRssKiB = 0;
};

// Runs the service tool against the manager at managerPath; killed if it
// is still running after the time limit.
ServiceRun runService(const std::vector<std::string>& words, const std::string& managerPath,
                      std::chrono::milliseconds limit = 20s) {
    std::vector<std::string> argv{SERVICE_BIN};
    argv.insert(argv.end(), words.begin(), words.end());
    testsupport::Command command(argv);
    command.env = testsupport::environment([](std::string_view name) { return name == IServiceManager::ENV_VAR; });
    command.env->push_back(std::string(IServiceManager::ENV_VAR) + "=" + managerPath);
    command.out = testsupport::Stream::pipe();
    command.err = testsupport::Stream::null();
    testsupport::Process service(command);
    ServiceRun run;
    run.exit = service.finish(limit);
    run.killedAtDeadline = service.killedAtDeadline();
    run.out = service.out();
    run.maxRssKiB = service.usage().ru_maxrss;
    return run;
}

// A reference as a hostile client writes it: any handle, any endpoint.
void writeReference(Parcel& parcel, uint32_t handle, const std::string& endpoint) {
    parcel.writeUint32(1);
    parcel.writeUint32(handle);
    parcel.writeString16(String16(endpoint.c_str()));
}

// Registers name for (endpoint, handle) from this process, on the wire.
status_t addRaw(const std::string& managerPath, const String16& name, const std::string& endpoint, uint32_t handle) {
    Parcel data, reply;
    data.writeInterfaceToken(String16(IServiceManager::INTERFACE_NAME));
    data.writeString16(name);
    writeReference(data, handle, endpoint);
    return ipc::Transport::self().resolve(managerPath, ipc::CONTEXT_HANDLE)->callBinder(ipc::SM_ADD, data, &reply);
}

std::string endpointOf(const sp<IBinder>& binder) {
    auto* remote = dynamic_cast<ipc::RemoteBinder*>(binder.get());
    return remote ? remote->endpoint() : std::string();
}

// A listener whose backlog is full: a connect to it waits until someone
// accepts, which nobody does.
class StuckListener {
public:
    explicit StuckListener(const std::string& endpoint) : endpoint_(endpoint) {
        sockaddr_un addr;
        socklen_t len;
        EXPECT_EQ(ipc::socketAddress(endpoint, &addr, &len), OK);
        listener_.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        EXPECT_EQ(bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), len), 0);
        EXPECT_EQ(listen(listener_.get(), 0), 0);
        for (int i = 0; i < 64; ++i) {
            ipc::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
            if (connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) {
                full_ = errno == EAGAIN;
                break;
            }
            queued_.push_back(std::move(fd));
        }
        EXPECT_TRUE(full_) << "the backlog of " << endpoint << " did not fill";
    }
    ~StuckListener() {
        if (endpoint_[0] != '@') unlink(endpoint_.c_str());
    }
    const std::string& endpoint() const { return endpoint_; }
    // Closing the listener releases whoever still waits on it.
    void close() { listener_.reset(); }

private:
    std::string endpoint_;
    ipc::UniqueFd listener_;
    std::vector<ipc::UniqueFd> queued_;
    bool full_ = false;
};

// A service manager impostor: answers each call frame with what reply
// writes, on one connection after another, until it goes out of scope.
class FakeManager {
public:
    using Reply = std::function<void(int fd, const ipc::FrameHeader& call, const std::atomic<bool>& stop)>;

    FakeManager(const std::string& path, Reply reply) : reply_(std::move(reply)) {
        EXPECT_EQ(ipc::listenOn(path, &listener_), OK);
        thread_ = std::thread([this] { run(); });
    }
    ~FakeManager() {
        stop_ = true;
        thread_.join();
    }

    // Writes a reply frame with status OK and the parcel.
    static bool answer(int fd, const Parcel& parcel) {
        ipc::FrameHeader header;
        header.type = ipc::FRAME_REPLY;
        header.size = static_cast<uint32_t>(parcel.dataSize());
        return ipc::writeFrame(fd, header, parcel.data(), parcel.dataSize()) == OK;
    }

private:
    void run() {
        while (!stop_) {
            pollfd p{listener_.get(), POLLIN, 0};
            if (poll(&p, 1, 100) != 1) continue;
            ipc::UniqueFd fd(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            ipc::FrameReader reader;
            ipc::FrameHeader call;
            std::vector<uint8_t> payload;
            while (!stop_) {
                const status_t status = reader.read(fd.get(), &call, &payload, 100);
                if (status == TIMED_OUT) continue;
                if (status != OK) break;
                if (call.type == ipc::FRAME_CALL) reply_(fd.get(), call, stop_);
            }
        }
    }

    ipc::UniqueFd listener_;
    Reply reply_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

size_t openDescriptors(pid_t pid) {
    const auto dir = std::filesystem::path("/proc") / std::to_string(pid) / "fd";
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

// A number from /proc/PID/status, e.g. "Threads:" or "VmSize:" (in KiB).
long statusField(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
    return -1;
}

// Processor time a process has used, its threads' included, in seconds.
double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    // Fields after the command name, which may hold anything but ends with
    // the last ')': utime and stime are the 12th and 13th of them.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 1; i <= 13 && fields >> field; ++i)
        if (i >= 12) ticks += std::stol(field);
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// An object hosted by the test process itself.
class Local : public LocalBinder {
public:
    Local() : LocalBinder(String16("velmora.test.ILocal")) {}
};

TEST_F(ServiceManagerTest, ARegistrationTowardsAStuckListenerHoldsNobodyUp) {
    auto demo = startDemo();
    StuckListener trap("@velmora-test-trap-" + std::to_string(getpid()));
    std::atomic<bool> done{false};
    status_t status = UNKNOWN_ERROR;
    std::thread attacker([&] {
        status = addRaw(socketPath, String16("trap"), trap.endpoint(), 1);
        done = true;
    });

    const ServiceRun check = runService({"check", "echo"}, socketPath);
    EXPECT_FALSE(check.killedAtDeadline);
    EXPECT_EQ(check.out, "Service echo: found\n");
    EXPECT_TRUE(eventually([&] { return done.load(); }));
    trap.close();  // lets an attacker that still waits go
    attacker.join();
    EXPECT_EQ(status, DEAD_OBJECT);
    EXPECT_FALSE(sm->lookUpByName(String16("trap")));
}

TEST_F(ServiceManagerTest, NamesAndObjectsStayWithTheProcessThatHostsThem) {
    auto demo = startDemo();
    const std::string demoEndpoint = endpointOf(sm->lookUpByName(String16("echo")));
    ASSERT_FALSE(demoEndpoint.empty());

    // The victim's endpoint with another handle, for its name or a new one.
    EXPECT_EQ(addRaw(socketPath, String16("echo"), demoEndpoint, 2), ALREADY_EXISTS);
    EXPECT_EQ(addRaw(socketPath, String16("echo-too"), demoEndpoint, 1), PERMISSION_DENIED);
    EXPECT_FALSE(sm->lookUpByName(String16("echo-too")));
    const ServiceRun call = runService({"call", "echo", "1", "i32", "7"}, socketPath);
    EXPECT_EQ(call.out, "Result: Parcel(size=4: 00000007 '....')\n");

    // This process's own objects, under its own endpoint, are its to register.
    const sp<LocalBinder> mine(new Local);
    ASSERT_EQ(sm->addService(String16("mine"), mine), OK);
    std::string ownEndpoint;
    uint32_t handle = 0;
    ASSERT_EQ(ipc::Transport::self().exportObject(mine, &ownEndpoint, &handle), OK);
    EXPECT_EQ(addRaw(socketPath, String16("echo"), ownEndpoint, handle), ALREADY_EXISTS);

    // Once the holder has gone its names are free, whoever held them.
    demo->stop(SIGKILL);
    ASSERT_TRUE(eventually([&] { return !sm->lookUpByName(String16("echo")); }));
    EXPECT_EQ(sm->addService(String16("echo"), mine), OK);
    EXPECT_TRUE(sm->lookUpByName(String16("echo")) == sp<IBinder>(mine));
}

// A manager with few descriptors, as under `ulimit -n`.
class LimitedManagerTest : public ServiceManagerTest {
protected:
    void SetUp() override {
        ServiceManagerTest::SetUp();
        limitedPath = tmp.file("limited.sock");
        std::vector<std::string> command{"/bin/sh", "-c", "ulimit -n 256 && exec \"$@\"", "sh"};
        for (std::string& word : testsupport::runnable({SERVICEMANAGER_BIN, limitedPath}))
            command.push_back(std::move(word));
        limited = std::make_unique<Child>(command);
        ASSERT_TRUE(eventually([&] { return serviceManagerAt(limitedPath.c_str()) != nullptr; }));
        setenv(IServiceManager::ENV_VAR, limitedPath.c_str(), 1);
    }

    std::string limitedPath;
    std::unique_ptr<Child> limited;
};

TEST_F(LimitedManagerTest, NamesOnTheManagersOwnSocketAreRefusedAndCostNothing) {
    const size_t before = openDescriptors(limited->pid());
    const std::string dir = limitedPath.substr(0, limitedPath.rfind('/'));
    for (int i = 0; i < 120; ++i) {
        // Another spelling of the same path each time.
        std::string spelling = dir + std::string(1 + i / 12, '/');
        for (int j = 0; j < i % 12; ++j) spelling += "./";
        spelling += "limited.sock";
        ASSERT_LT(spelling.size(), 100u);
        const String16 name(("self-" + std::to_string(i)).c_str());
        ASSERT_EQ(addRaw(limitedPath, name, spelling, ipc::CONTEXT_HANDLE), PERMISSION_DENIED) << spelling;
    }
    EXPECT_LT(openDescriptors(limited->pid()), before + 8);
    EXPECT_TRUE(serviceManagerAt(limitedPath.c_str())->registeredNames().isEmpty());

    auto demo = startDemo();
    const ServiceRun list = runService({"list"}, limitedPath);
    EXPECT_EQ(list.out.substr(0, list.out.find('\n')), "Found 5 services:");
}

TEST_F(LimitedManagerTest, IdleConnectionsBeyondItsDescriptorsLeaveItServing) {
    std::vector<ipc::UniqueFd> idle(400);
    for (auto& fd : idle) ASSERT_EQ(ipc::connectTo(limitedPath, &fd), OK);

    // No thread per connection, and it refuses what it cannot hold.
    EXPECT_LE(statusField(limited->pid(), "Threads:"), 40);
    auto demo = startDemo({"-n", "20"});
    const ServiceRun list = runService({"list"}, limitedPath);
    EXPECT_EQ(list.out.substr(0, list.out.find('\n')), "Found 25 services:");
    const ServiceRun check = runService({"check", "gen-19"}, limitedPath);
    EXPECT_EQ(check.out, "Service gen-19: found\n");
    EXPECT_EQ(limited->stop(SIGTERM), 0) << "it must end normally, not by a signal";
}

TEST_F(ServiceManagerTest, WithFewTasksToSpareItGoesOnServing) {
    // As a user of its own under a task limit of 6 threads, as under a
    // cgroup pids limit (root is not held to RLIMIT_NPROC).
    // That user gets a copy of the manager it can reach.
    const std::filesystem::path dir = tmp.path() / "tasks";
    std::filesystem::create_directory(dir);
    std::filesystem::permissions(tmp.path(), std::filesystem::perms::owner_all | std::filesystem::perms::others_exec);
    std::filesystem::permissions(dir, std::filesystem::perms::all);
    const std::string path = (dir / "sm.sock").string();
    std::string why;
    std::vector<std::string> manager = testsupport::runnableByOthers({SERVICEMANAGER_BIN, path}, dir, &why);
    if (manager.empty()) GTEST_SKIP() << why;
    // LeakSanitizer's exit-time thread would not start under the limit.
    std::vector<std::string> command{"setpriv", "--reuid=61234", "--regid=61234", "--clear-groups",
                                     "prlimit", "--nproc=6:6",   "env",           "ASAN_OPTIONS=detect_leaks=0"};
    for (std::string& word : manager) command.push_back(std::move(word));
    Child tight(command);
    ASSERT_TRUE(eventually([&] { return serviceManagerAt(path.c_str()) != nullptr; }));
    setenv(IServiceManager::ENV_VAR, path.c_str(), 1);

    std::vector<ipc::UniqueFd> idle(400);
    for (auto& fd : idle) ASSERT_EQ(ipc::connectTo(path, &fd), OK);
    auto demo = startDemo();
    std::vector<std::unique_ptr<Child>> clients;
    for (int i = 0; i < 20; ++i)
        clients.push_back(std::make_unique<Child>(std::vector<std::string>{TEST_HOST_BIN, "--client", "20"}));
    for (auto& client : clients) EXPECT_EQ(client->wait(), 0);
    EXPECT_LE(statusField(tight.pid(), "Threads:"), 6);
    EXPECT_EQ(tight.stop(SIGTERM), 0) << "it must end normally, not by a signal";
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(ServiceManagerTest, AnnouncedFramesCostOnlyWhatArrives) {
    // A manager with one malloc arena: each serving thread's first
    // allocation would otherwise reserve 64 MiB of address space, and
    // which threads allocate first depends on timing (under qemu-user it
    // came to 128 MiB).
    const std::string path = tmp.file("one-arena.sock");
    setenv("GLIBC_TUNABLES", "glibc.malloc.arena_max=1", 1);
    Child oneArena({SERVICEMANAGER_BIN, path});
    unsetenv("GLIBC_TUNABLES");
    ASSERT_TRUE(eventually([&] { return serviceManagerAt(path.c_str()) != nullptr; }));

    // Headers that announce the largest frame, and then a byte at a time.
    ipc::FrameHeader header;
    header.type = ipc::FRAME_CALL;
    header.size = MAX_TRANSACTION_SIZE;
    uint8_t bytes[ipc::FRAME_HEADER_SIZE + 2] = {};
    ipc::encodeHeader(header, bytes);
    const auto consumed = [](int fd) {
        int unread = -1;
        return ioctl(fd, SIOCOUTQ, &unread) == 0 && unread == 0;
    };
    const long before = statusField(oneArena.pid(), "VmSize:");
    std::vector<ipc::UniqueFd> announced(400);
    for (auto& fd : announced) {
        ASSERT_EQ(ipc::connectTo(path, &fd), OK);
        ASSERT_EQ(send(fd.get(), bytes, sizeof bytes - 1, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof bytes - 1));
    }
    for (auto& fd : announced) ASSERT_TRUE(eventually([&] { return consumed(fd.get()); }));
    for (auto& fd : announced) ASSERT_EQ(send(fd.get(), bytes + sizeof bytes - 1, 1, MSG_NOSIGNAL), 1);
    for (auto& fd : announced) ASSERT_TRUE(eventually([&] { return consumed(fd.get()); }));
    // Address space, not resident memory: a buffer allocated for what was
    // announced is not touched. 400 MiB were announced.
    EXPECT_LT(statusField(oneArena.pid(), "VmSize:") - before, 64 * 1024);
    EXPECT_TRUE(serviceManagerAt(path.c_str())->registeredNames().isEmpty());  // and still serving
}

TEST_F(ServiceManagerTest, NamesOutsideTheLimitsAreRefused) {
    const sp<IBinder> object(new Local);
    const std::u16string longest(ipc::MAX_NAME_LENGTH, u'x');
    const struct {
        std::u16string name;
        status_t expected;
    } cases[] = {
        {u"plain.name-1_2 with space", OK},
        {u"caf\u00e9-\U0001F600", OK},
        {longest, OK},
        {longest + u"x", BAD_VALUE},
        {std::u16string(100000, u'y'), BAD_VALUE},
        {u"line\nforged", BAD_VALUE},
        {u"\x1b[2Jclear", BAD_VALUE},
        {u"tab\t", BAD_VALUE},
        {u"del\x7f", BAD_VALUE},
        {u"c1-\u009b", BAD_VALUE},
        {std::u16string(u"nul\0inside", 10), BAD_VALUE},
        {u"sep\u2028", BAD_VALUE},
        {std::u16string(1, char16_t(0xD83D)) + u"lone-high", BAD_VALUE},
        {u"lone-low" + std::u16string(1, char16_t(0xDE00)), BAD_VALUE},
        {std::u16string{char16_t(0xDE00), char16_t(0xD83D)}, BAD_VALUE},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sm->addService(String16(c.name), object), c.expected) << String8(String16(c.name)).c_str();
        EXPECT_EQ(sm->lookUpByName(String16(c.name)) != nullptr, c.expected == OK);
    }

    // A registry of the longest names lists completely, across pages.
    for (size_t i = 0; i < ipc::LIST_PAGE + 50; ++i) {
        std::u16string name = longest;
        const std::string number = std::to_string(i);
        std::copy(number.begin(), number.end(), name.begin());
        ASSERT_EQ(sm->addService(String16(name), object), OK);
    }
    const size_t total = ipc::LIST_PAGE + 50 + 3;
    EXPECT_EQ(sm->registeredNames().size(), total);
    const ServiceRun list = runService({"list"}, socketPath);
    EXPECT_EQ(list.out.substr(0, list.out.find('\n')), "Found " + std::to_string(total) + " services:");
    EXPECT_EQ(static_cast<size_t>(std::count(list.out.begin(), list.out.end(), '\n')), total + 1);
}

// The probe of a manager: what an impostor at the path does to it.
class ProbeTest : public ::testing::Test {
protected:
    testsupport::TempDir tmp{"velmora-ipc"};
    std::string path = tmp.file("sm.sock");
};

TEST_F(ProbeTest, AFullBacklogEndsTheProbeInTime) {
    StuckListener stuck(path);
    const ServiceRun list = runService({"list"}, path);
    EXPECT_FALSE(list.killedAtDeadline);
    EXPECT_EQ(list.exit, testsupport::exitedWith(20));
}

TEST_F(ProbeTest, AnAnswerDribbledOutEndsTheProbeInTime) {
    FakeManager dribbler(path, [](int fd, const ipc::FrameHeader&, const std::atomic<bool>& stop) {
        Parcel name;
        name.writeString16(String16(IServiceManager::INTERFACE_NAME));
        ipc::FrameHeader header;
        header.type = ipc::FRAME_REPLY;
        header.size = static_cast<uint32_t>(name.dataSize());
        uint8_t bytes[ipc::FRAME_HEADER_SIZE];
        ipc::encodeHeader(header, bytes);
        // One byte every 1.5 s: each arrives before a 2 s wait for it ends.
        for (const uint8_t byte : bytes) {
            for (int i = 0; i < 15; ++i) {
                if (stop) return;
                std::this_thread::sleep_for(100ms);
            }
            if (send(fd, &byte, 1, MSG_NOSIGNAL) != 1) return;
        }
    });
    const ServiceRun list = runService({"list"}, path);
    EXPECT_FALSE(list.killedAtDeadline);
    EXPECT_EQ(list.exit, testsupport::exitedWith(20));
}

TEST_F(ProbeTest, AManagerThatAlwaysHasMoreNamesIsNotBelieved) {
    FakeManager endless(path, [](int fd, const ipc::FrameHeader& call, const std::atomic<bool>&) {
        Parcel reply;
        if (call.code == IBinder::INTERFACE_TRANSACTION) {
            reply.writeString16(String16(IServiceManager::INTERFACE_NAME));
        } else {
            reply.writeInt32(static_cast<int32_t>(ipc::LIST_PAGE));
            for (size_t i = 0; i < ipc::LIST_PAGE; ++i) reply.writeString16(String16("more"));
            reply.writeInt32(1);
        }
        FakeManager::answer(fd, reply);
    });
    const ServiceRun list = runService({"list"}, path, 30s);
    EXPECT_FALSE(list.killedAtDeadline);
    EXPECT_EQ(list.exit, testsupport::exitedWith(0));
    EXPECT_EQ(list.out, "Found 0 services:\n");
    EXPECT_LT(list.maxRssKiB, 256 * 1024);
}

// The attacks of a process on the same machine, each with what the
// manager, the demo host and an honest client must still do while it goes
// on. The manager may keep 512 connections (half its 1024 descriptors).
class AttackTest;
struct Attack {
    const char* name;
    void (*run)(AttackTest&);
};
void PrintTo(const Attack& attack, std::ostream* out) { *out << attack.name; }

class AttackTest : public ::testing::TestWithParam<Attack> {
protected:
    void SetUp() override {
        socketPath = tmp.file("sm.sock");
        setenv(IServiceManager::ENV_VAR, socketPath.c_str(), 1);
        // In a sanitizer build, freed buffers are not held back from reuse
        // in this manager, whose memory is measured.
        std::vector<std::string> command{
            "/bin/sh", "-c",
            "ulimit -n 1024 && ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=0\" exec \"$@\"", "sh"};
        for (std::string& word : testsupport::runnable({SERVICEMANAGER_BIN, socketPath}))
            command.push_back(std::move(word));
        manager = std::make_unique<Child>(command);
        ASSERT_TRUE(eventually([&] { return (sm = defaultServiceManager()) != nullptr; }));
    }
    void TearDown() override { unsetenv(IServiceManager::ENV_VAR); }

public:
    std::unique_ptr<Child> start(std::vector<std::string> args, const std::string& readyLine) {
        auto child = std::make_unique<Child>(std::move(args));
        EXPECT_TRUE(child->waitForLine(readyLine, 120000)) << "no \"" << readyLine << "\"";
        return child;
    }
    std::unique_ptr<Child> startDemo() { return start({DEMO_SERVICES_BIN}, "demo-services: ready"); }
    std::string demoEndpoint() { return endpointOf(sm->lookUpByName(String16("echo"))); }

    // An honest client, through the service tool, gets its answers.
    void expectHonestClientServed(std::chrono::milliseconds limit = 20s) {
        const ServiceRun check = runService({"check", "echo"}, socketPath, limit);
        EXPECT_FALSE(check.killedAtDeadline);
        EXPECT_EQ(check.exit, testsupport::exitedWith(0));
        EXPECT_EQ(check.out, "Service echo: found\n");
        const ServiceRun call = runService({"call", "echo", "1", "i32", "7"}, socketPath, limit);
        EXPECT_FALSE(call.killedAtDeadline);
        EXPECT_EQ(call.out, "Result: Parcel(size=4: 00000007 '....')\n");
    }

    testsupport::TempDir tmp{"velmora-ipc"};
    std::string socketPath;
    std::unique_ptr<Child> manager;
    sp<IServiceManager> sm;
};

void callsNeverRead(AttackTest& t) {
    // Each connection writes 20,000 interface-name queries, as far as the
    // peer takes them, and reads no reply.
    auto demo = t.startDemo();
    const std::string host = t.demoEndpoint();
    const uint32_t echo = dynamic_cast<ipc::RemoteBinder&>(*t.sm->lookUpByName(String16("echo"))).handle();
    ipcattack::OneWayConnections onManager(t.socketPath, 40, ipcattack::interfaceQueries(20000, 0), false);
    ipcattack::OneWayConnections onHost(host, 40, ipcattack::interfaceQueries(20000, echo), false);
    ASSERT_EQ(onManager.opened() + onHost.opened(), 80);
    ASSERT_TRUE(eventually([&] { return onManager.answered() == 40 && onHost.answered() == 40; }, 60000));

    // Answered while every flooding connection is still held for its peer:
    // no thread of either daemon waited for a reader's time to run out.
    const sp<IBinder> found = t.sm->lookUpByName(String16("echo"));
    ASSERT_TRUE(found);
    Parcel data, reply;
    data.writeInterfaceToken(String16("velmora.demo.IEcho"));
    data.writeInt32(7);
    EXPECT_EQ(found->callBinder(1, data, &reply), OK);
    EXPECT_EQ(reply.readInt32(), 7);
    EXPECT_EQ(onManager.closedByPeer(), 0);
    EXPECT_EQ(onHost.closedByPeer(), 0);
    t.expectHonestClientServed();
    // What is never taken is not held for ever.
    EXPECT_TRUE(eventually([&] { return onManager.closedByPeer() == 40 && onHost.closedByPeer() == 40; }, 60000));
}

void callsHalfSent(AttackTest& t) {
    // As many connections as the manager keeps, less a few for the honest,
    // each announcing the largest call and sending all but its last byte.
    auto demo = t.startDemo();
    const long before = statusField(t.manager->pid(), "VmRSS:");
    ipcattack::OneWayConnections calls(t.socketPath, 500, ipcattack::halfSentCall(), false);
    ASSERT_EQ(calls.opened(), 500);
    calls.settle(2s, 120s);
    const long grownKiB = statusField(t.manager->pid(), "VmRSS:") - before;
    EXPECT_LT(grownKiB, 96 * 1024) << "a 32 MiB budget and 4 KiB a connection";
    t.expectHonestClientServed();
    // Stalled in mid-call, each is closed after its ten seconds.
    EXPECT_TRUE(eventually([&] { return calls.closedByPeer() == 500; }, 90000));
}

void connectionHandedOn(AttackTest& t) {
    // A process connects, hands the connection on (here: shares it with
    // this one) and ends; then a service host starts with its pid.
    pid_t pid = 0;
    ipc::UniqueFd held;
    std::unique_ptr<ipcattack::ProcessWithPid> demo;
    for (int attempt = 0; attempt < 5 && !demo; ++attempt) {
        held = ipcattack::connectionLeftByEndedProcess(t.socketPath, &pid);
        ASSERT_TRUE(held.valid());
        demo = std::make_unique<ipcattack::ProcessWithPid>(pid, testsupport::runnable({DEMO_SERVICES_BIN}));
        if (demo->error() == EEXIST) demo.reset();  // taken by some other process meanwhile
    }
    ASSERT_TRUE(demo);
    if (demo->error() != 0)
        GTEST_SKIP() << "cannot start a process with a chosen pid: " << std::strerror(demo->error());
    ASSERT_TRUE(demo->waitForLine("demo-services: ready", 120s));
    const std::string host = t.demoEndpoint();
    ASSERT_FALSE(host.empty());

    // The holder speaks for a process that has ended, not for the host.
    EXPECT_EQ(ipcattack::registerOn(held.get(), String16("echo"), host, 2), PERMISSION_DENIED);
    EXPECT_EQ(ipcattack::registerOn(held.get(), String16("echo-too"), host, 1), PERMISSION_DENIED);
    EXPECT_FALSE(t.sm->lookUpByName(String16("echo-too")));
    t.expectHonestClientServed();
}

void departuresInNumbers(AttackTest& t) {
    // One process holds 65,000 of the longest names; 200 others register
    // a name each and end together.
    // Fewer where every instruction is emulated, still far more than the
    // departures' own.
    const int names = testsupport::emulated() ? 20000 : 65000;
    auto many = t.start({TEST_HOST_BIN, "--registrants", "1", std::to_string(names), "255", "many"}, "ready");
    auto demo = t.startDemo();
    auto few = t.start({TEST_HOST_BIN, "--registrants", "200", "1", "255", "few"}, "ready");
    const String16 lastOfFew(ipcattack::registrantName("few", 199, 0, 255).c_str());
    ASSERT_TRUE(t.sm->lookUpByName(lastOfFew));
    const double cpuBefore = cpuSeconds(t.manager->pid());
    few->stop(SIGTERM);

    t.expectHonestClientServed();
    ASSERT_TRUE(eventually([&] { return !t.sm->lookUpByName(lastOfFew); }, 120000));
    // Each departure costs its own names, not the registry's. Measured as
    // work, which a loaded machine does not stretch: walking the registry
    // for each of them took the manager about 10 s of processor time, the
    // departures themselves take hundredths (an emulator's, tenths).
    EXPECT_LT(cpuSeconds(t.manager->pid()) - cpuBefore, testsupport::emulated() ? 10.0 : 2.0);
    EXPECT_TRUE(t.sm->lookUpByName(String16(ipcattack::registrantName("many", 0, names - 1, 255).c_str())));
}

const Attack s_attacks[] = {
    {"CallsNeverRead", callsNeverRead},
    {"CallsHalfSent", callsHalfSent},
    {"ConnectionHandedOn", connectionHandedOn},
    {"DeparturesInNumbers", departuresInNumbers},
};

TEST_P(AttackTest, HonestClientsAreServedAndTheDaemonsHoldUp) { GetParam().run(*this); }

INSTANTIATE_TEST_SUITE_P(Attacks, AttackTest, ::testing::ValuesIn(s_attacks),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
